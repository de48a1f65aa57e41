// The block-design protocol of a simulated run and its design matrix.
//
// The protocol alternates rest blocks with task blocks: rest, condition 1,
// rest, condition 2, ..., rest, condition K, rest, condition 1, ...  Each block
// lasts `blockVolumes` volumes.  Condition 0 is rest; 1 to K are the tasks.
//
// The design matrix has one column per task condition (its boxcar convolved
// with the canonical haemodynamic response) followed by the confounds: a
// linear drift running from -1 at the first volume to +1 at the last expected
// one, then the constant 1.  Rest has no column: it is the baseline.
// A study's own design (a BIDS events file) gives the condition of each volume
// and, per condition, the volumes its events cover (they may overlap); each
// condition's column is then that indicator convolved the same way.
// Everything here is computed once, before the run, and is read-only after.
#pragma once

#include <cstddef>
#include <vector>

class Protocol {
 public:
  static constexpr int kConfoundPredictors = 2;

  Protocol(int conditions, int blockVolumes, int volumes, double trSeconds);
  // `covered[c][t]`: condition c + 1 is on at volume t; `conditionOfVolume[t]`
  // the condition the host reports at volume t (0 = none).  Every vector has
  // one element per volume.
  Protocol(const std::vector<std::vector<bool>>& covered, std::vector<int> conditionOfVolume,
           double trSeconds);

  int conditions() const { return conditions_; }
  int volumes() const { return volumes_; }
  int predictors() const { return conditions_ + kConfoundPredictors; }

  // The condition of volume t (0 = rest); 0 outside the run.
  int conditionAt(int t) const;
  // Design matrix element (predictor, volume t); 0 outside the matrix.
  double design(int predictor, int t) const;
  // Row t of the design matrix, predictors() values.
  const double* row(int t) const { return &matrix_[static_cast<size_t>(t) * predictors()]; }

 private:
  // Fills the design matrix from conditionOf_ or `covered`.
  void buildMatrix(const std::vector<std::vector<bool>>& covered, double trSeconds);

  int conditions_, volumes_;
  std::vector<int> conditionOf_;  // per volume
  std::vector<double> matrix_;    // volumes_ rows of predictors() values
};

// The canonical double-gamma response (peak near 5 s, undershoot near 15 s,
// undershoot ratio 1/6) at `seconds` after the onset of a unit impulse.
double canonicalHrf(double seconds);
