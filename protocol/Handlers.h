// The request handlers of the scalar, indexed, array and classifier families.
// The request table (RequestTable.cpp) names them; each handler's checks, host
// calls and body are in one function, so a request's whole path is read there.
// The six correlation handlers are in analytics/CorrelationRequests.h.
#pragma once

#include "protocol/RequestContext.h"

namespace handlers {

// The sizes a handler announces its body in.
using framing::countedTextBytes;
using framing::kIntBytes;
using framing::kRealBytes;
using framing::kSampleBytes;

// Scalar family (ScalarRequests.cpp): no arguments, no checks.
void currentTimePoint(const RequestContext& context, ReplyWriter& reply);
void expectedNrOfTimePoints(const RequestContext& context, ReplyWriter& reply);
void dimsOfFunctionalData(const RequestContext& context, ReplyWriter& reply);
void projectName(const RequestContext& context, ReplyWriter& reply);
void watchFolder(const RequestContext& context, ReplyWriter& reply);
void targetFolder(const RequestContext& context, ReplyWriter& reply);
void feedbackFolder(const RequestContext& context, ReplyWriter& reply);
void currentProtocolCondition(const RequestContext& context, ReplyWriter& reply);
void fullNrOfPredictors(const RequestContext& context, ReplyWriter& reply);
void currentNrOfPredictors(const RequestContext& context, ReplyWriter& reply);
void nrOfConfoundPredictors(const RequestContext& context, ReplyWriter& reply);
void nrOfContrasts(const RequestContext& context, ReplyWriter& reply);
void nrOfROIs(const RequestContext& context, ReplyWriter& reply);
void numberOfClasses(const RequestContext& context, ReplyWriter& reply);

// Indexed family (IndexedRequests.cpp): one value named by its indices.
void valueOfDesignMatrix(const RequestContext& context, ReplyWriter& reply);
void meanOfROI(const RequestContext& context, ReplyWriter& reply);
void detrendedValueOfROI(const RequestContext& context, ReplyWriter& reply);
void meanOfROIAtTimePoint(const RequestContext& context, ReplyWriter& reply);
void nrOfVoxelsOfROI(const RequestContext& context, ReplyWriter& reply);
void betaOfROI(const RequestContext& context, ReplyWriter& reply);
void coordsOfVoxelOfROI(const RequestContext& context, ReplyWriter& reply);
void valueOfVoxelAtTime(const RequestContext& context, ReplyWriter& reply);
void betaOfVoxel(const RequestContext& context, ReplyWriter& reply);
void mapValueOfVoxel(const RequestContext& context, ReplyWriter& reply);

// Array family (ArrayRequests.cpp): runs of values without a count.
void existingMeansOfROI(const RequestContext& context, ReplyWriter& reply);
void allCoordsOfVoxelsOfROI(const RequestContext& context, ReplyWriter& reply);
void valueOfAllVoxelsAtTime(const RequestContext& context, ReplyWriter& reply);
void rawValueOfAllVoxelsAtTime(const RequestContext& context, ReplyWriter& reply);
void betaMaps(const RequestContext& context, ReplyWriter& reply);
void contrastMaps(const RequestContext& context, ReplyWriter& reply);

// Classifier (ClassifierRequest.cpp).
void currentClassifierOutput(const RequestContext& context, ReplyWriter& reply);

}  // namespace handlers
