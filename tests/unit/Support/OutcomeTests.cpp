#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>

#include <stdexcept>
#include <string>

#include "Support/Outcome.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

Awaitable<std::string> give(std::string value) { co_return value; }
Awaitable<int> refuse() {
  throw std::invalid_argument("refused");
  co_return 0;
}

TEST(Outcome, AttemptYieldsTheValueOrTheErrorAndValueRethrows) {
  asio::io_context io;
  auto good = testing::runAwaitable(io, attempt(give("a string longer than the small buffer")));
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, "a string longer than the small buffer");
  auto bad = testing::runAwaitable(io, attempt(refuse()));
  ASSERT_FALSE(bad);
  EXPECT_THROW(bad.value(), std::invalid_argument);
  auto nothing = testing::runAwaitable(io, attempt(sleepFor(0ms)));
  EXPECT_TRUE(nothing);
}

TEST(Outcome, CancellationIsAnOutcomeToo) {
  asio::io_context io;
  ManualClock clock;
  asio::cancellation_signal signal;
  std::optional<Outcome<void>> outcome;
  asio::co_spawn(io, attempt(sleepFor(10s)),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr, Outcome<void> o) {
                   outcome.emplace(std::move(o));
                 }));
  testing::drain(io);
  signal.emit(asio::cancellation_type::all);
  ASSERT_TRUE(testing::runUntil(io, [&] { return outcome.has_value(); }));
  EXPECT_TRUE(isCancellation(outcome->error()));
}

TEST(Outcome, MatchErrorTakesTheFirstMatchingHandlerLikeCatchClauses) {
  auto map = [](const std::exception_ptr& error) {
    return matchError(
        error, [](const TimeoutError&) { return std::string("timeout"); },
        [](const std::logic_error& e) { return std::string("logic: ") + e.what(); },
        [](const std::exception_ptr&) { return std::string("other"); });
  };
  EXPECT_EQ(map(std::make_exception_ptr(TimeoutError())), "timeout");
  EXPECT_EQ(map(std::make_exception_ptr(std::invalid_argument("x"))), "logic: x");  // derived
  EXPECT_EQ(map(std::make_exception_ptr(std::runtime_error("y"))), "other");
  // Without a catch-all, an unmatched error goes on.
  EXPECT_THROW(
      matchError(std::make_exception_ptr(std::runtime_error("z")), [](const TimeoutError&) { return 0; }),
      std::runtime_error);
}

}  // namespace
}  // namespace vantrel
