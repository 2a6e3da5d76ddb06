#include "Protocol/VantrelFrameStreamDecoder.hpp"

#include <cstdlib>

#include "Protocol/VantrelProtocol.hpp"

namespace vantrel {

VantrelFrameStreamDecoder::VantrelFrameStreamDecoder(std::size_t maxBufferedBytes)
    : limit_(maxBufferedBytes) {
  if (maxBufferedBytes < 1) std::abort();  // programming error
  buffer_.reserve(std::min<std::size_t>(maxBufferedBytes, 4096));
}

void VantrelFrameStreamDecoder::validateHeaderFields(const VantrelHeader& header) {
  if (header.numChunks == 0) throw VantrelFrameError::zeroChunks();
  if (header.sequenceNumber >= header.numChunks) {
    throw VantrelFrameError::invalidSequenceNumber(header.sequenceNumber, header.numChunks);
  }
  if (header.chunkSize > VantrelProtocol::maxChunkPayloadSize) {
    throw VantrelFrameError::chunkSizeExceedsMaximum(header.chunkSize, VantrelProtocol::maxChunkPayloadSize);
  }
}

void VantrelFrameStreamDecoder::drainFrom(ByteView bytes, std::size_t& offset,
                                          std::vector<VantrelFrame>& frames) const {
  while (true) {
    const auto available = bytes.size() - offset;
    if (available < VantrelHeader::byteCount) return;
    const auto* p = bytes.data() + offset;
    if (p[0] != VantrelHeader::signature) {
      throw VantrelFrameError::invalidSignature(p[0], VantrelHeader::signature);
    }
    const auto header = VantrelHeaderCodec::decode(bytes.subspan(offset, VantrelHeader::byteCount));
    validateHeaderFields(header);
    const std::size_t frameLength = VantrelHeader::byteCount + header.chunkSize;
    if (frameLength > limit_) throw VantrelFrameError::bufferLimitExceeded(frameLength, limit_);
    if (available < frameLength) return;
    frames.push_back(VantrelFrame{header, Bytes(p + VantrelHeader::byteCount, p + frameLength)});
    offset += frameLength;
  }
}

std::vector<VantrelFrame> VantrelFrameStreamDecoder::append(ByteView data) {
  std::vector<VantrelFrame> frames;
  std::size_t offset = 0;
  if (bufferedByteCount() == 0 && !data.empty()) {
    // Fast path: decode straight from the received bytes and keep only the incomplete rest.
    buffer_.clear();
    head_ = 0;
    try {
      drainFrom(data, offset, frames);
    } catch (...) {
      buffer_.assign(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end());
      throw;
    }
    buffer_.assign(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end());
  } else {
    if (head_ > 0) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    try {
      drainFrom(ByteView(buffer_), offset, frames);
    } catch (...) {
      head_ = offset;
      throw;
    }
    head_ = offset;
    if (head_ == buffer_.size()) {
      buffer_.clear();
      head_ = 0;
    }
  }
  if (bufferedByteCount() > limit_) {
    throw VantrelFrameError::bufferLimitExceeded(bufferedByteCount(), limit_);
  }
  return frames;
}

void VantrelFrameStreamDecoder::reset() noexcept {
  buffer_.clear();
  head_ = 0;
}

}  // namespace vantrel
