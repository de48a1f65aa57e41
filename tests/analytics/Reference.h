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

// The contracted routines step by step, in the order of operations their
// results are defined by, for comparisons bit for bit.  Every product is
// rounded to double before it is added (the volatile store forbids a fused
// multiply-add whatever the flags), so these are the results an exact
// implementation gives on any compiler and processor.
namespace exact {

inline double rounded(double value) {
  volatile double stored = value;
  return stored;
}
inline double product(double a, double b) { return rounded(a * b); }
inline float product(float a, float b) {
  volatile float stored = a * b;
  return stored;
}

inline double mean(const Series& x) {
  double sum = 0;
  for (double v : x) sum = sum + v;
  return sum / double(x.size());
}

inline double pearson(const Series& x, const Series& y) {
  const double mx = mean(x), my = mean(y);
  double sxy = 0, syy = 0, sxx = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sxy = sxy + product(y[i] - my, x[i] - mx);
    syy = syy + product(y[i] - my, y[i] - my);
    sxx = sxx + product(x[i] - mx, x[i] - mx);
  }
  return sxy / std::sqrt(product(syy, sxx));
}

using Matrix = std::vector<Series>;

// Cholesky factor, its inverse column by column, then M^T M.
inline Matrix inverse(const Matrix& a) {
  const size_t n = a.size();
  Matrix l(n, Series(n, 0.0));
  for (size_t col = 0; col < n; ++col)
    for (size_t i = col; i < n; ++i) {
      double s = a[col][i];
      for (size_t k = col; k-- > 0;) s = s - product(l[i][k], l[col][k]);
      l[i][col] = i == col ? std::sqrt(s) : s / l[col][col];
    }
  for (size_t i = 0; i < n; ++i) {
    l[i][i] = 1.0 / l[i][i];
    for (size_t j = i + 1; j < n; ++j) {
      double s = 0;
      for (size_t k = i; k < j; ++k) s = s - product(l[k][i], l[j][k]);
      l[j][i] = s / l[j][j];
    }
  }
  Matrix r(n, Series(n, 0.0));
  for (size_t t = 0; t < n; ++t)
    for (size_t c = 0; c < n; ++c)
      for (size_t k = 0; k < n; ++k) r[t][c] = r[t][c] + product(l[k][t], l[k][c]);
  return r;
}

// The strict upper triangle of the partial correlations (zero elsewhere).
inline Matrix partials(const Matrix& rows) {
  const size_t a = rows.size(), b = rows[0].size();
  Matrix cov(a, Series(a, 0.0));
  for (size_t i = 0; i < a; ++i)
    for (size_t j = i; j < a; ++j) {
      const double mi = mean(rows[i]), mj = mean(rows[j]);
      double s = 0;
      for (size_t k = 0; k < b; ++k) s = s + product(rows[j][k] - mj, rows[i][k] - mi);
      cov[i][j] = s / double(b - 1);
    }
  const Matrix p = inverse(cov);
  Matrix out(a, Series(a, 0.0));
  for (size_t i = 0; i < a; ++i)
    for (size_t j = i + 1; j < a; ++j) out[i][j] = -(p[i][j] / std::sqrt(product(p[j][j], p[i][i])));
  return out;
}

inline float instantProxy(const Matrix& rows) {
  const size_t g = rows.size() - 1;
  float within = 0, withReference = 0;
  for (size_t j = 0; j < g; ++j)
    for (size_t k = j + 1; k < g; ++k) within = float(double(within) + pearson(rows[j], rows[k]));
  for (size_t k = 0; k < g; ++k) withReference = float(double(withReference) + pearson(rows[k], rows[g]));
  const float pairs = float(g * (g - 1) / 2);
  return product(within, 1.0f / pairs) - product(withReference, 1.0f / float(g));
}

}  // namespace exact

}  // namespace reference
