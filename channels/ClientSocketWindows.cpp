#include <winsock2.h>
#include <ws2tcpip.h>

#include "channels/ClientSocket.h"

namespace clientsocket {

QHostAddress peerAddress(qintptr descriptor) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (::getpeername(SOCKET(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

bool isPeerPresent(qintptr descriptor) {
  WSAPOLLFD p{SOCKET(descriptor), POLLRDNORM, 0};
  if (::WSAPoll(&p, 1, 0) <= 0) return true;
  if (p.revents & (POLLERR | POLLNVAL)) return false;
  // Readable, so the peek does not wait: a byte, or the end of the stream.
  char byte;
  const int n = ::recv(SOCKET(descriptor), &byte, 1, MSG_PEEK);
  if (n > 0) return true;
  if (n == 0) return false;
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

void closeUnread(qintptr descriptor) {
  const linger reset{1, 0};
  ::setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
               sizeof reset);
  ::closesocket(SOCKET(descriptor));
}

}  // namespace clientsocket
