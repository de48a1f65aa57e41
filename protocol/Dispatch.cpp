#include "protocol/Dispatch.h"

#include <iterator>

#include "analytics/CorrelationRequests.h"
#include "protocol/Handlers.h"
#include "protocol/ProtocolTexts.h"

namespace {

template <int N>
constexpr DispatchEntry entry(const char (&name)[N], RequestHandler handler) {
  return DispatchEntry{name, N - 1, handler};
}

constexpr DispatchEntry kDispatchTable[] = {
    entry(texts::request::kGetCurrentTimePoint, handlers::currentTimePoint),
    entry(texts::request::kGetExpectedNrOfTimePoints, handlers::expectedNrOfTimePoints),
    entry(texts::request::kGetDimsOfFunctionalData, handlers::dimsOfFunctionalData),
    entry(texts::request::kGetProjectName, handlers::projectName),
    entry(texts::request::kGetWatchFolder, handlers::watchFolder),
    entry(texts::request::kGetTargetFolder, handlers::targetFolder),
    entry(texts::request::kGetFeedbackFolder, handlers::feedbackFolder),
    entry(texts::request::kGetCurrentProtocolCondition, handlers::currentProtocolCondition),
    entry(texts::request::kGetFullNrOfPredictors, handlers::fullNrOfPredictors),
    entry(texts::request::kGetCurrentNrOfPredictors, handlers::currentNrOfPredictors),
    entry(texts::request::kGetNrOfConfoundPredictors, handlers::nrOfConfoundPredictors),
    entry(texts::request::kGetValueOfDesignMatrix, handlers::valueOfDesignMatrix),
    entry(texts::request::kGetNrOfContrasts, handlers::nrOfContrasts),
    entry(texts::request::kGetNrOfROIs, handlers::nrOfROIs),
    entry(texts::request::kGetMeanOfROI, handlers::meanOfROI),
    entry(texts::request::kGetDetrendedValueOfROI, handlers::detrendedValueOfROI),
    entry(texts::request::kGetExistingMeansOfROI, handlers::existingMeansOfROI),
    entry(texts::request::kGetMeanOfROIAtTimePoint, handlers::meanOfROIAtTimePoint),
    entry(texts::request::kGetNrOfVoxelsOfROI, handlers::nrOfVoxelsOfROI),
    entry(texts::request::kGetBetaOfROI, handlers::betaOfROI),
    entry(texts::request::kGetCoordsOfVoxelOfROI, handlers::coordsOfVoxelOfROI),
    entry(texts::request::kGetAllCoordsOfVoxelsOfROI, handlers::allCoordsOfVoxelsOfROI),
    entry(texts::request::kGetValueOfVoxelAtTime, handlers::valueOfVoxelAtTime),
    entry(texts::request::kGetValueOfAllVoxelsAtTime, handlers::valueOfAllVoxelsAtTime),
    entry(texts::request::kGetRawValueOfAllVoxelsAtTime, handlers::rawValueOfAllVoxelsAtTime),
    entry(texts::request::kGetBetaOfVoxel, handlers::betaOfVoxel),
    entry(texts::request::kGetBetaMaps, handlers::betaMaps),
    entry(texts::request::kGetMapValueOfVoxel, handlers::mapValueOfVoxel),
    entry(texts::request::kGetContrastMaps, handlers::contrastMaps),
    entry(texts::request::kGetNumberOfClasses, handlers::numberOfClasses),
    entry(texts::request::kGetCurrentClassifierOutput, handlers::currentClassifierOutput),
    entry(texts::request::kGetPearsonCorrelation, handlers::pearsonCorrelation),
    entry(texts::request::kGetPearsonCorrelationAtTimePoint, handlers::pearsonCorrelationAtTimePoint),
    entry(texts::request::kGetPartialCorrelation, handlers::partialCorrelation),
    entry(texts::request::kGetPartialCorrelationAtTimePoint, handlers::partialCorrelationAtTimePoint),
    entry(texts::request::kGetInstantProxyCorrelation, handlers::instantProxyCorrelation),
    entry(texts::request::kGetInstantProxyCorrelationAtTimePoint,
          handlers::instantProxyCorrelationAtTimePoint),
};
static_assert(std::size(kDispatchTable) == 37);

}  // namespace

const DispatchEntry* findDispatchEntry(const QString& name) {
  // The names pass through no translation: the plug-in installs none, and
  // without one tr() is the identity, so comparing the bytes is the same test.
  for (const DispatchEntry& candidate : kDispatchTable)
    if (name == QLatin1String(candidate.name, candidate.nameLength)) return &candidate;
  return nullptr;
}
