#include <gtest/gtest.h>

#include "Model/Update/NonblockingUpdateUserDriver.hpp"
#include "Support/SystemLog.hpp"
#include "Support/Text.hpp"

namespace vantrel {
namespace {

// Records notices; "확인" is pressed by calling the stored acknowledgement.
class RecordingPresenter : public UpdateDialogPresenting {
 public:
  struct Notice {
    std::string title, text;
    NoticeStyle style;
    std::function<void()> ok;
  };
  std::vector<Notice> notices;
  std::vector<std::string> events;

  void showUpdateFound(const AppcastItem&, std::function<void(UpdateFoundChoice)>) override {}
  void showDownloadProgress(std::uint64_t, std::uint64_t, std::function<void()>) override {}
  void showReadyToInstall(const AppcastItem&, std::function<void(ReadyToInstallChoice)>) override {}
  void showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                  std::function<void()> ok) override {
    events.push_back("present");
    notices.push_back({title, text, style, std::move(ok)});
  }
  void bringNoticeForward() override { events.push_back("forward"); }
  void dismissAll() override { events.push_back("dismiss"); }
};

class NonblockingDriverTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
  std::shared_ptr<NonblockingUpdateUserDriver> driver =
      std::make_shared<NonblockingUpdateUserDriver>(presenter);
  std::vector<std::string> errors;
  int acks = 0;

  void SetUp() override {
    driver->onError = [this](const UpdaterError& e) {
      errors.push_back(e.localizedDescription());
      presenter->events.push_back("onError");
    };
  }
};

TEST_F(NonblockingDriverTest, ErrorIsForwardedFirstAndAcknowledgedOnOk) {
  driver->showUpdaterError(UpdaterError("d", 1, "boom"), [&] { ++acks; });
  EXPECT_EQ(presenter->events, (std::vector<std::string>{"onError", "dismiss", "present"}));
  ASSERT_EQ(presenter->notices.size(), 1u);
  EXPECT_EQ(presenter->notices[0].title, "업데이트를 설치하지 못했습니다");
  EXPECT_EQ(presenter->notices[0].text,
            "현재 앱은 계속 실행됩니다. 연결·저장 공간을 확인하거나 배포 담당자에게 문의해 주세요.\n\nboom");
  EXPECT_EQ(presenter->notices[0].style, UpdateDialogPresenting::NoticeStyle::warning);
  EXPECT_EQ(acks, 0);
  presenter->notices[0].ok();
  EXPECT_EQ(acks, 1);
  EXPECT_FALSE(driver->isPresentingNotice());
}

TEST_F(NonblockingDriverTest, SecondNoticeIsAcknowledgedAtOnceAndNotShown) {
  MemoryLogSink log;
  driver->showUpdaterError(UpdaterError("d", 1, "first"), [&] { ++acks; });
  driver->showUpdaterError(UpdaterError("d", 2, "second"), [&] { ++acks; });
  EXPECT_EQ(errors.size(), 2u);  // onError still runs
  EXPECT_EQ(acks, 1);            // the duplicate, at once
  EXPECT_EQ(presenter->notices.size(), 1u);
  // The notice that blocked it is brought back into sight (it may have been minimised).
  EXPECT_EQ(presenter->events,
            (std::vector<std::string>{"onError", "dismiss", "present", "onError", "forward"}));
  EXPECT_TRUE(log.contains("VantrelMac updater duplicate error presentation rejected"));
}

TEST_F(NonblockingDriverTest, LongDescriptionsAreCutTo1200Characters) {
  std::string description;
  for (int i = 0; i < 5000; ++i) description += "가";
  driver->showUpdateNotFound(UpdaterError("d", 1, description), [] {});
  ASSERT_EQ(presenter->notices.size(), 1u);
  EXPECT_EQ(text::characterCount(presenter->notices[0].text), 1200u);
  EXPECT_TRUE(text::isValidUTF8(presenter->notices[0].text));
  EXPECT_EQ(presenter->notices[0].title, "설치 가능한 새 버전이 없습니다");
  EXPECT_EQ(presenter->notices[0].style, UpdateDialogPresenting::NoticeStyle::informational);
  EXPECT_TRUE(errors.empty());  // not an error
}

TEST_F(NonblockingDriverTest, InstalledNotices) {
  driver->showUpdateInstalledAndRelaunched(true, [&] { ++acks; });
  EXPECT_EQ(acks, 1);
  EXPECT_TRUE(presenter->notices.empty());
  EXPECT_EQ(presenter->events, std::vector<std::string>{"dismiss"});
  driver->showUpdateInstalledAndRelaunched(false, [&] { ++acks; });
  ASSERT_EQ(presenter->notices.size(), 1u);
  EXPECT_EQ(presenter->notices[0].title, "업데이트 설치가 완료되었습니다");
  EXPECT_EQ(presenter->notices[0].text, "다음 실행부터 새 버전을 사용합니다.");
}

TEST_F(NonblockingDriverTest, AcknowledgedEvenWhenTheDriverIsGone) {
  driver->showUpdaterError(UpdaterError("d", 1, "x"), [&] { ++acks; });
  auto ok = presenter->notices[0].ok;
  driver.reset();
  ok();
  EXPECT_EQ(acks, 1);
}

}  // namespace
}  // namespace vantrel
