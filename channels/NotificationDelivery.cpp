#include "channels/NotificationDelivery.h"

#include <algorithm>
#include <exception>

#include "plugin/LogLines.h"
#include "plugin/platform/ThreadPriority.h"

using nativesocket::Status;

NotificationDelivery::NotificationDelivery(Departed departed) : departed(std::move(departed)) {
  clock.start();
}

NotificationDelivery::~NotificationDelivery() { drainAndStop(0); }

bool NotificationDelivery::start() {
  {
    MutexLock lock(&connectionsMutex);
    if (threadRunning || stopping) return true;
    threadRunning = true;
    deliveryThreadUp.store(true);
  }
  if (poller.isValid() && !thread.joinable()) {
    hostPriority = platform::currentThreadPriority();
    try {
      thread = spawn([this] { run(); });
      return true;
    } catch (const std::exception&) {
      // std::system_error: the process is out of threads or memory.
    }
  }
  hostTakesOver();
  if (!startFailureLogged)
    loglines::write(QStringLiteral(
        "<b>Warning</b> - No thread could be started for the notifications: Nimbrel's thread writes them."));
  startFailureLogged = true;
  return false;
}

void NotificationDelivery::hostTakesOver() {
  MutexLock lock(&connectionsMutex);
  threadRunning = false;
  deliveryThreadUp.store(false);
  absorbHandedOver();
}

void NotificationDelivery::add(QtTCPIPServer* channel, qintptr descriptor) {
  MutexLock lock(&connectionsMutex);
  connections.push_back(Connection{channel, descriptor, Outbox()});
}

void NotificationDelivery::dropOrPass(bool dropIt, std::size_t& index, DepartedList& gone) {
  if (!dropIt) {
    ++index;
    return;
  }
  gone.push_back(connections[index].channel);
  connections.erase(connections.begin() + std::ptrdiff_t(index));
}

void NotificationDelivery::notify(const char* frame, int size) {
  // Rather than wait for the delivery thread's send, hand the frame over.
  bool handedOver = false;
  if (!deliveryThreadUp.load()) {
    connectionsMutex.lock();
  } else if (!connectionsMutex.tryLock()) {
    if (threadAwake.load()) {
      handOver.put(frame, size);
      if (threadAwake.load()) return;
      // The thread went to sleep just now and may not have seen the frame.
      handedOver = true;
    }
    // Held by the worker for a moment, or the thread is going to sleep.
    connectionsMutex.lock();
  }
  DepartedList gone;
  bool wakeThread = false;
  try {
    wakeThread = handedOver ? absorbHandedOver() : notifyLocked(frame, size, gone);
  } catch (...) {
    connectionsMutex.unlock();
    throw;
  }
  wakeThread = wakeThread && threadRunning && !threadAwake.load();
  const bool onCondition = waitingOnCondition;
  if (wakeThread && onCondition) wakeCondition.notifyOne();
  connectionsMutex.unlock();
  if (wakeThread && !onCondition) poller.wake();
  reportDeparted(gone);
}

bool NotificationDelivery::absorbHandedOver() {
  const std::vector<QByteArray> frames = handOver.take();
  const qint64 nowMs = clock.elapsed();
  for (const QByteArray& frame : frames) {
    for (Connection& connection : connections) {
      if (connection.outbox.isEmpty()) connection.untried = true;
      connection.outbox.append(frame.constData(), frame.size(), nowMs);
    }
  }
  return !frames.empty();
}

bool NotificationDelivery::notifyLocked(const char* frame, int size, DepartedList& gone) {
  // Frames handed over earlier go first, and this one queues behind them.
  bool wakeThread = absorbHandedOver();
  // Without a delivery thread the host's thread writes everything itself.
  const bool hostWritesAll = !threadRunning;
  int idle = 0;
  for (const Connection& connection : connections)
    if (connection.outbox.isEmpty()) ++idle;
  // An awake delivery thread takes what is left untried before it waits, so
  // the host's thread makes no system call (under Wine each would be slow).
  const bool hostSends = hostWritesAll || (!threadAwake.load() && sendBudget.affords(idle));
  const qint64 passEndNs = sendBudget.passEndNs();
  const qint64 nowMs = clock.elapsed();
  int directSends = 0;
  for (std::size_t i = 0; i < connections.size();) {
    Connection& connection = connections[i];
    const bool hadPending = !connection.outbox.isEmpty();
    bool tried = false;
    Status status = Status::Ok;
    if (!hadPending && hostSends && (hostWritesAll || directSends == 0 || sendBudget.passLeft(passEndNs))) {
      ++directSends;
      tried = true;
      status = connection.outbox.offer(frame, size, sender(connection.descriptor), nowMs);
      wakeThread = wakeThread || !connection.outbox.isEmpty();
    } else {
      connection.outbox.append(frame, size, nowMs);
      if (!hadPending) {
        connection.untried = true;
        wakeThread = true;
      }
      // Over the limit, a connection gets one more try before it is judged.
      if (hostWritesAll || connection.outbox.size() > Outbox::kMaxPendingBytes) {
        tried = true;
        status = push(connection, nowMs);
      }
    }
    dropOrPass(status == Status::Gone || (tried && !withinLimits(connection, nowMs)), i, gone);
  }
  return wakeThread;  // the caller wakes only a waiting thread
}

void NotificationDelivery::run() {
  platform::setCurrentThreadPriority(hostPriority);
  try {
    serve();
  } catch (...) {
    // Out of memory, most likely: the host's thread takes the writing over.
    hostTakesOver();
    loglines::write(QStringLiteral(
        "<b>Warning</b> - The notification thread failed: Nimbrel's thread writes the notifications."));
  }
}

void NotificationDelivery::pushUntried(DepartedList& gone) {
  // The lock is taken for one send at a time: the host's thread never waits longer.
  for (std::size_t i = 0;;) {
    MutexLock lock(&connectionsMutex);
    if (absorbHandedOver()) i = 0;
    while (i < connections.size() && !connections[i].untried) ++i;
    if (i >= connections.size()) return;
    Connection& connection = connections[i];
    connection.untried = false;
    dropOrPass(push(connection, clock.elapsed()) == Status::Gone, i, gone);
  }
}

NotificationDelivery::Plan NotificationDelivery::planWait() {
  Plan plan;
  const qint64 nowMs = clock.elapsed();
  const auto shorten = [&plan](qint64 ms) {
    ms = std::max<qint64>(ms, 0);
    if (plan.timeoutMs < 0 || ms < plan.timeoutMs) plan.timeoutMs = int(std::min<qint64>(ms, 1 << 30));
  };
  poller.clear();
  watched.clear();
  bool anyPending = false;
  for (const Connection& connection : connections) {
    // Left by the host's thread meanwhile, without a wake-up: taken first.
    plan.again = plan.again || connection.untried;
    if (connection.outbox.isEmpty()) continue;
    anyPending = true;
    shorten(connection.outbox.progressDeadlineMs(testSeam.noProgressLimitMs()) - nowMs);
    if (connection.retryAtMs > nowMs) {
      shorten(connection.retryAtMs - nowMs);
      continue;
    }
    poller.add(connection.descriptor);
    watched.emplace_back(connection.channel, connection.descriptor);
  }
  if (stopping) {
    plan.finished = !plan.again && (!anyPending || nowMs >= drainDeadlineMs);
    shorten(drainDeadlineMs - nowMs);
  }
  if (plan.again || plan.finished) return plan;
  // From here on the host's thread wakes this one; a frame it handed over
  // while it still saw this thread awake came without a wake-up.
  threadAwake.store(false);
  if (handOver.isWaiting()) {
    threadAwake.store(true);
    plan.again = true;
  } else if (watched.empty()) {
    // Nothing to watch: the condition needs no system call to signal.
    waitingOnCondition = true;
    wakeCondition.wait(connectionsMutex, plan.timeoutMs);
    waitingOnCondition = false;
    threadAwake.store(true);
    wakeUps.fetch_add(1, std::memory_order_relaxed);
    plan.again = true;
  }
  return plan;
}

void NotificationDelivery::pushReady() {
  std::size_t at = 0;
  for (std::size_t k = 0; k < watched.size(); ++k) {
    if (!poller.isReady(int(k))) continue;
    MutexLock lock(&connectionsMutex);
    // The list keeps its order while it changes: look on from the last one.
    const auto match = [&](const Connection& c) { return c.channel == watched[k].first; };
    auto found = std::find_if(connections.begin() + std::ptrdiff_t(std::min(at, connections.size())),
                              connections.end(), match);
    if (found == connections.end()) found = std::find_if(connections.begin(), connections.end(), match);
    if (found == connections.end() || found->outbox.isEmpty()) continue;
    at = std::size_t(found - connections.begin());
    const qint64 nowMs = clock.elapsed();
    const qint64 before = found->outbox.size();
    found->broken = push(*found, nowMs) == Status::Gone;
    if (found->outbox.size() == before) found->retryAtMs = nowMs + kRefusedRetryMs;
  }
}

void NotificationDelivery::dropFailing(DepartedList& gone) {
  MutexLock lock(&connectionsMutex);
  const qint64 nowMs = clock.elapsed();
  for (std::size_t i = 0; i < connections.size();)
    dropOrPass(connections[i].broken || !withinLimits(connections[i], nowMs), i, gone);
}

void NotificationDelivery::serve() {
  for (;;) {
    DepartedList gone;
    pushUntried(gone);
    reportDeparted(gone);  // before any wait, which may last until the next step
    Plan plan;
    {
      MutexLock lock(&connectionsMutex);
      plan = planWait();
    }
    if (plan.finished) return;
    if (plan.again) continue;
    poller.wait(plan.timeoutMs);
    wakeUps.fetch_add(1, std::memory_order_relaxed);
    {
      MutexLock lock(&connectionsMutex);
      threadAwake.store(true);
    }
    pushReady();
    gone.clear();
    dropFailing(gone);
    reportDeparted(gone);
  }
}

bool NotificationDelivery::remove(QtTCPIPServer* channel) {
  if (!testSeam.holdSweep()) return false;
  MutexLock lock(&connectionsMutex);
  const auto found = std::find_if(connections.begin(), connections.end(),
                                  [channel](const Connection& c) { return c.channel == channel; });
  if (stopping || found == connections.end()) return false;  // reported by whoever took it out
  connections.erase(found);
  return true;
}

void NotificationDelivery::drainAndStop(int timeoutMs) {
  bool threadRan = false;
  {
    MutexLock lock(&connectionsMutex);
    if (!stopping) {
      stopping = true;
      drainDeadlineMs = clock.elapsed() + timeoutMs;
    }
    threadRan = threadRunning;
    wakeCondition.notifyOne();
  }
  if (threadRan) poller.wake();
  if (thread.joinable()) thread.join();
  hostTakesOver();
  try {
    serve();  // the drain, on this thread
  } catch (...) {
    // Out of memory at the very end: what is pending stays unsent.
  }
  // The channels may be deleted from now on: nothing refers to them here.
  MutexLock lock(&connectionsMutex);
  connections.clear();
}
