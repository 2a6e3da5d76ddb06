#pragma once

// Scripted collaborators of the status model: sessions whose attempts succeed, fail or hang until
// released or cancelled; a login service whose answers the test gives; stores, monitors and a
// clipboard bridge that record what the model asks of them. Everything runs on the test's
// io_context; time moves only with the manual clock.

#include <asio/io_context.hpp>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Model/Status/StatusWindowViewModel.hpp"
#include "Support/Clock.hpp"
#include "support/AsyncTest.hpp"

namespace vantrel::testing {

// A wait that the test ends (with a value or an error) or the awaiting task cancels.
class Pending {
 public:
  explicit Pending(Executor executor) : timer_(std::move(executor)) {
    timer_.expires_at(VantrelClock::time_point::max());
  }
  void release(std::exception_ptr error = nullptr) {
    released_ = true;
    error_ = error;
    timer_.cancel();
  }
  bool released() const noexcept { return released_; }
  // Returns when released (rethrowing its error); throws `cancelled` when the waiter is cancelled.
  static Awaitable<void> wait(std::shared_ptr<Pending> pending, std::exception_ptr onCancel);

 private:
  Timer timer_;
  bool released_ = false;
  std::exception_ptr error_;
};

class FakeManagerClient final : public ManagerSessionClient {
 public:
  enum class Outcome { accept, reject, timeout, hang };

  explicit FakeManagerClient(Executor executor, std::string name = "primary")
      : executor_(std::move(executor)), name_(std::move(name)) {}

  // Scripting. Attempts take outcomes from the per-host queue, else the default.
  void script(const std::string& host, std::vector<Outcome> outcomes);
  void setDefaultOutcome(Outcome outcome) { defaultOutcome_ = outcome; }
  // Ends the oldest hanging attempt: accepted or with the given outcome.
  void releaseHang(Outcome outcome = Outcome::accept);
  std::size_t hangingCount() const { return hangs_.size(); }
  // The manager drops an authenticated session: the state becomes failed and an error event goes
  // out.
  void dropConnection(const std::string& errorText = "Connection reset by manager");
  void emit(DirectAuthEvent event);
  // Sent, in order, the way the real client sends its own: when an attempt fails, and at the end
  // of every disconnect.
  std::vector<DirectAuthEvent> eventsOnFailure;
  std::vector<DirectAuthEvent> eventsOnDisconnect;
  // While set, every disconnect waits for it to be released before it ends.
  std::shared_ptr<Pending> holdDisconnects;
  void sendClipboard(const LegacyClipboardValue& value);
  // The handler setters wait until released (one by one, in call order).
  void holdSetters(bool hold) { holdSetters_ = hold; }
  void releaseSetters();
  void setStateDirectly(DirectAuthState state) { state_ = state; }

  // Observation.
  std::vector<DirectAuthConfiguration> attempts;
  int disconnects = 0;
  int inFlight = 0;
  int maxInFlight = 0;
  int notIdleRefusals = 0;
  // Attempts made before the event handler was installed.
  int attemptsWithoutHandlers = 0;
  std::vector<std::shared_ptr<AIAccountLoginContext>> contexts;
  bool hasEventHandler() const { return static_cast<bool>(eventHandler_); }
  bool hasClipboardHandler() const { return static_cast<bool>(clipboardHandler_); }
  bool hasPasteProvider() const { return static_cast<bool>(pasteProvider_); }
  DirectAuthState state() const { return state_; }
  const std::string& name() const { return name_; }

  // ManagerSessionClient
  Awaitable<void> connectAndAuthenticate(DirectAuthConfiguration configuration) override;
  Awaitable<void> disconnect() override;
  Awaitable<DirectAuthState> currentState() override;
  Awaitable<std::optional<DirectAuthError>> currentLastError() override;
  Awaitable<void> setAIAccountContext(std::shared_ptr<AIAccountLoginContext> context) override;
  Awaitable<void> setEventHandler(Executor receiver, EventHandler handler) override;
  Awaitable<void> setClipboardHandler(Executor receiver, ClipboardHandler handler) override;
  Awaitable<void> setPasteDestinationProvider(Executor receiver, PasteDestinationProvider provider) override;
  Awaitable<void> sendLocalClipboardText(std::string text) override;
  Awaitable<void> sendLocalClipboardImagePNG(Bytes png) override;
  Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) override;
  Awaitable<void> reportClipboardBridgeFailure(std::string detail) override;

  PasteDestinationProvider pasteProvider_;

 private:
  static Awaitable<void> connectBody(FakeManagerClient* self, Outcome outcome, int refusal,
                                     std::uint64_t generation);
  void forgetHang(const std::shared_ptr<Pending>& pending);
  std::exception_ptr finishAttempt(Outcome outcome, std::uint64_t generation, std::exception_ptr failure);
  Awaitable<void> setterGate();
  void fail(DirectAuthError error);

  Executor executor_;
  std::string name_;
  DirectAuthState state_ = DirectAuthState::idle;
  std::optional<DirectAuthError> lastError_;
  std::map<std::string, std::deque<Outcome>> scripts_;
  Outcome defaultOutcome_ = Outcome::accept;
  std::deque<std::pair<std::shared_ptr<Pending>, std::shared_ptr<Outcome>>> hangs_;
  bool holdSetters_ = false;
  std::deque<std::shared_ptr<Pending>> heldSetters_;
  Executor eventReceiver_;
  EventHandler eventHandler_;
  Executor clipboardReceiver_;
  ClipboardHandler clipboardHandler_;
  std::uint64_t attemptGeneration_ = 0;
};

class FakeClientFactory final : public ManagerClientFactory {
 public:
  explicit FakeClientFactory(Executor executor) : executor_(executor) {
    primary = std::make_shared<FakeManagerClient>(executor, "primary");
  }
  std::shared_ptr<ManagerSessionClient> makePrimary() override { return primary; }
  std::shared_ptr<ManagerSessionClient> makeSecondary(
      std::shared_ptr<AIAccountLoginContext> context) override;

  // How secondaries made from now on answer, and whether their handler setters wait.
  FakeManagerClient::Outcome secondaryOutcome = FakeManagerClient::Outcome::accept;
  bool holdSecondarySetters = false;
  // Outcomes of the next secondaries, one each, before `secondaryOutcome` applies.
  std::deque<FakeManagerClient::Outcome> secondaryOutcomeQueue;
  std::shared_ptr<FakeManagerClient> primary;
  std::vector<std::shared_ptr<FakeManagerClient>> secondaries;
  std::vector<std::shared_ptr<AIAccountLoginContext>> secondaryContexts;
  // Secondaries whose state is authenticated or connecting (a session that still uses the manager).
  int liveSecondaries() const;

 private:
  Executor executor_;
};

class FakeLoginService final : public AccountLoginServicing {
 public:
  explicit FakeLoginService(Executor executor) : executor_(std::move(executor)) {}
  Awaitable<AccountLoginResult> login(AccountLoginRequest request) override;

  // Answers the oldest waiting login.
  void respond(AccountLoginResult result);
  void fail(std::exception_ptr error);
  std::size_t waiting() const;
  std::vector<AccountLoginRequest> requests;

 private:
  static Awaitable<AccountLoginResult> body(FakeLoginService* self, std::shared_ptr<Pending> pending,
                                            std::shared_ptr<std::optional<AccountLoginResult>> slot);
  Executor executor_;
  std::deque<std::pair<std::shared_ptr<Pending>, std::shared_ptr<std::optional<AccountLoginResult>>>>
      pending_;
};

class FakeCredentialStore final : public AccountCredentialStoring {
 public:
  explicit FakeCredentialStore(Executor executor) : executor_(std::move(executor)) {}
  Awaitable<std::optional<std::string>> passwordAsync(std::string account) override;
  Awaitable<void> saveAsync(std::string password, std::string account) override;
  Awaitable<void> deletePasswordAsync(std::string account) override;

  // While held, operations wait until released (oldest first).
  void hold(bool held) { held_ = held; }
  void releaseOne();
  std::size_t heldCount() const { return held_ops_.size(); }
  std::map<std::string, std::string> passwords;
  std::optional<std::exception_ptr> readError;
  // Thrown by the next saves (a full disk, a damaged store).
  std::optional<std::exception_ptr> saveError;
  // "save <account> <password>", "delete <account>", "read <account>" in completion order.
  std::vector<std::string> log;

 private:
  Awaitable<void> gate();
  Executor executor_;
  bool held_ = false;
  std::deque<std::shared_ptr<Pending>> held_ops_;
};

class FakePermissions final : public PermissionProviding {
 public:
  PermissionSnapshot snapshot() override {
    ++snapshots;
    return current;
  }
  bool requestScreenRecordingAccess() override {
    ++screenRequests;
    return current.screenRecordingGranted;
  }
  void openScreenRecordingSettings() override { ++opens; }
  void openAccessibilitySettings() override { ++opens; }
  std::optional<std::string> unavailableReason() override { return unavailable; }
  PermissionSnapshot current{true, true};
  std::optional<std::string> unavailable;
  int snapshots = 0;
  int screenRequests = 0;
  int opens = 0;
};

class FakeCapture final : public ScreenCaptureProviding {
 public:
  explicit FakeCapture(Executor executor) : executor_(std::move(executor)) {}
  Awaitable<std::vector<DisplayInfo>> enumerateDisplays() override;
  std::vector<DisplayInfo> displays;
  std::exception_ptr error;
  // While set, enumerations wait until released.
  bool holdNext = false;
  std::deque<std::shared_ptr<Pending>> held;
  int calls = 0;

 private:
  Executor executor_;
};

class FakeInput final : public InputInjecting {
 public:
  bool isAccessibilityTrusted() const override { return true; }
  void requestAccessibilityAccess() const override { ++requests; }
  mutable int requests = 0;
};

class FakeBridge final : public ClipboardBridging {
 public:
  void start() override { ++starts; }
  void stop() override { ++stops; }
  void setAuthClients(std::vector<std::shared_ptr<LocalClipboardSending>> clients) override {
    this->clients = std::move(clients);
  }
  void applyRemote(const LegacyClipboardValue& value) override { applied.push_back(value); }
  int starts = 0;
  int stops = 0;
  std::vector<std::shared_ptr<LocalClipboardSending>> clients;
  std::vector<LegacyClipboardValue> applied;
};

class FakePasteboard final : public Pasteboard {
 public:
  long long changeCount() const override { return count; }
  std::vector<std::string> fileURLs() override { return {}; }
  std::optional<Bytes> pngData() override { return std::nullopt; }
  std::optional<Bytes> otherImageAsPNG() override { return std::nullopt; }
  std::optional<std::string> text() override { return content; }
  bool decodesAsImage(ByteView) const override { return false; }
  void clear() override {
    content.reset();
    ++count;
  }
  void writeText(const std::string& text) override {
    content = text;
    ++count;
  }
  void writePNG(const Bytes&) override { ++count; }
  bool holdsLastWrite() const override { return true; }
  std::optional<std::string> content;
  long long count = 0;
};

class FakeRecoveryMonitor final : public ConnectionRecoveryMonitoring {
 public:
  void start(Callback callback) override { this->callback = std::move(callback); }
  void stop() override {
    callback = nullptr;
    ++stops;
  }
  void fire(const std::string& reason) {
    if (callback) callback(reason);
  }
  Callback callback;
  int stops = 0;
};

class FakeDisplaySleep final : public DisplaySleepPreventing {
 public:
  bool start() override {
    ++starts;
    held = result;
    return result;
  }
  void stop() override {
    ++stops;
    held = false;
  }
  bool result = true;
  bool held = false;
  int starts = 0;
  int stops = 0;
};

class FakeHost final : public HostInformation {
 public:
  std::optional<std::string> localizedName() const override { return name; }
  std::vector<std::string> addresses() const override { return list; }
  std::optional<std::string> name = std::string("Test Host");
  std::vector<std::string> list;
};

// The model with every collaborator a fake, on one io_context and a manual clock.
class StatusModelHarness {
 public:
  StatusModelHarness();
  ~StatusModelHarness();

  // Every fake, the manual wall clock and the arguments, as the model is given them.
  StatusEnvironment environment();
  std::shared_ptr<StatusWindowViewModel> make();
  // Calls into the model as its main executor does (its entry points check that in debug builds).
  void onMain(const std::function<void()>& call) { runOnLoop(io, call); }
  // Runs ready work (several rounds, so that chains of hops settle).
  void settle();
  // Moves the manual clock in steps and runs what becomes due.
  void advance(std::chrono::milliseconds by, std::chrono::milliseconds step = std::chrono::milliseconds(100));
  std::vector<std::string> logTexts() const;
  bool logged(const std::string& text) const;
  std::size_t countLogged(const std::string& text) const;
  // Lines that begin with the prefix, in order.
  std::vector<std::string> logLines(const std::string& prefix) const;

  static AccountManagerRoute route(int index, std::string inside, std::string publicHost = "",
                                   std::uint16_t port = 65333);
  static AccountLoginResult result(int slot, std::vector<AccountManagerRoute> routes,
                                   std::string account = "acct");

  ManualClock clock;
  asio::io_context io;
  std::shared_ptr<FakeClientFactory> clients;
  std::shared_ptr<FakeLoginService> login;
  std::shared_ptr<FakeCredentialStore> credentials;
  std::shared_ptr<FakePermissions> permissions;
  std::shared_ptr<FakeCapture> capture;
  std::shared_ptr<FakeInput> input;
  std::shared_ptr<FakeBridge> bridge;
  std::shared_ptr<FakePasteboard> pasteboard;
  std::shared_ptr<FakeDisplaySleep> displaySleep;
  std::shared_ptr<FakeHost> host;
  std::shared_ptr<InMemoryUserDefaults> defaults;
  std::vector<std::shared_ptr<FakeRecoveryMonitor>> monitors;
  std::vector<std::string> arguments{"VantrelMac"};
  std::shared_ptr<StatusWindowViewModel> model;
  FakeManagerClient& primary() { return *clients->primary; }
};

}  // namespace vantrel::testing
