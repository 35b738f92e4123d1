// The one interface to the sparse direct solver: CHOLMOD orders a symmetric positive definite
// pattern and analyses it once, then factorises it for any number of value sets, either simplicial
// (LDL^T, column by column, no BLAS) or supernodal (LL^T in dense blocks through the BLAS, run on
// the calling thread alone, so that factors of several wavenumbers can be worked on at once from
// the pool's threads and give the same bits as one after another). The solves are this module's
// own loops over the factor, with the BLAS for the large blocks of a supernodal factor. Indices
// are 0-based.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quelby {

// How the numeric factor is laid out. `automatic` takes the faster of the two for the pattern's
// size (see supernodal_from_nodes in cholesky.cpp, where the measurement behind it is stated).
enum class CholeskyKind { simplicial, supernodal, automatic };

// The analysis of one pattern, given as its upper triangle in compressed columns (column j holds
// rows i <= j, ascending). Throws std::bad_alloc or std::runtime_error when the solver fails.
class CholeskyPattern {
 public:
  CholeskyPattern(std::int32_t n, std::span<const std::int32_t> column_starts,
                  std::span<const std::int32_t> rows, CholeskyKind kind = CholeskyKind::simplicial);
  ~CholeskyPattern();
  CholeskyPattern(const CholeskyPattern&) = delete;
  CholeskyPattern& operator=(const CholeskyPattern&) = delete;

  std::int32_t size() const noexcept { return n_; }
  bool supernodal() const noexcept;
  double factor_entries() const noexcept;  // entries of L (without a supernodal factor's padding)
  double factor_flops() const noexcept;    // floating-point operations of one factorisation
  // Bytes of one numeric factor: its values (with a supernodal factor's padding) and the row
  // indices a simplicial factor keeps per entry.
  double factor_bytes() const noexcept;
  // The factor's row of each original row (the inverse of the fill-reducing permutation): the
  // solves below that work in the factor's order put row i of the system at factor_row()[i].
  std::span<const std::int32_t> factor_row() const noexcept;

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
  // ascending (D = I for a supernodal factor).
  double dot(const ForwardColumn& first, const ForwardColumn& second) const;
  // The full solutions A^-1 b of the forward solves (count = forward_columns.size()), node by node
  // in the factor's order: out[factor_row()[i] * count + c] is entry i of solution c (n * count
  // values, every one written). Cost: entries of L times count.
  void backward(std::span<const ForwardColumn> forward_columns, std::span<double> out) const;
  // The dense solves below (backward, solve, forward_dense) may run on several threads at once on
  // one factor.
  // x = A^-1 b in place for `count` dense right-hand sides stored node by node (b[i * count + c]
  // is entry i of right-hand side c). Cost: entries of L times count, twice.
  void solve(std::span<double> rhs, std::size_t count) const;
  // y = L^-1 P b for dense right-hand sides stored node by node, written node by node in the
  // factor's order (y[j * count + c]), so that b1^T A^-1 b2 = sum_j y1_j y2_j / pivot(j).
  void forward_dense(std::span<const double> rhs, std::size_t count, std::span<double> y) const;
  // d_j of A = P^T L D L^T P (0-based factor row j); 1 for a supernodal factor (A = P^T L L^T P).
  double pivot(std::size_t j) const;

 private:
  const CholeskyPattern& pattern_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
