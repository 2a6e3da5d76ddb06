#include <gtest/gtest.h>

#define XK_MISCELLANY
#define XK_LATIN1
#include <X11/keysymdef.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Input/CGEventRemoteInputInjector.hpp"
#include "Support/Clock.hpp"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// Records what the injector posts; can play an unavailable display or a refusing server.
class FakeXTestInput final : public InputPosting {
 public:
  struct Call {
    std::string kind;  // "move", "button", "key"
    std::int64_t a = 0;
    std::int64_t b = 0;
    bool pressed = false;

    friend bool operator==(const Call&, const Call&) = default;
  };

  bool isAvailable() override {
    ++availabilityQueries;
    return available;
  }
  bool movePointer(std::int64_t x, std::int64_t y) override {
    if (refuse) return false;
    calls.push_back({"move", x, y, false});
    return true;
  }
  bool postButton(PointerButton button, bool pressed) override {
    if (refuse) return false;
    calls.push_back({"button", static_cast<std::int64_t>(button), 0, pressed});
    return true;
  }
  bool postKey(std::uint32_t keysym, bool pressed) override {
    if (refuse) return false;
    calls.push_back({"key", keysym, 0, pressed});
    return true;
  }

  bool available = true;
  bool refuse = false;
  int availabilityQueries = 0;
  std::vector<Call> calls;
};

using Call = FakeXTestInput::Call;

LegacyInputPacket packet(std::uint8_t mode, std::int32_t x = 0, std::int32_t y = 0,
                         std::uint8_t command = 50) {
  LegacyInputPacket p;
  p.comNum = 3;
  p.command = command;
  p.mode = mode;
  p.x = x;
  p.y = y;
  return p;
}

RemoteInputInjectionError thrownBy(CGEventRemoteInputInjector& injector, const LegacyInputPacket& p) {
  try {
    injector.inject(p);
  } catch (const RemoteInputInjectionError& error) {
    return error;
  }
  ADD_FAILURE() << "no error thrown for mode " << int(p.mode);
  return RemoteInputInjectionError::eventCreationFailed();
}

class InjectorTest : public ::testing::Test {
 protected:
  ManualClock clock;
  std::shared_ptr<FakeXTestInput> fake = std::make_shared<FakeXTestInput>();
  std::unique_ptr<CGEventRemoteInputInjector> injector = std::make_unique<CGEventRemoteInputInjector>(fake);
};

// The command is checked first, then XTest, then the mode, then the key; each refusal names its
// byte and nothing reaches the server.
TEST_F(InjectorTest, ChecksComeInOrderAndEachRefusalNamesWhatFailed) {
  using E = RemoteInputInjectionError;
  fake->available = false;
  for (std::uint8_t command : {0, 7, 49, 51, 171, 255}) {
    EXPECT_EQ(thrownBy(*injector, packet(200, 0x07, 0, command)), E::unsupportedCommand(command));
  }
  EXPECT_EQ(fake->availabilityQueries, 0);
  for (std::uint8_t mode : {1, 2, 5, 136, 3, 0, 255}) {
    EXPECT_EQ(thrownBy(*injector, packet(mode, 0x41)), E::accessibilityDenied());
  }
  fake->available = true;
  for (int mode = 0; mode <= 255; ++mode) {
    const bool known = mode == 1 || mode == 2 || mode == 4 || mode == 5 || mode == 6 || mode == 8 ||
                       mode == 16 || mode == 32 || mode == 64 || mode == 136;
    const auto m = static_cast<std::uint8_t>(mode);
    if (!known) {
      EXPECT_EQ(thrownBy(*injector, packet(m, 0x41)), E::unsupportedMode(m)) << mode;
    }
  }
  for (std::int32_t code : {0x00, 0x07, 0xFF, 300, -1}) {
    EXPECT_EQ(thrownBy(*injector, packet(5, code)), E::unsupportedVirtualKey(code));
    EXPECT_EQ(thrownBy(*injector, packet(6, code)), E::unsupportedVirtualKey(code));
  }
  EXPECT_TRUE(fake->calls.empty());
  fake->refuse = true;
  for (std::uint8_t mode : {1, 2, 4, 8, 16, 32, 64, 5, 6, 136}) {
    EXPECT_EQ(thrownBy(*injector, packet(mode, mode == 136 ? 120 : 0x41, 10)), E::eventCreationFailed())
        << int(mode);
  }
  const std::pair<LegacyInputPacket, const char*> texts[] = {
      {packet(1, 0, 0, 171), "Unsupported input command 0xAB"},
      {packet(3), "Unsupported input mode 0x03"},
      {packet(5, 300), "Unsupported Windows virtual key 0x12C"},
      {packet(1), "CGEvent creation failed"},
  };
  for (const auto& [p, text] : texts) EXPECT_EQ(thrownBy(*injector, p).localizedDescription(), text);
  fake->available = false;
  EXPECT_EQ(thrownBy(*injector, packet(1)).localizedDescription(), "Accessibility permission is not granted");
}

TEST_F(InjectorTest, ButtonsPressAndReleaseWhereThePacketPoints) {
  struct Case {
    std::uint8_t mode;
    PointerButton button;
    bool pressed;
  };
  const Case cases[] = {
      {2, PointerButton::left, true},    {4, PointerButton::left, false},
      {8, PointerButton::right, true},   {16, PointerButton::right, false},
      {32, PointerButton::middle, true}, {64, PointerButton::middle, false},
  };
  for (const auto& c : cases) {
    fake->calls.clear();
    injector->inject(packet(c.mode, 640, 480));
    const std::vector<Call> expected{{"move", 640, 480, false},
                                     {"button", static_cast<std::int64_t>(c.button), 0, c.pressed}};
    EXPECT_EQ(fake->calls, expected) << int(c.mode);
  }
}

TEST_F(InjectorTest, WheelTurnsWholeNotchesInTheAmountsDirection) {
  struct Case {
    std::int32_t amount;
    PointerButton button;
    int notches;
  };
  const Case cases[] = {
      {120, PointerButton::wheelUp, 1},
      {-120, PointerButton::wheelDown, 1},
      {360, PointerButton::wheelUp, 3},
      {-240, PointerButton::wheelDown, 2},
      {1, PointerButton::wheelUp, 1},
      {-40, PointerButton::wheelDown, 1},
      {250, PointerButton::wheelUp, 2},
      {INT32_MAX, PointerButton::wheelUp, 32},
      {INT32_MIN, PointerButton::wheelDown, 32},
  };
  for (const auto& c : cases) {
    fake->calls.clear();
    injector->inject(packet(136, c.amount, 999));
    std::vector<Call> expected;
    for (int i = 0; i < c.notches; ++i) {
      expected.push_back({"button", static_cast<std::int64_t>(c.button), 0, true});
      expected.push_back({"button", static_cast<std::int64_t>(c.button), 0, false});
    }
    EXPECT_EQ(fake->calls, expected) << c.amount;
  }
  fake->calls.clear();
  injector->inject(packet(136, 0));
  EXPECT_TRUE(fake->calls.empty());
}

TEST_F(InjectorTest, MovesLessThan8msAfterThePreviousPostedMoveAreSkipped) {
  injector->inject(packet(1, 10, 10));
  clock.advance(7ms);
  injector->inject(packet(1, 20, 20));  // skipped, no error
  clock.advance(999us);
  injector->inject(packet(1, 30, 30));  // 7.999 ms: still skipped
  clock.advance(1us);
  injector->inject(packet(1, 40, 40));  // exactly 8 ms after the first: posted
  clock.advance(8ms);
  injector->inject(packet(1, 50, 50));
  const std::vector<Call> expected{{"move", 10, 10, false}, {"move", 40, 40, false}, {"move", 50, 50, false}};
  EXPECT_EQ(fake->calls, expected);
}

TEST_F(InjectorTest, SkippedMovesDoNotRestartTheIntervalAndClicksAreNeverThrottled) {
  injector->inject(packet(1, 1, 1));
  for (int i = 0; i < 7; ++i) {
    clock.advance(1ms);
    injector->inject(packet(1, 2, 2));  // all within 8 ms of the posted move
  }
  injector->inject(packet(2, 5, 5));  // a click right away still happens
  injector->inject(packet(4, 5, 5));
  clock.advance(1ms);
  injector->inject(packet(1, 3, 3));  // 8 ms after the posted move
  const std::vector<Call> expected{{"move", 1, 1, false}, {"move", 5, 5, false},   {"button", 1, 0, true},
                                   {"move", 5, 5, false}, {"button", 1, 0, false}, {"move", 3, 3, false}};
  EXPECT_EQ(fake->calls, expected);
}

TEST_F(InjectorTest, AMoveTheServerRefusedDoesNotCountAsPosted) {
  fake->refuse = true;
  EXPECT_THROW(injector->inject(packet(1, 1, 1)), RemoteInputInjectionError);
  fake->refuse = false;
  injector->inject(packet(1, 2, 2));  // no 8 ms wait after a failure
  EXPECT_EQ(fake->calls, (std::vector<Call>{{"move", 2, 2, false}}));
}

// A fake that several threads may call at once (the injector serialises them itself; this one
// only counts).
class CountingXTestInput final : public InputPosting {
 public:
  bool isAvailable() override { return true; }
  bool movePointer(std::int64_t, std::int64_t) override { return ++moves, true; }
  bool postButton(PointerButton, bool) override { return true; }
  bool postKey(std::uint32_t, bool pressed) override {
    // Not atomic on purpose: calls that overlapped would lose counts.
    if (pressed)
      ++downs;
    else
      ++ups;
    return true;
  }
  std::atomic<int> moves{0};
  int downs = 0;
  int ups = 0;
};

TEST(InjectorThreads, InjectMayBeCalledFromSeveralThreadsAtOnce) {
  ManualClock clock;
  auto counting = std::make_shared<CountingXTestInput>();
  {
    CGEventRemoteInputInjector injector(counting);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&injector, t] {
        for (int i = 0; i < 500; ++i) {
          injector.inject(packet(5, 0x41 + t));
          injector.inject(packet(6, 0x41 + t));
          injector.inject(packet(1, i, i));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(counting->downs, 2000);
  EXPECT_EQ(counting->ups, 2000);        // every key went up again: nothing to release at the end
  EXPECT_EQ(counting->moves.load(), 1);  // the clock stood still: one move, the rest throttled
}

TEST_F(InjectorTest, KeysAndButtonsStillHeldAreReleasedWhenTheInjectorIsDestroyed) {
  injector->inject(packet(5, 0xA0));   // left Shift down
  injector->inject(packet(5, 0x41));   // A down
  injector->inject(packet(6, 0x41));   // A up
  injector->inject(packet(5, 0x11));   // Ctrl down
  injector->inject(packet(2, 7, 8));   // left button down
  injector->inject(packet(8, 7, 8));   // right button down
  injector->inject(packet(16, 7, 8));  // right button up
  fake->calls.clear();
  injector.reset();
  std::vector<Call> releases = fake->calls;
  std::sort(releases.begin(), releases.end(),
            [](const Call& a, const Call& b) { return std::tie(a.kind, a.a) < std::tie(b.kind, b.a); });
  const std::vector<Call> expected{
      {"button", 1, 0, false}, {"key", XK_Shift_L, 0, false}, {"key", XK_Control_L, 0, false}};
  EXPECT_EQ(releases, expected);
}

TEST_F(InjectorTest, AKeyThatFailedToGoDownIsNotReleasedLater) {
  fake->refuse = true;
  EXPECT_THROW(injector->inject(packet(5, 0x41)), RemoteInputInjectionError);
  fake->refuse = false;
  injector.reset();
  EXPECT_TRUE(fake->calls.empty());
}

}  // namespace
}  // namespace vantrel
