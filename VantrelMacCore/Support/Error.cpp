#include "Support/Error.hpp"

#include <fmt/format.h>

#include <mutex>
#include <system_error>

namespace vantrel {

struct Error::WhatCache {
  std::once_flag once;
  std::string text;
};

Error::Error() : whatCache_(std::make_shared<WhatCache>()) {}
Error::~Error() = default;

std::string Error::localizedDescription() const {
  if (auto description = errorDescription()) return *description;
  return fmt::format("The operation couldn\u2019t be completed. ({} error {}.)", errorDomain(), errorCode());
}

const char* Error::what() const noexcept {
  try {
    std::call_once(whatCache_->once, [this] { whatCache_->text = localizedDescription(); });
    return whatCache_->text.c_str();
  } catch (...) {
    return "VantrelMac error";
  }
}

std::string localizedDescription(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Error*>(&error)) return own->localizedDescription();
  return error.what();
}

std::string localizedDescription(const std::exception_ptr& error) {
  if (!error) return "Unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return localizedDescription(e);
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace vantrel
