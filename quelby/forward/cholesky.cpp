#include "quelby/forward/cholesky.hpp"

#include <cholmod.h>
#include <dlfcn.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

#include "quelby/forward/dense.hpp"
#include "quelby/forward/kernels.hpp"

namespace quelby {
namespace {

// Supernodal factors at and above this many unknowns. Measured with forward_bench
// --factorisation (64 electrodes, 13 wavenumbers, the data factorised anew; CPU time of the call,
// simplicial against supernodal): 3.6e3 cells 0.041 s against 0.049 s, 6.8e3 0.091 s against
// 0.099 s, 1.05e4 0.163 s against 0.167 s, 2.3e4 0.41 s against 0.35 s, 9.4e4 6.2 s against
// 2.8 s (wall), 9.7e5 107 s against 25 s: the supernodal factor wins from about 1e4 unknowns, by
// more the larger the mesh.
constexpr std::int32_t supernodal_from_nodes = 10000;

// Below this many unknowns the analysis merges columns into supernodes of up to 32 columns (96
// when few zeros are added), not CHOLMOD's 16 and 48: the factor holds about a quarter more
// entries, explicit zeros, and factorises in about 0.7 of the time (forward_bench's operators,
// one thread: 24,319 unknowns 17 ms against 25 ms, 1.55 against 1.19 million entries; 171,710
// unknowns 0.16 s against 0.22 s, 14.0 against 11.2 million).
constexpr std::int32_t wider_supernodes_below = 300000;
// Larger meshes merge up to 24 columns (72 with few zeros): at 975,339 unknowns 79.5 against 69.7
// million entries and 1.24 s against 1.48 s, so that two factors at a time stay within 2 GiB.

// A supernode's rectangular block goes through the BLAS when its product with the right-hand
// sides is at least this many multiplications; below it the call costs more than the loop.
constexpr std::size_t blas_from_products = 4096;

// Runs a CHOLMOD built with OpenMP serially on the calling thread while it lives: its supernodal
// factorisation opens parallel regions of a fixed thread count inside each supernode, which on our
// pool's threads only adds threads that spin for cores the pool already uses. The limit is the
// calling thread's own setting (a data-environment value of OpenMP), given back after.
class SerialOpenMp {
 public:
  SerialOpenMp() {
    const Controls& c = controls();
    if (!c.set) return;
    saved_ = c.get();
    if (saved_ != 0) c.set(0);
  }
  ~SerialOpenMp() {
    const Controls& c = controls();
    if (c.set && saved_ != 0) c.set(saved_);
  }
  SerialOpenMp(const SerialOpenMp&) = delete;
  SerialOpenMp& operator=(const SerialOpenMp&) = delete;

 private:
  struct Controls {
    void (*set)(int) = nullptr;
    int (*get)() = nullptr;
    Controls() {
      set = reinterpret_cast<void (*)(int)>(::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
      get = reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "omp_get_max_active_levels"));
      if (!set || !get) set = nullptr, get = nullptr;
    }
  };
  static const Controls& controls() {
    static const Controls instance;
    return instance;
  }
  int saved_ = 0;
};

// A CHOLMOD workspace of one thread, started and finished with its owner.
struct Common {
  cholmod_common common;
  explicit Common(bool supernodal) {
    cholmod_start(&common);
    common.print = 0;
    if (supernodal) {
      common.supernodal = CHOLMOD_SUPERNODAL;
      common.final_ll = 1;
      common.final_super = 1;
    } else {
      common.supernodal = CHOLMOD_SIMPLICIAL;
      common.final_ll = 0;  // LDL^T
      common.final_pack = 1;
      common.final_monotonic = 1;
    }
  }
  ~Common() { cholmod_finish(&common); }
  Common(const Common&) = delete;
  Common& operator=(const Common&) = delete;
  cholmod_common* operator->() { return &common; }
  cholmod_common* get() { return &common; }
};

[[noreturn]] void solver_failed(const char* what, int status) {
  if (status == CHOLMOD_OUT_OF_MEMORY) throw std::bad_alloc();
  throw std::runtime_error(std::string("sparse Cholesky: ") + what + " failed (status " +
                           std::to_string(status) + ")");
}

// A header that lends CHOLMOD the pattern and one set of values without copying them.
cholmod_sparse matrix_view(std::int32_t n, std::span<const std::int32_t> column_starts,
                           std::span<const std::int32_t> rows, const double* values) {
  cholmod_sparse a{};
  a.nrow = static_cast<std::size_t>(n);
  a.ncol = static_cast<std::size_t>(n);
  a.nzmax = rows.size();
  a.p = const_cast<std::int32_t*>(column_starts.data());
  a.i = const_cast<std::int32_t*>(rows.data());
  a.x = const_cast<double*>(values);
  a.stype = 1;  // the upper triangle
  a.itype = CHOLMOD_INT;
  a.xtype = values ? CHOLMOD_REAL : CHOLMOD_PATTERN;
  a.dtype = CHOLMOD_DOUBLE;
  a.sorted = 1;
  a.packed = 1;
  return a;
}

bool use_supernodal(CholeskyKind kind, std::int32_t n) {
  if (kind == CholeskyKind::automatic) return n >= supernodal_from_nodes;
  return kind == CholeskyKind::supernodal;
}

}  // namespace

struct CholeskyPattern::Impl {
  explicit Impl(bool supernodal) : supernodal(supernodal), common(supernodal) {}
  bool supernodal;
  Common common;
  std::vector<std::int32_t> column_starts, rows;
  cholmod_factor* symbolic = nullptr;
  std::vector<std::int32_t> permutation;          // factor row -> original row
  std::vector<std::int32_t> inverse_permutation;  // original row -> factor row
  // Simplicial: the elimination tree of the columns, -1 at a root.
  std::vector<std::int32_t> parent;
  // Supernodal (the analysis's arrays): supernode s holds columns first_column[s] ..
  // first_column[s + 1] - 1; its rows (its own columns first) are rows_of[row_start[s]] ..
  // rows_of[row_start[s + 1] - 1], its values a column-major block of that many rows at
  // value_start[s]. Per column its supernode; per supernode its parent, -1 at a root.
  const std::int32_t* first_column = nullptr;
  const std::int32_t* row_start = nullptr;
  const std::int32_t* value_start = nullptr;
  const std::int32_t* rows_of = nullptr;
  std::size_t supernodes = 0;
  std::vector<std::int32_t> supernode_of, supernode_parent;
  double value_count = 0;
  ~Impl() {
    if (symbolic) cholmod_free_factor(&symbolic, common.get());
  }
};

CholeskyPattern::CholeskyPattern(std::int32_t n, std::span<const std::int32_t> column_starts,
                                 std::span<const std::int32_t> rows, CholeskyKind kind)
    : n_(n), impl_(std::make_unique<Impl>(use_supernodal(kind, n))) {
  Impl& p = *impl_;
  if (p.supernodal) {
    const bool small = n < wider_supernodes_below;
    p.common->nrelax[1] = small ? 32 : 24;
    p.common->nrelax[2] = small ? 96 : 72;
  }
  p.column_starts.assign(column_starts.begin(), column_starts.end());
  p.rows.assign(rows.begin(), rows.end());
  cholmod_sparse a = matrix_view(n, p.column_starts, p.rows, nullptr);
  p.symbolic = cholmod_analyze(&a, p.common.get());
  if (!p.symbolic) solver_failed("analysis", p.common->status);
  const auto* permutation = static_cast<const std::int32_t*>(p.symbolic->Perm);
  p.permutation.assign(permutation, permutation + n);
  p.inverse_permutation.resize(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i)
    p.inverse_permutation[static_cast<std::size_t>(permutation[i])] = i;
  const std::size_t size = static_cast<std::size_t>(n);
  if (p.supernodal) {
    if (!p.symbolic->is_super) throw std::runtime_error("sparse Cholesky: no supernodal analysis");
    const std::size_t nsuper = p.symbolic->nsuper;
    const auto* super = static_cast<const std::int32_t*>(p.symbolic->super);
    const auto* pi = static_cast<const std::int32_t*>(p.symbolic->pi);
    const auto* s = static_cast<const std::int32_t*>(p.symbolic->s);
    p.first_column = super;
    p.row_start = pi;
    p.value_start = static_cast<const std::int32_t*>(p.symbolic->px);
    p.rows_of = s;
    p.supernodes = nsuper;
    p.value_count = static_cast<double>(p.symbolic->xsize);
    p.supernode_of.resize(size);
    for (std::size_t t = 0; t < nsuper; ++t) {
      for (std::int32_t j = super[t]; j < super[t + 1]; ++j)
        p.supernode_of[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(t);
    }
    p.supernode_parent.assign(nsuper, -1);
    for (std::size_t t = 0; t < nsuper; ++t) {
      const std::int32_t width = super[t + 1] - super[t];
      if (pi[t + 1] - pi[t] > width) {
        p.supernode_parent[t] = p.supernode_of[static_cast<std::size_t>(s[pi[t] + width])];
      }
    }
    return;
  }
  // The elimination tree of the permuted matrix, from its upper triangle (Liu's algorithm with
  // path compression).
  std::vector<std::vector<std::int32_t>> upper(size);
  for (std::int32_t column = 0; column < n; ++column) {
    for (std::int32_t at = p.column_starts[static_cast<std::size_t>(column)];
         at < p.column_starts[static_cast<std::size_t>(column) + 1]; ++at) {
      const std::int32_t i =
          p.inverse_permutation[static_cast<std::size_t>(p.rows[static_cast<std::size_t>(at)])];
      const std::int32_t j = p.inverse_permutation[static_cast<std::size_t>(column)];
      if (i == j) continue;
      upper[static_cast<std::size_t>(std::max(i, j))].push_back(std::min(i, j));
    }
  }
  p.parent.assign(size, -1);
  std::vector<std::int32_t> ancestor(size, -1);
  for (std::size_t k = 0; k < size; ++k) {
    for (std::int32_t i : upper[k]) {
      while (i != -1 && i < static_cast<std::int32_t>(k)) {
        const std::int32_t next = ancestor[static_cast<std::size_t>(i)];
        ancestor[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(k);
        if (next == -1) p.parent[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(k);
        i = next;
      }
    }
  }
  p.value_count = impl_->common->lnz;
}

CholeskyPattern::~CholeskyPattern() = default;

bool CholeskyPattern::supernodal() const noexcept {
  return impl_->supernodal;
}
double CholeskyPattern::factor_entries() const noexcept {
  return impl_->common.common.lnz;
}
double CholeskyPattern::factor_flops() const noexcept {
  return impl_->common.common.fl;
}
double CholeskyPattern::factor_bytes() const noexcept {
  return impl_->supernodal ? impl_->value_count * sizeof(double)
                           : impl_->value_count * (sizeof(double) + sizeof(std::int32_t));
}
std::span<const std::int32_t> CholeskyPattern::factor_row() const noexcept {
  return impl_->inverse_permutation;
}

struct CholeskyFactor::Impl {
  explicit Impl(bool supernodal) : common(supernodal) {}
  Common common;
  cholmod_factor* factor = nullptr;
  // Simplicial: L by columns, the diagonal (D) first. Supernodal: the blocks' values.
  const std::int32_t* column_start = nullptr;
  const std::int32_t* row = nullptr;
  const double* value = nullptr;
  // Scratch of the forward solve: a dense vector kept zero between calls, and marks of the
  // columns (simplicial) or supernodes on the paths.
  mutable std::vector<double> work;
  mutable std::vector<char> marked;
  mutable std::vector<std::int32_t> path;
  mutable std::vector<double> block;  // scratch of the supernodal sparse forward solve
  ~Impl() {
    if (factor) cholmod_free_factor(&factor, common.get());
  }
};

CholeskyFactor::CholeskyFactor(const CholeskyPattern& pattern, std::span<const double> values)
    : pattern_(pattern), impl_(std::make_unique<Impl>(pattern.impl_->supernodal)) {
  Impl& f = *impl_;
  f.factor = cholmod_copy_factor(pattern.impl_->symbolic, f.common.get());
  if (!f.factor) solver_failed("copy of the analysis", f.common->status);
  refactor(values);
}

void CholeskyFactor::refactor(std::span<const double> values) {
  Impl& f = *impl_;
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  cholmod_sparse a = matrix_view(pattern_.n_, p.column_starts, p.rows, values.data());
  {
    const dense::SingleThreadedBlas single;
    const SerialOpenMp serial;
    if (!cholmod_factorize(&a, f.factor, f.common.get())) {
      solver_failed("factorisation", f.common->status);
    }
  }
  if (f.common->status == CHOLMOD_NOT_POSDEF || f.factor->minor < f.factor->n) {
    throw std::runtime_error("sparse Cholesky: the matrix is not positive definite");
  }
  if (p.supernodal) {
    if (!f.factor->is_super || !f.factor->is_ll ||
        static_cast<double>(f.factor->xsize) != p.value_count) {
      throw std::runtime_error("sparse Cholesky: the factor is not the analysed supernodal LL^T");
    }
    f.value = static_cast<const double*>(f.factor->x);
    return;
  }
  if (f.factor->is_super || f.factor->is_ll || !f.factor->is_monotonic) {
    throw std::runtime_error("sparse Cholesky: the factor is not a packed simplicial LDL^T");
  }
  f.column_start = static_cast<const std::int32_t*>(f.factor->p);
  f.row = static_cast<const std::int32_t*>(f.factor->i);
  f.value = static_cast<const double*>(f.factor->x);
  // LDL^T succeeds on an indefinite matrix too: positive definite means every d_j > 0.
  for (std::size_t j = 0; j < f.factor->n; ++j) {
    if (!(f.value[f.column_start[j]] > 0)) {
      throw std::runtime_error("sparse Cholesky: the matrix is not positive definite");
    }
  }
  // Packed: column j ends where j + 1 begins; check rather than assume.
  const auto* counts = static_cast<const std::int32_t*>(f.factor->nz);
  for (std::size_t j = 0; j < f.factor->n; ++j) {
    if (f.column_start[j] + counts[j] != f.column_start[j + 1]) {
      throw std::runtime_error("sparse Cholesky: the factor's columns are not packed");
    }
  }
}

CholeskyFactor::~CholeskyFactor() = default;

void CholeskyFactor::forward(std::span<const std::int32_t> rows, std::span<const double> values,
                             ForwardColumn& out) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  std::vector<double>& x = f.work;
  std::vector<char>& marked = f.marked;
  if (x.empty()) x.assign(static_cast<std::size_t>(pattern_.n_), 0.0);
  out.columns.clear();
  if (p.supernodal) {
    // The supernodes on the paths to the root, ascending, then their columns.
    if (marked.empty()) marked.assign(p.supernodes, 0);
    std::vector<std::int32_t>& path = f.path;
    path.clear();
    for (std::size_t e = 0; e < rows.size(); ++e) {
      const std::int32_t start = p.inverse_permutation[static_cast<std::size_t>(rows[e])];
      x[static_cast<std::size_t>(start)] += values[e];
      for (std::int32_t s = p.supernode_of[static_cast<std::size_t>(start)];
           s >= 0 && !marked[static_cast<std::size_t>(s)];
           s = p.supernode_parent[static_cast<std::size_t>(s)]) {
        marked[static_cast<std::size_t>(s)] = 1;
        path.push_back(s);
      }
    }
    std::sort(path.begin(), path.end());
    for (const std::int32_t s : path) {
      const auto t = static_cast<std::size_t>(s);
      marked[t] = 0;
      const std::int32_t first = p.first_column[t];
      const std::size_t width = static_cast<std::size_t>(p.first_column[t + 1] - first);
      const std::size_t height = static_cast<std::size_t>(p.row_start[t + 1] - p.row_start[t]);
      const std::size_t below = height - width;
      const std::int32_t* block_rows = p.rows_of + p.row_start[t];
      const double* block = f.value + p.value_start[t];
      // The triangle: the supernode's own columns are contiguous in x.
      double* top = x.data() + first;
      for (std::size_t c = 0; c < width; ++c) {
        out.columns.push_back(first + static_cast<std::int32_t>(c));
        const double* column = block + c * height;
        top[c] /= column[c];
        if (top[c] != 0) subtract_scaled(top + c + 1, top[c], column + c + 1, width - c - 1);
      }
      if (below == 0) continue;
      if (below * width >= blas_from_products) {
        // The rows below at once: L_below times the triangle's values, then scattered.
        std::vector<double>& product = f.block;
        product.resize(below);
        dense::gemv(false, below, width, 1.0, block + width, height, top, 0.0, product.data());
        for (std::size_t r = 0; r < below; ++r)
          x[static_cast<std::size_t>(block_rows[width + r])] -= product[r];
      } else {
        for (std::size_t c = 0; c < width; ++c) {
          const double xj = top[c];
          if (xj == 0) continue;
          const double* column = block + c * height;
          for (std::size_t r = width; r < height; ++r)
            x[static_cast<std::size_t>(block_rows[r])] -= column[r] * xj;
        }
      }
    }
  } else {
    if (marked.empty()) marked.assign(static_cast<std::size_t>(pattern_.n_), 0);
    for (std::size_t e = 0; e < rows.size(); ++e) {
      const std::int32_t start = p.inverse_permutation[static_cast<std::size_t>(rows[e])];
      x[static_cast<std::size_t>(start)] += values[e];
      for (std::int32_t j = start; j >= 0 && !marked[static_cast<std::size_t>(j)];
           j = p.parent[static_cast<std::size_t>(j)]) {
        marked[static_cast<std::size_t>(j)] = 1;
        out.columns.push_back(j);
      }
    }
    std::sort(out.columns.begin(), out.columns.end());
    for (const std::int32_t j : out.columns) {
      marked[static_cast<std::size_t>(j)] = 0;
      const double xj = x[static_cast<std::size_t>(j)];
      if (xj == 0) continue;
      for (std::int32_t at = f.column_start[j] + 1; at < f.column_start[j + 1]; ++at) {
        x[static_cast<std::size_t>(f.row[at])] -= f.value[at] * xj;
      }
    }
  }
  out.values.resize(out.columns.size());
  for (std::size_t c = 0; c < out.columns.size(); ++c) {
    const auto j = static_cast<std::size_t>(out.columns[c]);
    out.values[c] = x[j];
    x[j] = 0;
  }
}

double CholeskyFactor::dot(const ForwardColumn& first, const ForwardColumn& second) const {
  const Impl& f = *impl_;
  const bool unit = pattern_.impl_->supernodal;
  double sum = 0;
  std::size_t a = 0, b = 0;
  while (a < first.columns.size() && b < second.columns.size()) {
    const std::int32_t ja = first.columns[a];
    const std::int32_t jb = second.columns[b];
    if (ja < jb) {
      ++a;
    } else if (jb < ja) {
      ++b;
    } else {
      sum += unit ? first.values[a] * second.values[b]
                  : first.values[a] * second.values[b] / f.value[f.column_start[ja]];
      ++a;
      ++b;
    }
  }
  return sum;
}

namespace {

// x = L^-T D^-1 x in place, for `count` right-hand sides stored node by node in the factor's order,
// rows from the last: x_j = x_j / d_j - sum_i L_ij x_i over i > j (L by columns, D first).
void backward_substitute(const std::int32_t* column_start, const std::int32_t* row,
                         const double* value, std::size_t n, std::size_t count, double* x) {
  for (std::size_t j = n; j-- > 0;) {
    double* xj = x + j * count;
    const double inverse = 1 / value[column_start[j]];
    for (std::size_t c = 0; c < count; ++c) xj[c] *= inverse;
    for (std::int32_t at = column_start[j] + 1; at < column_start[j + 1]; ++at)
      subtract_scaled(xj, value[at], x + static_cast<std::size_t>(row[at]) * count, count);
  }
}

// y = L^-1 y in place for a simplicial L (unit diagonal), node by node in the factor's order.
void forward_substitute(const std::int32_t* column_start, const std::int32_t* row,
                        const double* value, std::size_t n, std::size_t count, double* y) {
  for (std::size_t j = 0; j < n; ++j) {
    const double* yj = y + j * count;
    for (std::int32_t at = column_start[j] + 1; at < column_start[j + 1]; ++at)
      subtract_scaled(y + static_cast<std::size_t>(row[at]) * count, value[at], yj, count);
  }
}

}  // namespace

// The dense forward solve of a supernodal factor: each supernode's triangle is a loop, and its
// rectangle below goes through the BLAS when it is large (into a block scattered to its rows).
void CholeskyFactor::forward_dense(std::span<const double> rhs, std::size_t count,
                                   std::span<double> y) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = rhs.data() + static_cast<std::size_t>(p.permutation[i]) * count;
    std::copy(from, from + count, y.data() + i * count);
  }
  if (!p.supernodal) {
    forward_substitute(f.column_start, f.row, f.value, n, count, y.data());
    return;
  }
  const dense::SingleThreadedBlas single;
  double* x = y.data();
  // Scratch of this call's own: the dense solves may run on several threads at once.
  std::vector<double> product;
  for (std::size_t t = 0; t < p.supernodes; ++t) {
    const std::size_t first = static_cast<std::size_t>(p.first_column[t]);
    const std::size_t width = static_cast<std::size_t>(p.first_column[t + 1]) - first;
    const std::size_t height = static_cast<std::size_t>(p.row_start[t + 1] - p.row_start[t]);
    const std::size_t below = height - width;
    const std::int32_t* block_rows = p.rows_of + p.row_start[t];
    const double* block = f.value + p.value_start[t];
    double* top = x + first * count;
    if (width * width * count >= blas_from_products) {
      // top (count x width) := top L_tt^-T.
      dense::solve_right_lower(true, count, width, block, height, top, count);
    } else {
      for (std::size_t c = 0; c < width; ++c) {
        double* xc = top + c * count;
        const double diagonal = block[c * height + c];
        for (std::size_t r = 0; r < count; ++r) xc[r] /= diagonal;
        for (std::size_t r = c + 1; r < width; ++r)
          subtract_scaled(top + r * count, block[c * height + r], xc, count);
      }
    }
    if (below == 0) continue;
    if (below * width * count >= blas_from_products) {
      // The rows below, as a count x below block: top (count x width) times L_below^T.
      product.resize(below * count);
      dense::gemm(false, true, count, below, width, 1.0, top, count, block + width, height, 0.0,
                  product.data(), count);
      for (std::size_t r = 0; r < below; ++r) {
        double* target = x + static_cast<std::size_t>(block_rows[width + r]) * count;
        const double* from = product.data() + r * count;
        for (std::size_t c = 0; c < count; ++c) target[c] -= from[c];
      }
    } else {
      for (std::size_t c = 0; c < width; ++c) {
        const double* xc = top + c * count;
        for (std::size_t r = width; r < height; ++r)
          subtract_scaled(x + static_cast<std::size_t>(block_rows[r]) * count,
                          block[c * height + r], xc, count);
      }
    }
  }
}

namespace {

// x = L^-T x in place for a supernodal L, node by node in the factor's order, from the last
// supernode: its rows below first (through the BLAS when large), then its triangle.
void supernodal_backward(const std::int32_t* first_column, const std::int32_t* row_start,
                         const std::int32_t* value_start, const std::int32_t* rows_of,
                         const double* value, std::size_t nsuper, std::size_t count, double* x,
                         std::vector<double>& gathered) {
  for (std::size_t t = nsuper; t-- > 0;) {
    const std::size_t first = static_cast<std::size_t>(first_column[t]);
    const std::size_t width = static_cast<std::size_t>(first_column[t + 1]) - first;
    const std::size_t height = static_cast<std::size_t>(row_start[t + 1] - row_start[t]);
    const std::size_t below = height - width;
    const std::int32_t* block_rows = rows_of + row_start[t];
    const double* block = value + value_start[t];
    double* top = x + first * count;
    if (below > 0 && below * width * count >= blas_from_products) {
      gathered.resize(below * count);
      for (std::size_t r = 0; r < below; ++r) {
        const double* from = x + static_cast<std::size_t>(block_rows[width + r]) * count;
        std::copy(from, from + count, gathered.data() + r * count);
      }
      dense::gemm(false, false, count, width, below, -1.0, gathered.data(), count, block + width,
                  height, 1.0, top, count);
    } else {
      for (std::size_t c = 0; c < width; ++c) {
        double* xc = top + c * count;
        for (std::size_t r = width; r < height; ++r)
          subtract_scaled(xc, block[c * height + r],
                          x + static_cast<std::size_t>(block_rows[r]) * count, count);
      }
    }
    if (width * width * count >= blas_from_products) {
      // top (count x width) := top L_tt^-1.
      dense::solve_right_lower(false, count, width, block, height, top, count);
      continue;
    }
    for (std::size_t c = width; c-- > 0;) {
      double* xc = top + c * count;
      for (std::size_t r = c + 1; r < width; ++r)
        subtract_scaled(xc, block[c * height + r], top + r * count, count);
      const double diagonal = block[c * height + c];
      for (std::size_t r = 0; r < count; ++r) xc[r] /= diagonal;
    }
  }
}

}  // namespace

void CholeskyFactor::backward(std::span<const ForwardColumn> forward_columns,
                              std::span<double> out) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  const std::size_t count = forward_columns.size();
  double* x = out.data();
  std::fill(x, x + n * count, 0.0);
  for (std::size_t c = 0; c < count; ++c) {
    const ForwardColumn& column = forward_columns[c];
    for (std::size_t t = 0; t < column.columns.size(); ++t) {
      x[static_cast<std::size_t>(column.columns[t]) * count + c] = column.values[t];
    }
  }
  if (p.supernodal) {
    const dense::SingleThreadedBlas single;
    std::vector<double> gathered;
    supernodal_backward(p.first_column, p.row_start, p.value_start, p.rows_of, f.value,
                        p.supernodes, count, x, gathered);
  } else {
    backward_substitute(f.column_start, f.row, f.value, n, count, x);
  }
}

void CholeskyFactor::solve(std::span<double> rhs, std::size_t count) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  std::vector<double> x(n * count);
  forward_dense(rhs, count, x);
  if (p.supernodal) {
    const dense::SingleThreadedBlas single;
    std::vector<double> gathered;
    supernodal_backward(p.first_column, p.row_start, p.value_start, p.rows_of, f.value,
                        p.supernodes, count, x.data(), gathered);
  } else {
    backward_substitute(f.column_start, f.row, f.value, n, count, x.data());
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = x.data() + i * count;
    std::copy(from, from + count, rhs.data() + static_cast<std::size_t>(p.permutation[i]) * count);
  }
}

double CholeskyFactor::pivot(std::size_t j) const {
  if (pattern_.impl_->supernodal) return 1;
  return impl_->value[impl_->column_start[j]];
}

}  // namespace quelby
