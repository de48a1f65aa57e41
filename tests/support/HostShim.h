// HostShim: the 45 host functions a test or benchmark executable exports in
// Nimbrel's place, answering from one table of values.
//
// An executable that links HostShim.cpp and exports its symbols (EXPORTS in
// nmb_add_gtest, ENABLE_EXPORTS for a program) is a host to the plug-in: the
// plug-in binds these functions by name exactly as it binds Nimbrel's.  Two
// front ends set the table up: FakeHost (tests: every call under one mutex,
// counted, with what the plug-in tells the user kept) and BenchHost
// (benchmarks: no lock, counting only while measured, nothing kept).
//
// Threads: the plug-in calls the functions from its request threads and the
// host's thread at once.  When a mutex is shared (HostShim::shareLock), every
// function holds it while it reads the table; without one, the table must not
// change while a function may run, except for currentTimePoint.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct HostRoi {
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

// An int that one thread may change while others read it, copyable so that
// a table can be reset by assignment.
class SharedInt {
 public:
  SharedInt(int value = 0) : value(value) {}
  SharedInt(const SharedInt& other) : value(other.load()) {}
  SharedInt& operator=(const SharedInt& other) { return *this = other.load(); }
  SharedInt& operator=(int v) {
    value.store(v, std::memory_order_relaxed);
    return *this;
  }
  operator int() const { return load(); }
  int load() const { return value.load(std::memory_order_relaxed); }
  int fetch_add(int step) { return value.fetch_add(step, std::memory_order_relaxed); }
  SharedInt& operator++() {
    fetch_add(1);
    return *this;
  }

 private:
  std::atomic<int> value;
};

struct HostValues {
  int versionMajor = 3, versionMinor = 1, versionSubversion = 0;
  std::string programFolder = "/opt/nimbrel";
  std::string pluginsFolder = "/opt/nimbrel/plugins";
  std::string projectName = "Demo";
  std::string watchFolder = "/data/watch";
  std::string targetFolder = "/data/target";
  std::string feedbackFolder = "/data/feedback";

  // What the user answers in the integer dialog.
  int integerInput = 55555;

  SharedInt currentTimePoint = 0;
  int expectedTimePoints = 10;
  int dimX = 2, dimY = 2, dimZ = 1;
  int protocolCondition = 1;
  int fullPredictors = 3, currentPredictors = 2, confoundPredictors = 1, contrasts = 1;
  std::vector<HostRoi> rois;

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
  // When not empty, handed out instead of timeCourse: one pointer per time
  // point, so that a few volumes can stand for a long run.
  std::vector<short*> sharedTimeCourse;
  std::vector<double> betaMaps;
  std::vector<float> contrastMaps;
  // When set, the array functions return null.
  bool nullArrays = false;

  int numberOfClasses = -3;
  int classifierResult = 0;
  std::vector<float> classifierOutput;

  // What the plug-in told the user (kept only when HostShim::keepUserCalls).
  std::vector<std::string> logLines;
  std::vector<std::string> messageBoxes;
  std::vector<IntegerPrompt> prompts;
};

class HostShim {
 public:
  static constexpr int kFunctionCount = 45;

  // The table every exported function answers from.
  static HostValues& values();
  // Every function holds `mutex` while it runs (null: no lock).
  static void shareLock(std::mutex* mutex);
  // Whether log lines, message boxes and prompts are kept in the table.
  static void keepUserCalls(bool keep);

  // Calls are counted per function while counting is on.
  static void setCounting(bool on);
  static void resetCounts();
  static std::uint64_t calls(int function);
  static std::uint64_t totalCalls();
  // The function's index in binding order, or -1 for a name that is none.
  static int functionIndex(const std::string& name);
};
