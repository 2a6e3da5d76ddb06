#include <gtest/gtest.h>

#include <numeric>

#include "Protocol/VantrelFrameChunker.hpp"
#include "Protocol/VantrelFrameStreamDecoder.hpp"

namespace vantrel {
namespace {

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + 7) & 0xFF);
  return b;
}

Bytes frameBytes(std::uint8_t command, std::uint16_t seq, std::uint16_t num, std::uint16_t size,
                 std::uint8_t fill = 0xAA) {
  Bytes out{0xFE,
            command,
            static_cast<std::uint8_t>(seq >> 8),
            static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(num >> 8),
            static_cast<std::uint8_t>(num),
            0x00,
            0x07,
            static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size),
            0x00,
            0x03};
  out.insert(out.end(), size, fill);
  return out;
}

template <typename F>
VantrelFrameError frameErrorOf(F&& f) {
  try {
    f();
  } catch (const VantrelFrameError& e) {
    return e;
  }
  ADD_FAILURE() << "no VantrelFrameError thrown";
  return VantrelFrameError::zeroChunks();
}

// --- chunking ---

TEST(VantrelFrameChunker, EmptyPayloadIsOneEmptyFrame) {
  const auto frames = VantrelFrameChunker::makeFrames({}, 1, 9, 4);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].header, (VantrelHeader{1, 0, 1, 9, 0, 4}));
  EXPECT_TRUE(frames[0].payload.empty());
  EXPECT_EQ(frames[0].encode(), (Bytes{0xFE, 1, 0, 0, 0, 1, 0, 9, 0, 0, 0, 4}));
}

TEST(VantrelFrameChunker, FullChunkBoundaryAt60000Bytes) {
  const auto full = VantrelFrameChunker::makeFrames(pattern(60000), 4, 1, 2);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].header.chunkSize, 60000);
  EXPECT_EQ(full[0].payload, pattern(60000));
  const auto payload = pattern(60001);
  const auto frames = VantrelFrameChunker::makeFrames(payload, 4, 0xABCD, 5);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].header, (VantrelHeader{4, 0, 2, 0xABCD, 60000, 5}));
  EXPECT_EQ(frames[1].header, (VantrelHeader{4, 1, 2, 0xABCD, 1, 5}));
  EXPECT_EQ(frames[1].payload, Bytes{payload.back()});
}

TEST(VantrelFrameChunker, PacketsAndConcatenationAgreeWithFrames) {
  const auto payload = pattern(150000);
  const auto frames = VantrelFrameChunker::makeFrames(payload, 1, 3, 0xFFFF);
  const auto packets = VantrelFrameChunker::encodePackets(payload, 1, 3, 0xFFFF);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_EQ(packets.size(), 3u);
  Bytes joined;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(packets[i], frames[i].encode());
    append(joined, packets[i]);
  }
  EXPECT_EQ(VantrelFrameChunker::encodeAll(payload, 1, 3, 0xFFFF), joined);
  EXPECT_EQ(joined.size(), 150000u + 3 * 12);
}

TEST(VantrelFrameChunker, RefusesPayloadBeyondLastChunk) {
  // A view of a huge size without backing memory is never read before the size check.
  const std::size_t tooMany = 3932100001ULL;
  const ByteView fake(reinterpret_cast<const std::uint8_t*>(&tooMany), tooMany);
  const auto e = frameErrorOf([&] { VantrelFrameChunker::makeFrames(fake, 1, 0, 0); });
  EXPECT_EQ(e, VantrelFrameError::payloadTooLargeForEncoding(3932100001ULL));
  EXPECT_EQ(e.localizedDescription(), "Vantrel payload of 3932100001 bytes cannot be encoded into frames.");
  EXPECT_THROW(VantrelFrameChunker::encodeAll(fake, 1, 0, 0), VantrelFrameError);
  EXPECT_THROW(VantrelFrameChunker::encodePackets(fake, 1, 0, 0), VantrelFrameError);
}

// --- decoding ---

TEST(VantrelFrameStreamDecoder, OneByteAtATimeYieldsFrameOnlyAtItsLastByte) {
  const auto wire = frameBytes(1, 0, 1, 40);
  VantrelFrameStreamDecoder decoder;
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    EXPECT_TRUE(decoder.append(ByteView(&wire[i], 1)).empty()) << "byte " << i;
  }
  const auto frames = decoder.append(ByteView(&wire.back(), 1));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].header, (VantrelHeader{1, 0, 1, 7, 40, 3}));
  EXPECT_EQ(frames[0].payload, Bytes(40, 0xAA));
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
}

TEST(VantrelFrameStreamDecoder, TwoFramesAndAPartialThird) {
  Bytes wire = frameBytes(1, 0, 2, 10, 0x01);
  append(wire, frameBytes(1, 1, 2, 3, 0x02));
  append(wire, Bytes{0xFE, 0x01, 0x00, 0x00, 0x00});
  VantrelFrameStreamDecoder decoder;
  const auto frames = decoder.append(wire);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload, Bytes(10, 0x01));
  EXPECT_EQ(frames[1].payload, Bytes(3, 0x02));
  EXPECT_EQ(decoder.bufferedByteCount(), 5u);
}

TEST(VantrelFrameStreamDecoder, ChunksAreNeverJoined) {
  const auto payload = pattern(130000);
  VantrelFrameStreamDecoder decoder;
  const auto frames = decoder.append(VantrelFrameChunker::encodeAll(payload, 1, 2, 3));
  ASSERT_EQ(frames.size(), 3u);
  Bytes joined;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].header.sequenceNumber, i);
    append(joined, frames[i].payload);
  }
  EXPECT_EQ(joined, payload);
}

TEST(VantrelFrameStreamDecoder, HeaderChecksRunInOrderBeforeThePayloadArrives) {
  struct Case {
    std::uint16_t seq, num, size;
    VantrelFrameError expected;
  };
  const Case cases[] = {
      {5, 0, 10, VantrelFrameError::zeroChunks()},
      {2, 2, 10, VantrelFrameError::invalidSequenceNumber(2, 2)},
      {9, 2, 60001, VantrelFrameError::invalidSequenceNumber(9, 2)},
      {0, 1, 60001, VantrelFrameError::chunkSizeExceedsMaximum(60001, 60000)},
  };
  for (const auto& c : cases) {
    VantrelFrameStreamDecoder decoder;
    auto header = frameBytes(1, c.seq, c.num, 0);
    header[8] = static_cast<std::uint8_t>(c.size >> 8);
    header[9] = static_cast<std::uint8_t>(c.size);
    EXPECT_EQ(frameErrorOf([&] { decoder.append(header); }), c.expected);
  }
}

TEST(VantrelFrameStreamDecoder, BadSignatureWaitsForTwelveBytesAndStaysBuffered) {
  VantrelFrameStreamDecoder decoder;
  Bytes bad(12, 0x00);
  EXPECT_TRUE(decoder.append(ByteView(bad.data(), 11)).empty());
  const auto e = frameErrorOf([&] { decoder.append(ByteView(bad.data() + 11, 1)); });
  EXPECT_EQ(e, VantrelFrameError::invalidSignature(0x00, 0xFE));
  EXPECT_EQ(decoder.bufferedByteCount(), 12u);
  // The same error comes back until reset.
  EXPECT_EQ(frameErrorOf([&] { decoder.append(frameBytes(1, 0, 1, 1)); }), e);
  EXPECT_EQ(decoder.bufferedByteCount(), 25u);
  decoder.reset();
  EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  EXPECT_EQ(decoder.append(frameBytes(1, 0, 1, 1)).size(), 1u);
}

TEST(VantrelFrameStreamDecoder, SmallLimitRefusesAnnouncedFrameAtOnce) {
  VantrelFrameStreamDecoder decoder(100);
  EXPECT_EQ(decoder.append(frameBytes(1, 0, 1, 88)).size(), 1u);  // exactly at the limit
  auto header = frameBytes(1, 0, 1, 0);
  header[8] = 0;
  header[9] = 200;
  EXPECT_EQ(frameErrorOf([&] { decoder.append(header); }), VantrelFrameError::bufferLimitExceeded(212, 100));
}

TEST(VantrelFrameStreamDecoder, LimitBelowHeaderSizeCountsBufferedBytes) {
  VantrelFrameStreamDecoder decoder(5);
  const auto wire = frameBytes(1, 0, 1, 0);
  EXPECT_EQ(frameErrorOf([&] { decoder.append(ByteView(wire.data(), 6)); }),
            VantrelFrameError::bufferLimitExceeded(6, 5));
  EXPECT_EQ(decoder.bufferLimit(), 5u);
}

TEST(VantrelFrameStreamDecoder, ValidFrameBeforeBadOneIsDiscardedButConsumed) {
  Bytes wire = frameBytes(1, 0, 1, 4);
  Bytes bad(12, 0x11);
  append(wire, bad);
  VantrelFrameStreamDecoder decoder;
  EXPECT_EQ(frameErrorOf([&] { decoder.append(wire); }), VantrelFrameError::invalidSignature(0x11, 0xFE));
  EXPECT_EQ(decoder.bufferedByteCount(), 12u);
}

TEST(VantrelFrameStreamDecoder, SlowPathKeepsOrderAcrossManyPieces) {
  Bytes wire;
  for (std::uint16_t i = 0; i < 20; ++i)
    append(wire, frameBytes(static_cast<std::uint8_t>(i), 0, 1, i * 997, static_cast<std::uint8_t>(i)));
  for (const std::size_t step : {1u, 7u, 12u, 13u, 4096u, 65536u}) {
    VantrelFrameStreamDecoder decoder;
    std::vector<VantrelFrame> frames;
    for (std::size_t at = 0; at < wire.size(); at += step) {
      const auto n = std::min(step, wire.size() - at);
      for (auto& f : decoder.append(ByteView(wire.data() + at, n))) frames.push_back(std::move(f));
    }
    ASSERT_EQ(frames.size(), 20u) << "step " << step;
    for (std::uint16_t i = 0; i < 20; ++i) {
      EXPECT_EQ(frames[i].header.command, i);
      EXPECT_EQ(frames[i].payload, Bytes(i * 997u, static_cast<std::uint8_t>(i)));
    }
    EXPECT_EQ(decoder.bufferedByteCount(), 0u);
  }
}

TEST(VantrelFrameStreamDecoder, DefaultLimitAcceptsLargestFrame) {
  VantrelFrameStreamDecoder decoder;
  EXPECT_EQ(decoder.bufferLimit(), 131072u);
  const auto frames = decoder.append(frameBytes(1, 0, 1, 60000));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload.size(), 60000u);
}

}  // namespace
}  // namespace vantrel
