// RunDriver: plays the scanner and Nimbrel's processing loop for the plug-in.
//
// For each run: the host starts a fresh run, executePreRun, then per volume
// (one every TR, the first after the start delay) the volume arrives,
// executePreStep, the host's own processing, executePostStep; after the last
// volume (or an interrupt) executePostRun.  All calls are made on the calling
// thread, which is the plug-in's "host thread".  An interrupt ends the current
// run early but still with its post-run; no further run starts.
//
// With a fault plan the runs look like real ones: volumes arrive late or with
// jitter, the host skips the plug-in for a volume (its time point jumps),
// processes a step twice, or ends a run in the middle, and volumes may come
// spoiled (a global spike, a shift).  Each dropped, repeated, late, spiked or
// shifted volume is reported as it happens in a console notice starting with
// "fault: "; the jitter, which touches every volume, and a list of the rest
// come in one notice at the run's end.
//
// With a scanner trigger, each volume's trigger goes out at its acquisition,
// which is the volume's slot (one TR after the previous one); the host's
// pre-step follows `processingDelayMs` later, plus any late or jitter delay
// of the volume.  With a delay longer than the TR the triggers run ahead of
// the steps, as at a scanner.  Trigger faults (missed, extra) are reported
// as the volume faults are.
//
// The driver times every step call: at the end of each run a notice says how
// long the plug-in held the host's thread at most and on average, the figure
// that tells whether the plug-in disturbs the host's processing.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simulator/Faults.h"

class Console;
class PluginObject;
class SimHost;

struct RunTiming {
  int runs = 1;
  int volumes = 200;
  int trMs = 2000;
  int startDelayMs = 2000;
  int processingDelayMs = 0;  // from a volume's trigger to the host's pre-step
};

class ScannerTrigger;

class RunDriver {
 public:
  RunDriver(SimHost& host, Console& console, const RunTiming& timing, const std::atomic<bool>& stop,
            const FaultPlan& faults = FaultPlan(), ScannerTrigger* trigger = nullptr);

  // Drives every run.  Returns false when an interrupt ended it early.
  bool drive(PluginObject& plugin);

  // After the runs: the plug-in stays loaded and serving until `ms` have
  // passed (negative: no limit), `done()` returns true (checked every few
  // milliseconds) or an interrupt arrives.  Returns false for an interrupt.
  bool serve(long long ms, const std::function<bool()>& done);

  // Called once, right after the first executePreRun (the plug-in serves).
  void onServing(std::function<void()> callback) { onServing_ = std::move(callback); }
  // Called after each executePreRun with the run's number (from 1); the run
  // starts when it returns true, and ends at once (with its post-run) when it
  // returns false.
  void onReady(std::function<bool(int)> callback) { onReady_ = std::move(callback); }

 private:
  bool runOnce(PluginObject& plugin, int run);
  // Sleeps until `deadlineMs` on the driver's clock; false if interrupted.
  bool sleepUntil(long long deadlineMs) const;
  long long nowMs() const;
  void check(bool result, const char* operation);
  // Calls `operation` (a step call of `plugin`), checks its result and adds
  // its duration to the run's figures.
  void step(PluginObject& plugin, bool (PluginObject::*operation)(), const char* name, int volume);
  // Volume v (from 0) arrives and is processed; false when the host has no
  // room for it.
  bool playVolume(PluginObject& plugin, int v, const VolumeFaults& faults);
  // The trigger of volume v (from 0) of run `run`, or its fault.
  void playTrigger(int run, int v, const VolumeFaults& faults, bool extra);

  // The step calls of the current run.
  struct StepTimes {
    double maxMs = 0, totalMs = 0;
    int calls = 0;
    std::string worst;
  };

  // The faults injected into the current run.
  struct FaultLog {
    std::vector<int> dropped, repeated, late, spiked, shifted, missedTriggers, extraTriggers;
    bool spoiling = false;    // the plan spoils volumes: spiked and shifted are listed
    bool triggering = false;  // the plan touches the triggers: they are listed
    int jittered = 0, jitterMaxMs = 0;
    long long jitterTotalMs = 0;
    // "2 dropped (volume 6, 26), 0 repeated, ...; jitter delayed ..."
    std::string summary() const;
  };

  SimHost& host_;
  Console& console_;
  RunTiming timing_;
  const std::atomic<bool>& stop_;
  bool warned_ = false;
  std::function<void()> onServing_;
  std::function<bool(int)> onReady_;
  ScannerTrigger* trigger_;
  std::unique_ptr<FaultDice> faults_;  // null: regular runs
  StepTimes stepTimes_;
  FaultLog faultLog_;
};
