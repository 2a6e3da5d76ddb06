#pragma once

// The messages between the agent and the relay daemon on the relay socket, and their byte
// layout (docs/relay-socket-protocol.md). Pure functions over bytes: no I/O, so the decoders can
// be fuzzed on their own.

#include <cstdint>
#include <optional>
#include <string>

#include "Support/Bytes.hpp"

namespace vantrel::relayipc {

// Every message is a 4-byte big-endian length followed by that many bytes of body.
inline constexpr std::size_t lengthPrefixSize = 4;
// The most bytes one send request or one receive reply may carry.
inline constexpr std::size_t maximumDataSize = 16 * 1024 * 1024;
// The most bytes an error text or a host name may have.
inline constexpr std::size_t maximumTextSize = 64 * 1024;
// The largest body a reader accepts: the biggest data message plus its fixed fields.
inline constexpr std::size_t maximumBodySize = maximumDataSize + 16;

enum class Operation : std::uint8_t {
  connect = 0x01,
  disconnect = 0x02,
  send = 0x03,
  receive = 0x04,
};
// A reply's type byte is its request's with the high bit set.
inline constexpr std::uint8_t replyFlag = 0x80;

struct Request {
  Operation operation = Operation::disconnect;
  std::uint32_t id = 0;
  std::string host;       // connect only, exactly as the caller passed it
  std::int64_t port = 0;  // connect only
  Bytes data;             // send only

  friend bool operator==(const Request&, const Request&) = default;
};

struct Reply {
  Operation operation = Operation::disconnect;
  std::uint32_t id = 0;
  std::optional<std::string> errorText;  // connect, send, receive
  std::optional<Bytes> data;             // receive only

  friend bool operator==(const Reply&, const Reply&) = default;
};

// Whole messages, length prefix included. Nullopt when a field is over its limit or a text is not
// UTF-8 (nothing that the peer could not decode is ever written).
std::optional<Bytes> encode(const Request& request);
std::optional<Bytes> encode(const Reply& reply);

// Decodes one body (without its length prefix). Nullopt for anything malformed: unknown type,
// a field that runs past the end, bytes left over, a flag other than 0 or 1, a text that is not
// UTF-8, a field over its limit, or fields the operation does not have.
std::optional<Request> decodeRequest(ByteView body);
std::optional<Reply> decodeReply(ByteView body);

// Cuts a byte stream into message bodies. A length of zero or above `maximumBodySize` is a
// protocol violation: the reader then stays failed.
class MessageReader {
 public:
  // Appends received bytes. Returns false once the stream is known to be malformed.
  bool append(ByteView bytes);
  // The next complete body, if one has arrived.
  std::optional<Bytes> next();
  bool failed() const noexcept { return failed_; }
  std::size_t bufferedByteCount() const noexcept { return buffer_.size() - consumed_; }

 private:
  void compact();
  Bytes buffer_;
  std::size_t consumed_ = 0;
  bool failed_ = false;
};

}  // namespace vantrel::relayipc
