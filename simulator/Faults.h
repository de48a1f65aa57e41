// Faults: the irregularities of a real scanner run, injected on request.
//
// A real run is not a metronome: volumes arrive with jitter or late, the host
// may skip a volume (its time point jumps over it, with no pre- or post-step
// for it), process a step twice, or end the run in the middle.  `--faults`
// describes which of these happen and how often, in a small grammar of
// comma-separated items:
//
//   jitter=50ms        every volume arrives 0 to 50 ms after its slot (uniform)
//   late=0.05:800ms    with probability 0.05 a volume arrives 800 ms late
//   drop=0.02          with probability 0.02 a volume is skipped by the plug-in
//   repeat=0.01        with probability 0.01 a step is processed twice
//   stop-at=40         each run ends (post-run) after its 40th volume
//   spike=0.02:8%      with probability 0.02 every value of a volume jumps by 8 %
//                      (a global spike; the size defaults to 5 %)
//   shift=0.02:2       with probability 0.02 a volume is moved by 2 voxels along
//                      x, wrapping round (head motion; the size defaults to 1)
//   missed-trigger=0.05  with probability 0.05 the scanner sends no trigger for a
//                      volume (the volume still comes)
//   extra-trigger=0.02 with probability 0.02 a second trigger with the same volume
//                      number follows half a TR after the first (a bouncing contact)
//   first-trigger-missed  the first volume of every run comes without its trigger
//   seed=7             the random choices repeat for the same seed (default 1)
//
// Durations take "ms" or "s"; a bare number is milliseconds.  FaultDice makes
// the choices, volume by volume, from the plan and its seed only, so the same
// plan gives the same faults on every machine.  The spoiling of volumes draws
// from a stream of its own, and so do the trigger faults: adding a spike, a
// shift or a trigger fault to a plan leaves the volumes it drops, repeats or
// delays as they were.
#pragma once

#include <cstdint>
#include <random>
#include <string>

struct FaultPlan {
  int jitterMs = 0;
  double lateProbability = 0.0;
  int lateMs = 0;
  double dropProbability = 0.0;
  double repeatProbability = 0.0;
  int stopAt = 0;  // 0: every run plays all its volumes
  std::uint64_t seed = 1;
  double spikeProbability = 0.0;
  double spikePercent = 5.0;  // of each value, either sign
  double shiftProbability = 0.0;
  int shiftVoxels = 1;  // along x, either sign, never 0
  double missedTriggerProbability = 0.0;
  double extraTriggerProbability = 0.0;
  bool firstTriggerMissed = false;

  bool spoils() const { return spikeProbability > 0 || shiftProbability > 0; }
  bool touchesTriggers() const {
    return missedTriggerProbability > 0 || extraTriggerProbability > 0 || firstTriggerMissed;
  }
  bool any() const {
    return jitterMs > 0 || (lateProbability > 0 && lateMs > 0) || dropProbability > 0 ||
           repeatProbability > 0 || stopAt > 0 || spoils() || touchesTriggers();
  }
};

// Parses the --faults list (see above) into `plan`.  On failure `error` names the item.
bool parseFaults(const std::string& list, FaultPlan& plan, std::string& error);

// The faults of one volume.
struct VolumeFaults {
  int delayMs = 0;             // after the volume's slot: jitter plus a late arrival
  bool late = false;           // delayMs includes the plan's late delay
  bool drop = false;           // the host skips the plug-in for this volume
  bool repeat = false;         // the plug-in's pre- and post-step run a second time
  bool spike = false;          // every value jumps by the plan's spikePercent
  bool shift = false;          // the volume moves by the plan's shiftVoxels along x
  bool missedTrigger = false;  // the scanner sends no trigger for it
  bool extraTrigger = false;   // a second trigger, same number, half a TR later
};

class FaultDice {
 public:
  explicit FaultDice(const FaultPlan& plan);

  // The faults of the next volume; `first` for the first volume of a run.
  VolumeFaults next(bool first = false);
  const FaultPlan& plan() const { return plan_; }

 private:
  static bool chance(std::mt19937_64& random, double probability);

  FaultPlan plan_;
  std::mt19937_64 random_;
  std::mt19937_64 spoilRandom_;
  std::mt19937_64 triggerRandom_;
};
