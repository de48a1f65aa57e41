// The latency ledger: where each volume's time goes, from the scanner's
// trigger to the feedback on screen, all on the monotonic clock.
//
//   nmb::Ledger ledger;
//   steps.setLedger(&ledger);                    // stamps "PreStepCalled" and "PostStepCalled"
//   auto n = steps.waitForPostStep(10s);
//   auto means = client.meansOfAllRois();
//   ledger.stamp(n->timePoint, nmb::Ledger::Values, client.lastReceived());
//   draw(means);
//   ledger.stamp(n->timePoint, nmb::Ledger::Shown);
//   nmb::Stages s = ledger.stages(n->timePoint);  // trigger->post-step, post-step->values, values->shown
//
// A volume is counted as the notifications count it: the run's first is 1.
// The first stamp of a moment stays (a repeated step keeps its first arrival).
// `firstWallClock()` is the system clock at the first stamp, so any stamp
// converts to wall time.  A stamp stores one time point in a vector indexed by
// the volume (grown in steps, never per stamp): a few nanoseconds.  One thread
// stamps a Ledger, or the caller serialises the stamps.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "nmbclient/Socket.h"

namespace nmb {

// A volume's moments; empty where not seen.
struct Moments {
  std::optional<net::Clock::time_point> trigger, preStep, postStep, values, shown;
};

// A volume's stage times in milliseconds; empty where a moment is missing.
struct Stages {
  std::optional<double> triggerToPostStepMs, postStepToValuesMs, valuesToShownMs;
};

Stages stagesOf(const Moments& m);

class Ledger {
 public:
  enum Moment { Trigger, PreStep, PostStep, Values, Shown, kMoments };

  // Stamps `moment` of `volume` (from 1; others are ignored) at `at`.
  void stamp(std::int32_t volume, Moment moment, net::Clock::time_point at = net::Clock::now());
  Moments moments(std::int32_t volume) const;
  Stages stages(std::int32_t volume) const { return stagesOf(moments(volume)); }
  // The system clock at the first stamp, and that stamp; empty before it.
  std::optional<std::chrono::system_clock::time_point> firstWallClock() const { return firstWall_; }
  std::optional<net::Clock::time_point> firstStamp() const { return first_; }
  // Forgets every volume (a new run counts from 1 again).
  void clear() { volumes_.clear(); }

 private:
  using Entry = std::array<net::Clock::time_point, kMoments>;  // epoch: not stamped
  std::vector<Entry> volumes_;
  std::optional<net::Clock::time_point> first_;
  std::optional<std::chrono::system_clock::time_point> firstWall_;
};

}  // namespace nmb
