#include "UI/UpdateDialogs.hpp"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>

#include <algorithm>

namespace vantrel {
namespace {

constexpr const char* windowTitle = "VantrelMac 업데이트";

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

QMessageBox* makeBox(QMessageBox::Icon icon, const QString& text, const QString& informative) {
  auto* box = new QMessageBox();
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setIcon(icon);
  box->setWindowTitle(QString::fromUtf8(windowTitle));
  box->setText(text);
  box->setInformativeText(informative);
  return box;
}

}  // namespace

struct QtUpdateDialogPresenter::State {
  std::vector<QPointer<QWidget>> dialogs;
  QPointer<QProgressDialog> progress;

  void track(QWidget* dialog) {
    dialogs.erase(std::remove_if(dialogs.begin(), dialogs.end(), [](const auto& d) { return d.isNull(); }),
                  dialogs.end());
    dialogs.emplace_back(dialog);
  }
};

QtUpdateDialogPresenter::QtUpdateDialogPresenter() : state_(std::make_shared<State>()) {}

QtUpdateDialogPresenter::~QtUpdateDialogPresenter() { dismissAll(); }

void QtUpdateDialogPresenter::showUpdateFound(const AppcastItem& item,
                                              std::function<void(UpdateFoundChoice)> reply) {
  const auto answer = once(std::move(reply));
  auto* box = makeBox(
      QMessageBox::Information,
      QString::fromUtf8("새 버전 %1이(가) 있습니다").arg(QString::fromStdString(item.displayVersionString)),
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
  box->show();
}

void QtUpdateDialogPresenter::showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                                                   std::function<void()> cancel) {
  auto& progress = state_->progress;
  if (!progress) {
    progress = new QProgressDialog(QString::fromUtf8("새 버전을 다운로드하는 중…"), QString::fromUtf8("취소"),
                                   0, 1000);
    progress->setAttribute(Qt::WA_DeleteOnClose);
    progress->setWindowModality(Qt::NonModal);
    progress->setWindowTitle(QString::fromUtf8("VantrelMac 업데이트 다운로드"));
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    state_->track(progress);
  }
  QObject::disconnect(progress, &QProgressDialog::canceled, nullptr, nullptr);
  QObject::connect(progress, &QProgressDialog::canceled, [cancel = std::move(cancel)] {
    if (cancel) cancel();
  });
  const int permille =
      expected == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(1000, received * 1000 / expected));
  progress->setValue(permille);
  progress->show();
  if (received >= expected) progress->close();
}

void QtUpdateDialogPresenter::showReadyToInstall(const AppcastItem& item,
                                                 std::function<void(ReadyToInstallChoice)> reply) {
  if (state_->progress) state_->progress->close();
  const auto answer = once(std::move(reply));
  auto* box =
      makeBox(QMessageBox::Information,
              QString::fromUtf8("새 버전 %1을 설치할 준비가 되었습니다")
                  .arg(QString::fromStdString(item.displayVersionString)),
              QString::fromUtf8("설치하면 앱이 다시 시작됩니다. 나중에를 고르면 앱을 종료할 때 설치합니다."));
  auto* now = box->addButton(QString::fromUtf8("설치 후 다시 시작"), QMessageBox::AcceptRole);
  box->addButton(QString::fromUtf8("나중에 (종료할 때 설치)"), QMessageBox::RejectRole);
  box->setDefaultButton(now);
  QObject::connect(box, &QMessageBox::finished, [box, now, answer](int) {
    (*answer)(box->clickedButton() == now ? ReadyToInstallChoice::installAndRelaunch
                                          : ReadyToInstallChoice::later);
  });
  state_->track(box);
  box->show();
}

void QtUpdateDialogPresenter::showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                                         std::function<void()> acknowledgement) {
  const auto answer = once<int>([ack = std::move(acknowledgement)](int) {
    if (ack) ack();
  });
  auto* box = makeBox(style == NoticeStyle::warning ? QMessageBox::Warning : QMessageBox::Information,
                      QString::fromStdString(title), QString::fromStdString(text));
  box->addButton(QString::fromUtf8("확인"), QMessageBox::AcceptRole);
  QObject::connect(box, &QMessageBox::finished, [answer](int) { (*answer)(0); });
  state_->track(box);
  box->show();
}

void QtUpdateDialogPresenter::dismissAll() {
  const auto dialogs = state_->dialogs;
  for (const auto& dialog : dialogs) {
    if (dialog) dialog->close();
  }
}

std::vector<QWidget*> QtUpdateDialogPresenter::openDialogs() const {
  std::vector<QWidget*> out;
  for (const auto& dialog : state_->dialogs) {
    if (dialog && dialog->isVisible()) out.push_back(dialog.data());
  }
  return out;
}

}  // namespace vantrel
