// Where the simulated scanner's volumes come from: a synthetic phantom or a
// replayed NIfTI file.
//
// A source is built before the first run and only read afterwards.  volume()
// is called on the run driver's thread, once per arriving volume.
#pragma once

#include <string>

#include "simulator/Volume.h"

class ScanSource {
 public:
  virtual ~ScanSource() = default;

  virtual Dims dims() const = 0;
  // Volumes the source can deliver per run.
  virtual int volumes() const = 0;
  // The repetition time the source itself knows (a NIfTI header), 0 if none.
  virtual double trMilliseconds() const = 0;
  // Writes volume `index` (0 <= index < volumes()) of run `run` into `out`,
  // dims().voxels() samples in volume order.
  virtual void volume(int run, int index, short* out) const = 0;
  // One line for the user about what is being scanned.
  virtual std::string description() const = 0;
};
