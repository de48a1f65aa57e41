#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "channels/ClientSocket.h"

namespace clientsocket {

QHostAddress peerAddress(qintptr descriptor) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

bool isPeerPresent(qintptr descriptor) {
  pollfd p{int(descriptor), POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return true;
  if (p.revents & (POLLERR | POLLNVAL)) return false;
  char byte;
  for (;;) {
    const ssize_t n = ::recv(int(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void closeUnread(qintptr descriptor) {
  const linger reset{1, 0};
  ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(int(descriptor));
}

}  // namespace clientsocket
