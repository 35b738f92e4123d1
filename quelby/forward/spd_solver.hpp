// One solver for the sparse symmetric positive definite systems of the 3-D forward model, direct
// or iterative by size: a supernodal Cholesky factor (cholesky.hpp) up to a few 10^5 unknowns,
// conjugate gradients preconditioned with algebraic multigrid (multigrid.hpp) beyond. Either is
// made once per matrix and solves any number of right-hand sides; every solve reports its
// iterations and its residual ||b - A x|| / ||b||. Indices are 0-based.
//
// The multigrid path starts MPI and hypre once in the process's life (see multigrid.hpp): the only
// process-wide state behind this interface, and only when a multigrid solver is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/multigrid.hpp"

namespace quelby {

enum class SpdSolverKind { direct, multigrid, automatic };

struct SpdSolverOptions {
  SpdSolverKind kind = SpdSolverKind::automatic;
  std::int64_t direct_limit = 400000;  // automatic: direct up to this many unknowns
  double relative_tolerance = 1e-10;   // multigrid: ||b - A x|| / ||b|| to reach
  int max_iterations = 1000;           // multigrid: conjugate-gradient iterations per solve
  MultigridOptions multigrid;          // the preconditioner's settings
};

class SpdSolver {
 public:
  // A as its full symmetric pattern in compressed rows: row i holds columns[row_starts[i]] ..
  // columns[row_starts[i + 1] - 1], ascending, with their values; at most 2^31 - 1 entries.
  // Copies what it needs (the arrays may go after the call), then factorises (direct) or sets the
  // hierarchy up (multigrid). A matrix that is not positive definite (direct), a failure of the
  // solver library, or too little memory writes a message and throws Stop.
  SpdSolver(const Io& io, std::int32_t n, std::span<const std::int32_t> row_starts,
            std::span<const std::int32_t> columns, std::span<const double> values,
            const SpdSolverOptions& options);
  ~SpdSolver();
  SpdSolver(SpdSolver&&) noexcept;
  SpdSolver& operator=(SpdSolver&&) noexcept;

  bool direct() const noexcept;
  std::int32_t size() const noexcept;

  // Solves A x = b for `count` right-hand sides stored node by node (b[i * count + c] is entry i of
  // right-hand side c), x likewise; multigrid takes x as the initial guess (zero is fine), direct
  // ignores what x holds. Returns one report per right-hand side (direct: 0 iterations). The direct
  // path splits the right-hand sides between the worker pool's threads; the multigrid path solves
  // them one after another on the calling thread. A multigrid solve that does not reach the
  // tolerance within max_iterations writes a message naming its iterations and residual and throws
  // Stop; x then holds the last iterate of every right-hand side solved.
  std::vector<SpdSolveReport> solve(const Io& io, std::span<const double> b, std::span<double> x,
                                    std::size_t count) const;

  // New values of the same pattern (in the constructor's order): the direct path factorises them
  // in the memory of its factor, the multigrid path sets its hierarchy up anew. Stops as the
  // constructor does.
  void update(const Io& io, std::span<const double> values);

  // Bytes of the factor (direct) or of the hierarchy with hypre's copy of A (multigrid), plus the
  // copies this object keeps.
  double memory_bytes() const;
  // Multigrid only (0 for direct): levels and operator complexity of the hierarchy.
  int multigrid_levels() const;
  double operator_complexity() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
