// FakeHost: a Nimbrel stand-in for tests.
//
// A test executable that links this unit (and HostShim) exports the 45 host
// functions under their plain names (build it with EXPORTS in nmb_add_gtest),
// so the plug-in binds them exactly as it binds Nimbrel's.  Every function
// reads the shared state under FakeHost's mutex and counts its call; what the
// plug-in tells the user is kept.  Tests set the state up before the plug-in
// runs, or under FakeHost::lock() while it runs.
//
//   FakeHost::reset();
//   FakeHost::state().rois = {FakeRoi{{{0, 0, 0}}, 12.5f}};
//   TcpIpExport plugin;
//   ASSERT_TRUE(plugin.initPlugin());
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tests/support/HostShim.h"

using FakeRoi = HostRoi;
using FakeHostState = HostValues;

class FakeHost {
 public:
  // The state; unsynchronised access is for set-up while no plug-in thread runs.
  static FakeHostState& state();
  // Holds the state's mutex, for tests that change it while the plug-in runs.
  static std::unique_lock<std::mutex> lock();
  // Fresh default state, no calls counted.
  static void reset();
  // Total calls of all host functions.
  static int totalCalls();
  // Calls of one function.
  static int calls(const std::string& name);
  // A copy of the log lines, taken under the lock.
  static std::vector<std::string> logLines();
  // Fills the time-course table with `volumes` volumes of the current
  // dimensions; sample i of volume t is `first + 100 * t + i`.
  static void fillTimeCourse(int volumes, short first = 1);
};
