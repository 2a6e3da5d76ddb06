#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace vantrel {

// Base of every error the system throws. A derived error supplies its texts; `what()` is the
// localized description, so any catch site can print it without knowing the type.
class Error : public std::exception {
 public:
  Error();
  ~Error() override;
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;

  // The English description, or nullopt for an error that has none of its own.
  virtual std::optional<std::string> errorDescription() const = 0;
  virtual std::optional<std::string> failureReason() const { return std::nullopt; }

  // Used only when `errorDescription()` is empty: the generic text names the error type and
  // the case number ("The operation couldn’t be completed. (VantrelMacCore.X error 2.)").
  virtual std::string errorDomain() const { return "VantrelMacCore.Error"; }
  virtual int errorCode() const { return 0; }

  // The localized description: `errorDescription()` when present, else the generic text.
  std::string localizedDescription() const;

  const char* what() const noexcept override;

 private:
  struct WhatCache;
  std::shared_ptr<WhatCache> whatCache_;
};

// Renders any exception the way the system shows errors to people and in logs.
std::string localizedDescription(const std::exception& error);
std::string localizedDescription(const std::exception_ptr& error);

}  // namespace vantrel
