#include "tests/support/FakeHost.h"

#include <cstring>
#include <type_traits>

#include "plugin/HostFunctions.h"

namespace {

std::mutex& stateMutex() {
  static std::mutex mutex;
  return mutex;
}

FakeHostState& sharedState() {
  static FakeHostState state;
  return state;
}

// Per-volume pointers into the time-course table, rebuilt on each request.
std::vector<short*>& timeCourseRows() {
  static std::vector<short*> rows;
  return rows;
}

struct Call {
  std::lock_guard<std::mutex> guard{stateMutex()};
  FakeHostState& s = sharedState();
  explicit Call(const char* name) { ++s.calls[name]; }
};

void copyText(char* buffer, const std::string& text) { std::memcpy(buffer, text.c_str(), text.size() + 1); }

const FakeRoi* roiAt(FakeHostState& s, int roi) {
  if (roi < 0 || roi >= static_cast<int>(s.rois.size())) return nullptr;
  return &s.rois[static_cast<size_t>(roi)];
}

}  // namespace

FakeHostState& FakeHost::state() { return sharedState(); }

std::unique_lock<std::mutex> FakeHost::lock() { return std::unique_lock<std::mutex>(stateMutex()); }

void FakeHost::reset() {
  std::lock_guard<std::mutex> guard(stateMutex());
  sharedState() = FakeHostState();
}

int FakeHost::totalCalls() {
  std::lock_guard<std::mutex> guard(stateMutex());
  int total = 0;
  for (const auto& entry : sharedState().calls) total += entry.second;
  return total;
}

int FakeHost::calls(const std::string& name) {
  std::lock_guard<std::mutex> guard(stateMutex());
  auto found = sharedState().calls.find(name);
  return found == sharedState().calls.end() ? 0 : found->second;
}

std::vector<std::string> FakeHost::logLines() {
  std::lock_guard<std::mutex> guard(stateMutex());
  return sharedState().logLines;
}

void FakeHost::fillTimeCourse(int volumes, short first) {
  std::lock_guard<std::mutex> guard(stateMutex());
  FakeHostState& s = sharedState();
  const int voxels = s.dimX * s.dimY * s.dimZ;
  s.timeCourse.assign(static_cast<size_t>(volumes), std::vector<short>(static_cast<size_t>(voxels)));
  for (int t = 0; t < volumes; ++t)
    for (int i = 0; i < voxels; ++i)
      s.timeCourse[static_cast<size_t>(t)][static_cast<size_t>(i)] = static_cast<short>(first + 100 * t + i);
}

#define FAKE_HOST_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_HOST_EXPORT void tGetVersionOfNMB(int* major, int* minor, int* subversion) {
  Call c("tGetVersionOfNMB");
  *major = c.s.versionMajor;
  *minor = c.s.versionMinor;
  *subversion = c.s.versionSubversion;
}
FAKE_HOST_EXPORT void tGetNMBPath(char* buffer) {
  Call c("tGetNMBPath");
  copyText(buffer, c.s.programFolder);
}
FAKE_HOST_EXPORT void tGetPluginsPath(char* buffer) {
  Call c("tGetPluginsPath");
  copyText(buffer, c.s.pluginsFolder);
}
FAKE_HOST_EXPORT void tLogText(const char* text) {
  Call c("tLogText");
  c.s.logLines.emplace_back(text);
}
FAKE_HOST_EXPORT void tMessageBox(const char* text) {
  Call c("tMessageBox");
  c.s.messageBoxes.emplace_back(text);
}
FAKE_HOST_EXPORT void tYesNoMessageBox() { Call c("tYesNoMessageBox"); }
FAKE_HOST_EXPORT int tGetIntegerInput(const char* prompt, int defaultValue, int minValue, int maxValue) {
  Call c("tGetIntegerInput");
  c.s.prompts.push_back({prompt, defaultValue, minValue, maxValue});
  return c.s.integerInput;
}
FAKE_HOST_EXPORT void tGetFloatInput() { Call c("tGetFloatInput"); }
FAKE_HOST_EXPORT void tGetTextInput() { Call c("tGetTextInput"); }
FAKE_HOST_EXPORT void tGetOpenFileName() { Call c("tGetOpenFileName"); }
FAKE_HOST_EXPORT void tGetSaveFileName() { Call c("tGetSaveFileName"); }
FAKE_HOST_EXPORT int tGetCurrentTimePoint() {
  Call c("tGetCurrentTimePoint");
  return c.s.currentTimePoint;
}
FAKE_HOST_EXPORT int tGetExpectedNrOfTimePoints() {
  Call c("tGetExpectedNrOfTimePoints");
  return c.s.expectedTimePoints;
}
FAKE_HOST_EXPORT void tGetDimsOfFunctionalData(int* dimX, int* dimY, int* dimZ) {
  Call c("tGetDimsOfFunctionalData");
  *dimX = c.s.dimX;
  *dimY = c.s.dimY;
  *dimZ = c.s.dimZ;
}
FAKE_HOST_EXPORT void tGetProjectName(char* buffer) {
  Call c("tGetProjectName");
  copyText(buffer, c.s.projectName);
}
FAKE_HOST_EXPORT void tGetWatchFolder(char* buffer) {
  Call c("tGetWatchFolder");
  copyText(buffer, c.s.watchFolder);
}
FAKE_HOST_EXPORT void tGetTargetFolder(char* buffer) {
  Call c("tGetTargetFolder");
  copyText(buffer, c.s.targetFolder);
}
FAKE_HOST_EXPORT void tGetFeedbackFolder(char* buffer) {
  Call c("tGetFeedbackFolder");
  copyText(buffer, c.s.feedbackFolder);
}
FAKE_HOST_EXPORT int tGetCurrentProtocolCondition() {
  Call c("tGetCurrentProtocolCondition");
  return c.s.protocolCondition;
}
FAKE_HOST_EXPORT int tGetFullNrOfPredictors() {
  Call c("tGetFullNrOfPredictors");
  return c.s.fullPredictors;
}
FAKE_HOST_EXPORT int tGetCurrentNrOfPredictors() {
  Call c("tGetCurrentNrOfPredictors");
  return c.s.currentPredictors;
}
FAKE_HOST_EXPORT int tGetNrOfConfoundPredictors() {
  Call c("tGetNrOfConfoundPredictors");
  return c.s.confoundPredictors;
}
FAKE_HOST_EXPORT float tGetValueOfDesignMatrix(int predictor, int timePoint) {
  Call c("tGetValueOfDesignMatrix");
  return c.s.designMatrixValue(predictor, timePoint);
}
FAKE_HOST_EXPORT int tGetNrOfContrasts() {
  Call c("tGetNrOfContrasts");
  return c.s.contrasts;
}
FAKE_HOST_EXPORT int tGetNrOfROIs() {
  Call c("tGetNrOfROIs");
  return static_cast<int>(c.s.rois.size());
}
FAKE_HOST_EXPORT float tGetMeanOfROI(int roi) {
  Call c("tGetMeanOfROI");
  const FakeRoi* found = roiAt(c.s, roi);
  return found ? found->mean : 0.0f;
}
FAKE_HOST_EXPORT float tGetDetrendedValueOfROI(int roi) {
  Call c("tGetDetrendedValueOfROI");
  const FakeRoi* found = roiAt(c.s, roi);
  return found ? found->detrendedValue : 0.0f;
}
FAKE_HOST_EXPORT int tGetNrOfVoxelsOfROI(int roi) {
  Call c("tGetNrOfVoxelsOfROI");
  const FakeRoi* found = roiAt(c.s, roi);
  return found ? static_cast<int>(found->voxels.size()) : 0;
}
FAKE_HOST_EXPORT float tGetBetaOfROI(int roi, int beta) {
  Call c("tGetBetaOfROI");
  const FakeRoi* found = roiAt(c.s, roi);
  if (!found || beta < 0 || beta >= static_cast<int>(found->betas.size())) return 0.0f;
  return found->betas[static_cast<size_t>(beta)];
}
FAKE_HOST_EXPORT bool tGetCoordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) {
  Call c("tGetCoordsOfVoxelOfROI");
  const FakeRoi* found = roiAt(c.s, roi);
  if (!found || voxel < 0 || voxel >= static_cast<int>(found->voxels.size())) return false;
  const size_t v = static_cast<size_t>(voxel);
  if (v < found->refused.size() && found->refused[v]) return false;
  *x = found->voxels[v][0];
  *y = found->voxels[v][1];
  *z = found->voxels[v][2];
  return true;
}
FAKE_HOST_EXPORT float tGetValueOfVoxelAtTime(int x, int y, int z, int timePoint) {
  Call c("tGetValueOfVoxelAtTime");
  return c.s.voxelValue(x, y, z, timePoint);
}
FAKE_HOST_EXPORT short** tGetTimeCourseData() {
  Call c("tGetTimeCourseData");
  if (c.s.nullArrays) return nullptr;
  // Rebuilt only when the table changed, so that pointers handed out earlier
  // stay valid while other threads read through them.
  std::vector<short*>& rows = timeCourseRows();
  bool current = rows.size() == c.s.timeCourse.size();
  for (size_t t = 0; current && t < rows.size(); ++t) current = rows[t] == c.s.timeCourse[t].data();
  if (!current) {
    rows.clear();
    for (std::vector<short>& volume : c.s.timeCourse) rows.push_back(volume.data());
  }
  return rows.empty() ? nullptr : rows.data();
}
FAKE_HOST_EXPORT double tGetBetaOfVoxel(int beta, int x, int y, int z) {
  Call c("tGetBetaOfVoxel");
  return c.s.betaOfVoxel(beta, x, y, z);
}
FAKE_HOST_EXPORT double* tGetBetaMaps() {
  Call c("tGetBetaMaps");
  return c.s.nullArrays ? nullptr : c.s.betaMaps.data();
}
FAKE_HOST_EXPORT float tGetMapValueOfVoxel(int map, int x, int y, int z) {
  Call c("tGetMapValueOfVoxel");
  return c.s.mapValueOfVoxel(map, x, y, z);
}
FAKE_HOST_EXPORT float* tGetContrastMaps() {
  Call c("tGetContrastMaps");
  return c.s.nullArrays ? nullptr : c.s.contrastMaps.data();
}
FAKE_HOST_EXPORT void tRegisterMaps() { Call c("tRegisterMaps"); }
FAKE_HOST_EXPORT void tSetPluginMapName() { Call c("tSetPluginMapName"); }
FAKE_HOST_EXPORT void tSetDisplayStatusOfMap() { Call c("tSetDisplayStatusOfMap"); }
FAKE_HOST_EXPORT void tUpdateMapList() { Call c("tUpdateMapList"); }
FAKE_HOST_EXPORT void tSetPluginMapsThreshold() { Call c("tSetPluginMapsThreshold"); }
FAKE_HOST_EXPORT void tShowPluginMaps() { Call c("tShowPluginMaps"); }
FAKE_HOST_EXPORT void tGetPluginMaps() { Call c("tGetPluginMaps"); }
FAKE_HOST_EXPORT int tGetNumberOfClasses() {
  Call c("tGetNumberOfClasses");
  return c.s.numberOfClasses;
}
FAKE_HOST_EXPORT int tGetCurrentClassifierOutput(float* buffer) {
  Call c("tGetCurrentClassifierOutput");
  const int n = c.s.numberOfClasses;
  const int pairs = n > 0 ? n * (n - 1) / 2 : 0;
  for (int i = 0; i < pairs && i < static_cast<int>(c.s.classifierOutput.size()); ++i)
    buffer[i] = c.s.classifierOutput[static_cast<size_t>(i)];
  return c.s.classifierResult;
}

// Each export has exactly the type the plug-in's table expects.
#define FAKE_HOST_CHECK_TYPE(name, type) \
  static_assert(std::is_same_v<decltype(::name), hostfn::name>, #name " has the wrong signature");
NMB_HOST_FUNCTIONS(FAKE_HOST_CHECK_TYPE)
