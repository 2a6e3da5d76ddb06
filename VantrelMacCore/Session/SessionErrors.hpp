#pragma once

// How the session reports the errors it meets: one mapping per error type, used with
// `attempt` instead of a try/catch around every awaited operation.

#include <exception>
#include <string>

#include "Session/DirectAuthTypes.hpp"
#include "Support/Outcome.hpp"
#include "Transport/NetworkTransporting.hpp"

namespace vantrel {

// A transport error as the session reports it: `cancelled` → cancelled, `timedOut` → timeout,
// every other case → transport(<its text>).
DirectAuthError directAuthError(const NetworkTransportError& error);

// Any error as the session reports it: a cancellation → cancelled, a `DirectAuthError` as it is,
// a transport error as above, a time-out → timeout, anything else → transport(<its text>).
DirectAuthError directAuthError(const std::exception_ptr& error);

// A session error's text as events show it (its description, else its localized description).
std::string eventText(const DirectAuthError& error);

// The detail text of a send or receive failure, as session events show it.
std::string transportDetail(const std::exception_ptr& error);

}  // namespace vantrel
