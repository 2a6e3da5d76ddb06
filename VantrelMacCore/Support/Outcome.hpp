#pragma once

// Awaiting an operation without a try/catch at every call: `co_await vantrel::attempt(op)` yields the
// operation's value or the error it ended with, and `matchError` maps an error by type in one
// place, the way a ladder of catch clauses would.
//
//   auto frame = co_await vantrel::attempt(withTimeout(collectOneFrame(), limit));
//   if (!frame) co_return matchError(frame.error(),
//       [](const NetworkTransportError& e) { return directAuthError(e); },
//       [](const TimeoutError&) { return DirectAuthError::timeout(); },
//       [](const std::exception_ptr& other) { return DirectAuthError::unknown(...); });
//   use(*frame);

#include <exception>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "Support/Async.hpp"

namespace vantrel {

// The value of a finished operation, or the error it ended with (never both, never neither).
namespace outcome_detail {
// The error of an outcome that was never given one (a default-constructed outcome, which
// co_spawn needs to be able to make).
inline std::exception_ptr noOutcome() {
  static const auto error = std::make_exception_ptr(std::logic_error("no outcome"));
  return error;
}
}  // namespace outcome_detail

template <typename T>
class Outcome {
 public:
  Outcome() : error_(outcome_detail::noOutcome()) {}
  static Outcome success(T value) { return Outcome(std::move(value), nullptr); }
  static Outcome failure(std::exception_ptr error) { return Outcome(std::nullopt, std::move(error)); }

  bool hasValue() const noexcept { return !error_; }
  explicit operator bool() const noexcept { return hasValue(); }
  // The error, or null on success.
  const std::exception_ptr& error() const noexcept { return error_; }
  // The value; rethrows the error when there is none.
  T& value() & {
    if (error_) std::rethrow_exception(error_);
    return *value_;
  }
  T&& value() && { return std::move(value()); }
  // The value, or `fallback` when the operation failed.
  T valueOr(T fallback) && { return error_ ? std::move(fallback) : std::move(*value_); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }

 private:
  Outcome(std::optional<T> value, std::exception_ptr error)
      : value_(std::move(value)), error_(std::move(error)) {}
  std::optional<T> value_;
  std::exception_ptr error_;
};

template <>
class Outcome<void> {
 public:
  Outcome() : error_(outcome_detail::noOutcome()) {}
  static Outcome success() { return Outcome(nullptr); }
  static Outcome failure(std::exception_ptr error) { return Outcome(std::move(error)); }

  bool hasValue() const noexcept { return !error_; }
  explicit operator bool() const noexcept { return hasValue(); }
  const std::exception_ptr& error() const noexcept { return error_; }
  // Rethrows the error, if any.
  void value() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  explicit Outcome(std::exception_ptr error) : error_(std::move(error)) {}
  std::exception_ptr error_;
};

// Awaits `operation` and yields its value or the error it threw (cancellation included: test it
// with `isCancellation(outcome.error())`). Takes the operation by value, so pass it a call
// expression (`attempt(transport->receive())`), never a reference to a member awaitable.
template <typename T>
Awaitable<Outcome<T>> attempt(Awaitable<T> operation) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      co_await std::move(operation);
    } catch (...) {
      error = std::current_exception();
    }
    co_return error ? Outcome<void>::failure(std::move(error)) : Outcome<void>::success();
  } else {
    std::optional<T> value;
    try {
      value.emplace(co_await std::move(operation));
    } catch (...) {
      error = std::current_exception();
    }
    if (error) co_return Outcome<T>::failure(std::move(error));
    co_return Outcome<T>::success(std::move(*value));
  }
}

namespace outcome_detail {

template <typename F>
struct Parameter : Parameter<decltype(&F::operator())> {};
template <typename C, typename R, typename A>
struct Parameter<R (C::*)(A) const> {
  using type = A;
};
template <typename C, typename R, typename A>
struct Parameter<R (C::*)(A)> {
  using type = A;
};

}  // namespace outcome_detail

// Calls the first handler whose parameter the error is, tried in order like catch clauses: a
// handler taking `const E&` matches an error of type E or derived from it; a handler taking
// `const std::exception_ptr&` matches anything (put it last). An error no handler matches is
// rethrown. Every handler returns the same type, which `matchError` returns.
template <typename Handler, typename... Rest>
decltype(auto) matchError(const std::exception_ptr& error, Handler&& handler, Rest&&... rest) {
  using Arg = typename outcome_detail::Parameter<std::decay_t<Handler>>::type;
  if constexpr (std::is_same_v<std::decay_t<Arg>, std::exception_ptr>) {
    static_assert(sizeof...(Rest) == 0, "the catch-all handler must come last");
    return handler(error);
  } else {
    static_assert(std::is_reference_v<Arg>, "take the error by reference");
    try {
      std::rethrow_exception(error);
    } catch (Arg matched) {
      return handler(matched);
    } catch (...) {
      if constexpr (sizeof...(Rest) > 0) {
        return matchError(error, std::forward<Rest>(rest)...);
      } else {
        throw;
      }
    }
  }
}

}  // namespace vantrel
