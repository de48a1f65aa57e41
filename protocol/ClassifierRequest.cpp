// The classifier output: the host's result, then one value per pair of
// classes; the negative class counts the host uses as states map to error
// texts, and any other negative count to the one empty reply.
#include <vector>

#include "protocol/Handlers.h"
#include "protocol/HostCounts.h"
#include "protocol/ProtocolTexts.h"

namespace handlers {

namespace {
constexpr int kClassifierNotUsed = -3;
constexpr int kClassifierNotIncremental = -2;
}  // namespace

void currentClassifierOutput(const RequestContext&, ReplyWriter& reply) {
  NMB_REQUIRE_HOST(reply, tGetNumberOfClasses);
  const int classes = hostFunctions.tGetNumberOfClasses();
  if (classes == kClassifierNotUsed) return reply.fail(texts::kClassifierNotUsed);
  if (classes == kClassifierNotIncremental) return reply.fail(texts::kClassifierNotIncremental);
  if (classes == 0) return reply.fail(texts::kClassifierNoOutputYet);
  if (classes < 0) return reply.makeEmpty();
  NMB_REQUIRE_HOST(reply, tGetCurrentClassifierOutput);
  // A class count whose pairs no reply could carry (or no buffer could hold)
  // is as unusable as the other negative counts: the empty reply, and the host
  // is not handed a buffer it would overrun.
  const qint64 pairs = hostcounts::classPairs(classes);
  if (classes > 1 && ReplyWriter::runLength(pairs, kRealBytes) != pairs) return reply.makeEmpty();
  // One class has no pairs; the host still gets a buffer, never a null pointer.
  std::vector<float> output(size_t(pairs > 0 ? pairs : 1), 0.0f);
  const int result = hostFunctions.tGetCurrentClassifierOutput(output.data());
  reply.begin(kIntBytes + kRealBytes * pairs);
  reply.writeInt(result);
  for (qint64 i = 0; i < pairs; ++i) reply.writeReal(output[size_t(i)]);
}

}  // namespace handlers
