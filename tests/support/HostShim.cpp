#include "tests/support/HostShim.h"

#include <cstring>
#include <type_traits>

#include "plugin/HostFunctions.h"

namespace {

enum FunctionIndex {
#define HOST_SHIM_INDEX(name, type) k_##name,
  NMB_HOST_FUNCTIONS(HOST_SHIM_INDEX)
#undef HOST_SHIM_INDEX
};
static_assert(HostShim::kFunctionCount == kHostFunctionCount, "one counter per host function");

const char* const kFunctionNames[] = {
#define HOST_SHIM_NAME(name, type) #name,
    NMB_HOST_FUNCTIONS(HOST_SHIM_NAME)
#undef HOST_SHIM_NAME
};

std::atomic<std::mutex*> sharedLock{nullptr};
std::atomic<bool> keepingUserCalls{false};
std::atomic<bool> counting{false};
std::array<std::atomic<std::uint64_t>, HostShim::kFunctionCount> callCounts{};

HostValues& table() {
  static HostValues values;
  return values;
}

// Per-volume pointers into timeCourse, rebuilt only when the table changed, so
// that pointers handed out earlier stay valid while other threads read
// through them.
std::vector<short*>& timeCourseRows() {
  static std::vector<short*> rows;
  return rows;
}

// One host call: holds the shared lock (if any) for its duration and counts.
struct Call {
  std::unique_lock<std::mutex> guard;
  HostValues& s = table();
  explicit Call(FunctionIndex function) {
    if (std::mutex* mutex = sharedLock.load(std::memory_order_relaxed))
      guard = std::unique_lock<std::mutex>(*mutex);
    if (counting.load(std::memory_order_relaxed))
      callCounts[function].fetch_add(1, std::memory_order_relaxed);
  }
  bool keeps() const { return keepingUserCalls.load(std::memory_order_relaxed); }
};

void copyText(char* buffer, const std::string& text) { std::memcpy(buffer, text.c_str(), text.size() + 1); }

const HostRoi* roiAt(HostValues& s, int roi) {
  if (roi < 0 || roi >= static_cast<int>(s.rois.size())) return nullptr;
  return &s.rois[static_cast<size_t>(roi)];
}

// The shapes most functions share: a value, a text or an ROI's value from the
// table.
int valueOf(FunctionIndex function, int HostValues::*field) {
  Call c(function);
  return c.s.*field;
}

void textOf(FunctionIndex function, std::string HostValues::*field, char* buffer) {
  Call c(function);
  copyText(buffer, c.s.*field);
}

// An array the host owns, or null while the table says so.
template <typename T>
T* arrayOf(FunctionIndex function, std::vector<T> HostValues::*field) {
  Call c(function);
  return c.s.nullArrays ? nullptr : (c.s.*field).data();
}

float roiValueOf(FunctionIndex function, int roi, float HostRoi::*field) {
  Call c(function);
  const HostRoi* found = roiAt(c.s, roi);
  return found ? found->*field : 0.0f;
}

}  // namespace

HostValues& HostShim::values() { return table(); }
void HostShim::shareLock(std::mutex* mutex) { sharedLock.store(mutex); }
void HostShim::keepUserCalls(bool keep) { keepingUserCalls.store(keep); }
void HostShim::setCounting(bool on) { counting.store(on); }

void HostShim::resetCounts() {
  for (auto& count : callCounts) count.store(0);
}

std::uint64_t HostShim::calls(int function) {
  return function >= 0 && function < kFunctionCount ? callCounts[size_t(function)].load() : 0;
}

std::uint64_t HostShim::totalCalls() {
  std::uint64_t total = 0;
  for (auto& count : callCounts) total += count.load();
  return total;
}

int HostShim::functionIndex(const std::string& name) {
  for (int i = 0; i < kFunctionCount; ++i)
    if (name == kFunctionNames[i]) return i;
  return -1;
}

#define HOST_SHIM_EXPORT extern "C" __attribute__((visibility("default")))

HOST_SHIM_EXPORT void tGetVersionOfNMB(int* major, int* minor, int* subversion) {
  Call c(k_tGetVersionOfNMB);
  *major = c.s.versionMajor;
  *minor = c.s.versionMinor;
  *subversion = c.s.versionSubversion;
}
HOST_SHIM_EXPORT void tGetNMBPath(char* buffer) { textOf(k_tGetNMBPath, &HostValues::programFolder, buffer); }
HOST_SHIM_EXPORT void tGetPluginsPath(char* buffer) {
  textOf(k_tGetPluginsPath, &HostValues::pluginsFolder, buffer);
}
HOST_SHIM_EXPORT void tLogText(const char* text) {
  Call c(k_tLogText);
  if (c.keeps()) c.s.logLines.emplace_back(text);
}
HOST_SHIM_EXPORT void tMessageBox(const char* text) {
  Call c(k_tMessageBox);
  if (c.keeps()) c.s.messageBoxes.emplace_back(text);
}
HOST_SHIM_EXPORT void tYesNoMessageBox() { Call c(k_tYesNoMessageBox); }
HOST_SHIM_EXPORT int tGetIntegerInput(const char* prompt, int defaultValue, int minValue, int maxValue) {
  Call c(k_tGetIntegerInput);
  if (c.keeps()) c.s.prompts.push_back({prompt, defaultValue, minValue, maxValue});
  return c.s.integerInput;
}
HOST_SHIM_EXPORT void tGetFloatInput() { Call c(k_tGetFloatInput); }
HOST_SHIM_EXPORT void tGetTextInput() { Call c(k_tGetTextInput); }
HOST_SHIM_EXPORT void tGetOpenFileName() { Call c(k_tGetOpenFileName); }
HOST_SHIM_EXPORT void tGetSaveFileName() { Call c(k_tGetSaveFileName); }
HOST_SHIM_EXPORT int tGetCurrentTimePoint() {
  Call c(k_tGetCurrentTimePoint);
  return c.s.currentTimePoint;
}
HOST_SHIM_EXPORT int tGetExpectedNrOfTimePoints() {
  return valueOf(k_tGetExpectedNrOfTimePoints, &HostValues::expectedTimePoints);
}
HOST_SHIM_EXPORT void tGetDimsOfFunctionalData(int* dimX, int* dimY, int* dimZ) {
  Call c(k_tGetDimsOfFunctionalData);
  *dimX = c.s.dimX;
  *dimY = c.s.dimY;
  *dimZ = c.s.dimZ;
}
HOST_SHIM_EXPORT void tGetProjectName(char* buffer) {
  textOf(k_tGetProjectName, &HostValues::projectName, buffer);
}
HOST_SHIM_EXPORT void tGetWatchFolder(char* buffer) {
  textOf(k_tGetWatchFolder, &HostValues::watchFolder, buffer);
}
HOST_SHIM_EXPORT void tGetTargetFolder(char* buffer) {
  textOf(k_tGetTargetFolder, &HostValues::targetFolder, buffer);
}
HOST_SHIM_EXPORT void tGetFeedbackFolder(char* buffer) {
  textOf(k_tGetFeedbackFolder, &HostValues::feedbackFolder, buffer);
}
HOST_SHIM_EXPORT int tGetCurrentProtocolCondition() {
  return valueOf(k_tGetCurrentProtocolCondition, &HostValues::protocolCondition);
}
HOST_SHIM_EXPORT int tGetFullNrOfPredictors() {
  return valueOf(k_tGetFullNrOfPredictors, &HostValues::fullPredictors);
}
HOST_SHIM_EXPORT int tGetCurrentNrOfPredictors() {
  return valueOf(k_tGetCurrentNrOfPredictors, &HostValues::currentPredictors);
}
HOST_SHIM_EXPORT int tGetNrOfConfoundPredictors() {
  return valueOf(k_tGetNrOfConfoundPredictors, &HostValues::confoundPredictors);
}
HOST_SHIM_EXPORT float tGetValueOfDesignMatrix(int predictor, int timePoint) {
  Call c(k_tGetValueOfDesignMatrix);
  return c.s.designMatrixValue(predictor, timePoint);
}
HOST_SHIM_EXPORT int tGetNrOfContrasts() { return valueOf(k_tGetNrOfContrasts, &HostValues::contrasts); }
HOST_SHIM_EXPORT int tGetNrOfROIs() {
  Call c(k_tGetNrOfROIs);
  return static_cast<int>(c.s.rois.size());
}
HOST_SHIM_EXPORT float tGetMeanOfROI(int roi) { return roiValueOf(k_tGetMeanOfROI, roi, &HostRoi::mean); }
HOST_SHIM_EXPORT float tGetDetrendedValueOfROI(int roi) {
  return roiValueOf(k_tGetDetrendedValueOfROI, roi, &HostRoi::detrendedValue);
}
HOST_SHIM_EXPORT int tGetNrOfVoxelsOfROI(int roi) {
  Call c(k_tGetNrOfVoxelsOfROI);
  const HostRoi* found = roiAt(c.s, roi);
  return found ? static_cast<int>(found->voxels.size()) : 0;
}
HOST_SHIM_EXPORT float tGetBetaOfROI(int roi, int beta) {
  Call c(k_tGetBetaOfROI);
  const HostRoi* found = roiAt(c.s, roi);
  if (!found || beta < 0 || beta >= static_cast<int>(found->betas.size())) return 0.0f;
  return found->betas[static_cast<size_t>(beta)];
}
HOST_SHIM_EXPORT bool tGetCoordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) {
  Call c(k_tGetCoordsOfVoxelOfROI);
  const HostRoi* found = roiAt(c.s, roi);
  if (!found || voxel < 0 || voxel >= static_cast<int>(found->voxels.size())) return false;
  const size_t v = static_cast<size_t>(voxel);
  if (v < found->refused.size() && found->refused[v]) return false;
  *x = found->voxels[v][0];
  *y = found->voxels[v][1];
  *z = found->voxels[v][2];
  return true;
}
HOST_SHIM_EXPORT float tGetValueOfVoxelAtTime(int x, int y, int z, int timePoint) {
  Call c(k_tGetValueOfVoxelAtTime);
  return c.s.voxelValue(x, y, z, timePoint);
}
HOST_SHIM_EXPORT short** tGetTimeCourseData() {
  Call c(k_tGetTimeCourseData);
  if (c.s.nullArrays) return nullptr;
  if (!c.s.sharedTimeCourse.empty()) return c.s.sharedTimeCourse.data();
  std::vector<short*>& rows = timeCourseRows();
  bool current = rows.size() == c.s.timeCourse.size();
  for (size_t t = 0; current && t < rows.size(); ++t) current = rows[t] == c.s.timeCourse[t].data();
  if (!current) {
    rows.clear();
    for (std::vector<short>& volume : c.s.timeCourse) rows.push_back(volume.data());
  }
  return rows.empty() ? nullptr : rows.data();
}
HOST_SHIM_EXPORT double tGetBetaOfVoxel(int beta, int x, int y, int z) {
  Call c(k_tGetBetaOfVoxel);
  return c.s.betaOfVoxel(beta, x, y, z);
}
HOST_SHIM_EXPORT double* tGetBetaMaps() { return arrayOf(k_tGetBetaMaps, &HostValues::betaMaps); }
HOST_SHIM_EXPORT float tGetMapValueOfVoxel(int map, int x, int y, int z) {
  Call c(k_tGetMapValueOfVoxel);
  return c.s.mapValueOfVoxel(map, x, y, z);
}
HOST_SHIM_EXPORT float* tGetContrastMaps() { return arrayOf(k_tGetContrastMaps, &HostValues::contrastMaps); }
HOST_SHIM_EXPORT void tRegisterMaps() { Call c(k_tRegisterMaps); }
HOST_SHIM_EXPORT void tSetPluginMapName() { Call c(k_tSetPluginMapName); }
HOST_SHIM_EXPORT void tSetDisplayStatusOfMap() { Call c(k_tSetDisplayStatusOfMap); }
HOST_SHIM_EXPORT void tUpdateMapList() { Call c(k_tUpdateMapList); }
HOST_SHIM_EXPORT void tSetPluginMapsThreshold() { Call c(k_tSetPluginMapsThreshold); }
HOST_SHIM_EXPORT void tShowPluginMaps() { Call c(k_tShowPluginMaps); }
HOST_SHIM_EXPORT void tGetPluginMaps() { Call c(k_tGetPluginMaps); }
HOST_SHIM_EXPORT int tGetNumberOfClasses() {
  return valueOf(k_tGetNumberOfClasses, &HostValues::numberOfClasses);
}
HOST_SHIM_EXPORT int tGetCurrentClassifierOutput(float* buffer) {
  Call c(k_tGetCurrentClassifierOutput);
  const int n = c.s.numberOfClasses;
  const int pairs = n > 0 ? n * (n - 1) / 2 : 0;
  for (int i = 0; i < pairs && i < static_cast<int>(c.s.classifierOutput.size()); ++i)
    buffer[i] = c.s.classifierOutput[static_cast<size_t>(i)];
  return c.s.classifierResult;
}

// Each export has exactly the type the plug-in's table expects.
#define HOST_SHIM_CHECK_TYPE(name, type) \
  static_assert(std::is_same_v<decltype(::name), hostfn::name>, #name " has the wrong signature");
NMB_HOST_FUNCTIONS(HOST_SHIM_CHECK_TYPE)
