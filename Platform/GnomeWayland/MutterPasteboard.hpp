#pragma once

// The clipboard of a GNOME Wayland session through the compositor's remote-desktop session
// (MutterRemoteDesktop): it needs no window and no focus. Reads ask the clipboard's owner for
// one format and wait at most `readLimit`, taking at most `maximumReadSize` bytes; writes offer
// the content and the session hands it to each program that pastes it.

#include <chrono>
#include <memory>

#include "Platform/GnomeWayland/MutterRemoteDesktop.hpp"
#include "Platform/Ports/Pasteboard.hpp"

namespace vantrel {

class MutterPasteboard final : public Pasteboard {
 public:
  static constexpr auto readLimit = std::chrono::milliseconds(1000);
  static constexpr std::size_t maximumReadSize = 32 * 1024 * 1024;

  explicit MutterPasteboard(std::shared_ptr<MutterRemoteDesktop> session = MutterRemoteDesktop::shared());

  // Moves when another program takes the clipboard and with each of our writes. While a manager is
  // connected (DesktopSessionDemand), asks for the session (without waiting) while there is none,
  // so that changes are seen from then on.
  long long changeCount() const override;

  // From "text/uri-list" (else "x-special/gnome-copied-files"); "file:" URLs only.
  std::vector<std::string> fileURLs() override;
  std::optional<Bytes> pngData() override;
  // No image conversion in this layer: only PNG is offered onwards.
  std::optional<Bytes> otherImageAsPNG() override;
  // UTF-8 text, from "text/plain;charset=utf-8", "UTF8_STRING" or "text/plain".
  std::optional<std::string> text() override;
  // A PNG whose signature, header and chunk checksums hold.
  bool decodesAsImage(ByteView png) const override;

  void clear() override;
  void writeText(const std::string& text) override;
  void writePNG(const Bytes& png) override;
  bool holdsLastWrite() const override;

 private:
  std::optional<Bytes> read(const std::string& mime, std::size_t limit);
  std::optional<Bytes> ownContent(const std::string& mime) const;
  void publish(std::vector<std::pair<std::string, Bytes>> content);

  std::shared_ptr<MutterRemoteDesktop> session_;
  long long writes_ = 0;
  bool wrote_ = false;
  std::vector<std::pair<std::string, Bytes>> written_;
};

}  // namespace vantrel
