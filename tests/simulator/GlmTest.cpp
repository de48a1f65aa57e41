// The incremental GLM against an independent batch least-squares fit (modified
// Gram-Schmidt QR on the explicit design matrix, residuals computed directly).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "simulator/Glm.h"

namespace {

struct BatchFit {
  std::vector<double> beta;  // per predictor
  double t = 0.0;            // of the contrast
};

// Least squares by QR: X = QR, beta = R^-1 Q'y; var(c'b) = s^2 c'(R'R)^-1 c.
BatchFit batchFit(const std::vector<std::vector<double>>& X, const std::vector<double>& y,
                  const std::vector<double>& c) {
  const size_t n = X.size(), p = X[0].size();
  std::vector<std::vector<double>> q(p, std::vector<double>(n));
  std::vector<std::vector<double>> r(p, std::vector<double>(p, 0.0));
  for (size_t j = 0; j < p; ++j)
    for (size_t i = 0; i < n; ++i) q[j][i] = X[i][j];
  for (size_t j = 0; j < p; ++j) {
    for (size_t k = 0; k < j; ++k) {
      double dot = 0.0;
      for (size_t i = 0; i < n; ++i) dot += q[k][i] * q[j][i];
      r[k][j] = dot;
      for (size_t i = 0; i < n; ++i) q[j][i] -= dot * q[k][i];
    }
    double norm = 0.0;
    for (size_t i = 0; i < n; ++i) norm += q[j][i] * q[j][i];
    norm = std::sqrt(norm);
    r[j][j] = norm;
    for (size_t i = 0; i < n; ++i) q[j][i] /= norm;
  }
  std::vector<double> qty(p, 0.0);
  for (size_t j = 0; j < p; ++j)
    for (size_t i = 0; i < n; ++i) qty[j] += q[j][i] * y[i];
  BatchFit fit;
  fit.beta.assign(p, 0.0);
  for (size_t j = p; j-- > 0;) {
    double v = qty[j];
    for (size_t k = j + 1; k < p; ++k) v -= r[j][k] * fit.beta[k];
    fit.beta[j] = v / r[j][j];
  }
  double rss = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double e = y[i];
    for (size_t j = 0; j < p; ++j) e -= X[i][j] * fit.beta[j];
    rss += e * e;
  }
  // w = R'^-1 c, so c'(R'R)^-1 c = |w|^2.
  std::vector<double> w(p, 0.0);
  for (size_t j = 0; j < p; ++j) {
    double v = c[j];
    for (size_t k = 0; k < j; ++k) v -= r[k][j] * w[k];
    w[j] = v / r[j][j];
  }
  double ww = 0.0, effect = 0.0;
  for (size_t j = 0; j < p; ++j) {
    ww += w[j] * w[j];
    effect += c[j] * fit.beta[j];
  }
  fit.t = effect / std::sqrt(rss / static_cast<double>(n - p) * ww);
  return fit;
}

}  // namespace

TEST(IncrementalGlm, MatchesBatchLeastSquaresAfterEveryVolume) {
  constexpr int kPredictors = 3, kVoxels = 4, kVolumes = 40;
  std::mt19937 generator(7);
  std::normal_distribution<double> noise(0.0, 5.0);
  std::vector<std::vector<double>> X;
  std::vector<std::vector<double>> y(kVoxels);
  IncrementalGlm glm(kPredictors, kVoxels);
  const std::vector<double> contrast{1.0, -0.5, 0.0};
  for (int t = 0; t < kVolumes; ++t) {
    const std::vector<double> row{std::sin(t * 0.4), (t % 7) / 7.0, 1.0};
    short samples[kVoxels];
    for (int v = 0; v < kVoxels; ++v) {
      const double value = 1000.0 + 40.0 * v * row[0] - 25.0 * row[1] + noise(generator);
      samples[v] = static_cast<short>(std::lround(value));
      y[static_cast<size_t>(v)].push_back(samples[v]);
    }
    X.push_back(row);
    glm.add(row.data(), samples);
    if (t + 1 < 6) continue;
    std::vector<double> betas(kPredictors * kVoxels);
    ASSERT_EQ(glm.estimate(betas.data()), kPredictors);
    std::vector<float> tmap(kVoxels);
    glm.contrastT(contrast, betas.data(), tmap.data());
    for (int v = 0; v < kVoxels; ++v) {
      SCOPED_TRACE("volume " + std::to_string(t) + ", voxel " + std::to_string(v));
      const BatchFit fit = batchFit(X, y[static_cast<size_t>(v)], contrast);
      for (int b = 0; b < kPredictors; ++b)
        EXPECT_NEAR(betas[static_cast<size_t>(b * kVoxels + v)], fit.beta[static_cast<size_t>(b)],
                    1e-6 * (1.0 + std::fabs(fit.beta[static_cast<size_t>(b)])));
      EXPECT_NEAR(tmap[static_cast<size_t>(v)], fit.t, 1e-3 * (1.0 + std::fabs(fit.t)));
    }
  }
}

TEST(IncrementalGlm, LeavesOutPredictorsTheDataCannotSeparate) {
  // Predictor 1 is all zeros (a task that has not occurred yet), predictor 3
  // duplicates predictor 0: both get 0 and the rest is the fit without them.
  IncrementalGlm glm(4, 1);
  std::vector<std::vector<double>> reduced;
  std::vector<double> y;
  for (int t = 0; t < 20; ++t) {
    const double a = std::cos(t * 0.7);
    const double row[4] = {a, 0.0, 1.0, a};
    const short sample = static_cast<short>(500 + std::lround(30 * a) + (t % 3));
    glm.add(row, &sample);
    reduced.push_back({a, 1.0});
    y.push_back(sample);
  }
  double betas[4];
  EXPECT_EQ(glm.estimate(betas), 2);
  const BatchFit fit = batchFit(reduced, y, {1.0, 0.0});
  EXPECT_NEAR(betas[0], fit.beta[0], 1e-9);
  EXPECT_EQ(betas[1], 0.0);
  EXPECT_NEAR(betas[2], fit.beta[1], 1e-9);
  EXPECT_EQ(betas[3], 0.0);

  float t = 1.0f;
  glm.contrastT({0.0, 1.0, 0.0, 0.0}, betas, &t);
  EXPECT_EQ(t, 0.0f) << "a contrast on a predictor outside the fit has no t value";
  glm.contrastT({1.0, 0.0, 0.0, 0.0}, betas, &t);
  EXPECT_NEAR(t, fit.t, 1e-3 * std::fabs(fit.t));
}

TEST(IncrementalGlm, GivesNoTValueWithoutResidualDegreesOfFreedom) {
  IncrementalGlm glm(2, 1);
  const double rows[2][2] = {{0.0, 1.0}, {1.0, 1.0}};
  const short samples[2] = {10, 30};
  glm.add(rows[0], &samples[0]);
  glm.add(rows[1], &samples[1]);
  double betas[2];
  EXPECT_EQ(glm.estimate(betas), 2);
  EXPECT_NEAR(betas[0], 20.0, 1e-9);
  EXPECT_NEAR(betas[1], 10.0, 1e-9);
  float t = 1.0f;
  glm.contrastT({1.0, 0.0}, betas, &t);
  EXPECT_EQ(t, 0.0f);
}

TEST(IncrementalGlm, EstimatesNothingBeforeTheFirstVolume) {
  IncrementalGlm glm(3, 2);
  std::vector<double> betas(6, 99.0);
  EXPECT_EQ(glm.estimate(betas.data()), 0);
  for (double b : betas) EXPECT_EQ(b, 0.0);
}
