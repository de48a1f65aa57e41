// A run at a 30 ms TR while clients keep connecting and leaving without ever
// taking a role (and some as execute clients).  Every such connection ends up
// with the execute channels and is released on the host's thread at a
// notification; releasing them must not hold that thread, so the run keeps
// its pace.
#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "protocol/ProtocolTexts.h"
#include "tests/reliability/ServiceLoad.h"
#include "tests/support/ServiceHarness.h"

namespace {

constexpr int kVolumes = 150;
constexpr int kTrMs = 30;

// Connects, maybe sends something, stays for up to `stayMs`, leaves.
void churn(quint16 port, unsigned seed, const std::atomic<bool>& stop, std::atomic<long>& cycles) {
  std::mt19937 random(seed);
  const QByteArray executeRole = roleMessage(texts::kExecuteRole);
  while (!stop) {
    LoopbackClient client;
    if (client.connectTo(port)) {
      const unsigned kind = random() % 4;
      if (kind == 0) client.send(executeRole);
      if (kind == 1) client.send(executeRole.left(6));
      QThread::msleep(random() % 120);
      if (kind == 2) client.reset();
      ++cycles;
    }
    client.close();
  }
}

TEST(RunUnderChurn, RoleLessClientsComingAndGoingDoNotSlowTheRun) {
  quint16 port = 0;
  auto plugin = startServedPlugin(port);
  ASSERT_NE(plugin, nullptr);
  load::installRois(3);
  load::NotificationCounter counter(port);
  ASSERT_TRUE(eventually([&] { return counter.connected(); }));
  ASSERT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }));
  load::RoiMeanClient good(port, 3);
  const int baselineThreads = load::threadCount();

  std::atomic<bool> stop{false};
  std::atomic<long> cycles{0};
  std::vector<std::thread> churners;
  for (unsigned i = 0; i < 4; ++i)
    churners.emplace_back(churn, port, 100 + i, std::cref(stop), std::ref(cycles));
  // Let the churn build up before the run starts.
  QThread::msleep(300);

  load::HostStepper stepper(*plugin, kVolumes, kTrMs);
  const long runMs = stepper.finish();
  stop = true;
  for (std::thread& t : churners) t.join();

  const long nominalMs = kVolumes * kTrMs;
  std::printf("run %ld ms (nominal %ld), longest step %ld ms, %ld churn connections\n", runMs, nominalMs,
              stepper.longestStepMs(), cycles.load());
  EXPECT_LE(runMs, nominalMs * 3 / 2);
  EXPECT_TRUE(stepper.allReturnedTrue());
  EXPECT_GT(cycles.load(), 100);
  ASSERT_TRUE(eventually([&] { return counter.postRuns() == 1; }));
  EXPECT_EQ(counter.preSteps(), kVolumes);
  EXPECT_EQ(counter.postSteps(), kVolumes);
  EXPECT_EQ(counter.malformed(), 0);
  good.stop();
  EXPECT_EQ(good.failures(), 0);

  // The churned channels that were still open at the end are released at the
  // next notification; one more step clears them.
  QThread::msleep(2500);
  plugin->executePreStep();
  EXPECT_TRUE(eventually([&] { return load::threadCount() <= baselineThreads; }, 5000))
      << load::threadCount() << " threads, baseline " << baselineThreads;
  EXPECT_TRUE(eventually([&] { return ChannelListsProbe::executeChannelCount(*plugin) == 1; }, 1000))
      << ChannelListsProbe::executeChannelCount(*plugin);
  counter.stop();
}

}  // namespace
