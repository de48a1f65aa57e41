// NMBNetworkPlugin.ini's rules on a serving plug-in, seen from clients on
// loopback: 127.0.0.1 and 127.0.0.2 stand for two computers.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include "channels/Discovery.h"
#include "tests/support/BroadcastListener.h"
#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

namespace {

constexpr char kOtherComputer[] = "127.0.0.2";

// The handshake answer: the role echoed, then 2, 0 and 0.
QByteArray answerTo(const char* role) { return wire::requestFrame(role, {2, 0, 0}); }

class ClientAccess : public ::testing::Test {
 protected:
  void writeSettings(const QByteArray& text) {
    QFile file(QDir(folder.path()).filePath("NMBNetworkPlugin.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
  }
  void serve(const QByteArray& settings) {
    writeSettings(settings);
    plugin = startServedPlugin(port, folder.path());
    ASSERT_NE(plugin, nullptr);
  }
  // Connects (from `source` when given) once the service listens, and sends
  // the role; returns the handshake answer, empty when the connection was
  // closed without one.
  QByteArray handshake(LoopbackClient& client, const char* role, const char* source = nullptr) {
    if (!eventually([&] { return client.connectTo(port, nullptr, source); }) ||
        !client.send(roleMessage(role)))
      return QByteArray();
    return client.receive(8 + 4 + int(qstrlen(role)) + 1 + 12);
  }
  static int logLinesStartingWith(const std::string& start) {
    int count = 0;
    for (const std::string& line : FakeHost::logLines()) count += line.rfind(start, 0) == 0 ? 1 : 0;
    return count;
  }

  void TearDown() override {
    if (HasFailure())
      for (const std::string& line : FakeHost::logLines()) std::fprintf(stderr, "host log: %s\n", line.c_str());
  }

  QTemporaryDir folder;
  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
};

}  // namespace

TEST_F(ClientAccess, ARefusedAddressIsClosedUnansweredAndLoggedOnceWhileAnAllowedOneIsServed) {
  serve("allow = 127.0.0.2\n");
  EXPECT_EQ(logLinesStartingWith("<b>Info</b> - Client rules from "), 1);
  LoopbackClient allowed;
  EXPECT_EQ(handshake(allowed, "Request Socket", kOtherComputer), answerTo("Request Socket"));

  for (int attempt = 0; attempt < 2; ++attempt) {
    LoopbackClient refused;
    EXPECT_TRUE(handshake(refused, "Execute Socket").isEmpty()) << "attempt " << attempt;
    EXPECT_TRUE(refused.waitForClose(1000));
  }
  EXPECT_EQ(
      logLinesStartingWith("<b>Warning</b> - Refused a client from 127.0.0.1: its address is not allowed"),
      1);
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::requestChannelCount(*plugin) == 1; }));
  EXPECT_EQ(ChannelListsProbe::executeChannelCount(*plugin), 0) << "no channel for a refused client";

  // The next pre-run finds no file: the running worker serves everybody again.
  ASSERT_TRUE(QFile::remove(QDir(folder.path()).filePath("NMBNetworkPlugin.ini")));
  ASSERT_TRUE(plugin->executePreRun(0));
  LoopbackClient welcome;
  EXPECT_EQ(handshake(welcome, "Execute Socket"), answerTo("Execute Socket"));
  EXPECT_EQ(logLinesStartingWith("<b>Info</b> - Client rules from "), 1);
}

TEST_F(ClientAccess, BeyondTheCapAnAddressIsRefusedUntilOneOfItsConnectionsCloses) {
  serve("maxConnectionsPerAddress = 2\n");
  LoopbackClient request, execute;
  EXPECT_EQ(handshake(request, "Request Socket"), answerTo("Request Socket"));
  EXPECT_EQ(handshake(execute, "Execute Socket"), answerTo("Execute Socket"));
  for (int attempt = 0; attempt < 2; ++attempt) {
    LoopbackClient third;
    EXPECT_TRUE(handshake(third, "Request Socket").isEmpty()) << "attempt " << attempt;
  }
  EXPECT_EQ(
      logLinesStartingWith("<b>Warning</b> - Refused a client from 127.0.0.1: it has 2 connections open"), 1);

  LoopbackClient elsewhere;
  EXPECT_EQ(handshake(elsewhere, "Request Socket", kOtherComputer), answerTo("Request Socket"))
      << "the cap is per address";

  // An execute client that leaves between runs is noticed by nobody else
  // until the next step; its place is free at once all the same.
  execute.close();
  EXPECT_TRUE(eventually([&] {
    LoopbackClient again;
    return handshake(again, "Execute Socket") == answerTo("Execute Socket");
  }));
}

TEST_F(ClientAccess, AnExecuteClientThatLeftFreesItsPlaceBeforeAnyoneElseNoticesIt) {
  serve("maxConnectionsPerAddress = 1\n");
  LoopbackClient leaving;
  ASSERT_EQ(handshake(leaving, "Execute Socket"), answerTo("Execute Socket"));
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  // The worker's sweep leaves the connection in place, and no step comes:
  // the channel stays filed, its client gone.
  ChannelListsProbe::deliverySeam(*plugin).setSweepHold([] { return false; });
  leaving.close();
  QThread::msleep(50);
  LoopbackClient next;
  EXPECT_EQ(handshake(next, "Execute Socket"), answerTo("Execute Socket"));
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 2; }))
      << "the place was not freed by a retirement";
  ChannelListsProbe::deliverySeam(*plugin).setSweepHold(nullptr);
}

TEST_F(ClientAccess, ACapSwitchedOnLaterCountsTheConnectionsAdmittedBefore) {
  serve("");
  LoopbackClient request, execute;
  ASSERT_EQ(handshake(request, "Request Socket"), answerTo("Request Socket"));
  ASSERT_EQ(handshake(execute, "Execute Socket"), answerTo("Execute Socket"));
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  writeSettings("maxConnectionsPerAddress = 2\n");
  ASSERT_TRUE(plugin->executePreRun(0));
  LoopbackClient third;
  EXPECT_TRUE(handshake(third, "Request Socket").isEmpty());
}

TEST_F(ClientAccess, ANewPortAndAddressTogetherAreListenedOnOnceOnTheNewPair) {
  serve("listen = 127.0.0.1\n");
  LoopbackClient first;
  ASSERT_EQ(handshake(first, "Request Socket"), answerTo("Request Socket"));
  // The new port is taken on the old address: a listen on the new port with
  // the old address would fail and report so.
  const quint16 newPort = freeTcpPort();
  QTcpServer occupant;
  ASSERT_TRUE(occupant.listen(QHostAddress("127.0.0.1"), newPort));
  writeSettings("listen = 127.0.0.2\n");
  FakeHost::state().integerInput = newPort;
  ASSERT_TRUE(plugin->executePreRun(0));
  LoopbackClient moved;
  ASSERT_TRUE(eventually([&] { return moved.connectTo(newPort, kOtherComputer); }));
  ASSERT_TRUE(moved.send(roleMessage("Request Socket")));
  EXPECT_EQ(moved.receive(answerTo("Request Socket").size()), answerTo("Request Socket"));
  EXPECT_EQ(logLinesStartingWith("<b>Error</b> - Cannot listen"), 0);
}

TEST_F(ClientAccess, WithTheBroadcastOffNoDatagramIsSentAndTheServiceStillServes) {
  BroadcastListener listener;
  ASSERT_TRUE(listener.isBound());
  serve("broadcast = off\n");
  LoopbackClient client;
  EXPECT_EQ(handshake(client, "Request Socket"), answerTo("Request Socket"));
  const QByteArray datagram = discovery::datagram(port);
  EXPECT_TRUE(listener.collect(datagram, 3000).isEmpty());

  writeSettings("broadcast = on\n");
  ASSERT_TRUE(plugin->executePreRun(0));
  EXPECT_FALSE(listener.collect(datagram, 2000).isEmpty()) << "the next pre-run's rules reach the worker";
}

TEST_F(ClientAccess, TheServiceListensOnTheGivenAddressOnly) {
  serve("listen = 127.0.0.2\n");
  LoopbackClient there;
  ASSERT_TRUE(eventually([&] { return there.connectTo(port, kOtherComputer); }));
  there.close();
  LoopbackClient here;
  EXPECT_FALSE(here.connectTo(port));
  EXPECT_EQ(logLinesStartingWith("<br><b>Info</b> - Listening on: <br><b>127.0.0.2</b>, <br> Port: <b>"), 1);
}

TEST_F(ClientAccess, SettingsThatCannotBeReadNeverOpenTheService) {
  // Unreadable at the first pre-run: this computer only, on 127.0.0.1.
  ASSERT_TRUE(QDir(folder.path()).mkdir("NMBNetworkPlugin.ini"));
  plugin = startServedPlugin(port, folder.path());
  ASSERT_NE(plugin, nullptr);
  LoopbackClient local, other;
  EXPECT_EQ(handshake(local, "Request Socket"), answerTo("Request Socket"));
  EXPECT_TRUE(handshake(other, "Request Socket", kOtherComputer).isEmpty());

  // Read: its rules apply; unreadable again: they stay.
  ASSERT_TRUE(QDir(folder.path()).rmdir("NMBNetworkPlugin.ini"));
  for (bool readable : {true, false}) {
    SCOPED_TRACE(readable ? "readable" : "unreadable again");
    if (readable)
      writeSettings("allow = 127.0.0.2 # the stimulus PC\n");
    else
      ASSERT_TRUE(QFile::remove(QDir(folder.path()).filePath("NMBNetworkPlugin.ini")) &&
                  QDir(folder.path()).mkdir("NMBNetworkPlugin.ini"));
    ASSERT_TRUE(plugin->executePreRun(0));
    LoopbackClient allowed, refused;
    EXPECT_EQ(handshake(allowed, "Execute Socket", kOtherComputer), answerTo("Execute Socket"));
    EXPECT_TRUE(handshake(refused, "Execute Socket").isEmpty());
  }
}
