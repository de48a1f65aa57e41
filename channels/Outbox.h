// Outbox: the bytes one connection has yet to take, and the limits that say
// its client is not following.
//
// Frames are queued whole behind what is pending and leave from the front in
// whatever pieces the connection takes, so a frame that went out in part is
// finished before the next one starts: the client never sees a cut frame.
// An outbox has no lock and no thread, and makes no system call itself: its
// owner passes the send to use, a callable
//   nativesocket::Status send(const char* data, qint64 size, qint64& sent)
// that writes what the connection takes at once.
//
//   if (outbox.isEmpty()) outbox.offer(frame, size, send, nowMs);
//   else outbox.append(frame, size, nowMs);
//   ...
//   outbox.push(send, nowMs);                 // when the connection is writable
//   if (!outbox.withinLimits(nowMs, Outbox::kNoProgressLimitMs)) ...drop it
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "channels/NativeSocket.h"

class Outbox {
 public:
  // An execute client that leaves this much unread (thousands of
  // notifications, on top of what the system buffers hold) is not following
  // the run; its connection is dropped rather than buffered without end.
  static constexpr qint64 kMaxPendingBytes = 256 * 1024;
  // A connection whose pending bytes have not moved for this long is dropped
  // too: silent connections must not hold memory, or a reply's thread, for
  // the rest of the session.  It is long, because a client may well read
  // only after the run (a stimulus program busy with its own presentation),
  // and the system's own buffers, which fill first, may hold only a few
  // hundred notifications (4 KiB of them on some systems).
  static constexpr int kNoProgressLimitMs = 60000;

  // Reserves a little storage, which stays when the outbox runs empty: the
  // frames queued later cost no allocation.
  Outbox() { pending.reserve(kInitialCapacity); }

  bool isEmpty() const { return pending.isEmpty(); }
  qint64 size() const { return pending.size(); }

  // Queues `size` bytes behind the pending ones.  The wait for progress
  // starts now when nothing was pending.
  void append(const char* bytes, int size, qint64 nowMs) {
    if (pending.isEmpty()) progressMs = nowMs;
    pending.append(bytes, size);
  }
  // A frame while nothing is pending: sent at once, and what the connection
  // did not take is kept, to leave before anything queued later.
  template <typename Send>
  nativesocket::Status offer(const char* frame, int size, Send&& send, qint64 nowMs) {
    qint64 sent = 0;
    const nativesocket::Status status = send(frame, qint64(size), sent);
    if (status != nativesocket::Status::Gone && sent < size) append(frame + sent, int(size - sent), nowMs);
    return status;
  }
  // One send of the pending bytes; those that went leave the outbox.
  template <typename Send>
  nativesocket::Status push(Send&& send, qint64 nowMs) {
    qint64 sent = 0;
    const nativesocket::Status status = send(pending.constData(), qint64(pending.size()), sent);
    if (sent > 0) {
      pending.remove(0, int(sent));
      progressMs = nowMs;
    }
    return status;
  }
  // Whether the client still counts as following: nothing pending, or no
  // more than kMaxPendingBytes which moved within `noProgressLimitMs`.
  bool withinLimits(qint64 nowMs, int noProgressLimitMs) const {
    if (pending.isEmpty()) return true;
    return pending.size() <= kMaxPendingBytes && nowMs - progressMs < noProgressLimitMs;
  }
  // When the pending bytes run out of time unless some leave.
  qint64 progressDeadlineMs(int noProgressLimitMs) const { return progressMs + noProgressLimitMs; }

 private:
  static constexpr int kInitialCapacity = 512;

  QByteArray pending;
  // While bytes are pending: when they last moved (or were queued into an
  // empty outbox), in the owner's clock's milliseconds.
  qint64 progressMs = 0;
};
