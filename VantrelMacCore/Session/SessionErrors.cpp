#include "Session/SessionErrors.hpp"

namespace vantrel {

std::string eventText(const DirectAuthError& error) {
  return error.errorDescription().value_or(error.localizedDescription());
}

DirectAuthError directAuthError(const NetworkTransportError& error) {
  switch (error.kind()) {
    case NetworkTransportError::Case::cancelled: return DirectAuthError::cancelled();
    case NetworkTransportError::Case::timedOut: return DirectAuthError::timeout();
    default: return DirectAuthError::transport(error.localizedDescription());
  }
}

DirectAuthError directAuthError(const std::exception_ptr& error) {
  if (isCancellation(error)) return DirectAuthError::cancelled();
  return matchError(
      error, [](const DirectAuthError& e) { return e; },
      [](const NetworkTransportError& e) { return directAuthError(e); },
      [](const TimeoutError&) { return DirectAuthError::timeout(); },
      [](const std::exception_ptr& other) {
        return DirectAuthError::transport(localizedDescription(other));
      });
}

std::string transportDetail(const std::exception_ptr& error) {
  return matchError(
      error, [](const DirectAuthError& e) { return eventText(e); },
      [](const NetworkTransportError& e) { return eventText(directAuthError(e)); },
      [](const std::exception_ptr& other) { return localizedDescription(other); });
}

}  // namespace vantrel
