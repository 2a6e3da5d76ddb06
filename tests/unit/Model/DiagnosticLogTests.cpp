#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "Model/Status/DiagnosticLog.hpp"
#include "ReadOnlyFolder.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

// 2025-03-04T05:06:07.890Z
Clock::time_point sampleTime() {
  return Clock::time_point(std::chrono::seconds(1741064767)) + std::chrono::milliseconds(890);
}

std::string readText(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : variable_("TZ", std::string(zone)) { ::tzset(); }
  ~ScopedTimeZone() { ::tzset(); }

 private:
  testing::ScopedEnvironmentVariable variable_;
};

// ---- Line formats ----

TEST(DiagnosticLog, FileLineIsIsoUtcWholeSecondsThenTheText) {
  ScopedTimeZone zone("KST-9");  // the file line does not depend on the local zone
  EXPECT_EQ(DiagnosticLog::fileLine("Connected to 10.0.0.1:65333", sampleTime()),
            "2025-03-04T05:06:07Z Connected to 10.0.0.1:65333\n");
  EXPECT_EQ(DiagnosticLog::fileLine("", Clock::time_point{}), "1970-01-01T00:00:00Z \n");
  EXPECT_EQ(DiagnosticLog::fileLine("업데이트", sampleTime()), "2025-03-04T05:06:07Z 업데이트\n");
}

TEST(DiagnosticLog, CopyTimestampIsLocalTimeWithMilliseconds) {
  {
    ScopedTimeZone zone("UTC0");
    EXPECT_EQ(DiagnosticLog::copyTimestamp(sampleTime()), "05:06:07.890");
    EXPECT_EQ(DiagnosticLog::copyTimestamp(Clock::time_point(std::chrono::milliseconds(5))), "00:00:00.005");
  }
  ScopedTimeZone zone("KST-9");
  EXPECT_EQ(DiagnosticLog::copyTimestamp(sampleTime()), "14:06:07.890");
}

TEST(DiagnosticLog, CopyTextJoinsEntriesWithoutATrailingLineFeed) {
  ScopedTimeZone zone("UTC0");
  DiagnosticLog log;
  EXPECT_EQ(log.copyText(), "");
  log.appendDiagnostic("first", sampleTime());
  EXPECT_EQ(log.copyText(), "05:06:07.890  first");
  log.appendDiagnostic("second line", sampleTime() + std::chrono::milliseconds(1));
  EXPECT_EQ(log.copyText(), "05:06:07.890  first\n05:06:07.891  second line");
}

// ---- The in-memory list ----

TEST(DiagnosticLog, The301stLineDropsTheFirst) {
  DiagnosticLog log;
  std::vector<Uuid> tokens{log.scrollToken()};
  for (int i = 1; i <= 301; ++i) {
    log.appendDiagnostic("line " + std::to_string(i), sampleTime());
    ASSERT_NE(log.scrollToken(), tokens.back()) << "scroll token not replaced at " << i;
    tokens.push_back(log.scrollToken());
    ASSERT_EQ(log.entries().size(), std::min<std::size_t>(static_cast<std::size_t>(i), 300));
  }
  EXPECT_EQ(log.entries().front().text, "line 2");
  EXPECT_EQ(log.entries().back().text, "line 301");
  for (std::size_t k = 0; k < log.entries().size(); ++k) {
    ASSERT_EQ(log.entries()[k].text, "line " + std::to_string(k + 2));
  }
}

// ---- The writer: file and system log ----

class DiagnosticLogFileTest : public ::testing::Test {
 protected:
  testing::TemporaryHome home;
  fs::path stateHome = home.path() / ".local" / "state";
  fs::path file = stateHome / "VantrelMac.log";
};

TEST_F(DiagnosticLogFileTest, TheDefaultFileFollowsTheStateHomeAndTheBundle) {
  EXPECT_EQ(DiagnosticLogWriter::defaultFile("local.vantrel.VantrelMac"), file);
  EXPECT_EQ(DiagnosticLogWriter::defaultFile(std::nullopt), file);
  EXPECT_EQ(DiagnosticLogWriter::defaultFile("com.example.other"), stateHome / "com.example.other.log");
  home.setEnv("XDG_STATE_HOME", "relative/state");  // not absolute: ignored
  EXPECT_EQ(DiagnosticLogWriter::defaultFile("local.vantrel.VantrelMac"), file);
  home.unsetEnv("XDG_STATE_HOME");
  EXPECT_EQ(DiagnosticLogWriter::defaultFile("local.vantrel.VantrelMac"), file);
}

TEST_F(DiagnosticLogFileTest, AMissingStateFolderIsCreatedPrivateAndLinesAreWrittenInOrder) {
  ASSERT_FALSE(fs::exists(stateHome));
  MemoryLogSink sink;
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const auto text = "event " + std::to_string(i);
    log.appendDiagnostic(text, sampleTime());
    expected += DiagnosticLog::fileLine(text, sampleTime());
  }
  writer->flush();
  EXPECT_EQ(readText(file), expected);
  EXPECT_EQ(modeOf(stateHome), 0700U);
  EXPECT_EQ(modeOf(home.path() / ".local"), 0700U);
  EXPECT_EQ(modeOf(file), 0600U);
  EXPECT_TRUE(sink.contains("VantrelMac diagnostic: event 0"));
  EXPECT_TRUE(sink.contains("VantrelMac diagnostic: event 1999"));
  EXPECT_EQ(writer->droppedLines(), 0U);
}

TEST_F(DiagnosticLogFileTest, ExistingContentIsKeptAndAppendedTo) {
  fs::create_directories(stateHome);
  std::ofstream(file) << "2020-01-01T00:00:00Z older line\n";
  {
    auto writer = std::make_shared<DiagnosticLogWriter>(file);
    DiagnosticLog log(writer);
    log.appendDiagnostic("newer line", sampleTime());
  }  // the writer's destructor writes what is queued
  EXPECT_EQ(readText(file), "2020-01-01T00:00:00Z older line\n2025-03-04T05:06:07Z newer line\n");
}

TEST_F(DiagnosticLogFileTest, AReadOnlyFolderLosesOnlyTheFileLine) {
  fs::create_directories(stateHome);
  testing::ReadOnlyFolder readOnly(stateHome);
  if (!readOnly.active()) GTEST_SKIP() << "the folder cannot be made read-only here";
  MemoryLogSink sink;
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("still shown", sampleTime());
  writer->flush();
  EXPECT_FALSE(fs::exists(file));
  ASSERT_EQ(log.entries().size(), 1U);
  EXPECT_EQ(log.entries()[0].text, "still shown");
  EXPECT_TRUE(sink.contains("VantrelMac diagnostic: still shown"));
}

TEST_F(DiagnosticLogFileTest, AnUnwritableExistingFileIsNeitherReplacedNorTruncated) {
  fs::create_directories(stateHome);
  std::ofstream(file) << "keep me\n";
  testing::ReadOnlyFolder readOnlyFolder(stateHome);
  ::chmod(file.c_str(), 0400);
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("x", sampleTime());
  writer->flush();
  const auto text = readText(file);
  // Root may still append to a 0400 file; what matters is that nothing was replaced.
  EXPECT_EQ(text.rfind("keep me\n", 0), 0U) << text;
}

TEST_F(DiagnosticLogFileTest, ALinkAtThePathIsNotFollowed) {
  fs::create_directories(stateHome);
  const auto target = home.path() / "victim.txt";
  std::ofstream(target) << "untouched";
  fs::create_symlink(target, file);
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("x", sampleTime());
  writer->flush();
  EXPECT_EQ(readText(target), "untouched");
  EXPECT_EQ(log.entries().size(), 1U);
}

TEST_F(DiagnosticLogFileTest, APipeAtThePathDoesNotHangTheWriter) {
  fs::create_directories(stateHome);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("x", sampleTime());
  writer->flush();  // returns: the pipe was not waited on
  EXPECT_TRUE(fs::is_fifo(file));
}

TEST_F(DiagnosticLogFileTest, ALineBeyondTheBacklogLimitIsDroppedNotQueued) {
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  writer->append(sampleTime(), std::string(DiagnosticLogWriter::maximumPendingBytes + 1, 'x'));
  writer->append(sampleTime(), "small");
  writer->flush();
  EXPECT_EQ(writer->droppedLines(), 1U);
  EXPECT_EQ(readText(file), "2025-03-04T05:06:07Z small\n");
}

// ---- Size limit and rotation ----

std::size_t sizeOf(const fs::path& path) { return static_cast<std::size_t>(fs::file_size(path)); }

TEST_F(DiagnosticLogFileTest, TheFileStaysUnderItsLimitWithOneOlderCopyOfWholeLines) {
  constexpr std::size_t limit = 1000;
  auto writer = std::make_shared<DiagnosticLogWriter>(file, limit);
  DiagnosticLog log(writer);
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    const auto text = fmt::format("event {:04}", i);
    log.appendDiagnostic(text, sampleTime());
    expected.push_back(DiagnosticLog::fileLine(text, sampleTime()));
    if (i % 7 == 0) writer->flush();  // batches of different sizes
  }
  writer->flush();
  const auto rotated = writer->rotatedFile();
  EXPECT_EQ(rotated, stateHome / "VantrelMac.log.1");
  EXPECT_LE(sizeOf(file), limit);
  EXPECT_LE(sizeOf(rotated), limit);
  EXPECT_EQ(modeOf(file), 0600U);
  EXPECT_EQ(modeOf(rotated), 0600U);
  // The two files end with the newest lines, in order and whole, with nothing in between lost.
  const auto kept = readText(rotated) + readText(file);
  std::string all;
  for (const auto& line : expected) all += line;
  ASSERT_GE(all.size(), kept.size());
  EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
  EXPECT_EQ(kept.front(), '2');   // begins at a line
  EXPECT_GT(kept.size(), limit);  // the older copy is kept, not dropped
}

TEST_F(DiagnosticLogFileTest, ALogAtTheDefaultLimitIsMovedAsideBeforeItPassesFiveMebibytes) {
  EXPECT_EQ(DiagnosticLogWriter::defaultMaximumFileBytes, 5U * 1024 * 1024);
  fs::create_directories(stateHome);
  const std::string old(DiagnosticLogWriter::defaultMaximumFileBytes - 10, 'o');
  std::ofstream(file) << old;
  ::chmod(file.c_str(), 0600);
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("the line that does not fit", sampleTime());
  writer->flush();
  EXPECT_EQ(readText(file), DiagnosticLog::fileLine("the line that does not fit", sampleTime()));
  EXPECT_EQ(sizeOf(stateHome / "VantrelMac.log.1"), old.size());
}

TEST_F(DiagnosticLogFileTest, ALinkAtTheOlderCopyIsReplacedNotFollowed) {
  fs::create_directories(stateHome);
  const auto target = home.path() / "victim.txt";
  std::ofstream(target) << "untouched";
  fs::create_symlink(target, stateHome / "VantrelMac.log.1");
  auto writer = std::make_shared<DiagnosticLogWriter>(file, 100);
  DiagnosticLog log(writer);
  for (int i = 0; i < 10; ++i) log.appendDiagnostic("line " + std::to_string(i), sampleTime());
  writer->flush();
  EXPECT_EQ(readText(target), "untouched");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(writer->rotatedFile())));
}

// ---- Text from outside ----

TEST_F(DiagnosticLogFileTest, TextFromOutsideCannotForgeLinesOrCarryEscapeCodes) {
  MemoryLogSink sink;
  auto writer = std::make_shared<DiagnosticLogWriter>(file);
  DiagnosticLog log(writer);
  log.appendDiagnostic("Account login failed: line1\nFAKE DIAGNOSTIC LINE\x1b[31m red \u202e\r",
                       sampleTime());
  log.appendDiagnostic(std::string(100'000, 'h'), sampleTime());
  writer->flush();
  const auto text = readText(file);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find("\u202e"), std::string::npos);
  ASSERT_EQ(log.entries().size(), 2U);
  EXPECT_EQ(log.entries()[0].text,
            "Account login failed: line1\\x0AFAKE DIAGNOSTIC LINE\\x1B[31m red \\u{202E}\\x0D");
  EXPECT_LE(log.entries()[1].text.size(), DiagnosticLog::maximumLineBytes + 32);
  for (const auto& entry : sink.entries()) {
    EXPECT_EQ(entry.message.find('\n'), std::string::npos) << entry.message;
    EXPECT_EQ(entry.message.find('\x1b'), std::string::npos) << entry.message;
  }
}

}  // namespace
}  // namespace vantrel
