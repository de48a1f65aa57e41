// Finding running plug-ins: each one announces its port about once a second
// with a UDP datagram "Nimbrel Broadcast: <port>" to port 55555.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nmbclient/Socket.h"

namespace nmb {

// UDP port the announcements go to.
inline constexpr std::uint16_t kDiscoveryPort = 55555;

struct Announcement {
  std::string address;  // the sender, where the plug-in listens
  std::uint16_t port = 0;
  net::Clock::time_point received;
};

// The TCP port an announcement datagram carries, or nothing if the bytes are
// not exactly the announcement text followed by a port number.
std::optional<std::uint16_t> parseAnnouncement(const std::uint8_t* data, std::size_t size);

// Listens for `timeout` and returns every distinct plug-in (address, port)
// heard, in the order first heard.  Shares the UDP port with other listeners
// that allow it (address reuse); throws ConnectionError if it cannot bind.
std::vector<Announcement> discover(std::chrono::milliseconds timeout, std::uint16_t udpPort = kDiscoveryPort);

}  // namespace nmb
