// A question to the user's session bus asked on a connection of its own gives up within its short
// limit when the bus does not answer, and fails at once without a bus.

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/GnomeWayland/MutterBus.hpp"

namespace vantrel {
namespace {

// Points DBUS_SESSION_BUS_ADDRESS at `address` for the life of the object.
class SessionBusAddress {
 public:
  explicit SessionBusAddress(const std::string& address) {
    if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) old_ = old;
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SessionBusAddress() {
    if (old_) {
      setenv("DBUS_SESSION_BUS_ADDRESS", old_->c_str(), 1);
    } else {
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }
  SessionBusAddress(const SessionBusAddress&) = delete;
  SessionBusAddress& operator=(const SessionBusAddress&) = delete;

 private:
  std::optional<std::string> old_;
};

// A socket that accepts connections and never says a word: a bus daemon that hangs.
class SilentBus {
 public:
  SilentBus() {
    char dir[] = "/tmp/vantrel-silent-bus-XXXXXX";
    folder_ = mkdtemp(dir);
    path_ = folder_ / "bus";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 8) != 0) {
      ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
    }
    if (pipe(stop_) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
    thread_ = std::thread([this] { run(); });
  }
  ~SilentBus() {
    (void)!write(stop_[1], "x", 1);
    thread_.join();
    for (int fd : accepted_) close(fd);
    close(listener_);
    close(stop_[0]);
    close(stop_[1]);
    std::filesystem::remove_all(folder_);
  }
  SilentBus(const SilentBus&) = delete;
  SilentBus& operator=(const SilentBus&) = delete;

  std::string address() const { return "unix:path=" + path_.string(); }

 private:
  void run() {
    for (;;) {
      pollfd fds[] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) accepted_.push_back(fd);  // held open, never read or answered
    }
  }

  std::filesystem::path folder_;
  std::filesystem::path path_;
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::vector<int> accepted_;
  std::thread thread_;
};

// Far beyond the short limit, well below sd-bus's own 25 s: only a question without a limit of
// its own reaches it.
constexpr auto hangBound = std::chrono::seconds(15);

TEST(UserBus, AQuestionToABusThatNeverAnswersGivesUpWithinItsLimit) {
  SilentBus bus;
  SessionBusAddress pointed(bus.address());
  auto asked =
      std::async(std::launch::async, [] { return BusCall::userBusHasName(MutterScreenCastService::name); });
  ASSERT_EQ(asked.wait_for(hangBound), std::future_status::ready) << "the question to a silent bus hung";
  EXPECT_FALSE(asked.get());
}

TEST(UserBus, AConnectionForOneCallReportsTheTimeOutOfTheHandshake) {
  SilentBus bus;
  SessionBusAddress pointed(bus.address());
  auto opened = std::async(std::launch::async, [] {
    int error = 0;
    sd_bus* connection = BusCall::openUserBusForOneCall(&error);
    if (connection) sd_bus_close_unref(connection);
    return std::make_pair(connection != nullptr, error);
  });
  ASSERT_EQ(opened.wait_for(hangBound), std::future_status::ready) << "opening a silent bus hung";
  const auto [connected, error] = opened.get();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, -ETIMEDOUT);
}

TEST(UserBus, WithoutABusTheQuestionFailsWithTheSocketsError) {
  SessionBusAddress pointed("unix:path=/nonexistent/vantrel/bus");
  int error = 0;
  EXPECT_EQ(BusCall::openUserBusForOneCall(&error), nullptr);
  EXPECT_EQ(error, -ENOENT);
  EXPECT_FALSE(BusCall::userBusHasName(MutterScreenCastService::name));
}

}  // namespace
}  // namespace vantrel
