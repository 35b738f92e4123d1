// The one interface to the sparse direct solver: CHOLMOD orders a symmetric positive definite
// pattern and analyses it once, then factorises it (simplicial LDL^T) for any number of value
// sets. The solves are this module's own loops over the factor: no BLAS is called, so that factors
// of several wavenumbers can be worked on at once from the pool's threads, and results are the
// same bits whatever BLAS the system has. Indices are 0-based.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quelby {

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

// The forward solve y = L^-1 P b of a sparse right-hand side: nonzero only on the factor's columns
// on the paths from b's entries to the root of the elimination tree, kept as those columns
// (ascending) and their values.
struct ForwardColumn {
  std::vector<std::int32_t> columns;
  std::vector<double> values;
};

class CholeskyFactor {
 public:
  // Factorises the matrix with entries `values` (in the pattern's order). Throws std::bad_alloc,
  // or std::runtime_error when the matrix is not positive definite.
  CholeskyFactor(const CholeskyPattern& pattern, std::span<const double> values);
  ~CholeskyFactor();
  CholeskyFactor(const CholeskyFactor&) = delete;
  CholeskyFactor& operator=(const CholeskyFactor&) = delete;

  // Factorises new values of the same pattern in the memory of this factor (no fresh memory), with
  // the same checks as the constructor.
  void refactor(std::span<const double> values);

  // y = L^-1 P b for b with entries `values` at rows `rows`. Cost: the entries of L in the columns
  // on the paths from those rows to the root. Not for two threads at once on one factor.
  void forward(std::span<const std::int32_t> rows, std::span<const double> values,
               ForwardColumn& out) const;
  // b1^T A^-1 b2 from the forward solves of b1 and b2: y1^T D^-1 y2 over their common columns,
  // ascending.
  double dot(const ForwardColumn& first, const ForwardColumn& second) const;
  // The full solutions A^-1 b of the forward solves (count = forward_columns.size()), node by node
  // (out[i * count + c] is entry i of solution c) or, with `by_solution`, solution by solution
  // (out[c * n + i]). Cost: entries of L times count.
  void backward(std::span<const ForwardColumn> forward_columns, std::span<double> out,
                bool by_solution = false) const;
  // x = A^-1 b in place for `count` dense right-hand sides stored node by node (b[i * count + c]
  // is entry i of right-hand side c). Cost: entries of L times count, twice.
  void solve(std::span<double> rhs, std::size_t count) const;
  // y = L^-1 P b for dense right-hand sides stored node by node, written node by node in the
  // factor's order (y[j * count + c]), so that b1^T A^-1 b2 = sum_j y1_j y2_j / pivot(j).
  void forward_dense(std::span<const double> rhs, std::size_t count, std::span<double> y) const;
  // d_j of A = P^T L D L^T P (0-based factor row j).
  double pivot(std::size_t j) const;

 private:
  const CholeskyPattern& pattern_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
