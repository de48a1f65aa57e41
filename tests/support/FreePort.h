// A loopback port that nothing is bound to right now, chosen by the system:
// bound to port 0, read back and released. Plain POSIX, so that the tests
// that hold no Qt (the C++ client's) use it as well.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

inline std::uint16_t freeLoopbackPort(int type) {
  const int probe = ::socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::uint16_t port = 0;
  socklen_t length = sizeof address;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(probe);
  return port;
}

inline std::uint16_t freeTcpPort() { return freeLoopbackPort(SOCK_STREAM); }
