#include "simulator/Faults.h"

#include <cstdlib>
#include <sstream>

#include "simulator/Options.h"

namespace {

bool parseProbability(const std::string& text, double& value) { return parseDouble(text, 0.0, 1.0, value); }

// A count: digits only, no sign.
bool parseWhole(const std::string& text, long long low, long long high, long long& value) {
  return !text.empty() && text[0] != '-' && text[0] != '+' && parseLong(text, low, high, value);
}

// "50ms", "0.8s" or "50" (milliseconds), at most an hour.
bool parseDuration(const std::string& text, int& ms) {
  std::string number = text;
  double scale = 1.0;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
    number.resize(number.size() - 2);
  } else if (number.size() > 1 && number.back() == 's') {
    number.pop_back();
    scale = 1000.0;
  }
  if (number.empty() || number[0] == '-' || number[0] == '+') return false;
  char* end = nullptr;
  const double v = std::strtod(number.c_str(), &end) * scale;
  if (end == nullptr || *end != '\0' || !(v >= 0.0 && v <= 3600000.0)) return false;
  ms = static_cast<int>(v + 0.5);
  return true;
}

// "8%", "-8%" or "8": a percent of each value, not 0, from -100 to 1000.
bool parsePercent(const std::string& text, double& percent) {
  std::string number = text;
  if (!number.empty() && number.back() == '%') number.pop_back();
  double v;
  if (!parseDouble(number, -100.0, 1000.0, v) || v == 0.0) return false;
  percent = v;
  return true;
}

// "P" or "P:SIZE", SIZE read by `size`.
template <typename Size>
bool parseChanceWithSize(const std::string& value, double& probability, Size size) {
  const size_t colon = value.find(':');
  if (!parseProbability(value.substr(0, colon), probability)) return false;
  return colon == std::string::npos || size(value.substr(colon + 1));
}

}  // namespace

bool parseFaults(const std::string& list, FaultPlan& plan, std::string& error) {
  FaultPlan parsed;
  std::stringstream items(list);
  std::string item;
  bool empty = true;
  while (std::getline(items, item, ',')) {
    if (item.empty()) continue;
    empty = false;
    const size_t equals = item.find('=');
    const std::string key = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    bool ok = false;
    if (key == "jitter") {
      ok = parseDuration(value, parsed.jitterMs);
    } else if (key == "late") {
      const size_t colon = value.find(':');
      ok = colon != std::string::npos && parseProbability(value.substr(0, colon), parsed.lateProbability) &&
           parseDuration(value.substr(colon + 1), parsed.lateMs);
    } else if (key == "drop") {
      ok = parseProbability(value, parsed.dropProbability);
    } else if (key == "repeat") {
      ok = parseProbability(value, parsed.repeatProbability);
    } else if (key == "stop-at") {
      long long v;
      ok = parseWhole(value, 1, 100000, v);
      if (ok) parsed.stopAt = static_cast<int>(v);
    } else if (key == "spike") {
      ok = parseChanceWithSize(value, parsed.spikeProbability, [&](const std::string& size) {
        return parsePercent(size, parsed.spikePercent);
      });
    } else if (key == "shift") {
      ok = parseChanceWithSize(value, parsed.shiftProbability, [&](const std::string& size) {
        long long v;
        if (!parseLong(size, -1024, 1024, v) || v == 0) return false;
        parsed.shiftVoxels = static_cast<int>(v);
        return true;
      });
    } else if (key == "missed-trigger") {
      ok = parseProbability(value, parsed.missedTriggerProbability);
    } else if (key == "extra-trigger") {
      ok = parseProbability(value, parsed.extraTriggerProbability);
    } else if (key == "first-trigger-missed") {
      ok = equals == std::string::npos;
      parsed.firstTriggerMissed = true;
    } else if (key == "seed") {
      long long v;
      ok = parseWhole(value, 0, 1LL << 62, v);
      if (ok) parsed.seed = static_cast<std::uint64_t>(v);
    } else {
      error = "unknown fault '" + key +
              "' (jitter, late, drop, repeat, stop-at, spike, shift, missed-trigger, extra-trigger, "
              "first-trigger-missed, seed)";
      return false;
    }
    if (!ok) {
      error = "cannot read '" + item +
              "' (examples: jitter=50ms, late=0.05:800ms, drop=0.02, repeat=0.01, stop-at=40, spike=0.02:8%, "
              "shift=0.02:1, missed-trigger=0.05, extra-trigger=0.02, first-trigger-missed, seed=7)";
      return false;
    }
  }
  if (empty) {
    error = "no fault given";
    return false;
  }
  plan = parsed;
  return true;
}

// The spoiling stream is seeded apart from the timing stream, so that a plan's
// drops, repeats and delays stay where they were when spikes or shifts join it.
FaultDice::FaultDice(const FaultPlan& plan)
    : plan_(plan),
      random_(plan.seed),
      spoilRandom_(plan.seed ^ 0x9e3779b97f4a7c15ULL),
      triggerRandom_(plan.seed ^ 0xc2b2ae3d27d4eb4fULL) {}

bool FaultDice::chance(std::mt19937_64& random, double probability) {
  // Always draws, so that one kind of fault does not shift the others' choices.
  const double roll = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  return roll < probability;
}

VolumeFaults FaultDice::next(bool first) {
  VolumeFaults faults;
  const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  if (plan_.jitterMs > 0) faults.delayMs = static_cast<int>(jitter * (plan_.jitterMs + 1));
  if (chance(random_, plan_.lateProbability) && plan_.lateMs > 0) {
    faults.late = true;
    faults.delayMs += plan_.lateMs;
  }
  faults.drop = chance(random_, plan_.dropProbability);
  faults.repeat = !faults.drop && chance(random_, plan_.repeatProbability);
  faults.spike = chance(spoilRandom_, plan_.spikeProbability);
  faults.shift = chance(spoilRandom_, plan_.shiftProbability);
  faults.missedTrigger =
      chance(triggerRandom_, plan_.missedTriggerProbability) || (first && plan_.firstTriggerMissed);
  faults.extraTrigger = chance(triggerRandom_, plan_.extraTriggerProbability);
  return faults;
}
