#include "Platform/X11/XSettings.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <climits>
#include <string>

namespace vantrel {
namespace {

// Reads the fields of the property in the byte order its first byte names.
class Reader {
 public:
  Reader(std::span<const std::uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}

  bool has(std::size_t count) const noexcept { return count <= bytes_.size() - offset_; }
  std::size_t remaining() const noexcept { return bytes_.size() - offset_; }

  std::optional<std::uint8_t> card8() {
    if (!has(1)) return std::nullopt;
    return bytes_[offset_++];
  }
  std::optional<std::uint16_t> card16() {
    if (!has(2)) return std::nullopt;
    const std::uint16_t a = bytes_[offset_];
    const std::uint16_t b = bytes_[offset_ + 1];
    offset_ += 2;
    return static_cast<std::uint16_t>(bigEndian_ ? (a << 8) | b : (b << 8) | a);
  }
  std::optional<std::uint32_t> card32() {
    if (!has(4)) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t byte = bytes_[offset_ + static_cast<std::size_t>(i)];
      value |= bigEndian_ ? byte << (8 * (3 - i)) : byte << (8 * i);
    }
    offset_ += 4;
    return value;
  }
  // `count` bytes of text, then the padding that brings the field to a multiple of four.
  std::optional<std::string> paddedText(std::size_t count) {
    const std::size_t padded = count + ((4 - count % 4) % 4);
    if (count > remaining() || !has(padded)) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(bytes_.data() + offset_), count);
    offset_ += padded;
    return text;
  }
  bool skip(std::size_t count) {
    if (!has(count)) return false;
    offset_ += count;
    return true;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  bool bigEndian_;
  std::size_t offset_ = 0;
};

enum : std::uint8_t { typeInteger = 0, typeString = 1, typeColour = 2 };

// The smallest setting: type, pad, name length, an empty name, serial and a 4-byte value.
constexpr std::size_t smallestSetting = 12;

}  // namespace

std::optional<std::int32_t> XSettingsSnapshot::integer(std::string_view name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  if (const auto* value = std::get_if<std::int32_t>(&found->second)) return *value;
  return std::nullopt;
}

std::optional<XSettingsSnapshot> parseXSettings(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes[0] > 1) return std::nullopt;
  // 0 is X's LSBFirst, 1 its MSBFirst.
  Reader in(bytes, bytes[0] == 1);
  if (!in.skip(4)) return std::nullopt;
  const auto serial = in.card32();
  const auto count = in.card32();
  if (!serial || !count) return std::nullopt;
  // A count the bytes cannot hold is a lie, found before anything is allocated for it.
  if (*count > in.remaining() / smallestSetting) return std::nullopt;
  XSettingsSnapshot snapshot;
  snapshot.serial = *serial;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto type = in.card8();
    if (!type || !in.skip(1)) return std::nullopt;
    const auto nameLength = in.card16();
    if (!nameLength) return std::nullopt;
    auto name = in.paddedText(*nameLength);
    if (!name || !in.card32()) return std::nullopt;  // the setting's last-change serial
    XSettingValue value;
    switch (*type) {
      case typeInteger: {
        const auto number = in.card32();
        if (!number) return std::nullopt;
        value = static_cast<std::int32_t>(*number);
        break;
      }
      case typeString: {
        const auto length = in.card32();
        if (!length) return std::nullopt;
        auto text = in.paddedText(*length);
        if (!text) return std::nullopt;
        value = std::move(*text);
        break;
      }
      case typeColour: {
        const auto red = in.card16();
        const auto green = in.card16();
        const auto blue = in.card16();
        const auto alpha = in.card16();
        if (!red || !green || !blue || !alpha) return std::nullopt;
        value = XSettingColour{*red, *green, *blue, *alpha};
        break;
      }
      default: return std::nullopt;
    }
    snapshot.values.insert_or_assign(std::move(*name), std::move(value));
  }
  return snapshot;
}

XSettingsWatcher::XSettingsWatcher(const std::optional<std::string>& displayName)
    : display_(XConnection::open(displayName)) {
  Display* display = display_.get();
  XConnection::watchForLoss(display, lost_);
  const int screen = DefaultScreen(display);
  const std::string selectionName = "_XSETTINGS_S" + std::to_string(screen);
  selection_ = XInternAtom(display, selectionName.c_str(), False);
  settingsProperty_ = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  managerAtom_ = XInternAtom(display, "MANAGER", False);
  const Window root = RootWindow(display, screen);
  // A manager that starts announces itself on the root window (MANAGER); XFixes also reports
  // every change of the selection's owner, including one that leaves it without an owner.
  XSelectInput(display, root, StructureNotifyMask);
  int errorBase = 0;
  if (XFixesQueryExtension(display, &fixesEventBase_, &errorBase)) {
    XFixesSelectSelectionInput(display, root, selection_,
                               XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
  } else {
    fixesEventBase_ = -1;
  }
  reread();
}

XSettingsWatcher::~XSettingsWatcher() = default;

int XSettingsWatcher::fileDescriptor() const noexcept { return ConnectionNumber(display_.get()); }

void XSettingsWatcher::reread() {
  Display* display = display_.get();
  // The owner is looked up and watched in one step, so that a manager leaving in between is
  // seen through its window's destruction.
  XGrabServer(display);
  owner_ = XGetSelectionOwner(display, selection_);
  if (owner_ != None) XSelectInput(display, owner_, PropertyChangeMask | StructureNotifyMask);
  XUngrabServer(display);
  // Sent now: until the server hears it, every other client waits.
  XFlush(display);
  XSettingsSnapshot next;
  if (owner_ != None) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, owner_, settingsProperty_, 0, LONG_MAX / 4, False,
                                          settingsProperty_, &type, &format, &items, &after, &data);
    XSync(display, False);
    // A manager that went away in the meantime leaves a BadWindow behind: no settings.
    const bool failed = XConnection::takeLastError() != 0;
    if (status == Success && !failed && data != nullptr && format == 8 && type == settingsProperty_) {
      if (auto parsed = parseXSettings(std::span<const std::uint8_t>(data, items))) next = std::move(*parsed);
    }
    if (data != nullptr) XFree(data);
  }
  settings_ = std::move(next);
}

bool XSettingsWatcher::processEvents() {
  if (lost_.load()) return false;
  Display* display = display_.get();
  const auto before = settings_.values;
  // Reading the settings again makes round trips, during which more events may arrive and wait
  // in Xlib's queue where the descriptor no longer shows them: go on until none is left.
  for (;;) {
    bool stale = false;
    while (!lost_.load() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == ClientMessage) {
        stale |= event.xclient.message_type == managerAtom_ && event.xclient.format == 32 &&
                 static_cast<Atom>(event.xclient.data.l[1]) == selection_;
      } else if (event.type == PropertyNotify) {
        stale |= event.xproperty.window == owner_ && event.xproperty.atom == settingsProperty_;
      } else if (event.type == DestroyNotify) {
        stale |= owner_ != None && event.xdestroywindow.window == owner_;
      } else if (fixesEventBase_ >= 0 && event.type == fixesEventBase_ + XFixesSelectionNotify) {
        stale |= reinterpret_cast<const XFixesSelectionNotifyEvent&>(event).selection == selection_;
      }
    }
    if (!stale || lost_.load()) break;
    reread();
  }
  return settings_.values != before;
}

}  // namespace vantrel
