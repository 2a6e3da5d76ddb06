#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Model/Update/NonblockingUpdateUserDriver.hpp"
#include "UI/StatusWindowWidget.hpp"
#include "UI/UpdateDialogs.hpp"
#include "support/FakeStatusModel.hpp"
#include "support/HeldResize.hpp"
#include "support/PrivateXServer.hpp"
#include "support/QtTestApp.hpp"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProgressDialog>
#include <QScreen>
#include <QTest>
#include <QVariantAnimation>
#include <QWindow>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// The update windows and the status window as a user meets them under a window manager that
// draws what it likes: openbox, which offers minimise on any window, places windows where the
// program asks, and moves, sizes and draws its frame before it sizes the window in it.
// The suite runs on an X server of its own with openbox managing it; the test's Qt application
// connects to that server.

namespace vantrel {
namespace {

namespace fs = std::filesystem;

// The server and its manager, up before the first test makes the QApplication and ended after
// the last. A manager that does not come up fails every test instead of hanging the suite.
class ManagedDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/vantrel-wm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    server_.emplace(1280, 800);
    const std::string display = server_->displayName();
    watcher_ = XOpenDisplay(display.c_str());
    ASSERT_NE(watcher_, nullptr);
    const Window root = DefaultRootWindow(watcher_);
    XSelectInput(watcher_, root, PropertyChangeMask);
    XSync(watcher_, False);
    manager_ = ::fork();
    ASSERT_GE(manager_, 0);
    if (manager_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::setenv("DISPLAY", display.c_str(), 1);
      // Whatever openbox keeps (its cache, a session) stays in the suite's folder.
      for (const char* name :
           {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
        ::setenv(name, folder_.c_str(), 1);
      }
      if (std::freopen((folder_ / "openbox.log").c_str(), "w", stderr)) ::dup2(STDERR_FILENO, STDOUT_FILENO);
      ::execlp("openbox", "openbox", "--sm-disable", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The manager is ready when it takes a window of ours: a probe is mapped once the manager has
    // announced itself on the root window, and mapped again while no answer comes (a request
    // that reached it while it was still starting may be passed over). Its exit ends the wait.
    const Atom check = XInternAtom(watcher_, "_NET_SUPPORTING_WM_CHECK", False);
    const Atom state = XInternAtom(watcher_, "WM_STATE", False);
    const Window probe = XCreateSimpleWindow(watcher_, root, 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(watcher_, probe, PropertyChangeMask);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::chrono::steady_clock::time_point mapped{};
    while (!hasProperty(probe, state)) {
      ASSERT_EQ(::waitpid(manager_, nullptr, WNOHANG), 0) << "openbox ended; see " << folder_ / "openbox.log";
      const auto now = std::chrono::steady_clock::now();
      ASSERT_LT(now, deadline) << "openbox did not take the display";
      if (hasProperty(root, check) && now - mapped > std::chrono::seconds(1)) {
        XUnmapWindow(watcher_, probe);
        XMapWindow(watcher_, probe);
        XFlush(watcher_);
        mapped = now;
      }
      pollfd watch{ConnectionNumber(watcher_), POLLIN, 0};
      ::poll(&watch, 1, 100);
      while (XPending(watcher_) > 0) {
        XEvent event;
        XNextEvent(watcher_, &event);
      }
    }
    XDestroyWindow(watcher_, probe);
    XSync(watcher_, False);
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    testing::uiApp();
    ready = true;
  }
  void TearDown() override {
    // The application is never destroyed (as in every widget test); its connection simply ends.
    if (manager_ > 0) {
      const bool ended = ::waitpid(manager_, nullptr, WNOHANG) == manager_;
      if (!ended) {
        ::kill(manager_, SIGTERM);
        ::waitpid(manager_, nullptr, 0);
      }
      // What the manager said, for a failure that comes from it.
      if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) {
        std::ifstream log(folder_ / "openbox.log");
        std::cerr << "openbox " << (ended ? "had ended" : "was running") << "; its log:\n" << log.rdbuf();
      }
    }
    if (watcher_) XCloseDisplay(watcher_);
    server_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  static inline bool ready = false;

 private:
  bool hasProperty(Window window, Atom atom) {
    int count = 0;
    Atom* atoms = XListProperties(watcher_, window, &count);
    bool found = false;
    for (int i = 0; i < count; ++i) found = found || atoms[i] == atom;
    if (atoms) XFree(atoms);
    return found;
  }
  fs::path folder_;
  std::optional<testing::PrivateXServer> server_;
  Display* watcher_ = nullptr;
  pid_t manager_ = -1;
};

[[maybe_unused]] const auto* const managedDisplay = ::testing::AddGlobalTestEnvironment(new ManagedDisplay);

// A window's frame as the manager drew it, in root coordinates.
struct Frame {
  int x = 0, y = 0, width = 0, height = 0;
  int titleHeight = 0;
  bool intersects(const Frame& o) const {
    return x < o.x + o.width && o.x < x + width && y < o.y + o.height && o.y < y + height;
  }
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
  return out << f.width << "x" << f.height << "+" << f.x << "+" << f.y;
}

// Reads what the manager and the server hold, over a connection of the test's own.
class Reader {
 public:
  Reader() : display_(XOpenDisplay(nullptr)) {}
  ~Reader() {
    if (display_) XCloseDisplay(display_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  Display* display() const { return display_; }

  std::vector<unsigned long> cardinals(Window window, const char* name) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display_, window, atom(name), 0, 1024, False, AnyPropertyType, &type, &format,
                           &items, &after, &data) == Success &&
        data != nullptr && format == 32) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      out.assign(values, values + items);
    }
    if (data) XFree(data);
    return out;
  }
  // ICCCM WM_STATE: NormalState (1), IconicState (3); 0 while the manager has not taken it.
  unsigned long wmState(Window window) {
    const auto values = cardinals(window, "WM_STATE");
    return values.empty() ? 0 : values.front();
  }
  Window activeWindow() {
    const auto values = cardinals(DefaultRootWindow(display_), "_NET_ACTIVE_WINDOW");
    return values.empty() ? 0 : values.front();
  }
  // Managed: the manager has given it a state and told the size of its frame.
  bool managed(Window window) {
    return wmState(window) == NormalState && cardinals(window, "_NET_FRAME_EXTENTS").size() == 4;
  }
  // The window's own rectangle, without the manager's frame, in root coordinates.
  QRect contents(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
  }
  Frame frame(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    const auto extents = cardinals(window, "_NET_FRAME_EXTENTS");  // left, right, top, bottom
    if (extents.size() != 4) return {x, y, attributes.width, attributes.height, 0};
    const int left = static_cast<int>(extents[0]), right = static_cast<int>(extents[1]);
    const int top = static_cast<int>(extents[2]), bottom = static_cast<int>(extents[3]);
    return {x - left, y - top, attributes.width + left + right, attributes.height + top + bottom, top};
  }
  bool allows(Window window, const char* action) {
    const auto actions = cardinals(window, "_NET_WM_ALLOWED_ACTIONS");
    return std::find(actions.begin(), actions.end(), atom(action)) != actions.end();
  }
  void iconify(Window window) {
    XIconifyWindow(display_, window, DefaultScreen(display_));
    XFlush(display_);
  }

 private:
  Atom atom(const char* name) { return XInternAtom(display_, name, False); }
  Display* display_;
};

Window idOf(const QWidget* widget) { return static_cast<Window>(widget->winId()); }

// Whether the window's contents are drawn on the screen: most of its pixels are not the black
// of an unpainted window (the notice is light grey with dark text).
bool drawn(Reader& reader, Window window) {
  XWindowAttributes attributes{};
  XGetWindowAttributes(reader.display(), window, &attributes);
  int x = 0, y = 0;
  Window child = 0;
  XTranslateCoordinates(reader.display(), window, DefaultRootWindow(reader.display()), 0, 0, &x, &y, &child);
  const QImage image = QGuiApplication::primaryScreen()
                           ->grabWindow(0, x, y, attributes.width, attributes.height)
                           .toImage()
                           .convertToFormat(QImage::Format_RGB32);
  if (image.isNull()) return false;
  qsizetype black = 0;
  for (int row = 0; row < image.height(); ++row) {
    for (int column = 0; column < image.width(); ++column) black += qGray(image.pixel(column, row)) < 16;
  }
  return black * 2 < qsizetype(image.width()) * image.height();
}

// A picture of the whole screen for the eye, when VANTREL_UPDATE_SHOTS names a folder.
void shoot(const char* name) {
  const char* folder = std::getenv("VANTREL_UPDATE_SHOTS");
  if (folder == nullptr || *folder == '\0') return;
  QTest::qWait(0);
  QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(fs::path(folder) / name) +
                                                       ".png");
}

// A part of the screen as the server shows it at this very moment: read over `display`, without
// letting the application run (and paint) first.
QImage screenNow(Display* display, const QRect& area) {
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), area.x(), area.y(), static_cast<unsigned>(area.width()),
                static_cast<unsigned>(area.height()), AllPlanes, ZPixmap);
  QImage picture(area.size(), QImage::Format_RGB32);
  for (int row = 0; image != nullptr && row < area.height(); ++row) {
    for (int column = 0; column < area.width(); ++column)
      picture.setPixel(column, row, static_cast<QRgb>(XGetPixel(image, column, row) & 0xFFFFFF));
  }
  if (image != nullptr) XDestroyImage(image);
  return picture;
}

AppcastItem offeredItem() {
  AppcastItem item;
  item.versionString = "112";
  item.displayVersionString = "1.1.2";
  return item;
}

constexpr int waitLimit = 10'000;  // ms; each wait ends as soon as the server shows the state

// Where the manager's frames were when they first came on screen, from the server's
// announcements about the windows at the top of the tree since this watcher was made.
class FirstMaps {
 public:
  FirstMaps() : display_(XOpenDisplay(nullptr)) {
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
  }
  ~FirstMaps() { XCloseDisplay(display_); }
  FirstMaps(const FirstMaps&) = delete;
  FirstMaps& operator=(const FirstMaps&) = delete;

  // The frame rectangle in which `client` first came on screen, once it has.
  std::optional<Frame> firstShown(Window client) {
    XSync(display_, False);
    while (XPending(display_) > 0) {
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type == CreateNotify)
        at_[e.xcreatewindow.window] = {e.xcreatewindow.x, e.xcreatewindow.y, e.xcreatewindow.width,
                                       e.xcreatewindow.height};
      if (e.type == ConfigureNotify)
        at_[e.xconfigure.window] = {e.xconfigure.x, e.xconfigure.y, e.xconfigure.width, e.xconfigure.height};
      if (e.type == ReparentNotify) frameOf_[e.xreparent.window] = e.xreparent.parent;
      if (e.type == MapNotify) mapped_.try_emplace(e.xmap.window, at_[e.xmap.window]);
    }
    const auto frame = frameOf_.find(client);
    if (frame == frameOf_.end() || !mapped_.contains(frame->second)) return std::nullopt;
    return mapped_[frame->second];
  }

 private:
  Display* display_;
  std::map<Window, Frame> at_, mapped_;
  std::map<Window, Window> frameOf_;
};

class UpdateNoticeUnderManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ManagedDisplay::ready);
    ASSERT_NE(reader.display(), nullptr);
    driver->onError = [this](const UpdaterError&) { ++errors; };
  }
  // The notice's alert: the open window that hangs from the notice's own window.
  QWidget* alert() const {
    for (QWidget* window : presenter->openDialogs()) {
      if (window->parentWidget() != nullptr && window->parentWidget() == presenter->noticeWindow())
        return window;
    }
    return nullptr;
  }
  // The update dialog on screen beside the notice.
  QWidget* updateDialog() const {
    for (QWidget* window : presenter->openDialogs()) {
      if (window != alert()) return window;
    }
    return nullptr;
  }
  // An unanswered error notice, managed and on screen.
  void openErrorNotice() {
    driver->showUpdaterError(updater_errors::make(updater_errors::notInstallableHere, "test"),
                             [this] { ++acks; });
    ASSERT_NE(presenter->noticeWindow(), nullptr);
    ASSERT_NE(alert(), nullptr);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return reader.managed(idOf(presenter->noticeWindow())) && reader.managed(idOf(alert())); },
        waitLimit))
        << "notice window state " << reader.wmState(idOf(presenter->noticeWindow())) << ", alert state "
        << reader.wmState(idOf(alert())) << ", frame extents "
        << reader.cardinals(idOf(presenter->noticeWindow()), "_NET_FRAME_EXTENTS").size() << "/"
        << reader.cardinals(idOf(alert()), "_NET_FRAME_EXTENTS").size();
    // The application has heard where the manager put them, as it has long before a later
    // check's result arrives: what the server holds is read first; then everything the manager
    // sent the application before that has been read and handled once a round trip on the
    // application's own connection is back. What the program reads when it places a dialog: the
    // notice window's frame and the alert's own rectangle (Qt learns a frame only when the window
    // moves, and the alert is mapped where it stays).
    const auto heard = [&] {
      QWidget* host = presenter->noticeWindow();
      QWidget* sheet = alert();
      const Frame f = reader.frame(idOf(host));
      const QRect hostFrame(f.x, f.y, f.width, f.height);
      const QRect sheetContents = reader.contents(idOf(sheet));
      XSync(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display(), False);
      QCoreApplication::processEvents();
      return host->frameGeometry() == hostFrame && sheet->geometry() == sheetContents;
    };
    ASSERT_TRUE(QTest::qWaitFor(heard, waitLimit));
  }
  void waitManaged(QWidget* window) {
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.managed(idOf(window)); }, waitLimit));
  }

  Reader reader;
  std::shared_ptr<QtUpdateDialogPresenter> presenter = std::make_shared<QtUpdateDialogPresenter>();
  std::shared_ptr<NonblockingUpdateUserDriver> driver =
      std::make_shared<NonblockingUpdateUserDriver>(presenter);
  int acks = 0;
  int errors = 0;
};

// The manager's minimise hides the notice and its window together; with no task list to bring
// them back, the next result is rejected as a duplicate. The rejection brings the notice back.
TEST_F(UpdateNoticeUnderManager, ARejectedNoticeBringsTheMinimisedOneBackToTheFront) {
  ASSERT_NO_FATAL_FAILURE(openErrorNotice());
  const Window host = idOf(presenter->noticeWindow());
  const Window sheet = idOf(alert());
  // The user's minimise, pressed again while the manager has not yet acted on it (a request made
  // just after it took the window is now and then passed over).
  auto pressed = std::chrono::steady_clock::time_point{};
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        if (std::chrono::steady_clock::now() - pressed > std::chrono::seconds(1)) {
          reader.iconify(sheet);
          pressed = std::chrono::steady_clock::now();
        }
        return reader.wmState(host) == IconicState && reader.wmState(sheet) == IconicState;
      },
      waitLimit))
      << "openbox did not minimise the notice";

  // A later check's result: "업데이트 확인…" from the tray finds nothing new.
  driver->showUpdateNotFound(updater_errors::make(updater_errors::noUpdate, "none"), [this] { ++acks; });
  EXPECT_EQ(acks, 1);  // the duplicate is answered at once, as before
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const Window active = reader.activeWindow();
        return reader.wmState(host) == NormalState && reader.wmState(sheet) == NormalState &&
               (active == sheet || active == host);
      },
      waitLimit))
      << "host state " << reader.wmState(host) << ", alert state " << reader.wmState(sheet) << ", active 0x"
      << std::hex << reader.activeWindow();
  // Back with its text and its button, not as empty frames.
  EXPECT_TRUE(QTest::qWaitFor([&] { return drawn(reader, sheet); }, waitLimit));
  shoot("notice-back-after-rejected-duplicate");
  // Still the first notice, unanswered, with its error reported once per call.
  EXPECT_EQ(idOf(alert()), sheet);
  EXPECT_EQ(acks, 1);
  EXPECT_EQ(errors, 1);
}

// A notice that is on screen but under another window is raised and activated the same way.
TEST_F(UpdateNoticeUnderManager, ARejectedNoticeActivatesTheOpenOneFromBehindAnotherWindow) {
  ASSERT_NO_FATAL_FAILURE(openErrorNotice());
  const Window sheet = idOf(alert());
  QWidget other;
  other.setWindowTitle(QStringLiteral("other"));
  other.resize(600, 400);
  other.show();
  other.raise();
  other.activateWindow();
  // Active for the manager and for the application alike. Qt holds the activation request of a
  // window that is not mapped yet until it hears of the map, which comes before the focus: the
  // manager may give the window the focus first (it focuses new windows), and a request still
  // held then would go out after the notice's and take the focus back from it.
  ASSERT_TRUE(QTest::qWaitFor([&] { return reader.activeWindow() == idOf(&other) && other.isActiveWindow(); },
                              waitLimit));
  driver->showUpdaterError(updater_errors::make(updater_errors::feedFailed, "test"), [this] { ++acks; });
  EXPECT_EQ(acks, 1);
  EXPECT_EQ(errors, 2);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const Window active = reader.activeWindow();
        return active == sheet || active == idOf(presenter->noticeWindow());
      },
      waitLimit));
}

// A scheduled check finds a new version while a notice waits for its "확인": the update dialog
// opens beside the notice, never over it, and stays on the screen. The same for every dialog of
// an update cycle.
TEST_F(UpdateNoticeUnderManager, AnUpdateDialogNeverCoversAnOpenNotice) {
  struct Case {
    const char* name;
    std::function<void(StandardUserDriver&)> open;
  };
  const std::vector<Case> cases = {
      {"update found",
       [](StandardUserDriver& d) { d.showUpdateFound(offeredItem(), [](UpdateFoundChoice) {}); }},
      {"download", [](StandardUserDriver& d) { d.showDownloadProgress(10, 1000, [] {}); }},
      {"ready to install",
       [](StandardUserDriver& d) { d.showReadyToInstall(offeredItem(), [](ReadyToInstallChoice) {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    presenter = std::make_shared<QtUpdateDialogPresenter>();
    driver = std::make_shared<NonblockingUpdateUserDriver>(presenter);
    ASSERT_NO_FATAL_FAILURE(openErrorNotice());
    c.open(*driver);
    QWidget* dialog = updateDialog();
    ASSERT_NO_FATAL_FAILURE(waitManaged(dialog));
    // The manager may take the window first and move it afterwards: wait for the placement.
    Frame host, sheet, other;
    const auto apart = [&] {
      host = reader.frame(idOf(presenter->noticeWindow()));
      sheet = reader.frame(idOf(alert()));
      other = reader.frame(idOf(dialog));
      return !other.intersects(sheet) && !other.intersects(host);
    };
    EXPECT_TRUE(QTest::qWaitFor(apart, waitLimit))
        << "dialog " << other << " over the alert " << sheet << " or the notice window " << host;
    if (std::string(c.name) == "update found") shoot("update-found-beside-notice");
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(screen.contains(QRect(other.x, other.y, other.width, other.height))) << other;
    presenter->dismissAll();
    driver.reset();
    presenter.reset();  // answers the notice
  }
}

// Each update dialog opened beside a notice comes on screen at its place beside it: its first
// frame is not drawn over the notice (at the screen's centre) and moved away afterwards.
TEST_F(UpdateNoticeUnderManager, AnUpdateDialogComesOnScreenWhereItStays) {
  const std::vector<std::pair<const char*, std::function<void(StandardUserDriver&)>>> cases = {
      {"update found",
       [](StandardUserDriver& d) { d.showUpdateFound(offeredItem(), [](UpdateFoundChoice) {}); }},
      {"download", [](StandardUserDriver& d) { d.showDownloadProgress(10, 1000, [] {}); }},
      {"ready to install",
       [](StandardUserDriver& d) { d.showReadyToInstall(offeredItem(), [](ReadyToInstallChoice) {}); }},
  };
  for (const auto& [name, open] : cases) {
    SCOPED_TRACE(name);
    presenter = std::make_shared<QtUpdateDialogPresenter>();
    driver = std::make_shared<NonblockingUpdateUserDriver>(presenter);
    ASSERT_NO_FATAL_FAILURE(openErrorNotice());
    const Frame host = reader.frame(idOf(presenter->noticeWindow()));
    const Frame sheet = reader.frame(idOf(alert()));
    FirstMaps maps;
    open(*driver);
    QWidget* dialog = updateDialog();
    ASSERT_NO_FATAL_FAILURE(waitManaged(dialog));
    std::optional<Frame> first;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (first = maps.firstShown(idOf(dialog))).has_value(); }, waitLimit));
    EXPECT_FALSE(first->intersects(host) || first->intersects(sheet))
        << "first shown at " << *first << " over the notice " << host << " / " << sheet;
    // And it stays there: the manager has not moved it since.
    XSync(reader.display(), False);
    const Frame now = reader.frame(idOf(dialog));
    EXPECT_EQ(std::pair(first->x, first->y), std::pair(now.x, now.y))
        << "first " << *first << ", now " << now;
    presenter->dismissAll();
    driver.reset();
    presenter.reset();  // answers the notice
  }
}

// The download window shows its whole title in the manager's title bar (beside the manager's
// icon and buttons) and cannot be resized.
TEST_F(UpdateNoticeUnderManager, TheDownloadWindowFitsItsTitleAndKeepsItsSize) {
  driver->showDownloadProgress(20, 1000, [] {});
  QWidget* window = updateDialog();
  ASSERT_NO_FATAL_FAILURE(waitManaged(window));
  const Window id = idOf(window);
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(reader.display(), id, &hints, &supplied));
  EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
  EXPECT_EQ(hints.min_width, hints.max_width);
  EXPECT_EQ(hints.min_height, hints.max_height);
  EXPECT_FALSE(reader.allows(id, "_NET_WM_ACTION_RESIZE"));
  EXPECT_FALSE(reader.allows(id, "_NET_WM_ACTION_MAXIMIZE_HORZ"));

  const Frame frame = reader.frame(id);
  ASSERT_GT(frame.titleHeight, 0);
  // The title in a bold face of the application's size (a manager's title font is rarely larger),
  // and four square controls of the bar's height: the window menu, minimise, maximise and close.
  QFont bold = QGuiApplication::font();
  bold.setBold(true);
  const int title = QFontMetrics(bold).horizontalAdvance(window->windowTitle());
  EXPECT_GE(frame.width, title + 4 * frame.titleHeight) << "frame " << frame << ", title " << title << " px";
  shoot("download-window");
  driver->dismissUpdateInstallation();
}

// The status window as the server shows it: where its login page is (found by the backdrop's
// colours) and how many pixels beside the page are not the window's own colour.
struct PageOnScreen {
  QRect page;
  int strayPixels = 0;
};

std::ostream& operator<<(std::ostream& out, const PageOnScreen& seen) {
  return out << "page " << seen.page.width() << "x" << seen.page.height() << "+" << seen.page.x() << "+"
             << seen.page.y() << ", " << seen.strayPixels << " pixels beside it not of the window's colour";
}

PageOnScreen pageOnScreen(const QImage& picture, QColor windowColour) {
  // The backdrop's gradient runs from #42667D to #365973, with faint triangles over it.
  const auto backdrop = [](QColor c) {
    return c.red() >= 50 && c.red() <= 80 && c.green() >= 85 && c.green() <= 116 && c.blue() >= 110 &&
           c.blue() <= 140 && c.blue() - c.red() > 40;
  };
  std::vector<int> rows(static_cast<std::size_t>(picture.height())),
      columns(static_cast<std::size_t>(picture.width()));
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      if (!backdrop(picture.pixelColor(x, y))) continue;
      ++rows[static_cast<std::size_t>(y)];
      ++columns[static_cast<std::size_t>(x)];
    }
  }
  // The page spans the rows and columns well filled with backdrop.
  const auto span = [](const std::vector<int>& counts) {
    const auto full = [](int n) { return n >= 60; };
    const auto first = std::find_if(counts.begin(), counts.end(), full);
    const auto last = std::find_if(counts.rbegin(), counts.rend(), full);
    return std::pair(static_cast<int>(first - counts.begin()), static_cast<int>(counts.rend() - last) - 1);
  };
  const auto [top, bottom] = span(rows);
  const auto [left, right] = span(columns);
  PageOnScreen seen{QRect(QPoint(left, top), QPoint(right, bottom))};
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      const QColor c = picture.pixelColor(x, y);
      seen.strayPixels += !seen.page.contains(x, y) && (std::abs(c.red() - windowColour.red()) > 2 ||
                                                        std::abs(c.green() - windowColour.green()) > 2 ||
                                                        std::abs(c.blue() - windowColour.blue()) > 2);
    }
  }
  return seen;
}

// The status window on a display that openbox manages, signed out, with the model's delays held.
class StatusWindowUnderManager : public ::testing::Test, protected testing::StatusWindowBench {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ManagedDisplay::ready);
    ASSERT_NE(reader.display(), nullptr);
    makePresenter();
    window = std::make_unique<StatusWindowWidget>(*presenter, QStringLiteral("v1.0.0"), UpdateBoxFactory{});
    window->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.managed(idOf(window.get())); }, waitLimit));
    // Each change of the window's size is announced to the reader from here on.
    XSelectInput(reader.display(), idOf(window.get()), StructureNotifyMask);
    ASSERT_TRUE(QTest::qWaitFor([&] { return centredPage(0); }, waitLimit)) << seen;
  }
  void TearDown() override {
    window.reset();
    presenter.reset();
  }
  // The window's own colour, which its empty area shows.
  QColor windowColour() const { return window->palette().color(QPalette::Window); }
  // Whether the server shows the login page whole, at the centre of the window's content (within
  // `slack` px), with nothing but the window's colour around it.
  bool centredPage(int slack) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(reader.display(), idOf(window.get()), &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(reader.display(), idOf(window.get()), DefaultRootWindow(reader.display()), 0, 0, &x,
                          &y, &child);
    content = screenNow(reader.display(), QRect(x, y, attributes.width, attributes.height));
    seen = pageOnScreen(content, windowColour());
    const QPoint centred((attributes.width - 430) / 2, (attributes.height - 285) / 2);
    return seen.page.size() == QSize(430, 285) &&
           (seen.page.topLeft() - centred).manhattanLength() <= slack && seen.strayPixels == 0;
  }
  // Waits, for a bounded time and without letting the application run, until the server holds the
  // window at `size`: the manager sizes it last, after its frame.
  bool serverHolds(QSize size) {
    Display* display = reader.display();
    const Window id = idOf(window.get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitLimit);
    while (true) {
      XWindowAttributes attributes{};
      XGetWindowAttributes(display, id, &attributes);
      if (QSize(attributes.width, attributes.height) == size) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd watch{ConnectionNumber(display), POLLIN, 0};
      ::poll(&watch, 1, static_cast<int>(left.count()));
      while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
      }
    }
  }
  QVariantAnimation* heldResize() { return testing::heldResize(window.get()); }
  // Where the server shows the top-left corner of the window's content.
  QPoint contentOnScreen() {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(reader.display(), idOf(window.get()), DefaultRootWindow(reader.display()), 0, 0, &x,
                          &y, &child);
    return {x, y};
  }
  // Moves the content to `at` and waits until the manager has put it there and the program knows.
  bool placedAt(QPoint at) {
    window->windowHandle()->setPosition(at);
    return QTest::qWaitFor([&] { return contentOnScreen() == at && window->geometry().topLeft() == at; },
                           waitLimit);
  }
  // Waits until the window rests at `size`: the server holds it, and the resize has ended with the
  // window's limits closed on it.
  bool restsAt(QSize size) {
    return QTest::qWaitFor(
        [&] {
          return window->size() == size && window->minimumSize() == size && window->maximumSize() == size &&
                 WindowContentResizer::runningAnimation(window.get()) == nullptr && serverHolds(size);
        },
        waitLimit);
  }
  // Signs in afresh: signed out first, so that the sign-in is a change the presenter reacts to.
  void signIn() {
    model->change([](StatusViewState& s) {
      s.isAccountAuthenticated = false;
      s.connectionState = DirectAuthState::idle;
    });
    model->change([](StatusViewState& s) {
      s.isAccountAuthenticated = true;
      s.connectionState = DirectAuthState::authenticated;
    });
  }
  // Steps the resize through `eighths` of its course; at each step the page is looked at as soon
  // as the server holds the new size (before the program has painted it) and again once painted.
  void expectThePageInPlaceThroughout(QVariantAnimation* animation, const char* change) {
    for (const int eighth : {1, 2, 3, 4, 5, 6, 7}) {
      animation->setCurrentTime(animation->duration() * eighth / 8);
      const QSize asked = animation->currentValue().toRect().size();
      ASSERT_TRUE(serverHolds(asked)) << change << " " << eighth << "/8: the manager never gave "
                                      << asked.width() << "x" << asked.height();
      // X's centre gravity and Qt's layout round half a pixel each their own way.
      EXPECT_TRUE(centredPage(1)) << change << " " << eighth << "/8 at " << asked.width() << "x"
                                  << asked.height() << ", before the program painted it: " << seen;
      if (eighth == 4) saveShot(change);
      EXPECT_TRUE(QTest::qWaitFor([&] { return window->size() == asked && centredPage(0); }, waitLimit))
          << change << " " << eighth << "/8, painted: " << seen;
    }
    animation->setCurrentTime(animation->duration());
  }

  // The window's content as last looked at, for the eye when VANTREL_UPDATE_SHOTS names a folder.
  void saveShot(const char* name) const {
    if (const char* folder = std::getenv("VANTREL_UPDATE_SHOTS"); folder != nullptr && *folder != '\0')
      content.save(QString::fromStdString(fs::path(folder) / name) + ".png");
  }

  Reader reader;
  std::unique_ptr<StatusWindowWidget> window;
  QImage content;
  PageOnScreen seen;
};

// The sign-in grows the window to the panel and closing the panel shrinks it back, animated. The
// manager moves and sizes its frame, draws it, and only then sizes the window in it; the program
// paints a size once it has arrived. Whatever the server shows meanwhile, the login page sits whole
// at the centre of the window's content and nothing beside it is left unpainted.
TEST_F(StatusWindowUnderManager, ThePageStaysCentredWhileTheWindowChangesSize) {
  const testing::ReducedMotion moving("0");
  model->change([](StatusViewState& s) {
    s.isAccountAuthenticated = true;
    s.connectionState = DirectAuthState::authenticated;
  });
  QVariantAnimation* grow = heldResize();
  ASSERT_NE(grow, nullptr);
  ASSERT_NO_FATAL_FAILURE(expectThePageInPlaceThroughout(grow, "status-window-grow-middle"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return window->size() == QSize(620, 680) && window->showsConnectionPanel(); }, waitLimit));

  presenter->closePanel(false);
  QVariantAnimation* shrink = heldResize();
  ASSERT_NE(shrink, nullptr);
  // The login page comes at once, centred in the large window.
  ASSERT_TRUE(QTest::qWaitFor([&] { return centredPage(0); }, waitLimit)) << seen;
  ASSERT_NO_FATAL_FAILURE(expectThePageInPlaceThroughout(shrink, "status-window-shrink-middle"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->size() == QSize(430, 285) && centredPage(0); }, waitLimit))
      << seen;
}

// The screen's work area as the manager publishes it (desktop 0), or the whole screen.
QRect workArea(Reader& reader) {
  const auto area = reader.cardinals(DefaultRootWindow(reader.display()), "_NET_WORKAREA");
  if (area.size() < 4) return QGuiApplication::primaryScreen()->geometry();
  return QRect(static_cast<int>(area[0]), static_cast<int>(area[1]), static_cast<int>(area[2]),
               static_cast<int>(area[3]));
}

QRect rectOf(const Frame& f) { return QRect(f.x, f.y, f.width, f.height); }

// A panel along the bottom of the screen, as a desktop's task bar is: a dock window that reserves
// `height` px; the work area shrinks by it while it is mapped.
class BottomPanel {
 public:
  BottomPanel(Reader& reader, int height) : display_(reader.display()) {
    const int screenWidth = DisplayWidth(display_, DefaultScreen(display_));
    const int screenHeight = DisplayHeight(display_, DefaultScreen(display_));
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, screenHeight - height,
                                  static_cast<unsigned>(screenWidth), static_cast<unsigned>(height), 0, 0,
                                  0x303030);
    const Atom dock = XInternAtom(display_, "_NET_WM_WINDOW_TYPE_DOCK", False);
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&dock), 1);
    // left, right, top, bottom, then the start and end of each along its edge.
    const long strut[12] = {0, 0, 0, height, 0, 0, 0, 0, 0, 0, 0, screenWidth - 1};
    XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(strut), 12);
    XMapWindow(display_, window_);
    XSync(display_, False);
  }
  ~BottomPanel() {
    XDestroyWindow(display_, window_);
    XSync(display_, False);
  }
  BottomPanel(const BottomPanel&) = delete;
  BottomPanel& operator=(const BottomPanel&) = delete;

 private:
  Display* display_;
  Window window_;
};

// The sign-in grows the login window to the panel around its centre. Where that would put part of
// the panel off the work area (the window was moved to the corner above a task bar), the panel is
// moved the least distance that shows it whole; where the panel fits, nothing moves, and closing it
// brings the login window back exactly to where it was.
TEST_F(StatusWindowUnderManager, ThePanelOpensInsideTheWorkAreaAndAFittingOneReturnsToItsPlace) {
  const testing::ReducedMotion moving("0");
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const Frame login = reader.frame(idOf(window.get()));
  const QPoint inset = QPoint(login.width, login.height) - QPoint(430, 285) + QPoint(8, 8);
  struct Case {
    const char* name;
    int panelHeight;  // the task bar's, 0 for none
    QPoint content;   // where the login window's content is put before the sign-in
    bool fits;        // the panel fits around the login window's centre
  };
  const Case cases[] = {
      {"middle", 0, screen.center() - QPoint(215, 142), true},
      {"bottom-right corner", 0, screen.bottomRight() - inset - QPoint(430, 285), false},
      {"bottom-right corner above a task bar", 48, screen.bottomRight() - inset - QPoint(430, 285 + 48),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<BottomPanel> taskBar;
    if (c.panelHeight > 0) taskBar.emplace(reader, c.panelHeight);
    const QRect expectedArea = screen.adjusted(0, 0, 0, -c.panelHeight);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return workArea(reader) == expectedArea &&
                 QGuiApplication::primaryScreen()->availableGeometry() == expectedArea;
        },
        waitLimit));
    ASSERT_TRUE(placedAt(c.content));
    const Frame before = reader.frame(idOf(window.get()));
    ASSERT_TRUE(expectedArea.contains(rectOf(before))) << "login " << before;

    signIn();
    ASSERT_TRUE(restsAt(QSize(620, 680)));
    ASSERT_TRUE(window->showsConnectionPanel());
    const Frame grown = reader.frame(idOf(window.get()));
    EXPECT_TRUE(expectedArea.contains(rectOf(grown)))
        << "panel " << grown << " from login " << before << ", work area " << expectedArea.width() << "x"
        << expectedArea.height();
    if (c.fits) {
      // The content's centre stays, within the half pixel each way that whole pixels allow.
      const QPoint twiceCentreBefore = 2 * c.content + QPoint(430, 285);
      const QPoint twiceCentreGrown = 2 * contentOnScreen() + QPoint(620, 680);
      EXPECT_LE(std::abs(twiceCentreGrown.x() - twiceCentreBefore.x()), 1) << "panel " << grown;
      EXPECT_LE(std::abs(twiceCentreGrown.y() - twiceCentreBefore.y()), 1) << "panel " << grown;
    }

    presenter->closePanel(false);
    ASSERT_TRUE(restsAt(QSize(430, 285)));
    if (c.fits) {
      EXPECT_EQ(contentOnScreen(), c.content) << "the login window came back elsewhere";
    } else {
      EXPECT_TRUE(expectedArea.contains(rectOf(reader.frame(idOf(window.get())))));
    }
  }
  // Other tests find the whole screen again.
  ASSERT_TRUE(QTest::qWaitFor([&] { return workArea(reader) == screen; }, waitLimit));
}

// The login window at rest looks as it did when it first came on screen, whatever resizes it went
// through: the manager draws no resize handle under a window that cannot be resized.
TEST_F(StatusWindowUnderManager, AfterASignInAndOutTheLoginWindowHasItsFirstFrame) {
  const testing::ReducedMotion moving("0");
  const Window id = idOf(window.get());
  const Frame first = reader.frame(id);
  const auto extents = reader.cardinals(id, "_NET_FRAME_EXTENTS");
  signIn();
  ASSERT_TRUE(restsAt(QSize(620, 680)));
  presenter->closePanel(false);
  ASSERT_TRUE(restsAt(QSize(430, 285)));
  // The manager may redraw its frame a moment after the window came to rest.
  (void)QTest::qWaitFor([&] { return rectOf(reader.frame(id)) == rectOf(first); }, 2'000);
  const Frame after = reader.frame(id);
  EXPECT_EQ(rectOf(after), rectOf(first)) << "at first " << first << ", after a sign-in and out " << after;
  EXPECT_EQ(reader.cardinals(id, "_NET_FRAME_EXTENTS"), extents) << "left, right, top, bottom";
  EXPECT_FALSE(reader.allows(id, "_NET_WM_ACTION_RESIZE"));
}

// A resize given up while its size is awaited leaves nothing of itself set when the next one finds
// the window hidden: the server keeps the window's picture at its top-left corner again, with no
// backing store, as after a resize that ended.
TEST_F(StatusWindowUnderManager, AResizeGivenUpWhileItsSizeIsAwaitedLeavesThePictureAsAtRest) {
  const Window id = idOf(window.get());
  const auto attributes = [&] {
    // Whatever the program asked has reached the server before the look.
    XSync(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display(), False);
    XWindowAttributes seen{};
    XGetWindowAttributes(reader.display(), id, &seen);
    return seen;
  };
  // Asked for and not yet arrived (nothing runs the event loop here): the picture is kept centred.
  WindowContentResizer::resizeWindowNow(window.get(), QSize(620, 680), false);
  ASSERT_EQ(attributes().bit_gravity, CenterGravity);
  window->hide();
  // A third size, neither the one shown nor the one awaited.
  WindowContentResizer::resizeWindowNow(window.get(), QSize(520, 400), false);
  const XWindowAttributes after = attributes();
  EXPECT_EQ(after.bit_gravity, NorthWestGravity);
  EXPECT_EQ(after.backing_store, NotUseful);
  EXPECT_EQ(window->minimumSize(), QSize(520, 400));
  EXPECT_EQ(window->maximumSize(), QSize(520, 400));
}

}  // namespace
}  // namespace vantrel
