// The statistics every figure rests on, and the figure ratios.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "bench/Report.h"

TEST(Summarize, MedianOfOddAndEvenCountsIsTheMiddle) {
  EXPECT_DOUBLE_EQ(summarize({5, 1, 3}).median, 3);
  EXPECT_DOUBLE_EQ(summarize({4, 1, 3, 2}).median, 2.5);
  EXPECT_DOUBLE_EQ(summarize({7}).median, 7);
}

TEST(Summarize, P99IsTheNearestRank) {
  // 1..100: the 99th value; 1..1000: the 990th; with fewer than 100 samples
  // the largest.
  std::vector<double> hundred(100), thousand(1000), ten(10);
  std::iota(hundred.begin(), hundred.end(), 1.0);
  std::iota(thousand.begin(), thousand.end(), 1.0);
  std::iota(ten.begin(), ten.end(), 1.0);
  std::shuffle(thousand.begin(), thousand.end(), std::mt19937(7));
  EXPECT_DOUBLE_EQ(summarize(hundred).p99, 99);
  EXPECT_DOUBLE_EQ(summarize(thousand).p99, 990);
  EXPECT_DOUBLE_EQ(summarize(ten).p99, 10);
}

TEST(Summarize, EmptySamplesGiveZeroes) {
  const Summary s = summarize({});
  EXPECT_EQ(s.samples, 0u);
  EXPECT_EQ(s.median, 0);
  EXPECT_EQ(s.p99, 0);
}

TEST(Figure, RatiosAreToTheBaselineAndZeroWithoutOne) {
  Figure f;
  f.plugin = summarize({10, 20, 30});
  f.baseline = summarize({5, 10, 20});
  EXPECT_DOUBLE_EQ(f.ratioMedian(), 2.0);
  EXPECT_DOUBLE_EQ(f.ratioP99(), 1.5);
  f.baseline = Summary();
  EXPECT_EQ(f.ratioMedian(), 0);
}

TEST(Report, FiguresKeepTheirPlaceWhileMoreAreAdded) {
  Report report;
  Figure& first = report.add("g", "first", "us", "base");
  for (int i = 0; i < 1000; ++i) report.add("g", "more", "us", "base");
  first.plugin = single(3);
  EXPECT_EQ(report.figures().front().name, "first");
  EXPECT_DOUBLE_EQ(report.figures().front().plugin.median, 3);
}
