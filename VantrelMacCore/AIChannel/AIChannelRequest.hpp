#pragma once

// Reading one request envelope of the development channel. Kept apart from the channel so the
// parser of hostile input can be exercised on its own.

#include <cstddef>
#include <string>
#include <variant>

#include "Support/Bytes.hpp"

namespace vantrel {

struct AIChannelRequest {
  static constexpr std::size_t maximumSize = 64 * 1024;  // whole envelope, prefix included
  static constexpr std::size_t maximumIDBytes = 128;
  static constexpr std::size_t maximumJSONDepth = 32;

  std::string id;
  std::string command;

  // A request the channel cannot read: the error code to answer with, and the request's ID when
  // it could be read ("" otherwise).
  struct Refusal {
    std::string code;
    std::string id;
    friend bool operator==(const Refusal&, const Refusal&) = default;
  };

  // Checks, in order: size, prefix, JSON object (bounded nesting, strict UTF-8), a string ID of
  // 1…128 bytes, a string command. Never throws.
  static std::variant<AIChannelRequest, Refusal> parse(ByteView envelope) noexcept;

  friend bool operator==(const AIChannelRequest&, const AIChannelRequest&) = default;
};

}  // namespace vantrel
