#include "app/smooth.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "base/parallel.hpp"

namespace quelby {

namespace {

// Below this many cells a pass is cheaper than waking the second thread.
constexpr std::int64_t parallel_threshold = 16384;

// One cell with its neighbourhood clipped to the mesh: the order of the sums is the contract.
inline double smooth_cell(const double* dx, const double* dz, const double* source, std::int64_t nx,
                          std::int64_t nz, std::int64_t i, std::int64_t k) {
  const std::int64_t i_lo = i > 0 ? i - 1 : 0;
  const std::int64_t i_hi = i + 1 < nx ? i + 1 : nx - 1;
  const std::int64_t k_lo = k > 0 ? k - 1 : 0;
  const std::int64_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
  double sum = 0;
  double weights = 0;
  for (std::int64_t kk = k_lo; kk <= k_hi; ++kk) {
    const double* row = source + kk * nx;
    for (std::int64_t ii = i_lo; ii <= i_hi; ++ii) {
      const double w = dx[ii] * dz[kk];
      sum = sum + row[ii] * w;
      weights = weights + w;
    }
  }
  return sum / weights;
}

// The columns 1..nx-2 of one output row whose neighbourhood spans `row_count` source rows: the
// same sums in the same order as smooth_cell, written so that the compiler vectorises across i.
template <int row_count>
[[gnu::always_inline]] inline void smooth_interior(const double* __restrict dx,
                                                   const double* __restrict dz_of_rows,
                                                   const double* const* __restrict rows,
                                                   std::int64_t nx, double* __restrict out) {
  const double* r0 = rows[0];
  const double* r1 = row_count > 1 ? rows[1] : rows[0];
  const double* r2 = row_count > 2 ? rows[2] : rows[0];
  const double dz0 = dz_of_rows[0];
  const double dz1 = row_count > 1 ? dz_of_rows[1] : 0.0;
  const double dz2 = row_count > 2 ? dz_of_rows[2] : 0.0;
  for (std::int64_t i = 1; i + 1 < nx; ++i) {
    double sum = 0;
    double weights = 0;
    double w;
    w = dx[i - 1] * dz0;
    sum = sum + r0[i - 1] * w;
    weights = weights + w;
    w = dx[i] * dz0;
    sum = sum + r0[i] * w;
    weights = weights + w;
    w = dx[i + 1] * dz0;
    sum = sum + r0[i + 1] * w;
    weights = weights + w;
    if constexpr (row_count > 1) {
      w = dx[i - 1] * dz1;
      sum = sum + r1[i - 1] * w;
      weights = weights + w;
      w = dx[i] * dz1;
      sum = sum + r1[i] * w;
      weights = weights + w;
      w = dx[i + 1] * dz1;
      sum = sum + r1[i + 1] * w;
      weights = weights + w;
    }
    if constexpr (row_count > 2) {
      w = dx[i - 1] * dz2;
      sum = sum + r2[i - 1] * w;
      weights = weights + w;
      w = dx[i] * dz2;
      sum = sum + r2[i] * w;
      weights = weights + w;
      w = dx[i + 1] * dz2;
      sum = sum + r2[i + 1] * w;
      weights = weights + w;
    }
    out[i] = sum / weights;
  }
}

// One output row k. Compiled twice, for wide vector units and for any x86-64, chosen at load time.
#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void smooth_row(const double* dx, const double* dz, const double* source, std::int64_t nx,
                std::int64_t nz, std::int64_t k, double* out) {
  const std::int64_t k_lo = k > 0 ? k - 1 : 0;
  const std::int64_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
  const double* rows[3] = {source, source, source};
  double dz_of_rows[3] = {0, 0, 0};
  int row_count = 0;
  for (std::int64_t kk = k_lo; kk <= k_hi; ++kk, ++row_count) {
    rows[row_count] = source + kk * nx;
    dz_of_rows[row_count] = dz[kk];
  }
  switch (row_count) {
    case 1:
      smooth_interior<1>(dx, dz_of_rows, rows, nx, out);
      break;
    case 2:
      smooth_interior<2>(dx, dz_of_rows, rows, nx, out);
      break;
    default:
      smooth_interior<3>(dx, dz_of_rows, rows, nx, out);
      break;
  }
  out[0] = smooth_cell(dx, dz, source, nx, nz, 0, k);
  if (nx > 1) out[nx - 1] = smooth_cell(dx, dz, source, nx, nz, nx - 1, k);
}

}  // namespace

void smooth_once(const Mesh& mesh, const Model& source, Model& target) {
  const std::int64_t nx = mesh.nx;
  const std::int64_t nz = mesh.nz;
  const double* const dx = mesh.dx.data();
  const double* const dz = mesh.dz.data();
  const double* const in = source.data();
  double* const out = target.data();
  // Rows in parallel, but never fewer than a few thousand cells in a part.
  parallel_for(nz, (parallel_threshold + nx - 1) / nx, [&](std::int64_t first, std::int64_t last) {
    for (std::int64_t k = first; k < last; ++k) smooth_row(dx, dz, in, nx, nz, k, out + k * nx);
  });
}

void log_in_place(std::span<double> values) {
  double* const data = values.data();
  const std::int64_t count = static_cast<std::int64_t>(values.size());
  parallel_for(count, parallel_threshold, [data](std::int64_t first, std::int64_t last) {
    for (std::int64_t j = first; j < last; ++j) data[j] = std::log(data[j]);
  });
}

void exp_in_place(std::span<double> values) {
  double* const data = values.data();
  const std::int64_t count = static_cast<std::int64_t>(values.size());
  parallel_for(count, parallel_threshold, [data](std::int64_t first, std::int64_t last) {
    for (std::int64_t j = first; j < last; ++j) data[j] = std::exp(data[j]);
  });
}

}  // namespace quelby
