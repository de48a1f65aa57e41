// Regions of interest: named voxel lists inside one volume.
//
// Built once from the options before the first run and read-only afterwards,
// so any thread may read them.  Every voxel of an ROI lies inside the volume;
// the builders refuse anything else with a message for the user.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "simulator/Volume.h"

struct Roi {
  std::string name;
  std::vector<Coord> voxels;  // in the order tGetCoordsOfVoxelOfROI reports them
  std::vector<int> indices;   // the same voxels as linear volume indices
};

// A ball of voxels whose centres lie within `radius` of `centre`, clipped to
// nothing: the caller places it inside the volume.
Roi sphereRoi(const std::string& name, const Dims& dims, Coord centre, double radius);

// The box of voxels from corner `a` to corner `b`, both inclusive.  Returns
// false with `error` set when a corner lies outside the volume or a > b.
bool boxRoi(const std::string& name, const Dims& dims, Coord a, Coord b, Roi& roi, std::string& error);

// The voxels whose value in `mask` (one value per voxel, volume order) is
// non-zero.  False with `error` when the mask has no such voxel.
bool maskRoi(const std::string& name, const Dims& dims, const std::vector<float>& mask, Roi& roi,
             std::string& error);
