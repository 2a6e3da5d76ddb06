#pragma once

// Holds a status window's content resize as soon as it starts, so that a test drives it by hand
// and a busy machine cannot run it on between two looks.

#include <QApplication>
#include <QVariantAnimation>
#include <QWidget>

#include "UI/WindowChrome.hpp"

namespace vantrel::testing {

// The window's resize, paused; null when none starts within a few rounds of queued work.
inline QVariantAnimation* heldResize(QWidget* window) {
  for (int round = 0; round < 10; ++round) {
    QApplication::processEvents(QEventLoop::AllEvents);
    if (QVariantAnimation* animation = WindowContentResizer::runningAnimation(window)) {
      animation->pause();
      return animation;
    }
  }
  return nullptr;
}

}  // namespace vantrel::testing
