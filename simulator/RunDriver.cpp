#include "simulator/RunDriver.h"

#include <chrono>
#include <string>
#include <thread>

#include "plugin/NMBPluginInterface.h"
#include "simulator/Console.h"
#include "simulator/SimHost.h"

namespace {

// How often a wait looks at the interrupt flag.
constexpr long long kPollMs = 5;

}  // namespace

RunDriver::RunDriver(SimHost& host, Console& console, const RunTiming& timing, const std::atomic<bool>& stop)
    : host_(host), console_(console), timing_(timing), stop_(stop) {}

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

bool RunDriver::drive(NMBPluginInterface& plugin) {
  for (int run = 0; run < timing_.runs; ++run) {
    if (stop_.load() || !runOnce(plugin, run)) return false;
  }
  if (timing_.lingerMs > 0) {
    console_.notice("runs finished; the plug-in keeps serving for " + std::to_string(timing_.lingerMs) +
                    " ms");
    if (!sleepUntil(nowMs() + timing_.lingerMs)) return false;
  }
  return !stop_.load();
}

bool RunDriver::runOnce(NMBPluginInterface& plugin, int run) {
  host_.beginRun(run);
  check(plugin.executePreRun(0), "executePreRun");
  if (onServing_) {
    onServing_();
    onServing_ = nullptr;
  }
  long long next = nowMs() + timing_.startDelayMs;
  bool complete = true;
  for (int v = 0; v < timing_.volumes; ++v) {
    if (!sleepUntil(next)) {
      complete = false;
      break;
    }
    if (!host_.acquireVolume()) break;
    check(plugin.executePreStep(), "executePreStep");
    host_.processVolume();
    check(plugin.executePostStep(), "executePostStep");
    next += timing_.trMs;
    const long long left =
        static_cast<long long>(timing_.volumes - v - 1) * timing_.trMs +
        static_cast<long long>(timing_.runs - run - 1) *
            (timing_.startDelayMs + static_cast<long long>(timing_.volumes) * timing_.trMs);
    console_.progress(run + 1, timing_.runs, v + 1, timing_.volumes, left);
  }
  console_.endProgress();
  if (!complete) console_.notice("interrupted: ending run " + std::to_string(run + 1) + " early");
  check(plugin.executePostRun(), "executePostRun");
  return complete;
}
