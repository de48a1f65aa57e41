// BenchHost: the Nimbrel stand-in the benchmark program is for the plug-in.
//
// The benchmark executable exports the 45 host functions under their plain
// names, so the plug-in linked into it binds them by name as it binds
// Nimbrel's.  The functions are as cheap as a host can be (plain reads of
// prepared data, no lock, no lookup by name), so that what the benchmarks
// measure is the plug-in and not its host.
//
// The state is set up on the benchmark's main thread while no request is in
// flight; during a measurement only the time point changes (atomically).  Call
// counting is off by default and costs one relaxed load per call then.
//
//   BenchHost::configureVolume(64, 64, 30, 100);
//   BenchHost::configureRois(8, 20);
//   BenchHost::setCounting(true);  ... BenchHost::setCounting(false);
//   std::uint64_t calls = BenchHost::totalCalls();
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

struct BenchHostState {
  int dimX = 2, dimY = 2, dimZ = 1;
  int expectedTimePoints = 10;
  std::atomic<int> currentTimePoint{0};
  // What the port dialog answers.
  int port = 0;

  // The time-course table: per time point a pointer to one volume.  A few
  // distinct volumes are shared by all time points.
  std::vector<std::vector<short>> volumes;
  std::vector<short*> timeCourse;
  std::vector<double> betaMaps;
  std::vector<float> contrastMaps;
  int currentPredictors = 0;
  int contrasts = 0;

  std::vector<std::vector<std::array<int, 3>>> roiVoxels;
  std::vector<float> roiMeans;
};

class BenchHost {
 public:
  static BenchHostState& state();

  // Dimensions, a run of `expectedTimePoints` volumes (sharing `distinct`
  // distinct volumes), `predictors` beta maps and one contrast map.
  static void configureVolume(int dimX, int dimY, int dimZ, int expectedTimePoints, int distinct = 4,
                              int predictors = 4);
  // `rois` ROIs of `voxelsPerRoi` voxels each, at distinct locations of the
  // current volume.
  static void configureRois(int rois, int voxelsPerRoi);

  static void setCounting(bool on);
  static void resetCounts();
  static std::uint64_t totalCalls();
  // Calls per host function, in binding order.
  static std::array<std::uint64_t, 45> callsByFunction();
};
