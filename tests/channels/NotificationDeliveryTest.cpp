// Step notifications at the limits of the wire: a client that stops reading
// during the run, a stalled client among many silent ones, a process that
// cannot start the delivery thread, frames that go in pieces or are handed
// over, and a client that leaves while two threads look at it.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

namespace {

// Small system buffers on both ends, so that a client that does not read
// backs the plug-in up after a few hundred notifications.
constexpr int kSmallBuffer = 4096;

void step(TcpIpExport& plugin, int timePoint) {
  {
    auto hostLock = FakeHost::lock();
    FakeHost::state().currentTimePoint = timePoint;
  }
  ASSERT_TRUE(plugin.executePreStep());
  ASSERT_TRUE(plugin.executePostStep());
}

QByteArray stepFrames(int first, int last) {
  QByteArray frames;
  for (int t = first; t <= last; ++t)
    frames += wire::notification("PreStepCalled", t) + wire::notification("PostStepCalled", t);
  return frames;
}

// An execute client with small buffers on both ends, its connection filed.
void connectBackedUpClient(TcpIpExport& plugin, quint16 port, LoopbackClient& client) {
  client.setReceiveBuffer(kSmallBuffer);
  ASSERT_FALSE(connectAs(client, port, "Execute Socket").isEmpty());
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(plugin) >= 1; }));
  ChannelListsProbe::shrinkExecuteSendBuffers(plugin, kSmallBuffer);
}

// Steps from `timePoint` on until at least `bytes` of notifications wait in
// the plug-in; returns the last time point.  The system finds room for a few
// kilobytes more as it compacts a silent client's buffers, so a backlog meant
// to stay is made larger than that.
int stepUntilPending(TcpIpExport& plugin, int timePoint, qint64 bytes = 1) {
  while (ChannelListsProbe::pendingNotificationBytes(plugin) < bytes && timePoint < 20000)
    step(plugin, ++timePoint);
  return timePoint;
}

constexpr qint64 kLastingBacklog = 64 * 1024;

// A plug-in whose delivery thread cannot start: the host's thread writes
// everything.
std::unique_ptr<TcpIpExport> startWithoutDeliveryThread(quint16& port) {
  FakeHost::reset();
  port = freeTcpPort();
  FakeHost::state().integerInput = port;
  auto plugin = std::make_unique<TcpIpExport>();
  ChannelListsProbe::failDeliveryThreadStart(*plugin);
  if (!plugin->initPlugin() || !plugin->executePreRun(0)) return nullptr;
  return plugin;
}

// Lets the thread that runs it wait until `go` is set, once: the first time
// it comes past on a thread other than `passes`.
struct OneHold {
  std::thread::id passes = std::this_thread::get_id();
  std::atomic<bool> reached{false}, go{false}, returned{false};
  bool operator()() {
    if (std::this_thread::get_id() == passes || reached.exchange(true)) return true;
    while (!go.load()) QThread::msleep(1);
    returned = true;
    return true;
  }
};

}  // namespace

TEST(NotificationDelivery,
     AClientThatReadsOnlyAfterTheRunGetsEveryFrameAndPostRunCalledThoughThePlugInIsDestroyed) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient client;
  connectBackedUpClient(*plugin, port, client);

  step(*plugin, 1);
  ASSERT_EQ(client.receive(stepFrames(1, 1).size()), stepFrames(1, 1));
  // The client stops reading; the run goes on well past its buffers.
  int last = stepUntilPending(*plugin, 1, kLastingBacklog);
  ASSERT_TRUE(plugin->executePostRun());
  ASSERT_GT(ChannelListsProbe::pendingNotificationBytes(*plugin), 0)
      << "nothing left for the teardown to drain";
  const QByteArray expected = stepFrames(2, last) + wire::notification("PostRunCalled", last);

  // The host destroys the plug-in at once; the client reads again a moment
  // later, well within the send time-out.
  QByteArray received;
  bool closed = false;
  std::thread reader([&] {
    QThread::msleep(200);
    received = client.receive(expected.size(), 5000);
    closed = client.waitForClose(3000);
  });
  plugin.reset();
  reader.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "frames lost, cut or out of order";
  EXPECT_TRUE(closed);
}

TEST(NotificationDelivery, WithAStalledClientAmongManySilentOnesTheDeliveryThreadSleepsBetweenSteps) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient stalled;
  connectBackedUpClient(*plugin, port, stalled);
  int last = stepUntilPending(*plugin, 0, kLastingBacklog);
  // Silent execute clients: they take whatever comes into their buffers and
  // never read a byte.
  constexpr int kSilent = 300;
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (int i = 0; i < kSilent; ++i) {
    silent.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(silent.back()->connectWithRetry(port));
    ASSERT_TRUE(silent.back()->send(roleMessage("Execute Socket")));
  }
  ASSERT_TRUE(
      eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == kSilent + 1; }, 20000));

  for (int round = 0; round < 3; ++round) {
    step(*plugin, ++last);
    // Once the step's frames are out, nothing wakes the thread until the
    // stalled client takes bytes or runs out of time.
    ASSERT_TRUE(eventually([&] {
      const quint64 before = ChannelListsProbe::deliveryWakeUps(*plugin);
      QThread::msleep(20);
      return ChannelListsProbe::deliveryWakeUps(*plugin) == before;
    }));
    const quint64 before = ChannelListsProbe::deliveryWakeUps(*plugin);
    QThread::msleep(300);
    EXPECT_EQ(ChannelListsProbe::deliveryWakeUps(*plugin), before) << "woken between steps";
  }
  EXPECT_EQ(ChannelListsProbe::executeChannelCount(*plugin), kSilent + 1) << "a client was dropped";
  EXPECT_GT(ChannelListsProbe::pendingNotificationBytes(*plugin), 0);
}

namespace {

// Steps until the plug-in drops a client that reads nothing: some 4,300
// volumes of notifications, beyond what the buffers hold.
void expectDisconnectedPast256KiB(TcpIpExport& plugin, quint16 port) {
  LoopbackClient client;
  connectBackedUpClient(plugin, port, client);
  int timePoint = 0;
  while (ChannelListsProbe::executeChannelCount(plugin) > 0 && timePoint < 20000) step(plugin, ++timePoint);
  EXPECT_EQ(ChannelListsProbe::executeChannelCount(plugin), 0);
  EXPECT_GT(timePoint * stepFrames(1, 1).size(), 256 * 1024);
  EXPECT_TRUE(client.waitForClose(3000));
}

}  // namespace

TEST(NotificationDelivery, AClientThatLeavesMoreThan256KiBUnreadIsDisconnected) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  expectDisconnectedPast256KiB(*plugin, port);
}

TEST(NotificationDelivery, WhenTheDeliveryThreadCannotStartTheHostsThreadWritesAndLogsOneLine) {
  quint16 port = 0;
  auto plugin = startWithoutDeliveryThread(port);
  ASSERT_NE(plugin, nullptr);
  ASSERT_TRUE(plugin->executePreRun(0));
  int warnings = 0;
  for (const std::string& line : FakeHost::logLines())
    if (line.find("No thread could be started for the notifications") != std::string::npos) ++warnings;
  EXPECT_EQ(warnings, 1);

  LoopbackClient client;
  connectBackedUpClient(*plugin, port, client);
  // Also what a client cannot take at once reaches it: at the next steps,
  // and at the end.
  const int last = stepUntilPending(*plugin, 0) + 5;
  for (int t = last - 4; t <= last; ++t) step(*plugin, t);
  ASSERT_TRUE(plugin->executePostRun());
  const QByteArray expected = stepFrames(1, last) + wire::notification("PostRunCalled", last);
  QByteArray received;
  std::thread reader([&] { received = client.receive(expected.size(), 5000); });
  plugin.reset();
  reader.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST(NotificationDelivery, WithoutADeliveryThreadTheHostsThreadDisconnectsAClientPast256KiB) {
  quint16 port = 0;
  auto plugin = startWithoutDeliveryThread(port);
  ASSERT_NE(plugin, nullptr);
  expectDisconnectedPast256KiB(*plugin, port);
}

TEST(NotificationDelivery, FramesThatGoInPiecesOnTheHostsDirectPathArriveWholeAndInOrder) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient client;
  ASSERT_FALSE(connectAs(client, port, "Execute Socket").isEmpty());
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  // No send takes more than 7 bytes of a frame of 30 or more.
  ChannelListsProbe::deliverySeam(*plugin).setSendLimit(7);
  constexpr int kSteps = 20;
  for (int t = 1; t <= kSteps; ++t) {
    // The delivery thread has finished the last step's rests and waits: the
    // host's thread sends the first piece of each frame itself.
    ASSERT_TRUE(eventually([&] {
      return ChannelListsProbe::pendingNotificationBytes(*plugin) == 0 &&
             ChannelListsProbe::deliveryThreadWaits(*plugin);
    }));
    step(*plugin, t);
  }
  EXPECT_TRUE(client.receive(stepFrames(1, kSteps).size()) == stepFrames(1, kSteps));
}

TEST(NotificationDelivery, FramesHandedOverWhileTheDeliveryThreadSendsArriveWholeAndInOrder) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient client;
  ASSERT_FALSE(connectAs(client, port, "Execute Socket").isEmpty());
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  DeliveryTestSeam& seam = ChannelListsProbe::deliverySeam(*plugin);
  // Frames go in pieces, so the delivery thread has sends of its own; its
  // first one is held, with the connections' lock, until the host's thread
  // has handed frames over.
  seam.setSendLimit(7);
  OneHold hold;
  seam.setSendHold([&hold] { return hold(); });
  step(*plugin, 1);
  ASSERT_TRUE(eventually([&] { return hold.reached.load(); }));
  step(*plugin, 2);
  step(*plugin, 3);
  EXPECT_TRUE(ChannelListsProbe::framesHandedOver(*plugin));
  hold.go = true;
  EXPECT_TRUE(client.receive(stepFrames(1, 3).size()) == stepFrames(1, 3));
  seam.setSendHold(nullptr);
}

TEST(NotificationDelivery, AClientWhoseBytesDoNotMoveForTheNoProgressLimitIsDisconnected) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  ChannelListsProbe::deliverySeam(*plugin).setNoProgressLimitMs(300);
  LoopbackClient client;
  connectBackedUpClient(*plugin, port, client);
  // Well short of the size limit; a backlog the system's buffers cannot
  // shrink by taking a little more now and then.
  stepUntilPending(*plugin, 0, kLastingBacklog);
  // No further step: only the no-progress limit can end the connection now.
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 0; }));
  EXPECT_TRUE(client.waitForClose(3000));
}

TEST(NotificationDelivery, AClientSeenGoneByTheSweepAndByTheHostsSendIsRetiredOnce) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient client;
  ASSERT_FALSE(connectAs(client, port, "Execute Socket").isEmpty());
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  DeliveryTestSeam& seam = ChannelListsProbe::deliverySeam(*plugin);
  // The worker's sweep sees the client gone and is held before it takes the
  // connection out; meanwhile the host's step finds it gone too.
  OneHold hold;
  seam.setSweepHold([&hold] { return hold(); });
  client.reset();
  ASSERT_TRUE(eventually([&] { return hold.reached.load(); }));
  step(*plugin, 1);
  step(*plugin, 2);
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 0; }));
  hold.go = true;
  ASSERT_TRUE(eventually([&] { return hold.returned.load(); }));
  // The worker goes on from the hold, releases what was retired and sweeps
  // again; a second retirement would end the process here.
  QThread::msleep(3 * 100);
  seam.setSweepHold(nullptr);
  step(*plugin, 3);
  plugin.reset();
}
