// The element-wise loops the forward floor spends its time in, each compiled for the wide vector
// unit as well as the baseline (chosen at run time). Every element is computed by the same
// operations in the same order on either path, so the results are the same bits.
#pragma once

#include <cstddef>

namespace quelby {

// y[i] += a * x[i] for i < n.
void add_scaled(double* y, double a, const double* x, std::size_t n);
// y[i] += ((a0 x0[i] + a1 x1[i]) + a2 x2[i]) + a3 x3[i] for i < n: four rank-one updates of a row
// in one pass over it.
void add_scaled4(double* y, double a0, const double* x0, double a1, const double* x1, double a2,
                 const double* x2, double a3, const double* x3, std::size_t n);
// y[i] -= a * x[i] for i < n.
void subtract_scaled(double* y, double a, const double* x, std::size_t n);
// The four features R u of one cell for `count` potential vectors side by side: u0..u3 the
// values at the cell's nodes (count each), r the ten entries of its upper triangular R (row by
// row), out0..out3 the features (count each): out0 = r00 u0 + r01 u1 + r02 u2 + r03 u3,
// out1 = r11 u1 + r12 u2 + r13 u3, out2 = r22 u2 + r23 u3, out3 = r33 u3, summed left to right.
void electrode_features(const double* u0, const double* u1, const double* u2, const double* u3,
                        const double* r, double* out0, double* out1, double* out2, double* out3,
                        std::size_t count);
// sum over i < n of x[i] y[i], in four lanes (lane l sums the i with i % 4 == l in ascending
// order) added as (lane 0 + lane 1) + (lane 2 + lane 3).
double lane_dot(const double* x, const double* y, std::size_t n);

}  // namespace quelby
