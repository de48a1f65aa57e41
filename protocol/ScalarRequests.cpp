// Scalar family: the name, then the value or values the host reports now.
#include <array>

#include "protocol/Handlers.h"

namespace handlers {

namespace {

// The host writes texts into buffers it gets no length for.  Give it far more
// than the capacity it was promised, and terminate what it wrote inside the
// buffer whatever it did.
constexpr int kTextBufferSize = 4096;
static_assert(kTextBufferSize >= kFolderBufferSize && kTextBufferSize >= kProjectNameBufferSize);

void sendText(void (*hostFunction)(char*), ReplyWriter& reply) {
  std::array<char, kTextBufferSize> buffer{};
  hostFunction(buffer.data());
  buffer.back() = '\0';
  const int length = int(qstrnlen(buffer.data(), kTextBufferSize));
  reply.begin(countedTextBytes(length));
  reply.writeString(buffer.data(), length);
}

void sendInt(int value, ReplyWriter& reply) {
  reply.begin(kIntBytes);
  reply.writeInt(value);
}

}  // namespace

void currentTimePoint(const RequestContext& context, ReplyWriter& reply) {
  // During a run the time point of the last post-step, even while the host
  // has moved on; between runs the host's own count.
  const RunRecordReader::Snapshot record = context.record.snapshot();
  if (!record.runStartPending) return sendInt(record.storedTimePoint, reply);
  NMB_REQUIRE_HOST(reply, tGetCurrentTimePoint);
  sendInt(hostFunctions.tGetCurrentTimePoint(), reply);
}

void expectedNrOfTimePoints(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetExpectedNrOfTimePoints);
  sendInt(hostFunctions.tGetExpectedNrOfTimePoints(), reply);
}

void dimsOfFunctionalData(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetDimsOfFunctionalData);
  int x = 0, y = 0, z = 0;
  hostFunctions.tGetDimsOfFunctionalData(&x, &y, &z);
  reply.begin(kIntBytes * 3);
  reply.writeInt(x);
  reply.writeInt(y);
  reply.writeInt(z);
}

void projectName(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetProjectName);
  sendText(hostFunctions.tGetProjectName, reply);
}

void watchFolder(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetWatchFolder);
  sendText(hostFunctions.tGetWatchFolder, reply);
}

void targetFolder(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetTargetFolder);
  sendText(hostFunctions.tGetTargetFolder, reply);
}

void feedbackFolder(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetFeedbackFolder);
  sendText(hostFunctions.tGetFeedbackFolder, reply);
}

void currentProtocolCondition(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetCurrentProtocolCondition);
  sendInt(hostFunctions.tGetCurrentProtocolCondition(), reply);
}

void fullNrOfPredictors(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetFullNrOfPredictors);
  sendInt(hostFunctions.tGetFullNrOfPredictors(), reply);
}

void currentNrOfPredictors(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetCurrentNrOfPredictors);
  sendInt(hostFunctions.tGetCurrentNrOfPredictors(), reply);
}

void nrOfConfoundPredictors(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfConfoundPredictors);
  sendInt(hostFunctions.tGetNrOfConfoundPredictors(), reply);
}

void nrOfContrasts(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfContrasts);
  sendInt(hostFunctions.tGetNrOfContrasts(), reply);
}

void nrOfROIs(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  sendInt(hostFunctions.tGetNrOfROIs(), reply);
}

void numberOfClasses(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNumberOfClasses);
  sendInt(hostFunctions.tGetNumberOfClasses(), reply);
}

}  // namespace handlers
