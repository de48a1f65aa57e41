// BenchHost: the Nimbrel stand-in the benchmark program is for the plug-in.
//
// The benchmark executable links the host shim (tests/support/HostShim.cpp)
// and exports the 45 host functions under their plain names, so the plug-in
// linked into it binds them by name as it binds Nimbrel's.  Here the shim runs
// without a lock and keeps nothing the plug-in tells the user, so its
// functions are as cheap as a host can be (plain reads of prepared data) and
// what the benchmarks measure is the plug-in and not its host.
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
#include <cstdint>
#include <vector>

#include "tests/support/HostShim.h"

class BenchHost {
 public:
  // The shim's table; `integerInput` is the port the dialog answers.
  static HostValues& state();

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
