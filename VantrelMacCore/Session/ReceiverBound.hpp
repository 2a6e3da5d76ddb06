#pragma once

// A callback that leaves the session for the application, bound to the executor its receiver
// names. The session never runs the receiver's code on its own strand: every call is posted, in
// order (through a strand over the receiver's executor), and never waits for the receiver.

#include <asio/post.hpp>

#include <optional>
#include <utility>

#include "Support/Async.hpp"

namespace vantrel {

template <typename Function>
class ReceiverBound {
 public:
  ReceiverBound() = default;
  ReceiverBound(Executor receiver, Function function) : function_(std::move(function)) {
    if (function_) receiver_.emplace(makeStrand(receiver));
  }

  explicit operator bool() const noexcept { return receiver_.has_value() && static_cast<bool>(function_); }
  const Strand& receiver() const { return *receiver_; }
  const Function& function() const noexcept { return function_; }

  // Posts one call with copies of the arguments; without effect when nothing is bound.
  template <typename... Args>
  void post(Args... args) const {
    if (!*this) return;
    asio::post(*receiver_,
               [function = function_, ... values = std::move(args)]() mutable { function(values...); });
  }

 private:
  std::optional<Strand> receiver_;
  Function function_;
};

}  // namespace vantrel
