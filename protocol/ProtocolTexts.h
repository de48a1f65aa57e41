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
inline constexpr char kClassifierNotUsed[] = "Real-time SVM classifier is not used";
inline constexpr char kClassifierNotIncremental[] = "Classifier is not producing incremental output";
inline constexpr char kClassifierNoOutputYet[] = "Classifier is working but no output has been generated yet";
inline constexpr char kWindowTooBig[] = "Windows size bigger than data available";
inline constexpr char kWindowTooBigOrSmall[] = "Windows size bigger(smaller) than data available";
inline constexpr char kNoRoiSelected[] = "No ROI selected";
inline constexpr char kNotEnoughDataPoints[] = "Not enough data points available";

}  // namespace texts
