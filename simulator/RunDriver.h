// RunDriver: plays the scanner and Nimbrel's processing loop for the plug-in.
//
// For each run: the host starts a fresh run, executePreRun, then per volume
// (one every TR, the first after the start delay) the volume arrives,
// executePreStep, the host's own processing, executePostStep; after the last
// volume (or an interrupt) executePostRun.  All calls are made on the calling
// thread, which is the plug-in's "host thread".  An interrupt ends the current
// run early but still with its post-run; no further run starts.
#pragma once

#include <atomic>
#include <functional>

class Console;
class NMBPluginInterface;
class SimHost;

struct RunTiming {
  int runs = 1;
  int volumes = 200;
  int trMs = 2000;
  int startDelayMs = 2000;
  int lingerMs = 0;
};

class RunDriver {
 public:
  RunDriver(SimHost& host, Console& console, const RunTiming& timing, const std::atomic<bool>& stop);

  // Drives every run.  Returns false when an interrupt ended it early.
  bool drive(NMBPluginInterface& plugin);

  // Called once, right after the first executePreRun (the plug-in serves).
  void onServing(std::function<void()> callback) { onServing_ = std::move(callback); }

 private:
  bool runOnce(NMBPluginInterface& plugin, int run);
  // Sleeps until `deadlineMs` on the driver's clock; false if interrupted.
  bool sleepUntil(long long deadlineMs) const;
  long long nowMs() const;
  void check(bool result, const char* operation);

  SimHost& host_;
  Console& console_;
  RunTiming timing_;
  const std::atomic<bool>& stop_;
  bool warned_ = false;
  std::function<void()> onServing_;
};
