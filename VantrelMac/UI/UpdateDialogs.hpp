#pragma once

// The standard user driver's dialogs as Qt widgets: update found, download progress, ready to
// install, and notices. No call waits: it returns at once and the reply comes when the user
// answers (closing a dialog counts as "later"); each reply runs exactly once. A notice is an
// alert on a small titled window of its own (420 × 90 of content), modal to that window only.
// An update dialog that opens while a notice waits for its answer is placed beside the notice,
// never over it: both stay readable.

#include <QString>

#include <memory>
#include <optional>
#include <vector>

#include "Platform/Update/UpdateFramework.hpp"

class QMessageBox;
class QProgressDialog;
class QWidget;

namespace vantrel {

inline constexpr int noticeContentWidth = 420;
inline constexpr int noticeContentHeight = 90;

// Whether `word` read aloud in Korean ends on a final consonant, which decides its particle
// (이/가, 을/를): a digit by its Sino-Korean name (0 영, 1 일, 3 삼, 6 육, 7 칠, 8 팔 do; 2 이,
// 4 사, 5 오, 9 구 do not), a Latin letter by its name (L, M, N and R do), a Hangul syllable by
// its own final. Trailing punctuation is passed over; nullopt when nothing readable is left.
std::optional<bool> endsOnFinalConsonant(const QString& word);

class QtUpdateDialogPresenter : public UpdateDialogPresenting {
 public:
  QtUpdateDialogPresenter();
  ~QtUpdateDialogPresenter() override;

  void showUpdateFound(const AppcastItem& item, std::function<void(UpdateFoundChoice)> reply) override;
  void showDownloadProgress(std::uint64_t received, std::uint64_t expected,
                            std::function<void()> cancel) override;
  void showReadyToInstall(const AppcastItem& item, std::function<void(ReadyToInstallChoice)> reply) override;
  void showNotice(const std::string& title, const std::string& text, NoticeStyle style,
                  std::function<void()> acknowledgement) override;
  // Maps the open notice again (a window manager may have minimised it), raises it and makes it
  // the active window.
  void bringNoticeForward() override;
  // Closes the update dialogs (found, progress, ready); a notice stays until the user answers it.
  void dismissAll() override;

  // The dialogs on screen (tests and screenshots).
  std::vector<QWidget*> openDialogs() const;
  // The window of the notice on screen (null when none is).
  QWidget* noticeWindow() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vantrel
