#include "tests/support/LoopbackClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>
#include <cerrno>
#include <cstring>

namespace {

sockaddr_in loopback(quint16 port, const char* host = nullptr) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (host != nullptr) ::inet_pton(AF_INET, host, &address.sin_addr);
  return address;
}

}  // namespace

LoopbackClient::~LoopbackClient() { close(); }

bool LoopbackClient::connectTo(quint16 port, const char* host, const char* source) {
  close();
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Before connecting, so that the window the client offers is small too.
  if (receiveBufferBytes > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  if (source != nullptr) {
    sockaddr_in local = loopback(0, source);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close();
      return false;
    }
  }
  sockaddr_in address = loopback(port, host);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close();
    return false;
  }
  return true;
}

bool LoopbackClient::connectWithRetry(quint16 port, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!connectTo(port)) {
    if (timer.elapsed() > timeoutMs) return false;
    QThread::msleep(5);
  }
  return true;
}

bool LoopbackClient::send(const QByteArray& bytes) {
  qint64 sent = 0;
  while (fd >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += n;
  }
  return fd >= 0;
}

QByteArray LoopbackClient::receive(int count, int timeoutMs) {
  QByteArray bytes;
  QElapsedTimer timer;
  timer.start();
  while (fd >= 0 && bytes.size() < count) {
    const qint64 left = timeoutMs - timer.elapsed();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(left)) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, size_t(qMin(count - bytes.size(), int(sizeof buffer))), 0);
    if (n <= 0) break;
    bytes.append(buffer, int(n));
  }
  return bytes;
}

bool LoopbackClient::waitForClose(int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (fd >= 0) {
    // A time-out of 0 still looks once: has the peer closed already?
    const qint64 left = timeoutMs - timer.elapsed();
    if (left < 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return true;
}

bool LoopbackClient::staysQuiet(int timeoutMs) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 0;
}

QByteArray LoopbackClient::receiveFrame(int timeoutMs) {
  const QByteArray head = receive(8, timeoutMs);
  if (head.size() != 8) return QByteArray();
  const qint64 length = qFromBigEndian<qint64>(head.constData());
  // Nothing the plug-in sends comes near this; a wild length is a fault.
  if (length < 0 || length > (qint64(1) << 26)) return QByteArray();
  const QByteArray body = receive(int(length), timeoutMs);
  return body.size() == length ? head + body : QByteArray();
}

void LoopbackClient::reset() {
  if (fd < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close();
}

void LoopbackClient::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

quint16 LoopbackClient::localPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

