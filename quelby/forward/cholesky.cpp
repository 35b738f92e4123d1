#include "quelby/forward/cholesky.hpp"

#include <cholmod.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

namespace quelby {
namespace {

// A CHOLMOD workspace of one thread, started and finished with its owner.
struct Common {
  cholmod_common common;
  Common() {
    cholmod_start(&common);
    common.print = 0;
    common.supernodal = CHOLMOD_SUPERNODAL;
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

cholmod_dense dense_view(std::size_t rows, std::size_t columns, double* values) {
  cholmod_dense d{};
  d.nrow = rows;
  d.ncol = columns;
  d.nzmax = rows * columns;
  d.d = rows;
  d.x = values;
  d.xtype = CHOLMOD_REAL;
  d.dtype = CHOLMOD_DOUBLE;
  return d;
}

}  // namespace

struct CholeskyPattern::Impl {
  Common common;
  std::vector<std::int32_t> column_starts, rows;
  cholmod_factor* symbolic = nullptr;
  std::vector<std::int32_t> inverse_permutation;  // original row -> factor row
  std::vector<std::int32_t> supernode_of;         // factor column -> its supernode
  std::vector<std::int32_t> parent;               // supernode -> parent, -1 at a root
  ~Impl() {
    if (symbolic) cholmod_free_factor(&symbolic, common.get());
  }
};

CholeskyPattern::CholeskyPattern(std::int32_t n, std::span<const std::int32_t> column_starts,
                                 std::span<const std::int32_t> rows)
    : n_(n), impl_(std::make_unique<Impl>()) {
  impl_->column_starts.assign(column_starts.begin(), column_starts.end());
  impl_->rows.assign(rows.begin(), rows.end());
  cholmod_sparse a = matrix_view(n, impl_->column_starts, impl_->rows, nullptr);
  impl_->symbolic = cholmod_analyze(&a, impl_->common.get());
  if (!impl_->symbolic) solver_failed("analysis", impl_->common->status);
  const cholmod_factor& l = *impl_->symbolic;
  if (!l.is_super) throw std::runtime_error("sparse Cholesky: the analysis is not supernodal");
  const auto* permutation = static_cast<const std::int32_t*>(l.Perm);
  impl_->inverse_permutation.resize(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) impl_->inverse_permutation[static_cast<std::size_t>(permutation[i])] = i;
  const auto* super = static_cast<const std::int32_t*>(l.super);
  const auto* pi = static_cast<const std::int32_t*>(l.pi);
  const auto* s = static_cast<const std::int32_t*>(l.s);
  const std::size_t nsuper = l.nsuper;
  impl_->supernode_of.resize(static_cast<std::size_t>(n));
  impl_->parent.assign(nsuper, -1);
  for (std::size_t sn = 0; sn < nsuper; ++sn) {
    for (std::int32_t j = super[sn]; j < super[sn + 1]; ++j) impl_->supernode_of[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(sn);
  }
  for (std::size_t sn = 0; sn < nsuper; ++sn) {
    const std::int32_t columns = super[sn + 1] - super[sn];
    if (pi[sn + 1] - pi[sn] > columns) {
      impl_->parent[sn] = impl_->supernode_of[static_cast<std::size_t>(s[pi[sn] + columns])];
    }
  }
}

CholeskyPattern::~CholeskyPattern() = default;

double CholeskyPattern::factor_entries() const noexcept { return impl_->common->lnz; }
double CholeskyPattern::factor_flops() const noexcept { return impl_->common->fl; }

struct CholeskyFactor::Impl {
  Common common;
  cholmod_factor* factor = nullptr;
  // Scratch of the forward solve: a dense vector kept zero between calls, and supernode marks.
  mutable std::vector<double> work;
  mutable std::vector<char> marked;
  mutable cholmod_dense* solution = nullptr;
  mutable cholmod_dense* y_work = nullptr;
  mutable cholmod_dense* e_work = nullptr;
  ~Impl() {
    if (solution) cholmod_free_dense(&solution, common.get());
    if (y_work) cholmod_free_dense(&y_work, common.get());
    if (e_work) cholmod_free_dense(&e_work, common.get());
    if (factor) cholmod_free_factor(&factor, common.get());
  }
};

CholeskyFactor::CholeskyFactor(const CholeskyPattern& pattern, std::span<const double> values)
    : pattern_(pattern), impl_(std::make_unique<Impl>()) {
  impl_->factor = cholmod_copy_factor(pattern.impl_->symbolic, impl_->common.get());
  if (!impl_->factor) solver_failed("copy of the analysis", impl_->common->status);
  cholmod_sparse a =
      matrix_view(pattern.n_, pattern.impl_->column_starts, pattern.impl_->rows, values.data());
  if (!cholmod_factorize(&a, impl_->factor, impl_->common.get())) {
    solver_failed("factorisation", impl_->common->status);
  }
  if (impl_->common->status == CHOLMOD_NOT_POSDEF || impl_->factor->minor < impl_->factor->n) {
    throw std::runtime_error("sparse Cholesky: the matrix is not positive definite");
  }
}

CholeskyFactor::~CholeskyFactor() = default;

void CholeskyFactor::forward(std::span<const std::int32_t> rows, std::span<const double> values,
                             ForwardColumn& out) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const cholmod_factor& l = *impl_->factor;
  const auto* super = static_cast<const std::int32_t*>(l.super);
  const auto* pi = static_cast<const std::int32_t*>(l.pi);
  const auto* px = static_cast<const std::int32_t*>(l.px);
  const auto* s = static_cast<const std::int32_t*>(l.s);
  const auto* lx = static_cast<const double*>(l.x);
  std::vector<double>& x = impl_->work;
  std::vector<char>& marked = impl_->marked;
  if (x.empty()) x.assign(static_cast<std::size_t>(pattern_.n_), 0.0);
  if (marked.empty()) marked.assign(p.parent.size(), 0);
  out.supernodes.clear();
  for (std::size_t e = 0; e < rows.size(); ++e) {
    const std::int32_t row = p.inverse_permutation[static_cast<std::size_t>(rows[e])];
    x[static_cast<std::size_t>(row)] += values[e];
    for (std::int32_t sn = p.supernode_of[static_cast<std::size_t>(row)]; sn >= 0 && !marked[static_cast<std::size_t>(sn)];
         sn = p.parent[static_cast<std::size_t>(sn)]) {
      marked[static_cast<std::size_t>(sn)] = 1;
      out.supernodes.push_back(sn);
    }
  }
  std::sort(out.supernodes.begin(), out.supernodes.end());
  std::size_t count = 0;
  for (const std::int32_t sn : out.supernodes) {
    const std::int32_t first = super[sn];
    const std::int32_t columns = super[sn + 1] - first;
    const std::int32_t height = pi[sn + 1] - pi[sn];
    const double* block = lx + px[sn];
    const std::int32_t* block_rows = s + pi[sn];
    for (std::int32_t j = 0; j < columns; ++j) {
      const double* column = block + static_cast<std::ptrdiff_t>(j) * height;
      const double xj = x[static_cast<std::size_t>(first + j)] / column[j];
      x[static_cast<std::size_t>(first + j)] = xj;
      if (xj == 0) continue;
      for (std::int32_t r = j + 1; r < height; ++r) x[static_cast<std::size_t>(block_rows[r])] -= column[r] * xj;
    }
    count += static_cast<std::size_t>(columns);
  }
  out.values.resize(count);
  std::size_t at = 0;
  for (const std::int32_t sn : out.supernodes) {
    marked[static_cast<std::size_t>(sn)] = 0;
    for (std::int32_t j = super[sn]; j < super[sn + 1]; ++j) {
      out.values[at++] = x[static_cast<std::size_t>(j)];
      x[static_cast<std::size_t>(j)] = 0;
    }
  }
}

double CholeskyFactor::dot(const ForwardColumn& first, const ForwardColumn& second) const {
  const auto* super = static_cast<const std::int32_t*>(impl_->factor->super);
  double sum = 0;
  std::size_t a = 0, b = 0, at_a = 0, at_b = 0;
  while (a < first.supernodes.size() && b < second.supernodes.size()) {
    const std::int32_t sa = first.supernodes[a];
    const std::int32_t sb = second.supernodes[b];
    if (sa < sb) {
      at_a += static_cast<std::size_t>(super[sa + 1] - super[sa]);
      ++a;
    } else if (sb < sa) {
      at_b += static_cast<std::size_t>(super[sb + 1] - super[sb]);
      ++b;
    } else {
      const std::size_t columns = static_cast<std::size_t>(super[sa + 1] - super[sa]);
      for (std::size_t j = 0; j < columns; ++j) sum += first.values[at_a + j] * second.values[at_b + j];
      at_a += columns;
      at_b += columns;
      ++a;
      ++b;
    }
  }
  return sum;
}

void CholeskyFactor::solve(std::span<double> columns, std::int32_t count) const {
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  cholmod_dense b = dense_view(n, static_cast<std::size_t>(count), columns.data());
  if (!cholmod_solve2(CHOLMOD_A, impl_->factor, &b, nullptr, &impl_->solution, nullptr,
                      &impl_->y_work, &impl_->e_work, impl_->common.get())) {
    solver_failed("solve", impl_->common->status);
  }
  const auto* x = static_cast<const double*>(impl_->solution->x);
  std::copy(x, x + n * static_cast<std::size_t>(count), columns.begin());
}

void CholeskyFactor::backward(std::span<const ForwardColumn> forward_columns,
                              std::span<double> columns) const {
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  const std::size_t count = forward_columns.size();
  const auto* super = static_cast<const std::int32_t*>(impl_->factor->super);
  std::vector<double> y(n * count, 0.0);
  for (std::size_t c = 0; c < count; ++c) {
    std::size_t at = 0;
    for (const std::int32_t sn : forward_columns[c].supernodes) {
      for (std::int32_t j = super[sn]; j < super[sn + 1]; ++j) y[c * n + static_cast<std::size_t>(j)] = forward_columns[c].values[at++];
    }
  }
  cholmod_dense b = dense_view(n, count, y.data());
  if (!cholmod_solve2(CHOLMOD_Lt, impl_->factor, &b, nullptr, &impl_->solution, nullptr,
                      &impl_->y_work, &impl_->e_work, impl_->common.get())) {
    solver_failed("solve", impl_->common->status);
  }
  const auto* z = static_cast<const double*>(impl_->solution->x);
  const auto* permutation = static_cast<const std::int32_t*>(impl_->factor->Perm);
  for (std::size_t c = 0; c < count; ++c) {
    for (std::size_t i = 0; i < n; ++i) columns[c * n + static_cast<std::size_t>(permutation[i])] = z[c * n + i];
  }
}

}  // namespace quelby
