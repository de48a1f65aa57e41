#include "simulator/BidsRun.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "simulator/JsonSidecar.h"

namespace fs = std::filesystem;

namespace {

const char* const kBoldEndings[] = {"_bold.nii.gz", "_bold.nii"};

// The name without its "_bold.nii[.gz]", or "" when it is not a bold file.
std::string boldStem(const std::string& name) {
  for (const char* ending : kBoldEndings) {
    const std::string e = ending;
    if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0)
      return name.substr(0, name.size() - e.size());
  }
  return "";
}

// The value of entity `key` ("sub", "task", ...) in a stem, "" when absent.
std::string entity(const std::string& stem, const std::string& key) {
  std::stringstream parts(stem);
  std::string part;
  while (std::getline(parts, part, '_'))
    if (part.rfind(key + "-", 0) == 0) return part.substr(key.size() + 1);
  return "";
}

// Run labels are indices: "1" and "01" are the same run.
bool sameLabel(const std::string& wanted, const std::string& label, bool numeric) {
  if (wanted.empty()) return true;
  if (numeric) {
    char* a = nullptr;
    char* b = nullptr;
    const long x = std::strtol(wanted.c_str(), &a, 10), y = std::strtol(label.c_str(), &b, 10);
    if (!wanted.empty() && !label.empty() && *a == '\0' && *b == '\0') return x == y;
  }
  return wanted == label;
}

bool fits(const std::string& stem, const BidsEntities& e) {
  return sameLabel(e.subject, entity(stem, "sub"), false) &&
         sameLabel(e.session, entity(stem, "ses"), false) && sameLabel(e.task, entity(stem, "task"), false) &&
         sameLabel(e.run, entity(stem, "run"), true);
}

std::string sidecarOf(const fs::path& bold, const std::string& stem, const fs::path& root) {
  const fs::path own = bold.parent_path() / (stem + "_bold.json");
  if (fs::exists(own)) return own.string();
  const std::string shared = "task-" + entity(stem, "task") + "_bold.json";
  for (fs::path folder = bold.parent_path(); !folder.empty(); folder = folder.parent_path()) {
    if (fs::exists(folder / shared)) return (folder / shared).string();
    if (folder == root || folder == folder.parent_path()) break;
  }
  return "";
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::stringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

bool readNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0' && std::isfinite(value);
}

}  // namespace

bool findBidsRun(const std::string& root, const BidsEntities& entities, BidsRun& run, std::string& error) {
  std::error_code failed;
  const fs::path top(root);
  std::vector<fs::path> candidates;
  if (fs::is_regular_file(top, failed)) {
    if (boldStem(top.filename().string()).empty()) {
      error = "--bids: " + root + " is neither a BIDS folder nor a *_bold.nii[.gz] file";
      return false;
    }
    candidates.push_back(top);
  } else if (fs::is_directory(top, failed)) {
    fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, failed), end;
    for (; !failed && it != end; it.increment(failed)) {
      if (it->is_directory() && it->path().filename() == "derivatives") {
        it.disable_recursion_pending();
        continue;
      }
      const std::string stem = boldStem(it->path().filename().string());
      if (!stem.empty() && fits(stem, entities)) candidates.push_back(it->path());
    }
    std::sort(candidates.begin(), candidates.end());
  } else {
    error = "--bids: cannot open " + root;
    return false;
  }
  if (candidates.empty()) {
    error =
        "--bids: no *_bold.nii[.gz] in " + root + " fits the --subject, --session, --task and --run given";
    return false;
  }
  if (candidates.size() > 1) {
    error = "--bids: " + std::to_string(candidates.size()) + " runs in " + root + " fit:";
    for (size_t i = 0; i < candidates.size() && i < 8; ++i) error += " " + candidates[i].filename().string();
    error += (candidates.size() > 8 ? " ..." : "") +
             std::string("; pick one with --subject, --session, --task, --run");
    return false;
  }
  const fs::path bold = candidates.front();
  const std::string stem = boldStem(bold.filename().string());
  run.bold = bold.string();
  run.sidecar = sidecarOf(bold, stem, fs::is_directory(top) ? top : bold.parent_path());
  if (run.sidecar.empty()) {
    error = "--bids: no JSON sidecar for " + run.bold + " (looked for " + stem + "_bold.json and task-" +
            entity(stem, "task") + "_bold.json)";
    return false;
  }
  std::map<std::string, JsonValue> sidecar;
  if (!readJsonSidecar(run.sidecar, sidecar, error) ||
      !sidecarSeconds(run.sidecar, sidecar, "RepetitionTime", run.trSeconds, error))
    return false;
  const fs::path events = bold.parent_path() / (stem + "_events.tsv");
  run.events = fs::exists(events) ? events.string() : "";
  return true;
}

bool readBidsEvents(const std::string& path, double trSeconds, int volumes,
                    std::unique_ptr<Protocol>& protocol, std::vector<std::string>& names,
                    std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "cannot open the events file " + path;
    return false;
  }
  std::string line;
  if (!std::getline(file, line)) {
    error = path + ": empty, no header line";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::vector<std::string> header = splitTabs(line);
  auto column = [&header](const char* name) {
    const auto found = std::find(header.begin(), header.end(), name);
    return found == header.end() ? -1 : static_cast<int>(found - header.begin());
  };
  const int onsetColumn = column("onset"), durationColumn = column("duration"),
            typeColumn = column("trial_type");
  for (const auto& [index, name] : {std::pair<int, const char*>{onsetColumn, "onset"},
                                    {durationColumn, "duration"},
                                    {typeColumn, "trial_type"}}) {
    if (index < 0) {
      error = path + " line 1: no \"" + name + "\" column";
      return false;
    }
  }
  struct Event {
    double onset, duration;
    int condition;
  };
  std::vector<Event> events;
  std::vector<std::string> found;
  for (int number = 2; std::getline(file, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> fields = splitTabs(line);
    const std::string where = path + " line " + std::to_string(number) + ": ";
    if (fields.size() != header.size()) {
      error =
          where + std::to_string(fields.size()) + " fields, the header has " + std::to_string(header.size());
      return false;
    }
    Event event{};
    if (!readNumber(fields[static_cast<size_t>(onsetColumn)], event.onset)) {
      error = where + "onset '" + fields[static_cast<size_t>(onsetColumn)] + "' is not a number";
      return false;
    }
    const std::string& duration = fields[static_cast<size_t>(durationColumn)];
    if (duration == "n/a") {
      event.duration = 0.0;
    } else if (!readNumber(duration, event.duration) || event.duration < 0.0) {
      error = where + "duration '" + duration + "' is neither a number of seconds from 0 nor n/a";
      return false;
    }
    const std::string& type = fields[static_cast<size_t>(typeColumn)];
    if (type.empty()) {
      error = where + "empty trial_type";
      return false;
    }
    if (type == "n/a") continue;  // an event of no condition
    const auto known = std::find(found.begin(), found.end(), type);
    event.condition = static_cast<int>(known - found.begin()) + 1;
    if (known == found.end()) found.push_back(type);
    events.push_back(event);
  }
  const size_t n = static_cast<size_t>(volumes);
  std::vector<std::vector<bool>> covered(found.size(), std::vector<bool>(n, false));
  std::vector<int> conditionOf(n, 0);
  std::vector<double> startOf(n, -1e300);
  for (const Event& event : events) {
    const double first = std::floor(event.onset / trSeconds);
    const double last =
        event.duration > 0.0 ? std::ceil((event.onset + event.duration) / trSeconds) - 1.0 : first;
    for (double t = std::max(first, 0.0); t <= std::max(first, last) && t < static_cast<double>(n);
         t += 1.0) {
      const size_t v = static_cast<size_t>(t);
      covered[static_cast<size_t>(event.condition - 1)][v] = true;
      if (event.onset >= startOf[v]) {
        startOf[v] = event.onset;
        conditionOf[v] = event.condition;
      }
    }
  }
  protocol = std::make_unique<Protocol>(covered, std::move(conditionOf), trSeconds);
  names = found;
  return true;
}
