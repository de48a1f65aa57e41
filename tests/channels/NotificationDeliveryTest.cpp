// Step notifications at the limits of the wire: a client that stops reading
// during the run, a stalled client among many silent ones, and a process that
// cannot start the delivery thread.
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

TEST(NotificationDelivery, AClientThatLeavesMoreThan256KiBUnreadIsDisconnected) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  LoopbackClient client;
  connectBackedUpClient(*plugin, port, client);
  int timePoint = 0;
  while (ChannelListsProbe::executeChannelCount(*plugin) > 0 && timePoint < 20000) step(*plugin, ++timePoint);
  EXPECT_EQ(ChannelListsProbe::executeChannelCount(*plugin), 0);
  // Some 4,300 volumes of notifications, beyond what the buffers hold.
  EXPECT_GT(timePoint * stepFrames(1, 1).size(), 256 * 1024);
  EXPECT_TRUE(client.waitForClose(3000));
}

TEST(NotificationDelivery, WhenTheDeliveryThreadCannotStartTheHostsThreadWritesAndLogsOneLine) {
  FakeHost::reset();
  const quint16 port = freeTcpPort();
  FakeHost::state().integerInput = port;
  auto plugin = std::make_unique<TcpIpExport>();
  ChannelListsProbe::failDeliveryThreadStart(*plugin);
  ASSERT_TRUE(plugin->initPlugin());
  ASSERT_TRUE(plugin->executePreRun(0));
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
