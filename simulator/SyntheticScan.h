// A deterministic synthetic scan: an ellipsoid head phantom with a smooth
// baseline, Gaussian noise, slow scanner drift and task activation in some ROIs.
//
// The signal of voxel i at volume t of run r is
//   baseline_i * (1 + drift(t) + activation/100 * design(c_i, t)
//                 + responding_i * shared/100 * fluctuation(t)) + noise(seed, r, t, i)
// rounded to a 16-bit sample, where c_i is the task condition the voxel
// responds to (none: no activation) and fluctuation(t) is a slow mix of two
// sines within -1 and 1.  ROI k < R-1 (or the only ROI) responds to task
// condition k mod K + 1; the last of several ROIs is a control region without
// activation.  The responding ROIs also share the fluctuation, so their time
// courses correlate beyond the task; by default it is a sixth of the task
// effect, so that the block design stands out in every responding ROI.  The
// same seed gives the same scan.
#pragma once

#include <cstdint>
#include <vector>

#include "simulator/Protocol.h"
#include "simulator/Roi.h"
#include "simulator/ScanSource.h"

struct SyntheticScanSettings {
  Dims dims{64, 64, 30};
  int volumes = 200;
  std::uint64_t seed = 1;
  double noise = 10.0;             // standard deviation of the noise, in sample units
  double activationPercent = 3.0;  // task effect relative to the baseline
  double sharedPercent = 0.5;      // peak of the responding ROIs' shared fluctuation
  double driftPercent = 1.0;       // linear drift over the run
};

class SyntheticScan : public ScanSource {
 public:
  // `rois` are the regions whose voxels carry activation (see above);
  // `protocol` supplies the convolved task regressors.
  SyntheticScan(const SyntheticScanSettings& settings, const std::vector<Roi>& rois,
                const Protocol& protocol);

  Dims dims() const override { return settings_.dims; }
  int volumes() const override { return settings_.volumes; }
  double trMilliseconds() const override { return 0.0; }
  void volume(int run, int index, short* out) const override;
  std::string description() const override;

  // Baseline intensity of voxel i (before drift and noise).
  double baseline(int voxel) const { return baseline_[static_cast<size_t>(voxel)]; }
  // The task condition voxel i responds to, 0 for none.
  int respondsTo(int voxel) const { return condition_[static_cast<size_t>(voxel)]; }

  // The ROIs the synthetic scan places by default: `count` spheres spread
  // along x through the middle of the volume, each inside the volume.
  static std::vector<Roi> defaultRois(const Dims& dims, int count);

 private:
  SyntheticScanSettings settings_;
  const Protocol& protocol_;
  std::vector<double> baseline_;
  std::vector<int> condition_;
  std::vector<bool> shared_;
};
