// An execute connection: the plug-in pushes "PreStepCalled", "PostStepCalled"
// and "PostRunCalled" with a time point over it at every step of a run.
//
//   nmb::Subscription steps("127.0.0.1", 55555);
//   while (auto n = steps.waitForPostStep(std::chrono::seconds(10)))
//     show(client.meansOfAllRois(), n->timePoint);
//
// A time-out here is no error: the next() calls simply return nothing, and a
// notification that was half received stays buffered for the next call.
// One Subscription belongs to one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "nmbclient/FrameReader.h"
#include "nmbclient/Socket.h"

namespace nmb {

struct Notification {
  std::string name;  // "PreStepCalled", "PostStepCalled" or "PostRunCalled"
  std::int32_t timePoint = 0;
  net::Clock::time_point received;  // monotonic receive time, for latency logs

  bool isPreStep() const;
  bool isPostStep() const;
  bool isPostRun() const;
};

class Subscription {
 public:
  // Connects and performs the "Execute Socket" handshake within `timeout`.
  Subscription(std::string host, std::uint16_t port,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // The next notification, or nothing if none arrives within `timeout`.
  // Throws ConnectionError when the plug-in has closed the connection and
  // ProtocolError for a message that is no notification.
  std::optional<Notification> next(std::chrono::milliseconds timeout);
  // Skips other notifications until a "PostStepCalled" arrives (nothing after
  // `timeout` in all).
  std::optional<Notification> waitForPostStep(std::chrono::milliseconds timeout);

  void reconnect();
  void close() {
    stream_.close();
    reader_.clear();
  }

 private:
  std::string host_;
  std::uint16_t port_;
  std::chrono::milliseconds connectTimeout_;
  net::TcpStream stream_;
  FrameReader reader_{1 << 20};  // notifications are a few dozen bytes
};

}  // namespace nmb
