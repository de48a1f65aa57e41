// The host's real-time classifier: a nearest-centroid classifier over the ROI
// values of each volume, trained incrementally on the protocol's labels.
//
// Classes are protocol conditions 0 to N-1 (0 is rest).  A volume is learnt
// under the condition that was shown `lagVolumes` earlier, since the response
// lags the stimulus.  Output is one value per pair of classes (i, j), i < j,
// in the order (0,1), (0,2), ..., (N-2,N-1): the squared distance of the
// current volume to the centroid of j minus that to the centroid of i, so a
// positive value favours i.  The result is the class of the nearest centroid.
//
// State as tGetNumberOfClasses reports it: "not used" (-3) when switched off,
// 0 until every class has been learnt at least once, then N.
//
// Not thread-safe: the simulated host calls it under its own lock.
#pragma once

#include <cstddef>
#include <vector>

class Classifier {
 public:
  static constexpr int kNotUsed = -3;

  // classes 0 switches the classifier off; otherwise at least 2.
  Classifier(int classes, int features, int lagVolumes);

  bool enabled() const { return classes_ > 0; }
  int numberOfClasses() const;
  int pairs() const { return classes_ > 0 ? classes_ * (classes_ - 1) / 2 : 0; }

  // Classifies `features` (then the current volume) and learns the example of
  // `lagVolumes` ago under `label`, when that label is one of the classes.
  void addVolume(const std::vector<double>& features, int labelOfLaggedVolume);
  int lagVolumes() const { return lag_; }

  // Writes pairs() values into `out`; returns the predicted class (-1 before
  // any output exists).
  int output(float* out) const;

 private:
  bool trained() const;

  int classes_, features_, lag_;
  std::vector<std::vector<double>> sums_;  // per class, per feature
  std::vector<int> counts_;
  std::vector<std::vector<double>> history_;  // the last lag_ + 1 feature vectors
  std::vector<double> current_;
};
