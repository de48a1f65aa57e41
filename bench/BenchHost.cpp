#include "bench/BenchHost.h"

namespace {

// The distinct volumes the time-course table points into.
std::vector<std::vector<short>>& distinctVolumes() {
  static std::vector<std::vector<short>> volumes;
  return volumes;
}

// A voxel value that differs between voxels and time points without costing
// more than a few instructions, so correlations see real, varying data.
float voxelValue(int x, int y, int z, int t) {
  std::uint32_t h = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^
                    std::uint32_t(z) * 83492791u ^ std::uint32_t(t) * 2654435761u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return 100.0f + float(h & 0xFFFF) / 655.36f;
}

}  // namespace

HostValues& BenchHost::state() { return HostShim::values(); }

void BenchHost::configureVolume(int dimX, int dimY, int dimZ, int expectedTimePoints, int distinct,
                                int predictors) {
  HostValues& s = HostShim::values();
  s.projectName = "Bench";
  s.voxelValue = voxelValue;
  s.mapValueOfVoxel = [](int map, int x, int y, int z) { return float(map) + float(x + y + z); };
  s.numberOfClasses = 2;
  s.classifierOutput = {0.5f};
  s.classifierResult = 1;
  s.dimX = dimX;
  s.dimY = dimY;
  s.dimZ = dimZ;
  s.expectedTimePoints = expectedTimePoints;
  const size_t voxels = size_t(dimX) * dimY * dimZ;
  std::vector<std::vector<short>>& volumes = distinctVolumes();
  volumes.assign(size_t(distinct), std::vector<short>(voxels));
  for (size_t v = 0; v < volumes.size(); ++v)
    for (size_t i = 0; i < voxels; ++i) volumes[v][i] = short((i * 7 + v * 131) & 0x7FFF);
  // A few time points more than expected, so a late request never reads past
  // the table.
  s.sharedTimeCourse.resize(size_t(expectedTimePoints) + 8);
  for (size_t t = 0; t < s.sharedTimeCourse.size(); ++t)
    s.sharedTimeCourse[t] = volumes[t % volumes.size()].data();
  s.currentPredictors = predictors;
  s.fullPredictors = predictors + 1;
  s.betaMaps.resize(voxels * size_t(predictors));
  for (size_t i = 0; i < s.betaMaps.size(); ++i) s.betaMaps[i] = 0.001 * double(i % 1000);
  s.contrasts = 1;
  s.contrastMaps.assign(voxels, 0.5f);
}

void BenchHost::configureRois(int rois, int voxelsPerRoi) {
  HostValues& s = HostShim::values();
  s.rois.assign(size_t(rois), {});
  int next = 0;
  for (int r = 0; r < rois; ++r) {
    HostRoi& roi = s.rois[size_t(r)];
    roi.mean = 100.0f + float(r);
    roi.detrendedValue = roi.mean - 100.0f;
    for (int b = 0; b < s.currentPredictors; ++b) roi.betas.push_back(float(r) + 0.1f * float(b));
    for (int v = 0; v < voxelsPerRoi; ++v, ++next) {
      const int x = next % s.dimX, y = (next / s.dimX) % s.dimY, z = (next / (s.dimX * s.dimY)) % s.dimZ;
      roi.voxels.push_back({x, y, z});
    }
  }
}

void BenchHost::setCounting(bool on) { HostShim::setCounting(on); }
void BenchHost::resetCounts() { HostShim::resetCounts(); }
std::uint64_t BenchHost::totalCalls() { return HostShim::totalCalls(); }

std::array<std::uint64_t, 45> BenchHost::callsByFunction() {
  std::array<std::uint64_t, 45> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = HostShim::calls(int(i));
  return out;
}
