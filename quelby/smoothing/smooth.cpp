#include "quelby/smoothing/smooth.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "quelby/base/parallel.hpp"

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

// The columns begin..end-1 (within 1..nx-2) of one output row whose neighbourhood spans
// `row_count` source rows: the same sums in the same order as smooth_edge_cell, written so that
// the compiler vectorises across i.
template <int row_count>
[[gnu::always_inline]] inline void smooth_interior(const double* __restrict dx,
                                                   const double* __restrict dz_of_rows,
                                                   const double* const* __restrict rows,
                                                   std::int64_t begin, std::int64_t end,
                                                   double* __restrict out) {
  const double* r0 = rows[0];
  const double* r1 = row_count > 1 ? rows[1] : rows[0];
  const double* r2 = row_count > 2 ? rows[2] : rows[0];
  const double dz0 = dz_of_rows[0];
  const double dz1 = row_count > 1 ? dz_of_rows[1] : 0.0;
  const double dz2 = row_count > 2 ? dz_of_rows[2] : 0.0;
  for (std::int64_t i = begin; i < end; ++i) {
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
      smooth_interior<1>(dx, dz_of_rows, rows, 1, nx - 1, out);
      break;
    case 2:
      smooth_interior<2>(dx, dz_of_rows, rows, 1, nx - 1, out);
      break;
    default:
      smooth_interior<3>(dx, dz_of_rows, rows, 1, nx - 1, out);
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

// The columns begin..end-1 of an output row by the plain sums: a run of a masked row whose
// neighbourhoods hold no kept cell.
#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void smooth_plain_columns(const double* dx, const double* dz_of_rows, const double* const* rows,
                          int row_count, std::int64_t begin, std::int64_t end, double* out) {
  switch (row_count) {
    case 1:
      smooth_interior<1>(dx, dz_of_rows, rows, begin, end, out);
      break;
    case 2:
      smooth_interior<2>(dx, dz_of_rows, rows, begin, end, out);
      break;
    default:
      smooth_interior<3>(dx, dz_of_rows, rows, begin, end, out);
      break;
  }
}

// One cell of the masked pass with its neighbourhood clipped to the mesh: a kept cell returns its
// value; otherwise the cells that are not kept are summed in the plain cell's order.
inline double smooth_cell_masked(const double* dx, const double* dz, const double* source,
                                 const std::uint8_t* kept, std::int64_t nx, std::int64_t nz,
                                 std::int64_t i, std::int64_t k) {
  if (kept[k * nx + i] != 0) return source[k * nx + i];
  const std::int64_t i_lo = i > 0 ? i - 1 : 0;
  const std::int64_t i_hi = i + 1 < nx ? i + 1 : nx - 1;
  const std::int64_t k_lo = k > 0 ? k - 1 : 0;
  const std::int64_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
  double sum = 0;
  double weights = 0;
  for (std::int64_t kk = k_lo; kk <= k_hi; ++kk) {
    const double* row = source + kk * nx;
    const std::uint8_t* kept_row = kept + kk * nx;
    for (std::int64_t ii = i_lo; ii <= i_hi; ++ii) {
      if (kept_row[ii] != 0) continue;
      const double w = dx[ii] * dz[kk];
      sum = sum + row[ii] * w;
      weights = weights + w;
    }
  }
  return sum / weights;
}

// The source rows a masked row reads, with their kept cells cleared: for source row kk, value[ii]
// is the source value and weight[ii] = dx[ii] * dz[kk] (the plain pass's product, the same bits)
// for a cell that is averaged, and both are +0 for a kept cell. Summing value * weight and weight
// over all nine cells then gives exactly the sums that skip the kept cells: a kept term adds +0,
// and a sum of round-to-nearest additions that starts at +0 is never -0, so adding +0 changes no
// bit. A kept cell's own value (0, an infinity, NaN) never reaches a sum. Three rows are held, each
// filled once per pass by the thread that walks past it.
class MaskedRows {
 public:
  MaskedRows(double* storage, std::int64_t nx) : storage_(storage), nx_(nx) {}

  // Row kk of the source, masked; filled on first use.
  const double* values(std::int64_t kk) const noexcept { return storage_ + slot(kk) * 2 * nx_; }
  // Room for row r (0..2) of a stretch's own masked columns: values, then weights nx further on.
  double* stretch_values(int r) const noexcept { return storage_ + (3 + r) * 2 * nx_; }
  const double* weights(std::int64_t kk) const noexcept { return values(kk) + nx_; }
  void fill(const double* dx, const double* dz, const double* source, const std::uint8_t* kept,
            std::int64_t kk);

 private:
  std::int64_t slot(std::int64_t kk) const noexcept { return kk % 3; }

  double* storage_;  // three slots of 2 * nx doubles, then three more for stretches
  std::int64_t nx_;
  std::int64_t filled_[3] = {-1, -1, -1};
};

#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void fill_masked_row(const double* __restrict dx, double dz, const double* __restrict source,
                     const std::uint8_t* __restrict kept, std::int64_t nx,
                     double* __restrict values, double* __restrict weights) {
  for (std::int64_t ii = 0; ii < nx; ++ii) {
    const std::uint64_t averaged = std::uint64_t{0} - static_cast<std::uint64_t>(kept[ii] == 0);
    values[ii] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(source[ii]) & averaged);
    weights[ii] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(dx[ii] * dz) & averaged);
  }
}

void MaskedRows::fill(const double* dx, const double* dz, const double* source,
                      const std::uint8_t* kept, std::int64_t kk) {
  const std::int64_t s = slot(kk);
  if (filled_[s] == kk) return;
  double* const values = storage_ + s * 2 * nx_;
  fill_masked_row(dx, dz[kk], source + kk * nx_, kept + kk * nx_, nx_, values, values + nx_);
  filled_[s] = kk;
}

// The columns 1..nx-2 of one masked output row from its masked source rows: the plain pass's
// sums in its order, vectorised across i as smooth_interior is. A kept cell of the row itself
// gets its source value.
template <int row_count>
[[gnu::always_inline]] inline void smooth_interior_masked(
    const double* const* __restrict value_rows, const double* const* __restrict weight_rows,
    const double* __restrict own, const std::uint8_t* __restrict own_kept, std::int64_t begin,
    std::int64_t end, double* __restrict out) {
  const double* v0 = value_rows[0];
  const double* v1 = row_count > 1 ? value_rows[1] : value_rows[0];
  const double* v2 = row_count > 2 ? value_rows[2] : value_rows[0];
  const double* w0 = weight_rows[0];
  const double* w1 = row_count > 1 ? weight_rows[1] : weight_rows[0];
  const double* w2 = row_count > 2 ? weight_rows[2] : weight_rows[0];
  for (std::int64_t i = begin; i < end; ++i) {
    double sum = 0;
    double weights = 0;
    sum = sum + v0[i - 1] * w0[i - 1];
    weights = weights + w0[i - 1];
    sum = sum + v0[i] * w0[i];
    weights = weights + w0[i];
    sum = sum + v0[i + 1] * w0[i + 1];
    weights = weights + w0[i + 1];
    if constexpr (row_count > 1) {
      sum = sum + v1[i - 1] * w1[i - 1];
      weights = weights + w1[i - 1];
      sum = sum + v1[i] * w1[i];
      weights = weights + w1[i];
      sum = sum + v1[i + 1] * w1[i + 1];
      weights = weights + w1[i + 1];
    }
    if constexpr (row_count > 2) {
      sum = sum + v2[i - 1] * w2[i - 1];
      weights = weights + w2[i - 1];
      sum = sum + v2[i] * w2[i];
      weights = weights + w2[i];
      sum = sum + v2[i + 1] * w2[i + 1];
      weights = weights + w2[i + 1];
    }
    // A select by bits, so that the loop has no branch.
    const std::uint64_t averaged = std::uint64_t{0} - static_cast<std::uint64_t>(own_kept[i] == 0);
    const std::uint64_t mean = std::bit_cast<std::uint64_t>(sum / weights);
    const std::uint64_t own_value = std::bit_cast<std::uint64_t>(own[i]);
    out[i] = std::bit_cast<double>((mean & averaged) | (own_value & ~averaged));
  }
}

#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void smooth_masked_columns(const double* const* value_rows, const double* const* weight_rows,
                           int row_count, const double* own, const std::uint8_t* own_kept,
                           std::int64_t begin, std::int64_t end, double* out) {
  switch (row_count) {
    case 1:
      smooth_interior_masked<1>(value_rows, weight_rows, own, own_kept, begin, end, out);
      break;
    case 2:
      smooth_interior_masked<2>(value_rows, weight_rows, own, own_kept, begin, end, out);
      break;
    default:
      smooth_interior_masked<3>(value_rows, weight_rows, own, own_kept, begin, end, out);
      break;
  }
}

// One masked output row k whose neighbourhood holds kept cells: the stretches of columns that see
// a kept cell take the masked rows, the columns between them the plain sums.
void smooth_row_masked(const double* dx, const double* dz, const double* source,
                       const FixedCells& fixed, std::int64_t nx, std::int64_t nz, std::int64_t k,
                       MaskedRows& masked, double* out) {
  const std::uint8_t* const kept = fixed.kept().data();
  const std::int64_t k_lo = k > 0 ? k - 1 : 0;
  const std::int64_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
  const double* rows[3] = {source, source, source};
  const std::uint8_t* kept_rows[3] = {kept, kept, kept};
  double dz_of_rows[3] = {0, 0, 0};
  int row_count = 0;
  for (std::int64_t kk = k_lo; kk <= k_hi; ++kk, ++row_count) {
    rows[row_count] = source + kk * nx;
    kept_rows[row_count] = kept + kk * nx;
    dz_of_rows[row_count] = dz[kk];
  }
  const int self = static_cast<int>(k - k_lo);
  const std::span<const std::int32_t> stretches =
      fixed.masked_stretches(static_cast<std::size_t>(k));
  // A row mostly in stretches fills its masked source rows whole, once for the three output rows
  // that read each; a row of a few short stretches masks just the columns of each stretch.
  std::int64_t masked_columns = 0;
  for (std::size_t s = 0; s < stretches.size(); s += 2) {
    masked_columns += stretches[s + 1] - stretches[s];
  }
  const bool whole_rows = 4 * masked_columns >= nx;

  const double* value_rows[3] = {nullptr, nullptr, nullptr};
  const double* weight_rows[3] = {nullptr, nullptr, nullptr};
  std::int64_t column = 1;
  for (std::size_t s = 0; s < stretches.size(); s += 2) {
    const std::int64_t begin = stretches[s];
    const std::int64_t end = stretches[s + 1];
    if (column < begin) smooth_plain_columns(dx, dz_of_rows, rows, row_count, column, begin, out);
    column = end;
    if (!whole_rows) {
      // Only the columns the stretch reads, begin - 1 to end, masked for this row alone; the
      // stretch then starts at column 1 of them.
      const std::int64_t first = begin - 1;
      const std::int64_t count = end + 1 - first;
      for (int r = 0; r < row_count; ++r) {
        double* const values = masked.stretch_values(r);
        fill_masked_row(dx + first, dz_of_rows[r], rows[r] + first, kept_rows[r] + first, count,
                        values, values + nx);
        value_rows[r] = values;
        weight_rows[r] = values + nx;
      }
      smooth_masked_columns(value_rows, weight_rows, row_count, rows[self] + first,
                            kept_rows[self] + first, 1, end - first, out + first);
      continue;
    }
    for (int r = 0; r < row_count; ++r) {
      masked.fill(dx, dz, source, kept, k_lo + r);
      value_rows[r] = masked.values(k_lo + r);
      weight_rows[r] = masked.weights(k_lo + r);
    }
    smooth_masked_columns(value_rows, weight_rows, row_count, source + k * nx, kept + k * nx, begin,
                          end, out);
  }
  if (column < nx - 1) smooth_plain_columns(dx, dz_of_rows, rows, row_count, column, nx - 1, out);
  out[0] = smooth_cell_masked(dx, dz, source, kept, nx, nz, 0, k);
  if (nx > 1) out[nx - 1] = smooth_cell_masked(dx, dz, source, kept, nx, nz, nx - 1, k);
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

// `passes` passes over `values` in place, in one sweep: pass s keeps its last three rows in a
// ring, and row k of pass s is made as soon as row k + 1 of pass s - 1 exists, so the model is read
// and written once for all of them. The last pass is in a ring as well, each of its rows copied
// back one step after it is made, when no pass needs the old row any more. A thread reads the rows
// beyond its band from copies made before the sweep, since the neighbouring band overwrites them.
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
  // In place when the working rows of one pass at least stay in the cache: `smoothed` is then
  // never touched, and its memory never faulted in. A wider mesh gains nothing from a sweep (its
  // rows leave the cache between passes) and takes the passes one by one.
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
  for (std::int32_t cycle = 0; cycle < cycles; ++cycle) {
    smooth_once(mesh, working, smoothed);
    working.swap(smoothed);
  }
}

namespace {

void check_fixed_cells(const Mesh& mesh, const FixedCells& fixed) {
  if (fixed.nx() != mesh.nx || fixed.nz() != mesh.nz) {
    throw std::invalid_argument("smooth_once: the fixed cells were built for another mesh");
  }
}

// The masked source rows of every part of a masked pass: six slots of 2 * nx doubles per thread
// (three whole rows, three for a stretch's own columns). Kept from pass to pass by the caller:
// fresh pages for every pass would cost more than the pass.
std::vector<double> masked_row_storage(std::int64_t nx) {
  const auto parts = static_cast<std::size_t>(parallel_thread_count());
  return std::vector<double>(parts * 6 * 2 * static_cast<std::size_t>(nx));
}

void masked_pass(const Mesh& mesh, const FixedCells& fixed, const Model& source, Model& target,
                 std::vector<double>& storage) {
  const std::int64_t nx = mesh.nx;
  const std::int64_t nz = mesh.nz;
  const double* const dx = mesh.dx.data();
  const double* const dz = mesh.dz.data();
  const double* const in = source.data();
  double* const out = target.data();
  // Each part of the loop takes the next free slot of the storage.
  const std::size_t slot_size = 6 * 2 * static_cast<std::size_t>(nx);
  const std::size_t parts =
      slot_size == 0 ? 1 : std::max<std::size_t>(storage.size() / slot_size, 1);
  std::atomic<std::size_t> next_part{0};
  parallel_for(nz, (parallel_threshold + nx - 1) / nx, [&](std::int64_t first, std::int64_t last) {
    const std::size_t part = next_part.fetch_add(1) % parts;
    MaskedRows rows(storage.data() + part * slot_size, nx);
    for (std::int64_t k = first; k < last; ++k) {
      double* const row = out + k * nx;
      const auto row_index = static_cast<std::size_t>(k);
      if (fixed.row_all_kept(row_index)) {
        std::memcpy(row, in + k * nx, static_cast<std::size_t>(nx) * sizeof(double));
        continue;
      }
      // A neighbourhood without kept cells sums exactly what the plain pass sums.
      const bool plain = fixed.row_all_averaged(row_index) &&
                         (k == 0 || fixed.row_all_averaged(row_index - 1)) &&
                         (k + 1 == nz || fixed.row_all_averaged(row_index + 1));
      if (plain) {
        smooth_row_k(
            dx, dz, nx, nz, k, [&](std::int64_t kk) { return in + kk * nx; }, row);
      } else {
        smooth_row_masked(dx, dz, in, fixed, nx, nz, k, rows, row);
      }
    }
  });
}

}  // namespace

void smooth_once(const Mesh& mesh, const FixedCells& fixed, const Model& source, Model& target) {
  check_fixed_cells(mesh, fixed);
  std::vector<double> storage = masked_row_storage(mesh.nx);
  masked_pass(mesh, fixed, source, target, storage);
}

void smooth_cycles(const Mesh& mesh, const FixedCells& fixed, Model& working, Model& smoothed,
                   std::int32_t cycles) {
  check_fixed_cells(mesh, fixed);
  std::vector<double> storage = masked_row_storage(mesh.nx);
  for (std::int32_t cycle = 0; cycle < cycles; ++cycle) {
    masked_pass(mesh, fixed, working, smoothed, storage);
    // The newest pass becomes the next pass's input: the same values as copying it back.
    working.swap(smoothed);
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

void log_in_place(std::span<double> values, const FixedCells& fixed) {
  if (values.size() != fixed.size()) throw std::invalid_argument("log_in_place: size /= ncell");
  double* const data = values.data();
  const std::uint8_t* const kept = fixed.kept().data();
  const std::int64_t count = static_cast<std::int64_t>(values.size());
  parallel_for(count, parallel_threshold, [data, kept](std::int64_t first, std::int64_t last) {
    for (std::int64_t j = first; j < last; ++j) {
      if (kept[j] == 0) data[j] = std::log(data[j]);
    }
  });
}

void exp_in_place(std::span<double> values, const FixedCells& fixed) {
  if (values.size() != fixed.size()) throw std::invalid_argument("exp_in_place: size /= ncell");
  double* const data = values.data();
  const std::uint8_t* const kept = fixed.kept().data();
  const std::int64_t count = static_cast<std::int64_t>(values.size());
  parallel_for(count, parallel_threshold, [data, kept](std::int64_t first, std::int64_t last) {
    for (std::int64_t j = first; j < last; ++j) {
      if (kept[j] == 0) data[j] = std::exp(data[j]);
    }
  });
}

}  // namespace quelby
