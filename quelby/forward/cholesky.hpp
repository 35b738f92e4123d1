// The one interface to the sparse direct solver (CHOLMOD's supernodal Cholesky): a symmetric
// positive definite pattern is analysed once (fill-reducing ordering and symbolic factor), then
// factorised for any number of value sets, each factor usable from one thread at a time.
// Indices are 0-based.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quelby {

class CholeskyFactor;

// The analysis of one pattern, given as its upper triangle in compressed columns (column j holds
// rows i <= j, ascending). Throws std::bad_alloc or std::runtime_error when the solver fails.
class CholeskyPattern {
 public:
  CholeskyPattern(std::int32_t n, std::span<const std::int32_t> column_starts,
                  std::span<const std::int32_t> rows);
  ~CholeskyPattern();
  CholeskyPattern(const CholeskyPattern&) = delete;
  CholeskyPattern& operator=(const CholeskyPattern&) = delete;

  std::int32_t size() const noexcept { return n_; }
  double factor_entries() const noexcept;  // entries of L
  double factor_flops() const noexcept;    // floating-point operations of one factorisation

 private:
  friend class CholeskyFactor;
  struct Impl;
  std::int32_t n_;
  std::unique_ptr<Impl> impl_;
};

// A sparse right-hand side's forward solve y = L^-1 P b: nonzero only on the columns of the
// supernodes on the paths from b's entries to the root, kept as those supernodes (ascending) and
// their values (in the factor's order).
struct ForwardColumn {
  std::vector<std::int32_t> supernodes;
  std::vector<double> values;  // per listed supernode, its columns in order
};

class CholeskyFactor {
 public:
  // Factorises the matrix with entries `values` (in the pattern's order). Throws std::bad_alloc,
  // or std::runtime_error when the matrix is not positive definite.
  CholeskyFactor(const CholeskyPattern& pattern, std::span<const double> values);
  ~CholeskyFactor();
  CholeskyFactor(const CholeskyFactor&) = delete;
  CholeskyFactor& operator=(const CholeskyFactor&) = delete;

  // y = L^-1 P b for b with entries `values` at rows `rows` (0-based). Cost: the supernodes on
  // the paths from those rows to the root.
  void forward(std::span<const std::int32_t> rows, std::span<const double> values,
               ForwardColumn& out) const;
  // y1^T y2 over the common supernodes, in ascending order (b1^T A^-1 b2 for their right sides).
  double dot(const ForwardColumn& first, const ForwardColumn& second) const;
  // X = A^-1 B in place, for `count` dense columns of size n (column-major).
  void solve(std::span<double> columns, std::int32_t count) const;
  // Writes P^T L^-T y of each forward column into the dense column-major `columns` (n x count):
  // with forward(), the full solutions A^-1 b at half the cost of two dense sweeps.
  void backward(std::span<const ForwardColumn> forward_columns, std::span<double> columns) const;

 private:
  const CholeskyPattern& pattern_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
