#include "simulator/Roi.h"

namespace {

void addVoxel(Roi& roi, const Dims& dims, int x, int y, int z) {
  roi.voxels.push_back({x, y, z});
  roi.indices.push_back(dims.index(x, y, z));
}

std::string coordText(Coord c) {
  return "(" + std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + ")";
}

}  // namespace

Roi sphereRoi(const std::string& name, const Dims& dims, Coord centre, double radius) {
  Roi roi;
  roi.name = name;
  const double r2 = radius * radius;
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x) {
        const double dx = x - centre[0], dy = y - centre[1], dz = z - centre[2];
        if (dx * dx + dy * dy + dz * dz <= r2) addVoxel(roi, dims, x, y, z);
      }
  return roi;
}

bool boxRoi(const std::string& name, const Dims& dims, Coord a, Coord b, Roi& roi, std::string& error) {
  if (!dims.contains(a[0], a[1], a[2]) || !dims.contains(b[0], b[1], b[2])) {
    error = "ROI box " + coordText(a) + " to " + coordText(b) + " lies outside the volume of " +
            std::to_string(dims.x) + " x " + std::to_string(dims.y) + " x " + std::to_string(dims.z) +
            " voxels (coordinates run from 0 to size - 1)";
    return false;
  }
  if (a[0] > b[0] || a[1] > b[1] || a[2] > b[2]) {
    error = "ROI box " + coordText(a) + " to " + coordText(b) +
            " is empty: the first corner must not exceed the second";
    return false;
  }
  roi = Roi();
  roi.name = name;
  for (int z = a[2]; z <= b[2]; ++z)
    for (int y = a[1]; y <= b[1]; ++y)
      for (int x = a[0]; x <= b[0]; ++x) addVoxel(roi, dims, x, y, z);
  return true;
}

bool maskRoi(const std::string& name, const Dims& dims, const std::vector<float>& mask, Roi& roi,
             std::string& error) {
  if (static_cast<int>(mask.size()) != dims.voxels()) {
    error = "ROI mask " + name + " does not have the volume's " + std::to_string(dims.voxels()) + " voxels";
    return false;
  }
  roi = Roi();
  roi.name = name;
  for (int z = 0; z < dims.z; ++z)
    for (int y = 0; y < dims.y; ++y)
      for (int x = 0; x < dims.x; ++x)
        if (mask[static_cast<size_t>(dims.index(x, y, z))] != 0.0f) addVoxel(roi, dims, x, y, z);
  if (roi.voxels.empty()) {
    error = "ROI mask " + name + " selects no voxel (no non-zero value)";
    return false;
  }
  return true;
}
