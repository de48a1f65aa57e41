#include "bench/Report.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>

Summary summarize(std::vector<double> samples) {
  Summary s;
  s.samples = samples.size();
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  auto rank = [&](double q) {
    const std::size_t index = std::size_t(std::ceil(q * double(samples.size()))) - 1;
    return samples[std::min(index, samples.size() - 1)];
  };
  s.median = samples.size() % 2 == 1 ? samples[samples.size() / 2]
                                     : 0.5 * (samples[samples.size() / 2 - 1] + samples[samples.size() / 2]);
  s.p99 = rank(0.99);
  s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(samples.size());
  return s;
}

Summary single(double value) {
  Summary s;
  s.median = s.p99 = s.mean = value;
  s.samples = 1;
  return s;
}

namespace {

// The machine's one-minute load average; other work on the same CPUs moves
// every figure, so each one carries the load it was measured under.
double loadAverage() {
  std::ifstream file("/proc/loadavg");
  double load = -1;
  file >> load;
  return load;
}

}  // namespace

Figure& Report::add(std::string group, std::string name, std::string unit, std::string baselineName) {
  Figure f;
  f.loadAverage = loadAverage();
  f.group = std::move(group);
  f.name = std::move(name);
  f.unit = std::move(unit);
  f.baselineName = std::move(baselineName);
  figures_.push_back(std::move(f));
  return figures_.back();
}

namespace {

std::string number(double v) {
  char buffer[32];
  if (v == 0) return "0";
  if (std::fabs(v) >= 1e5)
    std::snprintf(buffer, sizeof buffer, "%.0f", v);
  else if (std::fabs(v) >= 100)
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
  else
    std::snprintf(buffer, sizeof buffer, "%.3g", v);
  return buffer;
}

std::string metText(const Figure& f) {
  if (!f.met) return "";
  return *f.met ? "met" : "NOT MET";
}

}  // namespace

void Report::printRow(std::FILE* out, const Figure& f) const {
  std::fprintf(out, "%-20s %-44s %-6s %10s %10s | %10s %10s | %6s %6s | %5.2f | %s %s\n", f.group.c_str(),
               f.name.c_str(), f.unit.c_str(), number(f.plugin.median).c_str(), number(f.plugin.p99).c_str(),
               number(f.baseline.median).c_str(), number(f.baseline.p99).c_str(),
               number(f.ratioMedian()).c_str(), number(f.ratioP99()).c_str(), f.loadAverage, f.target.c_str(),
               metText(f).c_str());
  std::fflush(out);
}

void Report::printTable(std::FILE* out) const {
  std::fprintf(out, "\n%-20s %-44s %-6s %10s %10s | %10s %10s | %6s %6s | %5s | %s\n", "group", "figure",
               "unit", "median", "p99", "base med", "base p99", "x med", "x p99", "load", "target");
  std::fprintf(out, "%s\n", std::string(150, '-').c_str());
  for (const Figure& f : figures_) printRow(out, f);
}

void Report::printTargets(std::FILE* out) const {
  std::fprintf(out, "\nTargets\n%s\n", std::string(150, '-').c_str());
  for (const Figure& f : figures_)
    if (!f.target.empty()) printRow(out, f);
}

bool Report::writeJson(const std::string& path, bool quick, bool pinned, double seconds) const {
  auto summary = [](const Summary& s) {
    QJsonObject o;
    o["median"] = s.median;
    o["p99"] = s.p99;
    o["mean"] = s.mean;
    o["samples"] = double(s.samples);
    return o;
  };
  QJsonArray figures;
  for (const Figure& f : figures_) {
    QJsonObject o;
    o["group"] = QString::fromStdString(f.group);
    o["name"] = QString::fromStdString(f.name);
    o["unit"] = QString::fromStdString(f.unit);
    o["plugin"] = summary(f.plugin);
    o["baseline"] = summary(f.baseline);
    o["baselineName"] = QString::fromStdString(f.baselineName);
    o["ratioMedian"] = f.ratioMedian();
    o["ratioP99"] = f.ratioP99();
    o["higherIsBetter"] = f.higherIsBetter;
    if (!f.target.empty()) o["target"] = QString::fromStdString(f.target);
    if (f.met) o["met"] = *f.met;
    o["loadAverage"] = f.loadAverage;
    QJsonObject details;
    for (const auto& d : f.details) details[QString::fromStdString(d.first)] = d.second;
    if (!details.isEmpty()) o["details"] = details;
    figures.append(o);
  }
  QJsonObject machine;
  machine["cpus"] = QThread::idealThreadCount();
  machine["kernel"] = QSysInfo::kernelType() + " " + QSysInfo::kernelVersion();
  machine["os"] = QSysInfo::prettyProductName();
  machine["qt"] = QString::fromLatin1(qVersion());
  // Qt's GLib event dispatcher wakes its context (an eventfd write) whenever a
  // socket notifier changes; QT_NO_GLIB=1 selects the plain one.
  machine["qtEventDispatcher"] = qEnvironmentVariableIsSet("QT_NO_GLIB") ? "unix" : "glib";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      machine["cpuModel"] = QString::fromStdString(line.substr(line.find(':') + 2));
      break;
    }
  }
  QJsonObject root;
  root["machine"] = machine;
  root["quick"] = quick;
  root["pinnedToOneCpu"] = pinned;
  root["seconds"] = seconds;
  root["figures"] = figures;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
  return true;
}
