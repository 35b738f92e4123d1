// The model objective's matrix WTW factorised (sparse Cholesky, CHOLMOD's ordering; supernodal
// over the BLAS for large objectives, as the forward model's factors) for the
// inversion's solves: x = WTW^-1 b for blocks of right-hand sides and the half solve L^-1 P b
// that the data-space matrix is built from. Parameters held at a bound carry a large penalty on
// their diagonal, which keeps their step at nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/sparse/csr.hpp"

namespace quelby {

class ModelSolver {
 public:
  // Factorises the objective's WTW (npar rows, columns ascending, symmetric) plus `penalty` on
  // the diagonal of the parameters marked in `held`. A matrix that is not positive definite writes
  // a message that says what in the objective causes it and throws Stop.
  ModelSolver(const Io& io, const ModelObjective& objective, std::size_t npar,
              std::span<const char> held = {}, double penalty = 0,
              CholeskyKind kind = CholeskyKind::automatic);
  ~ModelSolver();
  ModelSolver(const ModelSolver&) = delete;
  ModelSolver& operator=(const ModelSolver&) = delete;

  std::size_t size() const noexcept { return n_; }
  // x = WTW^-1 b in place for `count` right-hand sides stored parameter by parameter
  // (rhs[p * count + c]); large blocks in two halves on the worker pool. O(entries of L * count).
  void solve(std::span<double> rhs, std::size_t count) const;
  // y = D^-1/2 L^-1 P b for `count` right-hand sides stored parameter by parameter, written factor
  // row by factor row (y[j * count + c]), so that b1^T WTW^-1 b2 = sum_j y1_j y2_j.
  // O(entries of L * count).
  void half_solve(std::span<const double> rhs, std::size_t count, std::span<double> y) const;

 private:
  std::size_t n_ = 0;
  std::unique_ptr<CholeskyPattern> pattern_;
  std::unique_ptr<CholeskyFactor> factor_;
};

// The largest diagonal entry of a square compressed-row matrix (0 when it has none).
double largest_diagonal(const CsrMatrix& matrix);

}  // namespace quelby
