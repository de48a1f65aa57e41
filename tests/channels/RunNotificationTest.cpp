// A whole run seen by an execute client: handshake, broadcast, and every step
// notification in order, byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/BroadcastListener.h"
#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

namespace {

void runVolumes(TcpIpExport& plugin, int volumes) {
  for (int t = 1; t <= volumes; ++t) {
    {
      auto hostLock = FakeHost::lock();
      FakeHost::state().currentTimePoint = t;
    }
    ASSERT_TRUE(plugin.executePreStep());
    ASSERT_TRUE(plugin.executePostStep());
  }
  ASSERT_TRUE(plugin.executePostRun());
}

}  // namespace

TEST(RunNotifications, AnExecuteClientSeesTheHandshakeTheBroadcastAndEveryNotificationOfATenVolumeRun) {
  BroadcastListener broadcast;
  ASSERT_TRUE(broadcast.isBound());
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  FakeHost::fillTimeCourse(10);

  LoopbackClient execute, second;
  EXPECT_EQ(connectAs(execute, port, "Execute Socket"), hexBytes("00 00 00 00 00 00 00 1F 00 00 00 0F") +
                                                            QByteArray("Execute Socket", 15) +
                                                            hexBytes("00 00 00 02 00 00 00 00 00 00 00 00"));
  ASSERT_FALSE(connectAs(second, port, "Execute Socket").isEmpty());
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 2; }));
  EXPECT_GE(broadcast.collect("Nimbrel Broadcast: " + QByteArray::number(port), 2500).size(), 1)
      << "the waiting listener announces the port";

  runVolumes(*plugin, 10);

  QByteArray expected;
  for (int t = 1; t <= 10; ++t)
    expected += wire::notification("PreStepCalled", t) + wire::notification("PostStepCalled", t);
  expected += wire::notification("PostRunCalled", 10);
  EXPECT_EQ(expected.size(), 10 * (30 + 31) + 30);
  EXPECT_EQ(execute.receive(expected.size()), expected);
  EXPECT_EQ(second.receive(expected.size()), expected);
  EXPECT_TRUE(execute.staysQuiet(50));
}

TEST(RunNotifications, WithoutExecuteClientsTheStepsCarryOn) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  FakeHost::fillTimeCourse(3);
  runVolumes(*plugin, 3);
  EXPECT_EQ(ChannelListsProbe::executeChannelCount(*plugin), 0);
}

TEST(RunNotifications, RequestsAreAnsweredWhileTheHostRecordsTheRun) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  FakeHost::fillTimeCourse(10);
  {
    auto hostLock = FakeHost::lock();
    FakeHost::state().rois.resize(2);
  }
  LoopbackClient request;
  ASSERT_EQ(connectAs(request, port, "Request Socket").size(), 39);

  std::atomic<bool> runDone{false};
  int answered = 0;
  std::thread asker([&] {
    while (!runDone.load()) {
      const char* name = answered % 2 == 0 ? "tGetCurrentTimePoint" : "tGetMeanOfROI";
      const QByteArray frame = answered % 2 == 0 ? wire::requestFrame(name) : wire::requestFrame(name, {0});
      if (!request.send(frame)) break;
      // A success reply: the echoed name, then the echoed index and the value.
      if (!wire::isSuccessReply(request.receiveFrame(), name, answered % 2 == 0 ? 4 : 8)) break;
      ++answered;
    }
  });
  runVolumes(*plugin, 10);
  QThread::msleep(50);
  runDone = true;
  asker.join();
  EXPECT_GT(answered, 2);
}
