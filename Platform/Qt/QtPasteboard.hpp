#pragma once

// The desktop clipboard through Qt: the CLIPBOARD selection of the X server (not the primary
// selection). Create and use it on the GUI thread, after the QGuiApplication exists.

#include <QObject>
#include <QPointer>

#include "Platform/Ports/Pasteboard.hpp"

class QClipboard;
class QMimeData;

namespace vantrel {

class QtPasteboard final : public Pasteboard {
 public:
  QtPasteboard();
  ~QtPasteboard() override;
  QtPasteboard(const QtPasteboard&) = delete;
  QtPasteboard& operator=(const QtPasteboard&) = delete;

  // X11 keeps no change count: this counts Qt's change notifications for the CLIPBOARD selection,
  // our own writes included.
  long long changeCount() const override { return changeCount_; }

  // From "text/uri-list", else from "x-special/gnome-copied-files"; "file:" URLs only.
  std::vector<std::string> fileURLs() override;
  std::optional<Bytes> pngData() override;
  std::optional<Bytes> otherImageAsPNG() override;
  std::optional<std::string> text() override;
  bool decodesAsImage(ByteView png) const override;

  void clear() override;
  void writeText(const std::string& text) override;
  void writePNG(const Bytes& png) override;
  bool holdsLastWrite() const override;

 private:
  const QMimeData* content() const;
  void publish(QMimeData* data);

  QClipboard* clipboard_;
  // The connection to the clipboard's change signal ends with this object.
  QObject context_;
  long long changeCount_ = 0;
  // What we last put on the clipboard; Qt deletes it once another program takes the clipboard.
  QPointer<QMimeData> lastWritten_;
};

// The "file:" URLs of an "x-special/gnome-copied-files" value ("copy" or "cut", then one URL a
// line), fully encoded; anything else is skipped.
std::vector<std::string> fileURLsFromGnomeCopiedFiles(std::string_view value);

}  // namespace vantrel
