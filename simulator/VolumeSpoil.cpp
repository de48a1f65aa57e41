#include "simulator/VolumeSpoil.h"

#include <algorithm>
#include <cmath>

void VolumeSpoil::apply(const Dims& dims, short* samples) const {
  const int voxels = dims.voxels();
  if (shiftVoxels != 0 && dims.x > 0) {
    // Right-rotating each row of x by k is what the wrap-round move is.
    const int k = ((shiftVoxels % dims.x) + dims.x) % dims.x;
    for (int row = 0; row < voxels; row += dims.x)
      std::rotate(samples + row, samples + row + dims.x - k, samples + row + dims.x);
  }
  if (spikePercent != 0.0) {
    const double factor = 1.0 + spikePercent / 100.0;
    for (int i = 0; i < voxels; ++i)
      samples[i] = static_cast<short>(std::clamp(std::lround(samples[i] * factor), -32768L, 32767L));
  }
}
