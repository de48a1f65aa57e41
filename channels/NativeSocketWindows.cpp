// WSAPoll needs the Vista API level of the Winsock headers.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <winsock2.h>

#include "channels/NativeSocket.h"

namespace nativesocket {

namespace {

// Full buffers, and a system short of buffer space for a moment: both pass,
// and neither says anything about the client.
bool isTemporary(int error) { return error == WSAEWOULDBLOCK || error == WSAENOBUFS || error == WSAEINTR; }

}  // namespace

// Qt keeps its sockets in non-blocking mode, so these calls never wait.

Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
  sent = 0;
  const int n = ::send(SOCKET(descriptor), data, int(qMin<qint64>(size, 1 << 30)), 0);
  if (n != SOCKET_ERROR) {
    sent = n;
    return Status::Ok;
  }
  return isTemporary(WSAGetLastError()) ? Status::WouldBlock : Status::Gone;
}

Status checkPeer(qintptr descriptor) {
  char scratch[4096];
  for (int round = 0; round < 16; ++round) {
    const int n = ::recv(SOCKET(descriptor), scratch, int(sizeof scratch), 0);
    if (n == 0) return Status::Gone;
    if (n == SOCKET_ERROR) return isTemporary(WSAGetLastError()) ? Status::Ok : Status::Gone;
  }
  return Status::Ok;
}

bool waitWritable(qintptr descriptor, int timeoutMs) {
  WSAPOLLFD watch{SOCKET(descriptor), POLLWRNORM, 0};
  return WSAPoll(&watch, 1, timeoutMs) > 0;
}

// Winsock cannot wait on a pipe or an event together with sockets, so the
// wake-up channel is a UDP socket on 127.0.0.1 that wake() sends a datagram
// to; nothing leaves the machine.
struct Poller::Platform {
  SOCKET wakeSocket = INVALID_SOCKET;
  sockaddr_in wakeAddress{};
  std::vector<WSAPOLLFD> fds;  // [0] the wake-up socket, then the watched descriptors
};

Poller::Poller() : platform(new Platform) {
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = int(sizeof address);
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    ::closesocket(s);
    return;
  }
  platform->wakeSocket = s;
  platform->wakeAddress = address;
  platform->fds.push_back(WSAPOLLFD{s, POLLRDNORM, 0});
}

Poller::~Poller() {
  if (platform->wakeSocket != INVALID_SOCKET) ::closesocket(platform->wakeSocket);
}

bool Poller::isValid() const { return platform->wakeSocket != INVALID_SOCKET; }

void Poller::wake() {
  const char byte = 1;
  ::sendto(platform->wakeSocket, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&platform->wakeAddress),
           int(sizeof platform->wakeAddress));
}

void Poller::clear() { platform->fds.resize(1); }

void Poller::add(qintptr descriptor) {
  platform->fds.push_back(WSAPOLLFD{SOCKET(descriptor), POLLWRNORM, 0});
}

void Poller::wait(int timeoutMs) {
  for (WSAPOLLFD& fd : platform->fds) fd.revents = 0;
  if (WSAPoll(platform->fds.data(), ULONG(platform->fds.size()), timeoutMs < 0 ? -1 : timeoutMs) <= 0) return;
  if (platform->fds[0].revents != 0) {
    char scratch[64];
    while (::recv(platform->wakeSocket, scratch, int(sizeof scratch), 0) > 0) {
    }
  }
}

bool Poller::isReady(int index) const { return platform->fds[std::size_t(index) + 1].revents != 0; }

}  // namespace nativesocket
