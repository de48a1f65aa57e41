// SendBudget: what one non-blocking send to a client costs lately, and so
// whether the host's thread can afford to write a step's notifications
// itself.
//
// Each send wakes a client: a few microseconds on Linux and Windows, far more
// under Wine, where a send is a request to the Wine server and can take
// milliseconds while the server is busy.  Beyond kDirectSendMicros per
// notification the delivery thread takes over.
//
// Threads: send() and affords() from the host's and the delivery thread at
// once; the average is one relaxed atomic, where a lost update only makes it
// a little older.
#pragma once

#include <QElapsedTimer>
#include <atomic>

#include "channels/NativeSocket.h"

class SendBudget {
 public:
  // The host thread's budget per notification for its own sends.  No direct
  // send starts once it has run out during a pass, whatever the estimate
  // said (the first one always does).
  static constexpr int kDirectSendMicros = 40;
  static constexpr qint64 kBudgetNs = qint64(kDirectSendMicros) * 1000;

  SendBudget() { clock.start(); }

  // One non-blocking send, timed into the average.
  nativesocket::Status send(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
    const qint64 start = clock.nsecsElapsed();
    const nativesocket::Status status = nativesocket::sendSome(descriptor, data, size, sent);
    // An average over the last eight or so, in which one send that happened
    // to be slow (the thread preempted) counts as at most four times the
    // average.
    const qint64 average = costNs.load(std::memory_order_relaxed);
    const qint64 cost = qMin(clock.nsecsElapsed() - start, 4 * average + 1000);
    costNs.store(average + (cost - average) / 8, std::memory_order_relaxed);
    return status;
  }
  // Whether `sends` sends fit the budget by what sends have cost lately.
  bool affords(int sends) const { return sends * costNs.load(std::memory_order_relaxed) <= kBudgetNs; }
  // The end of a pass of direct sends that starts now, for passLeft().
  qint64 passEndNs() const { return clock.nsecsElapsed() + kBudgetNs; }
  bool passLeft(qint64 passEndNs) const { return clock.nsecsElapsed() < passEndNs; }

 private:
  QElapsedTimer clock;  // its reads are const, so any thread may read it
  std::atomic<qint64> costNs{2000};
};
