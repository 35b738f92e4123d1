#include "quelby/forward/kernels.hpp"

namespace quelby {

__attribute__((target_clones("avx2", "default"))) void add_scaled(double* y, double a,
                                                                  const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

__attribute__((target_clones("avx2", "default"))) void subtract_scaled(double* y, double a,
                                                                       const double* x,
                                                                       std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] -= a * x[i];
}

__attribute__((target_clones("avx2", "default"))) double lane_dot(const double* x, const double* y,
                                                                  std::size_t n) {
  double lane[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    lane[0] += x[i] * y[i];
    lane[1] += x[i + 1] * y[i + 1];
    lane[2] += x[i + 2] * y[i + 2];
    lane[3] += x[i + 3] * y[i + 3];
  }
  for (std::size_t l = 0; i < n; ++i, ++l) lane[l] += x[i] * y[i];
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

__attribute__((target_clones("avx2", "default"))) void electrode_features(
    const double* u0, const double* u1, const double* u2, const double* u3, const double* r,
    double* out0, double* out1, double* out2, double* out3, std::size_t count) {
  const double r00 = r[0], r01 = r[1], r02 = r[2], r03 = r[3], r11 = r[4], r12 = r[5], r13 = r[6],
               r22 = r[7], r23 = r[8], r33 = r[9];
  for (std::size_t e = 0; e < count; ++e) {
    out0[e] = ((r00 * u0[e] + r01 * u1[e]) + r02 * u2[e]) + r03 * u3[e];
    out1[e] = (r11 * u1[e] + r12 * u2[e]) + r13 * u3[e];
    out2[e] = r22 * u2[e] + r23 * u3[e];
    out3[e] = r33 * u3[e];
  }
}

__attribute__((target_clones("avx2", "default"))) void add_scaled4(
    double* y, double a0, const double* x0, double a1, const double* x1, double a2,
    const double* x2, double a3, const double* x3, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] += ((a0 * x0[i] + a1 * x1[i]) + a2 * x2[i]) + a3 * x3[i];
}

}  // namespace quelby
