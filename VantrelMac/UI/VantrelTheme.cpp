#include "VantrelTheme.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

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

namespace {

double linear(double component) {
  return component <= 0.04045 ? component / 12.92 : std::pow((component + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c) {
  return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

QColor blend(const QColor& top, const QColor& under, double opacity) {
  const auto mix = [opacity](int a, int b) {
    return static_cast<int>(std::lround(opacity * a + (1.0 - opacity) * b));
  };
  return QColor(mix(top.red(), under.red()), mix(top.green(), under.green()), mix(top.blue(), under.blue()));
}

}  // namespace

double contrastRatio(const QColor& a, const QColor& b) {
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor secondaryText(const QColor& text, std::initializer_list<QColor> backgrounds) {
  if (backgrounds.size() == 0) return text;
  const QColor& base = *backgrounds.begin();
  const auto enough = [&](const QColor& candidate) {
    for (const QColor& background : backgrounds) {
      if (contrastRatio(candidate, background) < secondaryTextContrast) return false;
    }
    return true;
  };
  // From half strength up in small steps: the first that reads well enough everywhere.
  for (int permille = 500; permille < 1000; ++permille) {
    const QColor candidate = blend(text, base, permille / 1000.0);
    if (enough(candidate)) return candidate;
  }
  return text;
}

void useSecondaryText(QWidget* label) {
  QPalette palette = label->palette();
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    const QColor window = palette.color(group, QPalette::Window);
    // A group box darkens what it frames a little (about 3 %).
    const QColor box = blend(QColor(Qt::black), window, groupBoxShade);
    palette.setColor(group, QPalette::WindowText,
                     secondaryText(palette.color(group, QPalette::WindowText), {window, box}));
  }
  label->setPalette(palette);
  label->setForegroundRole(QPalette::WindowText);
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
