#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QImage>

#include <cstdlib>

#include "Model/Connection/MacClipboardBridge.hpp"
#include "Platform/Qt/QtPasteboard.hpp"
#include "support/AsyncTest.hpp"
#include "support/ChildProcess.hpp"
#include "support/ManagerWire.hpp"

extern char** environ;

namespace vantrel {
namespace {

// The Qt clipboard, with every look at its change count counted.
class CountingPasteboard final : public Pasteboard {
 public:
  long long changeCount() const override {
    ++reads;
    return inner.changeCount();
  }
  std::vector<std::string> fileURLs() override { return inner.fileURLs(); }
  std::optional<Bytes> pngData() override { return inner.pngData(); }
  std::optional<Bytes> otherImageAsPNG() override { return inner.otherImageAsPNG(); }
  std::optional<std::string> text() override { return inner.text(); }
  bool decodesAsImage(ByteView png) const override { return inner.decodesAsImage(png); }
  void clear() override { inner.clear(); }
  void writeText(const std::string& text) override { inner.writeText(text); }
  void writePNG(const Bytes& png) override { inner.writePNG(png); }
  bool holdsLastWrite() const override { return inner.holdsLastWrite(); }

  QtPasteboard inner;
  mutable long long reads = 0;
};

class RecordingSession final : public LocalClipboardSending {
 public:
  Awaitable<void> sendLocalClipboardText(std::string text) override {
    texts.push_back(std::move(text));
    co_return;
  }
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png) override {
    images.push_back(std::move(png));
    co_return;
  }
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) override {
    files.push_back(std::move(urls));
    co_return;
  }
  Awaitable<void> reportClipboardBridgeFailure(std::string detail) override {
    failures.push_back(std::move(detail));
    co_return;
  }
  std::size_t sends() const { return texts.size() + images.size() + files.size(); }
  std::vector<std::string> texts;
  std::vector<Bytes> images;
  std::vector<std::vector<std::string>> files;
  std::vector<std::string> failures;
};

// One xclip process; `serve` keeps it in the foreground owning the clipboard until it is killed
// or loses the clipboard, `read` runs it once and collects what it printed.
class Xclip {
 public:
  static pid_t spawn(std::vector<std::string> arguments, int stdinFd, int stdoutFd) {
    arguments.insert(arguments.begin(), "xclip");
    auto argv = testing::argvOf(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int result = ::posix_spawnp(&pid, "xclip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
  }
};

class QtClipboardBridgeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::getenv("DISPLAY") || QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "display_ClipboardBridge";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives for the whole process
  }

  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    pasteboard = std::make_shared<CountingPasteboard>();
    session = std::make_shared<RecordingSession>();
    bridge = MacClipboardBridge::create(io.get_executor(), pasteboard, {session});
    bridge->start();
  }

  void TearDown() override {
    if (bridge) bridge->stop();
    if (!pasteboard) return;
    // Taking the clipboard back ends the xclip servers by themselves, and leaves no change of
    // the clipboard for Qt to report during the next test.
    pasteboard->inner.writeText("");
    pumpUntil([&] {
      std::erase_if(servers, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == pid; });
      return servers.empty();
    });
    for (const pid_t pid : servers) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }

  // Runs the Qt event loop and the bridge's executor (both on this thread) until `done()`.
  bool pumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + testing::hangGuard;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pump();
    }
    return true;
  }
  void pump() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (io.stopped()) io.restart();
    io.poll();
  }
  // One poll interval on the manual clock, until the poll has looked.
  void tick() {
    const auto before = pasteboard->reads;
    clock.advance(MacClipboardBridge::pollInterval);
    ASSERT_TRUE(pumpUntil([&] { return pasteboard->reads > before; }));
    pump();
  }

  // Another X client takes the clipboard with `data` as `type`; returns once Qt has seen it.
  void copyWithXclip(const std::string& type, const std::string& data) {
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const auto before = pasteboard->inner.changeCount();
    const pid_t pid =
        Xclip::spawn({"-quiet", "-selection", "clipboard", "-t", type, "-i"}, input[0], devnull);
    ::close(input[0]);
    ::close(devnull);
    ASSERT_GT(pid, 0) << "xclip could not be started";
    servers.push_back(pid);
    ASSERT_EQ(::write(input[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(input[1]);
    ASSERT_TRUE(pumpUntil([&] { return pasteboard->inner.changeCount() > before; }));
  }

  // What another X client reads from the clipboard as `type` (Qt answers it meanwhile).
  std::string readWithXclip(const std::string& type) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC | O_NONBLOCK) != 0) return {};
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = Xclip::spawn({"-selection", "clipboard", "-t", type, "-o"}, devnull, output[1]);
    ::close(devnull);
    ::close(output[1]);
    std::string got;
    const auto drain = [&] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    };
    pumpUntil([&] {
      drain();
      if (::waitpid(pid, nullptr, WNOHANG) != pid) return false;
      drain();  // what it wrote just before it ended
      return true;
    });
    ::close(output[0]);
    return got;
  }

  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<CountingPasteboard> pasteboard;
  std::shared_ptr<RecordingSession> session;
  std::shared_ptr<MacClipboardBridge> bridge;
  std::vector<pid_t> servers;
};

std::string asString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST_F(QtClipboardBridgeTest, TextCopiedByAnotherClientReachesTheSessionOnce) {
  copyWithXclip("UTF8_STRING", "xclip says 안녕");
  tick();
  ASSERT_EQ(session->texts.size(), 1u);
  EXPECT_EQ(session->texts[0], "xclip says 안녕");
  tick();
  tick();
  EXPECT_EQ(session->sends(), 1u);
}

TEST_F(QtClipboardBridgeTest, RemoteTextAndPNGAreReadBackExactlyAndNeverEchoed) {
  bridge->applyRemote(LegacyClipboardValue::text("from the manager ✓"));
  EXPECT_EQ(readWithXclip("UTF8_STRING"), "from the manager ✓");
  tick();
  tick();

  const auto png = testing::ManagerEnvelopes::tinyPNG();
  bridge->applyRemote(LegacyClipboardValue::imagePNG(png));
  EXPECT_EQ(readWithXclip("image/png"), asString(png));
  EXPECT_NE(readWithXclip("TARGETS").find("image/png"), std::string::npos);
  tick();
  tick();
  EXPECT_EQ(session->sends(), 0u) << "nothing a manager wrote goes back";

  // A copy by somebody else after it is sent as usual.
  copyWithXclip("UTF8_STRING", "later");
  tick();
  ASSERT_EQ(session->texts.size(), 1u);
  EXPECT_EQ(session->texts[0], "later");
}

TEST_F(QtClipboardBridgeTest, FileListsFromUriListAndGnomeCopiedFiles) {
  copyWithXclip("text/uri-list",
                "file:///tmp/a%20b.txt\r\nhttps://example.invalid/x\r\nfile:///etc/hosts\r\n");
  tick();
  ASSERT_EQ(session->files.size(), 1u);
  EXPECT_EQ(session->files[0], (std::vector<std::string>{"file:///tmp/a%20b.txt", "file:///etc/hosts"}));

  copyWithXclip("x-special/gnome-copied-files", "copy\nfile:///tmp/%C3%A4.png\nfile:///srv/x");
  tick();
  ASSERT_EQ(session->files.size(), 2u);
  EXPECT_EQ(session->files[1], (std::vector<std::string>{"file:///tmp/%C3%A4.png", "file:///srv/x"}));
  EXPECT_TRUE(session->texts.empty());
}

TEST_F(QtClipboardBridgeTest, AnImageInAnotherFormatGoesOutAsPNG) {
  QImage image(7, 5, QImage::Format_RGB32);
  image.fill(QColor(10, 200, 30));
  QByteArray bmp;
  QBuffer buffer(&bmp);
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(image.save(&buffer, "BMP"));
  copyWithXclip("image/bmp", bmp.toStdString());
  tick();
  ASSERT_EQ(session->images.size(), 1u)
      << session->texts.size() << " texts, " << session->files.size() << " file lists; png "
      << pasteboard->inner.pngData().has_value() << " other "
      << pasteboard->inner.otherImageAsPNG().has_value() << " targets " << readWithXclip("TARGETS");
  const auto& png = session->images[0];
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png[1], 'P');
  const auto decoded = QImage::fromData(
      QByteArray(reinterpret_cast<const char*>(png.data()), static_cast<qsizetype>(png.size())), "PNG");
  ASSERT_FALSE(decoded.isNull());
  EXPECT_EQ(decoded.size(), QSize(7, 5));
  EXPECT_EQ(decoded.pixelColor(3, 2), QColor(10, 200, 30));
}

TEST(GnomeCopiedFiles, KeepsOnlyLocalFileURLs) {
  EXPECT_EQ(fileURLsFromGnomeCopiedFiles("cut\nfile:///a\n\nhttp://x/y\nnot a url\nfile:///b%20c\n"),
            (std::vector<std::string>{"file:///a", "file:///b%20c"}));
  EXPECT_TRUE(fileURLsFromGnomeCopiedFiles("file:///only-the-operation-line").empty());
  EXPECT_TRUE(fileURLsFromGnomeCopiedFiles("").empty());
}

}  // namespace
}  // namespace vantrel
