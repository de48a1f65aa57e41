#include "bench/BenchHost.h"

#include <cstring>

#include "plugin/HostFunctions.h"

namespace {

enum HostFunctionIndex {
#define NMB_BENCH_INDEX(name, type) k_##name,
  NMB_HOST_FUNCTIONS(NMB_BENCH_INDEX)
#undef NMB_BENCH_INDEX
};

std::atomic<bool> counting{false};
std::array<std::atomic<std::uint64_t>, kHostFunctionCount> calls{};

BenchHostState& sharedState() {
  static BenchHostState state;
  return state;
}

inline void count(HostFunctionIndex index) {
  if (counting.load(std::memory_order_relaxed)) calls[index].fetch_add(1, std::memory_order_relaxed);
}

// A voxel value that differs between voxels and time points without costing
// more than a few instructions, so correlations see real, varying data.
inline float voxelValue(int x, int y, int z, int t) {
  std::uint32_t h = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^
                    std::uint32_t(z) * 83492791u ^ std::uint32_t(t) * 2654435761u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return 100.0f + float(h & 0xFFFF) / 655.36f;
}

void copyText(char* buffer, const char* text) { std::strcpy(buffer, text); }

}  // namespace

BenchHostState& BenchHost::state() { return sharedState(); }

void BenchHost::configureVolume(int dimX, int dimY, int dimZ, int expectedTimePoints, int distinct,
                                int predictors) {
  BenchHostState& s = sharedState();
  s.dimX = dimX;
  s.dimY = dimY;
  s.dimZ = dimZ;
  s.expectedTimePoints = expectedTimePoints;
  const size_t voxels = size_t(dimX) * dimY * dimZ;
  s.volumes.assign(size_t(distinct), std::vector<short>(voxels));
  for (size_t v = 0; v < s.volumes.size(); ++v)
    for (size_t i = 0; i < voxels; ++i) s.volumes[v][i] = short((i * 7 + v * 131) & 0x7FFF);
  // A few time points more than expected, so a late request never reads past
  // the table.
  s.timeCourse.resize(size_t(expectedTimePoints) + 8);
  for (size_t t = 0; t < s.timeCourse.size(); ++t) s.timeCourse[t] = s.volumes[t % s.volumes.size()].data();
  s.currentPredictors = predictors;
  s.betaMaps.resize(voxels * size_t(predictors));
  for (size_t i = 0; i < s.betaMaps.size(); ++i) s.betaMaps[i] = 0.001 * double(i % 1000);
  s.contrasts = 1;
  s.contrastMaps.assign(voxels, 0.5f);
}

void BenchHost::configureRois(int rois, int voxelsPerRoi) {
  BenchHostState& s = sharedState();
  s.roiVoxels.assign(size_t(rois), {});
  s.roiMeans.resize(size_t(rois));
  int next = 0;
  for (int r = 0; r < rois; ++r) {
    s.roiMeans[size_t(r)] = 100.0f + float(r);
    for (int v = 0; v < voxelsPerRoi; ++v, ++next) {
      const int x = next % s.dimX, y = (next / s.dimX) % s.dimY, z = (next / (s.dimX * s.dimY)) % s.dimZ;
      s.roiVoxels[size_t(r)].push_back({x, y, z});
    }
  }
}

void BenchHost::setCounting(bool on) { counting.store(on); }

void BenchHost::resetCounts() {
  for (auto& c : calls) c.store(0);
}

std::uint64_t BenchHost::totalCalls() {
  std::uint64_t total = 0;
  for (auto& c : calls) total += c.load();
  return total;
}

std::array<std::uint64_t, 45> BenchHost::callsByFunction() {
  std::array<std::uint64_t, 45> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = calls[i].load();
  return out;
}

// The exported host functions, found by the plug-in by name.
#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))
#define S sharedState()

BENCH_EXPORT void tGetVersionOfNMB(int* major, int* minor, int* subversion) {
  count(k_tGetVersionOfNMB);
  *major = 3;
  *minor = 1;
  *subversion = 0;
}
BENCH_EXPORT void tGetNMBPath(char* buffer) {
  count(k_tGetNMBPath);
  copyText(buffer, "/opt/nimbrel");
}
BENCH_EXPORT void tGetPluginsPath(char* buffer) {
  count(k_tGetPluginsPath);
  copyText(buffer, "/opt/nimbrel/plugins");
}
BENCH_EXPORT void tLogText(const char*) { count(k_tLogText); }
BENCH_EXPORT void tMessageBox(const char*) { count(k_tMessageBox); }
BENCH_EXPORT void tYesNoMessageBox() {}
BENCH_EXPORT int tGetIntegerInput(const char*, int, int, int) {
  count(k_tGetIntegerInput);
  return S.port;
}
BENCH_EXPORT void tGetFloatInput() {}
BENCH_EXPORT void tGetTextInput() {}
BENCH_EXPORT void tGetOpenFileName() {}
BENCH_EXPORT void tGetSaveFileName() {}
BENCH_EXPORT int tGetCurrentTimePoint() {
  count(k_tGetCurrentTimePoint);
  return S.currentTimePoint.load(std::memory_order_relaxed);
}
BENCH_EXPORT int tGetExpectedNrOfTimePoints() {
  count(k_tGetExpectedNrOfTimePoints);
  return S.expectedTimePoints;
}
BENCH_EXPORT void tGetDimsOfFunctionalData(int* x, int* y, int* z) {
  count(k_tGetDimsOfFunctionalData);
  *x = S.dimX;
  *y = S.dimY;
  *z = S.dimZ;
}
BENCH_EXPORT void tGetProjectName(char* buffer) {
  count(k_tGetProjectName);
  copyText(buffer, "Bench");
}
BENCH_EXPORT void tGetWatchFolder(char* buffer) {
  count(k_tGetWatchFolder);
  copyText(buffer, "/data/watch");
}
BENCH_EXPORT void tGetTargetFolder(char* buffer) {
  count(k_tGetTargetFolder);
  copyText(buffer, "/data/target");
}
BENCH_EXPORT void tGetFeedbackFolder(char* buffer) {
  count(k_tGetFeedbackFolder);
  copyText(buffer, "/data/feedback");
}
BENCH_EXPORT int tGetCurrentProtocolCondition() {
  count(k_tGetCurrentProtocolCondition);
  return 1;
}
BENCH_EXPORT int tGetFullNrOfPredictors() {
  count(k_tGetFullNrOfPredictors);
  return S.currentPredictors + 1;
}
BENCH_EXPORT int tGetCurrentNrOfPredictors() {
  count(k_tGetCurrentNrOfPredictors);
  return S.currentPredictors;
}
BENCH_EXPORT int tGetNrOfConfoundPredictors() {
  count(k_tGetNrOfConfoundPredictors);
  return 1;
}
BENCH_EXPORT float tGetValueOfDesignMatrix(int predictor, int timePoint) {
  count(k_tGetValueOfDesignMatrix);
  return float(predictor) + 0.5f * float(timePoint);
}
BENCH_EXPORT int tGetNrOfContrasts() {
  count(k_tGetNrOfContrasts);
  return S.contrasts;
}
BENCH_EXPORT int tGetNrOfROIs() {
  count(k_tGetNrOfROIs);
  return int(S.roiVoxels.size());
}
BENCH_EXPORT float tGetMeanOfROI(int roi) {
  count(k_tGetMeanOfROI);
  return S.roiMeans[size_t(roi)];
}
BENCH_EXPORT float tGetDetrendedValueOfROI(int roi) {
  count(k_tGetDetrendedValueOfROI);
  return S.roiMeans[size_t(roi)] - 100.0f;
}
BENCH_EXPORT int tGetNrOfVoxelsOfROI(int roi) {
  count(k_tGetNrOfVoxelsOfROI);
  return int(S.roiVoxels[size_t(roi)].size());
}
BENCH_EXPORT float tGetBetaOfROI(int roi, int beta) {
  count(k_tGetBetaOfROI);
  return float(roi) + 0.1f * float(beta);
}
BENCH_EXPORT bool tGetCoordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) {
  count(k_tGetCoordsOfVoxelOfROI);
  const auto& voxels = S.roiVoxels[size_t(roi)];
  if (voxel < 0 || size_t(voxel) >= voxels.size()) return false;
  const auto& c = voxels[size_t(voxel)];
  *x = c[0];
  *y = c[1];
  *z = c[2];
  return true;
}
BENCH_EXPORT float tGetValueOfVoxelAtTime(int x, int y, int z, int timePoint) {
  count(k_tGetValueOfVoxelAtTime);
  return voxelValue(x, y, z, timePoint);
}
BENCH_EXPORT short** tGetTimeCourseData() {
  count(k_tGetTimeCourseData);
  return S.timeCourse.data();
}
BENCH_EXPORT double tGetBetaOfVoxel(int beta, int x, int y, int z) {
  count(k_tGetBetaOfVoxel);
  return 0.1 * beta + x + 10.0 * y + 100.0 * z;
}
BENCH_EXPORT double* tGetBetaMaps() {
  count(k_tGetBetaMaps);
  return S.betaMaps.data();
}
BENCH_EXPORT float tGetMapValueOfVoxel(int map, int x, int y, int z) {
  count(k_tGetMapValueOfVoxel);
  return float(map) + float(x + y + z);
}
BENCH_EXPORT float* tGetContrastMaps() {
  count(k_tGetContrastMaps);
  return S.contrastMaps.data();
}
BENCH_EXPORT void tRegisterMaps() {}
BENCH_EXPORT void tSetPluginMapName() {}
BENCH_EXPORT void tSetDisplayStatusOfMap() {}
BENCH_EXPORT void tUpdateMapList() {}
BENCH_EXPORT void tSetPluginMapsThreshold() {}
BENCH_EXPORT void tShowPluginMaps() {}
BENCH_EXPORT void tGetPluginMaps() {}
BENCH_EXPORT int tGetNumberOfClasses() {
  count(k_tGetNumberOfClasses);
  return 2;
}
BENCH_EXPORT int tGetCurrentClassifierOutput(float* buffer) {
  count(k_tGetCurrentClassifierOutput);
  buffer[0] = 0.5f;
  return 1;
}
