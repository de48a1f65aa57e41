// The numeric routines behind the correlation requests.  Pure functions of
// their arguments, callable from any thread.
//
// None reports an error: zero variances, singular or indefinite matrices give
// NaN or infinite values, which callers pass on as they are.  The precision
// and the order of every sum are part of the contract (clients compare with
// their own computations): the Pearson, inverse and partial routines compute
// in double, the instant proxy accumulates in single precision.
//
// Layouts: a series is n contiguous doubles in time order; a window matrix is
// ROI-major, row r holding ROI r's w values (element (r, k) at r * w + k); a
// square matrix is n * n doubles, row-major.
//
//   std::vector<double> window = ...;              // 3 ROIs x w time points
//   double r01 = pearsonCorrelation(&window[0], &window[w], w);
//   float proxy = instantProxyCorrelation(window.data(), 3, w);
#pragma once

#include <vector>

// Pearson correlation of x and y (n >= 1 values each): the sums of squares and
// products around the two means, divided by one square root of their product.
double pearsonCorrelation(const double* x, const double* y, int n);

// The inverse of the symmetric positive-definite n x n matrix `a` by Cholesky
// factorisation without pivoting.  Only the upper triangle of `a` (diagonal
// included) is read.  Returns the full n x n inverse.
std::vector<double> invertPositiveDefinite(const double* a, int n);

// Partial correlation of every pair of the `a` rows of `data` (b values each)
// given all the other rows, from the inverse of their covariance matrix.
// Writes only the strict upper triangle of the a x a matrix `out`; the caller
// zero-fills it first.
void partialCorrelations(const double* data, double* out, int a, int b);

// Mean Pearson correlation among rows 0 .. count-2 of the window matrix minus
// their mean correlation with row count-1 (w values per row, count >= 3).
float instantProxyCorrelation(const double* window, int count, int w);
