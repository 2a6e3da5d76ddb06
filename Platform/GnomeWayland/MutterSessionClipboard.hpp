#pragma once

// The clipboard of a remote-desktop session (MutterRemoteDesktop): what the compositor says of
// the clipboard's owner, reads from that owner, our own offers, and the transfers of our offers
// to the programs that paste them. A transfer is written on a thread of its own, never on the bus
// thread, so that a reader that is slow or never reads holds up no input and no other call.

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Support/Bytes.hpp"
#include "Support/UniqueFd.hpp"

namespace vantrel {

// The clipboard as the session last saw it.
struct MutterSelection {
  // Moves each time another program takes the clipboard.
  long long generation = 0;
  // True while the clipboard holds what this session offered last.
  bool ownedBySession = false;
  // What the current owner offers (empty when unknown or owned by this session).
  std::vector<std::string> mimeTypes;
};

class MutterSessionClipboard {
 public:
  // What the clipboard needs of the session that owns it; called on the bus thread.
  class Session {
   public:
    virtual ~Session() = default;
    virtual sd_bus* bus() = 0;
    virtual const std::string& sessionPath() const = 0;
    // Runs `work` on the bus thread (from any thread).
    virtual void post(std::function<void()> work) = 0;
    // Runs `work` once sd-bus has returned (from a signal handler).
    virtual void defer(std::function<void()> work) = 0;
    // A call failed with `r`: the owner drops the connection when `r` says it is gone.
    virtual void callFailed(int r) = 0;
  };

  // Writing our content to one reader takes at most this long.
  static constexpr auto transferLimit = std::chrono::milliseconds(1000);
  // Transfers written at once; a further one is refused at once.
  static constexpr std::size_t maximumTransfers = 8;

  explicit MutterSessionClipboard(Session& session);
  // Waits for the transfers still being written (each ends within `transferLimit`).
  ~MutterSessionClipboard();
  MutterSessionClipboard(const MutterSessionClipboard&) = delete;
  MutterSessionClipboard& operator=(const MutterSessionClipboard&) = delete;

  // ---- any thread ----
  MutterSelection selection() const;
  // Keeps what later transfers hand out.
  void keepOffer(std::vector<std::pair<std::string, Bytes>> content);

  // ---- the bus thread ----
  // EnableClipboard on the current session, once per session.
  void enable();
  UniqueFd read(const std::string& mime);
  bool offer(const std::vector<std::string>& types);
  // The session ended: the clipboard is nobody's we know.
  void sessionEnded();

  // Signal handlers (inside sd_bus_process: they only record or defer).
  static int onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error* error);
  static int onTransfer(sd_bus_message* m, void* data, sd_bus_error* error);

 private:
  void answerTransfer(const std::string& mime, std::uint32_t serial);
  void finishTransfer(const std::string& session, std::uint32_t serial, bool written);
  void reapTransfers(bool all);

  Session& session_;

  // Shared (mutex_).
  mutable std::mutex mutex_;
  MutterSelection selection_;
  std::vector<std::pair<std::string, Bytes>> offered_;

  // The bus thread only.
  bool enabled_ = false;
  struct Transfer {
    std::thread writer;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  std::list<Transfer> transfers_;
};

}  // namespace vantrel
