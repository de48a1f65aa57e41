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
    } else if (key == "seed") {
      long long v;
      ok = parseWhole(value, 0, 1LL << 62, v);
      if (ok) parsed.seed = static_cast<std::uint64_t>(v);
    } else {
      error = "unknown fault '" + key + "' (jitter, late, drop, repeat, stop-at, seed)";
      return false;
    }
    if (!ok) {
      error = "cannot read '" + item +
              "' (examples: jitter=50ms, late=0.05:800ms, drop=0.02, repeat=0.01, stop-at=40, seed=7)";
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

FaultDice::FaultDice(const FaultPlan& plan) : plan_(plan), random_(plan.seed) {}

bool FaultDice::chance(double probability) {
  // Always draws, so that one kind of fault does not shift the others' choices.
  const double roll = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  return roll < probability;
}

VolumeFaults FaultDice::next() {
  VolumeFaults faults;
  const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
  if (plan_.jitterMs > 0) faults.delayMs = static_cast<int>(jitter * (plan_.jitterMs + 1));
  if (chance(plan_.lateProbability) && plan_.lateMs > 0) {
    faults.late = true;
    faults.delayMs += plan_.lateMs;
  }
  faults.drop = chance(plan_.dropProbability);
  faults.repeat = !faults.drop && chance(plan_.repeatProbability);
  return faults;
}
