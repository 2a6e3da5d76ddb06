#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "Support/Async.hpp"
#include "Support/Error.hpp"
#include "Support/Paths.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Uuid.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

class Plain : public Error {
 public:
  std::optional<std::string> errorDescription() const override { return std::nullopt; }
  std::string errorDomain() const override { return "VantrelMacCore.Plain"; }
  int errorCode() const override { return 3; }
};

class Described : public Error {
 public:
  std::optional<std::string> errorDescription() const override { return "Something broke."; }
  std::optional<std::string> failureReason() const override { return "Because."; }
};

TEST(Error, ErrorWithoutTextGetsGenericDescription) {
  EXPECT_EQ(localizedDescription(Plain()),
            "The operation couldn\u2019t be completed. (VantrelMacCore.Plain error 3.)");
  EXPECT_EQ(localizedDescription(CancellationError()),
            "The operation couldn\u2019t be completed. (Swift.CancellationError error 1.)");
}

TEST(Error, ForeignExceptionsUseWhat) {
  EXPECT_EQ(localizedDescription(std::runtime_error("boom")), "boom");
  EXPECT_EQ(localizedDescription(std::make_exception_ptr(std::runtime_error("x"))), "x");
  EXPECT_EQ(localizedDescription(std::exception_ptr()), "Unknown error");
}

TEST(Error, CopiesKeepTheirText) {
  const Described original;
  const Error& copy = Described(original);
  EXPECT_STREQ(copy.what(), "Something broke.");
}

TEST(Uuid, RandomIsVersion4AndRoundTrips) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const auto uuid = Uuid::random();
    const auto text = uuid.toString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos);  // upper-case hex
    EXPECT_EQ(Uuid::parse(text), uuid);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_FALSE(Uuid::parse("not-a-uuid").has_value());
  EXPECT_FALSE(Uuid::parse("123E4567-E89B-12D3-A456-42661417400G").has_value());
}

TEST(Paths, EverythingFollowsHomeAndXdgVariables) {
  testing::TemporaryHome home;
  const auto h = home.path();
  EXPECT_EQ(paths::home(), h);
  EXPECT_EQ(paths::applicationSupportDirectory("VantrelMac"), h / ".local/share/VantrelMac");
  EXPECT_EQ(paths::logsDirectory(), h / ".local/state/VantrelMac/Logs");
  EXPECT_EQ(paths::userDefaultsFile("local.vantrel.VantrelMac"),
            h / ".config/local.vantrel.VantrelMac/defaults.json");
  EXPECT_EQ(paths::downloadsDirectory(), h / "Downloads");
  EXPECT_EQ(paths::desktopDirectory(), h / "Desktop");

  home.setEnv("XDG_DATA_HOME", (h / "data").string());
  home.setEnv("XDG_STATE_HOME", "relative/ignored");
  EXPECT_EQ(paths::applicationSupportDirectory("X"), h / "data/X");
  EXPECT_EQ(paths::logsDirectory(), h / ".local/state/VantrelMac/Logs");

  std::filesystem::create_directories(h / ".config");
  {
    std::FILE* f = std::fopen((h / ".config/user-dirs.dirs").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\nXDG_DESKTOP_DIR=\"/srv/desk\"\n", f);
    std::fclose(f);
  }
  EXPECT_EQ(paths::downloadsDirectory(), h / "Téléchargements");
  EXPECT_EQ(paths::desktopDirectory(), std::filesystem::path("/srv/desk"));

  home.setEnv("VANTREL_SYSTEM_ROOT", (h / "root").string());
  EXPECT_EQ(paths::systemConnectionFile(), h / "root/etc/VantrelMac/connection.json");
  EXPECT_EQ(paths::relaySocketPath("local.vantrel.VantrelMac.daemon.relay"),
            h / "root/run/VantrelMac/local.vantrel.VantrelMac.daemon.relay.sock");
}

TEST(SystemLog, MemorySinkSeesEveryLineWithItsCategory) {
  MemoryLogSink sink;
  SystemLog log("local.vantrel.VantrelMac", "connection");
  log.info("connected to {}:{}", "127.0.0.1", 65333);
  log.error("failed: {}", "x");
  const auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].subsystem, "local.vantrel.VantrelMac");
  EXPECT_EQ(entries[0].category, "connection");
  EXPECT_EQ(entries[0].message, "connected to 127.0.0.1:65333");
  EXPECT_EQ(entries[1].level, LogLevel::error);
  EXPECT_TRUE(sink.contains("failed: x"));
  sink.clear();
  EXPECT_TRUE(sink.entries().empty());
}

TEST(SystemLog, SinkStopsRecordingWhenDestroyed) {
  SystemLog log("s", "c");
  MemoryLogSink outer;
  {
    MemoryLogSink inner;
    log.info("one");
    EXPECT_EQ(inner.entries().size(), 1u);
  }
  log.info("two");
  EXPECT_EQ(outer.entries().size(), 2u);
}

TEST(SystemLog, ALineStaysOneLineWhateverItsTextHolds) {
  MemoryLogSink sink;
  const SystemLog log("local.vantrel.test", "outside");
  log.error("rejected: {}", "line1\nFAKE\x1b[2J");
  log.info("{}", std::string(SystemLog::maximumLineBytes * 2, 'x'));
  const auto entries = sink.entries();
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].message, "rejected: line1\\x0AFAKE\\x1B[2J");
  EXPECT_LE(entries[1].message.size(), SystemLog::maximumLineBytes + 32);
}

}  // namespace
}  // namespace vantrel
