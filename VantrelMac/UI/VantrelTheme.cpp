#include "VantrelTheme.hpp"

#include <QApplication>
#include <QFontDatabase>

#include <cmath>

namespace vantrel::VantrelTheme {

int eightBit(double component) { return static_cast<int>(std::floor(component * 255.0 + 0.5)); }

namespace {
QColor srgb(double red, double green, double blue) {
  return QColor(eightBit(red), eightBit(green), eightBit(blue));
}
}  // namespace

QColor loginTop() {
  static const QColor colour = srgb(0.26, 0.40, 0.49);
  return colour;
}

QColor loginBottom() {
  static const QColor colour = srgb(0.21, 0.35, 0.45);
  return colour;
}

QColor primaryAction() {
  static const QColor colour = srgb(0.10, 0.36, 0.56);
  return colour;
}

QColor white(double opacity) {
  QColor colour(255, 255, 255);
  colour.setAlphaF(static_cast<float>(opacity));
  return colour;
}

QColor black(double opacity) {
  QColor colour(0, 0, 0);
  colour.setAlphaF(static_cast<float>(opacity));
  return colour;
}

QFont font(int pixelSize, QFont::Weight weight) {
  QFont f;
  // A family with Hangul and narrow Latin first; the desktop's sans-serif after it.
  f.setFamilies(
      {QStringLiteral("Noto Sans CJK KR"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")});
  f.setPixelSize(pixelSize);
  f.setWeight(weight);
  return f;
}

void useApplicationFont() { QApplication::setFont(font(bodySize)); }

QFont monospaceFont(int pixelSize) {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setPixelSize(pixelSize);
  return f;
}

}  // namespace vantrel::VantrelTheme
