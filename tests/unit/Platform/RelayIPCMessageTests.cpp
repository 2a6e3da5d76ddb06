#include <gtest/gtest.h>

#include "Platform/Relay/RelayIPCMessage.hpp"

namespace vantrel::relayipc {
namespace {

Bytes hex(std::string_view text) {
  std::string digits;
  for (const char c : text) {
    if (c != ' ') digits.push_back(c);
  }
  return *bytesFromHex(digits);
}

Request request(Operation operation, std::uint32_t id) {
  Request r;
  r.operation = operation;
  r.id = id;
  return r;
}

Reply reply(Operation operation, std::uint32_t id) {
  Reply r;
  r.operation = operation;
  r.id = id;
  return r;
}

TEST(RelayIPCMessage, RequestsHaveTheDocumentedLayout) {
  auto connect = request(Operation::connect, 1);
  connect.host = "ab";
  connect.port = 8080;
  EXPECT_EQ(encode(connect), hex("00000013 01 00000001 0000000000001F90 00000002 6162"));

  auto negative = request(Operation::connect, 2);
  negative.host = "";
  negative.port = -1;
  EXPECT_EQ(encode(negative), hex("00000011 01 00000002 FFFFFFFFFFFFFFFF 00000000"));

  auto send = request(Operation::send, 0x01020304);
  send.data = toBytes("xyz");
  EXPECT_EQ(encode(send), hex("00000008 03 01020304 78797A"));
  EXPECT_EQ(encode(request(Operation::disconnect, 7)), hex("00000005 02 00000007"));
  EXPECT_EQ(encode(request(Operation::receive, 8)), hex("00000005 04 00000008"));
}

TEST(RelayIPCMessage, RepliesHaveTheDocumentedLayout) {
  EXPECT_EQ(encode(reply(Operation::connect, 1)), hex("00000006 81 00000001 00"));
  auto failed = reply(Operation::connect, 1);
  failed.errorText = "no";
  EXPECT_EQ(encode(failed), hex("0000000C 81 00000001 01 00000002 6E6F"));
  auto sent = reply(Operation::send, 3);
  sent.errorText = "";
  EXPECT_EQ(encode(sent), hex("0000000A 83 00000003 01 00000000"));
  auto received = reply(Operation::receive, 9);
  received.data = toBytes("hi");
  EXPECT_EQ(encode(received), hex("0000000D 84 00000009 00 01 00000002 6869"));
  auto both = reply(Operation::receive, 9);
  both.errorText = "e";
  both.data = Bytes{};
  EXPECT_EQ(encode(both), hex("00000010 84 00000009 01 00000001 65 01 00000000"));
  EXPECT_EQ(encode(reply(Operation::receive, 10)), hex("00000007 84 0000000A 00 00"));
  EXPECT_EQ(encode(reply(Operation::disconnect, 2)), hex("00000005 82 00000002"));
}

TEST(RelayIPCMessage, EncodingRefusesWhatThePeerCouldNotDecode) {
  auto badHost = request(Operation::connect, 1);
  badHost.host = "\xC3";
  EXPECT_FALSE(encode(badHost));
  auto longHost = request(Operation::connect, 1);
  longHost.host = std::string(maximumTextSize + 1, 'a');
  EXPECT_FALSE(encode(longHost));
  auto big = request(Operation::send, 1);
  big.data.resize(maximumDataSize + 1);
  EXPECT_FALSE(encode(big));
  big.data.resize(maximumDataSize);
  EXPECT_TRUE(encode(big));
  auto dataOnSend = reply(Operation::send, 1);
  dataOnSend.data = Bytes{1};
  EXPECT_FALSE(encode(dataOnSend));
  auto errorOnDisconnect = reply(Operation::disconnect, 1);
  errorOnDisconnect.errorText = "x";
  EXPECT_FALSE(encode(errorOnDisconnect));
  auto badText = reply(Operation::receive, 1);
  badText.errorText = "\xFF";
  EXPECT_FALSE(encode(badText));
}

TEST(RelayIPCMessage, DecodingRoundTrips) {
  auto connect = request(Operation::connect, 0xFFFFFFFF);
  connect.host = "  매니저.test ";
  connect.port = 65535;
  auto send = request(Operation::send, 5);
  send.data = Bytes{0, 1, 2, 0xFF};
  for (const auto& r : {connect, send, request(Operation::receive, 0), request(Operation::disconnect, 3)}) {
    const auto message = *encode(r);
    EXPECT_EQ(decodeRequest(ByteView(message).subspan(lengthPrefixSize)), r);
  }
  auto received = reply(Operation::receive, 4);
  received.data = Bytes(70000, 0x5A);
  received.errorText = "읽기 실패";
  for (const auto& r : {received, reply(Operation::connect, 1), reply(Operation::disconnect, 2)}) {
    const auto message = *encode(r);
    EXPECT_EQ(decodeReply(ByteView(message).subspan(lengthPrefixSize)), r);
  }
}

TEST(RelayIPCMessage, MalformedRequestsAreRefused) {
  const char* bodies[] = {
      "",                                              // nothing
      "01 000000",                                     // id cut short
      "00 00000001",                                   // type 0
      "05 00000001",                                   // unknown operation
      "81 00000001 00",                                // a reply where a request belongs
      "02 00000001 00",                                // disconnect with a byte left over
      "04 00000001 FF",                                // receive with a byte left over
      "01 00000001 00000000000050",                    // port cut short
      "01 00000001 0000000000000050 00000003 6162",    // host shorter than announced
      "01 00000001 0000000000000050 00000001 616263",  // bytes after the host
      "01 00000001 0000000000000050 00000001 FF",      // host not UTF-8
      "01 00000001 0000000000000050 00010001",         // host longer than allowed
  };
  for (const auto* body : bodies) EXPECT_FALSE(decodeRequest(hex(body))) << body;
}

TEST(RelayIPCMessage, MalformedRepliesAreRefused) {
  const char* bodies[] = {
      "",
      "84",
      "04 00000001 00 00",                // a request where a reply belongs
      "85 00000001 00 00",                // unknown operation
      "80 00000001",                      // operation 0
      "81 00000001",                      // connect reply without its error field
      "81 00000001 02",                   // presence neither 0 nor 1
      "81 00000001 01 00000002 61",       // text shorter than announced
      "81 00000001 00 00",                // a byte left over (a data field on connect)
      "83 00000001 01 00000001 FF",       // text not UTF-8
      "83 00000001 01 00010001",          // text longer than allowed
      "84 00000001 00",                   // receive reply without its data field
      "84 00000001 00 01 00000003 6162",  // data shorter than announced
      "84 00000001 00 01 01000001",       // data longer than allowed
      "82 00000001 00",                   // disconnect reply with a byte left over
  };
  for (const auto* body : bodies) EXPECT_FALSE(decodeReply(hex(body))) << body;
}

TEST(RelayIPCMessageReader, CutsTheStreamIntoBodiesWhateverThePieces) {
  Bytes stream = *encode(request(Operation::receive, 1));
  auto send = request(Operation::send, 2);
  send.data = Bytes(1000, 7);
  append(stream, *encode(send));
  append(stream, *encode(request(Operation::disconnect, 3)));

  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
    MessageReader reader;
    std::vector<Request> decoded;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      ASSERT_TRUE(reader.append(ByteView(stream).subspan(at, std::min(piece, stream.size() - at))));
      while (auto body = reader.next()) decoded.push_back(*decodeRequest(*body));
    }
    ASSERT_EQ(decoded.size(), 3u) << piece;
    EXPECT_EQ(decoded[0], request(Operation::receive, 1));
    EXPECT_EQ(decoded[1], send);
    EXPECT_EQ(decoded[2], request(Operation::disconnect, 3));
    EXPECT_EQ(reader.bufferedByteCount(), 0u);
  }
}

TEST(RelayIPCMessageReader, RefusesZeroAndOversizedLengthsBeforeBufferingABody) {
  MessageReader zero;
  EXPECT_FALSE(zero.append(hex("00000000")));
  EXPECT_TRUE(zero.failed());
  EXPECT_FALSE(zero.next());
  EXPECT_FALSE(zero.append(hex("00")));

  MessageReader oversized;
  ByteWriter length;
  length.u32be(static_cast<std::uint32_t>(maximumBodySize + 1));
  EXPECT_FALSE(oversized.append(length.data()));

  MessageReader largest;
  ByteWriter limit;
  limit.u32be(static_cast<std::uint32_t>(maximumBodySize));
  EXPECT_TRUE(largest.append(limit.data()));
  EXPECT_FALSE(largest.next());  // waits for the body

  // A bad length behind a good message fails the reader once the good one is taken.
  MessageReader behind;
  Bytes stream = *encode(request(Operation::receive, 1));
  append(stream, hex("FFFFFFFF"));
  EXPECT_TRUE(behind.append(stream));
  EXPECT_TRUE(behind.next());
  EXPECT_TRUE(behind.failed());
  EXPECT_FALSE(behind.next());
}

}  // namespace
}  // namespace vantrel::relayipc
