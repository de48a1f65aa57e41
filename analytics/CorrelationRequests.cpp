#include "analytics/CorrelationRequests.h"

#include <vector>

#include "analytics/Correlation.h"
#include "analytics/RoiMean.h"
#include "protocol/ProtocolTexts.h"

namespace handlers {

namespace {

enum class Measure { Pearson, Partial, InstantProxy };

struct CorrelationKind {
  Measure measure;
  bool atTimePoint;
  // The window check's text differs for the plain partial request.
  const char* windowText;
};

bool roiCheckPasses(const CorrelationKind& kind, int rois) {
  if (kind.measure != Measure::InstantProxy) return rois >= 2;
  // The time-point form is defined on exactly three ROIs.
  return kind.atTimePoint ? rois == 3 : rois >= 3;
}

void writePairs(const std::vector<double>& window, int rois, int windowSize, Measure measure,
                ReplyWriter& reply) {
  const size_t w = size_t(windowSize);
  if (measure == Measure::Pearson) {
    for (int a = 0; a + 1 < rois; ++a)
      for (int b = a + 1; b < rois; ++b)
        reply.writeReal(::pearsonCorrelation(&window[size_t(a) * w], &window[size_t(b) * w], windowSize));
    return;
  }
  std::vector<double> partial(size_t(rois) * size_t(rois), 0.0);
  partialCorrelations(window.data(), partial.data(), rois, windowSize);
  for (int a = 0; a + 1 < rois; ++a)
    for (int b = a + 1; b < rois; ++b) reply.writeReal(partial[size_t(a) * size_t(rois) + size_t(b)]);
}

void answer(const RequestContext& context, ReplyWriter& reply, const CorrelationKind& kind) {
  NMB_REQUIRE_HOST(reply, tGetNrOfROIs);
  NMB_REQUIRE_HOST(reply, tGetCurrentTimePoint);
  NMB_REQUIRE_HOST(reply, tGetNrOfVoxelsOfROI);
  NMB_REQUIRE_HOST(reply, tGetCoordsOfVoxelOfROI);
  NMB_REQUIRE_HOST(reply, tGetValueOfVoxelAtTime);
  const int windowSize = context.arg(1);
  const int timePoint = kind.atTimePoint ? context.arg(2) : 0;

  const int rois = hostFunctions.tGetNrOfROIs();
  const int current = hostFunctions.tGetCurrentTimePoint();
  if (current < windowSize || windowSize < 1) return reply.fail(kind.windowText);
  if (!roiCheckPasses(kind, rois)) return reply.fail(texts::kNoRoiSelected);
  if (kind.atTimePoint) {
    if (timePoint > hostFunctions.tGetCurrentTimePoint()) return reply.fail(texts::kNotEnoughDataPoints);
    // A window ending at the time point would start before time point 0:
    // there are not enough data points before it either.
    if (timePoint < windowSize) return reply.fail(texts::kNotEnoughDataPoints);
  }
  const int windowEnd = kind.atTimePoint ? timePoint : current;
  const int participating = kind.measure == Measure::InstantProxy && kind.atTimePoint ? 3 : rois;

  const qint64 pairs = qint64(participating) * (participating - 1) / 2;
  const qint64 values = kind.measure == Measure::InstantProxy ? 1 : pairs;
  // A host reporting more ROIs than any reply could carry pairs for gets the
  // echo with an empty run, the meaning of a count that cannot be served.
  const bool servable = ReplyWriter::runLength(pairs, int(sizeof(double))) == pairs &&
                        ReplyWriter::runLength(qint64(participating) * windowSize, int(sizeof(double))) != 0;
  reply.begin(framing::kIntBytes * (kind.atTimePoint ? 2 : 1) +
              (servable ? framing::kRealBytes * values : 0));
  reply.writeInt(windowSize);
  if (kind.atTimePoint) reply.writeInt(timePoint);
  if (!servable) return;

  const std::vector<double> window = collectRoiWindows(participating, windowEnd, windowSize);
  if (kind.measure == Measure::InstantProxy)
    reply.writeReal(::instantProxyCorrelation(window.data(), participating, windowSize));
  else
    writePairs(window, participating, windowSize, kind.measure, reply);
}

}  // namespace

void pearsonCorrelation(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::Pearson, false, texts::kWindowTooBig});
}
void pearsonCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::Pearson, true, texts::kWindowTooBig});
}
void partialCorrelation(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::Partial, false, texts::kWindowTooBigOrSmall});
}
void partialCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::Partial, true, texts::kWindowTooBig});
}
void instantProxyCorrelation(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::InstantProxy, false, texts::kWindowTooBig});
}
void instantProxyCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply) {
  answer(context, reply, {Measure::InstantProxy, true, texts::kWindowTooBig});
}

}  // namespace handlers
