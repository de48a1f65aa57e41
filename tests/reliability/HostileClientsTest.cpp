// Hostile and broken clients on loopback, each case while a well-behaved
// client keeps asking for ROI means, an execute client counts notifications
// and the host steps at a 20 ms TR.  Every case ends with the same checks:
// the good clients saw only correct answers and every notification, the host's
// steps stayed within the send time-out, the plug-in's memory stayed bounded
// and, once the hostile clients are gone, its threads are back to baseline.
#include <gtest/gtest.h>

#include <QDataStream>
#include <QThread>
#include <memory>
#include <random>
#include <vector>

#include "protocol/ProtocolTexts.h"
#include "tests/reliability/ServiceLoad.h"
#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

namespace {

constexpr int kRois = 4;
constexpr int kTrMs = 20;
// One notification may wait up to the 1000 ms send time-out; anything more
// means a step was held by something else.
constexpr long kStepBoundMs = 1500;
constexpr long kLatencyBoundMs = 2500;
constexpr long kMemoryGrowthBoundKb = (load::kSanitizedBuild ? 768 : 96) * 1024;

class HostileClients : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin = startServedPlugin(port);
    ASSERT_NE(plugin, nullptr);
    load::installRois(kRois);
    good = std::make_unique<load::RoiMeanClient>(port, kRois);
    counter = std::make_unique<load::NotificationCounter>(port);
    ASSERT_TRUE(eventually([&] { return counter->connected() && good->replies() > 5; }, 5000));
    ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
    stepper = std::make_unique<load::HostStepper>(*plugin, 1 << 20, kTrMs);
    baselineThreads = load::threadCount();
    baselineKb = load::residentKb();
  }

  // Ends the run and checks the well-behaved side; `hostile` are gone by now.
  void TearDown() override {
    if (stepper == nullptr) return;
    const long peakKb = load::residentKb();
    // Role-less clients that left are released at the next notification,
    // request channels by the worker: give both a moment.
    EXPECT_TRUE(eventually([&] { return load::threadCount() <= baselineThreads; }, 8000))
        << "threads " << load::threadCount() << " baseline " << baselineThreads;
    stepper->stopEarly();
    stepper->finish();
    QThread::msleep(200);
    const int steps = stepper->stepsDone();
    counter->stop();
    good->stop();
    EXPECT_TRUE(stepper->allReturnedTrue());
    EXPECT_LE(stepper->longestStepMs(), kStepBoundMs);
    EXPECT_EQ(good->failures(), 0);
    EXPECT_GT(good->replies(), 20);
    EXPECT_LE(good->maxLatencyMs(), kLatencyBoundMs);
    EXPECT_EQ(counter->malformed(), 0);
    EXPECT_EQ(counter->preSteps(), steps);
    EXPECT_EQ(counter->postSteps(), steps);
    EXPECT_EQ(counter->postRuns(), 1);
    EXPECT_LE(peakKb - baselineKb, kMemoryGrowthBoundKb);
    std::printf(
        "steps %d, good replies %ld (max latency %ld ms), longest step %ld ms, "
        "threads %d -> %d, RSS %ld -> %ld kB\n",
        steps, good->replies(), good->maxLatencyMs(), stepper->longestStepMs(), baselineThreads,
        load::threadCount(), baselineKb, peakKb);
    stepper.reset();
    plugin.reset();
  }

  quint16 port = 0;
  std::unique_ptr<TcpIpExport> plugin;
  std::unique_ptr<load::RoiMeanClient> good;
  std::unique_ptr<load::NotificationCounter> counter;
  std::unique_ptr<load::HostStepper> stepper;
  int baselineThreads = 0;
  long baselineKb = 0;
  std::mt19937 random{20261208};
};

QByteArray randomBytes(std::mt19937& random, int count) {
  QByteArray bytes(count, '\0');
  for (char& byte : bytes) byte = char(random() & 0xff);
  return bytes;
}

TEST_F(HostileClients, TwoHundredSilentConnectionsAreHeldAndReleased) {
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(silent.back()->connectWithRetry(port)) << i;
  }
  // Past the role message's receive time-out: every one of them is answered
  // with an empty role and kept as an execute connection.
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 201; }, 30000))
      << ChannelListsProbe::executeChannelCount(*plugin);
  std::printf("held %d connections, threads %d, RSS %ld kB\n", int(silent.size()) + 2, load::threadCount(),
              load::residentKb());
  silent.clear();
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }, 5000));
}

TEST_F(HostileClients, RandomBytesBeforeAndAfterTheHandshake) {
  for (int i = 0; i < 60; ++i) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectWithRetry(port));
    if (i % 2 == 1) {
      client.send(roleMessage(texts::kRequestRole));
      client.receive(39);
    }
    client.send(randomBytes(random, 64 + int(random() % 4096)));
    QThread::msleep(5);
  }
}

TEST_F(HostileClients, PartialFramesThenSilence) {
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  const QByteArray request = wire::requestFrame(texts::request::kGetMeanOfROI, {1});
  for (int cut : {1, 5, 8, 9, 12, 20, request.size() - 1}) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->connectWithRetry(port));
    clients.back()->send(roleMessage(texts::kRequestRole).left(cut));
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_EQ(connectAs(*clients.back(), port, texts::kRequestRole).size(), 39);
    clients.back()->send(request.left(cut));
  }
  QThread::msleep(3000);
  // A connection that finishes its frame late is still served correctly.
  LoopbackClient late;
  ASSERT_EQ(connectAs(late, port, texts::kRequestRole).size(), 39);
  late.send(request.left(10));
  QThread::msleep(300);
  late.send(request.mid(10));
  EXPECT_EQ(late.receiveFrame().size(), 8 + 4 + 14 + 4 + 4);
}

TEST_F(HostileClients, HugeLengthClosesTheConnectionNegativeLengthIsSkipped) {
  LoopbackClient huge;
  ASSERT_EQ(connectAs(huge, port, texts::kRequestRole).size(), 39);
  QByteArray announce;
  QDataStream(&announce, QIODevice::WriteOnly) << qint64(qint64(1) << 62);
  huge.send(announce + randomBytes(random, 1000));
  EXPECT_TRUE(huge.waitForClose(3000));

  LoopbackClient negative;
  ASSERT_EQ(connectAs(negative, port, texts::kRequestRole).size(), 39);
  QByteArray minusOne;
  QDataStream(&minusOne, QIODevice::WriteOnly) << qint64(-1);
  negative.send(minusOne);
  EXPECT_TRUE(negative.staysQuiet(300));
  // The connection is still in step: the next request is answered.
  negative.send(wire::requestFrame(texts::request::kGetNrOfROIs));
  EXPECT_EQ(negative.receiveFrame().size(), 8 + 4 + 13 + 4);

  // A role message announcing 2^62 bytes gets no further than its length.
  LoopbackClient hugeRole;
  ASSERT_TRUE(hugeRole.connectWithRetry(port));
  hugeRole.send(announce);
  EXPECT_TRUE(hugeRole.waitForClose(4000) || hugeRole.receive(27, 3000).size() == 27);
}

TEST_F(HostileClients, ClientsThatLeaveBeforeTheirReplyOrResetMidFrame) {
  for (int i = 0; i < 100; ++i) {
    LoopbackClient client;
    ASSERT_EQ(connectAs(client, port, texts::kRequestRole).size(), 39);
    client.send(wire::requestFrame(
        i % 2 ? texts::request::kGetValueOfAllVoxelsAtTime : texts::request::kGetPearsonCorrelation, {1}));
  }
  const QByteArray request = wire::requestFrame(texts::request::kGetMeanOfROI, {2});
  for (int i = 0; i < 100; ++i) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port));
    QByteArray bytes = roleMessage(i % 3 == 0 ? texts::kExecuteRole : texts::kRequestRole);
    if (i % 2)
      bytes = bytes.left(int(random() % bytes.size()));
    else
      bytes += request.left(int(random() % request.size()));
    ASSERT_TRUE(client.send(bytes));
    if (i % 4 == 0) QThread::msleep(20);
    client.reset();
  }
}

TEST_F(HostileClients, AThousandConnectDisconnectCycles) {
  for (int i = 0; i < 1000; ++i) {
    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port)) << i;
    if (i % 2)
      client.reset();
    else
      client.close();
  }
}

TEST_F(HostileClients, EveryRequestNameWithRandomArguments) {
  std::vector<const char*> names = load::requestNames();
  names.push_back("tGetNoSuchThing");
  names.push_back("");
  LoopbackClient client;
  ASSERT_EQ(connectAs(client, port, texts::kRequestRole).size(), 39);
  int replies = 0;
  for (const char* name : names) {
    for (int round = 0; round < 25; ++round) {
      QList<int> arguments;
      const int count = int(random() % 5);
      for (int a = 0; a < count; ++a) {
        // Mostly small values, which pass the range checks, and the extremes.
        const int pick = int(random() % 6);
        arguments << (pick == 0   ? int(random())
                      : pick == 1 ? -int(random() % 4)
                      : pick == 2 ? INT32_MIN
                                  : int(random() % 8));
      }
      ASSERT_TRUE(client.send(wire::requestFrame(name, arguments)));
      if (*name == '\0') continue;  // no name: nothing is answered
      const QByteArray reply = client.receiveFrame(5000);
      ASSERT_FALSE(reply.isEmpty()) << name;
      wire::ReplyReader in(reply);
      const QByteArray first = in.text();
      ASSERT_TRUE(in.ok()) << name;
      EXPECT_TRUE(first == name || first == texts::kWrongRequest) << name << ": " << first.constData();
      ++replies;
    }
  }
  std::printf("%d requests with random arguments answered\n", replies);
}

}  // namespace
