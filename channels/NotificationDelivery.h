// NotificationDelivery: the thread that writes step notifications to the
// execute channels, so that Nimbrel's thread only hands them over.
//
// The host's step calls post one finished block per notification and return
// at once, whatever the number of execute clients, their speed or the cost of
// socket calls on the platform (under Wine every socket call is a round trip
// to the Wine server).  The delivery thread takes the blocks in the order they
// were posted and passes each to `deliver`, which writes it to every execute
// channel; while some channel still has bytes it could not take, `deliver` is
// called again with an empty block every kRetryMs to push them on.
//
//   NotificationDelivery delivery([this](const QByteArray& block) { return writeToChannels(block); });
//   delivery.post(framing::notificationBlock("PreStepCalled", 7));  // host's thread
//
// Threads: start() and post() from one thread at a time (the host's); the
// thread ends in stop() (or the destructor), after it has delivered
// everything posted before.
#pragma once

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "plugin/Mutex.h"

class NotificationDelivery {
 public:
  // Writes `block` (empty: only what is still pending) to every execute
  // channel; returns true while some channel has bytes left to write.
  using Deliver = std::function<bool(const QByteArray& block)>;

  explicit NotificationDelivery(Deliver deliver);
  ~NotificationDelivery();

  NotificationDelivery(const NotificationDelivery&) = delete;
  NotificationDelivery& operator=(const NotificationDelivery&) = delete;

  // Starts the delivery thread if it does not run yet (post() starts it too).
  void start();
  // Queues `block` for delivery; never waits for a client.
  void post(QByteArray block) LOCKS_EXCLUDED(mutex_);
  // Delivers what was posted, then ends the thread.  Idempotent.
  void stop() LOCKS_EXCLUDED(mutex_);

  // How often bytes that a channel could not take are offered again.
  static constexpr int kRetryMs = 5;

 private:
  void run() LOCKS_EXCLUDED(mutex_);

  const Deliver deliver_;
  Mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<QByteArray> queue_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // started and joined on the posting thread only
};
