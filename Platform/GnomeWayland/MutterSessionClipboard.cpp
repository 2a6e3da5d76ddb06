#include "Platform/GnomeWayland/MutterSessionClipboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/GnomeWayland/MutterBus.hpp"
#include "Support/SystemLog.hpp"

namespace vantrel {
namespace {

const SystemLog& clipboardLog() {
  static const SystemLog log("local.vantrel.VantrelMac", "remote-desktop");
  return log;
}

// A clipboard owner names a handful of formats; a longer list is cut, an absurd name skipped.
constexpr std::size_t maximumMimeTypes = 64;
constexpr std::size_t maximumMimeTypeLength = 255;

// Writes all of `data` to a pipe before `deadline`; false when the reader went away or was too
// slow.
bool writeAll(int fd, const Bytes& data, std::chrono::steady_clock::time_point deadline) {
  std::size_t done = 0;
  while (done < data.size()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const auto n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the mime-types list of SelectionOwnerChanged: "as", or (as mutter 43 sends it) an "as"
// inside a struct.
std::optional<std::vector<std::string>> readMimeTypes(sd_bus_message* m) {
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, nullptr, &contents) < 0 || !contents) return std::nullopt;
  const std::string type(contents);
  if (type != "as" && type != "(as)") return std::nullopt;
  if (sd_bus_message_enter_container(m, 'v', contents) <= 0) return std::nullopt;
  const bool wrapped = type == "(as)";
  if (wrapped && sd_bus_message_enter_container(m, 'r', "as") <= 0) return std::nullopt;
  if (sd_bus_message_enter_container(m, 'a', "s") <= 0) return std::nullopt;
  std::vector<std::string> types;
  const char* name = nullptr;
  int r = 0;
  while ((r = sd_bus_message_read_basic(m, 's', &name)) > 0) {
    const std::string_view view(name);
    if (types.size() < maximumMimeTypes && !view.empty() && view.size() <= maximumMimeTypeLength) {
      types.emplace_back(view);
    }
  }
  if (r < 0 || sd_bus_message_exit_container(m) < 0) return std::nullopt;
  if (wrapped && sd_bus_message_exit_container(m) < 0) return std::nullopt;
  if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
  return types;
}

}  // namespace

MutterSessionClipboard::MutterSessionClipboard(Session& session) : session_(session) {}

MutterSessionClipboard::~MutterSessionClipboard() { reapTransfers(true); }

MutterSelection MutterSessionClipboard::selection() const {
  std::lock_guard lock(mutex_);
  return selection_;
}

void MutterSessionClipboard::keepOffer(std::vector<std::pair<std::string, Bytes>> content) {
  std::lock_guard lock(mutex_);
  offered_ = std::move(content);
}

void MutterSessionClipboard::enable() {
  if (enabled_ || session_.sessionPath().empty()) return;
  BusCall call;
  const int r = sd_bus_call_method(
      session_.bus(), MutterRemoteDesktopService::name, session_.sessionPath().c_str(),
      MutterRemoteDesktopService::sessionInterface, "EnableClipboard", &call.error, nullptr, "a{sv}", 0);
  if (r < 0) {
    clipboardLog().error("VantrelMac remote desktop: EnableClipboard failed ({})",
                         BusCall::describe(r, call.error));
    return;
  }
  enabled_ = true;
}

UniqueFd MutterSessionClipboard::read(const std::string& mime) {
  enable();
  BusCall call;
  int r = sd_bus_call_method(session_.bus(), MutterRemoteDesktopService::name, session_.sessionPath().c_str(),
                             MutterRemoteDesktopService::sessionInterface, "SelectionRead", &call.error,
                             &call.reply, "s", mime.c_str());
  int fd = -1;
  if (r >= 0) r = sd_bus_message_read_basic(call.reply, 'h', &fd);
  if (r < 0 || fd < 0) {
    clipboardLog().notice("VantrelMac remote desktop: the clipboard could not be read as {} ({})", mime,
                          BusCall::describe(r, call.error));
    session_.callFailed(r);
    return {};
  }
  // The descriptor belongs to the reply; ours outlives it.
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

bool MutterSessionClipboard::offer(const std::vector<std::string>& types) {
  enable();
  if (!enabled_) return false;
  BusCall call;
  sd_bus_message* request = nullptr;
  int r = sd_bus_message_new_method_call(session_.bus(), &request, MutterRemoteDesktopService::name,
                                         session_.sessionPath().c_str(),
                                         MutterRemoteDesktopService::sessionInterface, "SetSelection");
  if (r >= 0) r = sd_bus_message_open_container(request, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_open_container(request, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append_basic(request, 's', "mime-types");
  if (r >= 0) r = sd_bus_message_open_container(request, 'v', "as");
  if (r >= 0) r = sd_bus_message_open_container(request, 'a', "s");
  for (const auto& type : types) {
    if (r >= 0) r = sd_bus_message_append_basic(request, 's', type.c_str());
  }
  for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(request);
  if (r >= 0) r = sd_bus_call(session_.bus(), request, 0, &call.error, nullptr);
  sd_bus_message_unref(request);
  if (r < 0) {
    clipboardLog().error("VantrelMac remote desktop: SetSelection failed ({})",
                         BusCall::describe(r, call.error));
    session_.callFailed(r);
    return false;
  }
  std::lock_guard lock(mutex_);
  selection_.ownedBySession = true;
  return true;
}

void MutterSessionClipboard::sessionEnded() {
  enabled_ = false;
  std::lock_guard lock(mutex_);
  selection_.ownedBySession = false;
  selection_.mimeTypes.clear();
}

// A reader wants our clipboard content in `mime`: the bus thread only asks for the reader's pipe;
// a thread of the transfer's own writes to it and the bus thread then says how it went.
void MutterSessionClipboard::answerTransfer(const std::string& mime, std::uint32_t serial) {
  if (!session_.bus() || session_.sessionPath().empty()) return;
  reapTransfers(false);
  std::optional<Bytes> data;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [type, bytes] : offered_) {
      if (type == mime) data = bytes;
    }
  }
  const std::string session = session_.sessionPath();
  if (!data || transfers_.size() >= maximumTransfers) return finishTransfer(session, serial, false);
  BusCall call;
  int r = sd_bus_call_method(session_.bus(), MutterRemoteDesktopService::name, session.c_str(),
                             MutterRemoteDesktopService::sessionInterface, "SelectionWrite", &call.error,
                             &call.reply, "u", serial);
  int fd = -1;
  if (r >= 0) r = sd_bus_message_read_basic(call.reply, 'h', &fd);
  UniqueFd out(r >= 0 && fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 3) : -1);
  if (!out) {
    clipboardLog().notice("VantrelMac remote desktop: SelectionWrite failed ({})",
                          BusCall::describe(r, call.error));
    return finishTransfer(session, serial, false);
  }
  ::fcntl(out.get(), F_SETFL, ::fcntl(out.get(), F_GETFL) | O_NONBLOCK);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread writer(
      [this, session, serial, finished, out = std::move(out), bytes = std::move(*data)]() mutable {
        const bool written = writeAll(out.get(), bytes, std::chrono::steady_clock::now() + transferLimit);
        out = UniqueFd();
        session_.post([this, session, serial, written] { finishTransfer(session, serial, written); });
        finished->store(true);
      });
  transfers_.push_back(Transfer{std::move(writer), std::move(finished)});
}

void MutterSessionClipboard::finishTransfer(const std::string& session, std::uint32_t serial, bool written) {
  if (!session_.bus() || session != session_.sessionPath()) return;
  (void)sd_bus_call_method(session_.bus(), MutterRemoteDesktopService::name, session.c_str(),
                           MutterRemoteDesktopService::sessionInterface, "SelectionWriteDone", nullptr,
                           nullptr, "ub", serial, static_cast<int>(written));
}

void MutterSessionClipboard::reapTransfers(bool all) {
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (all || it->finished->load()) {
      if (it->writer.joinable()) it->writer.join();
      it = transfers_.erase(it);
    } else {
      ++it;
    }
  }
}

int MutterSessionClipboard::onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterSessionClipboard*>(data);
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return 0;
  std::optional<std::vector<std::string>> types;
  std::optional<bool> sessionIsOwner;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read_basic(m, 's', &key) < 0 || !key) return 0;
    const std::string_view name(key);
    if (name == "mime-types") {
      types = readMimeTypes(m);
      if (!types) return 0;
    } else if (name == "session-is-owner") {
      int owner = 0;
      if (sd_bus_message_read(m, "v", "b", &owner) < 0) return 0;
      sessionIsOwner = owner != 0;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(m) < 0) return 0;
  }
  std::lock_guard lock(self->mutex_);
  if (sessionIsOwner.value_or(false)) {
    self->selection_.ownedBySession = true;
    return 0;
  }
  ++self->selection_.generation;
  self->selection_.ownedBySession = false;
  self->selection_.mimeTypes = types.value_or(std::vector<std::string>{});
  return 0;
}

int MutterSessionClipboard::onTransfer(sd_bus_message* m, void* data, sd_bus_error*) {
  auto* self = static_cast<MutterSessionClipboard*>(data);
  const char* mime = nullptr;
  std::uint32_t serial = 0;
  if (sd_bus_message_read(m, "su", &mime, &serial) < 0 || !mime) return 0;
  self->session_.defer([self, type = std::string(mime), serial] { self->answerTransfer(type, serial); });
  return 0;
}

}  // namespace vantrel
