#include "analytics/RoiMean.h"

#include <cmath>
#include <cstddef>

#include "plugin/HostFunctions.h"

float roiMeanFromVoxels(int roi, int timePoint) {
  if (timePoint < 0) return std::nanf("");
  const int count = hostFunctions.tGetNrOfVoxelsOfROI(roi);
  float sum = 0.0f;
  for (int i = 0; i < count; ++i) {
    int x = 0, y = 0, z = 0;
    if (hostFunctions.tGetCoordsOfVoxelOfROI(roi, i, &x, &y, &z))
      sum += hostFunctions.tGetValueOfVoxelAtTime(x, y, z, timePoint);
  }
  return sum / float(count);
}

std::vector<double> collectRoiWindows(int rois, int windowEnd, int windowSize) {
  std::vector<double> window;
  if (rois <= 0 || windowSize <= 0) return window;
  window.reserve(size_t(rois) * size_t(windowSize));
  for (int r = 0; r < rois; ++r)
    for (int t = windowEnd - windowSize; t < windowEnd; ++t)
      window.push_back(double(roiMeanFromVoxels(r, t)));
  return window;
}
