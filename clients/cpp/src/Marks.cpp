#include "nmbclient/Marks.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "nmbclient/Socket.h"

namespace nmb {

namespace {

std::atomic<std::uint64_t> dropped{0};

std::uint16_t defaultPort() {
  static const std::uint16_t port = [] {
    const char* text = std::getenv("NMB_EVENTS_PORT");
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 && value < 65536 ? static_cast<std::uint16_t>(value) : kEventsPort;
  }();
  return port;
}

// Writes the datagram into `out` (at least kMaxDatagram bytes); returns its size.
constexpr std::size_t kMaxDatagram = 64 + kMaxLabelBytes;

std::size_t writeMark(char* out, std::string_view label, std::optional<std::int32_t> volume,
                      double unixSeconds) {
  const int head =
      volume ? std::snprintf(out, 64, "Nimbrel Mark: %ld %.6f ", static_cast<long>(*volume), unixSeconds)
             : std::snprintf(out, 64, "Nimbrel Mark: - %.6f ", unixSeconds);
  std::size_t size = head > 0 ? static_cast<std::size_t>(head) : 0;
  std::size_t take = label.size() < kMaxLabelBytes ? label.size() : kMaxLabelBytes;
  // Cut on a character's boundary: never in the middle of a UTF-8 sequence.
  while (take < label.size() && take > 0 && (static_cast<unsigned char>(label[take]) & 0xC0) == 0x80) --take;
  for (std::size_t i = 0; i < take; ++i) {
    const char c = label[i];
    out[size++] = (c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') ? ' ' : c;
  }
  return size;
}

}  // namespace

std::string encodeMark(std::string_view label, std::optional<std::int32_t> volume, double unixSeconds) {
  char datagram[kMaxDatagram];
  return std::string(datagram, writeMark(datagram, label, volume, unixSeconds));
}

bool mark(std::string_view label, std::optional<std::int32_t> volume, std::uint16_t port) noexcept {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  char datagram[kMaxDatagram];
  const std::size_t size = writeMark(datagram, label, volume, now);
  static net::UdpSender sender;  // made once, on the first mark
  if (sender.sendToLoopback(port ? port : defaultPort(), datagram, size)) return true;
  dropped.fetch_add(1, std::memory_order_relaxed);
  return false;
}

std::uint64_t droppedMarks() noexcept { return dropped.load(std::memory_order_relaxed); }

}  // namespace nmb
