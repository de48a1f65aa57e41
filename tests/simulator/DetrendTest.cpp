#include <gtest/gtest.h>

#include <vector>

#include "simulator/Detrend.h"

namespace {

// Straight line a + b t through the series by the normal equations on the raw
// time axis (the routine uses a centred one).
double expectedDetrended(const std::vector<double>& y) {
  const double n = static_cast<double>(y.size());
  double st = 0, stt = 0, sy = 0, sty = 0;
  for (size_t t = 0; t < y.size(); ++t) {
    st += t;
    stt += double(t) * t;
    sy += y[t];
    sty += t * y[t];
  }
  const double b = (n * sty - st * sy) / (n * stt - st * st);
  const double a = (sy - b * st) / n;
  return y.back() - (a + b * (n - 1)) + sy / n;
}

}  // namespace

TEST(DetrendedLastValue, RemovesTheLinearTrendAndKeepsTheLevel) {
  const std::vector<std::vector<double>> cases = {
      {3.0, 5.0},
      {10.0, 12.0, 11.0, 15.0, 14.0},
      {1000.0, 1001.5, 1003.0, 1010.0, 1004.5, 1006.0, 1007.5},
  };
  for (const auto& series : cases) {
    SCOPED_TRACE(series.size());
    EXPECT_NEAR(detrendedLastValue(series), expectedDetrended(series), 1e-9);
  }
}

TEST(DetrendedLastValue, PureDriftBecomesTheMean) {
  std::vector<double> series;
  for (int t = 0; t < 50; ++t) series.push_back(200.0 + 3.0 * t);
  EXPECT_NEAR(detrendedLastValue(series), 200.0 + 3.0 * 24.5, 1e-9);
}

TEST(DetrendedLastValue, ShortSeries) {
  EXPECT_EQ(detrendedLastValue({}), 0.0);
  EXPECT_EQ(detrendedLastValue({42.0}), 42.0);
}
