// Volume geometry shared by every part of the simulator.
//
// Voxels are stored in NIfTI order: x runs fastest, then y, then z, so voxel
// (x, y, z) of a volume lies at index x + dimX * (y + dimY * z).  That is the
// order of the time-course table, the beta maps and the contrast maps.
#pragma once

#include <array>

struct Dims {
  int x = 0, y = 0, z = 0;

  int voxels() const { return x * y * z; }
  bool contains(int cx, int cy, int cz) const {
    return cx >= 0 && cy >= 0 && cz >= 0 && cx < x && cy < y && cz < z;
  }
  int index(int cx, int cy, int cz) const { return cx + x * (cy + y * cz); }
};

using Coord = std::array<int, 3>;
