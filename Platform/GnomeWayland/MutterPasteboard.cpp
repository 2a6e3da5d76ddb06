#include "Platform/GnomeWayland/MutterPasteboard.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "Platform/Ports/DesktopSessionDemand.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

constexpr const char* textTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"};
constexpr const char* pngType = "image/png";
constexpr std::size_t maximumListSize = 1024 * 1024;

bool offers(const MutterRemoteDesktop::Selection& selection, std::string_view mime) {
  return std::find(selection.mimeTypes.begin(), selection.mimeTypes.end(), mime) != selection.mimeTypes.end();
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// "file:" URLs, one a line; blank lines and comments skipped, and (for GNOME's list) the
// operation on the first line.
std::vector<std::string> fileURLLines(std::string_view list, bool skipFirstLine) {
  std::vector<std::string> urls;
  bool first = true;
  while (!list.empty()) {
    const auto end = list.find('\n');
    auto line = list.substr(0, end);
    list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const bool skip = first && skipFirstLine;
    first = false;
    if (skip || line.empty() || line.front() == '#' || !line.starts_with("file:")) continue;
    // An encoded URL has no spaces or control characters.
    if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20; }))
      continue;
    urls.emplace_back(line);
  }
  return urls;
}

}  // namespace

MutterPasteboard::MutterPasteboard(std::shared_ptr<MutterRemoteDesktop> session)
    : session_(std::move(session)) {
  session_->enableClipboard();
}

long long MutterPasteboard::changeCount() const {
  // Only a connected manager needs to see the clipboard's changes; while none is, the desktop has
  // no remote-desktop session open for it.
  if (DesktopSessionDemand::shared().wanted()) session_->startInBackground();
  return session_->selection().generation + writes_;
}

std::optional<Bytes> MutterPasteboard::ownContent(const std::string& mime) const {
  for (const auto& [type, bytes] : written_) {
    if (type == mime) return bytes;
  }
  return std::nullopt;
}

std::optional<Bytes> MutterPasteboard::read(const std::string& mime, std::size_t limit) {
  const auto selection = session_->selection();
  if (selection.ownedBySession) return ownContent(mime);
  if (!offers(selection, mime)) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + readLimit;
  auto fd = session_->openSelectionRead(mime);
  if (!fd) return std::nullopt;
  Bytes data;
  std::array<std::uint8_t, 65536> buffer{};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return std::nullopt;
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    const auto n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return data;
    if (data.size() + static_cast<std::size_t>(n) > limit) return std::nullopt;
    data.insert(data.end(), buffer.begin(), buffer.begin() + n);
  }
}

std::vector<std::string> MutterPasteboard::fileURLs() {
  if (auto list = read("text/uri-list", maximumListSize)) {
    auto urls =
        fileURLLines(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()), false);
    if (!urls.empty()) return urls;
  }
  if (auto list = read("x-special/gnome-copied-files", maximumListSize)) {
    return fileURLLines(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()), true);
  }
  return {};
}

std::optional<Bytes> MutterPasteboard::pngData() {
  auto png = read(pngType, maximumReadSize);
  if (!png || png->empty()) return std::nullopt;
  return png;
}

std::optional<Bytes> MutterPasteboard::otherImageAsPNG() { return std::nullopt; }

std::optional<std::string> MutterPasteboard::text() {
  for (const char* type : textTypes) {
    auto bytes = read(type, maximumReadSize);
    if (!bytes) continue;
    std::string value(bytes->begin(), bytes->end());
    if (::vantrel::text::isValidUTF8(value)) return value;
  }
  return std::nullopt;
}

bool MutterPasteboard::decodesAsImage(ByteView png) const {
  static constexpr std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < sizeof signature || !std::equal(std::begin(signature), std::end(signature), png.begin())) {
    return false;
  }
  std::size_t at = sizeof signature;
  bool header = false;
  while (png.size() - at >= 12) {
    const std::uint32_t length = bigEndian32(png.data() + at);
    if (length > png.size() - at - 12) return false;
    const std::uint8_t* type = png.data() + at + 4;
    if (bigEndian32(type + 4 + length) != crc32(type, 4 + std::size_t{length})) return false;
    const std::string_view name(reinterpret_cast<const char*>(type), 4);
    if (!header) {
      // The header comes first: 13 bytes, a width and a height that are not zero.
      if (name != "IHDR" || length != 13 || bigEndian32(type + 4) == 0 || bigEndian32(type + 8) == 0)
        return false;
      header = true;
    }
    if (name == "IEND") return true;
    at += 12 + std::size_t{length};
  }
  return false;
}

void MutterPasteboard::publish(std::vector<std::pair<std::string, Bytes>> content) {
  written_ = content;
  wrote_ = true;
  ++writes_;
  (void)session_->setSelection(std::move(content));
}

void MutterPasteboard::clear() { publish({}); }

void MutterPasteboard::writeText(const std::string& text) {
  std::vector<std::pair<std::string, Bytes>> content;
  for (const char* type : textTypes) content.emplace_back(type, bytesOf(text));
  publish(std::move(content));
}

void MutterPasteboard::writePNG(const Bytes& png) { publish({{pngType, png}}); }

bool MutterPasteboard::holdsLastWrite() const { return wrote_ && session_->selection().ownedBySession; }

}  // namespace vantrel
