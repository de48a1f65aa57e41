// NotificationDelivery: the step notifications on their way to the execute
// clients.  Each connection's pending bytes and limits are its Outbox; this
// class is the loop around them: who writes, when, and the thread that waits
// for slow clients.
//
// Who writes a connection's bytes, and under which lock:
//
//   when                                  thread     how                          lock
//   a step, delivery thread asleep and    host's     one non-blocking send to     connectionsMutex
//     the idle connections fit the                   each connection with
//     budget (SendBudget)                            nothing pending; the rest
//                                                    of a partial send, and the
//                                                    busy ones, into the outbox
//   a step, delivery thread awake         host's     into the outboxes, no        connectionsMutex
//                                                    system call ("untried"), but
//                                                    one try of an outbox past
//                                                    its size before it is judged
//   a step, lock held by the delivery     host's     hand-over: the frame is      FrameHandOver's
//     thread (one send of its own)                   left for it, no wait
//   pending bytes the connection can      delivery   one send per connection,     connectionsMutex
//     take now (poller), hand-overs                  the lock taken for each
//   teardown drain (drainAndStop), or     host's     the same loop, after the     connectionsMutex
//     no delivery thread at all                      thread has ended
//   the worker's sweep for clients that   worker     no send: it looks at the     none while it
//     left (TcpIpExport), then remove()              descriptor, then takes the   looks
//                                                    connection out
//
// connectionsMutex guards `connections` (with every Outbox in it) and the
// delivery thread's state; nothing waits under it, and it is held for one
// send at a time.  FrameHandOver's own mutex is taken after it where both are.
// So a connection gets its frames in the order they were notified and never a
// cut one.  No allocation is made on the direct path, and no receive: a
// client that left shows as a failed send, or in the worker's sweep.
//
// The delivery thread sleeps while nothing is pending, on a condition
// variable (which Wine keeps within the process).  While some connection has
// pending bytes it waits in the poller for exactly those connections to
// become writable, or for the host's wake-up; there are no fixed wake-ups.
// After each try a connection is dropped when its outbox is past its limits.
//
// A client that left or was dropped is reported to `departed` exactly once,
// by whichever thread took its connection out, with no lock of this object
// held.  Only the worker deletes execute channels (after they were reported,
// or once the delivery has stopped), so a descriptor stays open while any of
// these threads uses it.
//
//   NotificationDelivery delivery([this](QtTCPIPServer* c) { retire(c); });
//   delivery.start();                          // host's thread, pre-run
//   delivery.add(channel, descriptor);         // worker, as the channel is filed
//   delivery.notify(frame, size);              // host's thread, each step
//   delivery.drainAndStop(1000);               // host's thread, teardown
#pragma once

#include <QElapsedTimer>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "channels/DeliveryTestSeam.h"
#include "channels/FrameHandOver.h"
#include "channels/NativeSocket.h"
#include "channels/Outbox.h"
#include "channels/SendBudget.h"
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
  bool start() LOCKS_EXCLUDED(connectionsMutex);
  // A connection to notify from now on, in filing order.  `descriptor` is
  // its socket, which stays open until the channel is deleted; never -1.
  void add(QtTCPIPServer* channel, qintptr descriptor) LOCKS_EXCLUDED(connectionsMutex);
  // Writes one notification frame to every connection.  Never waits for a
  // client.
  void notify(const char* frame, int size) LOCKS_EXCLUDED(connectionsMutex);
  // Takes out the connection of a client the worker's sweep found gone;
  // false when another thread took it out first (and reported it), or the
  // delivery is stopping.  Whoever takes a connection out reports it, once.
  bool remove(QtTCPIPServer* channel) LOCKS_EXCLUDED(connectionsMutex);
  // Writes what is pending until every connection has taken it or
  // `timeoutMs` has passed, then ends the delivery thread.  After it, nothing
  // is written any more and no connection is kept.
  void drainAndStop(int timeoutMs) LOCKS_EXCLUDED(connectionsMutex);

  // A connection that refused bytes although the system called it writable
  // (short of buffers) is not watched again before this.
  static constexpr int kRefusedRetryMs = 5;

 private:
  struct Connection {
    QtTCPIPServer* channel;
    qintptr descriptor;
    Outbox outbox;
    // Not watched before this (see kRefusedRetryMs), clock milliseconds.
    qint64 retryAtMs = 0;
    // A send failed: the client left.
    bool broken = false;
    // Bytes the host's thread queued without trying (see the table).
    bool untried = false;
  };
  using DepartedList = std::vector<QtTCPIPServer*>;
  // What the delivery loop does next (see planWait).
  struct Plan {
    int timeoutMs = -1;
    bool again = false;
    bool finished = false;
  };

  void run() LOCKS_EXCLUDED(connectionsMutex);
  // From now on the host's thread does all the writing (no delivery thread).
  void hostTakesOver() LOCKS_EXCLUDED(connectionsMutex);
  // notify() once it holds the lock; returns whether to wake the thread.
  bool notifyLocked(const char* frame, int size, DepartedList& gone)
      EXCLUSIVE_LOCKS_REQUIRED(connectionsMutex);
  // Queues the handed-over frames to every connection, in order; returns
  // whether there were any.
  bool absorbHandedOver() EXCLUSIVE_LOCKS_REQUIRED(connectionsMutex);
  // The delivery loop: writes pending bytes as connections take them, until
  // stopping and nothing is pending or the drain deadline passed.
  void serve() LOCKS_EXCLUDED(connectionsMutex);
  // Tries each connection the host's thread left untried.
  void pushUntried(DepartedList& gone) LOCKS_EXCLUDED(connectionsMutex);
  // Fills the poller with the connections to wait for and, when there are
  // none, sleeps on the condition.
  Plan planWait() EXCLUSIVE_LOCKS_REQUIRED(connectionsMutex);
  // Tries each watched connection the last wait found writable.
  void pushReady() LOCKS_EXCLUDED(connectionsMutex);
  // Takes out the connections that failed or are past their limits.
  void dropFailing(DepartedList& gone) LOCKS_EXCLUDED(connectionsMutex);
  // The send an Outbox uses for `descriptor`: timed into the budget.
  auto sender(qintptr descriptor) {
    return [this, descriptor](const char* data, qint64 size, qint64& sent) {
      testSeam.holdSend();
      return sendBudget.send(descriptor, data, testSeam.limitSend(size), sent);
    };
  }
  // Tries `connection`'s pending bytes once.
  nativesocket::Status push(Connection& connection, qint64 nowMs) EXCLUSIVE_LOCKS_REQUIRED(connectionsMutex) {
    return connection.outbox.push(sender(connection.descriptor), nowMs);
  }
  bool withinLimits(const Connection& connection, qint64 nowMs) const {
    return connection.outbox.withinLimits(nowMs, testSeam.noProgressLimitMs());
  }
  // Moves connection `index` to `gone` when `dropIt`, or else steps past it.
  void dropOrPass(bool dropIt, std::size_t& index, DepartedList& gone)
      EXCLUSIVE_LOCKS_REQUIRED(connectionsMutex);
  void reportDeparted(const DepartedList& gone) {
    for (QtTCPIPServer* channel : gone) departed(channel);
  }

  const Departed departed;
  // Monotonic; read by several threads (QElapsedTimer's reads are const).
  QElapsedTimer clock;
  SendBudget sendBudget;
  FrameHandOver handOver;
  DeliveryTestSeam testSeam;

  Mutex connectionsMutex;
  std::vector<Connection> connections GUARDED_BY(connectionsMutex);
  // True while the delivery thread does the waiting writes.
  bool threadRunning GUARDED_BY(connectionsMutex) = false;
  bool stopping GUARDED_BY(connectionsMutex) = false;
  qint64 drainDeadlineMs GUARDED_BY(connectionsMutex) = 0;
  // While nothing is to be watched the delivery thread waits on this
  // condition instead of in the poller.
  ConditionVariable wakeCondition;
  bool waitingOnCondition GUARDED_BY(connectionsMutex) = false;
  // False while the delivery thread waits (or is about to): only then does
  // new work need a wake-up.  Written by the delivery thread under the lock,
  // read by the host's thread also without it.
  std::atomic<bool> threadAwake{true};
  // threadRunning, for the host's thread to read before it takes the lock.
  std::atomic<bool> deliveryThreadUp{false};

  // Used by whichever thread runs serve(): the delivery thread, or the host's
  // once there is none; wake() from any thread.
  nativesocket::Poller poller;
  std::vector<std::pair<QtTCPIPServer*, qintptr>> watched;
  // Each return from a wait of the delivery thread; tests count them.
  std::atomic<quint64> wakeUps{0};
  // Host's thread only.
  bool startFailureLogged = false;
  int hostPriority = 0;
  // How the thread is started; tests replace it to make the start fail.
  std::function<std::thread(std::function<void()>)> spawn = [](std::function<void()> body) {
    return std::thread(std::move(body));
  };
  std::thread thread;  // started and joined on the host's thread only

  friend struct ChannelListsProbe;
};
