#pragma once

// Keeps the desktop clipboard and the managers' clipboards in step. Outward, it compares the
// clipboard's change count every 0.3 s and, after the user copied something, sends it to every
// session in its list: files first, else an image as PNG, else text. Inward, `applyRemote` writes
// what a manager sent and records the change it caused, so the value is never sent back.
//
// The bridge lives on the main executor: construct it, call every operation and destroy it there.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Protocol/LegacyClipboardCodec.hpp"
#include "Support/Async.hpp"
#include "Support/Bytes.hpp"

namespace vantrel {

class DirectAuthClient;
class Pasteboard;

// What the bridge needs of one manager session: the clipboard sends (each without effect unless
// the session is authenticated; a failure is thrown) and the failure report.
class LocalClipboardSending {
 public:
  virtual ~LocalClipboardSending() = default;
  virtual Awaitable<void> sendLocalClipboardText(std::string text) = 0;
  virtual Awaitable<void> sendLocalClipboardImagePNG(Bytes png) = 0;
  virtual Awaitable<void> notifyLocalClipboardFiles(std::vector<std::string> urls) = 0;
  virtual Awaitable<void> reportClipboardBridgeFailure(std::string detail) = 0;
};

// A manager session as a clipboard destination.
std::shared_ptr<LocalClipboardSending> makeLocalClipboardSender(std::shared_ptr<DirectAuthClient> client);

// The operations the status model uses.
class ClipboardBridging {
 public:
  virtual ~ClipboardBridging() = default;
  // Starts the poll unless it runs; what is on the clipboard at that moment is not sent.
  virtual void start() = 0;
  // Stops the poll; a later `start()` resumes from the then-current content.
  virtual void stop() = 0;
  // Replaces the sessions that receive local copies (the primary first).
  virtual void setAuthClients(std::vector<std::shared_ptr<LocalClipboardSending>> clients) = 0;
  // Writes a manager's clipboard value to the desktop clipboard without sending it back.
  virtual void applyRemote(const LegacyClipboardValue& value) = 0;
};

class MacClipboardBridge final : public ClipboardBridging,
                                 public std::enable_shared_from_this<MacClipboardBridge> {
 public:
  static constexpr std::chrono::milliseconds pollInterval{300};

  // The content already on the clipboard counts as seen.
  static std::shared_ptr<MacClipboardBridge> create(
      Executor mainExecutor, std::shared_ptr<Pasteboard> pasteboard,
      std::vector<std::shared_ptr<LocalClipboardSending>> authClients);
  ~MacClipboardBridge() override;
  MacClipboardBridge(const MacClipboardBridge&) = delete;
  MacClipboardBridge& operator=(const MacClipboardBridge&) = delete;

  void start() override;
  void stop() override;
  void setAuthClients(std::vector<std::shared_ptr<LocalClipboardSending>> clients) override;
  void applyRemote(const LegacyClipboardValue& value) override;

  // The folder for files a manager pastes: the XDG Downloads folder (user-dirs.dirs), else home.
  // Needs no main-thread state, so a session may call it on its own executor.
  static std::string currentPasteDestination();

  // One check of the clipboard: what every tick of the poll does.
  void poll();

  bool isRunning() const noexcept { return timer_ != nullptr; }
  long long observedChangeCount() const noexcept { return observedChangeCount_; }

 private:
  MacClipboardBridge(Executor mainExecutor, std::shared_ptr<Pasteboard> pasteboard,
                     std::vector<std::shared_ptr<LocalClipboardSending>> authClients);

  using Operation = std::function<Awaitable<void>(std::shared_ptr<LocalClipboardSending>)>;
  void broadcast(Operation operation);
  static Awaitable<void> pollLoop(std::weak_ptr<MacClipboardBridge> weak, std::shared_ptr<Timer> timer,
                                  VantrelClock::time_point next);

  Executor executor_;
  std::shared_ptr<Pasteboard> pasteboard_;
  std::vector<std::shared_ptr<LocalClipboardSending>> authClients_;
  std::shared_ptr<Timer> timer_;
  long long observedChangeCount_ = 0;
  // Set by `applyRemote`: the pasteboard then holds a manager's value, which is never sent back.
  bool remoteValueWritten_ = false;
};

}  // namespace vantrel
