// What every request handler gets: the run record it may read, and the
// decoded request (element 0 the name, then the integer arguments).
//
// Handlers run on a request channel's thread.  Each one runs its checks in
// order, asking the host for every bound when the check runs, and answers
// through the ReplyWriter: fail() for the first failed check, otherwise
// begin() and the values.
#pragma once

#include <QList>
#include <QVariant>

#include "plugin/HostFunctions.h"
#include "analytics/RunRecord.h"
#include "protocol/ReplyWriter.h"

struct RequestContext {
  const RunRecordReader& record;
  const QList<QVariant>& request;

  // Argument `index` (1 to 4, wire order); an argument the list lacks is 0.
  int arg(int index) const { return index < request.size() ? request.at(index).toInt() : 0; }
};

using RequestHandler = void (*)(const RequestContext& context, ReplyWriter& reply);

// A request that needs a host function the host did not export is refused
// with a text naming it, never called through a null pointer.
#define NMB_REQUIRE_HOST(reply, function)         \
  do {                                            \
    if (hostFunctions.function == nullptr) {      \
      (reply).failHostFunctionMissing(#function); \
      return;                                     \
    }                                             \
  } while (false)

// The same for a host function that handed back a null array.
#define NMB_FAIL_NULL_HOST_ARRAY(reply, function) (reply).failHostArrayMissing(#function)

// Index checks: valid when 0 <= index < bound.
inline bool inRange(int index, int bound) { return index >= 0 && index < bound; }
