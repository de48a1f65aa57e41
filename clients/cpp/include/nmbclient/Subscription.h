// An execute connection: the plug-in pushes "PreStepCalled", "PostStepCalled"
// and "PostRunCalled" with a time point over it at every step of a run.
//
//   nmb::Subscription steps("127.0.0.1", 55555);
//   while (auto n = steps.waitForPostStep(std::chrono::seconds(10)))
//     show(client.meansOfAllRois(), n->timePoint);
//
// A time-out here is no error: the next() calls simply return nothing (so
// next(0ms) polls), and a notification that was half received stays buffered
// for the next call.  A connection that closes right after "PostRunCalled" is
// the normal end of a run: next() returns nothing and ended() is true.  One
// that closes before is a lost run: next() throws ConnectionError.
//
// Each notification says whether the stream is irregular: `skipped` counts
// the time points jumped over since the previous notification of the same
// name (a volume the host dropped), `repeated` marks a step that came twice.
// One Subscription belongs to one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "nmbclient/FrameReader.h"
#include "nmbclient/Ledger.h"
#include "nmbclient/Socket.h"
#include "nmbclient/WaitForHost.h"

namespace nmb {

struct Notification {
  std::string name;  // "PreStepCalled", "PostStepCalled" or "PostRunCalled"
  std::int32_t timePoint = 0;
  net::Clock::time_point received;  // monotonic receive time, for latency logs
  int skipped = 0;                  // time points jumped over before this one
  bool repeated = false;            // the same time point as the previous one of this name

  bool isPreStep() const;
  bool isPostStep() const;
  bool isPostRun() const;
};

class Subscription {
 public:
  // Connects and performs the "Execute Socket" handshake within `timeout`,
  // waiting up to `wait` for a host that is not up yet (WaitForHost.h).
  Subscription(std::string host, std::uint16_t port,
               std::chrono::milliseconds timeout = std::chrono::seconds(5), WaitForHost wait = WaitForHost{});

  // The next notification, or nothing if none arrives within `timeout`.
  // Throws ConnectionError when the plug-in has closed the connection and
  // ProtocolError for a message that is no notification.
  std::optional<Notification> next(std::chrono::milliseconds timeout);
  // Skips other notifications until a "PostStepCalled" arrives (nothing after
  // `timeout` in all).
  std::optional<Notification> waitForPostStep(std::chrono::milliseconds timeout);

  // Stamps the arrival of every "PreStepCalled" and "PostStepCalled" into
  // `ledger` (nullptr: none, the default); the ledger must outlive its use here.
  void setLedger(Ledger* ledger) { ledger_ = ledger; }

  // True once the connection closed after "PostRunCalled".
  bool ended() const { return ended_; }

  // Connects anew, waiting for the host as long as the constructor was told.
  void reconnect();
  void close() {
    stream_.close();
    reader_.clear();
  }

 private:
  std::string host_;
  std::uint16_t port_;
  void connectOnce();

  std::chrono::milliseconds connectTimeout_;
  WaitForHost wait_;
  net::TcpStream stream_;
  FrameReader reader_{1 << 20};  // notifications are a few dozen bytes
  // The previous time points of pre- and post-step, -1 when there is none to
  // compare with (after connecting and after a run's end).
  std::int32_t lastPreStep_ = -1, lastPostStep_ = -1;
  bool lastWasPostRun_ = false;
  Ledger* ledger_ = nullptr;
  bool ended_ = false;
};

}  // namespace nmb
