#include <gtest/gtest.h>

#include "simulator/ListenWatch.h"

namespace {

const char kPreRunLine[] = "<br><b>Info</b> - Listening on port: <b>55555</b><br>";
const char kFailure[] =
    "<b>Error</b> - Cannot listen on port <b>55555</b>: The bound address is already in use. Clients cannot "
    "connect; the plug-in keeps trying every second.";

}  // namespace

TEST(ListenWatch, APreRunAnnouncementDoesNotHideAFailureWhicheverComesFirst) {
  ListenWatch before, after;
  EXPECT_EQ(before.observe(kFailure, false), ListenWatch::Seen::Failure);
  EXPECT_EQ(before.observe(kPreRunLine, true), ListenWatch::Seen::Other);
  EXPECT_TRUE(before.neverListened());

  EXPECT_EQ(after.observe(kPreRunLine, true), ListenWatch::Seen::Other);
  EXPECT_EQ(after.observe(kFailure, false), ListenWatch::Seen::Failure);
  EXPECT_TRUE(after.failing());
  EXPECT_EQ(after.lastFailure(), kFailure);
}

TEST(ListenWatch, TheWorkersAnnouncementAfterAFailureIsARecovery) {
  ListenWatch watch;
  EXPECT_FALSE(watch.neverListened());
  watch.observe(kFailure, false);
  EXPECT_EQ(watch.observe(kPreRunLine, false), ListenWatch::Seen::Recovery);
  EXPECT_FALSE(watch.failing());
  EXPECT_FALSE(watch.neverListened());
  EXPECT_EQ(watch.observe("<b>Error</b> - something else entirely", false), ListenWatch::Seen::Other);
  EXPECT_EQ(watch.observe(kPreRunLine, false), ListenWatch::Seen::Other) << "no failure to recover from";
}
