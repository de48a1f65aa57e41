// Counts derived from host-reported sizes.  The host's numbers are taken as
// they come, but their products are formed in 64 bits: a product that does
// not fit a signed 32-bit int, or that has a factor of 0 or less, is reported
// as 0, which callers treat like any count of 0 or less, as an empty run of
// values.
#pragma once

#include <QtGlobal>
#include <limits>

#include "plugin/HostFunctions.h"

namespace hostcounts {

inline qint64 product(qint64 a, qint64 b) {
  // A negative size means no values; two of them must not multiply into a
  // positive count that would read past the host's arrays.
  if (a <= 0 || b <= 0) return 0;
  const qint64 p = a * b;  // both factors are 32-bit, so this cannot overflow
  if (p > std::numeric_limits<qint32>::max() || p < std::numeric_limits<qint32>::min()) return 0;
  return p;
}

struct Dims {
  int x = 0, y = 0, z = 0;
  // Voxels per volume.
  qint64 voxels() const { return product(product(x, y), z); }
  bool contains(int vx, int vy, int vz) const {
    return vx >= 0 && vx < x && vy >= 0 && vy < y && vz >= 0 && vz < z;
  }
};

// The dimensions as the host reports them now.  The caller has checked that
// the host exports tGetDimsOfFunctionalData.
inline Dims queryDims() {
  Dims dims;
  hostFunctions.tGetDimsOfFunctionalData(&dims.x, &dims.y, &dims.z);
  return dims;
}

// Pairs of `classes` classes, c * (c - 1) / 2, exact in 64 bits; 0 for c <= 0.
inline qint64 classPairs(int classes) {
  if (classes <= 0) return 0;
  return qint64(classes) * (classes - 1) / 2;
}

}  // namespace hostcounts
