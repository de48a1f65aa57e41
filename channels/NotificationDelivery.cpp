#include "channels/NotificationDelivery.h"

#include <algorithm>
#include <exception>

#include "plugin/LogLines.h"
#include "plugin/platform/ThreadPriority.h"

using nativesocket::Status;

NotificationDelivery::NotificationDelivery(Departed departed) : departed_(std::move(departed)) {
  clock_.start();
  sweepTimer_.start();
}

NotificationDelivery::~NotificationDelivery() { drainAndStop(0); }

bool NotificationDelivery::start() {
  {
    MutexLock lock(&mutex_);
    if (threadRunning_ || stopping_) return true;
    threadRunning_ = true;
    deliveryThreadUp_.store(true);
  }
  bool started = false;
  if (poller_.isValid() && !thread_.joinable()) {
    hostPriority_ = platform::currentThreadPriority();
    try {
      thread_ = spawn_([this] { run(); });
      started = true;
    } catch (const std::exception&) {
      // std::system_error: the process is out of threads or memory.
    }
  }
  if (started) return true;
  {
    MutexLock lock(&mutex_);
    threadRunning_ = false;
    deliveryThreadUp_.store(false);
  }
  if (!startFailureLogged_) {
    startFailureLogged_ = true;
    loglines::write(QStringLiteral(
        "<b>Warning</b> - No thread could be started for the notifications: Nimbrel's thread writes them."));
  }
  return false;
}

void NotificationDelivery::add(QtTCPIPServer* channel, qintptr descriptor) {
  Connection connection{channel, descriptor, QByteArray()};
  // A reserved buffer keeps its storage when it runs empty, so frames that
  // wait here cost no allocation after the first.
  connection.pending.reserve(kInitialPendingCapacity);
  MutexLock lock(&mutex_);
  connections_.push_back(std::move(connection));
}

Status NotificationDelivery::timedSend(qintptr descriptor, const char* data, qint64 size, qint64& sent) {
  const qint64 start = clock_.nsecsElapsed();
  const Status status = nativesocket::sendSome(descriptor, data, size, sent);
  // An average over the last eight or so, in which one send that happened to
  // be slow (the thread preempted) counts as at most four times the average;
  // a lost update between the two threads only makes it a little older.
  const qint64 average = sendCostNs_.load(std::memory_order_relaxed);
  const qint64 cost = qMin(clock_.nsecsElapsed() - start, 4 * average + 1000);
  sendCostNs_.store(average + (cost - average) / 8, std::memory_order_relaxed);
  return status;
}

Status NotificationDelivery::push(Connection& connection, qint64 nowMs) {
  qint64 sent = 0;
  const Status status =
      timedSend(connection.descriptor, connection.pending.constData(), connection.pending.size(), sent);
  if (sent > 0) {
    // Keeps its storage: the next frames are appended without allocating.
    connection.pending.remove(0, int(sent));
    connection.progressMs = nowMs;
  }
  return status;
}

bool NotificationDelivery::withinLimits(const Connection& connection, qint64 nowMs) const {
  if (connection.pending.isEmpty()) return true;
  return connection.pending.size() <= kMaxPendingBytes && nowMs - connection.progressMs < kNoProgressLimitMs;
}

void NotificationDelivery::drop(std::size_t index, DepartedList& gone) {
  gone.push_back(connections_[index].channel);
  connections_.erase(connections_.begin() + std::ptrdiff_t(index));
}

void NotificationDelivery::reportDeparted(const DepartedList& gone) {
  for (QtTCPIPServer* channel : gone) departed_(channel);
}

void NotificationDelivery::notify(const char* frame, int size) {
  // The delivery thread holds the lock for one send at a time, and a send can
  // take long (under Wine it is a request to a Wine server that may be busy
  // with hundreds of connections).  Rather than wait, the host's thread then
  // leaves the frame for the delivery thread, which is awake at that moment
  // and takes it before it waits again.
  bool handedOver = false;
  if (!deliveryThreadUp_.load()) {
    mutex_.lock();
  } else if (!mutex_.tryLock()) {
    if (threadAwake_.load()) {
      {
        MutexLock lock(&handOverMutex_);
        handedOver_.emplace_back(frame, size);
      }
      handedOverWaiting_.store(true);
      if (threadAwake_.load()) return;
      // The thread went to sleep just now and may not have seen the frame.
      handedOver = true;
    }
    // Held by the worker for a moment, or the thread is going to sleep.
    mutex_.lock();
  }
  DepartedList gone;
  bool wakeThread = false;
  try {
    wakeThread = handedOver ? absorbHandedOver() : notifyLocked(frame, size, gone);
  } catch (...) {
    mutex_.unlock();
    throw;
  }
  wakeThread = wakeThread && threadRunning_ && !threadAwake_.load();
  const bool onCondition = waitingOnCondition_;
  if (wakeThread && onCondition) wakeCondition_.notifyOne();
  mutex_.unlock();
  if (wakeThread && !onCondition) poller_.wake();
  reportDeparted(gone);
}

bool NotificationDelivery::absorbHandedOver() {
  if (!handedOverWaiting_.load()) return false;
  std::vector<QByteArray> frames;
  {
    MutexLock lock(&handOverMutex_);
    frames.swap(handedOver_);
    handedOverWaiting_.store(false);
  }
  const qint64 nowMs = clock_.elapsed();
  for (const QByteArray& frame : frames) {
    for (Connection& connection : connections_) {
      if (connection.pending.isEmpty()) {
        connection.progressMs = nowMs;
        connection.untried = true;
      }
      connection.pending.append(frame);
    }
  }
  return !frames.empty();
}

bool NotificationDelivery::notifyLocked(const char* frame, int size, DepartedList& gone) {
  bool wakeThread = false;
  {
    // Frames left earlier go first; with them every connection has pending
    // bytes, so this frame follows them.
    wakeThread = absorbHandedOver();
    // Without a delivery thread the host's thread is the only writer: it
    // writes to every connection and tries pending bytes itself.
    const bool hostWritesAll = !threadRunning_;
    int idle = 0;
    for (const Connection& connection : connections_)
      if (connection.pending.isEmpty()) ++idle;
    const qint64 budgetNs = qint64(kDirectSendMicros) * 1000;
    // While the delivery thread is awake it takes whatever is left untried
    // before it waits again, and the host's thread makes no system call at
    // all: under Wine, where every send is a request to the Wine server, a
    // busy delivery thread makes each of them slow.
    const bool hostSends = hostWritesAll || (!threadAwake_.load() &&
                                             idle * sendCostNs_.load(std::memory_order_relaxed) <= budgetNs);
    const qint64 budgetEndNs = clock_.nsecsElapsed() + budgetNs;
    const qint64 nowMs = clock_.elapsed();
    int directSends = 0;
    for (std::size_t i = 0; i < connections_.size();) {
      Connection& connection = connections_[i];
      const bool hadPending = !connection.pending.isEmpty();
      bool tried = false;
      Status status = Status::Ok;
      if (!hadPending && hostSends &&
          (hostWritesAll || directSends == 0 || clock_.nsecsElapsed() < budgetEndNs)) {
        ++directSends;
        tried = true;
        qint64 sent = 0;
        status = timedSend(connection.descriptor, frame, size, sent);
        if (status != Status::Gone && sent < size) {
          connection.pending.append(frame + sent, int(size - sent));
          connection.progressMs = nowMs;
          wakeThread = true;
        }
      } else {
        connection.pending.append(frame, size);
        if (!hadPending) {
          connection.progressMs = nowMs;
          connection.untried = true;
          wakeThread = true;
        }
        // Over the limit, a connection gets one more try before it is judged.
        if (hostWritesAll || connection.pending.size() > kMaxPendingBytes) {
          tried = true;
          status = push(connection, nowMs);
        }
      }
      if (status == Status::Gone || (tried && !withinLimits(connection, nowMs))) {
        drop(i, gone);
      } else {
        ++i;
      }
    }
  }
  // A delivery thread that is not waiting looks for untried bytes before it
  // waits again: waking it would cost a system call (under Wine a request to
  // the Wine server) for nothing.  The caller looks at that.
  return wakeThread;
}

void NotificationDelivery::run() {
  platform::setCurrentThreadPriority(hostPriority_);
  try {
    serve();
  } catch (...) {
    // Out of memory, most likely.  Nothing may leave this thread: the host's
    // thread takes the writing over from here.
    {
      MutexLock lock(&mutex_);
      threadRunning_ = false;
      deliveryThreadUp_.store(false);
      absorbHandedOver();
    }
    loglines::write(QStringLiteral(
        "<b>Warning</b> - The notification thread failed: Nimbrel's thread writes the notifications."));
  }
}

void NotificationDelivery::pushUntried(DepartedList& gone) {
  // The lock is taken for one connection at a time, so the host's thread
  // never waits for more than one send (under Wine a request to the Wine
  // server), whatever the number of connections.
  for (std::size_t i = 0;;) {
    MutexLock lock(&mutex_);
    if (absorbHandedOver()) i = 0;
    while (i < connections_.size() && !connections_[i].untried) ++i;
    if (i >= connections_.size()) return;
    Connection& connection = connections_[i];
    connection.untried = false;
    if (push(connection, clock_.elapsed()) == Status::Gone) {
      drop(i, gone);
    } else {
      ++i;
    }
  }
}

void NotificationDelivery::pushReady() {
  std::size_t at = 0;
  for (std::size_t k = 0; k < watched_.size(); ++k) {
    if (!poller_.isReady(int(k))) continue;
    MutexLock lock(&mutex_);
    // Connections may have been added or dropped since the wait began; the
    // list keeps its order, so look for this one from where the last was.
    const auto match = [&](const Connection& c) {
      return c.channel == watched_[k].first && c.descriptor == watched_[k].second;
    };
    auto found = std::find_if(connections_.begin() + std::ptrdiff_t(std::min(at, connections_.size())),
                              connections_.end(), match);
    if (found == connections_.end()) found = std::find_if(connections_.begin(), connections_.end(), match);
    if (found == connections_.end() || found->pending.isEmpty()) continue;
    at = std::size_t(found - connections_.begin());
    const qint64 nowMs = clock_.elapsed();
    const int before = found->pending.size();
    if (push(*found, nowMs) == Status::Gone) {
      found->broken = true;
    } else if (found->pending.size() == before) {
      found->retryAtMs = nowMs + kRefusedRetryMs;
    }
  }
}

void NotificationDelivery::serve() {
  for (;;) {
    DepartedList gone;
    pushUntried(gone);
    reportDeparted(gone);
    gone.clear();
    int timeoutMs = -1;
    bool finished = false;
    bool again = false;
    {
      MutexLock lock(&mutex_);
      const qint64 nowMs = clock_.elapsed();
      poller_.clear();
      watched_.clear();
      bool anyPending = false;
      auto shorten = [&timeoutMs](qint64 ms) {
        ms = std::max<qint64>(ms, 0);
        if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = int(std::min<qint64>(ms, 1 << 30));
      };
      for (const Connection& connection : connections_) {
        // Left by the host's thread while this one was pushing: no wake-up
        // came for it, so it is taken before any wait.
        again = again || connection.untried;
        if (connection.pending.isEmpty()) continue;
        anyPending = true;
        shorten(connection.progressMs + kNoProgressLimitMs - nowMs);
        if (connection.retryAtMs > nowMs) {
          shorten(connection.retryAtMs - nowMs);
          continue;
        }
        poller_.add(connection.descriptor);
        watched_.emplace_back(connection.channel, connection.descriptor);
      }
      if (stopping_) {
        finished = !again && (!anyPending || nowMs >= drainDeadlineMs_);
        shorten(drainDeadlineMs_ - nowMs);
      }
      // From here on the host's thread wakes this one for new work.
      if (!again && !finished) {
        threadAwake_.store(false);
        // A frame the host's thread left after the last look, while it still
        // saw this thread awake, came without a wake-up: take it now.
        if (handedOverWaiting_.load()) {
          threadAwake_.store(true);
          again = true;
        }
      }
      if (!again && !finished && watched_.empty()) {
        // No connection to watch: wait on the condition, which the host's
        // thread signals without a system call of the Wine server.
        waitingOnCondition_ = true;
        wakeCondition_.wait(mutex_, timeoutMs);
        waitingOnCondition_ = false;
        threadAwake_.store(true);
        wakeUps_.fetch_add(1, std::memory_order_relaxed);
        again = true;
      }
    }
    if (finished) return;
    if (again) continue;

    poller_.wait(timeoutMs);
    wakeUps_.fetch_add(1, std::memory_order_relaxed);
    {
      MutexLock lock(&mutex_);
      threadAwake_.store(true);
    }
    pushReady();
    {
      MutexLock lock(&mutex_);
      const qint64 nowMs = clock_.elapsed();
      for (std::size_t i = 0; i < connections_.size();) {
        if (connections_[i].broken || !withinLimits(connections_[i], nowMs)) {
          drop(i, gone);
        } else {
          ++i;
        }
      }
    }
    reportDeparted(gone);
  }
}

void NotificationDelivery::sweep() {
  if (sweepTimer_.elapsed() < kSweepIntervalMs) return;
  sweepTimer_.restart();
  sweepBatch_.clear();
  {
    MutexLock lock(&mutex_);
    if (stopping_ || connections_.empty()) return;
    if (sweepCursor_ >= connections_.size()) sweepCursor_ = 0;
    const std::size_t end = std::min(connections_.size(), sweepCursor_ + std::size_t(kSweepBatch));
    for (std::size_t i = sweepCursor_; i < end; ++i)
      sweepBatch_.emplace_back(connections_[i].channel, connections_[i].descriptor);
    sweepCursor_ = end;
  }
  // Outside the lock: only this thread deletes execute channels, so the
  // descriptors stay open while they are looked at.
  DepartedList gone;
  for (const auto& [channel, descriptor] : sweepBatch_)
    if (nativesocket::checkPeer(descriptor) == Status::Gone) gone.push_back(channel);
  if (gone.empty()) return;
  {
    MutexLock lock(&mutex_);
    for (QtTCPIPServer* channel : gone) {
      const auto found = std::find_if(connections_.begin(), connections_.end(),
                                      [channel](const Connection& c) { return c.channel == channel; });
      if (found != connections_.end()) connections_.erase(found);
    }
  }
  reportDeparted(gone);
}

void NotificationDelivery::drainAndStop(int timeoutMs) {
  bool threadRan = false;
  {
    MutexLock lock(&mutex_);
    if (!stopping_) {
      stopping_ = true;
      drainDeadlineMs_ = clock_.elapsed() + timeoutMs;
    }
    threadRan = threadRunning_;
    wakeCondition_.notifyOne();
  }
  if (threadRan) poller_.wake();
  if (thread_.joinable()) thread_.join();
  {
    MutexLock lock(&mutex_);
    threadRunning_ = false;
    deliveryThreadUp_.store(false);
    absorbHandedOver();
  }
  // Without a delivery thread (or after it failed) the drain runs here.
  try {
    serve();
  } catch (...) {
    // Out of memory at the very end: what is pending stays unsent.
  }
}
