// Array family: the echoed arguments, then a run of values without a count.
// Runs are written straight into the reply block; where the host's array
// pointer is asked for before each element, that call stays, since the host
// may replace its arrays while it processes.
#include <QVector>
#include <QtEndian>

#include "analytics/RoiMean.h"
#include "protocol/Handlers.h"
#include "protocol/HostCounts.h"
#include "protocol/ProtocolTexts.h"

namespace handlers {

void existingMeansOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  NMB_REQUIRE_HOST(reply, tGetCoordsOfVoxelOfROI);
  NMB_REQUIRE_HOST(reply, tGetValueOfVoxelAtTime);
  const int roi = context.arg(1);
  const int endTimePoint = context.arg(2);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOrTimePointOutOfRange);
  if (!inRange(endTimePoint, context.record.snapshot().storedTimePoint))
    return reply.fail(texts::kRoiOrTimePointOutOfRange);
  const qint64 means = ReplyWriter::runLength(endTimePoint, kRealBytes);
  reply.begin(kIntBytes * 2 + kRealBytes * means);
  reply.writeInt(roi);
  reply.writeInt(endTimePoint);
  for (int t = 0; t < means; ++t) reply.writeReal(roiMeanFromVoxels(roi, t));
}

void allCoordsOfVoxelsOfROI(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  NMB_REQUIRE_HOST(reply, tGetCoordsOfVoxelOfROI);
  const int roi = context.arg(1);
  if (!inRange(roi, hostFunctions.tGetNrOfROIs())) return reply.fail(texts::kRoiOutOfRange);
  const qint64 voxels =
      ReplyWriter::runLength(3 * qint64(hostFunctions.tGetNrOfVoxelsOfROI(roi)), kIntBytes) / 3;
  QVector<qint32> coords;
  coords.reserve(int(3 * voxels));
  for (int v = 0; v < voxels; ++v) {
    int x = 0, y = 0, z = 0;
    hostFunctions.tGetCoordsOfVoxelOfROI(roi, v, &x, &y, &z);
    coords << x << y << z;
  }
  reply.begin(kIntBytes + kIntBytes * qint64(coords.size()));
  reply.writeInt(roi);
  for (qint32 value : coords) reply.writeInt(value);
}

void valueOfAllVoxelsAtTime(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetCurrentTimePoint);
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetTimeCourseData);
  const int timePoint = context.arg(1);
  if (!inRange(timePoint, hostFunctions.tGetCurrentTimePoint()))
    return reply.fail(texts::kTimePointOutOfRange);
  const qint64 voxels = ReplyWriter::runLength(hostcounts::queryDims().voxels(), kSampleBytes);
  reply.begin(kIntBytes + kSampleBytes * voxels);
  reply.writeInt(timePoint);
  char* out = reply.claim(kSampleBytes * voxels);
  for (qint64 i = 0; i < voxels; ++i) {
    short** volumes = hostFunctions.tGetTimeCourseData();
    if (volumes == nullptr || volumes[timePoint] == nullptr)
      return NMB_FAIL_NULL_HOST_ARRAY(reply, tGetTimeCourseData);
    qToBigEndian<qint16>(volumes[timePoint][i], out + kSampleBytes * i);
  }
}

void rawValueOfAllVoxelsAtTime(const RequestContext& context, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  const int timePoint = context.arg(1);
  const RunRecordReader::Snapshot record = context.record.snapshot();
  // A copy shorter than the time point means the plug-in saw no run start.
  if (record.rawSampleCount < record.storedTimePoint) return reply.fail(texts::kNoRawData);
  if (!inRange(timePoint, record.storedTimePoint)) return reply.fail(texts::kTimePointOutOfRange);
  const qint64 voxels = ReplyWriter::runLength(hostcounts::queryDims().voxels(), kSampleBytes);
  reply.begin(kIntBytes + kSampleBytes * voxels);
  reply.writeInt(timePoint);
  switch (context.record.copyRawSamples(voxels * timePoint, voxels, reply.claim(kSampleBytes * voxels))) {
    case RunRecordReader::RawCopy::Copied:
      return;
    // A volume beyond the copy (a run longer than expected, or dimensions that
    // changed since the run started) has no stored samples: refused as out of
    // range rather than read from outside the copy.
    case RunRecordReader::RawCopy::OutsideRecord:
      return reply.fail(texts::kTimePointOutOfRange);
    case RunRecordReader::RawCopy::NotKept:
      return reply.fail(texts::kRawDataNotKept);
  }
}

void betaMaps(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetCurrentNrOfPredictors);
  NMB_REQUIRE_HOST(reply, tGetBetaMaps);
  const qint64 voxels = hostcounts::queryDims().voxels();
  const qint64 count =
      ReplyWriter::runLength(hostcounts::product(voxels, hostFunctions.tGetCurrentNrOfPredictors()), kRealBytes);
  reply.begin(kRealBytes * count);
  char* out = reply.claim(kRealBytes * count);
  for (qint64 i = 0; i < count; ++i) {
    const double* maps = hostFunctions.tGetBetaMaps();
    if (maps == nullptr) return NMB_FAIL_NULL_HOST_ARRAY(reply, tGetBetaMaps);
    ReplyWriter::putReal(float(maps[i]), out + kRealBytes * i);
  }
}

void contrastMaps(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  NMB_REQUIRE_HOST(reply, tGetNrOfContrasts);
  NMB_REQUIRE_HOST(reply, tGetContrastMaps);
  const qint64 voxels = hostcounts::queryDims().voxels();
  const qint64 count =
      ReplyWriter::runLength(hostcounts::product(voxels, hostFunctions.tGetNrOfContrasts()), kRealBytes);
  reply.begin(kRealBytes * count);
  char* out = reply.claim(kRealBytes * count);
  for (qint64 i = 0; i < count; ++i) {
    const float* maps = hostFunctions.tGetContrastMaps();
    if (maps == nullptr) return NMB_FAIL_NULL_HOST_ARRAY(reply, tGetContrastMaps);
    ReplyWriter::putReal(maps[i], out + kRealBytes * i);
  }
}

}  // namespace handlers
