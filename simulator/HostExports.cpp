// The exported host functions.  The executable is linked with its symbols
// exported (ENABLE_EXPORTS) and these carry default visibility (on Windows:
// dllexport from Nimbrel.exe), so the plug-in finds them by name in the
// program, as it finds Nimbrel's.
#include "simulator/HostExports.h"

#include <type_traits>

#include "simulator/SimHost.h"

#if defined(_WIN32)
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
SimHost& host() { return SimHost::instance(); }
}  // namespace

SIM_EXPORT void tGetVersionOfNMB(int* major, int* minor, int* subversion) {
  host().versionOfNMB(major, minor, subversion);
}
SIM_EXPORT void tGetNMBPath(char* buffer) { host().nmbPath(buffer); }
SIM_EXPORT void tGetPluginsPath(char* buffer) { host().pluginsPath(buffer); }
SIM_EXPORT void tLogText(const char* text) { host().logText(text); }
SIM_EXPORT void tMessageBox(const char* text) { host().messageBox(text); }
SIM_EXPORT int tGetIntegerInput(const char* prompt, int defaultValue, int minValue, int maxValue) {
  return host().integerInput(prompt, defaultValue, minValue, maxValue);
}
// Dialogs and map functions the plug-in binds but never calls: present so that
// binding finds every name, without behaviour.
SIM_EXPORT void tYesNoMessageBox() {}
SIM_EXPORT void tGetFloatInput() {}
SIM_EXPORT void tGetTextInput() {}
SIM_EXPORT void tGetOpenFileName() {}
SIM_EXPORT void tGetSaveFileName() {}
SIM_EXPORT void tRegisterMaps() {}
SIM_EXPORT void tSetPluginMapName() {}
SIM_EXPORT void tSetDisplayStatusOfMap() {}
SIM_EXPORT void tUpdateMapList() {}
SIM_EXPORT void tSetPluginMapsThreshold() {}
SIM_EXPORT void tShowPluginMaps() {}
SIM_EXPORT void tGetPluginMaps() {}

SIM_EXPORT int tGetCurrentTimePoint() { return host().currentTimePoint(); }
SIM_EXPORT int tGetExpectedNrOfTimePoints() { return host().expectedNrOfTimePoints(); }
SIM_EXPORT void tGetDimsOfFunctionalData(int* dimX, int* dimY, int* dimZ) {
  host().dimsOfFunctionalData(dimX, dimY, dimZ);
}
SIM_EXPORT void tGetProjectName(char* buffer) { host().projectName(buffer); }
SIM_EXPORT void tGetWatchFolder(char* buffer) { host().watchFolder(buffer); }
SIM_EXPORT void tGetTargetFolder(char* buffer) { host().targetFolder(buffer); }
SIM_EXPORT void tGetFeedbackFolder(char* buffer) { host().feedbackFolder(buffer); }
SIM_EXPORT int tGetCurrentProtocolCondition() { return host().currentProtocolCondition(); }
SIM_EXPORT int tGetFullNrOfPredictors() { return host().fullNrOfPredictors(); }
SIM_EXPORT int tGetCurrentNrOfPredictors() { return host().currentNrOfPredictors(); }
SIM_EXPORT int tGetNrOfConfoundPredictors() { return host().nrOfConfoundPredictors(); }
SIM_EXPORT float tGetValueOfDesignMatrix(int predictor, int timePoint) {
  return host().valueOfDesignMatrix(predictor, timePoint);
}
SIM_EXPORT int tGetNrOfContrasts() { return host().nrOfContrasts(); }
SIM_EXPORT int tGetNrOfROIs() { return host().nrOfROIs(); }
SIM_EXPORT float tGetMeanOfROI(int roi) { return host().meanOfROI(roi); }
SIM_EXPORT float tGetDetrendedValueOfROI(int roi) { return host().detrendedValueOfROI(roi); }
SIM_EXPORT int tGetNrOfVoxelsOfROI(int roi) { return host().nrOfVoxelsOfROI(roi); }
SIM_EXPORT float tGetBetaOfROI(int roi, int beta) { return host().betaOfROI(roi, beta); }
SIM_EXPORT bool tGetCoordsOfVoxelOfROI(int roi, int voxel, int* x, int* y, int* z) {
  return host().coordsOfVoxelOfROI(roi, voxel, x, y, z);
}
SIM_EXPORT float tGetValueOfVoxelAtTime(int x, int y, int z, int timePoint) {
  return host().valueOfVoxelAtTime(x, y, z, timePoint);
}
SIM_EXPORT short** tGetTimeCourseData() { return host().timeCourseData(); }
SIM_EXPORT double tGetBetaOfVoxel(int beta, int x, int y, int z) { return host().betaOfVoxel(beta, x, y, z); }
SIM_EXPORT double* tGetBetaMaps() { return host().betaMaps(); }
SIM_EXPORT float tGetMapValueOfVoxel(int map, int x, int y, int z) {
  return host().mapValueOfVoxel(map, x, y, z);
}
SIM_EXPORT float* tGetContrastMaps() { return host().contrastMaps(); }
SIM_EXPORT int tGetNumberOfClasses() { return host().numberOfClasses(); }
SIM_EXPORT int tGetCurrentClassifierOutput(float* buffer) { return host().currentClassifierOutput(buffer); }

#define SIM_CHECK_TYPE(name, type) \
  static_assert(std::is_same_v<decltype(::name), hostfn::name>, #name " has the wrong signature");
NMB_HOST_FUNCTIONS(SIM_CHECK_TYPE)
