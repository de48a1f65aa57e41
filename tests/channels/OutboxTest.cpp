// The outbox alone: frames queued behind a partial send leave whole and in
// order, and the two limits that say a client is not following.
#include <gtest/gtest.h>

#include "channels/Outbox.h"

namespace {

using nativesocket::Status;

// A connection that takes at most `room` bytes per send into `wire`.
struct FakeConnection {
  QByteArray wire;
  qint64 room = 0;
  Status status = Status::Ok;
  Status operator()(const char* data, qint64 size, qint64& sent) {
    sent = status == Status::Gone ? 0 : qMin(size, room);
    wire.append(data, int(sent));
    return status;
  }
};

}  // namespace

TEST(Outbox, TheRestOfAPartialSendLeavesWholeBeforeTheFramesQueuedAfterIt) {
  const QByteArray first("0123456789"), second("abcdef");
  for (qint64 room : {0, 1, 4, 9, 10}) {
    SCOPED_TRACE(room);
    Outbox outbox;
    FakeConnection connection{QByteArray(), room};
    EXPECT_EQ(outbox.offer(first.constData(), first.size(), connection, 0), Status::Ok);
    EXPECT_EQ(outbox.size(), first.size() - room);
    outbox.append(second.constData(), second.size(), 0);
    // The connection takes three bytes at a time from now on.
    connection.room = 3;
    for (int round = 0; round < 10 && !outbox.isEmpty(); ++round) outbox.push(connection, 0);
    EXPECT_TRUE(outbox.isEmpty());
    EXPECT_EQ(connection.wire, first + second);
  }
}

TEST(Outbox, AFrameToAConnectionThatIsGoneIsNotKept) {
  Outbox outbox;
  FakeConnection connection{QByteArray(), 4, Status::Gone};
  EXPECT_EQ(outbox.offer("0123456789", 10, connection, 0), Status::Gone);
  EXPECT_TRUE(outbox.isEmpty());
}

TEST(Outbox, AClientIsNotFollowingPastEitherLimit) {
  constexpr int kLimitMs = 1000;
  const QByteArray frame(1024, 'x');
  FakeConnection stalled;  // takes nothing
  Outbox outbox;
  EXPECT_TRUE(outbox.withinLimits(5 * kLimitMs, kLimitMs)) << "nothing pending is always within";

  // The wait for progress starts when bytes are queued into an empty outbox,
  // and only bytes that leave restart it.
  outbox.append(frame.constData(), frame.size(), 100);
  outbox.append(frame.constData(), frame.size(), 900);
  EXPECT_EQ(outbox.progressDeadlineMs(kLimitMs), 100 + kLimitMs);
  EXPECT_TRUE(outbox.withinLimits(100 + kLimitMs - 1, kLimitMs));
  outbox.push(stalled, 1050);
  EXPECT_FALSE(outbox.withinLimits(100 + kLimitMs, kLimitMs));
  FakeConnection slow{QByteArray(), 1};
  outbox.push(slow, 1100);
  EXPECT_TRUE(outbox.withinLimits(1100 + kLimitMs - 1, kLimitMs));

  // Size: up to kMaxPendingBytes is within, one byte more is not.
  Outbox full;
  while (full.size() + frame.size() <= Outbox::kMaxPendingBytes) full.append(frame.constData(), frame.size(), 0);
  full.append(frame.constData(), int(Outbox::kMaxPendingBytes - full.size()), 0);
  EXPECT_EQ(full.size(), Outbox::kMaxPendingBytes);
  EXPECT_TRUE(full.withinLimits(0, kLimitMs));
  full.append("x", 1, 0);
  EXPECT_FALSE(full.withinLimits(0, kLimitMs));
}
