// Conjugate gradients preconditioned with algebraic multigrid (hypre's BoomerAMG, one V-cycle per
// iteration) for one sparse symmetric positive definite matrix: the hierarchy is set up once and
// serves every right-hand side. SpdSolver (spd_solver.hpp) is the interface the forward models
// use; this is its iterative half. Indices are 0-based.
//
// Process-wide state: hypre runs on MPI, so the first MultigridSolver of a process starts MPI when
// the program has not (MPI_Init_thread on no arguments, one process, everything on MPI_COMM_SELF),
// registers MPI_Finalize with std::atexit (only then), and starts hypre (HYPRE_Init). MPI can be
// started only once in a process's life, which is why this one piece of state cannot belong to an
// object. No launcher is needed: Open MPI runs the process as a singleton, started alone and on its
// loop-back transport (settings given to MPI's start only, see multigrid.cpp), also as root. A
// program that runs MPI itself starts it before its first MultigridSolver and finishes it after
// its last. hypre keeps global state of its own (its error flag), so every call into it is
// made under one lock: solvers on several threads take turns.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace quelby {

// How the grid of each level is split into coarse and fine points (hypre's numbering in the .cpp).
enum class MultigridCoarsening { hmis, pmis, falgout };
// How fine points are interpolated from coarse ones.
enum class MultigridInterpolation { extended_i, extended, classical };
// The smoother: every choice is applied forwards on the way down and backwards on the way up (or
// is symmetric itself), so that the V-cycle is a symmetric preconditioner, as conjugate gradients
// needs.
enum class MultigridRelaxation { l1_gauss_seidel, hybrid_gauss_seidel, l1_jacobi, chebyshev };

// The preconditioner's settings. The defaults are those measured best for the 27-point stencils of
// trilinear elements on graded tensor meshes (bench/spd_solver_bench.cpp, a conductive block in a
// resistive host, 1e-10; CPU time of one solve, iterations, operator complexity): at 2.2e5
// unknowns 0.77 s, 18, 1.87 with at most 3 interpolation entries a row, against 1.15 s, 21, 2.29
// with 4 (hypre's default), 0.66 s, 22, 1.61 with 2, 0.78 s, 33, 1.21 with one aggressive level
// (the least memory: 105 against 154 MiB), 1.15 s, 25, 1.92 with a strong threshold of 0.25; at
// 1e6 unknowns 4.2 s, 20 with 3 against 5.2 s, 22 with 4 and 4.6 s, 27 with 2. HMIS and PMIS
// coarsening, and hybrid against l1 Gauss-Seidel, were within the noise of the shared machine;
// Jacobi and Chebyshev smoothers took 2 to 3 times as long.
struct MultigridOptions {
  MultigridCoarsening coarsening = MultigridCoarsening::hmis;
  MultigridInterpolation interpolation = MultigridInterpolation::extended_i;
  MultigridRelaxation relaxation = MultigridRelaxation::l1_gauss_seidel;
  // A connection is strong when |a_ij| >= threshold * max_k |a_ik|; 0.25 suits 2-D, 0.5 3-D.
  double strong_threshold = 0.5;
  int interpolation_max_elements = 3;  // entries kept per row of interpolation (0: all)
  int aggressive_levels = 0;           // levels coarsened aggressively, from the finest
  int sweeps = 1;                      // smoothing sweeps down and up
  int max_levels = 25;
  int max_coarse_size = 9;  // the coarsest level is solved directly
};

// What one solve did: conjugate-gradient iterations and ||b - A x|| / ||b|| recomputed from the
// final x (0 for b = 0).
struct SpdSolveReport {
  int iterations = 0;
  double relative_residual = 0;
};

class MultigridSolver {
 public:
  // A as its full symmetric pattern in compressed rows (row_starts n + 1, columns ascending in each
  // row). Copies A into hypre and sets the hierarchy up. Throws std::bad_alloc, or
  // std::runtime_error with hypre's description when it fails.
  MultigridSolver(std::int32_t n, std::span<const std::int32_t> row_starts,
                  std::span<const std::int32_t> columns, std::span<const double> values,
                  const MultigridOptions& options, double relative_tolerance, int max_iterations);
  ~MultigridSolver();
  MultigridSolver(const MultigridSolver&) = delete;
  MultigridSolver& operator=(const MultigridSolver&) = delete;

  // Solves A x = b for one right-hand side; x holds the initial guess on entry (zero is fine).
  // `converged` says whether ||b - A x|| / ||b|| fell under the tolerance (checked on the true
  // residual) within the iterations allowed. Cost: iterations times (one V-cycle and one product).
  SpdSolveReport solve(std::span<const double> b, std::span<double> x, bool& converged) const;

  // New values of the same pattern: written over hypre's copy of A, then a new hierarchy. After
  // a set-up that fails, solve throws until an update succeeds.
  void update(std::span<const double> values);

  // Bytes of the hierarchy (operators, interpolations, work vectors) and of hypre's copy of A.
  double memory_bytes() const;
  int levels() const;
  // Entries of all levels' operators over the entries of A.
  double operator_complexity() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelby
