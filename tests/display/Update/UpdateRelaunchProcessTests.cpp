#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "Platform/Update/UpdateFrameworkSignature.hpp"
#include "UpdateFeedServer.hpp"
#include "XWindows.hpp"
#include "support/ChildProcess.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"
#include "support/UpdateFixtures.hpp"

// Xlib's macros (Success, None, Status) clash with the headers above: it comes last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Answer = testing::UpdateFeedServer::Answer;

std::string executableOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// Build 1 installed by `cmake --install` into a temporary root and pointed at a loopback feed that
// offers build 2 (the same program with build 2's information).
class UpdateRelaunchProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* displayName = std::getenv("DISPLAY");
    display_ = displayName ? XOpenDisplay(displayName) : nullptr;
    if (!display_) GTEST_SKIP() << "no X display";
    const auto install = "cmake --install '" + std::string(VANTREL_BINARY_DIR) + "' --prefix '" +
                         root_.string() + "' > '" + (home_.root() / "install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << testing::readText(home_.root() / "install.log");
    ASSERT_TRUE(fs::is_symlink(root_ / "current"));

    const auto keys = testing::UpdateKeys::generate();
    const auto running = fs::canonical(root_ / "current");
    auto info1 = testing::updateInfo("1", keys, server_.url("/appcast.xml"));
    info1["SUScheduledCheckInterval"] = 10;
    testing::writeText(running / "Info.json", info1.dump());
    auto info2 = testing::updateInfo("2", keys, server_.url("/appcast.xml"));
    const auto archive =
        testing::tarGz({{"VantrelMac", testing::ArchiveMember::Type::file,
                         testing::readText(running / "VantrelMac"), 0755, ""},
                        {"Info.json", testing::ArchiveMember::Type::file, info2.dump(), 0644, ""}});
    server_.set("/v2.tgz", Answer::ok(archive));
    const auto entry = testing::appcastEntry("2", server_.url("/v2.tgz"), archive, keys);
    server_.set("/appcast.xml",
                Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), keys.privateKey)));
  }

  void TearDown() override {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGTERM);
      // A program that does not end on SIGTERM is the fault under test, not a reason to hang.
      if (!exitsWithin(std::chrono::seconds(20))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &exitStatus_, 0);
      }
    }
    if (display_) XCloseDisplay(display_);
  }

  // Starts the installed program with `argument`, its output going to `log_`, and waits for its exec.
  void start(const char* argument) {
    auto environment = testing::childEnvironment(false);
    environment.emplace_back("QT_QPA_PLATFORM=xcb");
    environment.emplace_back(std::string("DISPLAY=") + std::getenv("DISPLAY"));  // SetUp has one
    std::vector<std::string> arguments{(root_ / "current/VantrelMac").string(), argument};
    const auto argv = testing::argvOf(arguments);
    const auto envp = testing::argvOf(environment);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ASSERT_GT(pid_, 0);
    const auto self = executableOf(::getpid());
    for (int i = 0; i < 1000 && executableOf(pid_) == self; ++i) ::usleep(10'000);  // until the exec
    ASSERT_EQ(executableOf(pid_), build(1));
  }

  std::string build(int number) const {
    return (root_ / "versions" / std::to_string(number) / "VantrelMac").string();
  }

  // Answers each new update dialog with its default button ("설치", then "설치 후 다시 시작"). A
  // dialog may close before its answer: the program's own windows come and go.
  int answerDialogs(std::set<Window>& answered) {
    int count = 0;
    for (const Window window : testing::windowsTitled(display_, "VantrelMac 업데이트")) {
      if (!answered.insert(window).second) continue;
      press(window, XK_Return);
      ++count;
    }
    return count;
  }

  bool hasExited() {
    if (!exited_ && ::waitpid(pid_, &exitStatus_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  bool exitsWithin(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!hasExited() && std::chrono::steady_clock::now() < deadline) ::usleep(20'000);
    return exited_;
  }

  // Answers the dialog that offers build 2 with "설치" and waits for the one that says it is ready
  // to install; answers that with "나중에 (종료할 때 설치)" (Escape) when `chooseLater`, and
  // otherwise leaves it open. False when it never came.
  bool downloadUntilReady(bool chooseLater) {
    std::set<Window> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::optional<Window> ready;
    while (!ready && !hasExited() && std::chrono::steady_clock::now() < deadline) {
      for (const Window window : testing::windowsTitled(display_, "VantrelMac 업데이트")) {
        if (!seen.insert(window).second) continue;
        if (seen.size() == 1) {
          press(window, XK_Return);
        } else {
          ready = window;
          break;
        }
      }
      ::usleep(100'000);
    }
    if (!ready) return false;
    if (!chooseLater) return true;
    press(*ready, XK_Escape);
    while (!hasExited() && std::chrono::steady_clock::now() < deadline) {
      const auto open = testing::windowsTitled(display_, "VantrelMac 업데이트");
      if (std::find(open.begin(), open.end(), *ready) == open.end()) return true;
      ::usleep(50'000);
    }
    return false;
  }

  void press(Window window, KeySym symbol) {
    const auto previous = XSetErrorHandler([](::Display*, XErrorEvent*) { return 0; });
    XSetInputFocus(display_, window, RevertToParent, CurrentTime);
    XSync(display_, False);
    ::usleep(300'000);  // let the dialog take the focus before the key
    const auto key = XKeysymToKeycode(display_, symbol);
    XTestFakeKeyEvent(display_, key, True, CurrentTime);
    XTestFakeKeyEvent(display_, key, False, CurrentTime);
    XSync(display_, False);
    XSetErrorHandler(previous);
  }

  // SIGTERM with the update ready: the program ends by itself, having installed build 2 on its
  // way out, and leaves no staged build behind.
  void expectTheQuitInstallsTheUpdate() {
    ::kill(pid_, SIGTERM);
    ASSERT_TRUE(exitsWithin(std::chrono::seconds(30))) << "still running after SIGTERM\n"
                                                       << testing::readText(log_);
    EXPECT_TRUE(WIFEXITED(exitStatus_) && WEXITSTATUS(exitStatus_) == 0)
        << "wait status " << exitStatus_ << "\n"
        << testing::readText(log_);
    EXPECT_EQ(fs::read_symlink(root_ / "current"), "versions/2") << testing::readText(log_);
    EXPECT_TRUE(fs::exists(root_ / "versions/2/VantrelMac"));
    for (const auto& entry : fs::directory_iterator(root_ / "versions")) {
      EXPECT_NE(entry.path().filename().string().rfind(".staging-", 0), 0u) << entry.path();
    }
    const auto log = testing::readText(log_);
    EXPECT_NE(log.find("VantrelMac update idle admission committed for build 2"), std::string::npos) << log;
    EXPECT_NE(log.find("VantrelMac update installed build 2 at quit"), std::string::npos) << log;
    // Installed on quit, not relaunched: no record asks the next start to sign in again.
    EXPECT_FALSE(fs::exists(home_.path() / ".local/share/local.vantrel.VantrelMac/Update/resume.json"));
  }

  ::Display* display_ = nullptr;
  testing::TemporaryHome home_;
  fs::path root_ = home_.root() / "install";
  fs::path log_ = home_.root() / "program.log";
  testing::UpdateFeedServer server_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int exitStatus_ = 0;
};

TEST_F(UpdateRelaunchProcess, InstalledBuildUpdatesItselfAndKeepsItsProcessId) {
  start("--keep-this-argument");
  std::set<Window> answered;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  bool relaunched = false;
  while (std::chrono::steady_clock::now() < deadline && !hasExited()) {
    if (executableOf(pid_) == build(2)) {
      relaunched = true;
      break;
    }
    answerDialogs(answered);
    ::usleep(100'000);
  }
  // The same process now runs the new build, with the original arguments, and says so.
  const std::string announced = "installed and relaunched as build 2";
  while (relaunched && std::chrono::steady_clock::now() < deadline &&
         testing::readText(log_).find(announced) == std::string::npos) {
    ::usleep(100'000);
  }
  const auto arguments = testing::readText("/proc/" + std::to_string(pid_) + "/cmdline");
  ASSERT_TRUE(relaunched) << "exited early: " << exited_ << " status " << exitStatus_ << "\n"
                          << testing::readText(log_);
  EXPECT_NE(arguments.find("--keep-this-argument"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(root_ / "current"), "versions/2");
  EXPECT_TRUE(fs::exists(root_ / "versions/1/VantrelMac"));
  EXPECT_NE(testing::readText(log_).find(announced), std::string::npos);
  EXPECT_TRUE(fs::exists(home_.path() / ".local/share/local.vantrel.VantrelMac/Update")) << "resume folder";
}

TEST_F(UpdateRelaunchProcess, AQuitAfterChoosingLaterInstallsTheUpdateAndEnds) {
  start("--quit-with-the-update-ready");
  ASSERT_TRUE(downloadUntilReady(true)) << testing::readText(log_);
  expectTheQuitInstallsTheUpdate();
}

TEST_F(UpdateRelaunchProcess, AQuitWithTheReadyDialogUnansweredInstallsTheUpdateAndEnds) {
  start("--quit-with-the-update-ready");
  ASSERT_TRUE(downloadUntilReady(false)) << testing::readText(log_);
  expectTheQuitInstallsTheUpdate();
}

// Connected to a manager that watches the screen: the ready update waits while the screen is shared,
// installs shortly after the screen ends (after the quiet time), and the relaunched build reconnects.
TEST_F(UpdateRelaunchProcess, WaitsForTheSharedScreenThenRelaunchesAndConnectsAgain) {
  const double screenSeconds = 22;  // the first check runs 10 s after start; both dialogs fit in
  const nlohmann::json steps = {
      {{"step", "screen"}, {"width", 640}, {"height", 480}, {"seconds", screenSeconds}, {"timeout", 20}},
      {{"step", "screenEnd"}}};
  testing::ProgramProcess manager(
      {VANTREL_MANAGER_STANDIN, "--steps", steps.dump(), "--report", (home_.root() / "manager.json").string(),
       "--port-file", (home_.root() / "manager.port").string(), "--port", "0", "--serve"},
      testing::ProgramProcess::Options{false, true});
  ASSERT_TRUE(manager.waitForOutput("listening on 127.0.0.1:")) << manager.output();
  int port = 0;
  std::ifstream(home_.root() / "manager.port") >> port;
  ASSERT_GT(port, 0);
  testing::saveDirectAutoLogin(home_.path(), port);
  start("ALogin");

  // The dialogs are answered on a thread of their own while the manager's output is read here.
  std::atomic<int> dialogs{0};
  std::chrono::steady_clock::time_point released;
  {
    std::jthread answerer([&](std::stop_token stop) {
      std::set<Window> answered;
      while (!stop.stop_requested()) {
        dialogs += answerDialogs(answered);
        ::usleep(100'000);
      }
    });
    ASSERT_TRUE(manager.waitForOutput("step screen ok")) << manager.output() << testing::readText(log_);
    released = std::chrono::steady_clock::now();  // the stand-in sends the screen's end right after
  }
  // The screen is still shared: the update is ready but not installed.
  EXPECT_EQ(dialogs.load(), 2) << testing::readText(log_);
  EXPECT_EQ(executableOf(pid_), build(1));
  EXPECT_EQ(fs::read_symlink(root_ / "current"), "versions/1");
  EXPECT_EQ(manager.output().find("agent 1 "), std::string::npos) << manager.output();

  while (fs::read_symlink(root_ / "current") != "versions/2" &&
         std::chrono::steady_clock::now() < released + std::chrono::seconds(10)) {
    ::usleep(5'000);
  }
  const auto installed = std::chrono::steady_clock::now();
  ASSERT_EQ(fs::read_symlink(root_ / "current"), "versions/2") << testing::readText(log_);
  const auto afterRelease = std::chrono::duration_cast<std::chrono::milliseconds>(installed - released);
  std::cout << "installed " << afterRelease.count() << " ms after the screen's end was sent" << std::endl;
  // Not before the quiet time after the release (less some slack for reading the line late), and
  // within a second after it.
  EXPECT_GE(afterRelease.count(), 750 - 150);
  EXPECT_LE(afterRelease.count(), 750 + 1000);

  while (executableOf(pid_) != build(2) && !hasExited() &&
         std::chrono::steady_clock::now() < installed + std::chrono::seconds(20)) {
    ::usleep(10'000);
  }
  ASSERT_EQ(executableOf(pid_), build(2)) << testing::readText(log_);
  ASSERT_TRUE(manager.waitForOutput("agent 1 registered")) << manager.output() << testing::readText(log_);
  std::cout << "registered again "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     installed)
                   .count()
            << " ms after the install" << std::endl;
  EXPECT_FALSE(hasExited());
}

}  // namespace
}  // namespace vantrel
