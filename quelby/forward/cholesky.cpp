#include "quelby/forward/cholesky.hpp"

#include <cholmod.h>

#include "quelby/forward/kernels.hpp"

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
    common.supernodal = CHOLMOD_SIMPLICIAL;
    common.final_ll = 0;  // LDL^T
    common.final_pack = 1;
    common.final_monotonic = 1;
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

}  // namespace

struct CholeskyPattern::Impl {
  Common common;
  std::vector<std::int32_t> column_starts, rows;
  cholmod_factor* symbolic = nullptr;
  std::vector<std::int32_t> permutation;          // factor row -> original row
  std::vector<std::int32_t> inverse_permutation;  // original row -> factor row
  std::vector<std::int32_t> parent;               // elimination tree, -1 at a root
  ~Impl() {
    if (symbolic) cholmod_free_factor(&symbolic, common.get());
  }
};

CholeskyPattern::CholeskyPattern(std::int32_t n, std::span<const std::int32_t> column_starts,
                                 std::span<const std::int32_t> rows)
    : n_(n), impl_(std::make_unique<Impl>()) {
  Impl& p = *impl_;
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
  // The elimination tree of the permuted matrix, from its upper triangle (Liu's algorithm with
  // path compression).
  const std::size_t size = static_cast<std::size_t>(n);
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
}

CholeskyPattern::~CholeskyPattern() = default;

double CholeskyPattern::factor_entries() const noexcept {
  return impl_->common->lnz;
}
double CholeskyPattern::factor_flops() const noexcept {
  return impl_->common->fl;
}

struct CholeskyFactor::Impl {
  Common common;
  cholmod_factor* factor = nullptr;
  const std::int32_t* column_start = nullptr;  // L by columns: the diagonal (D) first
  const std::int32_t* row = nullptr;
  const double* value = nullptr;
  // Scratch of the forward solve: a dense vector kept zero between calls, and column marks.
  mutable std::vector<double> work;
  mutable std::vector<char> marked;
  mutable std::vector<double> solutions;  // scratch of the backward solves
  ~Impl() {
    if (factor) cholmod_free_factor(&factor, common.get());
  }
};

CholeskyFactor::CholeskyFactor(const CholeskyPattern& pattern, std::span<const double> values)
    : pattern_(pattern), impl_(std::make_unique<Impl>()) {
  Impl& f = *impl_;
  f.factor = cholmod_copy_factor(pattern.impl_->symbolic, f.common.get());
  if (!f.factor) solver_failed("copy of the analysis", f.common->status);
  refactor(values);
}

void CholeskyFactor::refactor(std::span<const double> values) {
  Impl& f = *impl_;
  cholmod_sparse a =
      matrix_view(pattern_.n_, pattern_.impl_->column_starts, pattern_.impl_->rows, values.data());
  if (!cholmod_factorize(&a, f.factor, f.common.get())) {
    solver_failed("factorisation", f.common->status);
  }
  if (f.common->status == CHOLMOD_NOT_POSDEF || f.factor->minor < f.factor->n) {
    throw std::runtime_error("sparse Cholesky: the matrix is not positive definite");
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
  if (marked.empty()) marked.assign(static_cast<std::size_t>(pattern_.n_), 0);
  out.columns.clear();
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
    const double xj = x[static_cast<std::size_t>(j)];
    if (xj == 0) continue;
    for (std::int32_t at = f.column_start[j] + 1; at < f.column_start[j + 1]; ++at) {
      x[static_cast<std::size_t>(f.row[at])] -= f.value[at] * xj;
    }
  }
  out.values.resize(out.columns.size());
  for (std::size_t c = 0; c < out.columns.size(); ++c) {
    const auto j = static_cast<std::size_t>(out.columns[c]);
    out.values[c] = x[j];
    x[j] = 0;
    marked[j] = 0;
  }
}

double CholeskyFactor::dot(const ForwardColumn& first, const ForwardColumn& second) const {
  const Impl& f = *impl_;
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
      sum += first.values[a] * second.values[b] / f.value[f.column_start[ja]];
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

}  // namespace

void CholeskyFactor::backward(std::span<const ForwardColumn> forward_columns, std::span<double> out,
                              bool by_solution) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  const std::size_t count = forward_columns.size();
  // Node-major in the factor's order: the solutions' entries for one row side by side.
  std::vector<double>& x = f.solutions;
  x.assign(n * count, 0.0);
  for (std::size_t c = 0; c < count; ++c) {
    const ForwardColumn& column = forward_columns[c];
    for (std::size_t t = 0; t < column.columns.size(); ++t) {
      x[static_cast<std::size_t>(column.columns[t]) * count + c] = column.values[t];
    }
  }
  backward_substitute(f.column_start, f.row, f.value, n, count, x.data());
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = x.data() + i * count;
    const std::size_t node = static_cast<std::size_t>(p.permutation[i]);
    if (by_solution) {
      for (std::size_t c = 0; c < count; ++c) out[c * n + node] = from[c];
    } else {
      std::copy(from, from + count, out.data() + node * count);
    }
  }
}

void CholeskyFactor::solve(std::span<double> rhs, std::size_t count) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  std::vector<double> x(n * count);
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = rhs.data() + static_cast<std::size_t>(p.permutation[i]) * count;
    std::copy(from, from + count, x.data() + i * count);
  }
  // y = L^-1 x, column by column: each column's entries below the diagonal take their share.
  for (std::size_t j = 0; j < n; ++j) {
    const double* xj = x.data() + j * count;
    for (std::int32_t at = f.column_start[j] + 1; at < f.column_start[j + 1]; ++at) {
      subtract_scaled(x.data() + static_cast<std::size_t>(f.row[at]) * count, f.value[at], xj,
                      count);
    }
  }
  backward_substitute(f.column_start, f.row, f.value, n, count, x.data());
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = x.data() + i * count;
    std::copy(from, from + count, rhs.data() + static_cast<std::size_t>(p.permutation[i]) * count);
  }
}

void CholeskyFactor::forward_dense(std::span<const double> rhs, std::size_t count,
                                   std::span<double> y) const {
  const CholeskyPattern::Impl& p = *pattern_.impl_;
  const Impl& f = *impl_;
  const std::size_t n = static_cast<std::size_t>(pattern_.n_);
  for (std::size_t i = 0; i < n; ++i) {
    const double* from = rhs.data() + static_cast<std::size_t>(p.permutation[i]) * count;
    std::copy(from, from + count, y.data() + i * count);
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double* yj = y.data() + j * count;
    for (std::int32_t at = f.column_start[j] + 1; at < f.column_start[j + 1]; ++at) {
      subtract_scaled(y.data() + static_cast<std::size_t>(f.row[at]) * count, f.value[at], yj,
                      count);
    }
  }
}

double CholeskyFactor::pivot(std::size_t j) const {
  return impl_->value[impl_->column_start[j]];
}

}  // namespace quelby
