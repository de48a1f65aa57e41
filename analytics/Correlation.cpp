#include "analytics/Correlation.h"

#include <cmath>
#include <cstddef>

namespace {

double sumOf(const double* values, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += values[i];
  return sum;
}

}  // namespace

double pearsonCorrelation(const double* x, const double* y, int n) {
  const double mx = sumOf(x, n) / double(n);
  const double my = sumOf(y, n) / double(n);
  double sxy = 0.0, syy = 0.0, sxx = 0.0;
  for (int i = 0; i < n; ++i) {
    const double dy = y[i] - my;
    const double dx = x[i] - mx;
    sxy += dy * dx;
    syy += dy * dy;
    sxx += dx * dx;
  }
  return sxy / std::sqrt(syy * sxx);
}

std::vector<double> invertPositiveDefinite(const double* a, int n) {
  const size_t size = n > 0 ? size_t(n) : 0;
  std::vector<double> l(size * size, 0.0);
  auto at = [size](std::vector<double>& m, int row, int column) -> double& {
    return m[size_t(row) * size + size_t(column)];
  };

  // Cholesky factor, column by column, reading only the upper triangle of a.
  for (int col = 0; col < n; ++col) {
    for (int i = col; i < n; ++i) {
      double s = a[size_t(col) * size + size_t(i)];
      for (int k = col - 1; k >= 0; --k) s -= at(l, i, k) * at(l, col, k);
      if (i == col)
        at(l, col, col) = std::sqrt(s);
      else
        at(l, i, col) = s / at(l, col, col);
    }
  }

  // Invert the factor in place, column by column.  Columns right of i still
  // hold the factor, so L[j][k] and L[j][j] below are the factor's entries.
  for (int i = 0; i < n; ++i) {
    at(l, i, i) = 1.0 / at(l, i, i);
    for (int j = i + 1; j < n; ++j) {
      double s = 0.0;
      for (int k = i; k < j; ++k) s -= at(l, k, i) * at(l, j, k);
      at(l, j, i) = s / at(l, j, j);
    }
  }
  for (int row = 0; row < n; ++row)
    for (int column = row + 1; column < n; ++column) at(l, row, column) = 0.0;

  // A^-1 = M^T M, M the inverted factor.
  std::vector<double> result(size * size);
  for (int t = 0; t < n; ++t)
    for (int c = 0; c < n; ++c) {
      double s = 0.0;
      for (int k = 0; k < n; ++k) s += at(l, k, t) * at(l, k, c);
      at(result, t, c) = s;
    }
  return result;
}

void partialCorrelations(const double* data, double* out, int a, int b) {
  const size_t rows = a > 0 ? size_t(a) : 0;
  const size_t width = b > 0 ? size_t(b) : 0;
  std::vector<double> cov(rows * rows, 0.0);
  for (int i = 0; i < a; ++i) {
    const double* di = data + size_t(i) * width;
    const double mi = sumOf(di, b) / double(b);
    double squares = 0.0;
    for (int k = 0; k < b; ++k) squares += (di[k] - mi) * (di[k] - mi);
    cov[size_t(i) * rows + size_t(i)] = squares / double(b - 1);
    for (int j = i + 1; j < a; ++j) {
      const double* dj = data + size_t(j) * width;
      const double mj = sumOf(dj, b) / double(b);
      double products = 0.0;
      for (int k = 0; k < b; ++k) products += (dj[k] - mj) * (di[k] - mi);
      cov[size_t(i) * rows + size_t(j)] = products / double(b - 1);
    }
  }
  const std::vector<double> p = invertPositiveDefinite(cov.data(), a);
  for (int i = 0; i + 1 < a; ++i)
    for (int j = i + 1; j < a; ++j) {
      const double pij = p[size_t(i) * rows + size_t(j)];
      const double pjj = p[size_t(j) * rows + size_t(j)];
      const double pii = p[size_t(i) * rows + size_t(i)];
      out[size_t(i) * rows + size_t(j)] = -(pij / std::sqrt(pjj * pii));
    }
}

float instantProxyCorrelation(const double* window, int count, int w) {
  auto row = [window, w](int r) { return window + size_t(r) * size_t(w); };
  const int g = count - 1;  // the reference ROI

  float withinGroup = 0.0f;
  for (int j = 0; j <= count - 3; ++j)
    for (int k = j + 1; k < g; ++k)
      withinGroup = float(double(withinGroup) + pearsonCorrelation(row(j), row(k), w));
  // Pairs within the group; 64-bit so a large ROI count cannot overflow.
  const long long pairs = (static_cast<long long>(count) - 1) * (count - 2) / 2;
  const float meanWithin = withinGroup * (1.0f / float(pairs));

  float withReference = 0.0f;
  for (int k = 0; k < g; ++k)
    withReference = float(double(withReference) + pearsonCorrelation(row(k), row(g), w));
  const float meanWithReference = withReference * (1.0f / float(g));

  return meanWithin - meanWithReference;
}
