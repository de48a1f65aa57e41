// NotificationDelivery: the step notifications on their way to the execute
// clients.
//
// The host's step calls hand each notification frame to notify().  When the
// delivery thread is asleep and the connections that have nothing pending can
// all be written within a small budget of time (kDirectSendMicros, judged
// from what sends have cost lately), the host's thread writes the frame
// itself: one non-blocking send each.  Otherwise it writes none and wakes the
// delivery thread once, or, while that thread is awake, leaves the frame to
// it without any system call.  Under Wine a send is a request to the Wine
// server and can take milliseconds while the server is busy, so there the
// host's thread pays for one wake-up at most.  What a connection cannot take
// at once becomes its pending bytes, which the delivery thread
// writes as soon as the connection can take them.  So a connection gets its
// frames in the order they were notified, and never a cut one: a connection
// with pending bytes gets its next frames behind them.  No allocation is made
// on the direct path (a connection's pending buffer keeps its storage once it
// has one), and no receive: a client that left shows as a failed send, or in
// the worker's sweep().
//
// The delivery thread sleeps while nothing is pending, on a condition
// variable (which Wine keeps within the process).  While some connection has
// pending bytes it waits in the poller for exactly those connections to
// become writable, or for the host's wake-up through the poller; there are no
// fixed wake-ups.  After each try a
// connection is dropped when it still has more than kMaxPendingBytes pending,
// or when it has taken nothing for kNoProgressLimitMs: its client is not
// following the run.  Dropped and departed connections go to `departed`.
//
// If the delivery thread cannot be started, the host's thread does all the
// writing: pending bytes are tried again at each notification and at the end.
//
//   NotificationDelivery delivery([this](QtTCPIPServer* c) { retire(c); });
//   delivery.start();                          // host's thread, pre-run
//   delivery.add(channel, descriptor);         // worker, as the channel is filed
//   delivery.notify(frame, size);              // host's thread, each step
//   delivery.drainAndStop(1000);               // host's thread, teardown
//
// Threads: start(), notify() and drainAndStop() on the host's thread; add()
// and sweep() on the channel worker, which is also the only thread that deletes
// execute channels (after they went to `departed`, or once the delivery has
// stopped); the delivery thread inside.  The connections are under `mutex_`;
// nothing waits under it, the delivery thread holds it for one send at a time,
// and the host's thread never waits for that send: when it cannot take the
// lock at once it leaves the frame in `handedOver_`.  `departed` is called
// with no lock of this object held, on whichever of the three threads found
// out.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "channels/NativeSocket.h"
#include "plugin/Mutex.h"

class QtTCPIPServer;

class NotificationDelivery {
 public:
  using Departed = std::function<void(QtTCPIPServer* channel)>;

  explicit NotificationDelivery(Departed departed);
  // Stops without draining (drainAndStop has normally run before).
  ~NotificationDelivery();

  NotificationDelivery(const NotificationDelivery&) = delete;
  NotificationDelivery& operator=(const NotificationDelivery&) = delete;

  // Starts the delivery thread, at the host thread's priority, unless it runs.
  // When it cannot be started, logs one line (once) and returns false; the
  // host's thread then writes everything itself.
  bool start() LOCKS_EXCLUDED(mutex_);
  // A connection to notify from now on, in filing order.  `descriptor` is
  // its socket, which stays open until the channel is deleted; never -1 (a
  // channel whose connection was gone by its handshake is not added).
  void add(QtTCPIPServer* channel, qintptr descriptor) LOCKS_EXCLUDED(mutex_);
  // Writes one notification frame to every connection.  Never waits for a
  // client.
  void notify(const char* frame, int size) LOCKS_EXCLUDED(mutex_);
  // Looks for clients that left while nothing was sent to them: a few
  // connections every kSweepIntervalMs.  Worker thread, in its loop.
  void sweep() LOCKS_EXCLUDED(mutex_);
  // Writes what is pending until every connection has taken it or
  // `timeoutMs` has passed, then ends the delivery thread.  After it, nothing
  // is written any more.
  void drainAndStop(int timeoutMs) LOCKS_EXCLUDED(mutex_);

  // An execute client that leaves this much unread (thousands of
  // notifications, on top of what the system buffers hold) is not following
  // the run; its connection is dropped rather than buffered without end.
  static constexpr qint64 kMaxPendingBytes = 256 * 1024;
  // A connection whose pending bytes have not moved for this long is dropped
  // too: the limit keeps silent connections from holding memory for the rest
  // of the session.  It is long, because a client may well read only after
  // the run (a stimulus program busy with its own presentation), and the
  // system's own buffers, which fill first, may hold only a few hundred
  // notifications (4 KiB of them on some systems).
  static constexpr int kNoProgressLimitMs = 60000;
  // The host thread's budget per notification for its own sends.  Each send
  // wakes a client (a few microseconds on Linux and Windows, far more under
  // Wine); beyond this the delivery thread takes over.  No direct send starts
  // once the budget has run out during a pass, whatever the estimate said.
  static constexpr int kDirectSendMicros = 40;
  // A connection that refused bytes although the system called it writable
  // (short of buffers) is not watched again before this.
  static constexpr int kRefusedRetryMs = 5;
  static constexpr int kSweepIntervalMs = 100;
  static constexpr int kSweepBatch = 64;

 private:
  struct Connection {
    QtTCPIPServer* channel;
    qintptr descriptor;
    QByteArray pending;
    // While bytes are pending: when they last moved (clock_ milliseconds).
    qint64 progressMs = 0;
    // Not watched before this (see kRefusedRetryMs).
    qint64 retryAtMs = 0;
    // A send failed: the client left.
    bool broken = false;
    // Bytes the host's thread left without trying (past its budget).
    bool untried = false;
  };
  static constexpr int kInitialPendingCapacity = 512;
  using DepartedList = std::vector<QtTCPIPServer*>;

  void run() LOCKS_EXCLUDED(mutex_);
  // notify() once it holds mutex_; returns whether to wake the thread.
  bool notifyLocked(const char* frame, int size, DepartedList& gone) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Appends the frames the host's thread left to every connection, in order;
  // returns whether there were any.
  bool absorbHandedOver() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Writes pending bytes as connections take them, until stopping_ and
  // nothing is pending or the drain deadline passed.  The delivery thread, or
  // the host's thread when there is none.
  void serve() LOCKS_EXCLUDED(mutex_);
  // Tries each connection the host's thread left untried; a connection
  // whose client left goes to `gone`.
  void pushUntried(DepartedList& gone) LOCKS_EXCLUDED(mutex_);
  // Tries each watched connection the last wait found writable.
  void pushReady() LOCKS_EXCLUDED(mutex_);
  // Tries `connection`'s pending bytes once.  Gone: the client left.
  nativesocket::Status push(Connection& connection, qint64 nowMs) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // One timed send, which feeds sendCostNs_.
  nativesocket::Status timedSend(qintptr descriptor, const char* data, qint64 size, qint64& sent);
  bool withinLimits(const Connection& connection, qint64 nowMs) const;
  // Moves connection `index` to `gone`.
  void drop(std::size_t index, DepartedList& gone) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void reportDeparted(const DepartedList& gone);

  const Departed departed_;
  // Monotonic; read by several threads (QElapsedTimer's reads are const).
  QElapsedTimer clock_;
  Mutex mutex_;
  std::vector<Connection> connections_ GUARDED_BY(mutex_);
  // True while the delivery thread does the waiting writes.
  bool threadRunning_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  // False while the delivery thread waits (or is about to): only then does
  // new work need a wake-up.  Written by the delivery thread under mutex_,
  // read by the host's thread also without it.
  std::atomic<bool> threadAwake_{true};
  // While nothing is to be watched the delivery thread waits on this
  // condition instead of in the poller (waitingOnCondition_).
  ConditionVariable wakeCondition_;
  bool waitingOnCondition_ GUARDED_BY(mutex_) = false;
  // threadRunning_, for the host's thread to read before it takes mutex_.
  std::atomic<bool> deliveryThreadUp_{false};
  // Frames the host's thread left because the delivery thread held mutex_
  // (see notify); handedOverWaiting_ says there are some without the lock.
  Mutex handOverMutex_;  // taken after mutex_ where both are
  std::vector<QByteArray> handedOver_ GUARDED_BY(handOverMutex_);
  std::atomic<bool> handedOverWaiting_{false};
  qint64 drainDeadlineMs_ GUARDED_BY(mutex_) = 0;
  bool startFailureLogged_ = false;  // host's thread
  // Used by whichever thread runs serve(): the delivery thread, or the host's
  // once there is none; wake() from any thread.
  nativesocket::Poller poller_;
  std::vector<std::pair<QtTCPIPServer*, qintptr>> watched_;
  // Worker thread only.
  QElapsedTimer sweepTimer_;
  std::size_t sweepCursor_ = 0;
  std::vector<std::pair<QtTCPIPServer*, qintptr>> sweepBatch_;
  // Each return from a wait of the delivery thread; tests count them.
  std::atomic<quint64> wakeUps_{0};
  // What one send has cost lately (nanoseconds, a moving average of the
  // host's and the delivery thread's sends): the host's thread judges its
  // budget by it.
  std::atomic<qint64> sendCostNs_{2000};
  int hostPriority_ = 0;
  // How the thread is started; tests replace it to make the start fail.
  std::function<std::thread(std::function<void()>)> spawn_ = [](std::function<void()> body) {
    return std::thread(std::move(body));
  };
  std::thread thread_;  // started and joined on the host's thread only

  friend struct ChannelListsProbe;
};
