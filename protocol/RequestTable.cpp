#include "protocol/RequestTable.h"

#include <cstring>
#include <iterator>

#include "analytics/CorrelationRequests.h"
#include "protocol/Handlers.h"
#include "protocol/ProtocolTexts.h"

namespace {

template <int N>
constexpr RequestEntry entry(const char (&name)[N], int argumentCount, RequestHandler handler) {
  return RequestEntry{name, N - 1, argumentCount, handler};
}

namespace r = texts::request;
namespace h = handlers;
constexpr RequestEntry kRequests[] = {
    entry(r::kGetCurrentTimePoint, 0, h::currentTimePoint),
    entry(r::kGetExpectedNrOfTimePoints, 0, h::expectedNrOfTimePoints),
    entry(r::kGetDimsOfFunctionalData, 0, h::dimsOfFunctionalData),
    entry(r::kGetProjectName, 0, h::projectName),
    entry(r::kGetWatchFolder, 0, h::watchFolder),
    entry(r::kGetTargetFolder, 0, h::targetFolder),
    entry(r::kGetFeedbackFolder, 0, h::feedbackFolder),
    entry(r::kGetCurrentProtocolCondition, 0, h::currentProtocolCondition),
    entry(r::kGetFullNrOfPredictors, 0, h::fullNrOfPredictors),
    entry(r::kGetCurrentNrOfPredictors, 0, h::currentNrOfPredictors),
    entry(r::kGetNrOfConfoundPredictors, 0, h::nrOfConfoundPredictors),
    entry(r::kGetValueOfDesignMatrix, 2, h::valueOfDesignMatrix),  // predictor, time point
    entry(r::kGetNrOfContrasts, 0, h::nrOfContrasts),
    entry(r::kGetNrOfROIs, 0, h::nrOfROIs),
    entry(r::kGetMeanOfROI, 1, h::meanOfROI),                                  // ROI
    entry(r::kGetDetrendedValueOfROI, 1, h::detrendedValueOfROI),              // ROI
    entry(r::kGetExistingMeansOfROI, 2, h::existingMeansOfROI),                // ROI, end time point
    entry(r::kGetMeanOfROIAtTimePoint, 2, h::meanOfROIAtTimePoint),            // ROI, time point
    entry(r::kGetNrOfVoxelsOfROI, 1, h::nrOfVoxelsOfROI),                      // ROI
    entry(r::kGetBetaOfROI, 2, h::betaOfROI),                                  // ROI, beta
    entry(r::kGetCoordsOfVoxelOfROI, 2, h::coordsOfVoxelOfROI),                // ROI, voxel
    entry(r::kGetAllCoordsOfVoxelsOfROI, 1, h::allCoordsOfVoxelsOfROI),        // ROI
    entry(r::kGetValueOfVoxelAtTime, 4, h::valueOfVoxelAtTime),                // x, y, z, time point
    entry(r::kGetValueOfAllVoxelsAtTime, 1, h::valueOfAllVoxelsAtTime),        // time point
    entry(r::kGetRawValueOfAllVoxelsAtTime, 1, h::rawValueOfAllVoxelsAtTime),  // time point
    entry(r::kGetBetaOfVoxel, 4, h::betaOfVoxel),                              // beta, x, y, z
    entry(r::kGetBetaMaps, 0, h::betaMaps),
    entry(r::kGetMapValueOfVoxel, 4, h::mapValueOfVoxel),  // map, x, y, z
    entry(r::kGetContrastMaps, 0, h::contrastMaps),
    entry(r::kGetNumberOfClasses, 0, h::numberOfClasses),
    entry(r::kGetCurrentClassifierOutput, 0, h::currentClassifierOutput),
    // The correlations: window size, and for the AtTimePoint forms the window's end.
    entry(r::kGetPearsonCorrelation, 1, h::pearsonCorrelation),
    entry(r::kGetPearsonCorrelationAtTimePoint, 2, h::pearsonCorrelationAtTimePoint),
    entry(r::kGetPartialCorrelation, 1, h::partialCorrelation),
    entry(r::kGetPartialCorrelationAtTimePoint, 2, h::partialCorrelationAtTimePoint),
    entry(r::kGetInstantProxyCorrelation, 1, h::instantProxyCorrelation),
    entry(r::kGetInstantProxyCorrelationAtTimePoint, 2, h::instantProxyCorrelationAtTimePoint),
};
static_assert(std::size(kRequests) == 37);

}  // namespace

const RequestEntry* findRequest(const char* name, int length) {
  for (const RequestEntry& candidate : kRequests)
    if (candidate.nameLength == length && std::memcmp(candidate.name, name, size_t(length)) == 0)
      return &candidate;
  return nullptr;
}
