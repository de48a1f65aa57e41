#include "simulator/SyntheticScan.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kBrainIntensity = 1000.0;
constexpr double kBackgroundIntensity = 30.0;

}  // namespace

SyntheticScan::SyntheticScan(const SyntheticScanSettings& settings, const std::vector<Roi>& rois,
                             const Protocol& protocol)
    : settings_(settings), protocol_(protocol) {
  const Dims& d = settings_.dims;
  baseline_.assign(static_cast<size_t>(d.voxels()), kBackgroundIntensity);
  condition_.assign(static_cast<size_t>(d.voxels()), 0);
  shared_.assign(static_cast<size_t>(d.voxels()), false);
  for (int z = 0; z < d.z; ++z)
    for (int y = 0; y < d.y; ++y)
      for (int x = 0; x < d.x; ++x) {
        const double u = (x + 0.5) / d.x - 0.5, v = (y + 0.5) / d.y - 0.5, w = (z + 0.5) / d.z - 0.5;
        const double r = (u * u + v * v) / (0.45 * 0.45) + w * w / (0.48 * 0.48);
        if (r <= 1.0)
          baseline_[static_cast<size_t>(d.index(x, y, z))] =
              kBrainIntensity * (0.85 + 0.15 * std::cos(3.0 * kPi * u) * std::cos(2.0 * kPi * v));
      }
  const int conditions = protocol_.conditions();
  const int count = static_cast<int>(rois.size());
  for (int k = 0; k < count; ++k) {
    const bool control = count > 1 && k == count - 1;
    if (control || conditions == 0) continue;
    for (int i : rois[static_cast<size_t>(k)].indices) {
      condition_[static_cast<size_t>(i)] = k % conditions + 1;
      shared_[static_cast<size_t>(i)] = true;
    }
  }
}

void SyntheticScan::volume(int run, int index, short* out) const {
  const int n = settings_.dims.voxels();
  std::mt19937_64 generator(settings_.seed * 0x9E3779B97F4A7C15ULL +
                            static_cast<std::uint64_t>(run) * 1000003ULL + static_cast<std::uint64_t>(index));
  std::normal_distribution<double> noise(0.0, settings_.noise > 0.0 ? settings_.noise : 1.0);
  const double span = settings_.volumes > 1 ? settings_.volumes - 1 : 1;
  const double drift =
      settings_.driftPercent / 100.0 * (index / span) + 0.002 * std::sin(2.0 * kPi * index / 100.0);
  const double phase = static_cast<double>(settings_.seed % 97);
  // Two slow sines, scaled so that their sum stays within -1 and 1.
  const double fluctuation =
      (std::sin(2.0 * kPi * index / 17.0 + phase) + 0.5 * std::sin(2.0 * kPi * index / 7.3 + 2.0 * phase)) /
      1.5;
  const double shared = settings_.sharedPercent / 100.0 * fluctuation;
  std::vector<double> task(static_cast<size_t>(protocol_.conditions()) + 1, 0.0);
  for (int c = 1; c <= protocol_.conditions(); ++c)
    task[static_cast<size_t>(c)] = settings_.activationPercent / 100.0 * protocol_.design(c - 1, index);
  for (int i = 0; i < n; ++i) {
    const size_t s = static_cast<size_t>(i);
    double value =
        baseline_[s] * (1.0 + drift + task[static_cast<size_t>(condition_[s])] + (shared_[s] ? shared : 0.0));
    if (settings_.noise > 0.0) value += noise(generator);
    out[i] = static_cast<short>(std::clamp(std::lround(value), 0L, 32767L));
  }
}

std::string SyntheticScan::description() const {
  const Dims& d = settings_.dims;
  return "synthetic scan: " + std::to_string(d.x) + " x " + std::to_string(d.y) + " x " +
         std::to_string(d.z) + " voxels, seed " + std::to_string(settings_.seed);
}

std::vector<Roi> SyntheticScan::defaultRois(const Dims& dims, int count) {
  std::vector<Roi> rois;
  if (count <= 0) return rois;
  const double radius =
      std::max(0.0, std::min({4.0, dims.x / (2.0 * (count + 1)) - 0.5, dims.y / 4.0, dims.z / 4.0}));
  for (int k = 0; k < count; ++k) {
    const Coord centre{(k + 1) * dims.x / (count + 1), dims.y / 2, dims.z / 2};
    rois.push_back(sphereRoi("ROI " + std::to_string(k + 1), dims, centre, radius));
  }
  return rois;
}
