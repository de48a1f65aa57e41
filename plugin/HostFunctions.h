// HostFunctions: the table of the functions that Nimbrel exports by name.
//
// Every call the plug-in makes into Nimbrel goes through the one process-wide
// table `hostFunctions`.  bindHostFunctions fills it on the host's thread in
// initPlugin, before any plug-in thread exists; afterwards it is only read, from
// any thread.  An entry the host does not export stays null, so code that may
// meet an incomplete host checks the entry before calling it.
//
// Text crosses the boundary as NUL-terminated 8-bit strings.  Where the plug-in
// passes an output buffer the host gets no length: the capacities below are what
// the plug-in must provide.  Arrays returned by pointer stay the host's.
//
//   if (!bindHostFunctions()) return false;
//   int rois = hostFunctions.tGetNrOfROIs();
#pragma once

// Capacities of the output buffers the plug-in hands to the host.
inline constexpr int kHostPathBufferSize = 512;     // tGetNMBPath, tGetPluginsPath
inline constexpr int kProjectNameBufferSize = 112;  // tGetProjectName
inline constexpr int kFolderBufferSize = 528;       // tGetWatchFolder, tGetTargetFolder, tGetFeedbackFolder

// Functions that are bound but never called have no fixed signature.
using UncalledHostFunction = void();

// The 45 functions in binding order, each with its function type.  The table,
// the binding loop and the test hosts are generated from this one list, so the
// names and their order exist once.
#define NMB_HOST_FUNCTIONS(X)                                                 \
  X(tGetVersionOfNMB, void(int* major, int* minor, int* subversion))          \
  X(tGetNMBPath, void(char* buffer))                                          \
  X(tGetPluginsPath, void(char* buffer))                                      \
  X(tLogText, void(const char* text))                                         \
  X(tMessageBox, void(const char* text))                                      \
  X(tYesNoMessageBox, UncalledHostFunction)                                   \
  X(tGetIntegerInput, int(const char* prompt, int defaultValue, int minValue, int maxValue)) \
  X(tGetFloatInput, UncalledHostFunction)                                     \
  X(tGetTextInput, UncalledHostFunction)                                      \
  X(tGetOpenFileName, UncalledHostFunction)                                   \
  X(tGetSaveFileName, UncalledHostFunction)                                   \
  X(tGetCurrentTimePoint, int())                                              \
  X(tGetExpectedNrOfTimePoints, int())                                        \
  X(tGetDimsOfFunctionalData, void(int* dimX, int* dimY, int* dimZ))          \
  X(tGetProjectName, void(char* buffer))                                      \
  X(tGetWatchFolder, void(char* buffer))                                      \
  X(tGetTargetFolder, void(char* buffer))                                     \
  X(tGetFeedbackFolder, void(char* buffer))                                   \
  X(tGetCurrentProtocolCondition, int())                                      \
  X(tGetFullNrOfPredictors, int())                                            \
  X(tGetCurrentNrOfPredictors, int())                                         \
  X(tGetNrOfConfoundPredictors, int())                                        \
  X(tGetValueOfDesignMatrix, float(int predictor, int timePoint))             \
  X(tGetNrOfContrasts, int())                                                 \
  X(tGetNrOfROIs, int())                                                      \
  X(tGetMeanOfROI, float(int roi))                                            \
  X(tGetDetrendedValueOfROI, float(int roi))                                  \
  X(tGetNrOfVoxelsOfROI, int(int roi))                                        \
  X(tGetBetaOfROI, float(int roi, int beta))                                  \
  X(tGetCoordsOfVoxelOfROI, bool(int roi, int voxel, int* x, int* y, int* z)) \
  X(tGetValueOfVoxelAtTime, float(int x, int y, int z, int timePoint))        \
  X(tGetTimeCourseData, short**())                                            \
  X(tGetBetaOfVoxel, double(int beta, int x, int y, int z))                   \
  X(tGetBetaMaps, double*())                                                  \
  X(tGetMapValueOfVoxel, float(int map, int x, int y, int z))                 \
  X(tGetContrastMaps, float*())                                               \
  X(tRegisterMaps, UncalledHostFunction)                                      \
  X(tSetPluginMapName, UncalledHostFunction)                                  \
  X(tSetDisplayStatusOfMap, UncalledHostFunction)                             \
  X(tUpdateMapList, UncalledHostFunction)                                     \
  X(tSetPluginMapsThreshold, UncalledHostFunction)                            \
  X(tShowPluginMaps, UncalledHostFunction)                                    \
  X(tGetPluginMaps, UncalledHostFunction)                                     \
  X(tGetNumberOfClasses, int())                                               \
  X(tGetCurrentClassifierOutput, int(float* buffer))

inline constexpr int kHostFunctionCount = 45;

// One function type per host function, named after it: hostfn::tGetMeanOfROI.
namespace hostfn {
#define NMB_DECLARE_HOST_FUNCTION_TYPE(name, type) using name = type;
NMB_HOST_FUNCTIONS(NMB_DECLARE_HOST_FUNCTION_TYPE)
#undef NMB_DECLARE_HOST_FUNCTION_TYPE
}  // namespace hostfn

struct HostFunctions {
#define NMB_DECLARE_HOST_FUNCTION_ENTRY(name, type) hostfn::name* name = nullptr;
  NMB_HOST_FUNCTIONS(NMB_DECLARE_HOST_FUNCTION_ENTRY)
#undef NMB_DECLARE_HOST_FUNCTION_ENTRY
};

// The plug-in's one table.  Entries start out null.
extern HostFunctions hostFunctions;

// Calls into the host table that tolerate a host lacking the function: the
// lifecycle must never crash Nimbrel, so a missing entry is skipped and the
// caller's neutral value stands in for its result.
//
//   int timePoint = callHost(hostFunctions.tGetCurrentTimePoint, 0);
template <typename Result, typename... Params, typename... Args>
Result callHost(Result (*function)(Params...), Result fallback, Args... args) {
  return function != nullptr ? function(args...) : fallback;
}

// The names in binding order, for diagnostics and tests.
extern const char* const kHostFunctionNames[kHostFunctionCount];

// Finds the host module among the modules already loaded into the process and
// binds every entry by name.  Returns false, leaving the table unchanged, when
// there is no host module or it does not export "tGetVersionOfNMB"; otherwise
// stores all 45 lookups as they come (null for a name the host lacks) and
// returns true.  May be called again; it then binds again.
bool bindHostFunctions();

// As bindHostFunctions, with the symbol lookup supplied by the caller (tests use
// it to present hosts that lack some functions).  `lookup` returns the address
// of the named function or null; `moduleFound` false means no host module.
using HostSymbolLookup = void* (*)(const char* name, void* context);
bool bindHostFunctionsWith(bool moduleFound, HostSymbolLookup lookup, void* context);
