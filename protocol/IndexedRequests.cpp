// Indexed family: checks on the indices, then the echoed arguments and the one
// value they name.
#include <optional>

#include "analytics/RoiMean.h"
#include "protocol/Handlers.h"
#include "protocol/HostCounts.h"
#include "protocol/ProtocolTexts.h"

namespace handlers {

namespace {

int storedTimePoint(const RequestContext& context) {
  return context.record.snapshot().storedTimePoint;
}

// The host answers exactly 0.0 for a value it does not have at the moment;
// the value recorded at the last post-step is sent instead.  Without a
// recorded entry (no post-step yet, or the ROI count grew since) the host's
// 0.0 is sent.  An ordered comparison, so a NaN goes out unchanged.
float withRecordedFallback(float live, std::optional<float> (RunRecordReader::*recorded)(int) const,
                           const RequestContext& context, int roi) {
  if (live != 0.0f) return live;
  return (context.record.*recorded)(roi).value_or(live);
}

}  // namespace

void valueOfDesignMatrix(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetFullNrOfPredictors);
  NMB_REQUIRE_HOST(reply, tGetValueOfDesignMatrix);
  const int predictor = context.arg(1);
  const int timePoint = context.arg(2);
  if (!inRange(timePoint, storedTimePoint(context))) return reply.fail(texts::kTimePointOutOfRangeNr);
  if (!inRange(predictor, hostFunctions.tGetFullNrOfPredictors()))
    return reply.fail(texts::kPredictorOutOfRange);
  reply.begin(kIntBytes * 2 + kRealBytes);
  reply.writeInt(predictor);
  reply.writeInt(timePoint);
  reply.writeReal(hostFunctions.tGetValueOfDesignMatrix(predictor, timePoint));
}

void meanOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetMeanOfROI);
  const int roi = context.arg(1);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  const float live = hostFunctions.tGetMeanOfROI(roi);
  const float value = withRecordedFallback(live, &RunRecordReader::storedRoiMean, context, roi);
  reply.begin(kIntBytes + kRealBytes);
  reply.writeInt(roi);
  reply.writeReal(value);
}

void detrendedValueOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetDetrendedValueOfROI);
  const int roi = context.arg(1);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  const float live = hostFunctions.tGetDetrendedValueOfROI(roi);
  const float value = withRecordedFallback(live, &RunRecordReader::storedDetrendedValue, context, roi);
  reply.begin(kIntBytes + kRealBytes);
  reply.writeInt(roi);
  reply.writeReal(value);
}

void meanOfROIAtTimePoint(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  NMB_REQUIRE_HOST(reply, tGetCoordsOfVoxelOfROI);
  NMB_REQUIRE_HOST(reply, tGetValueOfVoxelAtTime);
  const int roi = context.arg(1);
  const int timePoint = context.arg(2);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOrTimePointOutOfRange);
  if (!inRange(timePoint, storedTimePoint(context))) return reply.fail(texts::kRoiOrTimePointOutOfRange);
  reply.begin(kIntBytes * 2 + kRealBytes);
  reply.writeInt(roi);
  reply.writeInt(timePoint);
  reply.writeReal(roiMeanFromVoxels(roi, timePoint));
}

void nrOfVoxelsOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  const int roi = context.arg(1);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  reply.begin(kIntBytes * 2);
  reply.writeInt(roi);
  reply.writeInt(hostFunctions.tGetNrOfVoxelsOfROI(roi));
}

void betaOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetFullNrOfPredictors);
  NMB_REQUIRE_HOST(reply, tGetBetaOfROI);
  const int roi = context.arg(1);
  const int beta = context.arg(2);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  if (!inRange(beta, hostFunctions.tGetFullNrOfPredictors())) return reply.fail(texts::kBetaOutOfRange);
  reply.begin(kIntBytes * 2 + kRealBytes);
  reply.writeInt(roi);
  reply.writeInt(beta);
  reply.writeReal(hostFunctions.tGetBetaOfROI(roi, beta));
}

void coordsOfVoxelOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  NMB_REQUIRE_HOST(reply, tGetCoordsOfVoxelOfROI);
  const int roi = context.arg(1);
  const int voxel = context.arg(2);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  if (!inRange(voxel, hostFunctions.tGetNrOfVoxelsOfROI(roi))) return reply.fail(texts::kVoxelOutOfRange);
  // A host that refuses the voxel writes nothing; the reply then carries 0s.
  int x = 0, y = 0, z = 0;
  hostFunctions.tGetCoordsOfVoxelOfROI(roi, voxel, &x, &y, &z);
  reply.begin(kIntBytes * 5);
  reply.writeInt(roi);
  reply.writeInt(voxel);
  reply.writeInt(x);
  reply.writeInt(y);
  reply.writeInt(z);
}

void valueOfVoxelAtTime(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetCurrentTimePoint);
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetValueOfVoxelAtTime);
  const int x = context.arg(1), y = context.arg(2), z = context.arg(3);
  const int timePoint = context.arg(4);
  // The host's live count bounds this one, not the recorded time point.
  if (!inRange(timePoint, hostFunctions.tGetCurrentTimePoint()))
    return reply.fail(texts::kTimePointOutOfRangeNr);
  if (!hostcounts::queryDims().contains(x, y, z)) return reply.fail(texts::kVoxelLocationOutOfRangeSpaced);
  reply.begin(kIntBytes * 4 + kRealBytes);
  reply.writeInt(x);
  reply.writeInt(y);
  reply.writeInt(z);
  reply.writeInt(timePoint);
  reply.writeReal(hostFunctions.tGetValueOfVoxelAtTime(x, y, z, timePoint));
}

void betaOfVoxel(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetCurrentNrOfPredictors);
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetBetaOfVoxel);
  const int beta = context.arg(1);
  const int x = context.arg(2), y = context.arg(3), z = context.arg(4);
  if (!inRange(beta, hostFunctions.tGetCurrentNrOfPredictors())) return reply.fail(texts::kBetaOutOfRange);
  if (!hostcounts::queryDims().contains(x, y, z)) return reply.fail(texts::kVoxelLocationOutOfRange);
  reply.begin(kIntBytes * 4 + kRealBytes);
  reply.writeInt(beta);
  reply.writeInt(x);
  reply.writeInt(y);
  reply.writeInt(z);
  reply.writeReal(hostFunctions.tGetBetaOfVoxel(beta, x, y, z));
}

void mapValueOfVoxel(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfContrasts);
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetMapValueOfVoxel);
  const int map = context.arg(1);
  const int x = context.arg(2), y = context.arg(3), z = context.arg(4);
  if (!inRange(map, hostFunctions.tGetNrOfContrasts())) return reply.fail(texts::kMapOutOfRange);
  if (!hostcounts::queryDims().contains(x, y, z)) return reply.fail(texts::kVoxelLocationOutOfRange);
  reply.begin(kIntBytes * 4 + kRealBytes);
  reply.writeInt(map);
  reply.writeInt(x);
  reply.writeInt(y);
  reply.writeInt(z);
  reply.writeReal(hostFunctions.tGetMapValueOfVoxel(map, x, y, z));
}

}  // namespace handlers
