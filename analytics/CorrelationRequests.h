// The six correlation requests: Pearson, partial and instant proxy correlation
// of the ROI time courses over a window of time points, each ending either at
// the host's current time point or at one the client gives ("AtTimePoint").
// Request handlers like those of protocol/Handlers.h, run by the dispatch on a
// request channel's thread; every request rebuilds its window from the host's
// voxel values.
#pragma once

#include "protocol/RequestContext.h"

namespace handlers {

void pearsonCorrelation(const RequestContext& context, ReplyWriter& reply);
void pearsonCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply);
void partialCorrelation(const RequestContext& context, ReplyWriter& reply);
void partialCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply);
void instantProxyCorrelation(const RequestContext& context, ReplyWriter& reply);
void instantProxyCorrelationAtTimePoint(const RequestContext& context, ReplyWriter& reply);

}  // namespace handlers
