// FakeHost: a Nimbrel stand-in for tests.
//
// A test executable that links this unit exports the 45 host functions under
// their plain names (build it with EXPORTS in nmb_add_gtest), so the plug-in
// binds them exactly as it binds Nimbrel's.  Every function reads the shared
// FakeHostState under its mutex and counts its calls; tests set the state up
// before the plug-in runs, or under FakeHost::lock() while it runs.
//
//   FakeHost::reset();
//   FakeHost::state().rois = {FakeRoi{{{0, 0, 0}}, 12.5f}};
//   TcpIpExport plugin;
//   ASSERT_TRUE(plugin.initPlugin());
#pragma once

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct FakeRoi {
  std::vector<std::array<int, 3>> voxels;
  float mean = 0.0f;
  float detrendedValue = 0.0f;
  std::vector<float> betas;
  // Voxels whose coordinates the host refuses (tGetCoordsOfVoxelOfROI false).
  std::vector<bool> refused;
};

struct IntegerPrompt {
  std::string prompt;
  int defaultValue, minValue, maxValue;
};

struct FakeHostState {
  int versionMajor = 3, versionMinor = 1, versionSubversion = 0;
  std::string programFolder = "/opt/nimbrel";
  std::string pluginsFolder = "/opt/nimbrel/plugins";
  std::string projectName = "Demo";
  std::string watchFolder = "/data/watch";
  std::string targetFolder = "/data/target";
  std::string feedbackFolder = "/data/feedback";

  // What the user answers in the integer dialog.
  int integerInput = 55555;

  int currentTimePoint = 0;
  int expectedTimePoints = 10;
  int dimX = 2, dimY = 2, dimZ = 1;
  int protocolCondition = 1;
  int fullPredictors = 3, currentPredictors = 2, confoundPredictors = 1, contrasts = 1;
  std::vector<FakeRoi> rois;

  // Voxel values by location and time; the default makes every value distinct.
  std::function<float(int x, int y, int z, int t)> voxelValue = [](int x, int y, int z, int t) {
    return static_cast<float>(1000 * t + 100 * z + 10 * y + x);
  };
  std::function<float(int predictor, int t)> designMatrixValue = [](int predictor, int t) {
    return static_cast<float>(predictor) + 0.5f * static_cast<float>(t);
  };
  std::function<double(int beta, int x, int y, int z)> betaOfVoxel = [](int b, int x, int y, int z) {
    return 0.1 * b + x + 10.0 * y + 100.0 * z;
  };
  std::function<float(int map, int x, int y, int z)> mapValueOfVoxel = [](int m, int x, int y, int z) {
    return static_cast<float>(m) * 0.25f + static_cast<float>(x + y + z);
  };

  // The time-course table: one vector of samples per time point.
  std::vector<std::vector<short>> timeCourse;
  std::vector<double> betaMaps;
  std::vector<float> contrastMaps;
  // When set, the array functions return null.
  bool nullArrays = false;

  int numberOfClasses = -3;
  int classifierResult = 0;
  std::vector<float> classifierOutput;

  // What the plug-in told the user.
  std::vector<std::string> logLines;
  std::vector<std::string> messageBoxes;
  std::vector<IntegerPrompt> prompts;
  // Calls per host function name.
  std::map<std::string, int> calls;
};

class FakeHost {
 public:
  // The state; unsynchronised access is for set-up while no plug-in thread runs.
  static FakeHostState& state();
  // Holds the state's mutex, for tests that change it while the plug-in runs.
  static std::unique_lock<std::mutex> lock();
  // Fresh default state.
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
