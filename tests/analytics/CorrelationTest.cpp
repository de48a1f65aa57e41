#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "analytics/Correlation.h"
#include "tests/analytics/Reference.h"

using reference::Series;

TEST(PearsonCorrelation, IdenticalNegatedAndConstantSeries) {
  const Series x{1.0, 4.0, 2.0, 8.0, 5.0, 7.0};
  Series negated;
  for (double v : x) negated.push_back(-3.0 * v + 2.0);
  const Series constant(x.size(), 4.25);
  EXPECT_NEAR(pearsonCorrelation(x.data(), x.data(), 6), 1.0, 1e-15);
  EXPECT_NEAR(pearsonCorrelation(x.data(), negated.data(), 6), -1.0, 1e-15);
  EXPECT_TRUE(std::isnan(pearsonCorrelation(x.data(), constant.data(), 6)));
  EXPECT_TRUE(std::isnan(pearsonCorrelation(constant.data(), x.data(), 6)));
}

TEST(PearsonCorrelation, WindowOfOneIsNaN) {
  const double a = 3.0, b = -1.0;
  EXPECT_TRUE(std::isnan(pearsonCorrelation(&a, &b, 1)));
}

TEST(PearsonCorrelation, MatchesTheRawSumsFormulaOnRandomData) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    const std::vector<Series> rows = reference::randomRows(2, 5 + seed * 7, seed);
    SCOPED_TRACE(seed);
    EXPECT_NEAR(pearsonCorrelation(rows[0].data(), rows[1].data(), int(rows[0].size())),
                reference::pearson(rows[0], rows[1]), 1e-12);
  }
}

namespace {

// B^T B + n I: symmetric positive definite.
std::vector<double> randomSpd(int n, std::mt19937& generator) {
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> b(size_t(n * n));
  for (double& v : b) v = uniform(generator);
  std::vector<double> a(size_t(n * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double s = i == j ? n : 0.0;
      for (int k = 0; k < n; ++k) s += b[size_t(k * n + i)] * b[size_t(k * n + j)];
      a[size_t(i * n + j)] = s;
    }
  return a;
}

}  // namespace

TEST(InvertPositiveDefinite, TimesTheMatrixGivesIdentity) {
  std::mt19937 generator(42);
  for (int n : {1, 2, 3, 5, 8, 13}) {
    SCOPED_TRACE(n);
    const std::vector<double> a = randomSpd(n, generator);
    const std::vector<double> inverse = invertPositiveDefinite(a.data(), n);
    ASSERT_EQ(inverse.size(), size_t(n * n));
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        double s = 0;
        for (int k = 0; k < n; ++k) s += a[size_t(i * n + k)] * inverse[size_t(k * n + j)];
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
        // A symmetric matrix has a symmetric inverse.
        EXPECT_NEAR(inverse[size_t(i * n + j)], inverse[size_t(j * n + i)], 1e-14);
      }
  }
}

TEST(InvertPositiveDefinite, KnownTwoByTwo) {
  const double a[] = {4.0, 2.0, 2.0, 3.0};  // inverse: [3 -2; -2 4] / 8
  const std::vector<double> inverse = invertPositiveDefinite(a, 2);
  EXPECT_NEAR(inverse[0], 0.375, 1e-15);
  EXPECT_NEAR(inverse[1], -0.25, 1e-15);
  EXPECT_NEAR(inverse[2], -0.25, 1e-15);
  EXPECT_NEAR(inverse[3], 0.5, 1e-15);
}

TEST(InvertPositiveDefinite, IgnoresTheStrictLowerTriangle) {
  std::mt19937 generator(7);
  const int n = 6;
  const std::vector<double> a = randomSpd(n, generator);
  std::vector<double> garbage = a;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j) garbage[size_t(i * n + j)] = i % 2 ? std::nan("") : 1e300 * (j - 2);
  EXPECT_EQ(invertPositiveDefinite(garbage.data(), n), invertPositiveDefinite(a.data(), n));
}

TEST(InvertPositiveDefinite, IndefiniteMatrixGivesNonFiniteValues) {
  const double a[] = {1.0, 2.0, 2.0, 1.0};  // eigenvalues 3 and -1
  const std::vector<double> inverse = invertPositiveDefinite(a, 2);
  EXPECT_FALSE(std::isfinite(inverse[3]));
}

TEST(PartialCorrelations, MatchRegressionResidualCorrelations) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const int a = 2 + int(seed % 4);
    const int b = 25 + int(seed) * 3;
    const std::vector<Series> rows = reference::randomRows(size_t(a), size_t(b), 100 + seed);
    const std::vector<double> data = reference::flatten(rows);
    std::vector<double> out(size_t(a * a), 0.0);
    partialCorrelations(data.data(), out.data(), a, b);
    for (int i = 0; i < a; ++i)
      for (int j = 0; j < a; ++j) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " pair " << i << "," << j);
        if (j > i)
          EXPECT_NEAR(out[size_t(i * a + j)], reference::partial(rows, size_t(i), size_t(j)), 1e-10);
        else
          EXPECT_EQ(out[size_t(i * a + j)], 0.0);  // diagonal and lower triangle untouched
      }
  }
}

TEST(PartialCorrelations, TwoRoisEqualPearson) {
  const std::vector<Series> rows = reference::randomRows(2, 40, 9);
  const std::vector<double> data = reference::flatten(rows);
  double out[4] = {0, 0, 0, 0};
  partialCorrelations(data.data(), out, 2, 40);
  EXPECT_NEAR(out[1], pearsonCorrelation(rows[0].data(), rows[1].data(), 40), 1e-13);
}

TEST(PartialCorrelations, WindowOfOneIsNaNEverywhere) {
  const double data[] = {1.0, 2.0, 3.0};
  double out[9] = {};
  partialCorrelations(data, out, 3, 1);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_TRUE(std::isnan(out[2]));
  EXPECT_TRUE(std::isnan(out[5]));
}

namespace {

// Three zero-mean rows with exactly the sample correlations of `r` (a 3 x 3
// correlation matrix): an orthonormal, centred basis mixed by r's Cholesky
// factor.
std::vector<Series> rowsWithCorrelations(const double r[3][3], size_t width) {
  std::vector<Series> basis = reference::randomRows(3, width, 5);
  for (size_t i = 0; i < 3; ++i) {
    Series& v = basis[i];
    double mean = 0;
    for (double x : v) mean += x / double(width);
    for (double& x : v) x -= mean;
    for (size_t j = 0; j < i; ++j) {
      double dot = 0;
      for (size_t k = 0; k < width; ++k) dot += v[k] * basis[j][k];
      for (size_t k = 0; k < width; ++k) v[k] -= dot * basis[j][k];
    }
    double norm = 0;
    for (double x : v) norm += x * x;
    for (double& x : v) x /= std::sqrt(norm);
  }
  const double l10 = r[1][0], l11 = std::sqrt(1 - l10 * l10);
  const double l20 = r[2][0], l21 = (r[2][1] - l20 * l10) / l11, l22 = std::sqrt(1 - l20 * l20 - l21 * l21);
  std::vector<Series> rows(3, Series(width));
  for (size_t k = 0; k < width; ++k) {
    rows[0][k] = basis[0][k];
    rows[1][k] = l10 * basis[0][k] + l11 * basis[1][k];
    rows[2][k] = l20 * basis[0][k] + l21 * basis[1][k] + l22 * basis[2][k];
  }
  return rows;
}

}  // namespace

TEST(InstantProxyCorrelation, ThreeRoisAreGroupPairMinusMeanWithReference) {
  const double r[3][3] = {{1, 0.5, 0.2}, {0.5, 1, 0.4}, {0.2, 0.4, 1}};
  const std::vector<Series> rows = rowsWithCorrelations(r, 30);
  ASSERT_NEAR(reference::pearson(rows[0], rows[1]), 0.5, 1e-12);
  ASSERT_NEAR(reference::pearson(rows[1], rows[2]), 0.4, 1e-12);
  const std::vector<double> window = reference::flatten(rows);
  EXPECT_NEAR(instantProxyCorrelation(window.data(), 3, 30), 0.2f, 2e-7);
}

TEST(InstantProxyCorrelation, MoreRoisAgainstTheMeansOfTheirPairs) {
  const std::vector<Series> rows = reference::randomRows(5, 20, 77);
  const std::vector<double> window = reference::flatten(rows);
  double within = 0, withReference = 0;
  for (int j = 0; j < 4; ++j) {
    for (int k = j + 1; k < 4; ++k) within += reference::pearson(rows[size_t(j)], rows[size_t(k)]);
    withReference += reference::pearson(rows[size_t(j)], rows[4]);
  }
  EXPECT_NEAR(instantProxyCorrelation(window.data(), 5, 20), within / 6 - withReference / 4, 1e-6);
}

TEST(InstantProxyCorrelation, ConstantRowGivesNaN) {
  std::vector<Series> rows = reference::randomRows(3, 10, 3);
  rows[2] = Series(10, 1.0);
  const std::vector<double> window = reference::flatten(rows);
  EXPECT_TRUE(std::isnan(instantProxyCorrelation(window.data(), 3, 10)));
}

namespace {

// Same bits, also for NaN payloads and the sign of zero.
template <typename Real>
bool sameBits(Real a, Real b) {
  return std::memcmp(&a, &b, sizeof(Real)) == 0;
}

}  // namespace

// Clients compare with their own computations to the bit, so every result is
// the one the written order of operations gives: no fused multiply-add and no
// reordering, whatever the compiler and the target processor.
TEST(Numerics, EveryRoutineIsBitExactToItsOrderOfOperations) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    const size_t a = 3 + seed % 5, b = 8 + 3 * seed;
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << a << " x " << b);
    std::vector<Series> rows = reference::randomRows(a, b, 500 + seed);
    // Offsets and scales far from 1 make every rounding show.
    for (size_t r = 0; r < a; ++r)
      for (double& v : rows[r]) v = 1000.0 * double(r + 1) + v * (0.1 + double(r));
    const std::vector<double> window = reference::flatten(rows);
    const int n = int(a), w = int(b);

    for (size_t j = 0; j < a; ++j)
      for (size_t k = 0; k < a; ++k)
        EXPECT_TRUE(sameBits(pearsonCorrelation(&window[j * b], &window[k * b], w),
                             reference::exact::pearson(rows[j], rows[k])))
            << "Pearson " << j << "," << k;

    std::vector<double> out(a * a, 0.0);
    partialCorrelations(window.data(), out.data(), n, w);
    const reference::exact::Matrix partial = reference::exact::partials(rows);
    for (size_t i = 0; i < a; ++i)
      for (size_t j = 0; j < a; ++j)
        EXPECT_TRUE(sameBits(out[i * a + j], partial[i][j])) << "partial " << i << "," << j;

    reference::exact::Matrix square(a, Series(a));
    std::vector<double> flat;
    for (size_t i = 0; i < a; ++i)
      for (size_t j = 0; j < a; ++j)
        flat.push_back(square[i][j] = reference::pearson(rows[i], rows[j]) + (i == j));
    const std::vector<double> inverse = invertPositiveDefinite(flat.data(), n);
    const reference::exact::Matrix expected = reference::exact::inverse(square);
    for (size_t i = 0; i < a; ++i)
      for (size_t j = 0; j < a; ++j)
        EXPECT_TRUE(sameBits(inverse[i * a + j], expected[i][j])) << "inverse " << i << "," << j;

    EXPECT_TRUE(sameBits(instantProxyCorrelation(window.data(), n, w), reference::exact::instantProxy(rows)));
  }
}
