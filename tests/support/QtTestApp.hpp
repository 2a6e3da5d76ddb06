#pragma once

// One QApplication for the widget tests, on the offscreen platform unless a platform is chosen.

#include <QApplication>
#include <QByteArray>

#include <cstdlib>

namespace vantrel::testing {

inline QApplication& uiApp() {
  static int argc = 1;
  static char name[] = "vantrel_ui_test";
  static char* argv[] = {name, nullptr};
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Never destroyed: at static destruction Qt's own globals may already be gone.
  static auto* app = new QApplication(argc, argv);
  return *app;
}

// Runs queued Qt work (posted calls, zero-delay timers) a bounded number of rounds.
inline void processQueued(int rounds = 5) {
  for (int i = 0; i < rounds; ++i) QApplication::processEvents(QEventLoop::AllEvents);
}

// Sets VANTREL_REDUCED_MOTION (nullptr: unsets it) for one test and restores what was there.
class ReducedMotion {
 public:
  explicit ReducedMotion(const char* value) : had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
    if (value != nullptr) {
      qputenv(name, value);
    } else {
      qunsetenv(name);
    }
  }
  ~ReducedMotion() {
    if (had_) {
      qputenv(name, old_);
    } else {
      qunsetenv(name);
    }
  }

 private:
  static constexpr const char* name = "VANTREL_REDUCED_MOTION";
  bool had_;
  QByteArray old_;
};

}  // namespace vantrel::testing
