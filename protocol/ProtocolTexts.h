// Every text of the plug-in's protocol, in one place: role names, notification
// names, request names and error texts.  They are plain ASCII, compared whole
// and case-sensitively; the code passes them through its classes' translation
// function (tr), which without a translation returns them unchanged.
#pragma once

namespace texts {

// Role handshake.
inline constexpr char kRequestRole[] = "Request Socket";
inline constexpr char kExecuteRole[] = "Execute Socket";

// Step notifications on execute connections.
inline constexpr char kPreStepCalled[] = "PreStepCalled";
inline constexpr char kPostStepCalled[] = "PostStepCalled";
inline constexpr char kPostRunCalled[] = "PostRunCalled";

// Discovery datagram, followed by the port in decimal.
inline constexpr char kBroadcastPrefix[] = "Nimbrel Broadcast: ";

// Request names, in the order the executor tries them.  Names that mirror a
// host function are spelled exactly as the host exports it.
namespace request {
inline constexpr char kGetCurrentTimePoint[] = "tGetCurrentTimePoint";
inline constexpr char kGetExpectedNrOfTimePoints[] = "tGetExpectedNrOfTimePoints";
inline constexpr char kGetDimsOfFunctionalData[] = "tGetDimsOfFunctionalData";
inline constexpr char kGetProjectName[] = "tGetProjectName";
inline constexpr char kGetWatchFolder[] = "tGetWatchFolder";
inline constexpr char kGetTargetFolder[] = "tGetTargetFolder";
inline constexpr char kGetFeedbackFolder[] = "tGetFeedbackFolder";
inline constexpr char kGetCurrentProtocolCondition[] = "tGetCurrentProtocolCondition";
inline constexpr char kGetFullNrOfPredictors[] = "tGetFullNrOfPredictors";
inline constexpr char kGetCurrentNrOfPredictors[] = "tGetCurrentNrOfPredictors";
inline constexpr char kGetNrOfConfoundPredictors[] = "tGetNrOfConfoundPredictors";
inline constexpr char kGetValueOfDesignMatrix[] = "tGetValueOfDesignMatrix";
inline constexpr char kGetNrOfContrasts[] = "tGetNrOfContrasts";
inline constexpr char kGetNrOfROIs[] = "tGetNrOfROIs";
inline constexpr char kGetMeanOfROI[] = "tGetMeanOfROI";
inline constexpr char kGetDetrendedValueOfROI[] = "tGetDetrendedValueOfROI";
inline constexpr char kGetExistingMeansOfROI[] = "tGetExistingMeansOfROI";
inline constexpr char kGetMeanOfROIAtTimePoint[] = "tGetMeanOfROIAtTimePoint";
inline constexpr char kGetNrOfVoxelsOfROI[] = "tGetNrOfVoxelsOfROI";
inline constexpr char kGetBetaOfROI[] = "tGetBetaOfROI";
inline constexpr char kGetCoordsOfVoxelOfROI[] = "tGetCoordsOfVoxelOfROI";
inline constexpr char kGetAllCoordsOfVoxelsOfROI[] = "tGetAllCoordsOfVoxelsOfROI";
inline constexpr char kGetValueOfVoxelAtTime[] = "tGetValueOfVoxelAtTime";
inline constexpr char kGetValueOfAllVoxelsAtTime[] = "tGetValueOfAllVoxelsAtTime";
inline constexpr char kGetRawValueOfAllVoxelsAtTime[] = "tGetRawValueOfAllVoxelsAtTime";
inline constexpr char kGetBetaOfVoxel[] = "tGetBetaOfVoxel";
inline constexpr char kGetBetaMaps[] = "tGetBetaMaps";
inline constexpr char kGetMapValueOfVoxel[] = "tGetMapValueOfVoxel";
inline constexpr char kGetContrastMaps[] = "tGetContrastMaps";
inline constexpr char kGetNumberOfClasses[] = "tGetNumberOfClasses";
inline constexpr char kGetCurrentClassifierOutput[] = "tGetCurrentClassifierOutput";
inline constexpr char kGetPearsonCorrelation[] = "tGetPearsonCorrelation";
inline constexpr char kGetPearsonCorrelationAtTimePoint[] = "tGetPearsonCorrelationAtTimePoint";
inline constexpr char kGetPartialCorrelation[] = "tGetPartialCorrelation";
inline constexpr char kGetPartialCorrelationAtTimePoint[] = "tGetPartialCorrelationAtTimePoint";
inline constexpr char kGetInstantProxyCorrelation[] = "tGetInstantProxyCorrelation";
inline constexpr char kGetInstantProxyCorrelationAtTimePoint[] = "tGetInstantProxyCorrelationAtTimePoint";
}  // namespace request

// The first string of every error reply.
inline constexpr char kWrongRequest[] = "Wrong request!";

// Error texts.
inline constexpr char kNoFunctionCallMatched[] = "No function call matched!";
inline constexpr char kTimePointOutOfRangeNr[] = "NrOfTimePoint out of range";
inline constexpr char kPredictorOutOfRange[] = "NrOfPred out of range";
inline constexpr char kRoiOutOfRange[] = "NrOfROI out of range";
inline constexpr char kRoiOrTimePointOutOfRange[] = "NrOfROI/toTimePoint out of range";
inline constexpr char kBetaOutOfRange[] = "NrOfBeta out of range";
inline constexpr char kVoxelOutOfRange[] = "NrOfVoxel out of range";
inline constexpr char kVoxelLocationOutOfRangeSpaced[] = "Voxel location out of range";
inline constexpr char kVoxelLocationOutOfRange[] = "VoxelLocation out of range";
inline constexpr char kMapOutOfRange[] = "NrOfMaps out of range";
inline constexpr char kTimePointOutOfRange[] = "TimePoint out of range";
inline constexpr char kNoRawData[] = "No Raw data Available. Please start the plugin before starting the run.";
// The plug-in ran out of memory for the raw copy at or before this time point.
inline constexpr char kRawDataNotKept[] = "Raw data of this time point not kept: the plugin ran out of memory.";
inline constexpr char kClassifierNotUsed[] = "Real-time SVM classifier is not used";
inline constexpr char kClassifierNotIncremental[] = "Classifier is not producing incremental output";
inline constexpr char kClassifierNoOutputYet[] = "Classifier is working but no output has been generated yet";
inline constexpr char kWindowTooBig[] = "Windows size bigger than data available";
inline constexpr char kWindowTooBigOrSmall[] = "Windows size bigger(smaller) than data available";
inline constexpr char kNoRoiSelected[] = "No ROI selected";
inline constexpr char kNotEnoughDataPoints[] = "Not enough data points available";

// Error texts of a host that lacks a function or hands back no array: the
// prefix, the function's name, then one of the two endings, e.g.
// "Host function tGetBetaMaps is not available".
inline constexpr char kHostFunctionPrefix[] = "Host function ";
inline constexpr char kHostFunctionMissingSuffix[] = " is not available";
inline constexpr char kHostArrayMissingSuffix[] = " returned no data";

}  // namespace texts
