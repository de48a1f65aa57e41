// Report: the figures of one benchmark run, each beside its baseline measured
// in the same run, printed as a table and written as JSON.
//
//   Report report;
//   Figure& f = report.add("round trip", "tGetNrOfROIs, 1 client", "us");
//   f.plugin = summarize(pluginSamples);
//   f.baseline = summarize(baselineSamples);
//   f.target = "median <= 1.3x, p99 <= 2x";
//   f.met = f.ratioMedian() <= 1.3 && f.ratioP99() <= 2.0;
//   report.printTable(stdout);
//   report.writeJson("bench.json");
#pragma once

#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The middle and the 99th percentile (nearest rank) of a set of samples.
struct Summary {
  double median = 0;
  double p99 = 0;
  double mean = 0;
  std::size_t samples = 0;
};

Summary summarize(std::vector<double> samples);
// A single value (rates, memory): median = p99 = value.
Summary single(double value);

struct Figure {
  std::string group;
  std::string name;
  std::string unit;
  std::string baselineName;
  Summary plugin;
  Summary baseline;
  // Figures such as request rates are better when larger.
  bool higherIsBetter = false;
  std::string target;
  std::optional<bool> met;
  // The machine's one-minute load average when the figure was complete.
  double loadAverage = -1;
  // Further numbers that explain the figure (host calls made, bytes, ...).
  std::map<std::string, double> details;

  double ratioMedian() const { return baseline.median > 0 ? plugin.median / baseline.median : 0; }
  double ratioP99() const { return baseline.p99 > 0 ? plugin.p99 / baseline.p99 : 0; }
};

class Report {
 public:
  Figure& add(std::string group, std::string name, std::string unit, std::string baselineName);
  void printTable(std::FILE* out) const;
  // The figures that have a target, each beside its baseline, once more.
  void printTargets(std::FILE* out) const;
  // Also prints one figure as soon as it is complete, for progress.
  void printRow(std::FILE* out, const Figure& figure) const;
  bool writeJson(const std::string& path, bool quick, bool pinned, double seconds) const;
  const std::deque<Figure>& figures() const { return figures_; }

 private:
  // A deque keeps the figures callers hold references to in place.
  std::deque<Figure> figures_;
};
