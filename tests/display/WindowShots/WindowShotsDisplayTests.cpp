#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/PrivateXServer.hpp"
#include "support/TestEnvironment.hpp"

#include <QColor>
#include <QGuiApplication>
#include <QImage>

namespace vantrel {
namespace {

namespace fs = std::filesystem;

const fs::path shots = VANTREL_SHOTS_FOLDER;

// Renders every scene once for the whole suite, on a 1280 × 1024 server of its own.
class WindowShots : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    fs::remove_all(shots);
    testing::PrivateXServer server(1280, 1024);
    ASSERT_FALSE(server.displayName().empty());
    const testing::TemporaryHome home;  // the tool's settings and runtime folder stay with the test
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("DISPLAY", server.displayName().c_str(), 1);
      ::unsetenv("QT_QPA_PLATFORM");
      ::execl(VANTREL_WINDOW_SHOTS, VANTREL_WINDOW_SHOTS, shots.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    exitStatus = status;
  }
  static int exitStatus;

  static QImage load(const std::string& name) {
    QImage image(QString::fromStdString((shots / (name + ".png")).string()));
    return image.convertToFormat(QImage::Format_RGB32);
  }
  static nlohmann::json probes(const std::string& name) {
    std::ifstream file(shots / (name + ".json"));
    return nlohmann::json::parse(file);
  }
};
int WindowShots::exitStatus = -1;

QColor at(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }

void expectNear(const QColor& actual, int r, int g, int b, int tolerance = 3) {
  EXPECT_NEAR(actual.red(), r, tolerance);
  EXPECT_NEAR(actual.green(), g, tolerance);
  EXPECT_NEAR(actual.blue(), b, tolerance);
}

int lightness(const QColor& c) { return c.red() + c.green() + c.blue(); }

TEST_F(WindowShots, EverySceneIsWrittenAtItsSize) {
  ASSERT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0) << exitStatus;
  const std::pair<const char*, QSize> scenes[] = {
      {"login-empty", {430, 285}},       {"login-busy", {430, 285}},    {"login-error", {430, 285}},
      {"login-signed-in", {430, 285}},   {"panel-window", {620, 680}},  {"panel-sheet", {620, 680}},
      {"panel-log-full", {620, 680}},    {"notice", {350, 92}},         {"backdrop", {430, 285}},
      {"panel-direct-form", {620, 680}}, {"login-focus-0", {430, 285}}, {"login-focus-8", {430, 285}},
      {"login-connecting", {430, 285}},
  };
  for (const auto& [name, size] : scenes) EXPECT_EQ(load(name).size(), size) << name;
}

TEST_F(WindowShots, LoginButtonIsFilledWithThePrimaryActionColour) {
  for (const char* scene : {"login-busy", "login-error", "login-signed-in"}) {
    const QImage image = load(scene);
    const auto rect = probes(scene)["loginButton"];
    // Two points inside the button, clear of its symbol and title.
    const int x = rect[0].get<int>() + 4;
    const int y = rect[1].get<int>() + 4;
    expectNear(at(image, x, y), 0x1A, 0x5C, 0x8F);
    expectNear(
        at(image, rect[0].get<int>() + rect[2].get<int>() - 5, rect[1].get<int>() + rect[3].get<int>() - 5),
        0x1A, 0x5C, 0x8F);
  }
  // A disabled button is drawn at 62 % over the backdrop: no longer the full colour.
  const QImage empty = load("login-empty");
  const auto rect = probes("login-empty")["loginButton"];
  const QColor faded = at(empty, rect[0].get<int>() + 4, rect[1].get<int>() + 4);
  EXPECT_GT(std::abs(faded.blue() - 0x8F) + std::abs(faded.red() - 0x1A), 10);
}

TEST_F(WindowShots, BackdropIsTheDiagonalGradient) {
  const QImage image = load("backdrop");
  // Outside both triangles the colour is the gradient's at the point's projection on the diagonal.
  const auto expected = [](int x, int y) {
    const double t = (430.0 * x + 285.0 * y) / (430.0 * 430.0 + 285.0 * 285.0);
    return std::array<double, 3>{66 + t * (54 - 66), 102 + t * (89 - 102), 125 + t * (115 - 125)};
  };
  for (const auto& [x, y] : {std::pair{2, 283}, std::pair{10, 200}, std::pair{427, 283}, std::pair{290, 3}}) {
    const auto e = expected(x, y);
    expectNear(at(image, x, y), static_cast<int>(std::lround(e[0])), static_cast<int>(std::lround(e[1])),
               static_cast<int>(std::lround(e[2])), 2);
  }
  // The two corners differ: top-left is the lighter #42667D end, bottom-right the #365973 end.
  EXPECT_GT(lightness(at(image, 1, 284)), lightness(at(image, 428, 283)));
}

TEST_F(WindowShots, TrianglesAreLighterThanTheirSurroundings) {
  const QImage image = load("backdrop");
  // Pairs at (nearly) the same gradient parameter: inside the left triangle vs outside both.
  EXPECT_GT(lightness(at(image, 76, 100)), lightness(at(image, 10, 200)));
  // Inside the turned right triangle (apex at the top near x = 320) vs just left of it.
  EXPECT_GT(lightness(at(image, 320, 150)), lightness(at(image, 400, 30)));
  EXPECT_GT(lightness(at(image, 300, 250)), lightness(at(image, 399, 100)));
  // The login screen has the same backdrop under its widgets.
  const QImage login = load("login-empty");
  EXPECT_EQ(at(login, 2, 283), at(image, 2, 283));
}

TEST_F(WindowShots, HangulIsDrawnAsDistinctGlyphsNotBoxes) {
  const QImage image = load("notice");
  const auto rect = probes("notice")["message"];
  const int left = rect[0].get<int>();
  const int top = rect[1].get<int>() + rect[3].get<int>() / 2;  // the second line: the Hangul one
  const int width = rect[2].get<int>();
  const int bottom = rect[1].get<int>() + rect[3].get<int>();
  const QColor plate = at(image, 5, 46);
  const auto ink = [&](int x, int y) { return lightness(at(image, x, y)) - lightness(plate) > 120; };
  // Cut the line into glyph-sized pieces at the empty columns and compare their pictures.
  std::vector<std::pair<int, int>> pieces;
  int start = -1;
  for (int x = left; x < left + width; ++x) {
    bool any = false;
    for (int y = top; y < bottom && !any; ++y) any = ink(x, y);
    if (any && start < 0) start = x;
    if (!any && start >= 0) {
      pieces.emplace_back(start, x);
      start = -1;
    }
  }
  ASSERT_GE(pieces.size(), 6u) << "too few glyphs in the Hangul line";
  std::set<std::vector<bool>> shapes;
  for (const auto& [from, to] : pieces) {
    std::vector<bool> bits;
    for (int y = top; y < bottom; ++y) {
      for (int x = from; x < to; ++x) bits.push_back(ink(x, y));
    }
    shapes.insert(bits);
  }
  // Missing glyphs are all the same empty box; real ones differ from one another.
  EXPECT_GE(shapes.size(), 6u);
}

QRect rectOf(const nlohmann::json& r) {
  return {r[0].get<int>(), r[1].get<int>(), r[2].get<int>(), r[3].get<int>()};
}

// The rows (or columns) of `area` holding at least one pixel that `ink` accepts.
template <typename Ink>
std::vector<int> inkRows(const QImage& image, const QRect& area, Ink ink) {
  std::vector<int> rows;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (ink(at(image, x, y))) {
        rows.push_back(y);
        break;
      }
    }
  }
  return rows;
}

template <typename Ink>
std::vector<int> inkColumns(const QImage& image, const QRect& area, Ink ink) {
  std::vector<int> columns;
  for (int x = area.left(); x <= area.right(); ++x) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
      if (ink(at(image, x, y))) {
        columns.push_back(x);
        break;
      }
    }
  }
  return columns;
}

// The largest run of empty rows between two inked rows.
int widestGap(const std::vector<int>& rows) {
  int gap = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) gap = std::max(gap, rows[i] - rows[i - 1] - 1);
  return gap;
}

TEST_F(WindowShots, NoticeTextsAreOneStackCentredVertically) {
  const QImage image = load("notice");
  const auto p = probes("notice");
  const QRect title = rectOf(p["title"]);
  const QRect message = rectOf(p["message"]);
  // The stack: the message 6 px under the title, the spare height shared above and below.
  EXPECT_NEAR(message.top() - title.bottom() - 1, 6, 1);
  const int above = title.top();
  const int below = 92 - message.bottom() - 1;
  EXPECT_NEAR(above, below, 1) << "above " << above << ", below " << below;
  // The same in ink: white text over the dark plate, between the icon's column and the right edge.
  const QColor plate = at(image, 40, 2);
  const auto ink = [&](const QColor& c) { return lightness(c) - lightness(plate) > 120; };
  // Inside the plate's 1 px outline.
  const auto rows = inkRows(image, QRect(title.left(), 1, 349 - title.left(), 90), ink);
  ASSERT_FALSE(rows.empty());
  const int inkAbove = rows.front();
  const int inkBelow = 91 - rows.back();
  const int gap = widestGap(rows);
  std::printf(
      "notice: label stack %d px above, %d px below, labels %d px apart; ink %d above, %d below, "
      "widest gap %d\n",
      above, below, message.top() - title.bottom() - 1, inkAbove, inkBelow, gap);
  EXPECT_LE(std::abs(inkAbove - inkBelow), 6);
  // Title to message in ink: the stack's 6 plus the fonts' own space under and over the glyphs
  // (about 15); texts spread over the plate leave about 29.
  EXPECT_LE(gap, 18);
}

TEST_F(WindowShots, NoticeWithoutACompositorIsAPlateToItsCornersInALightOutline) {
  const auto p = probes("notice");
  ASSERT_FALSE(p["translucent"].get<bool>());  // the private server runs no compositing manager
  const QImage image = load("notice");
  // rgba(30, 32, 36, 224) as it shows over black, in all four corners inside the outline.
  for (const auto& [x, y] : {std::pair{1, 1}, std::pair{348, 1}, std::pair{1, 90}, std::pair{348, 90}}) {
    expectNear(at(image, x, y), 26, 28, 32, 2);
  }
  // The 1 px outline that keeps the plate apart from a dark desktop, on every side.
  for (const auto& [x, y] : {std::pair{0, 0}, std::pair{349, 0}, std::pair{0, 91}, std::pair{349, 91},
                             std::pair{175, 0}, std::pair{175, 91}, std::pair{0, 46}, std::pair{349, 46}}) {
    expectNear(at(image, x, y), 0x63, 0x66, 0x6D, 2);
  }
}

TEST_F(WindowShots, SetupNameCaptionFitsItsColumn) {
  const QImage image = load("login-empty");
  const QRect caption = rectOf(probes("login-empty")["setupNameCaption"]);
  EXPECT_EQ(caption.width(), 68);
  // Light text over the backdrop.
  const auto ink = [](const QColor& c) { return lightness(c) > 3 * 170; };
  const auto columns = inkColumns(image, caption, ink);
  ASSERT_FALSE(columns.empty());
  std::printf("SETUP NAME caption: ink x %d..%d (%d px) in the column x %d..%d\n", columns.front(),
              columns.back(), columns.back() - columns.front() + 1, caption.left(), caption.right());
  // Nothing cut: the first letter starts inside the column, clear of its left edge.
  EXPECT_GT(columns.front(), caption.left());
  EXPECT_LE(columns.back(), caption.right());
}

TEST_F(WindowShots, LogListHasNoBorderAndItsEntriesStandFourPixelsApart) {
  const QImage image = load("panel-log-full");
  const auto p = probes("panel-log-full");
  const QRect list = rectOf(p["log"]);
  const QRect viewport = rectOf(p["logViewport"]);
  // No border line: the list's edge has the colour of its inside.
  const QColor inside = at(image, list.left() + 3, list.center().y());
  EXPECT_EQ(at(image, list.left(), list.center().y()), inside);
  // Along the top edge, within the list's 8 px margin where no text is drawn.
  EXPECT_EQ(at(image, list.center().x(), list.top()), at(image, list.center().x(), list.top() + 3));
  // Entry tops: the first inked row after an empty one.
  const auto ink = [&](const QColor& c) { return lightness(inside) - lightness(c) > 200; };
  const auto rows = inkRows(image, viewport.adjusted(0, 0, -20, 0), ink);
  std::vector<int> tops;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i == 0 || rows[i] != rows[i - 1] + 1) tops.push_back(rows[i]);
  }
  ASSERT_GE(tops.size(), 5u);
  std::vector<int> pitches;
  for (std::size_t i = 1; i < tops.size(); ++i) pitches.push_back(tops[i] - tops[i - 1]);
  std::sort(pitches.begin(), pitches.end());
  const int pitch = pitches[pitches.size() / 2];
  std::printf("log list: %zu entries visible, %d px from one entry to the next\n", tops.size(), pitch);
  EXPECT_GE(pitch, 16);
  EXPECT_LE(pitch, 18);
}

TEST_F(WindowShots, OpeningTheDirectConnectionGroupBringsItsFormIntoView) {
  const auto p = probes("panel-direct-form");
  const QRect form = rectOf(p["directForm"]);
  const QRect viewport = rectOf(p["scrollViewport"]);
  EXPECT_TRUE(viewport.contains(form)) << "form y " << form.top() << ".." << form.bottom() << ", viewport y "
                                       << viewport.top() << ".." << viewport.bottom();
  // The group's control is a triangle and a label, with no button face: its background is the
  // panel's own colour.
  const QImage image = load("panel-direct-form");
  const QRect disclosure = rectOf(p["disclosure"]);
  if (viewport.contains(disclosure)) {
    const QColor panel = at(image, disclosure.right() + 4, disclosure.center().y());
    EXPECT_EQ(at(image, disclosure.right() - 2, disclosure.top() + 1), panel);
    EXPECT_EQ(at(image, disclosure.left() + 1, disclosure.bottom() - 1), panel);
  }
}

TEST_F(WindowShots, UpdateNoticeIsItsOwn420By90WindowWithTheAlert) {
  for (const char* scene : {"update-error", "update-installed"}) {
    const auto p = probes(scene);
    const QRect host = rectOf(p["host"]);
    const QRect alert = rectOf(p["alert"]);
    EXPECT_EQ(host.size(), QSize(420, 90)) << scene;
    EXPECT_EQ(p["hostTitle"].get<std::string>(), "VantrelMac 업데이트");
    EXPECT_EQ(p["alertModality"].get<int>(), static_cast<int>(Qt::WindowModal)) << scene;
    // As wide as its window, so that a sentence keeps to one or two lines.
    EXPECT_GE(alert.width(), 420) << scene;
    std::printf("%s: window %dx%d, alert %dx%d\n", scene, host.width(), host.height(), alert.width(),
                alert.height());
  }
  // "다음 실행부터 새 버전을 사용합니다." stays on one line: two text rows of ink (title and text).
  const QImage image = load("update-installed");
  const QRect alert = rectOf(probes("update-installed")["alert"]);
  const QColor paper = at(image, alert.right() - 3, alert.top() + 3);
  const auto ink = [&](const QColor& c) { return lightness(paper) - lightness(c) > 250; };
  const auto rows =
      inkRows(image, QRect(alert.left() + 70, alert.top(), alert.width() - 80, alert.height() - 50), ink);
  int lines = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i == 0 || rows[i] > rows[i - 1] + 3) ++lines;
  }
  EXPECT_EQ(lines, 2);
}

// The symbol in `box`: drawn in the text's colour (grey levels only, no green disc), outlined
// rather than filled, with some ink.
void expectOwnSymbol(const QImage& image, const QRect& box, const char* what) {
  const QColor paper = at(image, box.left() - 3, box.top() - 3);
  int inked = 0;
  int coloured = 0;
  for (int y = box.top(); y <= box.bottom(); ++y) {
    for (int x = box.left(); x <= box.right(); ++x) {
      const QColor c = at(image, x, y);
      if (lightness(paper) - lightness(c) < 90) continue;
      ++inked;
      if (std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 24)
        ++coloured;
    }
  }
  const int area = box.width() * box.height();
  std::printf("%s: %d of %d pixels inked, %d of them coloured\n", what, inked, area, coloured);
  EXPECT_GT(inked, area / 10) << what;
  EXPECT_LT(inked, area * 6 / 10) << what;
  EXPECT_EQ(coloured, 0) << what;
}

std::vector<bool> silhouette(const QImage& image, const QRect& box) {
  const QColor paper = at(image, box.left() - 3, box.top() - 3);
  std::vector<bool> bits;
  for (int y = box.top(); y <= box.bottom(); ++y) {
    for (int x = box.left(); x <= box.right(); ++x)
      bits.push_back(lightness(paper) - lightness(at(image, x, y)) >= 90);
  }
  return bits;
}

TEST_F(WindowShots, UpdateBoxSymbolsAreTheProjectsOwnInTheTextColour) {
  const QImage box = load("update-box");
  const QImage error = load("update-box-error");
  const auto p = probes("update-box");
  const QRect arrow = rectOf(p["statusIcon"]);
  const QRect tubes = rectOf(p["rehearsalIcon"]);
  const QRect triangle = rectOf(probes("update-box-error")["statusIcon"]);
  expectOwnSymbol(box, arrow, "arrow.down.circle");
  expectOwnSymbol(box, tubes, "testtube.2");
  expectOwnSymbol(error, triangle, "exclamationmark.triangle");
  EXPECT_NE(silhouette(box, arrow), silhouette(error, triangle));
  EXPECT_EQ(p["hintPixelSize"].get<int>(), 10);
  EXPECT_EQ(p["badgePixelSize"].get<int>(), 10);
  EXPECT_EQ(p["busyNotePixelSize"].get<int>(), 12);
}

TEST_F(WindowShots, UpdateStatusTextIsCentredInItsRow) {
  const QImage image = load("update-box");
  const QRect row = rectOf(probes("update-box")["statusText"]);
  EXPECT_EQ(row.height(), 34);
  const QColor paper = at(image, row.right() - 2, row.top() + 1);
  const auto ink = [&](const QColor& c) { return lightness(paper) - lightness(c) > 200; };
  const auto rows = inkRows(image, row, ink);
  ASSERT_FALSE(rows.empty());
  const int above = rows.front() - row.top();
  const int below = row.bottom() - rows.back();
  std::printf("update status text: ink %d px from the row's top, %d px from its bottom\n", above, below);
  EXPECT_LE(std::abs(above - below), 4);
}

TEST_F(WindowShots, TabWalksTheLoginScreenInReadingOrderAndRingsTheFocus) {
  const std::vector<std::string> order{"환경설정 열기", "AUTO LOGIN",     "ID",
                                       "PASSWORD",      "SETUP NAME",     "CLIENT NUM",
                                       "CLIENT NUM ?",  "LOG IN",         "권한 설정 필요",
                                       "Permissions",   "Connection log", "환경설정 열기"};
  const QImage unfocused = load("login-focus-0");
  ASSERT_TRUE(probes("login-focus-0")["focused"].is_null());  // nothing is focused at first
  for (std::size_t step = 1; step <= order.size(); ++step) {
    const std::string scene = "login-focus-" + std::to_string(step);
    const auto p = probes(scene);
    ASSERT_TRUE(p.contains("name")) << scene;
    EXPECT_EQ(p["name"].get<std::string>(), order[step - 1]) << scene;
    const QImage focused = load(scene);
    const QRect control = rectOf(p["focused"]);
    ASSERT_TRUE(p.contains("ring")) << scene;
    const QRect ring = rectOf(p["ring"]);
    EXPECT_TRUE(ring.contains(control)) << scene;
    // The band one pixel inside the ring's edge, where its stroke is drawn, away from the corners:
    // two pixels outside the control, or inside it on a side it shares with a neighbour.
    int band = 0;
    int changed = 0;
    const auto probe = [&](int x, int y) {
      if (!QRect(0, 0, 430, 285).contains(x, y)) return;
      ++band;
      if (at(focused, x, y) != at(unfocused, x, y)) ++changed;
    };
    for (int x = ring.left() + 4; x <= ring.right() - 4; ++x) {
      probe(x, ring.top() + 1);
      probe(x, ring.bottom() - 1);
    }
    for (int y = ring.top() + 4; y <= ring.bottom() - 4; ++y) {
      probe(ring.left() + 1, y);
      probe(ring.right() - 1, y);
    }
    EXPECT_GT(changed * 10, band * 8) << scene << ": " << changed << " of " << band << " ring pixels changed";
    // The ring covers no part of another control, not even of a neighbour it sits against.
    for (const auto& other : p["others"]) {
      const QRect rect = rectOf(other).intersected(ring).intersected(QRect(0, 0, 430, 285));
      int touched = 0;
      for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) touched += at(focused, x, y) != at(unfocused, x, y);
      }
      EXPECT_EQ(touched, 0) << scene << " (" << order[step - 1] << "): " << touched
                            << " pixels of the control under the ring at " << rect.left() << "," << rect.top()
                            << " " << rect.width() << "x" << rect.height() << " changed";
    }
  }
}

// WCAG relative luminance and contrast ratio of two opaque colours.
double relativeLuminance(const QColor& c) {
  const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
  const double la = relativeLuminance(a);
  const double lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The colour that covers most of `rect`: what the text there is drawn on.
QColor backgroundOf(const QImage& image, const QRect& rect) {
  std::map<QRgb, int> counts;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x) ++counts[image.pixel(x, y)];
  }
  return QColor(std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                  return a.second < b.second;
                })->first);
}

TEST_F(WindowShots, SecondaryTextReadsAtFourAndAHalfToOneOnEveryBackground) {
  std::set<std::string> seen;
  for (const char* scene :
       {"panel-window", "panel-sheet", "panel-direct-form", "update-box", "update-box-error"}) {
    const QImage image = load(scene);
    const auto shown = probes(scene);
    for (const auto& probe : shown["secondary"]) {
      const QRect rect = rectOf(probe["rect"]);
      const std::string text = probe["text"].get<std::string>();
      const auto& c = probe["colour"];
      const QColor ink(c[0].get<int>(), c[1].get<int>(), c[2].get<int>());
      const QColor background = backgroundOf(image, rect);
      // The darkest pixel of the text: where a stroke covers a whole pixel, the colour itself.
      QColor darkest = background;
      for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
          if (lightness(at(image, x, y)) < lightness(darkest)) darkest = at(image, x, y);
        }
      }
      std::printf("%s: '%s' %s on %s, %.2f:1 (darkest pixel %s, %.2f:1)\n", scene, text.c_str(),
                  ink.name().toStdString().c_str(), background.name().toStdString().c_str(),
                  contrast(ink, background), darkest.name().toStdString().c_str(),
                  contrast(darkest, background));
      EXPECT_GE(contrast(ink, background), 4.5) << scene << ": " << text;
      EXPECT_GE(contrast(darkest, background), 4.5) << scene << ": " << text;
      seen.insert(text);
    }
  }
  // Every kind of secondary text was on show and measured.
  for (const char* text : {"Granted", "Required for remote control", "Manager host", "Port", "Manager slot",
                           "User ID", "Connected to Manager", "2/2 managers"}) {
    EXPECT_TRUE(seen.contains(text)) << text;
  }
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string& t) {
    return t.starts_with("다운로드·설치는 알림에서 선택합니다.");
  }));
}

TEST_F(WindowShots, NoticeSitsBottomRightWithEighteenPixelMargins) {
  const auto place = probes("notice")["screenPosition"];
  EXPECT_EQ(place[0].get<int>(), 1280 - 18 - 350);
  EXPECT_EQ(place[1].get<int>(), 1024 - 18 - 92);
}

// A frame half way through a resize: strictly between the login screen's size and the panel's.
void expectHalfWay(const QImage& frame, const char* scene) {
  EXPECT_GT(frame.width(), 430) << scene;
  EXPECT_LT(frame.width(), 620) << scene;
  EXPECT_GT(frame.height(), 285) << scene;
  EXPECT_LT(frame.height(), 680) << scene;
}

TEST_F(WindowShots, HalfWayThroughTheSignInGrowTheLoginPageShowsOneState) {
  // The model announced the sign-in in two steps; the page shows where they led, as a window at
  // rest in that state shows it, pixel for pixel.
  const QImage frame = load("login-grow-middle");
  expectHalfWay(frame, "grow");
  const QRect page = rectOf(probes("login-grow-middle")["page"]);
  EXPECT_EQ(probes("login-grow-middle")["statusMessage"].get<std::string>(),
            "Signed in \u2014 connecting through server route");
  const QImage still = load("login-connecting");
  ASSERT_EQ(page.size(), still.size());
  int differing = 0;
  QPoint first(-1, -1);
  for (int y = 0; y < still.height(); ++y) {
    for (int x = 0; x < still.width(); ++x) {
      const QColor a = at(frame, page.x() + x, page.y() + y);
      const QColor b = at(still, x, y);
      if (std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                    std::abs(a.blue() - b.blue())}) > 3) {
        if (differing++ == 0) first = QPoint(x, y);
      }
    }
  }
  EXPECT_EQ(differing, 0) << "first at " << first.x() << "," << first.y() << " of the page";
}

TEST_F(WindowShots, HalfWayThroughTheShrinkTheFocusRingIsAroundItsControl) {
  const QImage frame = load("login-shrink-middle");
  expectHalfWay(frame, "shrink");
  const auto found = probes("login-shrink-middle");
  ASSERT_TRUE(found.contains("ring")) << "no ring on show";
  const QRect focused = rectOf(found["focused"]);
  const QRect ring = rectOf(found["ring"]);
  EXPECT_EQ(ring, focused.adjusted(-3, -3, 3, 3));
  // Drawn there: the middles of its four strokes are the ring's light blue.
  const QRect around = focused.adjusted(-3, -3, 3, 3);
  for (const QPoint stroke :
       {QPoint(around.center().x(), around.top() + 1), QPoint(around.center().x(), around.bottom() - 1),
        QPoint(around.left() + 1, around.center().y()), QPoint(around.right() - 1, around.center().y())}) {
    SCOPED_TRACE(std::to_string(stroke.x()) + "," + std::to_string(stroke.y()));
    expectNear(at(frame, stroke.x(), stroke.y()), 0xA8, 0xD4, 0xFF);
  }
}

}  // namespace
}  // namespace vantrel
