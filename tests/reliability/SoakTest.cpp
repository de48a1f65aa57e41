// A long run under steady load: 16 clients asking for ROI means all the time,
// 4 execute clients, and clients that keep connecting, asking and leaving.
// No reply may fail, no connected execute client may miss a notification, and
// the plug-in's memory stays flat.  The suite runs a short version;
// NMB_SOAK_VOLUMES (`./dev soak`) makes it as long as wanted.
#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/ProtocolTexts.h"
#include "tests/reliability/ServiceLoad.h"
#include "tests/support/ServiceHarness.h"

namespace {

constexpr int kRois = 6;
constexpr int kTrMs = 10;
constexpr int kRequesters = 16;
constexpr int kExecuteClients = 4;
constexpr int kReconnectors = 2;

int soakVolumes() {
  const char* value = std::getenv("NMB_SOAK_VOLUMES");
  const int volumes = value != nullptr ? std::atoi(value) : 0;
  return volumes > 0 ? volumes : 300;
}

// Connects as a request client, asks a few questions, leaves; again and again.
void reconnect(quint16 port, const std::atomic<bool>& stop, std::atomic<long>& sessions,
               std::atomic<long>& failures) {
  while (!stop) {
    LoopbackClient client;
    if (connectAs(client, port, texts::kRequestRole).size() != 39) {
      ++failures;
      return;
    }
    for (int i = 0; i < 20 && !stop; ++i) {
      client.send(wire::requestFrame(texts::request::kGetNrOfROIs));
      if (client.receiveFrame().size() != 8 + 4 + 13 + 4) ++failures;
    }
    ++sessions;
    client.close();
    QThread::msleep(300);
  }
}

TEST(Soak, LongRunUnderSteadyLoad) {
  const int volumes = soakVolumes();
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  load::installRois(kRois);
  const int idleThreads = load::threadCount();

  std::vector<std::unique_ptr<load::NotificationCounter>> listeners;
  for (int i = 0; i < kExecuteClients; ++i)
    listeners.push_back(std::make_unique<load::NotificationCounter>(port));
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == kExecuteClients; }));
  std::vector<std::unique_ptr<load::RoiMeanClient>> requesters;
  for (int i = 0; i < kRequesters; ++i)
    requesters.push_back(std::make_unique<load::RoiMeanClient>(port, kRois));
  std::atomic<bool> stop{false};
  std::atomic<long> sessions{0}, reconnectFailures{0};
  std::vector<std::thread> reconnectors;
  for (int i = 0; i < kReconnectors; ++i)
    reconnectors.emplace_back(reconnect, port, std::cref(stop), std::ref(sessions),
                              std::ref(reconnectFailures));

  load::HostStepper stepper(*plugin, volumes, kTrMs);
  // Memory after the start-up, once every client is served, and at the end.
  QThread::msleep(std::min(2000, volumes * kTrMs / 4));
  const long earlyKb = load::residentKb();
  const long runMs = stepper.finish();
  const long lateKb = load::residentKb();
  stop = true;
  for (std::thread& t : reconnectors) t.join();

  long replies = 0, failures = 0, worstLatency = 0;
  for (auto& r : requesters) {
    r->stop();
    replies += r->replies();
    failures += r->failures();
    worstLatency = std::max(worstLatency, r->maxLatencyMs());
  }
  for (auto& l : listeners) {
    ASSERT_TRUE(eventually([&] { return l->postRuns() == 1; }));
    l->stop();
    EXPECT_EQ(l->preSteps(), volumes);
    EXPECT_EQ(l->postSteps(), volumes);
    EXPECT_EQ(l->malformed(), 0);
  }
  std::printf(
      "%d volumes in %ld ms, %ld replies (worst %ld ms), %ld reconnect sessions, longest step %ld ms, "
      "RSS %ld -> %ld kB, threads idle %d\n",
      volumes, runMs, replies, worstLatency, sessions.load(), stepper.longestStepMs(), earlyKb, lateKb,
      idleThreads);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(reconnectFailures.load(), 0);
  EXPECT_GT(replies, volumes);
  EXPECT_GT(sessions.load(), 0);
  EXPECT_TRUE(stepper.allReturnedTrue());
  EXPECT_LE(stepper.longestStepMs(), 1500);
  // Flat: the run record is sized at the start; nothing grows per request.
  EXPECT_LE(lateKb - earlyKb, (load::kSanitizedBuild ? 512 : 16) * 1024);

  // Once the clients are gone the plug-in is back to its idle threads.
  plugin->executePreStep();
  EXPECT_TRUE(eventually([&] { return load::threadCount() <= idleThreads; }, 8000))
      << load::threadCount() << " threads, idle " << idleThreads;
}

}  // namespace
