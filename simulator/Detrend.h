// Detrending of an ROI's time course as the simulated host reports it.
#pragma once

#include <vector>

// The last value of `series` with the least-squares straight line through the
// whole series removed and the series' mean added back, so that the value
// stays on the signal's own scale while slow drift is gone.  A series of one
// value is returned unchanged; an empty one gives 0.
double detrendedLastValue(const std::vector<double>& series);
