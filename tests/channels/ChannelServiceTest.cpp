// The TCP service end to end: a plug-in on the fake host, plain clients on
// loopback.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QtEndian>
#include <array>
#include <thread>
#include <vector>

#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

namespace {

const QByteArray kRequestAnswer = hexBytes("00 00 00 00 00 00 00 1F 00 00 00 0F") +
                                  QByteArray("Request Socket", 15) +
                                  hexBytes("00 00 00 02 00 00 00 00 00 00 00 00");
const QByteArray kExecuteAnswer = hexBytes("00 00 00 00 00 00 00 1F 00 00 00 0F") +
                                  QByteArray("Execute Socket", 15) +
                                  hexBytes("00 00 00 02 00 00 00 00 00 00 00 00");
const QByteArray kEmptyRoleAnswer =
    hexBytes("00 00 00 00 00 00 00 11 00 00 00 01 00 00 00 00 02 00 00 00 00 00 00 00 00");

QByteArray notification(const char* name, qint32 value) {
  return wire::framed([=](QDataStream& out) { out << name << value; });
}

class ChannelService : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin = startServedPlugin(port);
    ASSERT_NE(plugin, nullptr);
  }
  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
};

}  // namespace

TEST_F(ChannelService, RequestHandshakeIs27BytesInAnd39BytesOut) {
  LoopbackClient client;
  ASSERT_TRUE(client.connectWithRetry(port));
  const QByteArray role = hexBytes("00 00 00 00 00 00 00 13 00 00 00 0F") + QByteArray("Request Socket", 15);
  ASSERT_EQ(role.size(), 27);
  ASSERT_TRUE(client.send(role));
  const QByteArray answer = client.receive(39);
  EXPECT_EQ(answer, kRequestAnswer);
  EXPECT_EQ(answer.size(), 39);
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == 1; }));
  // Nothing more comes: the request channel waits for requests.
  EXPECT_TRUE(client.staysQuiet(100));
}

TEST_F(ChannelService, ASilentClientGetsTheEmptyRoleAfterTheReadTimeOut) {
  LoopbackClient client;
  ASSERT_TRUE(client.connectWithRetry(port));
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(client.receive(kEmptyRoleAnswer.size(), 4000), kEmptyRoleAnswer);
  EXPECT_GE(timer.elapsed(), 1900);
  EXPECT_LT(timer.elapsed(), 3500);
  // Any role other than the request role is filed with the execute channels.
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
}

TEST_F(ChannelService, ASilentClientDoesNotDelayAnotherClientsHandshake) {
  LoopbackClient silent, prompt;
  ASSERT_TRUE(silent.connectWithRetry(port));
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(connectAs(prompt, port, "Execute Socket"), kExecuteAnswer);
  EXPECT_LT(timer.elapsed(), 1000);
}

TEST_F(ChannelService, RequestExecuteAndAThirdClientAreServedAtOnce) {
  LoopbackClient request, execute, third;
  EXPECT_EQ(connectAs(request, port, "Request Socket"), kRequestAnswer);
  EXPECT_EQ(connectAs(execute, port, "Execute Socket"), kExecuteAnswer);
  EXPECT_EQ(connectAs(third, port, "Request Socket"), kRequestAnswer);
  EXPECT_TRUE(eventually([&] {
    return ChannelListsProbe::requestChannelCount(*plugin) == 2 &&
           ChannelListsProbe::executeChannelCount(*plugin) == 1;
  }));
}

TEST_F(ChannelService, ThirtyTwoClientsConnectingTogetherAllGetTheirHandshake) {
  constexpr int kClients = 32;
  std::array<LoopbackClient, kClients> clients;
  for (LoopbackClient& client : clients) ASSERT_TRUE(client.connectWithRetry(port));
  for (LoopbackClient& client : clients) ASSERT_TRUE(client.send(roleMessage("Request Socket")));
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(clients[i].receive(39), kRequestAnswer) << "client " << i;
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == kClients; }));
}

TEST_F(ChannelService, ARequestClientThatLeavesIsPruned) {
  LoopbackClient stays, leaves;
  EXPECT_EQ(connectAs(stays, port, "Request Socket"), kRequestAnswer);
  EXPECT_EQ(connectAs(leaves, port, "Request Socket"), kRequestAnswer);
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == 2; }));
  leaves.close();
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == 1; }));
  EXPECT_TRUE(stays.staysQuiet(50));
}

TEST_F(ChannelService, AnExecuteClientThatLeftIsReleasedAtTheNextNotification) {
  std::array<LoopbackClient, 3> clients;
  std::vector<quint16> handshakeOrder;
  for (LoopbackClient& client : clients) {
    ASSERT_EQ(connectAs(client, port, "Execute Socket"), kExecuteAnswer);
    handshakeOrder.push_back(client.localPort());
  }
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 3; }));
  const QVector<quint16> filed = ChannelListsProbe::executeClientPorts(*plugin);
  EXPECT_EQ(std::vector<quint16>(filed.begin(), filed.end()), handshakeOrder);

  clients[1].close();
  QThread::msleep(50);
  FakeHost::state().currentTimePoint = 7;
  EXPECT_TRUE(plugin->executePreStep());
  EXPECT_EQ(clients[0].receive(30), notification("PreStepCalled", 7));
  EXPECT_EQ(clients[2].receive(30), notification("PreStepCalled", 7));
  EXPECT_TRUE(eventually([&] {
    return ChannelListsProbe::executeClientPorts(*plugin) == QVector<quint16>({handshakeOrder[0], handshakeOrder[2]});
  }));
}

TEST_F(ChannelService, TeardownClosesRequestConnectionsBeforeExecuteConnections) {
  LoopbackClient request, execute;
  EXPECT_EQ(connectAs(request, port, "Request Socket"), kRequestAnswer);
  EXPECT_EQ(connectAs(execute, port, "Execute Socket"), kExecuteAnswer);
  ASSERT_TRUE(eventually([&] {
    return ChannelListsProbe::requestChannelCount(*plugin) == 1 &&
           ChannelListsProbe::executeChannelCount(*plugin) == 1;
  }));
  // Half a request: its channel waits for the body, and stops all the same.
  ASSERT_TRUE(request.send(hexBytes("00 00 00 00 00 00 00 10 00")));
  QThread::msleep(50);

  QElapsedTimer timer;
  timer.start();
  std::thread teardown([&] { plugin.reset(); });
  const bool executeClosed = execute.waitForClose(4000);
  const qint64 closedAfterMs = timer.elapsed();
  // Loopback delivers a close at once: a request connection closed first is
  // seen closed, without waiting, by then.
  const bool requestClosedBefore = request.waitForClose(0);
  teardown.join();
  ASSERT_TRUE(executeClosed);
  EXPECT_TRUE(requestClosedBefore) << "the execute connection closed before the request connection";
  EXPECT_LT(closedAfterMs, 1000) << "the half request held the teardown";
}

TEST_F(ChannelService, StoppingTheServiceWhileItListensTakesNoTime) {
  LoopbackClient identifying;
  ASSERT_TRUE(identifying.connectWithRetry(port));  // a channel still waiting for its role
  QThread::msleep(20);
  QElapsedTimer timer;
  timer.start();
  plugin.reset();
  EXPECT_LT(timer.elapsed(), 300);
  EXPECT_TRUE(identifying.waitForClose(500));
  LoopbackClient late;
  EXPECT_FALSE(late.connectTo(port)) << "nothing listens after the teardown";
}

TEST_F(ChannelService, ALaterPreRunMovesTheListenerAndACancelledOneLeavesItInPlace) {
  LoopbackClient early;
  EXPECT_EQ(connectAs(early, port, "Request Socket"), kRequestAnswer);
  const quint16 secondPort = freeTcpPort();
  FakeHost::state().integerInput = secondPort;
  ASSERT_TRUE(plugin->executePreRun(0));
  LoopbackClient moved;
  EXPECT_EQ(connectAs(moved, secondPort, "Request Socket"), kRequestAnswer);
  EXPECT_TRUE(early.staysQuiet(50)) << "clients of the first port stay connected";

  FakeHost::state().integerInput = 49151;
  ASSERT_TRUE(plugin->executePreRun(0));
  QThread::msleep(20);
  LoopbackClient afterCancel;
  EXPECT_EQ(connectAs(afterCancel, secondPort, "Execute Socket"), kExecuteAnswer);
}

TEST_F(ChannelService, ClientsThatLeftAreReleasedWithoutHoldingTheHostsStep) {
  constexpr int kClients = 10;
  std::array<LoopbackClient, kClients> executes, roleless;
  for (LoopbackClient& client : executes) ASSERT_EQ(connectAs(client, port, "Execute Socket"), kExecuteAnswer);
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == kClients; }));
  // Clients that leave before they give a role are released by the worker.
  for (LoopbackClient& client : roleless) {
    ASSERT_TRUE(client.connectWithRetry(port));
    client.close();
  }
  for (LoopbackClient& client : executes) client.close();
  QElapsedTimer timer;
  timer.start();
  EXPECT_TRUE(plugin->executePreStep());
  EXPECT_LT(timer.elapsed(), 500);
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 0; }));
}

TEST_F(ChannelService, AnEmptyRoleFrameDropsWhatFollowsIt) {
  LoopbackClient client;
  ASSERT_TRUE(client.connectWithRetry(port));
  // N = 0, and a role message in the same segment that must not count.
  ASSERT_TRUE(client.send(hexBytes("00 00 00 00 00 00 00 00") + roleMessage("Request Socket")));
  EXPECT_EQ(client.receive(kEmptyRoleAnswer.size()), kEmptyRoleAnswer);
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  EXPECT_EQ(ChannelListsProbe::requestChannelCount(*plugin), 0);
}

TEST_F(ChannelService, AnUnknownRoleIsEchoedAndFiledWithTheExecuteChannels) {
  LoopbackClient client;
  EXPECT_EQ(connectAs(client, port, "request socket"), hexBytes("00 00 00 00 00 00 00 1F 00 00 00 0F") +
                                                           QByteArray("request socket", 15) +
                                                           hexBytes("00 00 00 02 00 00 00 00 00 00 00 00"));
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  FakeHost::state().currentTimePoint = 2;
  EXPECT_TRUE(plugin->executePostStep());
  EXPECT_EQ(client.receive(31), notification("PostStepCalled", 2));
}

TEST_F(ChannelService, AClientThatDripsARequestDoesNotHoldTheTeardown) {
  LoopbackClient dripping;
  ASSERT_EQ(connectAs(dripping, port, "Request Socket"), kRequestAnswer);
  // 1,000 bytes announced, then one byte every 500 ms: each piece well
  // within the read time-out, the whole far beyond the teardown's patience.
  ASSERT_TRUE(dripping.send(hexBytes("00 00 00 00 00 00 03 E8 00")));
  std::atomic<bool> done{false};
  std::thread drip([&] {
    for (int i = 0; i < 20 && !done.load(); ++i) {
      QThread::msleep(500);
      if (!done.load() && !dripping.send(QByteArray(1, 'x'))) break;
    }
  });
  QThread::msleep(700);
  QElapsedTimer timer;
  timer.start();
  plugin.reset();
  EXPECT_LT(timer.elapsed(), 2000);
  done = true;
  drip.join();
}
