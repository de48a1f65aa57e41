#include <sys/socket.h>

#include <cerrno>

#include "channels/NativeSocket.h"

namespace nativesocket {

Status sendSome(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
  sent = 0;
  for (;;) {
    // MSG_NOSIGNAL: a closed peer must not raise SIGPIPE in Nimbrel's process.
    const ssize_t n = ::send(int(descriptor), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = n;
      return Status::Ok;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Status::WouldBlock : Status::Gone;
  }
}

Status checkPeer(qintptr descriptor) {
  char scratch[4096];
  // Bounded: a client that floods its execute connection is looked at again
  // at the next notification.
  for (int round = 0; round < 16; ++round) {
    const ssize_t n = ::recv(int(descriptor), scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) return Status::Gone;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? Status::Ok : Status::Gone;
    }
  }
  return Status::Ok;
}

}  // namespace nativesocket
