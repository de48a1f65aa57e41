// A scripted stand-in for the plug-in on 127.0.0.1, port chosen by the system:
// it accepts one connection and runs the test's script on it in a thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>

#include "Bytes.h"

class FakeServer {
 public:
  using Script = std::function<void(int fd)>;

  // Runs `script` once for each of `connections` clients, one after the other.
  explicit FakeServer(Script script, int connections = 1) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0)
      throw std::runtime_error("fake server cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script, connections] {
      for (int i = 0; i < connections; ++i) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        script(fd);
        ::close(fd);
      }
    });
  }
  ~FakeServer() {
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

  // Reads one frame (length and body) within 5 s; empty if none came.
  static testbytes::Bytes readFrame(int fd) {
    testbytes::Bytes head = readExactly(fd, 8);
    if (head.size() < 8) return {};
    std::uint64_t n = 0;
    for (auto b : head) n = (n << 8) | b;
    testbytes::Bytes body = readExactly(fd, static_cast<std::size_t>(n));
    head.insert(head.end(), body.begin(), body.end());
    return head;
  }
  static void send(int fd, const testbytes::Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  // Waits until the client closes its end (or 5 s pass).
  static void waitForClose(int fd) {
    std::uint8_t b[256];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1 || ::recv(fd, b, sizeof b, 0) <= 0) return;
    }
  }
  static void answerHandshake(int fd, const char* role) {
    readFrame(fd);
    send(fd, testbytes::frame(testbytes::cat(
                 {testbytes::text(role), testbytes::int32(2), testbytes::int32(0), testbytes::int32(0)})));
  }

 private:
  static testbytes::Bytes readExactly(int fd, std::size_t n) {
    testbytes::Bytes out(n);
    std::size_t done = 0;
    while (done < n) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      const ssize_t got = ::recv(fd, out.data() + done, n - done, 0);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};
