// An incremental general linear model fitted to every voxel of a run.
//
// Each volume adds one design row x (the same for every voxel) and one sample
// per voxel.  The model keeps X'X, X'y and y'y per voxel, so an estimate after
// n volumes costs O(P^2 V) whatever n is.  Predictors that the data seen so far
// cannot separate (a task that has not occurred yet, collinear columns) are
// left out of the fit and get the beta 0.
//
// Not thread-safe: the simulated host calls it under its own lock.
#pragma once

#include <cstddef>
#include <vector>

class IncrementalGlm {
 public:
  IncrementalGlm(int predictors, int voxels);

  int predictors() const { return p_; }
  int voxels() const { return v_; }
  int observations() const { return n_; }

  // Adds one volume: design row x (predictors() values) and its samples.
  void add(const double* x, const short* samples);

  // Writes the betas, predictor-major: betas[b * voxels() + i] for predictor b
  // and voxel i.  Also returns the rank used.
  int estimate(double* betas) const;

  // t statistic of contrast c (predictors() weights) per voxel, written to
  // tmap[i].  0 where the residual has no degree of freedom left, where the
  // contrast touches a predictor left out of the fit, or where the residual
  // variance is 0.  `betas` must be what estimate() wrote.
  void contrastT(const std::vector<double>& c, const double* betas, float* tmap) const;

 private:
  // The inverse of X'X restricted to the predictors in the fit (zero rows and
  // columns elsewhere); `kept` marks them.  Returns the rank.
  int inverse(std::vector<double>& inv, std::vector<bool>& kept) const;

  int p_, v_, n_ = 0;
  std::vector<double> xtx_;  // p_ x p_
  std::vector<double> xty_;  // p_ x v_, predictor-major
  std::vector<double> yty_;  // v_
};
