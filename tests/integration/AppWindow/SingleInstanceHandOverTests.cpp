#include <gtest/gtest.h>

#include "Support/SystemLog.hpp"
#include "UI/InteractiveApplication.hpp"
#include "UI/SingleInstance.hpp"
#include "UI/VantrelMacAppDelegate.hpp"
#include "UI/VantrelMacWindowController.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QLocalServer>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/FakeStatusModel.hpp"
#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

namespace fs = std::filesystem;

constexpr const char* roleVariable = "VANTREL_TEST_SECOND_LAUNCH";
constexpr const char* bundle = "local.vantrel.VantrelMac.handover-test";

// The second launch: the program's own entry, which finds the running instance and hands over.
TEST(SecondLaunch, HandsOverAndEnds) {
  const char* arguments = std::getenv(roleVariable);
  if (arguments == nullptr) GTEST_SKIP() << "runs only as the second process of the hand-over tests";
  testing::uiApp();
  std::vector<std::string> launch{"VantrelMac"};
  if (*arguments != '\0') launch.emplace_back(arguments);
  const InfoDictionary info{{"CFBundleIdentifier", bundle}};
  asio::io_context io;
  auto application = InteractiveApplication::start(
      {launch, info, io.get_executor(), io.get_executor(), nullptr, nullptr, [] {}});
  // Null: the running instance took the launch over. Anything else means this process became an
  // instance of its own, which it must not.
  std::_Exit(application == nullptr ? 0 : 3);
}

struct HandOverFixture : ::testing::Test {
  fs::path folder;
  fs::path resources;
  std::shared_ptr<testing::FakeStatusModel> model = std::make_shared<testing::FakeStatusModel>();
  std::unique_ptr<VantrelMacWindowController> controller;
  std::unique_ptr<VantrelMacAppDelegate> delegate;
  std::unique_ptr<SingleInstance> instance;

  void SetUp() override {
    testing::uiApp();
    folder = fs::temp_directory_path() / ("vantrel-handover-" + std::to_string(::getpid()));
    resources = folder / "share" / "VantrelMac";
    fs::create_directories(resources);
    std::ofstream(resources / "AutomaticLogin.vantrelstartup") << "x\n";
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    WindowControllerEnvironment windows;
    windows.bundleIdentifier = bundle;
    windows.makeModel = [this] { return model; };
    windows.makeStatusItem = [] { return std::unique_ptr<StatusItem>(); };
    controller = std::make_unique<VantrelMacWindowController>(std::move(windows));
    AppDelegateEnvironment environment;
    environment.arguments = {"VantrelMac"};
    environment.resourceDirectory = resources;
    environment.quit = [] {};
    delegate = std::make_unique<VantrelMacAppDelegate>(std::move(environment), controller.get());
  }
  void TearDown() override {
    instance.reset();
    delegate.reset();
    controller.reset();
    fs::remove_all(folder);
  }

  QString socketPath() const {
    return QString::fromStdString(
        AppDelegatePresenter::instanceSocketPath(bundle, ::getuid(), folder.string()));
  }

  bool listen() {
    instance = std::make_unique<SingleInstance>(socketPath());
    return instance->listen(
        [this](const AppDelegatePresenter::HandOver& h) { delegate->receiveHandOver(h); });
  }

  // Starts this test program again as the second launch and serves the event loop until it ends.
  int secondLaunch(const std::string& argument) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv(roleVariable, argument.c_str(), 1);
      ::execl("/proc/self/exe", "integration_AppWindow", "--gtest_filter=SecondLaunch.HandsOverAndEnds",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    QElapsedTimer guard;
    guard.start();
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      if (guard.elapsed() > 60'000) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return -1;
      }
    }
    // The hand-over was answered before the child ended; run what it queued.
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }
};

TEST_F(HandOverFixture, TheStartupResourceRequestsAutomaticLoginOnceAndAnyOtherPathIsIgnored) {
  ASSERT_TRUE(listen());
  MemoryLogSink log;
  std::ofstream(folder / "other.vantrelstartup") << "x\n";
  ASSERT_EQ(secondLaunch((folder / "other.vantrelstartup").string()), 0);
  EXPECT_EQ(model->count("requestStartupAutomaticLogin"), 0);
  EXPECT_TRUE(log.contains("VantrelMac ignored unsupported open resource"));
  ASSERT_EQ(secondLaunch((resources / "AutomaticLogin.vantrelstartup").string()), 0);
  ASSERT_NE(controller->mainWindow(), nullptr);
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  EXPECT_EQ(model->count("requestStartupAutomaticLogin"), 1);
}

TEST_F(HandOverFixture, ASocketLeftByACrashIsTakenOver) {
  // A bound socket file with nobody listening, as a killed instance leaves it.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath().toStdString();
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
  ASSERT_TRUE(fs::exists(path));
  EXPECT_TRUE(listen());
  // A plain second launch reopens the hidden window and builds no second model.
  controller->show();
  controller->mainWindow()->hide();
  ASSERT_EQ(secondLaunch(""), 0);
  EXPECT_TRUE(controller->mainWindow()->isVisible());
  EXPECT_EQ(controller->modelsBuilt(), 1);
  EXPECT_EQ(model->count("requestStartupAutomaticLogin"), 0);
}

TEST_F(HandOverFixture, ALiveInstanceKeepsItsSocket) {
  ASSERT_TRUE(listen());
  SingleInstance second(socketPath());
  EXPECT_FALSE(second.listen([](const AppDelegatePresenter::HandOver&) {}));
}

}  // namespace
}  // namespace vantrel
