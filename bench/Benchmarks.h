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
void benchMemory(BenchContext& context, const char* selfPath);
// The client's marks and ledger stamps, per event.
void benchLedger(BenchContext& context);

// The child process of benchMemory: holds `count` request connections to
// 127.0.0.1:port until its standard input closes.
int holdClients(int port, int count);
