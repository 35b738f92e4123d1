#include "quelby/forward/kernels.hpp"

namespace quelby {

__attribute__((target_clones("avx2", "default"))) void add_products(double* sum, const double* x,
                                                                    const double* y,
                                                                    std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) sum[i] += x[i] * y[i];
}

__attribute__((target_clones("avx2", "default"))) void subtract_products(double* sum,
                                                                         const double* x,
                                                                         const double* y,
                                                                         std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) sum[i] -= x[i] * y[i];
}

__attribute__((target_clones("avx2", "default"))) void add_scaled(double* y, double a,
                                                                  const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] += a * x[i];
}

__attribute__((target_clones("avx2", "default"))) void subtract_scaled(double* y, double a,
                                                                       const double* x,
                                                                       std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] -= a * x[i];
}

__attribute__((target_clones("avx2", "default"))) void add_outer(double* m, const double* f,
                                                                 const double* g, std::size_t n) {
  for (std::size_t r = 0; r < n; ++r) {
    const double fr = f[r];
    double* row = m + r * n;
    for (std::size_t c = 0; c < n; ++c) row[c] += fr * g[c];
  }
}

}  // namespace quelby
