#include "support/ManagerWire.hpp"

#include <stdexcept>

namespace vantrel::testing {

namespace {

void put16BE(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void put32LE(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

void put32BE(Bytes& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

void putText(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// A length-prefixed string as MS-NRBF writes it (all names here are shorter than 128 bytes).
void putName(Bytes& out, std::string_view text) {
  append(out, ManagerEnvelopes::lengthPrefix(text.size()));
  putText(out, text);
}

std::uint32_t crc32(ByteView bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (auto b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putChunk(Bytes& out, std::string_view type, ByteView data) {
  put32BE(out, static_cast<std::uint32_t>(data.size()));
  Bytes typed(type.begin(), type.end());
  append(typed, data);
  append(out, typed);
  put32BE(out, crc32(typed));
}

constexpr std::string_view managerLibrary =
    "VantrelMgr, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null";
constexpr std::string_view drawingLibrary =
    "System.Drawing, Version=4.0.0.0, Culture=neutral, PublicKeyToken=b03f5f7f11d50a3a";

void putSerializationHeader(Bytes& out) {
  const std::uint8_t bytes[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  out.insert(out.end(), std::begin(bytes), std::end(bytes));
}

void putLibrary(Bytes& out, std::uint32_t id, std::string_view name) {
  out.push_back(0x0C);
  put32LE(out, id);
  putName(out, name);
}

// The inline MgrProtocolEnum object followed by Kind and ComNum.
void putKindObject(Bytes& out, std::uint32_t objectID, std::uint32_t kind, std::uint32_t comNum) {
  out.push_back(0x05);
  put32LE(out, objectID);
  putName(out, "Corvantis.MgrProtocolEnum");
  put32LE(out, 1);
  putName(out, "value__");
  out.push_back(0x00);  // binary type: primitive
  out.push_back(0x08);  // primitive type: Int32
  put32LE(out, 2);      // library 2
  put32LE(out, kind);
  put32LE(out, comNum);
}

void putStringRecord(Bytes& out, std::uint32_t objectID, std::string_view text) {
  out.push_back(0x06);
  put32LE(out, objectID);
  append(out, ManagerEnvelopes::lengthPrefix(text.size()));
  putText(out, text);
}

}  // namespace

namespace ManagerWire {

Bytes header(std::uint8_t command, std::uint16_t sequenceNumber, std::uint16_t numChunks,
             std::uint16_t timestamp, std::uint16_t chunkSize, std::uint16_t comNum) {
  Bytes out{0xFE, command};
  put16BE(out, sequenceNumber);
  put16BE(out, numChunks);
  put16BE(out, timestamp);
  put16BE(out, chunkSize);
  put16BE(out, comNum);
  return out;
}

Bytes frame(std::uint8_t command, ByteView payload, std::uint16_t timestamp, std::uint16_t comNum) {
  if (payload.size() > 0xFFFF) throw std::invalid_argument("frame payload too large");
  Bytes out = header(command, 0, 1, timestamp, static_cast<std::uint16_t>(payload.size()), comNum);
  append(out, payload);
  return out;
}

Bytes message(std::uint8_t command, ByteView payload, std::uint16_t timestamp, std::uint16_t comNum) {
  if (payload.empty()) return frame(command, payload, timestamp, comNum);
  const std::size_t count = (payload.size() + chunkLimit - 1) / chunkLimit;
  if (count > 0xFFFF) throw std::invalid_argument("message too large");
  Bytes out;
  out.reserve(payload.size() + count * headerSize);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t start = i * chunkLimit;
    const std::size_t length = std::min(chunkLimit, payload.size() - start);
    append(out, header(command, static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(count), timestamp,
                       static_cast<std::uint16_t>(length), comNum));
    append(out, payload.subspan(start, length));
  }
  return out;
}

std::optional<std::vector<Frame>> takeFrames(Bytes& buffer) {
  std::vector<Frame> frames;
  std::size_t offset = 0;
  while (buffer.size() - offset >= headerSize) {
    const std::uint8_t* h = buffer.data() + offset;
    if (h[0] != 0xFE) return std::nullopt;
    auto u16 = [h](std::size_t at) { return static_cast<std::uint16_t>((h[at] << 8) | h[at + 1]); };
    Frame f;
    f.command = h[1];
    f.sequenceNumber = u16(2);
    f.numChunks = u16(4);
    f.timestamp = u16(6);
    f.chunkSize = u16(8);
    f.comNum = u16(10);
    if (f.numChunks == 0 || f.sequenceNumber >= f.numChunks || f.chunkSize > chunkLimit) {
      return std::nullopt;
    }
    if (buffer.size() - offset - headerSize < f.chunkSize) break;
    f.payload.assign(buffer.begin() + static_cast<std::ptrdiff_t>(offset + headerSize),
                     buffer.begin() + static_cast<std::ptrdiff_t>(offset + headerSize + f.chunkSize));
    offset += headerSize + f.chunkSize;
    frames.push_back(std::move(f));
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
  return frames;
}

std::vector<Bytes> joinMessages(const std::vector<Frame>& frames) {
  std::vector<Bytes> messages;
  Bytes current;
  for (const auto& f : frames) {
    if (f.sequenceNumber == 0) current.clear();
    append(current, f.payload);
    if (f.sequenceNumber + 1 == f.numChunks) {
      messages.push_back(std::move(current));
      current = {};
    }
  }
  return messages;
}

}  // namespace ManagerWire

namespace ManagerEnvelopes {

Bytes lengthPrefix(std::size_t length) {
  Bytes out;
  do {
    std::uint8_t byte = static_cast<std::uint8_t>(length & 0x7F);
    length >>= 7;
    if (length != 0) byte |= 0x80;
    out.push_back(byte);
  } while (length != 0);
  return out;
}

Bytes prefix(std::uint32_t kind, std::uint32_t comNum) {
  Bytes out;
  out.reserve(236);
  putSerializationHeader(out);         // 0..16
  putLibrary(out, 2, managerLibrary);  // 17..87
  out.push_back(0x05);                 // 88: class with members and types
  put32LE(out, 1);
  putName(out, "Corvantis.TSocketData");
  put32LE(out, 3);
  putName(out, "Kind");
  putName(out, "ComNum");
  putName(out, "DataClass");
  out.push_back(0x04);  // Kind: class
  out.push_back(0x00);  // ComNum: primitive
  out.push_back(0x02);  // DataClass: object
  putName(out, "Corvantis.MgrProtocolEnum");
  put32LE(out, 2);
  out.push_back(0x08);                            // Int32
  put32LE(out, 2);                                // library 2
  putKindObject(out, 0xFFFFFFFDu, kind, comNum);  // 179..235
  return out;
}

Bytes nullDataClass(std::uint32_t kind, std::uint32_t comNum) {
  Bytes out = prefix(kind, comNum);
  out.push_back(0x0A);
  out.push_back(0x0B);
  return out;
}

Bytes screenInfo(std::uint32_t kind, std::uint32_t comNum, std::int32_t picWidth, std::int32_t picHeight,
                 std::int32_t accel, std::int32_t cursor) {
  Bytes out = prefix(kind, comNum);
  for (int i = 0; i < 247; ++i) out.push_back(static_cast<std::uint8_t>(0x80 + i % 97));
  const std::int32_t numbers[] = {800, 600, picWidth, picHeight, accel, cursor, 2, 2, 1, 96};
  for (const auto n : numbers) {
    const auto v = static_cast<std::uint32_t>(n);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  out.insert(out.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  return out;
}

Bytes strings(std::uint32_t kind, std::uint32_t comNum, const std::vector<std::string>& texts) {
  Bytes out = prefix(kind, comNum);
  std::uint32_t id = 4;
  for (const auto& text : texts) putStringRecord(out, id++, text);
  out.push_back(0x0B);
  return out;
}

Bytes currentFolder(std::uint32_t comNum, std::string_view folder, std::string_view message) {
  Bytes out = prefix(setCurrentFolder, comNum);
  out.insert(out.end(), {0x09, 0x04, 0x00, 0x00, 0x00});
  out.push_back(0x05);
  put32LE(out, 4);
  putName(out, "Corvantis.TClibboardResult");
  put32LE(out, 2);
  putName(out, "Folder");
  putName(out, "Msg");
  out.push_back(0x01);
  out.push_back(0x01);
  put32LE(out, 2);
  putStringRecord(out, 5, folder);
  putStringRecord(out, 6, message);
  out.push_back(0x0B);
  return out;
}

Bytes imagePNG(std::uint32_t comNum, ByteView png) {
  Bytes out;
  putSerializationHeader(out);
  putLibrary(out, 2, managerLibrary);
  putLibrary(out, 3, drawingLibrary);
  out.push_back(0x05);
  put32LE(out, 1);
  putName(out, "Corvantis.TSocketData");
  put32LE(out, 3);
  putName(out, "Kind");
  putName(out, "ComNum");
  putName(out, "DataClass");
  out.push_back(0x04);
  out.push_back(0x00);
  out.push_back(0x04);
  putName(out, "Corvantis.MgrProtocolEnum");
  put32LE(out, 2);
  out.push_back(0x08);
  putName(out, "System.Drawing.Bitmap");
  put32LE(out, 3);
  put32LE(out, 2);
  putKindObject(out, 0xFFFFFFFCu, clipboardImage, comNum);  // 292..348
  out.insert(out.end(), {0x09, 0x05, 0x00, 0x00, 0x00});
  out.push_back(0x05);
  put32LE(out, 5);
  putName(out, "System.Drawing.Bitmap");
  put32LE(out, 1);
  putName(out, "Data");
  out.push_back(0x07);  // primitive array
  out.push_back(0x02);  // Byte
  put32LE(out, 3);
  out.insert(out.end(), {0x09, 0x06, 0x00, 0x00, 0x00});
  out.push_back(0x0F);
  put32LE(out, 6);
  put32LE(out, static_cast<std::uint32_t>(png.size()));
  out.push_back(0x02);
  append(out, png);
  out.push_back(0x0B);
  return out;
}

Bytes tinyPNG() {
  Bytes out{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  const Bytes ihdr{0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0};
  putChunk(out, "IHDR", ihdr);
  // zlib stream with one stored block holding the filter byte 0 and one grey pixel 0x80.
  const Bytes idat{0x78, 0x01, 0x01, 0x02, 0x00, 0xFD, 0xFF, 0x00, 0x80, 0x00, 0x82, 0x00, 0x81};
  putChunk(out, "IDAT", idat);
  putChunk(out, "IEND", {});
  return out;
}

std::optional<std::uint32_t> kindAt228(ByteView envelope) { return readU32LE(envelope, 228); }
std::optional<std::uint32_t> comNumAt232(ByteView envelope) { return readU32LE(envelope, 232); }

}  // namespace ManagerEnvelopes

}  // namespace vantrel::testing
