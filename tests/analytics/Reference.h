// Independent reference computations for the numeric tests: textbook formulas
// in long double, deliberately unlike the routines under test.
#pragma once

#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace reference {

using Series = std::vector<double>;

// Pearson r from raw sums: (n Sxy - Sx Sy) / sqrt((n Sxx - Sx^2)(n Syy - Sy^2)).
inline double pearson(const Series& x, const Series& y) {
  long double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  const long double n = x.size();
  for (size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += (long double)x[i] * x[i];
    syy += (long double)y[i] * y[i];
    sxy += (long double)x[i] * y[i];
  }
  return double((n * sxy - sx * sy) / std::sqrt((n * sxx - sx * sx) * (n * syy - sy * sy)));
}

// Solves the square system m x = v by Gaussian elimination with partial
// pivoting (m is n x n row-major).
inline std::vector<long double> solve(std::vector<long double> m, std::vector<long double> v) {
  const size_t n = v.size();
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    for (size_t r = col + 1; r < n; ++r)
      if (std::fabs(m[r * n + col]) > std::fabs(m[pivot * n + col])) pivot = r;
    for (size_t c = 0; c < n; ++c) std::swap(m[col * n + c], m[pivot * n + c]);
    std::swap(v[col], v[pivot]);
    for (size_t r = col + 1; r < n; ++r) {
      const long double f = m[r * n + col] / m[col * n + col];
      for (size_t c = col; c < n; ++c) m[r * n + c] -= f * m[col * n + c];
      v[r] -= f * v[col];
    }
  }
  std::vector<long double> x(n);
  for (size_t r = n; r-- > 0;) {
    long double s = v[r];
    for (size_t c = r + 1; c < n; ++c) s -= m[r * n + c] * x[c];
    x[r] = s / m[r * n + r];
  }
  return x;
}

// The residual of `target` after a least-squares fit on `regressors` plus a
// constant.
inline Series residual(const Series& target, const std::vector<Series>& regressors) {
  const size_t b = target.size();
  std::vector<Series> design{Series(b, 1.0)};
  for (const Series& r : regressors) design.push_back(r);
  const size_t p = design.size();
  std::vector<long double> normal(p * p), rhs(p);
  for (size_t i = 0; i < p; ++i) {
    for (size_t j = 0; j < p; ++j)
      for (size_t k = 0; k < b; ++k) normal[i * p + j] += (long double)design[i][k] * design[j][k];
    for (size_t k = 0; k < b; ++k) rhs[i] += (long double)design[i][k] * target[k];
  }
  const std::vector<long double> coef = solve(normal, rhs);
  Series out(b);
  for (size_t k = 0; k < b; ++k) {
    long double fit = 0;
    for (size_t i = 0; i < p; ++i) fit += coef[i] * design[i][k];
    out[k] = double(target[k] - fit);
  }
  return out;
}

// Partial correlation of rows i and j given all other rows: the correlation
// of their residuals after regressing out the others.
inline double partial(const std::vector<Series>& rows, size_t i, size_t j) {
  std::vector<Series> others;
  for (size_t r = 0; r < rows.size(); ++r)
    if (r != i && r != j) others.push_back(rows[r]);
  return pearson(residual(rows[i], others), residual(rows[j], others));
}

inline std::vector<Series> randomRows(size_t rows, size_t width, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<Series> out(rows, Series(width));
  for (Series& row : out)
    for (double& v : row) v = normal(generator);
  // Some shared signal so the correlations are not all near zero.
  for (size_t k = 0; k < width; ++k)
    for (size_t r = 1; r < rows; ++r) out[r][k] += 0.6 * out[r - 1][k];
  return out;
}

inline std::vector<double> flatten(const std::vector<Series>& rows) {
  std::vector<double> out;
  for (const Series& row : rows) out.insert(out.end(), row.begin(), row.end());
  return out;
}

}  // namespace reference
