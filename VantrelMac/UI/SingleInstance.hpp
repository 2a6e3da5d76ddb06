#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "Model/Status/AppDelegatePresenter.hpp"

class QLocalServer;
class QLocalSocket;

namespace vantrel {

// One interactive instance per user and bundle: the first launch listens on a local socket; a
// later launch hands its arguments over and ends.
class SingleInstance : public QObject {
 public:
  explicit SingleInstance(QString socketPath, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is now the instance (a stale socket left by a crash is replaced);
  // false when another live instance holds the socket.
  bool listen(std::function<void(const AppDelegatePresenter::HandOver&)> onHandOver);

  // The second launch's side: true when the running instance took the hand-over.
  static bool handOver(const QString& socketPath, const AppDelegatePresenter::HandOver& handOver,
                       int timeoutMilliseconds = 3000);

  const QString& socketPath() const { return socketPath_; }

 private:
  void accept();
  void readFrom(QLocalSocket* socket);

  QString socketPath_;
  QLocalServer* server_ = nullptr;
  std::function<void(const AppDelegatePresenter::HandOver&)> onHandOver_;
};

// SIGTERM and SIGINT end the program through its quit path: the handler only writes a byte to a
// pipe, and a notifier on the event loop reads it and calls `onSignal` there.
class QuitSignals : public QObject {
 public:
  explicit QuitSignals(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~QuitSignals() override;

 private:
  std::function<void(int)> onSignal_;
  int readEnd_ = -1;
};

}  // namespace vantrel
