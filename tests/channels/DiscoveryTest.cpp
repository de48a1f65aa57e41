// The discovery broadcast as a listener on the local machine sees it.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "tests/support/BroadcastListener.h"
#include "tests/support/FakeHost.h"
#include "tests/support/ServiceHarness.h"

TEST(Discovery, TheListeningServiceAnnouncesItsPortAboutOnceASecondUntilStopped) {
  BroadcastListener listener;
  ASSERT_TRUE(listener.isBound());
  FakeHost::reset();
  FakeHost::state().integerInput = 1234;
  auto plugin = std::make_unique<TcpIpExport>();
  ASSERT_TRUE(plugin->initPlugin());
  const QByteArray expected = "Nimbrel Broadcast: 1234";
  EXPECT_TRUE(listener.collect(expected, 1300).isEmpty()) << "nothing is announced before the pre-run";

  QElapsedTimer sinceStart;
  sinceStart.start();
  ASSERT_TRUE(plugin->executePreRun(0));
  const QVector<qint64> arrivals = listener.collect(expected, 3600);
  ASSERT_GE(arrivals.size(), 2);
  ASSERT_LE(arrivals.size(), 4);
  for (int i = 1; i < arrivals.size(); ++i) {
    EXPECT_GE(arrivals[i] - arrivals[i - 1], 1000 - 5) << "datagram " << i;
    EXPECT_LE(arrivals[i] - arrivals[i - 1], 1600) << "datagram " << i;
  }

  plugin.reset();
  EXPECT_TRUE(listener.collect(expected, 1500).isEmpty()) << "a stopped service announces nothing";
}
