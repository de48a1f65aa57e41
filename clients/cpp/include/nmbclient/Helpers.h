// Helpers for the values the plug-in sends as flat runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nmb {

// A square matrix stored row-major.
struct SquareMatrix {
  std::size_t size = 0;
  std::vector<float> values;
  float at(std::size_t row, std::size_t column) const { return values[row * size + column]; }
};

// The number of ROIs R whose pair list has `pairCount` = R(R-1)/2 entries;
// throws std::invalid_argument if no R fits.
std::size_t roiCountOfPairs(std::size_t pairCount);

// Turns a correlation pair list, in the order (0,1), (0,2), ..., (R-2,R-1),
// into the symmetric R x R matrix with `diagonal` on its diagonal.  An empty
// list has no R (it could be 0 or 1 ROIs) and is refused like any other
// count that is not R(R-1)/2.
SquareMatrix pairMatrix(const std::vector<float>& pairs, float diagonal = 1.0f);

// The index of voxel (x, y, z) in a volume of the given dimensions, assuming
// x varies fastest, then y, then z (the host's voxel order).
inline std::int64_t voxelIndex(std::int32_t x, std::int32_t y, std::int32_t z, std::int32_t dimX,
                               std::int32_t dimY) {
  return (std::int64_t{z} * dimY + y) * dimX + x;
}

}  // namespace nmb
