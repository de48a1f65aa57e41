#include "simulator/RunDriver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "simulator/Console.h"
#include "simulator/PluginObject.h"
#include "simulator/ScannerTrigger.h"
#include "simulator/SimHost.h"
#include "simulator/VolumeSpoil.h"

namespace {

// How often a wait looks at the interrupt flag.
constexpr long long kPollMs = 5;

}  // namespace

RunDriver::RunDriver(SimHost& host, Console& console, const RunTiming& timing, const std::atomic<bool>& stop,
                     const FaultPlan& faults, ScannerTrigger* trigger)
    : host_(host),
      console_(console),
      timing_(timing),
      stop_(stop),
      trigger_(trigger != nullptr && trigger->active() ? trigger : nullptr),
      faults_(faults.any() ? std::make_unique<FaultDice>(faults) : nullptr) {}

long long RunDriver::nowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool RunDriver::sleepUntil(long long deadlineMs) const {
  for (;;) {
    if (stop_.load()) return false;
    const long long left = deadlineMs - nowMs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < kPollMs ? left : kPollMs));
  }
}

void RunDriver::check(bool result, const char* operation) {
  if (result || warned_) return;
  warned_ = true;
  console_.notice(std::string("warning: the plug-in's ") + operation + " returned false");
}

void RunDriver::step(PluginObject& plugin, bool (PluginObject::*operation)(), const char* name, int volume) {
  const auto start = std::chrono::steady_clock::now();
  const bool result = (plugin.*operation)();
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  check(result, name);
  stepTimes_.totalMs += ms;
  ++stepTimes_.calls;
  if (ms > stepTimes_.maxMs) {
    stepTimes_.maxMs = ms;
    stepTimes_.worst = std::string(name) + (volume > 0 ? " of volume " + std::to_string(volume) : "");
  }
}

bool RunDriver::drive(PluginObject& plugin) {
  for (int run = 0; run < timing_.runs; ++run) {
    if (stop_.load() || !runOnce(plugin, run)) return false;
  }
  return !stop_.load();
}

bool RunDriver::serve(long long ms, const std::function<bool()>& done) {
  const long long end = ms < 0 ? -1 : nowMs() + ms;
  for (;;) {
    if (stop_.load()) return false;
    if ((end >= 0 && nowMs() >= end) || (done && done())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

std::string RunDriver::FaultLog::summary() const {
  auto list = [](const char* kind, const std::vector<int>& volumes) {
    std::string text = std::to_string(volumes.size()) + " " + kind;
    for (size_t i = 0; i < volumes.size(); ++i)
      text += (i > 0 ? ", " : volumes.size() == 1 ? " (volume " : " (volumes ") + std::to_string(volumes[i]);
    return volumes.empty() ? text : text + ")";
  };
  std::string text = list("dropped", dropped) + ", " + list("repeated", repeated) + ", " + list("late", late);
  if (spoiling) text += ", " + list("spiked", spiked) + ", " + list("shifted", shifted);
  if (triggering)
    text += ", " + list("missed triggers", missedTriggers) + ", " + list("extra triggers", extraTriggers);
  if (jittered > 0)
    text += "; jitter delayed " + std::to_string(jittered) + " volumes by up to " +
            std::to_string(jitterMaxMs) + " ms (" + std::to_string(jitterTotalMs / jittered) +
            " ms on average)";
  return text;
}

namespace {

// What happens at one moment of a run: a volume's trigger (or the second one
// of an extra-trigger fault), or the volume's arrival at the host and its steps.
struct RunEvent {
  enum Kind { Trigger = 0, ExtraTrigger = 1, Volume = 2 };
  long long atMs;
  Kind kind;
  int volume;  // from 0
  bool operator<(const RunEvent& other) const {
    // At the same moment the scanner's trigger comes first.
    return std::tie(atMs, kind, volume) < std::tie(other.atMs, other.kind, other.volume);
  }
};

}  // namespace

void RunDriver::playTrigger(int run, int v, const VolumeFaults& faults, bool extra) {
  const std::string volume = "volume " + std::to_string(v + 1);
  if (extra) {
    console_.notice("fault: a second trigger for " + volume + ", half a TR after the first (extra trigger)");
    faultLog_.extraTriggers.push_back(v + 1);
  } else if (faults.missedTrigger) {
    console_.notice("fault: no trigger for " + volume + " (missed trigger)");
    faultLog_.missedTriggers.push_back(v + 1);
    return;
  }
  trigger_->send(run + 1, v + 1);
}

bool RunDriver::playVolume(PluginObject& plugin, int v, const VolumeFaults& faults) {
  const std::string volume = "volume " + std::to_string(v + 1);
  // Jitter touches every volume: it is summed up at the run's end, so that
  // the rarer faults stand out as they happen.
  if (faults.late) {
    console_.notice("fault: " + volume + " arrives " + std::to_string(faults.delayMs) +
                    " ms after its slot (late)");
    faultLog_.late.push_back(v + 1);
  } else if (faults.delayMs > 0) {
    faultLog_.jittered += 1;
    faultLog_.jitterTotalMs += faults.delayMs;
    if (faults.delayMs > faultLog_.jitterMaxMs) faultLog_.jitterMaxMs = faults.delayMs;
  }
  VolumeSpoil spoil;
  if (faults.shift) {
    spoil.shiftVoxels = faults_->plan().shiftVoxels;
    console_.notice("fault: " + volume + " shifted by " + std::to_string(spoil.shiftVoxels) +
                    (std::abs(spoil.shiftVoxels) == 1 ? " voxel" : " voxels") + " along x (wrapping round)");
    faultLog_.shifted.push_back(v + 1);
  }
  if (faults.spike) {
    spoil.spikePercent = faults_->plan().spikePercent;
    char percent[32];
    std::snprintf(percent, sizeof percent, "%+g %%", spoil.spikePercent);
    console_.notice("fault: " + volume + " spiked: every value " + percent + " (a global jump)");
    faultLog_.spiked.push_back(v + 1);
  }
  if (!host_.acquireVolume(spoil)) return false;
  if (faults.drop) {
    // The host has the volume and processes it, but the plug-in never hears
    // of it: its next step sees the time point jump.
    host_.processVolume();
    console_.notice("fault: " + volume + " dropped: no pre- or post-step; the time point jumps over it");
    faultLog_.dropped.push_back(v + 1);
  } else {
    step(plugin, &PluginObject::executePreStep, "executePreStep", v + 1);
    host_.processVolume();
    step(plugin, &PluginObject::executePostStep, "executePostStep", v + 1);
    if (faults.repeat) {
      console_.notice("fault: " + volume + " repeated: pre- and post-step once more for the same time point");
      faultLog_.repeated.push_back(v + 1);
      step(plugin, &PluginObject::executePreStep, "executePreStep", v + 1);
      step(plugin, &PluginObject::executePostStep, "executePostStep", v + 1);
    }
  }
  return true;
}

bool RunDriver::runOnce(PluginObject& plugin, int run) {
  host_.beginRun(run);
  stepTimes_ = StepTimes();
  faultLog_ = FaultLog();
  faultLog_.spoiling = faults_ && faults_->plan().spoils();
  faultLog_.triggering = faults_ && trigger_ && faults_->plan().touchesTriggers();
  check(plugin.executePreRun(0), "executePreRun");
  if (onServing_) {
    onServing_();
    onServing_ = nullptr;
  }
  bool complete = !onReady_ || onReady_(run + 1);
  const long long start = nowMs() + timing_.startDelayMs;
  const int stopAt = faults_ ? faults_->plan().stopAt : 0;
  const int played = stopAt > 0 && stopAt < timing_.volumes ? stopAt : timing_.volumes;
  // The volumes' faults are drawn in their order before the run: with a
  // processing delay the triggers run ahead of the steps.
  std::vector<VolumeFaults> faults(static_cast<size_t>(played));
  std::vector<RunEvent> events;
  long long arrival = start;
  for (int v = 0; complete && v < played; ++v) {
    if (faults_) faults[static_cast<size_t>(v)] = faults_->next(v == 0);
    const long long slot = start + static_cast<long long>(v) * timing_.trMs;
    if (trigger_) {
      events.push_back({slot, RunEvent::Trigger, v});
      if (faults[static_cast<size_t>(v)].extraTrigger)
        events.push_back({slot + timing_.trMs / 2, RunEvent::ExtraTrigger, v});
    }
    // A volume late by more than a TR holds the next ones back: the host
    // takes its volumes in order.
    arrival = std::max(arrival, slot + timing_.processingDelayMs + faults[static_cast<size_t>(v)].delayMs);
    events.push_back({arrival, RunEvent::Volume, v});
  }
  std::stable_sort(events.begin(), events.end());
  for (const RunEvent& event : events) {
    if (!sleepUntil(event.atMs)) {
      complete = false;
      break;
    }
    const VolumeFaults& volumeFaults = faults[static_cast<size_t>(event.volume)];
    if (event.kind != RunEvent::Volume) {
      playTrigger(run, event.volume, volumeFaults, event.kind == RunEvent::ExtraTrigger);
      continue;
    }
    if (!playVolume(plugin, event.volume, volumeFaults)) break;
    const int v = event.volume;
    const long long left =
        static_cast<long long>(timing_.volumes - v - 1) * timing_.trMs +
        static_cast<long long>(timing_.runs - run - 1) *
            (timing_.startDelayMs + static_cast<long long>(timing_.volumes) * timing_.trMs);
    console_.progress(run + 1, timing_.runs, v + 1, timing_.volumes, left);
  }
  console_.endProgress();
  if (complete && played < timing_.volumes)
    console_.notice("fault: run " + std::to_string(run + 1) + " stops after volume " +
                    std::to_string(played) + " of " + std::to_string(timing_.volumes) +
                    ": post-run in the middle");
  if (!complete) console_.notice("interrupted: ending run " + std::to_string(run + 1) + " early");
  step(plugin, &PluginObject::executePostRun, "executePostRun", 0);
  if (faults_) console_.notice("run " + std::to_string(run + 1) + " faults: " + faultLog_.summary());
  char figures[200];
  std::snprintf(figures, sizeof figures,
                "run %d: the plug-in held the host for %.1f ms at most (%s), %.2f ms on average", run + 1,
                stepTimes_.maxMs, stepTimes_.worst.c_str(),
                stepTimes_.totalMs / std::max(stepTimes_.calls, 1));
  console_.notice(figures);
  return complete;
}
