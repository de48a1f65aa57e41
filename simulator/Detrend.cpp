#include "simulator/Detrend.h"

#include <cstddef>

double detrendedLastValue(const std::vector<double>& series) {
  const size_t n = series.size();
  if (n == 0) return 0.0;
  if (n == 1) return series[0];
  // Centred time axis: slope and mean separate, and the sums stay small.
  const double centre = (n - 1) / 2.0;
  double mean = 0.0;
  for (double v : series) mean += v;
  mean /= static_cast<double>(n);
  double stt = 0.0, sty = 0.0;
  for (size_t t = 0; t < n; ++t) {
    const double dt = static_cast<double>(t) - centre;
    stt += dt * dt;
    sty += dt * (series[t] - mean);
  }
  const double slope = sty / stt;
  const double last = static_cast<double>(n - 1) - centre;
  return series[n - 1] - slope * last;
}
