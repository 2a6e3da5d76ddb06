#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "Platform/GnomeWayland/MutterPasteboard.hpp"
#include "support/ChildProcess.hpp"
#include "support/PrivateWaylandSession.hpp"
#include "support/WaylandClientProcess.hpp"

namespace vantrel {
namespace {

using testing::PrivateWaylandSession;
using testing::WaylandClientProcess;

// The output of a shell command (bounded by `timeout` so that a silent clipboard owner cannot
// hold the test). A copying xclip stays behind as the owner: its output must go elsewhere.
std::string run(const std::string& command) { return testing::runShell("timeout 5 " + command).output; }

// A 1x1 grey PNG (chunk checksums from zlib's crc32).
const Bytes onePixelPNG = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
                           0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00,
                           0x00, 0x3A, 0x7E, 0x9B, 0x55, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78,
                           0x9C, 0x63, 0x68, 0x00, 0x00, 0x00, 0x82, 0x00, 0x81, 0x77, 0xCD, 0x72, 0xB6, 0x00,
                           0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

class MutterPasteboardTest : public ::testing::Test {
 protected:
  // Waits (bounded) until another program's copy has reached the session.
  bool changeCountMovesFrom(long long before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (pasteboard_.changeCount() != before) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  PrivateWaylandSession session_{PrivateWaylandSession::Options{.xwayland = true}};
  std::shared_ptr<MutterRemoteDesktop> desktop_ = std::make_shared<MutterRemoteDesktop>();
  MutterPasteboard pasteboard_{desktop_};
};

TEST_F(MutterPasteboardTest, TextWrittenByTheManagerIsPastedByAnotherProgram) {
  const std::string value = "from the manager: ünïcode 42";
  const auto before = pasteboard_.changeCount();
  pasteboard_.writeText(value);
  EXPECT_NE(pasteboard_.changeCount(), before);
  EXPECT_EQ(run("xclip -o -selection clipboard"), value);
  EXPECT_TRUE(pasteboard_.holdsLastWrite());
  EXPECT_EQ(pasteboard_.text(), value);
}

TEST_F(MutterPasteboardTest, APNGWrittenByTheManagerIsPastedByteForByte) {
  ASSERT_TRUE(pasteboard_.decodesAsImage(onePixelPNG));
  pasteboard_.writePNG(onePixelPNG);
  const auto pasted = run("xclip -o -selection clipboard -t image/png");
  EXPECT_EQ(Bytes(pasted.begin(), pasted.end()), onePixelPNG);
}

TEST_F(MutterPasteboardTest, AnXwaylandCopyMovesTheCountAndIsRead) {
  ASSERT_TRUE(desktop_->ensureStarted());
  pasteboard_.writeText("older");
  const auto before = pasteboard_.changeCount();
  run("sh -c 'printf %s x11-copy-7 | xclip -selection clipboard -i >/dev/null 2>&1'");
  ASSERT_TRUE(changeCountMovesFrom(before));
  EXPECT_FALSE(pasteboard_.holdsLastWrite());
  EXPECT_EQ(pasteboard_.text(), "x11-copy-7");
  EXPECT_EQ(pasteboard_.pngData(), std::nullopt);
  EXPECT_TRUE(pasteboard_.fileURLs().empty());
}

TEST_F(MutterPasteboardTest, AWaylandClientsCopyIsReadWithNoWindowOfOurs) {
  WaylandClientProcess client(WaylandClientProcess::inputRecorderCommand(),
                              WaylandClientProcess::gtkWaylandEnvironment());
  ASSERT_TRUE(client.waitForPrefix("ready"));
  ASSERT_TRUE(desktop_->ensureStarted());
  const auto before = pasteboard_.changeCount();
  client.send("set copied in a wayland client");
  ASSERT_TRUE(client.waitForPrefix("clipboard-set"));
  ASSERT_TRUE(changeCountMovesFrom(before));
  EXPECT_EQ(pasteboard_.text(), "copied in a wayland client");
}

TEST_F(MutterPasteboardTest, CopiedFilesAreReadAsFileURLsOnly) {
  ASSERT_TRUE(desktop_->ensureStarted());
  const auto before = pasteboard_.changeCount();
  run("sh -c \"printf '%s\\r\\n' '# comment' 'file:///tmp/a%20b.txt' 'https://example.invalid/x' "
      "'file:///tmp/c' | "
      "xclip -selection clipboard -t text/uri-list -i >/dev/null 2>&1\"");
  ASSERT_TRUE(changeCountMovesFrom(before));
  EXPECT_EQ(pasteboard_.fileURLs(), (std::vector<std::string>{"file:///tmp/a%20b.txt", "file:///tmp/c"}));
}

TEST(MutterPasteboardImageCheck, OnlyAWholePNGWithSoundChecksumsPasses) {
  MutterRemoteDesktop unused;
  const MutterPasteboard pasteboard(std::shared_ptr<MutterRemoteDesktop>(&unused, [](auto*) {}));
  EXPECT_TRUE(pasteboard.decodesAsImage(onePixelPNG));
  auto badChecksum = onePixelPNG;
  badChecksum[30] ^= 0x01;  // inside IHDR's CRC
  auto truncated = onePixelPNG;
  truncated.resize(truncated.size() - 12);  // no IEND
  auto zeroWidth = onePixelPNG;
  zeroWidth[19] = 0;
  auto notPNG = onePixelPNG;
  notPNG[1] = 'J';
  for (const auto& bad : {badChecksum, truncated, zeroWidth, notPNG, Bytes{}}) {
    EXPECT_FALSE(pasteboard.decodesAsImage(bad)) << bad.size();
  }
}

}  // namespace
}  // namespace vantrel
