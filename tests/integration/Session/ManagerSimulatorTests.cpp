// The manager simulator itself, checked against bytes written out by hand here and against a
// plain socket, so that the session tests can trust what it sends and records.

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "support/AsyncTest.hpp"
#include "support/ManagerSimulator.hpp"

namespace vantrel::testing {
namespace {

using asio::ip::tcp;

class PlainClient {
 public:
  PlainClient(asio::io_context& io, std::uint16_t port) : io_(io), socket_(io) {
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  }
  void write(const Bytes& bytes) { asio::write(socket_, asio::buffer(bytes)); }
  // Reads exactly `count` bytes while the io_context runs the simulator.
  Bytes read(std::size_t count) {
    Bytes out(count);
    bool done = false;
    std::error_code error;
    asio::async_read(socket_, asio::buffer(out), [&](std::error_code ec, std::size_t) {
      error = ec;
      done = true;
    });
    EXPECT_TRUE(runUntil(io_, [&] { return done; }));
    EXPECT_FALSE(error) << error.message();
    return out;
  }
  tcp::socket& socket() { return socket_; }

 private:
  asio::io_context& io_;
  tcp::socket socket_;
};

const Bytes authFrameForAbc{0xFE, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                            0x05, 0x00, 0x07, 'R',  '_',  'a',  'b',  'c'};

TEST(ManagerWireTests, HeaderIsBigEndianWithSignature) {
  EXPECT_EQ(ManagerWire::header(8, 0, 1, 0x1234, 300, 0xFFFF),
            (Bytes{0xFE, 0x08, 0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x01, 0x2C, 0xFF, 0xFF}));
}

TEST(ManagerWireTests, MessageCutsAtSixtyThousandBytes) {
  Bytes payload(60001, 0xAB);
  Bytes wire = ManagerWire::message(1, payload, 9, 3);
  ASSERT_EQ(wire.size(), 60001u + 24u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 12),
            (Bytes{0xFE, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x09, 0xEA, 0x60, 0x00, 0x03}));
  EXPECT_EQ(Bytes(wire.begin() + 60012, wire.begin() + 60024),
            (Bytes{0xFE, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x09, 0x00, 0x01, 0x00, 0x03}));
  auto frames = ManagerWire::takeFrames(wire);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 2u);
  EXPECT_TRUE(wire.empty());
  EXPECT_EQ(ManagerWire::joinMessages(*frames), std::vector<Bytes>{payload});
}

TEST(ManagerWireTests, TakeFramesKeepsIncompleteTailAndRejectsGarbage) {
  Bytes buffer = ManagerWire::frame(7, Bytes(20, 1));
  Bytes second = ManagerWire::frame(1, Bytes{1, 2, 3});
  buffer.insert(buffer.end(), second.begin(), second.begin() + 13);
  auto frames = ManagerWire::takeFrames(buffer);
  ASSERT_TRUE(frames);
  EXPECT_EQ(frames->size(), 1u);
  EXPECT_EQ(buffer.size(), 13u);
  Bytes garbage = toBytes("GARBAGE!!!!!");
  EXPECT_FALSE(ManagerWire::takeFrames(garbage));
  Bytes zeroChunks = ManagerWire::header(1, 0, 0, 0, 0, 0);
  EXPECT_FALSE(ManagerWire::takeFrames(zeroChunks));
}

TEST(ManagerEnvelopeTests, LengthPrefixUsesSevenBitGroups) {
  EXPECT_EQ(ManagerEnvelopes::lengthPrefix(0), Bytes{0x00});
  EXPECT_EQ(ManagerEnvelopes::lengthPrefix(127), Bytes{0x7F});
  EXPECT_EQ(ManagerEnvelopes::lengthPrefix(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(ManagerEnvelopes::lengthPrefix(16384), (Bytes{0x80, 0x80, 0x01}));
  EXPECT_EQ(ManagerEnvelopes::lengthPrefix(4194304), (Bytes{0x80, 0x80, 0x80, 0x02}));
}

TEST(ManagerEnvelopeTests, CommonPrefixMatchesTheLayoutTable) {
  const Bytes p = ManagerEnvelopes::prefix(0x11223344, 0x0000ABCD);
  ASSERT_EQ(p.size(), 236u);
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 17), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                                     0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(p[17], 0x0C);
  EXPECT_EQ(p[22], 65);  // library name length
  EXPECT_EQ(toString(ByteView(p).subspan(23, 10)), "VantrelMgr");
  EXPECT_EQ(p[88], 0x05);
  EXPECT_EQ(p[93], 21);
  EXPECT_EQ(toString(ByteView(p).subspan(94, 21)), "Corvantis.TSocketData");
  EXPECT_EQ(p[179], 0x05);
  EXPECT_EQ(Bytes(p.begin() + 180, p.begin() + 184), (Bytes{0xFD, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(p.begin() + 214, p.begin() + 228),
            (Bytes{0x07, 0x76, 0x61, 0x6C, 0x75, 0x65, 0x5F, 0x5F, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(p.begin() + 228, p.end()), (Bytes{0x44, 0x33, 0x22, 0x11, 0xCD, 0xAB, 0x00, 0x00}));
}

TEST(ManagerEnvelopeTests, DataClassShapes) {
  const Bytes null = ManagerEnvelopes::nullDataClass(16, 5);
  ASSERT_EQ(null.size(), 238u);
  EXPECT_EQ(null[236], 0x0A);
  EXPECT_EQ(null[237], 0x0B);

  const Bytes empty = ManagerEnvelopes::string(65, 0, "");
  ASSERT_EQ(empty.size(), 243u);
  EXPECT_EQ(Bytes(empty.end() - 7, empty.end()), (Bytes{0x06, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0B}));

  const Bytes two = ManagerEnvelopes::strings(65, 0, {"a", "bc"});
  EXPECT_EQ(Bytes(two.begin() + 236, two.end()),
            (Bytes{0x06, 0x04, 0, 0, 0, 1, 'a', 0x06, 0x05, 0, 0, 0, 2, 'b', 'c', 0x0B}));

  const Bytes folder = ManagerEnvelopes::currentFolder(2, std::string(20, 'x'), "");
  ASSERT_EQ(folder.size(), 327u);  // the size of the folder template with its 20-byte placeholder
  EXPECT_EQ(Bytes(folder.begin() + 236, folder.begin() + 242), (Bytes{0x09, 0x04, 0, 0, 0, 0x05}));
  EXPECT_EQ(Bytes(folder.begin() + 294, folder.begin() + 300), (Bytes{0x06, 0x05, 0, 0, 0, 20}));
  EXPECT_EQ(Bytes(folder.begin() + 320, folder.end()), (Bytes{0x06, 0x06, 0, 0, 0, 0, 0x0B}));
}

TEST(ManagerEnvelopeTests, ImageEnvelopeUsesTheBitmapLayout) {
  const Bytes png = ManagerEnvelopes::tinyPNG();
  ASSERT_EQ(png.size(), 70u);
  // The IEND chunk's CRC is the well-known AE 42 60 82.
  EXPECT_EQ(Bytes(png.end() - 8, png.end()), (Bytes{0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
  const Bytes image = ManagerEnvelopes::imagePNG(0x1234, png);
  ASSERT_EQ(image.size(), 412u + png.size());
  EXPECT_EQ(image[88], 0x0C);
  EXPECT_EQ(image[175], 0x05);
  EXPECT_EQ(image[292], 0x05);
  EXPECT_EQ(Bytes(image.begin() + 327, image.begin() + 341),
            (Bytes{0x07, 0x76, 0x61, 0x6C, 0x75, 0x65, 0x5F, 0x5F, 0x00, 0x08, 0x02, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(image.begin() + 341, image.begin() + 349), (Bytes{66, 0, 0, 0, 0x34, 0x12, 0, 0}));
  EXPECT_EQ(image[354], 0x05);
  EXPECT_EQ(image[396], 0x09);
  EXPECT_EQ(image[401], 0x0F);
  EXPECT_EQ(Bytes(image.begin() + 411, image.begin() + 419), Bytes(png.begin(), png.begin() + 8));
  EXPECT_EQ(image.back(), 0x0B);
}

TEST(ManagerSimulatorTests, AnswersAuthenticationAndRecordsFrames) {
  asio::io_context io;
  ManagerSimulator simulator(io.get_executor());
  PlainClient client(io, simulator.port());
  client.write(authFrameForAbc);
  EXPECT_EQ(client.read(13), (Bytes{0xFE, 0x08, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0x31}));
  client.write(ManagerWire::frame(9, Bytes{'1'}, 1, 7));
  ASSERT_TRUE(runUntil(io, [&] { return simulator.frameCount() == 2; }));
  auto frames = simulator.framesOf(0);
  EXPECT_EQ(frames[0].command, 8);
  EXPECT_EQ(frames[0].comNum, 7);
  EXPECT_EQ(toString(frames[0].payload), "R_abc");
  EXPECT_EQ(frames[1].command, 9);
  EXPECT_EQ(frames[1].timestamp, 1);
  EXPECT_EQ(simulator.acceptedCount(), 1);
}

TEST(ManagerSimulatorTests, RejectGarbageAndSilence) {
  asio::io_context io;
  ManagerSimulator simulator(io.get_executor());
  simulator.setAuthAnswer(ManagerSimulator::AuthAnswer::reject);
  {
    PlainClient client(io, simulator.port());
    client.write(authFrameForAbc);
    EXPECT_EQ(client.read(13).back(), 0x30);
  }
  simulator.setAuthAnswer(ManagerSimulator::AuthAnswer::garbage);
  {
    PlainClient client(io, simulator.port());
    client.write(authFrameForAbc);
    EXPECT_EQ(toString(client.read(12)), "GARBAGE!!!!!");
  }
  simulator.setAuthAnswer(ManagerSimulator::AuthAnswer::silence);
  {
    PlainClient client(io, simulator.port());
    const auto before = simulator.bytesWritten();
    client.write(authFrameForAbc);
    client.write(ManagerWire::frame(9, Bytes{'1'}));
    ASSERT_TRUE(runUntil(io, [&] { return simulator.framesOf(2).size() == 2; }));
    drain(io);
    EXPECT_EQ(simulator.bytesWritten(), before);
  }
  EXPECT_EQ(simulator.acceptedCount(), 3);
}

TEST(ManagerSimulatorTests, SendsInOrderAndNoticesMalformedBytes) {
  asio::io_context io;
  ManagerSimulator simulator(io.get_executor());
  PlainClient client(io, simulator.port());
  ASSERT_TRUE(runUntil(io, [&] { return simulator.clientOpen(); }));
  simulator.send(Bytes{1, 2, 3});
  simulator.send(Bytes{4, 5});
  EXPECT_EQ(client.read(5), (Bytes{1, 2, 3, 4, 5}));
  client.write(toBytes("not a frame!"));
  ASSERT_TRUE(runUntil(io, [&] { return simulator.sawMalformedBytes(); }));
  EXPECT_TRUE(runUntil(io, [&] { return !simulator.clientOpen(); }));
}

TEST(ManagerSimulatorTests, CloseClientEndsTheStream) {
  asio::io_context io;
  ManagerSimulator simulator(io.get_executor());
  PlainClient client(io, simulator.port());
  ASSERT_TRUE(runUntil(io, [&] { return simulator.clientOpen(); }));
  simulator.closeClient();
  std::uint8_t byte = 0;
  bool done = false;
  std::error_code error;
  client.socket().async_read_some(asio::buffer(&byte, 1), [&](std::error_code ec, std::size_t) {
    error = ec;
    done = true;
  });
  ASSERT_TRUE(runUntil(io, [&] { return done; }));
  EXPECT_EQ(error, asio::error::eof);
}

}  // namespace
}  // namespace vantrel::testing
