// nmb_bench: the plug-in's figures beside the physical limit of this machine.
//
//   nmb_bench [--quick] [--json FILE] [--only GROUP[,GROUP...]] [--pin CPU]
//
// --pin runs every thread of the benchmark (plug-in, baseline server and
// clients alike) on one CPU: without wake-ups across CPUs the ratios show the
// software's own cost and vary little from run to run.
//
// Groups: memory, roundtrip, large, steps, feedback, connection, correlation, ledger, scale.
// The program is the plug-in's host: it exports the host functions, links the
// plug-in and drives its lifecycle on its main thread.  It refuses to run
// where other network interfaces than loopback exist, since the plug-in
// broadcasts its port; `./dev bench` runs it in a private network namespace.
#include <sched.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "bench/BenchHost.h"
#include "bench/Benchmarks.h"
#include "bench/Loopback.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: nmb_bench [--quick] [--json FILE] [--only GROUP[,GROUP...]] [--pin CPU]\n"
               "groups: memory, roundtrip, large, steps, feedback, connection, correlation, ledger, scale\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--hold-clients") == 0)
    return holdClients(std::atoi(argv[2]), std::atoi(argv[3]));

  BenchOptions options;
  std::string jsonPath;
  std::set<std::string> only;
  bool pinned = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--json" && i + 1 < argc) {
      jsonPath = argv[++i];
    } else if (arg == "--pin" && i + 1 < argc) {
      // Set before any thread exists, so every thread inherits it.
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      CPU_SET(std::atoi(argv[++i]), &cpus);
      if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
        std::perror("nmb_bench: --pin");
        return 2;
      }
      pinned = true;
    } else if (arg == "--only" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      for (std::string group; std::getline(list, group, ',');) only.insert(group);
    } else {
      usage();
      return 2;
    }
  }
  if (!inPrivateNetwork()) {
    std::fprintf(
        stderr,
        "nmb_bench: network interfaces other than loopback exist; the plug-in's discovery "
        "broadcasts must not leave the machine.\nRun it in a private network namespace: ./dev bench\n");
    return 2;
  }
  auto wanted = [&only](const char* group) { return only.empty() || only.count(group) > 0; };

  QCoreApplication app(argc, argv);
  const auto started = BenchClock::now();
  Report report;
  try {
    BenchHost::configureVolume(64, 64, 30, 100);
    BenchHost::configureRois(8, 20);
    ReplayServer baseline;
    PluginHarness plugin;
    BenchContext context{plugin, baseline, options, report};
    std::printf("%-20s %-44s %-6s %10s %10s | %10s %10s | %6s %6s | %5s | %s\n", "group", "figure", "unit",
                "median", "p99", "base med", "base p99", "x med", "x p99", "load", "target");
    // The first thousands of round trips of a fresh process are slower
    // (caches, allocator pools, the scheduler learning the threads); none of
    // them is a figure.
    warmUp(context);
    if (wanted("memory")) benchMemory(context, "/proc/self/exe");
    if (wanted("roundtrip")) benchRoundTrips(context);
    if (wanted("large")) benchLargeReplies(context);
    if (wanted("steps")) benchSteps(context);
    if (wanted("feedback")) benchFeedback(context);
    if (wanted("connection")) benchConnections(context);
    if (wanted("correlation")) benchCorrelations(context);
    if (wanted("ledger")) benchLedger(context);
    if (wanted("scale")) benchScale(context);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nmb_bench: %s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(BenchClock::now() - started).count();
  report.printTable(stdout);
  report.printTargets(stdout);
  int unmet = 0;
  for (const Figure& f : report.figures())
    if (f.met && !*f.met) ++unmet;
  std::printf("\n%zu figures in %.1f s; %d target(s) not met\n", report.figures().size(), seconds, unmet);
  if (!jsonPath.empty() && !report.writeJson(jsonPath, options.quick, pinned, seconds)) {
    std::fprintf(stderr, "nmb_bench: cannot write %s\n", jsonPath.c_str());
    return 1;
  }
  return 0;
}
