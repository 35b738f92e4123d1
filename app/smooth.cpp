#include "app/smooth.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/parallel.hpp"

namespace quelby {

namespace {

// Below this many cells a pass is cheaper than waking the second thread.
constexpr std::int64_t parallel_threshold = 16384;

// One edge cell i of an output row from the `row_count` source rows of its neighbourhood (in order
// of increasing k) and their thicknesses: the order of the sums is the contract.
inline double smooth_edge_cell(const double* dx, const double* const* rows,
                               const double* dz_of_rows, int row_count, std::int64_t nx,
                               std::int64_t i) {
  const std::int64_t i_lo = i > 0 ? i - 1 : 0;
  const std::int64_t i_hi = i + 1 < nx ? i + 1 : nx - 1;
  double sum = 0;
  double weights = 0;
  for (int r = 0; r < row_count; ++r) {
    for (std::int64_t ii = i_lo; ii <= i_hi; ++ii) {
      const double w = dx[ii] * dz_of_rows[r];
      sum = sum + rows[r][ii] * w;
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

// One output row from the source rows of its neighbourhood: `above` (null in the first row), the
// row itself and `below` (null in the last), with their thicknesses. Compiled twice, for wide
// vector units and for any x86-64, chosen at load time.
#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void smooth_row(const double* dx, const double* above, const double* row, const double* below,
                double dz_above, double dz_row, double dz_below, std::int64_t nx, double* out) {
  const double* rows[3] = {row, row, row};
  double dz_of_rows[3] = {0, 0, 0};
  int row_count = 0;
  if (above != nullptr) {
    rows[row_count] = above;
    dz_of_rows[row_count++] = dz_above;
  }
  rows[row_count] = row;
  dz_of_rows[row_count++] = dz_row;
  if (below != nullptr) {
    rows[row_count] = below;
    dz_of_rows[row_count++] = dz_below;
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
  out[0] = smooth_edge_cell(dx, rows, dz_of_rows, row_count, nx, 0);
  if (nx > 1) out[nx - 1] = smooth_edge_cell(dx, rows, dz_of_rows, row_count, nx, nx - 1);
}

// Row k of a pass whose input rows are found by `row_of(kk)`.
template <class RowOf>
inline void smooth_row_k(const double* dx, const double* dz, std::int64_t nx, std::int64_t nz,
                         std::int64_t k, const RowOf& row_of, double* out) {
  const bool has_above = k > 0;
  const bool has_below = k + 1 < nz;
  smooth_row(dx, has_above ? row_of(k - 1) : nullptr, row_of(k),
             has_below ? row_of(k + 1) : nullptr, has_above ? dz[k - 1] : 0.0, dz[k],
             has_below ? dz[k + 1] : 0.0, nx, out);
}

// Working rows a thread may keep for the passes it runs in one sweep: small enough to stay in the
// cache between the pass that writes a row and the pass that reads it.
constexpr std::size_t sweep_cache_bytes = std::size_t{512} << 10;
constexpr std::int64_t max_passes_per_sweep = 8;

// `passes` passes from `source` into `target` in one sweep over the rows. Pass s keeps its last
// three rows in a ring, and row k of pass s is made as soon as row k + 1 of pass s - 1 exists, so
// the model is read and written once for all of them. Each thread makes its own band of final rows
// and the rows of the earlier passes that band needs (a few rows more at each side of the band).
void smooth_sweep(const Mesh& mesh, const double* source, double* target, std::int64_t passes,
                  std::vector<double>& rings) {
  const std::int64_t nx = mesh.nx;
  const std::int64_t nz = mesh.nz;
  const double* const dx = mesh.dx.data();
  const double* const dz = mesh.dz.data();
  const auto ring_doubles = static_cast<std::size_t>((passes - 1) * 3 * nx);
  const auto threads = static_cast<std::size_t>(parallel_thread_count());
  if (rings.size() < ring_doubles * threads) rings.resize(ring_doubles * threads);
  std::atomic<std::size_t> next_ring{0};
  parallel_for(nz, (parallel_threshold + nx - 1) / nx, [&](std::int64_t first, std::int64_t last) {
    double* const ring = rings.data() + ring_doubles * next_ring.fetch_add(1);
    // Rows of pass s (1-based) live in ring slot (s - 1) * 3 + k % 3.
    const auto ring_row = [&](std::int64_t pass, std::int64_t k) {
      return ring + ((pass - 1) * 3 + k % 3) * nx;
    };
    for (std::int64_t t = first - passes + 1; t < last + passes; ++t) {
      for (std::int64_t pass = 1; pass <= passes; ++pass) {
        const std::int64_t k = t - pass + 1;
        const std::int64_t lo = std::max<std::int64_t>(0, first - (passes - pass));
        const std::int64_t hi = std::min<std::int64_t>(nz, last + (passes - pass));
        if (k < lo || k >= hi) continue;
        double* const out = pass == passes ? target + k * nx : ring_row(pass, k);
        if (pass == 1) {
          smooth_row_k(
              dx, dz, nx, nz, k, [&](std::int64_t kk) { return source + kk * nx; }, out);
        } else {
          smooth_row_k(
              dx, dz, nx, nz, k,
              [&](std::int64_t kk) -> const double* { return ring_row(pass - 1, kk); }, out);
        }
      }
    }
  });
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
    for (std::int64_t k = first; k < last; ++k)
      smooth_row_k(
          dx, dz, nx, nz, k, [&](std::int64_t kk) { return in + kk * nx; }, out + k * nx);
  });
}

namespace {

// `passes` passes over `values` in place, in one sweep: as smooth_sweep, with the last pass in a
// ring as well, each of its rows copied back one step after it is made, when no pass needs the
// old row any more. A thread reads the rows beyond its band from copies made before the sweep,
// since the neighbouring band overwrites them.
void smooth_sweep_in_place(const Mesh& mesh, double* values, std::int64_t passes,
                           std::vector<double>& rings, std::vector<double>& halo) {
  const std::int64_t nx = mesh.nx;
  const std::int64_t nz = mesh.nz;
  const double* const dx = mesh.dx.data();
  const double* const dz = mesh.dz.data();
  const auto ring_doubles = static_cast<std::size_t>(passes * 3 * nx);
  const std::int64_t threads = parallel_thread_count();
  if (rings.size() < ring_doubles * static_cast<std::size_t>(threads))
    rings.resize(ring_doubles * static_cast<std::size_t>(threads));
  // Band p of the loop below is [nz * p / threads, nz * (p + 1) / threads); around each inner
  // border b, rows b - passes .. b + passes - 1 are copied first.
  const auto halo_doubles = static_cast<std::size_t>(2 * passes * nx);
  if (halo.size() < halo_doubles * static_cast<std::size_t>(threads))
    halo.resize(halo_doubles * static_cast<std::size_t>(threads));
  const auto border = [&](std::int64_t p) { return nz * p / threads; };
  for (std::int64_t p = 1; p < threads; ++p) {
    for (std::int64_t k = border(p) - passes; k < border(p) + passes; ++k) {
      if (k < 0 || k >= nz) continue;
      std::copy_n(values + k * nx, nx,
                  halo.data() + halo_doubles * static_cast<std::size_t>(p) +
                      static_cast<std::size_t>((k - (border(p) - passes)) * nx));
    }
  }
  std::atomic<std::size_t> next_ring{0};
  parallel_for(nz, (parallel_threshold + nx - 1) / nx, [&](std::int64_t first, std::int64_t last) {
    double* const ring = rings.data() + ring_doubles * next_ring.fetch_add(1);
    const auto ring_row = [&](std::int64_t pass, std::int64_t k) {
      return ring + ((pass - 1) * 3 + k % 3) * nx;
    };
    // The band's inner borders, as copied above (a band of the whole mesh has none).
    std::int64_t lower = 0;
    std::int64_t upper = 0;
    for (std::int64_t p = 1; p < threads; ++p) {
      if (border(p) == first) lower = p;
      if (border(p) == last) upper = p;
    }
    const auto source_row = [&](std::int64_t k) -> const double* {
      if (k >= first && k < last) return values + k * nx;
      const std::int64_t p = k < first ? lower : upper;
      return halo.data() + halo_doubles * static_cast<std::size_t>(p) +
             (k - (border(p) - passes)) * nx;
    };
    for (std::int64_t t = first - passes + 1; t <= last + passes - 1; ++t) {
      for (std::int64_t pass = 1; pass <= passes; ++pass) {
        const std::int64_t k = t - pass + 1;
        const std::int64_t lo = std::max<std::int64_t>(0, first - (passes - pass));
        const std::int64_t hi = std::min<std::int64_t>(nz, last + (passes - pass));
        if (k < lo || k >= hi) continue;
        if (pass == 1) {
          smooth_row_k(dx, dz, nx, nz, k, source_row, ring_row(pass, k));
        } else {
          smooth_row_k(
              dx, dz, nx, nz, k,
              [&](std::int64_t kk) -> const double* { return ring_row(pass - 1, kk); },
              ring_row(pass, k));
        }
      }
      // The final row made one step ago: every later step reads rows from t on.
      const std::int64_t done = t - passes;
      if (done >= first && done < last) std::copy_n(ring_row(passes, done), nx, values + done * nx);
    }
  });
}

}  // namespace

void smooth_cycles(const Mesh& mesh, Model& working, Model& smoothed, std::int32_t cycles) {
  const std::int64_t nx = mesh.nx;
  const std::int64_t ring_row_bytes = 3 * nx * static_cast<std::int64_t>(sizeof(double));
  // In place when the working rows stay small: `smoothed` is then never touched, and its memory
  // never faulted in.
  const std::int64_t passes_in_place = std::min<std::int64_t>(
      max_passes_per_sweep, static_cast<std::int64_t>(sweep_cache_bytes) / ring_row_bytes);
  if (passes_in_place >= 1) {
    std::vector<double> rings;
    std::vector<double> halo;
    for (std::int64_t done = 0; done < cycles;) {
      const std::int64_t passes = std::min<std::int64_t>(passes_in_place, cycles - done);
      smooth_sweep_in_place(mesh, working.data(), passes, rings, halo);
      done += passes;
    }
    return;
  }
  const std::int64_t passes_per_sweep = std::min<std::int64_t>(
      max_passes_per_sweep, 1 + static_cast<std::int64_t>(sweep_cache_bytes) / ring_row_bytes);
  std::vector<double> rings;
  for (std::int64_t done = 0; done < cycles;) {
    const std::int64_t passes = std::min<std::int64_t>(passes_per_sweep, cycles - done);
    if (passes == 1) {
      smooth_once(mesh, working, smoothed);
    } else {
      smooth_sweep(mesh, working.data(), smoothed.data(), passes, rings);
    }
    working.swap(smoothed);
    done += passes;
  }
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
