#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "Platform/UpdateFrameworkSignature.hpp"
#include "UpdateFeedServer.hpp"
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

// The mapped top-level windows titled `title` (_NET_WM_NAME, UTF-8).
std::vector<Window> windowsTitled(Display* display, const std::string& title) {
  std::vector<Window> found;
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return found;
  const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
      continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, children[i], name, 0, 1024, False, utf8, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
      if (std::string(reinterpret_cast<char*>(data), items) == title) found.push_back(children[i]);
      XFree(data);
    }
  }
  if (children) XFree(children);
  return found;
}

std::string executableOf(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

TEST(UpdateRelaunchProcess, InstalledBuildUpdatesItselfAndKeepsItsProcessId) {
  const char* displayName = std::getenv("DISPLAY");
  Display* display = displayName ? XOpenDisplay(displayName) : nullptr;
  if (!display) GTEST_SKIP() << "no X display";
  testing::TemporaryHome home;
  const auto root = home.root() / "install";
  const auto install = "cmake --install '" + std::string(VANTREL_BINARY_DIR) + "' --prefix '" +
                       root.string() + "' > '" + (home.root() / "install.log").string() + "' 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << testing::readText(home.root() / "install.log");
  ASSERT_TRUE(fs::is_symlink(root / "current"));

  // Build 1 as installed, pointed at a loopback feed; build 2 is the same program with build 2's
  // information.
  testing::UpdateFeedServer server;
  const auto keys = testing::UpdateKeys::generate();
  const auto running = fs::canonical(root / "current");
  auto info1 = testing::updateInfo("1", keys, server.url("/appcast.xml"));
  info1["SUScheduledCheckInterval"] = 10;
  testing::writeText(running / "Info.json", info1.dump());
  auto info2 = testing::updateInfo("2", keys, server.url("/appcast.xml"));
  const auto archive =
      testing::tarGz({{"VantrelMac", testing::ArchiveMember::Type::file,
                       testing::readText(running / "VantrelMac"), 0755, ""},
                      {"Info.json", testing::ArchiveMember::Type::file, info2.dump(), 0644, ""}});
  server.set("/v2.tgz", Answer::ok(archive));
  const auto entry = testing::appcastEntry("2", server.url("/v2.tgz"), archive, keys);
  server.set("/appcast.xml",
             Answer::ok(update_signature::signFeed(testing::appcastXML({entry}), keys.privateKey)));

  const auto log = home.root() / "program.log";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    const auto program = (root / "current/VantrelMac").string();
    ::execl(program.c_str(), program.c_str(), "--keep-this-argument", nullptr);
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  const auto self = executableOf(::getpid());
  for (int i = 0; i < 1000 && executableOf(pid) == self; ++i) ::usleep(10'000);  // until the exec
  ASSERT_EQ(executableOf(pid), (root / "versions/1/VantrelMac").string());

  // Answer each update dialog with its default button ("설치", then "설치 후 다시 시작") until
  // the process runs build 2.
  std::set<Window> answered;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  bool relaunched = false;
  bool exited = false;
  int exitStatus = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (executableOf(pid) == (root / "versions/2/VantrelMac").string()) {
      relaunched = true;
      break;
    }
    if (::waitpid(pid, &exitStatus, WNOHANG) == pid) {
      exited = true;
      break;
    }
    for (const auto window : windowsTitled(display, "VantrelMac 업데이트")) {
      if (!answered.insert(window).second) continue;
      XSetInputFocus(display, window, RevertToParent, CurrentTime);
      XSync(display, False);
      ::usleep(300'000);  // let the dialog take the focus before the key
      const auto key = XKeysymToKeycode(display, XK_Return);
      XTestFakeKeyEvent(display, key, True, CurrentTime);
      XTestFakeKeyEvent(display, key, False, CurrentTime);
      XSync(display, False);
    }
    ::usleep(100'000);
  }
  // The same process now runs the new build, with the original arguments, and says so.
  const std::string announced = "installed and relaunched as build 2";
  while (relaunched && std::chrono::steady_clock::now() < deadline &&
         testing::readText(log).find(announced) == std::string::npos) {
    ::usleep(100'000);
  }
  const auto arguments = testing::readText("/proc/" + std::to_string(pid) + "/cmdline");
  if (!exited) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &exitStatus, 0);
  }
  XCloseDisplay(display);
  ASSERT_TRUE(relaunched) << "exited early: " << exited << " status " << exitStatus << "\n"
                          << testing::readText(log);
  EXPECT_NE(arguments.find("--keep-this-argument"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(root / "current"), "versions/2");
  EXPECT_TRUE(fs::exists(root / "versions/1/VantrelMac"));
  EXPECT_NE(testing::readText(log).find(announced), std::string::npos);
  EXPECT_TRUE(fs::exists(home.path() / ".local/share/local.vantrel.VantrelMac/Update")) << "resume folder";
}

}  // namespace
}  // namespace vantrel
