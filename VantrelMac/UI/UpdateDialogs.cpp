#include "UI/UpdateDialogs.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSpacerItem>

#include <algorithm>

#include "Platform/X11/XWindowHints.hpp"

namespace vantrel {
namespace {

constexpr const char* windowTitle = "VantrelMac 업데이트";
constexpr const char* downloadTitle = "VantrelMac 업데이트 다운로드";
// Between a notice and an update dialog placed beside it.
constexpr int noticeClearance = 12;

// A reply that runs once, whichever of "clicked" and "closed" comes first.
template <typename Choice>
std::shared_ptr<std::function<void(Choice)>> once(std::function<void(Choice)> reply) {
  return std::make_shared<std::function<void(Choice)>>(
      [reply = std::move(reply), done = false](Choice c) mutable {
        if (done) return;
        done = true;
        if (reply) reply(c);
      });
}

// An alert as wide as the notice window it hangs from, so that a sentence does not break into a
// column of short lines.
void widen(QMessageBox* box) {
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    const QMargins margins = grid->contentsMargins();
    grid->addItem(new QSpacerItem(noticeContentWidth - margins.left() - margins.right(), 0,
                                  QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

// A dialog placed in its show event: once it has sized itself and before its window is mapped,
// so that the window manager maps it where it stays instead of moving it after a first frame
// elsewhere.
template <typename Dialog>
class PlacedOnShow : public Dialog {
 public:
  using Dialog::Dialog;
  // Places the dialog now, by the size it has, and again on each show by the program, by the size
  // it has then. A dialog moved before it is shown is also spared QDialog's own centring, which
  // asks every window for its frame, this one too, before the manager has framed it: QWidget keeps
  // that answer until the window next moves or changes size, which a window mapped where it stays
  // may never do.
  void placeWith(std::function<void(QWidget*)> placement) {
    place_ = std::move(placement);
    place_(this);
  }

 protected:
  void showEvent(QShowEvent* event) override {
    Dialog::showEvent(event);
    if (!event->spontaneous() && place_) place_(this);
  }

 private:
  std::function<void(QWidget*)> place_;
};
using PlacedMessageBox = PlacedOnShow<QMessageBox>;
using PlacedProgressDialog = PlacedOnShow<QProgressDialog>;

PlacedMessageBox* makeBox(QMessageBox::Icon icon, const QString& text, const QString& informative,
                          QWidget* parent = nullptr) {
  auto* box = new PlacedMessageBox(parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setIcon(icon);
  box->setWindowTitle(QString::fromUtf8(windowTitle));
  box->setText(text);
  box->setInformativeText(informative);
  widen(box);
  return box;
}

// Asks the window manager for a title bar without controls and a frame that cannot be resized.
// Only an X11 window has such hints; elsewhere (the offscreen platform) nothing is asked.
void askForTitleOnlyFrame(QWidget* window) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr) return;
  XWindowHints::requestTitleOnlyFrame(x11->connection(), static_cast<std::uint32_t>(window->winId()));
}

// "새 버전 1.1.2가 있습니다": the particle that goes with the version as it is read.
QString updateFoundText(const QString& version) {
  const std::optional<bool> final = endsOnFinalConsonant(version);
  if (!final) return QString::fromUtf8("새 버전이 있습니다: %1").arg(version);
  return QString::fromUtf8(*final ? "새 버전 %1이 있습니다" : "새 버전 %1가 있습니다").arg(version);
}

QString readyToInstallText(const QString& version) {
  const std::optional<bool> final = endsOnFinalConsonant(version);
  if (!final) return QString::fromUtf8("새 버전을 설치할 준비가 되었습니다: %1").arg(version);
  return QString::fromUtf8(*final ? "새 버전 %1을 설치할 준비가 되었습니다"
                                  : "새 버전 %1를 설치할 준비가 되었습니다")
      .arg(version);
}

// Where `dialog`'s contents go so that its frame stays clear of `notice` (a frame rectangle) and
// on the screen: below the notice, else above it, else to its right or left; nullopt when none
// fits. `margins` is the frame the window manager adds around a window's contents.
std::optional<QRect> besideNotice(QSize dialog, const QRect& notice, const QMargins& margins,
                                  const QRect& screen) {
  const QSize frame = dialog.grownBy(margins);
  const int centredX = notice.center().x() - frame.width() / 2;
  const int centredY = notice.center().y() - frame.height() / 2;
  const QPoint candidates[] = {
      {centredX, notice.bottom() + 1 + noticeClearance},
      {centredX, notice.top() - noticeClearance - frame.height()},
      {notice.right() + 1 + noticeClearance, centredY},
      {notice.left() - noticeClearance - frame.width(), centredY},
  };
  for (QPoint topLeft : candidates) {
    // Slid along the notice's edge into the screen where it sticks out at an end.
    QRect placed(topLeft, frame);
    if (placed.left() < screen.left()) placed.moveLeft(screen.left());
    if (placed.right() > screen.right()) placed.moveRight(screen.right());
    if (placed.top() < screen.top()) placed.moveTop(screen.top());
    if (placed.bottom() > screen.bottom()) placed.moveBottom(screen.bottom());
    if (screen.contains(placed) && !placed.intersects(notice)) return placed.marginsRemoved(margins);
  }
  return std::nullopt;
}

// The download window's width: its title in a bold face of the application's size (a window
// manager's title font is rarely larger) beside room for the manager's icon and three buttons,
// each about as wide as a title bar is tall, which is seldom more than twice its text.
int downloadWindowWidth(const QString& title) {
  QFont bold = QApplication::font();
  bold.setBold(true);
  const QFontMetrics metrics(bold);
  return metrics.horizontalAdvance(title) + 4 * 2 * metrics.height();
}

}  // namespace

std::optional<bool> endsOnFinalConsonant(const QString& word) {
  for (qsizetype i = word.size() - 1; i >= 0; --i) {
    const char16_t c = word.at(i).unicode();
    if (c >= u'0' && c <= u'9') {
      // 영 일 이 삼 사 오 육 칠 팔 구
      constexpr bool digits[] = {true, true, false, true, false, false, true, true, true, false};
      return digits[c - u'0'];
    }
    const char16_t upper = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
    if (upper >= u'A' && upper <= u'Z') {
      // 엘, 엠, 엔, 알; every other letter's name ends on a vowel (에이, 비, 씨, … 엑스, 제트 as 지).
      return upper == u'L' || upper == u'M' || upper == u'N' || upper == u'R';
    }
    if (c >= 0xAC00 && c <= 0xD7A3) return (c - 0xAC00) % 28 != 0;
  }
  return std::nullopt;
}

struct QtUpdateDialogPresenter::State {
  std::vector<QPointer<QWidget>> dialogs;
  // The notices' alerts: each waits for its "확인" and is never closed on the user's behalf.
  std::vector<QPointer<QWidget>> notices;
  QPointer<QWidget> noticeHost;
  QPointer<QProgressDialog> progress;
  // The receiver of the progress dialog's "취소" that reaches the current download.
  QMetaObject::Connection progressCancel;

  void track(QWidget* dialog) {
    dialogs.erase(std::remove_if(dialogs.begin(), dialogs.end(), [](const auto& d) { return d.isNull(); }),
                  dialogs.end());
    dialogs.emplace_back(dialog);
  }
  // Closes the progress dialog for the program, not for the user: a close emits "canceled", which
  // must not reach a download that has just completed (or ended).
  void closeProgress() {
    QObject::disconnect(progressCancel);
    if (progress) progress->close();
  }
  void trackNotice(QWidget* alert, QWidget* host) {
    notices.erase(std::remove_if(notices.begin(), notices.end(), [](const auto& d) { return d.isNull(); }),
                  notices.end());
    notices.emplace_back(alert);
    noticeHost = host;
  }
  // The open notice's alert, or null.
  QWidget* noticeAlert() const {
    for (auto it = notices.rbegin(); it != notices.rend(); ++it) {
      if (*it && (*it)->isVisible()) return it->data();
    }
    return nullptr;
  }
  // Moves a dialog that is being shown off the open notice. A notice that waits for its answer is
  // not covered by a later dialog, nor that dialog by it: the user reads both.
  void keepClearOfNotice(QWidget* dialog) const {
    QWidget* alert = noticeAlert();
    if (!noticeHost || !noticeHost->isVisible() || alert == nullptr) return;
    const QScreen* screen = noticeHost->screen();
    if (screen == nullptr) return;
    // The frame the manager gives a titled window, read off the notice's own window. The dialog's
    // is not known before the manager has framed it, and the alert's is not always up to date
    // right after it opened; all three are framed alike.
    const QRect outer = noticeHost->frameGeometry();
    const QRect inner = noticeHost->geometry();
    const QMargins margins(inner.left() - outer.left(), inner.top() - outer.top(),
                           outer.right() - inner.right(), outer.bottom() - inner.bottom());
    const QRect notice = outer.united(alert->geometry().marginsAdded(margins));
    // Placed by its contents: a frame position would be read as the contents' own by a manager
    // that has not framed the window yet.
    if (const auto place = besideNotice(dialog->size(), notice, margins, screen->availableGeometry())) {
      dialog->setGeometry(*place);
    }
  }
};

QtUpdateDialogPresenter::QtUpdateDialogPresenter() : state_(std::make_shared<State>()) {}

QtUpdateDialogPresenter::~QtUpdateDialogPresenter() {
  dismissAll();
  // An open notice is answered as its "확인" would answer it. Not through close(): on X11 that
  // runs the close event inside the native window's own event, where the alert's end (and its
  // window's) pulled the window out from under it.
  const auto notices = state_->notices;
  for (const auto& notice : notices) {
    if (auto* alert = qobject_cast<QDialog*>(notice.data())) alert->done(0);
  }
}

void QtUpdateDialogPresenter::showUpdateFound(const AppcastItem& item,
                                              std::function<void(UpdateFoundChoice)> reply) {
  const auto answer = once(std::move(reply));
  auto* box =
      makeBox(QMessageBox::Information, updateFoundText(QString::fromStdString(item.displayVersionString)),
              QString::fromUtf8("지금 설치할까요? 원격제어·파일 전송·개발 작업 중에는 설치를 기다립니다."));
  auto* install = box->addButton(QString::fromUtf8("설치"), QMessageBox::AcceptRole);
  auto* skip = box->addButton(QString::fromUtf8("이 버전 건너뛰기"), QMessageBox::DestructiveRole);
  box->addButton(QString::fromUtf8("나중에"), QMessageBox::RejectRole);
  box->setDefaultButton(install);
  QObject::connect(box, &QMessageBox::finished, [box, install, skip, answer](int) {
    const auto* clicked = box->clickedButton();
    (*answer)(clicked == install ? UpdateFoundChoice::install
              : clicked == skip  ? UpdateFoundChoice::skip
                                 : UpdateFoundChoice::later);
  });
  state_->track(box);
  box->placeWith([state = std::weak_ptr<State>(state_)](QWidget* dialog) {
    if (const auto held = state.lock()) held->keepClearOfNotice(dialog);
  });
  box->show();
}

void QtUpdateDialogPresenter::showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                                                   std::function<void()> cancel) {
  auto& progress = state_->progress;
  if (!progress) {
    auto* dialog = new PlacedProgressDialog(QString::fromUtf8("새 버전을 다운로드하는 중…"),
                                            QString::fromUtf8("취소"), 0, 1000);
    // Placed before its first map, also when setValue below is what shows it.
    dialog->placeWith([state = std::weak_ptr<State>(state_)](QWidget* shown) {
      if (const auto held = state.lock()) held->keepClearOfNotice(shown);
    });
    progress = dialog;
    progress->setAttribute(Qt::WA_DeleteOnClose);
    progress->setWindowModality(Qt::NonModal);
    progress->setWindowTitle(QString::fromUtf8(downloadTitle));
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    // Wide enough for the whole title in the manager's bar, and of one size: nothing in it grows.
    const QSize hint = progress->sizeHint();
    progress->setFixedSize(std::max(hint.width(), downloadWindowWidth(progress->windowTitle())),
                           hint.height());
    state_->track(progress);
  }
  // Only this presenter's own receiver is replaced: the dialog's own (which hides it) stays.
  QObject::disconnect(state_->progressCancel);
  state_->progressCancel =
      QObject::connect(progress, &QProgressDialog::canceled, [cancel = std::move(cancel)] {
        if (cancel) cancel();
      });
  const int permille =
      expected == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(1000, received * 1000 / expected));
  progress->setValue(permille);
  progress->show();
  if (received >= expected) state_->closeProgress();
}

void QtUpdateDialogPresenter::showReadyToInstall(const AppcastItem& item,
                                                 std::function<void(ReadyToInstallChoice)> reply) {
  state_->closeProgress();
  const auto answer = once(std::move(reply));
  auto* box =
      makeBox(QMessageBox::Information, readyToInstallText(QString::fromStdString(item.displayVersionString)),
              QString::fromUtf8("설치하면 앱이 다시 시작됩니다. 나중에를 고르면 앱을 종료할 때 설치합니다."));
  auto* now = box->addButton(QString::fromUtf8("설치 후 다시 시작"), QMessageBox::AcceptRole);
  box->addButton(QString::fromUtf8("나중에 (종료할 때 설치)"), QMessageBox::RejectRole);
  box->setDefaultButton(now);
  QObject::connect(box, &QMessageBox::finished, [box, now, answer](int) {
    (*answer)(box->clickedButton() == now ? ReadyToInstallChoice::installAndRelaunch
                                          : ReadyToInstallChoice::later);
  });
  state_->track(box);
  box->placeWith([state = std::weak_ptr<State>(state_)](QWidget* dialog) {
    if (const auto held = state.lock()) held->keepClearOfNotice(dialog);
  });
  box->show();
}

void QtUpdateDialogPresenter::showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                                         std::function<void()> acknowledgement) {
  const auto answer = once<int>([ack = std::move(acknowledgement)](int) {
    if (ack) ack();
  });
  // The notice's own small window: titled only (no close, minimise or resize control), centred
  // on the screen and brought to the front.
  auto* host = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  host->setAttribute(Qt::WA_DeleteOnClose);
  host->setWindowTitle(QString::fromUtf8(windowTitle));
  host->setFixedSize(noticeContentWidth, noticeContentHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    host->move(area.center() - QPoint(host->width() / 2, host->height() / 2));
  }
  // The alert hangs from it like a sheet: modal to that window only, so the call returns at once
  // and the rest of the application stays usable.
  auto* box = makeBox(style == NoticeStyle::warning ? QMessageBox::Warning : QMessageBox::Information,
                      QString::fromStdString(title), QString::fromStdString(text), host);
  box->addButton(QString::fromUtf8("확인"), QMessageBox::AcceptRole);
  box->setWindowModality(Qt::WindowModal);
  // After the modality, which turns a message box into a sheet with the default controls: a
  // dialog of its window, titled only, so that it ends with "확인" alone.
  box->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  QPointer<QWidget> guardHost(host);
  QObject::connect(box, &QMessageBox::finished, [answer, guardHost](int) {
    if (guardHost) {
      guardHost->hide();
      guardHost->deleteLater();
    }
    (*answer)(0);
  });
  state_->trackNotice(box, host);
  // The hints go on the native windows before they are mapped, where every manager reads them.
  // A manager that draws a close button anyway closes the alert as "확인" does (its only button
  // is also its escape button), and the window with it.
  askForTitleOnlyFrame(host);
  host->show();
  host->raise();
  host->activateWindow();
  // Below the window's title bar, centred on it, as a sheet comes down from it: placed once it has
  // sized itself and before its window is mapped, where it stays. Mapped where QDialog centres it
  // and moved at once, it could be left, by a manager still taking it on, believed by the program
  // at the centred place while the manager shows it below the title bar; a dialog kept clear of
  // the notice by that belief would then cover it.
  box->placeWith([guardHost](QWidget* alert) {
    if (!guardHost) return;
    const QRect content = guardHost->geometry();
    alert->move(content.x() + (content.width() - alert->width()) / 2, content.y());
  });
  // The alert's window is made after the host was raised: a window is made on top of the others,
  // and without a manager nothing else would keep it above the host.
  askForTitleOnlyFrame(box);
  box->show();
}

void QtUpdateDialogPresenter::bringNoticeForward() {
  QWidget* alert = state_->noticeAlert();
  for (QWidget* window : {static_cast<QWidget*>(state_->noticeHost.data()), alert}) {
    if (window == nullptr) continue;
    // showNormal() maps a minimised window again; raise() puts it above the others.
    window->showNormal();
    window->raise();
  }
  // The alert holds the only button: it takes the focus, as when the notice first opened.
  if (alert != nullptr) {
    alert->activateWindow();
  } else if (state_->noticeHost) {
    state_->noticeHost->activateWindow();
  }
}

void QtUpdateDialogPresenter::dismissAll() {
  // Only the update dialogs: an open notice waits for its "확인", since closing it would
  // acknowledge it before the user did.
  state_->closeProgress();
  const auto dialogs = state_->dialogs;
  for (const auto& dialog : dialogs) {
    if (dialog) dialog->close();
  }
}

QWidget* QtUpdateDialogPresenter::noticeWindow() const {
  return state_->noticeHost && state_->noticeHost->isVisible() ? state_->noticeHost.data() : nullptr;
}

std::vector<QWidget*> QtUpdateDialogPresenter::openDialogs() const {
  std::vector<QWidget*> out;
  for (const auto* list : {&state_->dialogs, &state_->notices}) {
    for (const auto& dialog : *list) {
      if (dialog && dialog->isVisible()) out.push_back(dialog.data());
    }
  }
  return out;
}

}  // namespace vantrel
