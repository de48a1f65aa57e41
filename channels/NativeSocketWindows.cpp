#include <winsock2.h>

#include "channels/NativeSocket.h"

namespace nativesocket {

// Qt keeps its sockets in non-blocking mode, so these calls never wait.

Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
  sent = 0;
  const int n = ::send(SOCKET(descriptor), data, int(qMin<qint64>(size, 1 << 30)), 0);
  if (n != SOCKET_ERROR) {
    sent = n;
    return Status::Ok;
  }
  return WSAGetLastError() == WSAEWOULDBLOCK ? Status::WouldBlock : Status::Gone;
}

Status checkPeer(qintptr descriptor) {
  char scratch[4096];
  for (int round = 0; round < 16; ++round) {
    const int n = ::recv(SOCKET(descriptor), scratch, int(sizeof scratch), 0);
    if (n == 0) return Status::Gone;
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? Status::Ok : Status::Gone;
  }
  return Status::Ok;
}

}  // namespace nativesocket
