// DeliveryTestSeam: the points where tests reach into the notification
// delivery, so that a limit of a minute and a race of a few microseconds are
// tested deterministically, without sleeps.  The plug-in itself never changes
// it: its defaults are the product's values, and each costs one atomic load.
//
// Threads: the setters from a test's thread, the rest from the delivery's
// threads.
#pragma once

#include <QtGlobal>
#include <atomic>
#include <functional>

#include "channels/Outbox.h"
#include "plugin/Mutex.h"

class DeliveryTestSeam {
 public:
  int noProgressLimitMs() const { return noProgressLimit.load(std::memory_order_relaxed); }
  void setNoProgressLimitMs(int ms) { noProgressLimit.store(ms, std::memory_order_relaxed); }

  // The most one send may write, 0 for no limit: a connection that takes
  // frames only in pieces.
  qint64 limitSend(qint64 size) const {
    const qint64 limit = sendLimit.load(std::memory_order_relaxed);
    return limit > 0 ? qMin(size, limit) : size;
  }
  void setSendLimit(qint64 bytes) { sendLimit.store(bytes, std::memory_order_relaxed); }

  // `hold` runs where the worker's sweep has found a client gone and is
  // about to take its connection out (no lock of the delivery's held); it
  // returns whether the sweep may go on, false making the sweep leave the
  // connection in place.
  void setSweepHold(std::function<bool()> hold) LOCKS_EXCLUDED(holdMutex) {
    MutexLock lock(&holdMutex);
    sweepHold = std::move(hold);
    anyHold.store(bool(sweepHold) || bool(sendHold));
  }
  bool holdSweep() LOCKS_EXCLUDED(holdMutex) {
    const std::function<bool()> hold = holdOf(kSweep);
    return !hold || hold();
  }
  // `hold` runs before each send to a client, on whichever thread sends,
  // with the connections' lock held.
  void setSendHold(std::function<bool()> hold) LOCKS_EXCLUDED(holdMutex) {
    MutexLock lock(&holdMutex);
    sendHold = std::move(hold);
    anyHold.store(bool(sweepHold) || bool(sendHold));
  }
  void holdSend() LOCKS_EXCLUDED(holdMutex) {
    const std::function<bool()> hold = holdOf(kSend);
    if (hold) hold();
  }

 private:
  std::atomic<int> noProgressLimit{Outbox::kNoProgressLimitMs};
  std::atomic<qint64> sendLimit{0};
  enum Point { kSweep, kSend };
  std::function<bool()> holdOf(Point point) LOCKS_EXCLUDED(holdMutex) {
    if (!anyHold.load()) return {};
    MutexLock lock(&holdMutex);
    return point == kSweep ? sweepHold : sendHold;
  }

  // Whether any hold is set: without one, a hold costs one atomic load.
  std::atomic<bool> anyHold{false};
  Mutex holdMutex;
  std::function<bool()> sweepHold GUARDED_BY(holdMutex);
  std::function<bool()> sendHold GUARDED_BY(holdMutex);
};
