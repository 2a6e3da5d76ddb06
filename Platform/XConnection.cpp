#include "Platform/XConnection.hpp"

#include <X11/Xlib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "Support/SystemLog.hpp"

namespace vantrel {

void XDisplayCloser::operator()(_XDisplay* display) const noexcept {
  if (display) XCloseDisplay(display);
}

namespace XConnection {
namespace {

// Xlib reports a protocol error on the thread that made the failing call.
thread_local int lastErrorCode = 0;

int recordError(Display*, XErrorEvent* event) {
  lastErrorCode = event->error_code;
  return 0;
}

// Xlib calls the process-wide I/O error handler before the connection's own exit handler, and
// the stock one ends the process. This one only returns, so each connection's exit handler
// decides.
int returnFromIOError(Display* display) {
  static const SystemLog log("local.vantrel.VantrelMac", "display");
  log.error("X server connection lost: {}", display ? DisplayString(display) : "");
  return 0;
}

void markLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

// The stock exit handler ends the process. A connection opened here fails its calls instead
// and is closed by its owner, on the thread that noticed the loss, as every caller here does.
void returnFromLoss(Display*, void*) {}

XDisplayHandle owned(Display* display) {
  if (display) XSetIOErrorExitHandler(display, returnFromLoss, nullptr);
  return XDisplayHandle(display);
}

void installErrorHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XSetErrorHandler(recordError);
    XSetIOErrorHandler(returnFromIOError);
  });
}

}  // namespace

XDisplayHandle open(const std::optional<std::string>& displayName) {
  installErrorHandlers();
  std::string name;
  if (displayName) {
    name = *displayName;
  } else if (const char* env = std::getenv("DISPLAY")) {
    name = env;
  }
  if (name.empty()) throw X11CaptureError::noDisplay("No X display is set (DISPLAY is empty).");
  XDisplayHandle display = owned(XOpenDisplay(name.c_str()));
  if (!display) {
    if (!serverListens(name)) {
      throw X11CaptureError::unreachable(
          fmt::format("The X display {} cannot be reached: no X server answers there.", name));
    }
    throw X11CaptureError::accessDenied(fmt::format("The X display {} refused the connection.", name));
  }
  return display;
}

bool serverListens(const std::string& name) noexcept {
  std::string_view rest = name;
  bool tcpOnly = false;
  if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
    tcpOnly =
        rest.substr(0, slash) == "tcp" || rest.substr(0, slash) == "inet" || rest.substr(0, slash) == "inet6";
    rest.remove_prefix(slash + 1);
  }
  const auto colon = rest.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string host(rest.substr(0, colon));
  std::string_view numberText = rest.substr(colon + 1);
  numberText = numberText.substr(0, numberText.find('.'));
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(numberText.data(), numberText.data() + numberText.size(), number);
  if (ec != std::errc() || end != numberText.data() + numberText.size() || numberText.empty() ||
      number > 59535)
    return false;
  if (!tcpOnly && (host.empty() || host == "unix")) {
    // The local socket, abstract first as Xlib tries it, then the file.
    const std::string path = fmt::format("/tmp/.X11-unix/X{}", number);
    for (const bool abstract : {true, false}) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const std::size_t offset = abstract ? 1 : 0;
      std::memcpy(address.sun_path + offset, path.data(), path.size());
      const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) return true;  // cannot tell: keep the server's own answer
      const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
      ::close(fd);
      if (connected) return true;
    }
    if (host == "unix") return false;
    host = "localhost";  // Xlib falls back to TCP on the local host as well
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(6000 + number).c_str(), &hints, &found) != 0) return false;
  bool connected = false;
  for (const addrinfo* a = found; a && !connected; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // A remote host that drops packets must not hold the caller for long.
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    connected = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return connected;
}

XDisplayHandle openDefault() noexcept {
  installErrorHandlers();
  return owned(XOpenDisplay(nullptr));
}

void watchForLoss(Display* display, std::atomic<bool>& lost) noexcept {
  XSetIOErrorExitHandler(display, markLost, &lost);
}

int takeLastError() noexcept { return std::exchange(lastErrorCode, 0); }

}  // namespace XConnection
}  // namespace vantrel
