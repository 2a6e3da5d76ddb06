#include "Platform/X11/XConnection.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
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
namespace {

// Xlib connections of different threads share state inside the extension libraries that no lock
// of theirs covers. libXext records every display that sets up RANDR, MIT-SHM, XTEST, XInput or
// the screen saver extension with its Generic Event extension, in a list that the first such
// display creates and the last one to close destroys (the global pointer back to null); libXi does
// the same with its own list. A thread that opens, sets up or closes a display while another
// closes the last one writes into freed memory: heap corruption, found only later elsewhere.
//
// Two ways out: keep one connection with those extensions open for the process's whole life, so
// that the lists never empty, or never let two of those steps run at once. We do the second:
// a kept connection cannot exist before a server answers, outlives a server restart as a dead
// one and adds a client and a descriptor to every process, whereas one lock over every open
// (with every such extension set up right there) and every close covers each connection of ours
// from its first request to its last, whichever thread owns it. Nothing else in the process
// registers displays there (Qt's xcb plugin talks xcb and sets up its extensions through it).
// The lock is held for the connection's set-up and its close only, never around calls on it.
std::mutex& lifecycleMutex() {
  static std::mutex mutex;
  return mutex;
}

// Sets up every extension whose library keeps the process-wide lists above: later first uses on
// this display then find their records made and change no list.
void setUpListedExtensions(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  (void)XRRQueryExtension(display, &eventBase, &errorBase);
  (void)XShmQueryExtension(display);
  (void)XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
  (void)XScreenSaverQueryExtension(display, &eventBase, &errorBase);
  XExtensionVersion* input = XGetExtensionVersion(display, INAME);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): libXi's own marker for a missing extension
  if (input && input != reinterpret_cast<XExtensionVersion*>(NoSuchExtension)) XFree(input);
}

void markLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

// The stock exit handler ends the process. A connection opened here fails its calls instead
// and is closed by its owner, on the thread that noticed the loss, as every caller here does.
void returnFromLoss(Display*, void*) {}

// A connection with the extensions above set up, or null. One that breaks during the set-up is
// closed here, on the thread that saw the break.
Display* openAndSetUp(const char* name) {
  const std::lock_guard lock(lifecycleMutex());
  Display* display = XOpenDisplay(name);
  if (!display) return nullptr;
  std::atomic<bool> lost{false};
  XSetIOErrorExitHandler(display, markLost, &lost);
  setUpListedExtensions(display);
  XSetIOErrorExitHandler(display, returnFromLoss, nullptr);
  if (!lost.load()) return display;
  XCloseDisplay(display);
  return nullptr;
}

}  // namespace

void XDisplayCloser::operator()(_XDisplay* display) const noexcept {
  if (!display) return;
  const std::lock_guard lock(lifecycleMutex());
  XCloseDisplay(display);
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
  XDisplayHandle display(openAndSetUp(name.c_str()));
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

XDisplayHandle openDefault() noexcept { return openIfReachable(std::nullopt); }

XDisplayHandle openIfReachable(const std::optional<std::string>& displayName) noexcept {
  installErrorHandlers();
  return XDisplayHandle(openAndSetUp(displayName ? displayName->c_str() : nullptr));
}

void watchForLoss(Display* display, std::atomic<bool>& lost) noexcept {
  XSetIOErrorExitHandler(display, markLost, &lost);
}

int takeLastError() noexcept { return std::exchange(lastErrorCode, 0); }

}  // namespace XConnection
}  // namespace vantrel
