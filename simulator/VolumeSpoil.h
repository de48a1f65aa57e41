// VolumeSpoil: what a spoiled volume goes through before the host shows it
// (the spike and shift faults of --faults).
//
//   spike: every sample v becomes round(v * (1 + percent / 100)), clamped to
//          the 16-bit range: the volume's global mean jumps by that percent.
//   shift: the volume moves by `shiftVoxels` along x, wrapping round: the
//          sample at x comes from x - shiftVoxels (modulo the volume's width),
//          as numpy.roll(volume, shiftVoxels, axis=x) does.  Every value is
//          kept, so the global mean stays and only the change from the
//          neighbouring volumes shows it.
//
// A spike applies after a shift when a volume has both.
#pragma once

#include "simulator/Volume.h"

struct VolumeSpoil {
  double spikePercent = 0.0;  // 0: no spike
  int shiftVoxels = 0;        // 0: no shift

  bool any() const { return spikePercent != 0.0 || shiftVoxels != 0; }
  // Spoils the volume of `dims` at `samples` in place.
  void apply(const Dims& dims, short* samples) const;
};
