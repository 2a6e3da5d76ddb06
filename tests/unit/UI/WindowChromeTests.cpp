#include <gtest/gtest.h>

#include "UI/AgentNoticePanel.hpp"
#include "UI/KeyboardAccess.hpp"
#include "UI/SymbolIcons.hpp"
#include "UI/VantrelTheme.hpp"
#include "UI/WindowChrome.hpp"

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QTest>
#include <QVariantAnimation>

#include <cmath>
#include <cstdio>

#include "support/QtTestApp.hpp"

namespace vantrel {
namespace {

TEST(VantrelTheme, ColoursAreTheComponentsTimes255RoundedHalfUp) {
  EXPECT_EQ(VantrelTheme::loginTop(), QColor(0x42, 0x66, 0x7D));
  EXPECT_EQ(VantrelTheme::loginBottom(), QColor(0x36, 0x59, 0x73));
  EXPECT_EQ(VantrelTheme::primaryAction(), QColor(0x1A, 0x5C, 0x8F));
  EXPECT_EQ(VantrelTheme::eightBit(0.10), 26);  // 25.5 rounds up
  EXPECT_EQ(VantrelTheme::eightBit(0.30), 77);  // 76.5 rounds up
  EXPECT_EQ(VantrelTheme::eightBit(0.35), 89);  // 89.25
  EXPECT_EQ(VantrelTheme::eightBit(1.0), 255);
}

TEST(VantrelTheme, SecondaryTextIsAsFaintAsFourAndAHalfToOneAllows) {
  struct Case {
    const char* what;
    QColor text;
    QColor window;
    QColor box;
    QColor expected;
  };
  const Case cases[] = {
      // Half-strength black would be #777777 (3.84:1 in a box); the nearest that reads is #6B6B6B.
      {"light", QColor(0, 0, 0), QColor(0xEF, 0xEF, 0xEF), QColor(0xEC, 0xEC, 0xEC),
       QColor(0x6B, 0x6B, 0x6B)},
      // On a dark window the text is light, and the lighter box limits it: #AAAAAA would be 4.46:1.
      {"dark", QColor(0xFF, 0xFF, 0xFF), QColor(0x35, 0x35, 0x35), QColor(0x40, 0x40, 0x40),
       QColor(0xAB, 0xAB, 0xAB)},
  };
  for (const Case& c : cases) {
    const QColor secondary = VantrelTheme::secondaryText(c.text, {c.window, c.box});
    EXPECT_EQ(secondary.name().toStdString(), c.expected.name().toStdString()) << c.what;
    EXPECT_GE(VantrelTheme::contrastRatio(secondary, c.window), 4.5) << c.what;
    EXPECT_GE(VantrelTheme::contrastRatio(secondary, c.box), 4.5) << c.what;
  }
  // The ratio itself: black on white is 21:1, a colour on itself 1:1.
  EXPECT_NEAR(VantrelTheme::contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
  EXPECT_NEAR(VantrelTheme::contrastRatio(QColor(0x76, 0x76, 0x76), QColor(0xEC, 0xEC, 0xEC)), 3.84, 0.01);
  EXPECT_NEAR(VantrelTheme::contrastRatio(Qt::gray, Qt::gray), 1.0, 1e-9);
}

TEST(Triangle, TheTurnedOneHasItsApexAtTheTop) {
  // In a 430-wide backdrop its frame is x 210…430, y 0…330.
  const QPainterPath turned = LoginBackdrop::rightTriangle(430);
  EXPECT_TRUE(turned.contains(QPointF(210 + 110, 2)));
  EXPECT_TRUE(turned.contains(QPointF(210 + 2, 328)));
  EXPECT_FALSE(turned.contains(QPointF(210 + 2, 2)));
  EXPECT_FALSE(turned.contains(QPointF(210 + 218, 2)));
}

struct ResizerFixture : ::testing::Test {
  // Made before the window below: a widget needs the application first, also when this test
  // runs alone.
  QApplication& app = testing::uiApp();
  // A shown login-sized window at (300, 200) with a view inside it.
  QWidget window;
  // A larger size that fits around that window's centre on the 800 x 800 offscreen screen (the
  // panel's 620 px do not: a frame that would leave the screen moves, see KeptInside).
  static constexpr QSize grown{560, 500};
  QWidget* child = nullptr;
  // The window ended at `size`, fixed there, its centre where it was, with no resize running.
  void expectSettledAt(QSize size, QPoint centre) {
    EXPECT_EQ(window.size(), size);
    EXPECT_EQ(window.minimumSize(), size);
    EXPECT_EQ(window.maximumSize(), size);
    EXPECT_LE((window.frameGeometry().center() - centre).manhattanLength(), 2);
    EXPECT_EQ(WindowContentResizer::runningAnimation(&window), nullptr);
  }
  void showLoginSizedWindow() {
    child = new QWidget(&window);
    window.setFixedSize(430, 285);
    window.move(300, 200);
    window.show();
    testing::processQueued();
  }
};

TEST_F(ResizerFixture, GrowsKeepingTheCentreAndFixesTheSize) {
  const testing::ReducedMotion still("1");
  showLoginSizedWindow();
  const QPoint centre = window.frameGeometry().center();
  WindowContentResizer::resizeWindow(child, grown);
  EXPECT_EQ(window.size(), QSize(430, 285));  // never inside the current pass
  testing::processQueued();
  expectSettledAt(grown, centre);
}

TEST_F(ResizerFixture, WithinOnePixelNothingChanges) {
  const testing::ReducedMotion moving(nullptr);
  child = new QWidget(&window);
  window.setMinimumSize(100, 100);
  window.setMaximumSize(1000, 1000);
  window.resize(621, 679);
  window.show();
  testing::processQueued();
  WindowContentResizer::resizeWindow(child, QSize(620, 680));
  testing::processQueued();
  EXPECT_EQ(window.size(), QSize(621, 679));
  EXPECT_EQ(window.minimumSize(), QSize(100, 100));
  EXPECT_EQ(window.maximumSize(), QSize(1000, 1000));
  EXPECT_EQ(WindowContentResizer::runningAnimation(&window), nullptr);
}

TEST_F(ResizerFixture, AnimatesThroughSizesBetweenKeepingTheCentre) {
  const testing::ReducedMotion moving(nullptr);
  showLoginSizedWindow();
  const QPoint centre = window.frameGeometry().center();
  WindowContentResizer::resizeWindow(child, grown);
  testing::processQueued();
  QVariantAnimation* animation = WindowContentResizer::runningAnimation(&window);
  ASSERT_NE(animation, nullptr);
  EXPECT_LE(animation->duration(), 250);  // short
  EXPECT_EQ(animation->easingCurve().type(), QEasingCurve::InOutQuad);
  // Half way (driven by hand, no waiting): the window is asked for a size between the two; its
  // contents take that size only once the window system reports it.
  animation->setCurrentTime(animation->duration() / 2);
  EXPECT_EQ(window.size(), QSize(430, 285));
  testing::processQueued();
  EXPECT_GT(window.width(), 430);
  EXPECT_LT(window.width(), grown.width());
  EXPECT_GT(window.height(), 285);
  EXPECT_LT(window.height(), grown.height());
  EXPECT_LE((window.frameGeometry().center() - centre).manhattanLength(), 2);
  animation->setCurrentTime(animation->duration());
  testing::processQueued();
  expectSettledAt(grown, centre);
}

TEST_F(ResizerFixture, ANewSizeTakesOverFromAResizeUnderWay) {
  const testing::ReducedMotion moving(nullptr);
  showLoginSizedWindow();
  WindowContentResizer::resizeWindow(child, QSize(620, 680));
  testing::processQueued();
  QVariantAnimation* first = WindowContentResizer::runningAnimation(&window);
  ASSERT_NE(first, nullptr);
  first->setCurrentTime(first->duration() / 2);
  // Back to the login size before the first resize ended, this time without motion.
  const testing::ReducedMotion still("1");
  WindowContentResizer::resizeWindow(child, QSize(430, 285));
  testing::processQueued();
  EXPECT_EQ(WindowContentResizer::runningAnimation(&window), nullptr);
  EXPECT_EQ(window.size(), QSize(430, 285));
  EXPECT_EQ(window.minimumSize(), QSize(430, 285));
  EXPECT_EQ(window.maximumSize(), QSize(430, 285));
}

TEST_F(ResizerFixture, EachResizerSizesItsWindowWhenMadeAndWhenUpdated) {
  const testing::ReducedMotion still("1");
  showLoginSizedWindow();
  auto* resizer = new WindowContentResizer(QSize(620, 680), &window);
  EXPECT_EQ(resizer->size(), QSize(0, 0));  // invisible
  EXPECT_EQ(resizer->targetSize(), QSize(620, 680));
  testing::processQueued();
  EXPECT_EQ(window.size(), QSize(620, 680));
  resizer->setSize(QSize(430, 285));
  testing::processQueued();
  EXPECT_EQ(window.size(), QSize(430, 285));
  // A resizer with no window around it changes nothing.
  WindowContentResizer alone(QSize(620, 680), nullptr);
  testing::processQueued();
  EXPECT_EQ(alone.size(), QSize(0, 0));
}

TEST(WindowContentResizer, ReducedMotionIsReadFromTheEnvironment) {
  const std::pair<const char*, bool> cases[] = {
      {"1", true},  {"true", true},   {"YES", true}, {" yes ", true},
      {"0", false}, {"false", false}, {"", false},   {nullptr, false},
  };
  for (const auto& [value, reduced] : cases) {
    const testing::ReducedMotion setting(value);
    EXPECT_EQ(WindowContentResizer::prefersReducedMotion(), reduced) << (value ? value : "(unset)");
  }
}

TEST(SymbolIcons, EverySymbolFitsItsBoxAndTheCutOnesHaveHoles) {
  const QRectF box(0, 0, 40, 40);
  for (const auto symbol :
       {StatusSymbol::diamondFill, StatusSymbol::gearshapeFill, StatusSymbol::checkmarkCircleFill,
        StatusSymbol::exclamationmarkTriangleFill, StatusSymbol::circleDotted,
        StatusSymbol::arrowRightCircleFill, StatusSymbol::display, StatusSymbol::arrowDownCircle,
        StatusSymbol::exclamationmarkTriangle, StatusSymbol::testtube2}) {
    const QPainterPath path = SymbolIcons::path(symbol, box);
    EXPECT_FALSE(path.isEmpty()) << symbolName(symbol);
    EXPECT_TRUE(box.adjusted(-1, -1, 1, 1).contains(path.boundingRect())) << symbolName(symbol);
  }
  // The tick and the arrow are cut out of their discs; the gear has a hole in its middle.
  EXPECT_FALSE(
      SymbolIcons::path(StatusSymbol::checkmarkCircleFill, box).contains(QPointF(0.43 * 40, 0.68 * 40)));
  EXPECT_TRUE(SymbolIcons::path(StatusSymbol::checkmarkCircleFill, box).contains(QPointF(20, 6)));
  EXPECT_FALSE(SymbolIcons::path(StatusSymbol::arrowRightCircleFill, box).contains(QPointF(20, 20)));
  EXPECT_FALSE(SymbolIcons::path(StatusSymbol::gearshapeFill, box).contains(QPointF(20, 20)));
  EXPECT_FALSE(
      SymbolIcons::path(StatusSymbol::exclamationmarkTriangleFill, box).contains(QPointF(20, 0.45 * 40)));
  // The update box's symbols are outlines: open inside, ink on the rim.
  EXPECT_FALSE(SymbolIcons::path(StatusSymbol::arrowDownCircle, box).contains(QPointF(10, 20)));
  EXPECT_TRUE(SymbolIcons::path(StatusSymbol::arrowDownCircle, box).contains(QPointF(20, 1.5)));
  EXPECT_TRUE(
      SymbolIcons::path(StatusSymbol::arrowDownCircle, box).contains(QPointF(20, 0.5 * 40)));  // shaft
  EXPECT_FALSE(SymbolIcons::path(StatusSymbol::exclamationmarkTriangle, box).contains(QPointF(14, 30)));
  EXPECT_TRUE(SymbolIcons::path(StatusSymbol::exclamationmarkTriangle, box).contains(QPointF(20, 0.5 * 40)));
  EXPECT_TRUE(
      SymbolIcons::path(StatusSymbol::testtube2, box).contains(QPointF(0.3 * 40, 0.8 * 40)));  // liquid
  EXPECT_FALSE(
      SymbolIcons::path(StatusSymbol::testtube2, box).contains(QPointF(0.3 * 40, 0.3 * 40)));  // empty
  EXPECT_EQ(symbolName(StatusSymbol::testtube2), "testtube.2");
}

// WCAG contrast of two opaque colours.
double contrast(const QColor& a, const QColor& b) {
  const auto linear = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  const auto luminance = [&](const QColor& c) {
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
  };
  const double la = luminance(a);
  const double lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The tray mark over a panel: the share of its opaque pixels that stand out from the panel by at
// least 3:1, and the contrast of the part that stands out most.
struct TrayReading {
  double legibleShare = 0;
  double bestContrast = 0;
};

TrayReading readTray(const QColor& panel, int size) {
  QImage over(size, size, QImage::Format_RGB32);
  over.fill(panel);
  const QImage mark = SymbolIcons::trayImage(size);
  {
    QPainter painter(&over);
    painter.drawImage(0, 0, mark);
  }
  int opaque = 0;
  int legible = 0;
  TrayReading reading;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if (qAlpha(mark.pixel(x, y)) < 128) continue;
      ++opaque;
      const double c = contrast(QColor(over.pixel(x, y)), panel);
      reading.bestContrast = std::max(reading.bestContrast, c);
      if (c >= 3.0) ++legible;
    }
  }
  reading.legibleShare = opaque == 0 ? 0 : static_cast<double>(legible) / opaque;
  return reading;
}

TEST(VantrelTheme, DialogsAndMenusDrawWithTheApplicationsFont) {
  testing::uiApp();
  const QFont before = QApplication::font();
  VantrelTheme::useApplicationFont();
  // The same family for Latin and Hangul everywhere, not the toolkit's default next to a CJK one.
  QMessageBox box;
  QMenu menu;
  for (const QWidget* widget : std::initializer_list<const QWidget*>{&box, &menu}) {
    ASSERT_FALSE(widget->font().families().isEmpty());
    EXPECT_EQ(widget->font().families().front(), VantrelTheme::font(13).families().front());
    EXPECT_EQ(widget->font().pixelSize(), VantrelTheme::bodySize);
  }
  QApplication::setFont(before);
}

TEST(AgentNotice, TitleAndMessageAreOneStackCentredVertically) {
  testing::uiApp();
  for (const bool translucent : {false, true}) {
    AgentNoticePanel panel(translucent, nullptr);
    panel.show();
    testing::processQueued();
    // The plate is the panel the user sees; a compositor adds the shadow's room around it.
    const QRect plate = panel.plateRect();
    EXPECT_EQ(plate.size(), QSize(350, 92));
    EXPECT_EQ(panel.rect().center(), plate.center());
    const QRect title = panel.titleLabel()->geometry().translated(-plate.topLeft());
    const QRect message = panel.messageLabel()->geometry().translated(-plate.topLeft());
    if (!translucent) {
      EXPECT_EQ(panel.size(), QSize(350, 92));
    }
    EXPECT_EQ(message.top() - title.bottom() - 1, 6) << translucent;
    EXPECT_NEAR(title.top(), 92 - message.bottom() - 1, 1) << translucent;
    // The icon sits on the same centre line, 16 from the plate's left.
    EXPECT_EQ(panel.iconLabel()->geometry().left() - plate.left(), 16);
    EXPECT_NEAR(panel.iconLabel()->geometry().center().y() - plate.top(), 46, 1);
    const QImage picture = panel.grab().toImage();
    if (translucent) {
      EXPECT_EQ(qAlpha(picture.pixel(0, 0)), 0);  // the window's corner shows what is beneath
      // So does the plate's rounded corner, but for a breath of shadow.
      EXPECT_LT(qAlpha(picture.pixel(plate.left(), plate.top())), 60);
    } else {
      // No compositor: nothing would show through, so the plate runs to the corners, inside its
      // outline.
      EXPECT_EQ(QColor(picture.pixel(1, 1)), QColor(picture.pixel(175, 3)));
      EXPECT_EQ(QColor(picture.pixel(348, 90)), QColor(picture.pixel(175, 3)));
    }
  }
}

TEST(AgentNotice, AShadowOrAnOutlineSetsThePlateApartFromTheDesktop) {
  testing::uiApp();
  {
    // With a compositor: a soft shadow, darkest next to the plate, fading out before the edge.
    AgentNoticePanel panel(true, nullptr);
    panel.show();
    testing::processQueued();
    const QImage picture = panel.grab().toImage();
    const QRect plate = panel.plateRect();
    const auto alphaAt = [&](int x, int y) { return qAlpha(picture.pixel(x, y)); };
    const int x = plate.center().x();
    const int y = plate.center().y();
    // Below, left, right and above the plate's middle, going outward.
    const std::pair<QPoint, QPoint> sides[] = {
        {QPoint(x, plate.bottom() + 1), QPoint(0, 1)},
        {QPoint(plate.left() - 1, y), QPoint(-1, 0)},
        {QPoint(plate.right() + 1, y), QPoint(1, 0)},
        {QPoint(x, plate.top() - 1), QPoint(0, -1)},
    };
    for (const auto& [start, step] : sides) {
      int previous = 256;
      for (int d = 0; d < AgentNoticePanel::shadowMargin - 2; ++d) {
        const QPoint p = start + step * d;
        const QColor colour = QColor::fromRgba(picture.pixel(p));
        EXPECT_LE(alphaAt(p.x(), p.y()), previous) << p.x() << "," << p.y();
        EXPECT_LE(colour.red() + colour.green() + colour.blue(), 3 * 8) << "shadow is black";
        previous = alphaAt(p.x(), p.y());
      }
      EXPECT_GE(alphaAt(start.x(), start.y()), 25)
          << "next to the plate at " << start.x() << "," << start.y();
      EXPECT_LE(alphaAt(start.x() + step.x() * (AgentNoticePanel::shadowMargin - 1),
                        start.y() + step.y() * (AgentNoticePanel::shadowMargin - 1)),
                6);
    }
    // It falls lower than it rises.
    EXPECT_GT(alphaAt(x, plate.bottom() + 4), alphaAt(x, plate.top() - 4));
  }
  {
    // Without one: a light 1 px outline all round, at least 3:1 against a black desktop.
    AgentNoticePanel panel(false, nullptr);
    panel.show();
    testing::processQueued();
    const QImage picture = panel.grab().toImage();
    const QColor inside(picture.pixel(175, 3));
    for (const QPoint edge :
         {QPoint(0, 46), QPoint(349, 46), QPoint(175, 0), QPoint(175, 91), QPoint(0, 0)}) {
      const QColor colour(picture.pixel(edge));
      EXPECT_EQ(colour, AgentNoticePanel::outlineColour()) << edge.x() << "," << edge.y();
      EXPECT_GE(contrast(colour, Qt::black), 3.0);
      EXPECT_GT(contrast(colour, inside), 2.0);
    }
    EXPECT_EQ(QColor(picture.pixel(1, 46)), inside);
  }
}

TEST(FocusRingColour, StandsOutFromEveryPartOfTheLoginBackdrop) {
  // The two gradient ends and the lightest spot (the top-left corner under its triangle).
  for (const QColor backdrop :
       {VantrelTheme::loginTop(), VantrelTheme::loginBottom(), QColor(0x4A, 0x6D, 0x83)}) {
    EXPECT_GE(contrast(loginFocusRingColour(), backdrop), 3.0) << backdrop.name().toStdString();
  }
}

TEST(TrayIcon, StandsOutOnLightAndDarkPanels) {
  // The old mark, plain white, on the light panel: the reference point.
  EXPECT_LT(contrast(Qt::white, QColor(0xDC, 0xDA, 0xD5)), 1.5);
  for (const int size : {16, 22, 32}) {
    for (const QColor panel : {QColor(0xDC, 0xDA, 0xD5), QColor(0x2B, 0x2B, 0x2B)}) {
      const TrayReading reading = readTray(panel, size);
      std::printf("tray %d px on %s: %.0f %% of the mark at 3:1 or more, best %.2f:1\n", size,
                  panel.name().toStdString().c_str(), 100 * reading.legibleShare, reading.bestContrast);
      EXPECT_GE(reading.bestContrast, 3.0) << size << " on " << panel.name().toStdString();
      // A good part of the mark, not a speck, carries the contrast.
      EXPECT_GE(reading.legibleShare, 0.3) << size << " on " << panel.name().toStdString();
    }
  }
  EXPECT_GE(contrast(QColor::fromRgba(SymbolIcons::trayOutline), QColor(0xDC, 0xDA, 0xD5)), 3.0);
  EXPECT_GE(contrast(QColor::fromRgba(SymbolIcons::trayFill), QColor(0x2B, 0x2B, 0x2B)), 3.0);
}

}  // namespace
}  // namespace vantrel
