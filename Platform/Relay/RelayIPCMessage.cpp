#include "Platform/Relay/RelayIPCMessage.hpp"

#include "Support/Text.hpp"

namespace vantrel::relayipc {
namespace {

bool isOperation(std::uint8_t value) noexcept {
  return value >= static_cast<std::uint8_t>(Operation::connect) &&
         value <= static_cast<std::uint8_t>(Operation::receive);
}

// An optional field: a presence byte (0 or 1), then a 4-byte big-endian length and the bytes.
void writeOptional(ByteWriter& writer, const std::optional<ByteView>& field) {
  if (!field) {
    writer.u8(0);
    return;
  }
  writer.u8(1).u32be(static_cast<std::uint32_t>(field->size())).bytes(*field);
}

// nullopt: malformed; optional<nullopt>: absent.
std::optional<std::optional<ByteView>> readOptional(ByteReader& reader, std::size_t limit) {
  const auto present = reader.u8();
  if (!present || *present > 1) return std::nullopt;
  if (*present == 0) return std::optional<ByteView>();
  const auto length = reader.u32be();
  if (!length || *length > limit) return std::nullopt;
  const auto bytes = reader.bytes(*length);
  if (!bytes) return std::nullopt;
  return std::optional<ByteView>(*bytes);
}

Bytes withLengthPrefix(const ByteWriter& body) {
  ByteWriter message(lengthPrefixSize + body.size());
  message.u32be(static_cast<std::uint32_t>(body.size())).bytes(body.data());
  return std::move(message).take();
}

bool textFits(const std::string& text) {
  return text.size() <= maximumTextSize && vantrel::text::isValidUTF8(text);
}

}  // namespace

std::optional<Bytes> encode(const Request& request) {
  ByteWriter body;
  body.u8(static_cast<std::uint8_t>(request.operation)).u32be(request.id);
  switch (request.operation) {
    case Operation::connect:
      if (!textFits(request.host)) return std::nullopt;
      body.write<std::int64_t>(request.port, Endian::big)
          .u32be(static_cast<std::uint32_t>(request.host.size()))
          .bytes(asBytes(request.host));
      break;
    case Operation::send:
      if (request.data.size() > maximumDataSize) return std::nullopt;
      body.bytes(request.data);
      break;
    case Operation::disconnect:
    case Operation::receive: break;
    default: return std::nullopt;
  }
  return withLengthPrefix(body);
}

std::optional<Bytes> encode(const Reply& reply) {
  ByteWriter body;
  body.u8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(reply.operation) | replyFlag)).u32be(reply.id);
  if (reply.errorText && !textFits(*reply.errorText)) return std::nullopt;
  if (reply.data && reply.data->size() > maximumDataSize) return std::nullopt;
  const auto error =
      reply.errorText ? std::optional<ByteView>(asBytes(*reply.errorText)) : std::optional<ByteView>();
  switch (reply.operation) {
    case Operation::connect:
    case Operation::send:
      if (reply.data) return std::nullopt;
      writeOptional(body, error);
      break;
    case Operation::receive:
      writeOptional(body, error);
      writeOptional(body, reply.data ? std::optional<ByteView>(*reply.data) : std::nullopt);
      break;
    case Operation::disconnect:
      if (reply.errorText || reply.data) return std::nullopt;
      break;
    default: return std::nullopt;
  }
  return withLengthPrefix(body);
}

std::optional<Request> decodeRequest(ByteView body) {
  if (body.size() > maximumBodySize) return std::nullopt;
  ByteReader reader(body);
  const auto type = reader.u8();
  const auto id = reader.u32be();
  if (!type || !id || !isOperation(*type)) return std::nullopt;
  Request request;
  request.operation = static_cast<Operation>(*type);
  request.id = *id;
  switch (request.operation) {
    case Operation::connect: {
      const auto port = reader.read<std::int64_t>(Endian::big);
      const auto length = reader.u32be();
      if (!port || !length || *length > maximumTextSize) return std::nullopt;
      const auto host = reader.bytes(*length);
      if (!host || !vantrel::text::isValidUTF8(*host)) return std::nullopt;
      request.port = *port;
      request.host = toString(*host);
      break;
    }
    case Operation::send: {
      if (reader.remaining() > maximumDataSize) return std::nullopt;
      const auto data = reader.bytes(reader.remaining());
      request.data.assign(data->begin(), data->end());
      break;
    }
    case Operation::disconnect:
    case Operation::receive: break;
  }
  if (!reader.atEnd()) return std::nullopt;
  return request;
}

std::optional<Reply> decodeReply(ByteView body) {
  if (body.size() > maximumBodySize) return std::nullopt;
  ByteReader reader(body);
  const auto type = reader.u8();
  const auto id = reader.u32be();
  if (!type || !id || (*type & replyFlag) == 0) return std::nullopt;
  const auto operation = static_cast<std::uint8_t>(*type & ~replyFlag);
  if (!isOperation(operation)) return std::nullopt;
  Reply reply;
  reply.operation = static_cast<Operation>(operation);
  reply.id = *id;
  if (reply.operation != Operation::disconnect) {
    const auto error = readOptional(reader, maximumTextSize);
    if (!error) return std::nullopt;
    if (*error) {
      if (!vantrel::text::isValidUTF8(**error)) return std::nullopt;
      reply.errorText = toString(**error);
    }
  }
  if (reply.operation == Operation::receive) {
    const auto data = readOptional(reader, maximumDataSize);
    if (!data) return std::nullopt;
    if (*data) reply.data = Bytes((*data)->begin(), (*data)->end());
  }
  if (!reader.atEnd()) return std::nullopt;
  return reply;
}

bool MessageReader::append(ByteView bytes) {
  if (failed_) return false;
  compact();
  vantrel::append(buffer_, bytes);
  // Check the announced length as soon as it is readable, before any body is buffered.
  if (bufferedByteCount() >= lengthPrefixSize) {
    const auto length = *readU32BE(buffer_, consumed_);
    if (length == 0 || length > maximumBodySize) failed_ = true;
  }
  return !failed_;
}

std::optional<Bytes> MessageReader::next() {
  if (failed_ || bufferedByteCount() < lengthPrefixSize) return std::nullopt;
  const auto length = *readU32BE(buffer_, consumed_);
  if (length == 0 || length > maximumBodySize) {
    failed_ = true;
    return std::nullopt;
  }
  if (bufferedByteCount() - lengthPrefixSize < length) return std::nullopt;
  const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_ + lengthPrefixSize);
  Bytes body(begin, begin + static_cast<std::ptrdiff_t>(length));
  consumed_ += lengthPrefixSize + length;
  // The next message's length is checked now, so a bad one fails the reader at once.
  if (bufferedByteCount() >= lengthPrefixSize) {
    const auto following = *readU32BE(buffer_, consumed_);
    if (following == 0 || following > maximumBodySize) failed_ = true;
  }
  return body;
}

void MessageReader::compact() {
  if (consumed_ == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
  consumed_ = 0;
}

}  // namespace vantrel::relayipc
