#pragma once

#include <optional>
#include <string>

#include "Support/Error.hpp"

namespace vantrel {

// The development channel's error: a snake_case code, with no description of its own (it shows
// as the generic "operation couldn't be completed" text).
class AIChannelError : public Error {
 public:
  enum class Case { invalid };

  static AIChannelError invalid(std::string code) { return AIChannelError(std::move(code)); }

  Case kind() const noexcept { return Case::invalid; }
  const std::string& code() const noexcept { return code_; }

  std::optional<std::string> errorDescription() const override { return std::nullopt; }
  std::string errorDomain() const override { return "VantrelMacCore.AIChannelError"; }
  int errorCode() const override { return 0; }

  friend bool operator==(const AIChannelError& a, const AIChannelError& b) { return a.code_ == b.code_; }

 private:
  explicit AIChannelError(std::string code) : code_(std::move(code)) {}
  std::string code_;
};

}  // namespace vantrel
