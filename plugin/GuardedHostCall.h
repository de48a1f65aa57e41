// Calls into the host table that tolerate a host lacking the function: the
// lifecycle must never crash Nimbrel, so a missing entry is skipped and the
// caller's neutral value stands in for its result.
//
//   int timePoint = callHost(hostFunctions.tGetCurrentTimePoint, 0);
#pragma once

template <typename Result, typename... Params, typename... Args>
Result callHost(Result (*function)(Params...), Result fallback, Args... args) {
  return function != nullptr ? function(args...) : fallback;
}
