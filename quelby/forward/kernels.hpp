// The element-wise loops the forward floor spends its time in, each compiled for the wide vector
// unit as well as the baseline (chosen at run time). Every element is computed by the same
// operations in the same order on either path, so the results are the same bits.
#pragma once

#include <cstddef>

namespace quelby {

// sum[i] += x[i] * y[i] for i < n.
void add_products(double* sum, const double* x, const double* y, std::size_t n);
// sum[i] -= x[i] * y[i] for i < n.
void subtract_products(double* sum, const double* x, const double* y, std::size_t n);
// y[i] += a * x[i] for i < n.
void add_scaled(double* y, double a, const double* x, std::size_t n);
// y[i] -= a * x[i] for i < n.
void subtract_scaled(double* y, double a, const double* x, std::size_t n);
// m[r * n + c] += f[r] * g[c] for r, c < n.
void add_outer(double* m, const double* f, const double* g, std::size_t n);

}  // namespace quelby
