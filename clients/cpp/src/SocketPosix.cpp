// POSIX implementation of the socket layer (Linux, macOS).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nmbclient/Errors.h"
#include "nmbclient/Socket.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // macOS: SO_NOSIGPIPE is set on the socket instead
#endif

namespace nmb::net {

namespace {

std::string systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Milliseconds left until `deadline`, rounded up so a wait never ends early.
int msLeft(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

// Waits for `events` on `fd`; false when the deadline passed first.
bool waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, msLeft(deadline));
    if (n > 0) return true;
    if (n == 0) {
      if (Clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) throw ConnectionError(systemError("poll"));
  }
}

}  // namespace

void TcpStream::close() {
  if (handle_ != kInvalid) ::close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

TcpStream TcpStream::connect(const std::string& host, std::uint16_t port, Deadline deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
    throw ConnectionError("cannot resolve " + host + ": " + ::gai_strerror(rc));
  std::string lastError = "no address for " + host;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) {
      lastError = systemError("socket");
      continue;
    }
    TcpStream stream(fd);
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        lastError = systemError(("connect to " + host + ":" + service).c_str());
        continue;
      }
      if (!waitFor(fd, POLLOUT, deadline)) {
        ::freeaddrinfo(found);
        throw TimeoutError("connecting to " + host + ":" + service + " timed out");
      }
      int error = 0;
      socklen_t len = sizeof error;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
      if (error != 0) {
        errno = error;
        lastError = systemError(("connect to " + host + ":" + service).c_str());
        continue;
      }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    ::freeaddrinfo(found);
    return stream;
  }
  ::freeaddrinfo(found);
  throw ConnectionError(lastError + "; is the host (Nimbrel or nimbrel-sim) serving there?");
}

void TcpStream::sendAll(const std::uint8_t* data, std::size_t size, Deadline deadline) {
  if (!isOpen()) throw ConnectionError("not connected");
  const int fd = static_cast<int>(handle_);
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitFor(fd, POLLOUT, deadline)) throw TimeoutError("the plug-in did not take the request in time");
      continue;
    }
    throw ConnectionError(systemError("connection lost while sending"));
  }
}

std::size_t TcpStream::receiveSome(std::uint8_t* buffer, std::size_t capacity, Deadline deadline,
                                   bool waitFirst) {
  if (!isOpen()) throw ConnectionError("not connected");
  const int fd = static_cast<int>(handle_);
  if (waitFirst && !waitFor(fd, POLLIN, deadline)) return 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) throw ConnectionError("the plug-in closed the connection");
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw ConnectionError(systemError("connection lost"));
    if (!waitFor(fd, POLLIN, deadline)) return 0;
  }
}

UdpReceiver::UdpReceiver(std::uint16_t port, Scope scope) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw ConnectionError(systemError("udp socket"));
  handle_ = fd;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#if defined(SO_REUSEPORT) && !defined(__linux__)
  // The BSDs (macOS) share a UDP port between sockets only with this option.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
#endif
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(scope == Scope::Loopback ? INADDR_LOOPBACK : INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string error = systemError(("bind udp port " + std::to_string(port)).c_str());
    ::close(fd);
    handle_ = -1;
    throw ConnectionError(error);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

UdpReceiver::~UdpReceiver() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::size_t UdpReceiver::receive(std::uint8_t* buffer, std::size_t capacity, Deadline deadline,
                                 std::string& from) {
  const int fd = static_cast<int>(handle_);
  for (;;) {
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    const ssize_t n = ::recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n >= 0) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
      from = text;
      return static_cast<std::size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw ConnectionError(systemError("udp receive"));
    if (!waitFor(fd, POLLIN, deadline)) return 0;
  }
}

UdpSender::UdpSender() noexcept {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  handle_ = fd;
}

UdpSender::~UdpSender() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool UdpSender::sendToLoopback(std::uint16_t port, const char* data, std::size_t size) noexcept {
  if (handle_ < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::sendto(static_cast<int>(handle_), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(size);
}

}  // namespace nmb::net
