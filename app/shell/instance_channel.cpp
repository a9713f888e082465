// The local socket between a second start and the running copy.
#include "app/shell/instance_channel.h"

#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/platform.h"

namespace shell {
namespace {

QString SocketName(const std::string& socketPath) {
  return QFile::decodeName(QByteArray::fromStdString(socketPath));
}

}  // namespace

std::string InstanceSocketPath(std::string_view lockName) {
  // The same choice of folder as the lock's own.
  std::string folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0' && platform::IsFolder(runtime)) {
    folder = runtime;
  } else {
    folder = "/tmp/tresolin-" + std::to_string(::getuid());
  }
  return folder + "/" + std::string(lockName) + ".socket";
}

bool SendToRunningCopy(const std::string& socketPath, const std::string& path,
                       std::chrono::milliseconds patience) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + patience;
  QLocalSocket socket;
  for (;;) {
    socket.connectToServer(SocketName(socketPath));
    if (socket.waitForConnected(500)) break;
    if (Clock::now() >= deadline) return false;
    QThread::msleep(100);
  }
  QByteArray message = QByteArray::fromStdString(std::string(kGreeting) + path);
  qint64 written = 0;
  while (written < message.size()) {
    const qint64 now = socket.write(message.constData() + written, message.size() - written);
    if (now < 0) return false;
    written += now;
  }
  while (socket.bytesToWrite() > 0) {
    if (!socket.waitForBytesWritten(2000)) return false;
  }
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(2000);
  return true;
}

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::TakeConnection);
}

bool InstanceServer::Listen(const std::string& socketPath) {
  std::error_code ec;
  if (std::filesystem::symlink_status(socketPath, ec).type() ==
      std::filesystem::file_type::socket) {
    std::filesystem::remove(socketPath, ec);
  }
  return server_.listen(SocketName(socketPath));
}

void InstanceServer::TakeConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    socket->setParent(this);
    auto received = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::readyRead, socket, [socket, received] {
      received->append(socket->readAll());
      if (received->size() > kMaxMessageBytes) socket->abort();
    });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket, received] {
      received->append(socket->readAll());
      const QByteArray greeting = QByteArray::fromStdString(std::string(kGreeting));
      const bool whole = received->size() <= kMaxMessageBytes && received->startsWith(greeting);
      const std::string path = received->mid(greeting.size()).toStdString();
      socket->deleteLater();
      if (whole) emit openRequested(path);
    });
  }
}

}  // namespace shell
