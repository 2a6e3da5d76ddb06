// The installed program doing its main job for a manager, process against process: the manager
// stand-in asks for the screen, moves the pointer and exchanges files; then it is killed and a new
// one must be reached again; then the program is told to quit and must leave nothing behind.

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "Platform/System/Crypto.hpp"
#include "support/ProgramPaths.hpp"
#include "support/ProgramProcess.hpp"
#include "support/TestEnvironment.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using testing::ProgramProcess;
using namespace testing::programs;

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeRandom(const fs::path& path, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(random() & 0xFF));
}

// Waits (bounded) until the agent has written the whole file; it writes after the manager's last
// chunk, so the manager's script may end first.
bool waitForFile(const fs::path& path, std::uintmax_t size) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::error_code error;
  while (fs::file_size(path, error) != size || error) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct Display {
  std::unique_ptr<::Display, int (*)(::Display*)> handle{XOpenDisplay(nullptr), XCloseDisplay};
  int width() const { return DisplayWidth(handle.get(), DefaultScreen(handle.get())); }
  int height() const { return DisplayHeight(handle.get(), DefaultScreen(handle.get())); }
  std::pair<int, int> pointer() const {
    Window root = 0, child = 0;
    int x = -1, y = -1, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(handle.get(), DefaultRootWindow(handle.get()), &root, &child, &x, &y, &wx, &wy, &mask);
    return {x, y};
  }
};

class MainJob : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!display_.handle) GTEST_SKIP() << "needs an X display (scripts/test provides one)";
    tmp_ = home_.root() / "tmp";
    fs::create_directories(tmp_);
    fs::create_directories(home_.path() / "Downloads");
    fs::create_directories(home_.path() / "Shared");
    fs::create_directories(home_.root() / "fetched");
    home_.setEnv("TMPDIR", tmp_.string());
    writeRandom(home_.root() / "to-agent.bin", 300000, 1);
    writeRandom(home_.path() / "Shared" / "from-agent.bin", 200000, 2);
  }

  // A stand-in that plays `steps` and stays for further agents; its output is captured.
  std::unique_ptr<ProgramProcess> startManager(const nlohmann::json& steps, int port,
                                               const std::string& tag) {
    return testing::startManagerStandIn(standInPath, home_.root(), steps.dump(), tag, port);
  }

  int portOf(const std::string& tag) { return testing::standInPort(home_.root(), tag); }

  nlohmann::json reportOf(const std::string& tag) {
    std::ifstream in(home_.root() / (tag + ".json"));
    return nlohmann::json::parse(in, nullptr, false);
  }

  // The whole job; `startAgent` starts the program (and whatever it needs) once the port is known.
  void runMainJob(const std::function<std::unique_ptr<ProgramProcess>(int port)>& startAgent) {
    const int width = display_.width();
    const int height = display_.height();
    const nlohmann::json steps = {
        {{"step", "screen"},
         {"width", width},
         {"height", height},
         {"seconds", 0.5},
         {"expectWidth", width},
         {"expectHeight", height}},
        {{"step", "move"}, {"x", 123}, {"y", 77}},
        {{"step", "sendFile"},
         {"path", (home_.root() / "to-agent.bin").string()},
         {"to", (home_.path() / "Downloads").string()}},
        {{"step", "fetchFile"}, {"path", (home_.path() / "Shared" / "from-agent.bin").string()}},
        {{"step", "screenEnd"}}};
    auto manager = startManager(steps, 0, "first");
    const int port = portOf("first");
    ASSERT_GT(port, 0);
    auto agent = startAgent(port);

    ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent->output();
    ASSERT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
    const auto report = reportOf("first");
    ASSERT_FALSE(report.is_discarded());
    // The picture has the display's size and something on it, not a flat colour.
    EXPECT_EQ(report["screen"]["width"], width);
    EXPECT_EQ(report["screen"]["height"], height);
    EXPECT_GT(report["screen"]["lumaSpread"].get<double>(), 0.0) << report.dump(2);
    EXPECT_EQ(report["screen"]["decodeErrors"], 0);
    EXPECT_EQ(display_.pointer(), std::make_pair(123, 77));
    // Both files byte for byte.
    EXPECT_TRUE(waitForFile(home_.path() / "Downloads" / "to-agent.bin", 300000));
    EXPECT_EQ(crypto::sha256(readAll(home_.path() / "Downloads" / "to-agent.bin")),
              crypto::sha256(readAll(home_.root() / "to-agent.bin")));
    EXPECT_EQ(crypto::sha256(readAll(home_.root() / "fetched" / "from-agent.bin")),
              crypto::sha256(readAll(home_.path() / "Shared" / "from-agent.bin")));

    // The manager dies; the program comes back to a new one on the same port after its back-off.
    manager->signal(SIGKILL);
    manager->waitForExit();
    manager.reset();
    auto second = startManager(nlohmann::json::array({{{"step", "comInfo"}}}), port, "second");
    ASSERT_TRUE(second->waitForOutput("script done:")) << second->output() << agent->output();
    EXPECT_NE(second->output().find("script done: ok"), std::string::npos) << second->output();

    // Told to quit, it ends cleanly and leaves no process and no temporary file behind.
    const auto children = testing::childrenOf(agent->pid());
    agent->signal(SIGTERM);
    EXPECT_TRUE(testing::exitedWith(agent->waitForExit(), 0)) << agent->output();
    for (const auto child : children) EXPECT_NE(::kill(child, 0), 0) << "child " << child << " still runs";
    for (const auto& left : fs::recursive_directory_iterator(tmp_))
      ADD_FAILURE() << "left behind: " << left.path();
  }

  testing::TemporaryHome home_;
  Display display_;
  fs::path tmp_;
};

// AUTO LOGIN on with an account and no saved password: the start-up login falls back to the saved
// direct connection.
TEST_F(MainJob, TrayApplicationConnectsFromSavedDirectSettings) {
  runMainJob([this](int port) {
    testing::saveDirectAutoLogin(home_.path(), port);
    return std::make_unique<ProgramProcess>(std::vector<std::string>{programPath, "ALogin"},
                                            ProgramProcess::Options{true, false});
  });
}

// The agent and the daemon accept each other only as programs of one installation folder, so both
// run from a copy of the build laid out as one.
TEST_F(MainJob, SessionAgentConnectsThroughTheRelayDaemon) {
  std::unique_ptr<ProgramProcess> relay;
  runMainJob([&](int port) {
    return testing::startSessionAgentThroughRelay(home_, programPath, relayPath, port, relay);
  });
}

// True once the file contains `text` (bounded wait); the program appends as it goes.
bool waitForText(const fs::path& path, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    if (content.str().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A login-server stand-in that knows the account "e2e" with managers on the given ports, the
// account's password saved for AUTO LOGIN, and the diagnostics log in <root>/state/VantrelMac.log.
std::unique_ptr<ProgramProcess> signInSetUp(testing::TemporaryHome& home,
                                            const std::vector<int>& managerPorts) {
  auto login = testing::startLoginServerNamingManagers(home, loginServerPath, credentialSeedPath, "e2e",
                                                       "e2e password", managerPorts);
  home.setEnv("XDG_STATE_HOME", (home.root() / "state").string());
  return login;
}

// AUTO LOGIN on with the account's password remembered: the program signs in at the login server,
// which names two managers, and both must authenticate it.
TEST_F(MainJob, TrayApplicationSignsInAndReachesBothManagersOfTheLoginAnswer) {
  const auto comInfo = nlohmann::json::array({{{"step", "comInfo"}}});
  auto first = startManager(comInfo, 0, "first");
  auto second = startManager(comInfo, 0, "second");
  const auto login = signInSetUp(home_, {portOf("first"), portOf("second")});
  const auto state = home_.root() / "state";

  ProgramProcess agent({programPath, "ALogin"}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(first->waitForOutput("script done:")) << first->output() << agent.output();
  ASSERT_TRUE(second->waitForOutput("script done:")) << second->output() << agent.output();
  EXPECT_NE(first->output().find("script done: ok"), std::string::npos) << first->output();
  EXPECT_NE(second->output().find("script done: ok"), std::string::npos) << second->output();
  for (const auto* tag : {"first", "second"}) {
    const auto report = reportOf(tag);
    ASSERT_FALSE(report.is_discarded()) << tag;
    EXPECT_GE(report["authentications"].size(), 1U) << tag << report.dump(2);
  }
  const auto log = state / "VantrelMac.log";
  EXPECT_TRUE(waitForText(log, "Server returned 2 manager route(s)")) << agent.output();
  EXPECT_TRUE(waitForText(log, "Independent manager sessions active: primary=1, secondary=1"))
      << agent.output();

  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

// The session's autostart entry launches the program with the automatic-login resource: the first
// instance takes that as its open request and signs in with the saved password.
TEST_F(MainJob, FirstLaunchWithTheStartupResourceSignsInByItself) {
  auto manager = startManager(nlohmann::json::array({{{"step", "comInfo"}}}), 0, "first");
  const auto login = signInSetUp(home_, {portOf("first")});
  const auto resource = fs::path(programPath).parent_path().parent_path() / "share" / "VantrelMac" /
                        "AutomaticLogin.vantrelstartup";
  ASSERT_TRUE(fs::exists(resource)) << resource;

  ProgramProcess agent({programPath, resource.string()}, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent.output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  const auto log = home_.root() / "state" / "VantrelMac.log";
  EXPECT_TRUE(waitForText(log, "Local startup login intent received")) << agent.output();
  EXPECT_TRUE(waitForText(log, "Account authenticated; server assigned client number 3")) << agent.output();
  const auto report = reportOf("first");
  ASSERT_FALSE(report.is_discarded());
  ASSERT_GE(report["authentications"].size(), 1U) << report.dump(2);
  EXPECT_EQ(report["authentications"][0]["userID"], "e2e");

  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

// The value of `key` in a desktop entry, with its own escapes (\s \n \t \r \\) undone.
std::optional<std::string> entryValue(const fs::path& entry, const std::string& key) {
  std::ifstream in(entry);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + "=", 0) != 0) continue;
    std::string value;
    for (std::size_t i = key.size() + 1; i < line.size(); ++i) {
      if (line[i] != '\\' || i + 1 == line.size()) {
        value += line[i];
        continue;
      }
      const char escaped = line[++i];
      value += escaped == 's'   ? ' '
               : escaped == 'n' ? '\n'
               : escaped == 't' ? '\t'
               : escaped == 'r' ? '\r'
                                : escaped;
    }
    return value;
  }
  return std::nullopt;
}

// The arguments of a desktop entry's Exec line as a launcher reads them: each one in double
// quotes, where a backslash takes the next character as it is, and a doubled percent sign is one.
std::vector<std::string> execArguments(const fs::path& entry) {
  const auto line = entryValue(entry, "Exec");
  if (!line) return {};
  std::vector<std::string> arguments;
  std::optional<std::string> current;
  for (std::size_t i = 0; i < line->size(); ++i) {
    const char c = (*line)[i];
    if (!current) {
      if (c == '"') current.emplace();
      continue;
    }
    if (c == '\\' && i + 1 < line->size()) {
      *current += (*line)[++i];
    } else if (c == '%' && i + 1 < line->size() && (*line)[i + 1] == '%') {
      *current += (*line)[++i];
    } else if (c == '"') {
      arguments.push_back(std::move(*current));
      current.reset();
    } else {
      *current += c;
    }
  }
  return arguments;
}

std::string installInto(const fs::path& root, const fs::path& log) {
  return "cmake --install '" + std::string(VANTREL_BINARY_DIR) + "' --prefix '" + root.string() + "' > '" +
         log.string() + "' 2>&1";
}

// What the desktop session does at login: the autostart entry that cmake --install wrote starts the
// installed program with the startup resource, and it signs in by itself. The prefix holds the
// characters an Exec line must escape (a backslash too, but CMake cannot install under one).
TEST_F(MainJob, TheInstalledAutostartEntrySignsIn) {
  const auto root = home_.root() / "installed $HOME `id` \"q\"";
  ASSERT_EQ(std::system(installInto(root, home_.root() / "install.log").c_str()), 0);
  const auto entry = root / "etc" / "xdg" / "autostart" / "VantrelMac.desktop";
  const auto arguments = execArguments(entry);
  ASSERT_EQ(arguments.size(), 2U) << entry;
  EXPECT_EQ(arguments[0], (root / "current" / "VantrelMac").string());
  EXPECT_EQ(arguments[1],
            (root / "current" / "share" / "VantrelMac" / "AutomaticLogin.vantrelstartup").string());
  EXPECT_EQ(entryValue(entry, "Icon"),
            (root / "current" / "share" / "VantrelMac" / "VantrelMac.svg").string());

  auto manager = startManager(nlohmann::json::array({{{"step", "comInfo"}}}), 0, "first");
  const auto login = signInSetUp(home_, {portOf("first")});
  ProgramProcess agent(arguments, ProgramProcess::Options{true, false});
  ASSERT_TRUE(manager->waitForOutput("script done:")) << manager->output() << agent.output();
  EXPECT_NE(manager->output().find("script done: ok"), std::string::npos) << manager->output();
  EXPECT_TRUE(waitForText(home_.root() / "state" / "VantrelMac.log", "Local startup login intent received"))
      << agent.output();
  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

// A launcher looks for the program before it expands percent codes, so no entry can start a
// program whose path holds a percent sign: the install says so and writes none.
TEST_F(MainJob, AnInstallPrefixWithAPercentSignGetsNoAutostartEntry) {
  const auto root = home_.root() / "installed 100%u";
  const auto log = home_.root() / "install.log";
  EXPECT_NE(std::system(installInto(root, log).c_str()), 0);
  EXPECT_FALSE(fs::exists(root / "etc" / "xdg" / "autostart" / "VantrelMac.desktop"));
  // CMake folds its messages: compare with every run of white space made one space.
  std::ifstream in(log);
  std::string output, word;
  while (in >> word) output += word + " ";
  EXPECT_NE(output.find("a desktop session cannot launch a path holding a percent sign"), std::string::npos)
      << output;
}

// A desktop entry holds UTF-8 text only: a prefix that is not valid UTF-8 cannot be named in one,
// so the install says so and writes none, as it does for a percent sign.
TEST_F(MainJob, AnInstallPrefixThatIsNotUTF8GetsNoAutostartEntry) {
  for (const char* name : {"installed \xFF", "installed \xC3(", "installed \xED\xA0\x80"}) {
    const auto root = home_.root() / name;
    const auto log = home_.root() / "install.log";
    EXPECT_NE(std::system(installInto(root, log).c_str()), 0) << name;
    EXPECT_FALSE(fs::exists(root / "etc" / "xdg" / "autostart" / "VantrelMac.desktop")) << name;
    std::ifstream in(log);
    std::string output, word;
    while (in >> word) output += word + " ";
    EXPECT_NE(output.find("a desktop entry holds UTF-8 text only, and this path is not valid UTF-8"),
              std::string::npos)
        << output;
  }
}

// The install puts each resource in one place, the one the installed program reads; the desktop's
// icon theme holds the only other copy of the icon, for the application entry.
TEST_F(MainJob, TheInstallHoldsEachResourceOnceWhereTheProgramReadsIt) {
  const auto root = home_.root() / "installed";
  ASSERT_EQ(std::system(installInto(root, home_.root() / "install.log").c_str()), 0);
  std::vector<fs::path> resources;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto name = entry.path().filename();
    if (name == "AutomaticLogin.vantrelstartup" || name == "VantrelMac.svg") {
      resources.push_back(fs::relative(entry.path(), root));
    }
  }
  std::sort(resources.begin(), resources.end());
  const auto program = fs::canonical(root / "current" / "VantrelMac");
  const auto folder = fs::relative(program.parent_path(), fs::canonical(root)) / "share" / "VantrelMac";
  EXPECT_EQ(resources,
            (std::vector<fs::path>{"share/icons/hicolor/scalable/apps/VantrelMac.svg",
                                   folder / "AutomaticLogin.vantrelstartup", folder / "VantrelMac.svg"}));
}

TEST_F(MainJob, FirstLaunchWithAnyOtherFileIgnoresIt) {
  const auto other = home_.root() / "notes.txt";
  std::ofstream(other) << "not the startup resource\n";
  ProgramProcess agent({programPath, other.string()}, ProgramProcess::Options{true, false});
  EXPECT_TRUE(agent.waitForOutput("VantrelMac ignored unsupported open resource")) << agent.output();
  EXPECT_EQ(agent.output().find("Local startup login intent received"), std::string::npos) << agent.output();
  agent.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(agent.waitForExit(), 0)) << agent.output();
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The WM_CLASS classes of every window under `window`.
void windowClasses(::Display* display, Window window, std::vector<std::string>& classes) {
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) != 0) {
    if (hint.res_class != nullptr) classes.emplace_back(hint.res_class);
    XFree(hint.res_name);
    XFree(hint.res_class);
  }
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return;
  for (unsigned i = 0; i < count; ++i) windowClasses(display, children[i], classes);
  XFree(children);
}

// The install also puts the program among the desktop's applications: an entry desktop tools accept,
// with the theme's scalable icon, whose windows the desktop can tell apart by their class; starting
// it while the program runs hands the launch over, and the running program brings its window back.
TEST_F(MainJob, TheInstalledApplicationEntryIsValidAndALaunchBringsTheWindowBack) {
  const auto root = home_.root() / "installed app";
  ASSERT_EQ(std::system(installInto(root, home_.root() / "install.log").c_str()), 0)
      << fileText(home_.root() / "install.log");
  const auto entry = root / "share" / "applications" / "VantrelMac.desktop";
  const auto autostart = root / "etc" / "xdg" / "autostart" / "VantrelMac.desktop";
  for (const auto& file : {entry, autostart}) {
    ASSERT_TRUE(fs::exists(file)) << file;
    const auto report = home_.root() / "validate.log";
    const std::string command =
        "desktop-file-validate '" + file.string() + "' > '" + report.string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << file << ": " << fileText(report);
    EXPECT_EQ(fileText(report), "") << file;  // not even a hint
  }
  EXPECT_EQ(entryValue(entry, "Type"), "Application");
  EXPECT_EQ(entryValue(entry, "Name"), "VantrelMac");
  EXPECT_EQ(entryValue(entry, "Icon"), "VantrelMac");  // a theme name, found in hicolor
  EXPECT_EQ(entryValue(entry, "Categories"), "Network;RemoteAccess;");
  EXPECT_EQ(entryValue(entry, "Terminal"), "false");
  const auto arguments = execArguments(entry);
  ASSERT_EQ(arguments, std::vector<std::string>{(root / "current" / "VantrelMac").string()});
  const std::string icon =
      fileText(root / "share" / "icons" / "hicolor" / "scalable" / "apps" / "VantrelMac.svg");
  EXPECT_NE(icon.find("<svg"), std::string::npos);
  EXPECT_NE(icon.find("viewBox=\"0 0 256 256\""), std::string::npos);  // square, so it scales to any size

  const auto wmClass = entryValue(entry, "StartupWMClass");
  ASSERT_TRUE(wmClass.has_value());
  ProgramProcess first(arguments, ProgramProcess::Options{true, false});
  ASSERT_TRUE(first.waitForOutput("VantrelMac primary window requested")) << first.output();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<std::string> classes;
  while (std::find(classes.begin(), classes.end(), *wmClass) == classes.end() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    classes.clear();
    windowClasses(display_.handle.get(), DefaultRootWindow(display_.handle.get()), classes);
  }
  EXPECT_NE(std::find(classes.begin(), classes.end(), *wmClass), classes.end())
      << "no window of class " << *wmClass << first.output();

  ProgramProcess second(arguments, ProgramProcess::Options{true, false});
  EXPECT_TRUE(testing::exitedWith(second.waitForExit(), 0)) << second.output();
  EXPECT_NE(second.output().find("VantrelMac handed its launch to the running instance"), std::string::npos)
      << second.output();
  EXPECT_TRUE(first.waitForOutput("VantrelMac primary window requested", 2)) << first.output();
  first.signal(SIGTERM);
  EXPECT_TRUE(testing::exitedWith(first.waitForExit(), 0)) << first.output();
}

}  // namespace
}  // namespace vantrel
