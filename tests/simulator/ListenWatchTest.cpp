#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator/ListenWatch.h"

namespace {

const char kAddresses[] = "<br><b>Info</b> - Listening on: <br>127.0.0.1 Port: <b>55555</b><br>";
const char kPreRunLine[] = "<br><b>Info</b> - Listening on port: <b>55555</b><br>";
const char kFailure[] =
    "<b>Error</b> - Cannot listen on port <b>55555</b>: The bound address is already in use. Clients cannot "
    "connect; the plug-in keeps trying every second.";

using Seen = ListenWatch::Seen;
using Outcome = ListenWatch::Outcome;

}  // namespace

TEST(ListenWatch, ThePreRunsClaimIsShownOnlyOnceTheListenerIsSeen) {
  ListenWatch watch;
  watch.expectPort(55555);
  EXPECT_EQ(watch.observe(kAddresses, true), Seen::Claim);
  std::vector<std::string> claims;
  EXPECT_EQ(watch.settle([] { return true; }, 1000, claims), Outcome::Listening);
  EXPECT_EQ(claims, std::vector<std::string>{kAddresses});
  EXPECT_EQ(watch.observe(kPreRunLine, true), Seen::Other) << "confirmed: later claims pass";

  watch.expectPort(55555);
  EXPECT_EQ(watch.observe(kPreRunLine, true), Seen::Other) << "the next run's pre-run, same port";
  watch.expectPort(40000);
  EXPECT_EQ(watch.observe(kPreRunLine, true), Seen::Claim) << "another port is another listener";
  EXPECT_EQ(watch.settle([] { return false; }, 20, claims), Outcome::Unknown);
  EXPECT_EQ(claims.size(), 1u) << "an undecided listen still shows the claim";
  EXPECT_EQ(watch.observe(kPreRunLine, true), Seen::Other);
  EXPECT_FALSE(watch.neverListened());
}

TEST(ListenWatch, AFailureDropsTheClaimWhicheverComesFirst) {
  ListenWatch before, after;
  std::vector<std::string> claims{"stale"};
  EXPECT_EQ(before.observe(kFailure, false), Seen::Failure);
  EXPECT_EQ(before.observe(kAddresses, true), Seen::Claim);
  EXPECT_EQ(before.settle([] { return false; }, 1000, claims), Outcome::Failing);
  EXPECT_TRUE(claims.empty());
  EXPECT_TRUE(before.neverListened());

  EXPECT_EQ(after.observe(kAddresses, true), Seen::Claim);
  EXPECT_EQ(after.observe(kFailure, false), Seen::Failure);
  EXPECT_EQ(after.settle([] { return true; }, 1000, claims), Outcome::Failing);
  EXPECT_TRUE(claims.empty()) << "the claim was made before the worker failed";
  EXPECT_EQ(after.observe(kPreRunLine, true), Seen::Claim) << "still failing: not shown";
  EXPECT_TRUE(after.failing());
  EXPECT_EQ(after.lastFailure(), kFailure);
}

TEST(ListenWatch, TheWorkersAnnouncementAfterAFailureIsARecovery) {
  ListenWatch watch;
  EXPECT_FALSE(watch.neverListened());
  watch.observe(kFailure, false);
  EXPECT_EQ(watch.observe(kPreRunLine, false), Seen::Recovery);
  EXPECT_FALSE(watch.failing());
  EXPECT_FALSE(watch.neverListened());
  EXPECT_EQ(watch.observe("<b>Error</b> - something else entirely", false), Seen::Other);
  EXPECT_EQ(watch.observe(kPreRunLine, false), Seen::Other) << "no failure to recover from";
  EXPECT_EQ(watch.observe(kPreRunLine, true), Seen::Other) << "it listens: the claim is true";
}
