#include <gtest/gtest.h>

#include "UI/UpdateDialogs.hpp"
#include "support/QtTestApp.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>

#include <functional>
#include <utility>

namespace vantrel {
namespace {

QAbstractButton* button(QWidget* dialog, const char* text) {
  auto* box = qobject_cast<QMessageBox*>(dialog);
  if (!box) return nullptr;
  for (auto* b : box->buttons()) {
    if (b->text() == QString::fromUtf8(text)) return b;
  }
  return nullptr;
}

AppcastItem item() {
  AppcastItem i;
  i.versionString = "2";
  i.displayVersionString = "1.2";
  return i;
}

class UpdateDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::uiApp(); }
  QtUpdateDialogPresenter presenter;
};

TEST_F(UpdateDialogsTest, UpdateFoundIsNonModalAndAnswersOnce) {
  std::vector<UpdateFoundChoice> replies;
  presenter.showUpdateFound(item(), [&](UpdateFoundChoice c) { replies.push_back(c); });
  ASSERT_EQ(presenter.openDialogs().size(), 1u);
  auto* dialog = presenter.openDialogs().front();
  EXPECT_FALSE(dialog->isModal());
  EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8("VantrelMac 업데이트"));
  EXPECT_TRUE(replies.empty());  // the call returned before any answer
  ASSERT_TRUE(button(dialog, "나중에") && button(dialog, "이 버전 건너뛰기"));
  button(dialog, "설치")->click();
  QApplication::processEvents();
  EXPECT_EQ(replies, std::vector<UpdateFoundChoice>{UpdateFoundChoice::install});
  EXPECT_TRUE(presenter.openDialogs().empty());
}

TEST_F(UpdateDialogsTest, ClosingCountsAsLaterAndDismissAllClosesEverything) {
  std::vector<ReadyToInstallChoice> ready;
  std::vector<UpdateFoundChoice> found;
  presenter.showReadyToInstall(item(), [&](ReadyToInstallChoice c) { ready.push_back(c); });
  presenter.showUpdateFound(item(), [&](UpdateFoundChoice c) { found.push_back(c); });
  EXPECT_EQ(presenter.openDialogs().size(), 2u);
  presenter.dismissAll();
  QApplication::processEvents();
  EXPECT_EQ(ready, std::vector<ReadyToInstallChoice>{ReadyToInstallChoice::later});
  EXPECT_EQ(found, std::vector<UpdateFoundChoice>{UpdateFoundChoice::later});
  EXPECT_TRUE(presenter.openDialogs().empty());
}

TEST_F(UpdateDialogsTest, ReadyToInstallAndNotice) {
  std::vector<ReadyToInstallChoice> ready;
  presenter.showReadyToInstall(item(), [&](ReadyToInstallChoice c) { ready.push_back(c); });
  button(presenter.openDialogs().front(), "설치 후 다시 시작")->click();
  QApplication::processEvents();
  EXPECT_EQ(ready, std::vector<ReadyToInstallChoice>{ReadyToInstallChoice::installAndRelaunch});

  int acks = 0;
  presenter.showNotice("제목", "본문", UpdateDialogPresenting::NoticeStyle::warning, [&] { ++acks; });
  auto* notice = qobject_cast<QMessageBox*>(presenter.openDialogs().front());
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->buttons().size(), 1);
  EXPECT_EQ(notice->icon(), QMessageBox::Warning);
  EXPECT_TRUE(notice->windowFlags() & Qt::CustomizeWindowHint);
  EXPECT_FALSE(notice->windowFlags() & Qt::WindowCloseButtonHint);
  // Modal to its own notice window only: the rest of the application stays usable.
  EXPECT_EQ(notice->windowModality(), Qt::WindowModal);
  EXPECT_EQ(notice->parentWidget(), presenter.noticeWindow());
  EXPECT_EQ(acks, 0);
  button(notice, "확인")->click();
  QApplication::processEvents();
  EXPECT_EQ(acks, 1);
}

TEST_F(UpdateDialogsTest, NoticeIsAn420By90TitledWindowCentredWithItsAlert) {
  int acks = 0;
  presenter.showNotice("설치 가능한 새 버전이 없습니다", "VantrelMac 1.0.0 is the newest version.",
                       UpdateDialogPresenting::NoticeStyle::informational, [&] { ++acks; });
  QWidget* host = presenter.noticeWindow();
  ASSERT_NE(host, nullptr);
  EXPECT_TRUE(host->isWindow());
  EXPECT_EQ(host->size(), QSize(420, 90));
  EXPECT_EQ(host->minimumSize(), host->maximumSize());  // no resizing
  EXPECT_EQ(host->windowTitle(), QString::fromUtf8("VantrelMac 업데이트"));
  EXPECT_TRUE(host->windowFlags() & Qt::WindowTitleHint);
  EXPECT_FALSE(host->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(host->windowFlags() & Qt::WindowMinimizeButtonHint);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((host->geometry().center() - screen.center()).manhattanLength(), 2);
  auto* alert = qobject_cast<QMessageBox*>(presenter.openDialogs().front());
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->icon(), QMessageBox::Information);
  EXPECT_EQ(alert->text(), QString::fromUtf8("설치 가능한 새 버전이 없습니다"));
  EXPECT_GE(alert->width(), 420);  // as wide as its window: short texts keep to one line
  button(alert, "확인")->click();
  QApplication::processEvents();
  EXPECT_EQ(acks, 1);
  EXPECT_EQ(presenter.noticeWindow(), nullptr);  // the window goes with its alert
  EXPECT_TRUE(presenter.openDialogs().empty());
}

TEST_F(UpdateDialogsTest, DismissingTheUpdateDialogsLeavesAnOpenNoticeToTheUser) {
  int acks = 0;
  std::vector<UpdateFoundChoice> found;
  presenter.showNotice("업데이트를 설치하지 못했습니다", "본문", UpdateDialogPresenting::NoticeStyle::warning,
                       [&] { ++acks; });
  presenter.showUpdateFound(item(), [&](UpdateFoundChoice c) { found.push_back(c); });
  presenter.dismissAll();
  QApplication::processEvents();
  // The update dialog is answered "later"; the notice is neither closed nor acknowledged.
  EXPECT_EQ(found, std::vector<UpdateFoundChoice>{UpdateFoundChoice::later});
  EXPECT_EQ(acks, 0);
  ASSERT_NE(presenter.noticeWindow(), nullptr);
  ASSERT_EQ(presenter.openDialogs().size(), 1u);
  button(presenter.openDialogs().front(), "확인")->click();
  QApplication::processEvents();
  EXPECT_EQ(acks, 1);
}

TEST(KoreanParticle, FollowsHowTheLastCharacterIsRead) {
  struct Case {
    const char* word;
    std::optional<bool> final;
  };
  const Case cases[] = {
      // Digits by their Sino-Korean names.
      {"1.1.0", true},   // 영
      {"1.1.1", true},   // 일
      {"1.1.2", false},  // 이
      {"1.1.3", true},   // 삼
      {"1.1.4", false},  // 사
      {"1.1.5", false},  // 오
      {"1.1.6", true},   // 육
      {"1.1.7", true},   // 칠
      {"1.1.8", true},   // 팔
      {"1.1.9", false},  // 구
      {"1.10", true},    // 십 or 일-영: both end on a consonant
      // Latin letters by their names: 엘, 엠, 엔, 알 end on a consonant, the others on a vowel.
      {"2.0-rc1", true},
      {"2.0 beta", false},     // 에이
      {"2.0-final", true},     // 엘
      {"2.0 RC", false},       // 씨
      {"2.0m", true},          // 엠
      {"2.0n", true},          // 엔
      {"2.0r", true},          // 알
      {"2.0b", false},         // 비
      {"2.0x", false},         // 엑스
      {"2.0-dev", false},      // 브이
      {"2.0 (1.1.2)", false},  // the bracket is passed over
      // Hangul by its final consonant.
      {"1.0 정식", true},
      {"1.0 베타", false},
      // Nothing readable.
      {"", std::nullopt},
      {"-.", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(endsOnFinalConsonant(QString::fromUtf8(c.word)), c.final) << c.word;
  }
}

TEST_F(UpdateDialogsTest, TheVersionTakesTheParticleItIsReadWith) {
  struct Case {
    const char* version;
    const char* found;
    const char* ready;
  };
  const Case cases[] = {
      {"1.1.0", "새 버전 1.1.0이 있습니다", "새 버전 1.1.0을 설치할 준비가 되었습니다"},
      {"1.1.2", "새 버전 1.1.2가 있습니다", "새 버전 1.1.2를 설치할 준비가 되었습니다"},
      {"2.0 beta", "새 버전 2.0 beta가 있습니다", "새 버전 2.0 beta를 설치할 준비가 되었습니다"},
      {"--", "새 버전이 있습니다: --", "새 버전을 설치할 준비가 되었습니다: --"},
  };
  for (const Case& c : cases) {
    AppcastItem update;
    update.versionString = "9";
    update.displayVersionString = c.version;
    presenter.showUpdateFound(update, [](UpdateFoundChoice) {});
    presenter.showReadyToInstall(update, [](ReadyToInstallChoice) {});
    QStringList texts;
    for (QWidget* dialog : presenter.openDialogs()) {
      if (auto* box = qobject_cast<QMessageBox*>(dialog)) texts << box->text();
    }
    EXPECT_TRUE(texts.contains(QString::fromUtf8(c.found)))
        << c.version << ": " << texts.join(" | ").toStdString();
    EXPECT_TRUE(texts.contains(QString::fromUtf8(c.ready)))
        << c.version << ": " << texts.join(" | ").toStdString();
    for (const QString& text : texts) EXPECT_FALSE(text.contains(QString::fromUtf8("(가)"))) << c.version;
    presenter.dismissAll();
    QApplication::processEvents();
  }
}

TEST_F(UpdateDialogsTest, ProgressCancels) {
  int cancels = 0;
  presenter.showDownloadProgress(50, 100, [&] { ++cancels; });
  auto* progress = qobject_cast<QProgressDialog*>(presenter.openDialogs().front());
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->value(), 500);
  QPushButton* cancelButton = nullptr;
  for (auto* b : progress->findChildren<QPushButton*>()) {
    if (b->text() == QString::fromUtf8("취소")) cancelButton = b;
  }
  ASSERT_TRUE(cancelButton);
  cancelButton->click();
  EXPECT_EQ(cancels, 1);
  QApplication::processEvents();
  EXPECT_TRUE(presenter.openDialogs().empty());  // its own "취소" still hides it
  presenter.showDownloadProgress(100, 100, [&] { ++cancels; });
  QApplication::processEvents();
  EXPECT_TRUE(presenter.openDialogs().empty());  // closes when complete
  EXPECT_EQ(cancels, 1);                         // and that close cancels nothing
}

// Each progress update hands in the current download's "cancel": only the latest one runs, once,
// and the dialog's own receiver (which hides it) is never taken away.
TEST_F(UpdateDialogsTest, ProgressCancelReachesOnlyTheLatestDownloadAndHidesTheDialog) {
  const auto first = std::make_shared<int>(0), latest = std::make_shared<int>(0);
  presenter.showDownloadProgress(10, 100, [first] { ++*first; });
  presenter.showDownloadProgress(20, 100, [first] { ++*first; });
  presenter.showDownloadProgress(30, 100, [latest] { ++*latest; });
  auto* progress = qobject_cast<QProgressDialog*>(presenter.openDialogs().front());
  ASSERT_TRUE(progress);
  EXPECT_EQ(progress->value(), 300);
  emit progress->canceled();
  QApplication::processEvents();
  EXPECT_EQ(*first, 0);
  EXPECT_EQ(*latest, 1);
  EXPECT_FALSE(progress->isVisible());
  EXPECT_TRUE(presenter.openDialogs().empty());
}

// The program's own closes of the progress dialog (the download is ready, or its cycle ended) are
// not the user's "취소": they cancel nothing.
TEST_F(UpdateDialogsTest, ClosingTheProgressForTheProgramCancelsNothing) {
  const auto cancels = std::make_shared<int>(0);
  presenter.showDownloadProgress(40, 100, [cancels] { ++*cancels; });
  presenter.dismissAll();
  QApplication::processEvents();
  EXPECT_TRUE(presenter.openDialogs().empty());
  presenter.showDownloadProgress(60, 100, [cancels] { ++*cancels; });
  ASSERT_EQ(presenter.openDialogs().size(), 1u);
  presenter.showReadyToInstall(item(), [](ReadyToInstallChoice) {});
  QApplication::processEvents();
  EXPECT_EQ(presenter.openDialogs().size(), 1u);  // the ready dialog alone
  EXPECT_EQ(*cancels, 0);
}

// A check's dialog that opens while a notice waits for its "확인" goes beside the notice: both
// stay readable, and on the screen.
TEST_F(UpdateDialogsTest, AnUpdateDialogOpensBesideAnOpenNoticeNotOverIt) {
  const std::pair<const char*, std::function<void(QtUpdateDialogPresenter&)>> cases[] = {
      {"update found",
       [](QtUpdateDialogPresenter& p) { p.showUpdateFound(item(), [](UpdateFoundChoice) {}); }},
      {"download", [](QtUpdateDialogPresenter& p) { p.showDownloadProgress(1, 10, [] {}); }},
      {"ready",
       [](QtUpdateDialogPresenter& p) { p.showReadyToInstall(item(), [](ReadyToInstallChoice) {}); }},
  };
  for (const auto& [name, open] : cases) {
    SCOPED_TRACE(name);
    QtUpdateDialogPresenter own;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "여러 줄로 이어지는 설명 ";
    own.showNotice("업데이트를 설치하지 못했습니다", text, UpdateDialogPresenting::NoticeStyle::warning,
                   [] {});
    QApplication::processEvents();
    ASSERT_EQ(own.openDialogs().size(), 1u);
    QWidget* alert = own.openDialogs().front();
    const QRect notice = own.noticeWindow()->frameGeometry().united(alert->frameGeometry());
    open(own);
    QApplication::processEvents();
    ASSERT_EQ(own.openDialogs().size(), 2u);
    QWidget* dialog = own.openDialogs().front();
    EXPECT_FALSE(dialog->frameGeometry().intersects(notice)) << name;
    EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().contains(dialog->frameGeometry()));
    // The notice itself stays where it opened.
    EXPECT_EQ(own.noticeWindow()->frameGeometry().united(alert->frameGeometry()), notice);
    own.dismissAll();
  }
}

// Without a notice, an update dialog opens where it always did: centred on the screen.
TEST_F(UpdateDialogsTest, WithoutANoticeTheUpdateDialogIsCentred) {
  presenter.showUpdateFound(item(), [](UpdateFoundChoice) {});
  QApplication::processEvents();
  ASSERT_EQ(presenter.openDialogs().size(), 1u);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((presenter.openDialogs().front()->frameGeometry().center() - screen.center()).manhattanLength(),
            4);
  presenter.dismissAll();
}

TEST_F(UpdateDialogsTest, TheDownloadWindowHasOneSize) {
  presenter.showDownloadProgress(1, 10, [] {});
  QApplication::processEvents();
  auto* progress = qobject_cast<QProgressDialog*>(presenter.openDialogs().front());
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->minimumSize(), progress->maximumSize());
  EXPECT_EQ(progress->size(), progress->minimumSize());
  presenter.dismissAll();
}

}  // namespace
}  // namespace vantrel
