#include "nmbclient/Discovery.h"

#include <cstring>

#include "protocol/ProtocolTexts.h"

namespace nmb {

std::optional<std::uint16_t> parseAnnouncement(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t prefixSize = sizeof texts::kBroadcastPrefix - 1;
  if (size <= prefixSize || size > prefixSize + 5) return std::nullopt;
  if (std::memcmp(data, texts::kBroadcastPrefix, prefixSize) != 0) return std::nullopt;
  if (data[prefixSize] == '0') return std::nullopt;  // the port is sent without leading zeros
  std::uint32_t port = 0;
  for (std::size_t i = prefixSize; i < size; ++i) {
    if (data[i] < '0' || data[i] > '9') return std::nullopt;
    port = port * 10 + (data[i] - '0');
  }
  if (port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

std::vector<Announcement> discover(std::chrono::milliseconds timeout, std::uint16_t udpPort) {
  net::UdpReceiver receiver(udpPort);
  const net::Deadline until = net::Clock::now() + timeout;
  std::vector<Announcement> found;
  std::uint8_t datagram[512];
  while (net::Clock::now() < until) {
    std::string from;
    const std::size_t size = receiver.receive(datagram, sizeof datagram, until, from);
    if (size == 0) continue;
    const std::optional<std::uint16_t> port = parseAnnouncement(datagram, size);
    if (!port) continue;
    bool known = false;
    for (const Announcement& a : found) known = known || (a.address == from && a.port == *port);
    if (!known) found.push_back(Announcement{from, *port, net::Clock::now()});
  }
  return found;
}

}  // namespace nmb
