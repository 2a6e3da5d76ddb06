#include <gtest/gtest.h>

#include "Platform/X11/XWindowHints.hpp"
#include "UI/UpdateDialogs.hpp"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTest>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <vector>

#include "support/QtTestApp.hpp"

// What window managers read from the update notice's windows on the X server: a title bar with no
// controls and a size that cannot change. No manager runs here; the properties are the request.

namespace vantrel {
namespace {

QApplication& x11App() {
  // The notice's hints exist only on X11: this program draws on the display, not offscreen.
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "xcb", 1);
  return testing::uiApp();
}

struct Reader {
  Display* display = XOpenDisplay(nullptr);
  ~Reader() {
    if (display) XCloseDisplay(display);
  }
  std::vector<unsigned long> cardinals(Window window, const char* name) {
    const Atom atom = XInternAtom(display, name, False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display, window, atom, 0, 64, False, AnyPropertyType, &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr && format == 32) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      out.assign(values, values + items);
    }
    if (data) XFree(data);
    return out;
  }
};

class UpdateNoticeHints : public ::testing::Test {
 protected:
  void SetUp() override {
    x11App();
    ASSERT_NE(reader.display, nullptr);
  }
  // Everything Qt asked of the server has reached it.
  void settle() {
    testing::processQueued();
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(x11, nullptr);
    XSync(x11->display(), False);
    XSync(reader.display, False);
  }
  QMessageBox* alert() { return qobject_cast<QMessageBox*>(presenter.openDialogs().front()); }
  Reader reader;
  QtUpdateDialogPresenter presenter;
};

TEST_F(UpdateNoticeHints, BothWindowsAskForATitleOnlyFrameOfFixedSize) {
  int acks = 0;
  presenter.showNotice("업데이트를 설치하지 못했습니다", "본문", UpdateDialogPresenting::NoticeStyle::warning,
                       [&] { ++acks; });
  settle();
  ASSERT_NE(presenter.noticeWindow(), nullptr);
  ASSERT_NE(alert(), nullptr);
  for (QWidget* window : {presenter.noticeWindow(), static_cast<QWidget*>(alert())}) {
    const auto id = static_cast<Window>(window->winId());
    const std::vector<unsigned long> motif = reader.cardinals(id, "_MOTIF_WM_HINTS");
    ASSERT_GE(motif.size(), 3u) << window->metaObject()->className();
    // Functions are given (not left to the manager's defaults): moving only.
    EXPECT_EQ(motif[0] & XWindowHints::motifFunctionsAndDecorations,
              XWindowHints::motifFunctionsAndDecorations);
    EXPECT_EQ(motif[1], XWindowHints::motifFunctionMove) << "functions";
    // A border and a title, no menu, resize handles, minimise or maximise button.
    EXPECT_EQ(motif[2], XWindowHints::motifDecorationBorder | XWindowHints::motifDecorationTitle)
        << "decorations";

    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(reader.display, id, &hints, &supplied));
    ASSERT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
    EXPECT_EQ(hints.min_width, hints.max_width);
    EXPECT_EQ(hints.min_height, hints.max_height);
    EXPECT_EQ(hints.min_width, window->width());
    EXPECT_EQ(hints.min_height, window->height());
  }
  EXPECT_EQ(acks, 0);
}

TEST_F(UpdateNoticeHints, AManagersCloseButtonAnswersAsTheOkButtonDoes) {
  int acks = 0;
  presenter.showNotice("설치 가능한 새 버전이 없습니다", "본문",
                       UpdateDialogPresenting::NoticeStyle::informational, [&] { ++acks; });
  settle();
  ASSERT_NE(alert(), nullptr);
  // The manager's close: WM_DELETE_WINDOW sent to the alert, as a manager does.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = static_cast<Window>(alert()->winId());
  event.xclient.message_type = XInternAtom(reader.display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(reader.display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(reader.display, event.xclient.window, False, NoEventMask, &event);
  XFlush(reader.display);
  EXPECT_TRUE(QTest::qWaitFor([&] { return acks == 1; }, 10'000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return presenter.noticeWindow() == nullptr; }, 10'000));
  EXPECT_EQ(acks, 1);
}

TEST(UpdateNoticeOnX11, EndingTheProgramWithANoticeOpenAnswersItOnce) {
  x11App();
  int acks = 0;
  {
    QtUpdateDialogPresenter presenter;
    presenter.showNotice("업데이트 설치가 완료되었습니다", "본문",
                         UpdateDialogPresenting::NoticeStyle::informational, [&] { ++acks; });
    testing::processQueued();
    ASSERT_NE(presenter.noticeWindow(), nullptr);
  }
  testing::processQueued();
  EXPECT_EQ(acks, 1);
}

}  // namespace
}  // namespace vantrel
