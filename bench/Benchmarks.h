// The benchmark groups.  Each measures the plug-in and its baseline in the
// same run, alternating between the two where it can so that both see the
// same machine, and adds its figures to the report.
//
// All run on the main thread, which plays Nimbrel's thread; client threads
// are started and joined inside each group.
#pragma once

#include "bench/PluginHarness.h"
#include "bench/ReplayServer.h"
#include "bench/Report.h"

struct BenchOptions {
  bool quick = false;
  // Repetitions: the full count, or the quick one.
  int reps(int full, int quickCount) const { return quick ? quickCount : full; }
};

struct BenchContext {
  PluginHarness& plugin;
  ReplayServer& baseline;
  const BenchOptions& options;
  Report& report;
};

// Round trips on both servers, measured by nobody.
void warmUp(BenchContext& context);
void benchRoundTrips(BenchContext& context);
void benchLargeReplies(BenchContext& context);
void benchSteps(BenchContext& context);
void benchFeedback(BenchContext& context);
void benchConnections(BenchContext& context);
void benchCorrelations(BenchContext& context);
// Pre-steps by run length and volume size, big replies by volume size,
// correlations by ROIs.
void benchScale(BenchContext& context);
// One volume size's whole-volume and map replies, beside the same bytes from
// the minimal server (and the host-call loop alone).
void benchLargeRepliesAt(BenchContext& context, const char* group, int dimX, int dimY, int dimZ, int reps,
                         bool contrastMaps);
// One correlation request of `rois` ROIs of `voxels` voxels over `window`
// time points up to the host's current one.
void benchCorrelationAt(BenchContext& context, const char* group, const char* name, int rois, int window,
                        int voxels, int reps);
void benchMemory(BenchContext& context, const char* selfPath);
// The client's marks and ledger stamps, per event.
void benchLedger(BenchContext& context);

// The child process of benchMemory: holds `count` request connections to
// 127.0.0.1:port until its standard input closes.
int holdClients(int port, int count);
