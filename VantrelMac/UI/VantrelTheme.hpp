#pragma once

#include <QColor>
#include <QFont>

#include <initializer_list>

class QWidget;

namespace vantrel {

// The application's fixed colours and its font helper. Sizes are pixels (the desktop's points at
// scale 1), so fonts are set by pixel size, never by point size.
namespace VantrelTheme {

QColor loginTop();       // #42667D, gradient start of the login backdrop
QColor loginBottom();    // #365973, gradient end
QColor primaryAction();  // #1A5C8F, the LOG IN button

// One sRGB component in 0…1 as the 8-bit value (product with 255, rounded half up).
int eightBit(double component);

// White (or black) at an opacity.
QColor white(double opacity);
QColor black(double opacity);

// The contrast ratio of two opaque colours as accessibility guidelines define it: 1 (equal
// luminance) to 21 (black on white).
double contrastRatio(const QColor& a, const QColor& b);

// The least contrast that secondary text keeps against whatever it is drawn on.
inline constexpr double secondaryTextContrast = 4.5;

// The colour of secondary text (captions, values, hints): `text` at half strength over the first
// of `backgrounds`, as the desktop this window imitates draws it, and stronger just as far as
// needed to keep `secondaryTextContrast` against every one of `backgrounds`.
QColor secondaryText(const QColor& text, std::initializer_list<QColor> backgrounds);

// How much a group box darkens the window colour inside its frame (black at this opacity): the
// widget style's #EFEFEF window is #ECECEC in a box.
inline constexpr double groupBoxShade = 0.0126;

// Draws `label` in the secondary text colour of its palette, over the window colour and the
// slightly darker inside of a group box.
void useSecondaryText(QWidget* label);

QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
// Makes the body font the application's default, so that dialogs, menus and every widget
// without a font of its own draw Latin and Hangul from the same family.
void useApplicationFont();
QFont monospaceFont(int pixelSize);

// Text-style sizes of the desktop this window imitates.
inline constexpr int title3Size = 15;
inline constexpr int bodySize = 13;
inline constexpr int calloutSize = 12;
inline constexpr int captionSize = 10;

}  // namespace VantrelTheme
}  // namespace vantrel
