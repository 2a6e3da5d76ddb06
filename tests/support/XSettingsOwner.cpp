#include "support/XSettingsOwner.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <stdexcept>

namespace vantrel::testing {
namespace {

struct Writer {
  bool bigEndian;
  std::vector<std::uint8_t> out;
  void card8(std::uint8_t v) { out.push_back(v); }
  void card16(std::uint16_t v) {
    const std::uint8_t hi = static_cast<std::uint8_t>(v >> 8);
    const std::uint8_t lo = static_cast<std::uint8_t>(v & 0xFF);
    if (bigEndian) {
      out.insert(out.end(), {hi, lo});
    } else {
      out.insert(out.end(), {lo, hi});
    }
  }
  void card32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      const int shift = bigEndian ? 8 * (3 - i) : 8 * i;
      out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
    }
  }
  void padded(const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
    out.resize(out.size() + (4 - text.size() % 4) % 4, 0);
  }
};

}  // namespace

std::vector<std::uint8_t> XSettingsOwner::encode(std::uint32_t serial, const Settings& settings,
                                                 bool bigEndian) {
  Writer w{bigEndian, {}};
  w.card8(bigEndian ? 1 : 0);
  w.card8(0);
  w.card8(0);
  w.card8(0);
  w.card32(serial);
  w.card32(static_cast<std::uint32_t>(settings.size()));
  for (const auto& [name, value] : settings) {
    w.card8(static_cast<std::uint8_t>(value.index()));
    w.card8(0);
    w.card16(static_cast<std::uint16_t>(name.size()));
    w.padded(name);
    w.card32(serial);
    if (const auto* number = std::get_if<std::int32_t>(&value)) {
      w.card32(static_cast<std::uint32_t>(*number));
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      w.card32(static_cast<std::uint32_t>(text->size()));
      w.padded(*text);
    } else {
      const auto& colour = std::get<XSettingColour>(value);
      for (const std::uint16_t part : {colour.red, colour.green, colour.blue, colour.alpha}) w.card16(part);
    }
  }
  return w.out;
}

XSettingsOwner::XSettingsOwner(const std::string& displayName) : display_(XConnection::open(displayName)) {}

XSettingsOwner::~XSettingsOwner() { stop(); }

void XSettingsOwner::start(const Settings& settings) {
  Display* display = display_.get();
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  window_ = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
  publish(settings);
  const Atom selection = XInternAtom(display, ("_XSETTINGS_S" + std::to_string(screen)).c_str(), False);
  XSetSelectionOwner(display, selection, window_, CurrentTime);
  if (XGetSelectionOwner(display, selection) != window_)
    throw std::runtime_error("XSETTINGS selection not taken");
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = root;
  event.xclient.message_type = XInternAtom(display, "MANAGER", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = CurrentTime;
  event.xclient.data.l[1] = static_cast<long>(selection);
  event.xclient.data.l[2] = static_cast<long>(window_);
  XSendEvent(display, root, False, StructureNotifyMask, &event);
  XSync(display, False);
}

void XSettingsOwner::publish(const Settings& settings) {
  Display* display = display_.get();
  const Atom property = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  const auto bytes = encode(++serial_, settings, false);
  XChangeProperty(display, window_, property, property, 8, PropModeReplace, bytes.data(),
                  static_cast<int>(bytes.size()));
  XSync(display, False);
}

void XSettingsOwner::stop() {
  if (window_ == 0) return;
  XDestroyWindow(display_.get(), window_);
  XSync(display_.get(), False);
  window_ = 0;
}

}  // namespace vantrel::testing
