#include <gtest/gtest.h>

#include <cmath>

#include "simulator/Protocol.h"

TEST(CanonicalHrf, PeaksNearFiveSecondsAndUndershootsLater) {
  double peakTime = 0.0, peak = -1.0, minimum = 0.0, minimumTime = 0.0;
  for (double s = 0.0; s <= 32.0; s += 0.05) {
    const double h = canonicalHrf(s);
    if (h > peak) peak = h, peakTime = s;
    if (h < minimum) minimum = h, minimumTime = s;
  }
  EXPECT_NEAR(peakTime, 5.0, 0.5);
  EXPECT_LT(minimum, 0.0);
  EXPECT_NEAR(minimumTime, 15.5, 1.5);
  EXPECT_EQ(canonicalHrf(0.0), 0.0);
  EXPECT_EQ(canonicalHrf(-1.0), 0.0);
}

TEST(Protocol, AlternatesRestAndTaskBlocksThroughTheConditions) {
  Protocol protocol(2, 3, 24, 2.0);
  const int expected[24] = {0, 0, 0, 1, 1, 1, 0, 0, 0, 2, 2, 2, 0, 0, 0, 1, 1, 1, 0, 0, 0, 2, 2, 2};
  for (int t = 0; t < 24; ++t) EXPECT_EQ(protocol.conditionAt(t), expected[t]) << "volume " << t;
  EXPECT_EQ(protocol.conditionAt(-1), 0);
  EXPECT_EQ(protocol.conditionAt(24), 0);
  EXPECT_EQ(protocol.predictors(), 4);
}

TEST(Protocol, DesignIsTheConvolvedBoxcarPlusDriftAndConstant) {
  constexpr double kTr = 1.0;
  Protocol protocol(1, 20, 80, kTr);
  // Independent convolution of the boxcar with the response sampled at the TR.
  double norm = 0.0;
  for (double s = 0.0; s < 32.0; s += kTr) norm += canonicalHrf(s);
  for (int t = 0; t < 80; ++t) {
    double v = 0.0;
    for (int k = 0; k <= t && k < 32; ++k)
      if ((t - k) / 20 % 2 == 1) v += canonicalHrf(k * kTr);
    EXPECT_NEAR(protocol.design(0, t), v / norm, 1e-12) << "volume " << t;
    EXPECT_NEAR(protocol.design(1, t), -1.0 + 2.0 * t / 79.0, 1e-12);
    EXPECT_EQ(protocol.design(2, t), 1.0);
  }
  // A block longer than the response settles at 1, so a beta is the block's
  // signal change; a 20 s block is still a little above it (no undershoot yet).
  EXPECT_NEAR(protocol.design(0, 39), 1.0, 0.05);
  Protocol sustained(1, 40, 80, kTr);
  EXPECT_NEAR(sustained.design(0, 79), 1.0, 1e-12);
  EXPECT_NEAR(protocol.design(0, 19), 0.0, 1e-12);
  EXPECT_EQ(protocol.design(3, 0), 0.0);
  EXPECT_EQ(protocol.design(0, 80), 0.0);
}

TEST(Protocol, WithoutTasksHasOnlyTheConfounds) {
  Protocol protocol(0, 10, 5, 2.0);
  EXPECT_EQ(protocol.predictors(), Protocol::kConfoundPredictors);
  for (int t = 0; t < 5; ++t) EXPECT_EQ(protocol.conditionAt(t), 0);
}
