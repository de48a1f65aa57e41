// The client's small socket layer: the only code that touches the platform's
// socket API (POSIX sockets, or Winsock on Windows).  Everything above it
// works with deadlines on the monotonic clock and with these two classes.
//
// Both classes are move-only owners of one socket and are used by one thread
// at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace nmb::net {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

// A connected TCP stream (Nagle's delay off, so a request leaves at once).
class TcpStream {
 public:
  TcpStream() = default;
  ~TcpStream() { close(); }
  TcpStream(TcpStream&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
  TcpStream& operator=(TcpStream&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = other.handle_;
      other.handle_ = kInvalid;
    }
    return *this;
  }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Connects to host:port (a numeric address or a name); throws
  // ConnectionError on failure and TimeoutError after `deadline`.
  static TcpStream connect(const std::string& host, std::uint16_t port, Deadline deadline);

  // Writes all bytes; throws ConnectionError if the connection fails and
  // TimeoutError if the peer does not take them before `deadline`.
  void sendAll(const std::uint8_t* data, std::size_t size, Deadline deadline);

  // Receives at most `capacity` bytes, waiting until `deadline` for the first.
  // Returns the number received, 0 if the deadline passed with nothing;
  // throws ConnectionError when the peer has closed or the connection failed.
  // `waitFirst` saves a call when nothing can be there yet (right after a
  // request); otherwise the bytes already waiting are taken without a wait.
  std::size_t receiveSome(std::uint8_t* buffer, std::size_t capacity, Deadline deadline,
                          bool waitFirst = false);

  bool isOpen() const { return handle_ != kInvalid; }
  void close();

 private:
  static constexpr std::intptr_t kInvalid = -1;
  explicit TcpStream(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = kInvalid;
};

// A UDP socket bound to a port on every local address (for the discovery
// datagrams) or on 127.0.0.1 only (for what this computer's own programs send,
// such as a trigger), shared with other listeners on the same port (address
// reuse).
class UdpReceiver {
 public:
  enum class Scope { AnyAddress, Loopback };
  explicit UdpReceiver(std::uint16_t port, Scope scope = Scope::AnyAddress);
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // Waits until `deadline` for one datagram; returns its size (0 after the
  // deadline, or for an empty datagram) and the sender's address in `from`.
  std::size_t receive(std::uint8_t* buffer, std::size_t capacity, Deadline deadline, std::string& from);

 private:
  std::intptr_t handle_ = -1;
};

// A non-blocking UDP socket that sends datagrams to 127.0.0.1 (the marks of
// a stimulus program).  Several threads may send through one sender.
class UdpSender {
 public:
  UdpSender() noexcept;
  ~UdpSender();
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Hands one datagram to the system without waiting; false when it could not.
  bool sendToLoopback(std::uint16_t port, const char* data, std::size_t size) noexcept;

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace nmb::net
