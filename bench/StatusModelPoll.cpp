// The status model's connection-state poll with one primary and eight secondary managers, all
// authenticated, over in-memory sessions (no network): the main thread's CPU time of one 0.5 s
// pass (manual clock), and the model's idle CPU share with its polls running in real time.
//
//   bench_StatusModelPoll [seconds of the idle run, default 10]

#include <fmt/format.h>
#include <asio/io_context.hpp>

#include <ctime>

#include "Model/Status/StatusWindowViewModel.hpp"

using namespace vantrel;
using namespace std::chrono_literals;

namespace {

double threadCPUSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class BenchClient final : public ManagerSessionClient {
 public:
  Awaitable<void> connectAndAuthenticate(DirectAuthConfiguration) override {
    state_ = DirectAuthState::authenticated;
    co_return;
  }
  Awaitable<void> disconnect() override {
    state_ = DirectAuthState::disconnected;
    co_return;
  }
  Awaitable<DirectAuthState> currentState() override { co_return state_; }
  Awaitable<std::optional<DirectAuthError>> currentLastError() override { co_return std::nullopt; }
  Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext>) override { co_return; }
  Awaitable<void> setEventHandler(Executor, EventHandler) override { co_return; }
  Awaitable<void> setClipboardHandler(Executor, ClipboardHandler) override { co_return; }
  Awaitable<void> setPasteDestinationProvider(Executor, PasteDestinationProvider) override { co_return; }
  Awaitable<void> sendLocalClipboardText(std::string) override { co_return; }
  Awaitable<void> sendLocalClipboardImagePNG(Bytes) override { co_return; }
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string>) override { co_return; }
  Awaitable<void> reportClipboardBridgeFailure(std::string) override { co_return; }

 private:
  DirectAuthState state_ = DirectAuthState::idle;
};

class BenchFactory final : public ManagerClientFactory {
 public:
  std::shared_ptr<ManagerSessionClient> makePrimary() override { return std::make_shared<BenchClient>(); }
  std::shared_ptr<ManagerSessionClient> makeSecondary(std::shared_ptr<AIAccountLoginContext>) override {
    return std::make_shared<BenchClient>();
  }
};

class BenchLogin final : public AccountLoginServicing {
 public:
  Awaitable<AccountLoginResult> login(AccountLoginRequest) override {
    AccountLoginResult result{5, "bench", {}, ""};
    for (int index = 1; index <= 9; ++index) {
      result.routes.push_back(AccountManagerRoute{index, fmt::format("10.0.0.{}", index), "", 65333});
    }
    co_return result;
  }
};

class BenchCredentials final : public AccountCredentialStoring {
 public:
  Awaitable<std::optional<std::string>> passwordAsync(std::string) override { co_return std::nullopt; }
  Awaitable<void> saveAsync(std::string, std::string) override { co_return; }
  Awaitable<void> deletePasswordAsync(std::string) override { co_return; }
};

class BenchPermissions final : public PermissionProviding {
 public:
  PermissionSnapshot snapshot() override { return {true, true}; }
  bool requestScreenRecordingAccess() override { return true; }
  void openScreenRecordingSettings() override {}
  void openAccessibilitySettings() override {}
};

std::shared_ptr<StatusWindowViewModel> signedInModel(asio::io_context& io) {
  StatusEnvironment environment;
  environment.mainExecutor = io.get_executor();
  environment.clients = std::make_shared<BenchFactory>();
  environment.loginService = std::make_shared<BenchLogin>();
  environment.credentialStore = std::make_shared<BenchCredentials>();
  environment.permissions = std::make_shared<BenchPermissions>();
  environment.defaults = std::make_shared<InMemoryUserDefaults>();
  environment.arguments = {"bench"};
  auto model = StatusWindowViewModel::create(std::move(environment));
  model->start();
  model->setText(StatusFormField::accountID, "bench");
  model->setText(StatusFormField::accountPassword, "pw");
  model->loginAndConnect();
  for (int i = 0; i < 50; ++i) io.poll();
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  constexpr int passes = 400;
  {
    // One pass: the manual clock moves 0.5 s, the loop runs until the label is published again.
    ManualClock clock;
    asio::io_context io;
    auto model = signedInModel(io);
    int published = 0;
    // Each poll pass publishes the label once.
    auto subscription = model->subscribe([&] { ++published; });
    double cpu = 0;
    for (int pass = 0; pass < passes; ++pass) {
      const int before = published;
      clock.advance(500ms);
      double spent = 0;
      while (published == before) {
        const double start = threadCPUSeconds();
        io.run_one_for(5ms);
        spent += threadCPUSeconds() - start;
        if (io.stopped()) io.restart();
      }
      cpu += spent;
    }
    fmt::print("poll pass, 1 primary + {} secondaries (label \"{}\"): {:.1f} us CPU per pass (mean of {})\n",
               model->secondaries().indices().size(), model->state().managerConnectionsLabel,
               cpu / passes * 1e6, passes);
  }
  {
    // Idle: the real clock; the state poll (0.5 s), the permission poll (2 s) and eight
    // secondary supervisions (1 s each) run.
    asio::io_context io;
    auto model = signedInModel(io);
    int published = 0;
    // Each poll pass publishes the label once.
    auto subscription = model->subscribe([&] { ++published; });
    const double cpuStart = threadCPUSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    io.run_for(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(idleSeconds)));
    const double cpu = threadCPUSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    fmt::print(
        "idle model with polls running: {:.3f} % of one core ({:.2f} ms CPU in {:.1f} s, {} poll passes, "
        "label \"{}\")\n",
        cpu / wall * 100, cpu * 1e3, wall, published, model->state().managerConnectionsLabel);
  }
  return 0;
}
