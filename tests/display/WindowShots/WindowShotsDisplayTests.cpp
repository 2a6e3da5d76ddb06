#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "display/Input/PrivateXServer.hpp"

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
    testing::PrivateXServer server("1280x1024x24");
    ASSERT_TRUE(server.display().has_value());
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("DISPLAY", server.display()->c_str(), 1);
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
      {"login-empty", {430, 285}},     {"login-busy", {430, 285}},   {"login-error", {430, 285}},
      {"login-signed-in", {430, 285}}, {"panel-window", {620, 680}}, {"panel-sheet", {620, 680}},
      {"panel-log-full", {620, 680}},  {"notice", {350, 92}},        {"backdrop", {430, 285}},
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

TEST_F(WindowShots, NoticeSitsBottomRightWithEighteenPixelMargins) {
  const auto place = probes("notice")["screenPosition"];
  EXPECT_EQ(place[0].get<int>(), 1280 - 18 - 350);
  EXPECT_EQ(place[1].get<int>(), 1024 - 18 - 92);
}

}  // namespace
}  // namespace vantrel
