#include "SingleInstance.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QtEndian>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "Model/Status/DiagnosticLog.hpp"

namespace vantrel {

namespace {

constexpr char acknowledgement = 'k';
constexpr qsizetype lengthSize = 4;

}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (server_ != nullptr) server_->close();
}

bool SingleInstance::listen(std::function<void(const AppDelegatePresenter::HandOver&)> onHandOver) {
  onHandOver_ = std::move(onHandOver);
  // A live instance answers. Ask before listening: a listener with access options is moved into
  // place by rename, which would silently take the name from the running instance.
  {
    QLocalSocket probe;
    probe.connectToServer(socketPath_);
    if (probe.waitForConnected(500)) return false;
  }
  // Whatever is left at the name is what a crash left behind.
  QLocalServer::removeServer(socketPath_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socketPath_)) {
    programLog().error("VantrelMac single-instance socket unavailable: {}",
                       server_->errorString().toStdString());
    return true;  // run anyway: one window is better than none
  }
  QObject::connect(server_, &QLocalServer::newConnection, this, [this] { accept(); });
  return true;
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
    readFrom(socket);
  }
}

void SingleInstance::readFrom(QLocalSocket* socket) {
  if (socket->bytesAvailable() < lengthSize) return;
  QByteArray head = socket->peek(lengthSize);
  const quint32 length = qFromBigEndian<quint32>(head.constData());
  if (length > AppDelegatePresenter::maximumHandOverSize) {
    programLog().error("VantrelMac refused an oversized hand-over ({} bytes)", length);
    socket->abort();
    return;
  }
  if (socket->bytesAvailable() < lengthSize + static_cast<qint64>(length)) return;
  socket->read(lengthSize);
  const QByteArray body = socket->read(length);
  const auto handOver = AppDelegatePresenter::decodeHandOver(std::string_view(body.constData(), body.size()));
  if (!handOver) {
    programLog().error("VantrelMac refused a malformed hand-over");
    socket->abort();
    return;
  }
  socket->write(&acknowledgement, 1);
  socket->flush();
  socket->disconnectFromServer();
  if (onHandOver_) onHandOver_(*handOver);
}

bool SingleInstance::handOver(const QString& socketPath, const AppDelegatePresenter::HandOver& handOver,
                              int timeoutMilliseconds) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(timeoutMilliseconds)) return false;
  const std::string body = AppDelegatePresenter::encodeHandOver(handOver);
  std::array<char, lengthSize> head{};
  qToBigEndian<quint32>(static_cast<quint32>(body.size()), head.data());
  socket.write(head.data(), lengthSize);
  socket.write(body.data(), static_cast<qint64>(body.size()));
  if (!socket.waitForBytesWritten(timeoutMilliseconds)) return false;
  while (socket.bytesAvailable() < 1) {
    if (!socket.waitForReadyRead(timeoutMilliseconds)) return false;
  }
  char answer = 0;
  return socket.read(&answer, 1) == 1 && answer == acknowledgement;
}

namespace {

int signalWriteEnd = -1;

void forwardSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalWriteEnd, &byte, 1);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    programLog().error("VantrelMac cannot watch SIGTERM/SIGINT: pipe failed");
    return;
  }
  readEnd_ = ends[0];
  signalWriteEnd = ends[1];
  auto* notifier = new QSocketNotifier(readEnd_, QSocketNotifier::Read, this);
  QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    while (::read(readEnd_, &byte, 1) == 1) {
      if (onSignal_) onSignal_(byte);
    }
  });
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

QuitSignals::~QuitSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  if (readEnd_ >= 0) ::close(readEnd_);
  if (signalWriteEnd >= 0) ::close(signalWriteEnd);
  signalWriteEnd = -1;
}

}  // namespace vantrel
