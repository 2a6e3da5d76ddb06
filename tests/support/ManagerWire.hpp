#pragma once

// The manager's side of the wire, written out byte by byte from the protocol tables and never
// through the project's own frame chunker or envelope builders: a fault shared by a builder and
// its parser cannot hide behind a test that uses both.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Support/Bytes.hpp"

namespace vantrel::testing {

namespace ManagerWire {

inline constexpr std::size_t headerSize = 12;
inline constexpr std::size_t chunkLimit = 60000;

struct Frame {
  std::uint8_t command = 0;
  std::uint16_t sequenceNumber = 0;
  std::uint16_t numChunks = 0;
  std::uint16_t timestamp = 0;
  std::uint16_t chunkSize = 0;
  std::uint16_t comNum = 0;
  Bytes payload;
};

// The 12-byte big-endian header: FE, command, then five 16-bit fields high byte first.
Bytes header(std::uint8_t command, std::uint16_t sequenceNumber, std::uint16_t numChunks,
             std::uint16_t timestamp, std::uint16_t chunkSize, std::uint16_t comNum);

// One single-chunk frame (chunkSize = payload size, which must be at most 65,535).
Bytes frame(std::uint8_t command, ByteView payload, std::uint16_t timestamp = 0, std::uint16_t comNum = 0);

// A message cut into 60,000-byte chunks, all frames concatenated (an empty payload gives one
// empty frame).
Bytes message(std::uint8_t command, ByteView payload, std::uint16_t timestamp, std::uint16_t comNum);

// Cuts `buffer` into frames from its front; consumed bytes are removed, an incomplete tail stays.
// Returns nullopt (and leaves the buffer alone) when the front is not a frame: bad signature,
// zero chunks, sequence out of range or a chunk over 60,000 bytes.
std::optional<std::vector<Frame>> takeFrames(Bytes& buffer);

// Joins the payloads of consecutive frames into messages: a frame whose numChunks is 1 is its
// own message; frames i..i+n-1 with sequence numbers 0..n-1 form one.
std::vector<Bytes> joinMessages(const std::vector<Frame>& frames);

}  // namespace ManagerWire

namespace ManagerEnvelopes {

// Legacy command codes used by the tests.
inline constexpr std::uint32_t getComInfo = 16;
inline constexpr std::uint32_t getScreen = 21;
inline constexpr std::uint32_t getScreenEnd = 24;
inline constexpr std::uint32_t getScreenInfo = 25;
inline constexpr std::uint32_t getScreenEndKeyCheck = 29;
inline constexpr std::uint32_t getCurrentFolder = 34;
inline constexpr std::uint32_t setCurrentFolder = 35;
inline constexpr std::uint32_t getManagerControlV = 36;
inline constexpr std::uint32_t reboot = 39;
inline constexpr std::uint32_t shutdown = 40;
inline constexpr std::uint32_t frameControl2A = 42;
inline constexpr std::uint32_t clipboardText = 65;
inline constexpr std::uint32_t clipboardImage = 66;
inline constexpr std::uint32_t clipboardFile = 67;
inline constexpr std::uint32_t getSingleFiles = 128;
inline constexpr std::uint32_t setSingleCommands = 129;

// MS-NRBF length prefix: 7 bits per byte, least significant first, high bit = more follows.
Bytes lengthPrefix(std::size_t length);

// The common 236-byte TSocketData prefix: serialization header (17), library 2 (71), the
// TSocketData class record (91), the inline MgrProtocolEnum object (49), Kind at 228, ComNum at
// 232.
Bytes prefix(std::uint32_t kind, std::uint32_t comNum);

// DataClass null (0x0A) and message end: 238 bytes.
Bytes nullDataClass(std::uint32_t kind, std::uint32_t comNum);

// A 527-byte screen request (kind 21 or 25): the prefix, 247 bytes standing for the manager's own
// object, then little-endian numbers clientWidth 800, clientHeight 600, the picture size, accel,
// cursor, version 2, two monitors, index 1, dpi 96, and four trailing bytes DE AD BE EF.
Bytes screenInfo(std::uint32_t kind, std::uint32_t comNum, std::int32_t picWidth, std::int32_t picHeight,
                 std::int32_t accel = 5, std::int32_t cursor = 1);

// DataClass = one binary object string record per text (object IDs 4, 5, …), then message end.
Bytes strings(std::uint32_t kind, std::uint32_t comNum, const std::vector<std::string>& texts);
inline Bytes string(std::uint32_t kind, std::uint32_t comNum, std::string_view text) {
  return strings(kind, comNum, {std::string(text)});
}

// Kind 35 with a TClibboardResult object (Folder, Msg).
Bytes currentFolder(std::uint32_t comNum, std::string_view folder, std::string_view message);

// Kind 66 in the bitmap layout (second library "System.Drawing", Kind at 341).
Bytes imagePNG(std::uint32_t comNum, ByteView png);

// A small valid PNG (1 x 1, grey): signature, IHDR, IDAT, IEND.
Bytes tinyPNG();

// Reading what the agent sent.
std::optional<std::uint32_t> kindAt228(ByteView envelope);
std::optional<std::uint32_t> comNumAt232(ByteView envelope);

}  // namespace ManagerEnvelopes

}  // namespace vantrel::testing
