#include "simulator/Glm.h"

#include <cmath>
#include <cstddef>

namespace {

// A pivot this small relative to its column's own sum of squares means the
// column is (numerically) a combination of the columns already in the fit.
constexpr double kPivotTolerance = 1e-9;

}  // namespace

IncrementalGlm::IncrementalGlm(int predictors, int voxels)
    : p_(predictors),
      v_(voxels),
      xtx_(static_cast<size_t>(p_) * p_, 0.0),
      xty_(static_cast<size_t>(p_) * v_, 0.0),
      yty_(static_cast<size_t>(v_), 0.0) {}

void IncrementalGlm::add(const double* x, const short* samples) {
  for (int a = 0; a < p_; ++a)
    for (int b = 0; b < p_; ++b) xtx_[static_cast<size_t>(a) * p_ + b] += x[a] * x[b];
  for (int a = 0; a < p_; ++a) {
    if (x[a] == 0.0) continue;
    double* row = &xty_[static_cast<size_t>(a) * v_];
    for (int i = 0; i < v_; ++i) row[i] += x[a] * samples[i];
  }
  for (int i = 0; i < v_; ++i) yty_[static_cast<size_t>(i)] += double(samples[i]) * samples[i];
  ++n_;
}

int IncrementalGlm::inverse(std::vector<double>& inv, std::vector<bool>& kept) const {
  // Gauss-Jordan sweep over the pivots that stay well away from 0; after
  // sweeping the set S, the S x S block holds inv(X'X restricted to S).
  std::vector<double> a = xtx_;
  kept.assign(static_cast<size_t>(p_), false);
  int rank = 0;
  for (int k = 0; k < p_; ++k) {
    const double original = xtx_[static_cast<size_t>(k) * p_ + k];
    const double d = a[static_cast<size_t>(k) * p_ + k];
    if (!(original > 0.0) || !(d > kPivotTolerance * original)) continue;
    kept[static_cast<size_t>(k)] = true;
    ++rank;
    for (int j = 0; j < p_; ++j) a[static_cast<size_t>(k) * p_ + j] /= d;
    for (int i = 0; i < p_; ++i) {
      if (i == k) continue;
      const double f = a[static_cast<size_t>(i) * p_ + k];
      for (int j = 0; j < p_; ++j)
        a[static_cast<size_t>(i) * p_ + j] -= f * a[static_cast<size_t>(k) * p_ + j];
      a[static_cast<size_t>(i) * p_ + k] = -f / d;
    }
    a[static_cast<size_t>(k) * p_ + k] = 1.0 / d;
  }
  inv.assign(static_cast<size_t>(p_) * p_, 0.0);
  for (int i = 0; i < p_; ++i)
    for (int j = 0; j < p_; ++j)
      if (kept[static_cast<size_t>(i)] && kept[static_cast<size_t>(j)])
        inv[static_cast<size_t>(i) * p_ + j] = a[static_cast<size_t>(i) * p_ + j];
  return rank;
}

int IncrementalGlm::estimate(double* betas) const {
  std::vector<double> inv;
  std::vector<bool> kept;
  const int rank = inverse(inv, kept);
  for (int b = 0; b < p_; ++b) {
    double* out = betas + static_cast<size_t>(b) * v_;
    for (int i = 0; i < v_; ++i) out[i] = 0.0;
    for (int k = 0; k < p_; ++k) {
      const double w = inv[static_cast<size_t>(b) * p_ + k];
      if (w == 0.0) continue;
      const double* xty = &xty_[static_cast<size_t>(k) * v_];
      for (int i = 0; i < v_; ++i) out[i] += w * xty[i];
    }
  }
  return rank;
}

void IncrementalGlm::contrastT(const std::vector<double>& c, const double* betas, float* tmap) const {
  std::vector<double> inv;
  std::vector<bool> kept;
  const int rank = inverse(inv, kept);
  bool usable = n_ > rank && static_cast<int>(c.size()) == p_;
  double cInvC = 0.0;
  for (int a = 0; usable && a < p_; ++a) {
    if (c[static_cast<size_t>(a)] != 0.0 && !kept[static_cast<size_t>(a)]) usable = false;
    for (int b = 0; b < p_; ++b)
      cInvC += c[static_cast<size_t>(a)] * inv[static_cast<size_t>(a) * p_ + b] * c[static_cast<size_t>(b)];
  }
  if (!(cInvC > 0.0)) usable = false;
  const int dof = n_ - rank;
  for (int i = 0; i < v_; ++i) {
    if (!usable) {
      tmap[i] = 0.0f;
      continue;
    }
    double effect = 0.0, fitted = 0.0;
    for (int b = 0; b < p_; ++b) {
      const double beta = betas[static_cast<size_t>(b) * v_ + i];
      effect += c[static_cast<size_t>(b)] * beta;
      fitted += beta * xty_[static_cast<size_t>(b) * v_ + i];
    }
    const double sse = yty_[static_cast<size_t>(i)] - fitted;
    const double variance = sse / dof;
    tmap[i] = variance > 0.0 ? static_cast<float>(effect / std::sqrt(variance * cInvC)) : 0.0f;
  }
}
