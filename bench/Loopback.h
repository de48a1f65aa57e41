// Loopback: the plain blocking sockets the benchmarks measure against, and a
// lean request client.
//
// Everything here connects to 127.0.0.1 only.  The raw client does no more
// than a client must (one send per request, receives until the frame is
// whole, no decoding), so that round-trip figures show the service, not the
// client.
//
//   RawClient client(port);                        // "Request Socket" handshake
//   std::string request = requestFrame("tGetMeanOfROI", {2});
//   client.roundTrip(request);                     // reply body in client.body()
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;

inline double microsecondsBetween(BenchClock::time_point a, BenchClock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// A framed request: the name as a counted, NUL-terminated string, then the
// arguments as big-endian 32-bit integers.
std::string requestFrame(const std::string& name, const std::vector<std::int32_t>& args = {});
// A role message ("Request Socket" / "Execute Socket").
std::string roleFrame(const std::string& role);

// Blocking TCP connection to 127.0.0.1:port with Nagle's delay off; -1 on failure.
int connectLoopback(std::uint16_t port);
bool sendAll(int fd, const void* data, std::size_t size);
bool receiveAll(int fd, void* data, std::size_t size);
// One frame's body; false when the connection failed.
bool receiveFrame(int fd, std::vector<std::uint8_t>& body);
// Sets TCP_NODELAY (as the plug-in's LowDelayOption does).
void setNoDelay(int fd);

// A TCP port nobody listens on right now.
std::uint16_t freeTcpPort();
// True when loopback is the only network interface: the plug-in's
// broadcasts then cannot leave the machine.
bool inPrivateNetwork();
// Resident set size of this process in bytes.
double residentBytes();

class RawClient {
 public:
  // Connects and sends `role`; throws std::runtime_error on failure.
  explicit RawClient(std::uint16_t port, const std::string& role = "Request Socket");
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Sends one request frame and receives one reply frame; false on failure.
  bool roundTrip(const std::string& request);
  const std::vector<std::uint8_t>& body() const { return body_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::vector<std::uint8_t> body_;
};
