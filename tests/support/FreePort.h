// A port that nothing is bound to right now, for a test's listener.
//
// It comes from below the range the system hands out by itself (to connecting
// sockets and to binds of port 0): busy tests next door take and release those
// ports by the thousand, and a listener on a port that one of their
// connections holds, even in TIME_WAIT, cannot bind. Below that range only
// explicit binds land. Plain POSIX, so that the tests that hold no Qt (the C++
// client's) use it as well.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>

inline std::uint16_t freeLoopbackPort(int type) {
  int automaticFrom = 32768;
  if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(range, "%d", &automaticFrom) != 1) automaticFrom = 32768;
    std::fclose(range);
  }
  constexpr int kLowest = 20000;
  if (automaticFrom <= kLowest + 1000) automaticFrom = 32768;
  static std::minstd_rand random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  std::uniform_int_distribution<int> candidates(kLowest, automaticFrom - 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto port = static_cast<std::uint16_t>(candidates(random));
    const int probe = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (free) return port;
  }
  return 0;
}

inline std::uint16_t freeTcpPort() { return freeLoopbackPort(SOCK_STREAM); }
