#pragma once

// Helpers for laying out expected envelope bytes by hand in the protocol tests.

#include <openssl/evp.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Support/Bytes.hpp"

namespace vantrel::testbytes {

// Hexadecimal with optional blanks: "0C 02 00 00 00".
inline Bytes hex(std::string_view spaced) {
  std::string compact;
  for (const char c : spaced) {
    if (c != ' ' && c != '\n') compact.push_back(c);
  }
  auto bytes = bytesFromHex(compact);
  if (!bytes) throw std::invalid_argument("bad hex in test");
  return *bytes;
}

inline Bytes ascii(std::string_view text) { return toBytes(text); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) append(out, part);
  return out;
}

inline std::string sha256Hex(ByteView bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("sha256 failed");
  }
  return hexStringLower(ByteView(digest, length));
}

// Bytes 0…235 of the common TSocketData layout, record by record; `kindAndComNum` are the last
// 8 bytes (Kind and ComNum, little-endian) written out by the caller.
inline Bytes commonPrefix(std::string_view kindAndComNum) {
  return cat({
      // serialization header: record 0, root 1, header -1, version 1.0
      hex("00 01000000 FFFFFFFF 01000000 00000000"),
      // library 2, name of 65 bytes
      hex("0C 02000000 41"),
      ascii("VantrelMgr, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null"),
      // class record, object 1, "Corvantis.TSocketData", 3 members
      hex("05 01000000 15"),
      ascii("Corvantis.TSocketData"),
      hex("03000000"),
      hex("04"),
      ascii("Kind"),
      hex("06"),
      ascii("ComNum"),
      hex("09"),
      ascii("DataClass"),
      // binary types class, primitive, object; Kind's class in library 2; ComNum Int32; library 2
      hex("04 00 02 19"),
      ascii("Corvantis.MgrProtocolEnum"),
      hex("02000000 08 02000000"),
      // inline enum object -3 with member value__ (Int32, library 2)
      hex("05 FDFFFFFF 19"),
      ascii("Corvantis.MgrProtocolEnum"),
      hex("01000000 07"),
      ascii("value__"),
      hex("00 08 02000000"),
      hex(kindAndComNum),
  });
}

}  // namespace vantrel::testbytes
