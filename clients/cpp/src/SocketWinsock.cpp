// Winsock implementation of the socket layer (Windows).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "nmbclient/Errors.h"
#include "nmbclient/Socket.h"

namespace nmb::net {

namespace {

// Winsock must be started once per process before the first socket call.
void startWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) throw ConnectionError("WSAStartup failed");
  });
}

std::string systemError(const char* what) {
  return std::string(what) + ": Winsock error " + std::to_string(::WSAGetLastError());
}

int msLeft(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left);
}

bool waitFor(SOCKET s, short events, Deadline deadline) {
  for (;;) {
    WSAPOLLFD p{s, events, 0};
    const int n = ::WSAPoll(&p, 1, msLeft(deadline));
    if (n > 0) return true;
    if (n == 0) {
      if (Clock::now() >= deadline) return false;
      continue;
    }
    throw ConnectionError(systemError("poll"));
  }
}

void setNonBlocking(SOCKET s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}

}  // namespace

void TcpStream::close() {
  if (handle_ != kInvalid) ::closesocket(static_cast<SOCKET>(handle_));
  handle_ = kInvalid;
}

TcpStream TcpStream::connect(const std::string& host, std::uint16_t port, Deadline deadline) {
  startWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0)
    throw ConnectionError("cannot resolve " + host);
  std::string lastError = "no address for " + host;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      lastError = systemError("socket");
      continue;
    }
    TcpStream stream(static_cast<std::intptr_t>(s));
    setNonBlocking(s);
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        lastError = systemError(("connect to " + host + ":" + service).c_str());
        continue;
      }
      if (!waitFor(s, POLLWRNORM, deadline)) {
        ::freeaddrinfo(found);
        throw TimeoutError("connecting to " + host + ":" + service + " timed out");
      }
      int error = 0;
      int len = sizeof error;
      ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
      if (error != 0) {
        lastError = "connect to " + host + ":" + service + ": Winsock error " + std::to_string(error);
        continue;
      }
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ::freeaddrinfo(found);
    return stream;
  }
  ::freeaddrinfo(found);
  throw ConnectionError(lastError + "; is the host (Nimbrel or nimbrel-sim) serving there?");
}

void TcpStream::sendAll(const std::uint8_t* data, std::size_t size, Deadline deadline) {
  if (!isOpen()) throw ConnectionError("not connected");
  const SOCKET s = static_cast<SOCKET>(handle_);
  while (size > 0) {
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int n = ::send(s, reinterpret_cast<const char*>(data), chunk, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      if (!waitFor(s, POLLWRNORM, deadline))
        throw TimeoutError("the plug-in did not take the request in time");
      continue;
    }
    throw ConnectionError(systemError("connection lost while sending"));
  }
}

std::size_t TcpStream::receiveSome(std::uint8_t* buffer, std::size_t capacity, Deadline deadline,
                                   bool waitFirst) {
  if (!isOpen()) throw ConnectionError("not connected");
  const SOCKET s = static_cast<SOCKET>(handle_);
  const int chunk = capacity > 0x40000000 ? 0x40000000 : static_cast<int>(capacity);
  if (waitFirst && !waitFor(s, POLLRDNORM, deadline)) return 0;
  for (;;) {
    const int n = ::recv(s, reinterpret_cast<char*>(buffer), chunk, 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) throw ConnectionError("the plug-in closed the connection");
    if (::WSAGetLastError() != WSAEWOULDBLOCK) throw ConnectionError(systemError("connection lost"));
    if (!waitFor(s, POLLRDNORM, deadline)) return 0;
  }
}

UdpReceiver::UdpReceiver(std::uint16_t port, Scope scope) {
  startWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) throw ConnectionError(systemError("udp socket"));
  handle_ = static_cast<std::intptr_t>(s);
  const BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(scope == Scope::Loopback ? INADDR_LOOPBACK : INADDR_ANY);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string error = systemError(("bind udp port " + std::to_string(port)).c_str());
    ::closesocket(s);
    handle_ = -1;
    throw ConnectionError(error);
  }
  setNonBlocking(s);
}

UdpReceiver::~UdpReceiver() {
  if (handle_ != -1) ::closesocket(static_cast<SOCKET>(handle_));
}

std::size_t UdpReceiver::receive(std::uint8_t* buffer, std::size_t capacity, Deadline deadline,
                                 std::string& from) {
  const SOCKET s = static_cast<SOCKET>(handle_);
  const int chunk = capacity > 65536 ? 65536 : static_cast<int>(capacity);
  for (;;) {
    sockaddr_in sender{};
    int len = sizeof sender;
    const int n =
        ::recvfrom(s, reinterpret_cast<char*>(buffer), chunk, 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n >= 0) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &sender.sin_addr, text, sizeof text);
      from = text;
      return static_cast<std::size_t>(n);
    }
    const int error = ::WSAGetLastError();
    // A datagram larger than the buffer is not an announcement: skip it.
    if (error == WSAEMSGSIZE) continue;
    if (error != WSAEWOULDBLOCK) throw ConnectionError(systemError("udp receive"));
    if (!waitFor(s, POLLRDNORM, deadline)) return 0;
  }
}

UdpSender::UdpSender() noexcept {
  try {
    startWinsock();
  } catch (...) {
    return;
  }
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return;
  setNonBlocking(s);
  handle_ = static_cast<std::intptr_t>(s);
}

UdpSender::~UdpSender() {
  if (handle_ != -1) ::closesocket(static_cast<SOCKET>(handle_));
}

bool UdpSender::sendToLoopback(std::uint16_t port, const char* data, std::size_t size) noexcept {
  if (handle_ == -1) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::sendto(static_cast<SOCKET>(handle_), data, static_cast<int>(size), 0,
                  reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<int>(size);
}

}  // namespace nmb::net
