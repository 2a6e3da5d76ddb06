#include "Platform/Qt/QtPasteboard.hpp"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QUrl>

namespace vantrel {
namespace {

constexpr const char* pngMime = "image/png";
constexpr const char* gnomeCopiedFilesMime = "x-special/gnome-copied-files";

Bytes toBytes(const QByteArray& data) {
  const auto* begin = reinterpret_cast<const std::uint8_t*>(data.constData());
  return Bytes(begin, begin + data.size());
}

QByteArray toByteArray(ByteView data) {
  return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
}

std::optional<std::string> fileURLText(const QUrl& url) {
  if (!url.isValid() || !url.isLocalFile()) return std::nullopt;
  return url.toString(QUrl::FullyEncoded).toStdString();
}

}  // namespace

std::vector<std::string> fileURLsFromGnomeCopiedFiles(std::string_view value) {
  std::vector<std::string> urls;
  const auto lines = QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())).split(u'\n');
  // The first line is the operation ("copy" or "cut"), the rest are URLs.
  for (qsizetype i = 1; i < lines.size(); ++i) {
    const auto line = lines[i].trimmed();
    if (line.isEmpty()) continue;
    if (auto url = fileURLText(QUrl(line, QUrl::StrictMode))) urls.push_back(std::move(*url));
  }
  return urls;
}

QtPasteboard::QtPasteboard() : clipboard_(QGuiApplication::clipboard()) {
  QObject::connect(clipboard_, &QClipboard::changed, &context_, [this](QClipboard::Mode mode) {
    if (mode == QClipboard::Clipboard) ++changeCount_;
  });
}

QtPasteboard::~QtPasteboard() = default;

const QMimeData* QtPasteboard::content() const { return clipboard_->mimeData(QClipboard::Clipboard); }

std::vector<std::string> QtPasteboard::fileURLs() {
  std::vector<std::string> urls;
  const auto* data = content();
  if (!data) return urls;
  if (data->hasUrls()) {
    for (const auto& url : data->urls()) {
      if (auto text = fileURLText(url)) urls.push_back(std::move(*text));
    }
    if (!urls.empty()) return urls;
  }
  if (data->hasFormat(gnomeCopiedFilesMime)) {
    const auto raw = data->data(gnomeCopiedFilesMime);
    urls =
        fileURLsFromGnomeCopiedFiles(std::string_view(raw.constData(), static_cast<std::size_t>(raw.size())));
  }
  return urls;
}

std::optional<Bytes> QtPasteboard::pngData() {
  const auto* data = content();
  if (!data || !data->hasFormat(pngMime)) return std::nullopt;
  const auto png = data->data(pngMime);
  if (png.isEmpty()) return std::nullopt;
  return toBytes(png);
}

std::optional<Bytes> QtPasteboard::otherImageAsPNG() {
  const auto* data = content();
  if (!data || !data->hasImage()) return std::nullopt;
  const auto image = qvariant_cast<QImage>(data->imageData());
  if (image.isNull()) return std::nullopt;
  QByteArray png;
  QBuffer buffer(&png);
  if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG") || png.isEmpty()) return std::nullopt;
  return toBytes(png);
}

std::optional<std::string> QtPasteboard::text() {
  const auto* data = content();
  if (!data || !data->hasText()) return std::nullopt;
  return data->text().toStdString();
}

bool QtPasteboard::decodesAsImage(ByteView png) const { return !QImage::fromData(toByteArray(png)).isNull(); }

void QtPasteboard::clear() { clipboard_->clear(QClipboard::Clipboard); }

void QtPasteboard::publish(QMimeData* data) {
  lastWritten_ = data;
  clipboard_->setMimeData(data, QClipboard::Clipboard);
}

void QtPasteboard::writeText(const std::string& text) {
  auto* data = new QMimeData;
  data->setText(QString::fromStdString(text));
  publish(data);
}

void QtPasteboard::writePNG(const Bytes& png) {
  auto* data = new QMimeData;
  const auto bytes = toByteArray(png);
  // The PNG bytes exactly as the manager sent them, and the decoded image for readers of other
  // formats.
  data->setData(pngMime, bytes);
  data->setImageData(QImage::fromData(bytes));
  publish(data);
}

bool QtPasteboard::holdsLastWrite() const {
  return !lastWritten_.isNull() && clipboard_->ownsClipboard() && content() == lastWritten_.data();
}

}  // namespace vantrel
