// FrameHandOver: notification frames the host's thread leaves for the
// delivery thread when that thread holds the connections' lock for a send.
//
// The host's thread never waits for a send to a client (under Wine one can
// take milliseconds): it puts the frame here instead, and the delivery
// thread, which is awake at that moment, queues it to every connection
// before it waits again.  isWaiting() tells without the lock whether there
// are frames.
//
// Threads: put() on the host's thread, take() on whichever thread holds the
// connections' lock (its own mutex is taken after that one).
#pragma once

#include <QByteArray>
#include <atomic>
#include <vector>

#include "plugin/Mutex.h"

class FrameHandOver {
 public:
  void put(const char* frame, int size) LOCKS_EXCLUDED(mutex) {
    {
      MutexLock lock(&mutex);
      frames.emplace_back(frame, size);
    }
    waiting.store(true);
  }
  bool isWaiting() const { return waiting.load(); }
  // Every frame left so far, in the order they were put.
  std::vector<QByteArray> take() LOCKS_EXCLUDED(mutex) {
    std::vector<QByteArray> taken;
    if (!waiting.load()) return taken;
    MutexLock lock(&mutex);
    taken.swap(frames);
    waiting.store(false);
    return taken;
  }

 private:
  Mutex mutex;
  std::vector<QByteArray> frames GUARDED_BY(mutex);
  std::atomic<bool> waiting{false};
};
