#pragma once

// One QApplication for the update widget tests, on the offscreen platform unless one is chosen.

#include <QApplication>

#include <cstdlib>

namespace vantrel {

inline QApplication& app() {
  static int argc = 1;
  static char name[] = "unit_UpdateUI";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QApplication instance(argc, argv);
  return instance;
}

}  // namespace vantrel
