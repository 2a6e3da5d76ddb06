#include <gtest/gtest.h>

#include "UI/SymbolIcons.hpp"
#include "UI/VantrelTheme.hpp"
#include "UI/WindowChrome.hpp"

#include <QTest>

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

TEST(Triangle, TheTurnedOneHasItsApexAtTheTop) {
  // In a 430-wide backdrop its frame is x 210…430, y 0…330.
  const QPainterPath turned = LoginBackdrop::rightTriangle(430);
  EXPECT_TRUE(turned.contains(QPointF(210 + 110, 2)));
  EXPECT_TRUE(turned.contains(QPointF(210 + 2, 328)));
  EXPECT_FALSE(turned.contains(QPointF(210 + 2, 2)));
  EXPECT_FALSE(turned.contains(QPointF(210 + 218, 2)));
}

struct ResizerFixture : ::testing::Test {
  void SetUp() override { testing::uiApp(); }
};

TEST_F(ResizerFixture, GrowsKeepingTheCentreAndFixesTheSize) {
  QWidget window;
  auto* child = new QWidget(&window);
  window.setFixedSize(430, 285);
  window.move(300, 200);
  window.show();
  testing::processQueued();
  const QPoint centre = window.frameGeometry().center();
  resizeWindowContaining(child, QSize(620, 680));
  EXPECT_EQ(window.size(), QSize(430, 285));  // never inside the current pass
  testing::processQueued();
  EXPECT_EQ(window.size(), QSize(620, 680));
  EXPECT_EQ(window.minimumSize(), QSize(620, 680));
  EXPECT_EQ(window.maximumSize(), QSize(620, 680));
  EXPECT_LE((window.frameGeometry().center() - centre).manhattanLength(), 2);
}

TEST_F(ResizerFixture, WithinOnePixelNothingChanges) {
  QWidget window;
  auto* child = new QWidget(&window);
  window.setMinimumSize(100, 100);
  window.setMaximumSize(1000, 1000);
  window.resize(621, 679);
  window.show();
  testing::processQueued();
  resizeWindowContaining(child, QSize(620, 680));
  testing::processQueued();
  EXPECT_EQ(window.size(), QSize(621, 679));
  EXPECT_EQ(window.minimumSize(), QSize(100, 100));
  EXPECT_EQ(window.maximumSize(), QSize(1000, 1000));
}

TEST(SymbolIcons, EverySymbolFitsItsBoxAndTheCutOnesHaveHoles) {
  const QRectF box(0, 0, 40, 40);
  for (const auto symbol :
       {StatusSymbol::diamondFill, StatusSymbol::gearshapeFill, StatusSymbol::checkmarkCircleFill,
        StatusSymbol::exclamationmarkTriangleFill, StatusSymbol::circleDotted,
        StatusSymbol::arrowRightCircleFill, StatusSymbol::display}) {
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
}

}  // namespace
}  // namespace vantrel
