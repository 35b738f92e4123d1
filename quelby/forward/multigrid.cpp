#include "quelby/forward/multigrid.hpp"

// MPI's C interface only: the build defines OMPI_SKIP_MPICXX and MPICH_SKIP_MPICXX.
#include <mpi.h>
// hypre's public interface, and its internal headers for the hierarchy's sizes and for direct
// access to the values of its matrix and vectors (one process: every row is local).
#include <HYPRE.h>
#include <HYPRE_krylov.h>
#include <HYPRE_parcsr_ls.h>
#include <_hypre_parcsr_ls.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelby {
namespace {

// hypre's own error flag and its allocation counters are process-wide: one call at a time.
std::mutex& hypre_lock() {
  static std::mutex lock;
  return lock;
}

// The process that started MPI: a child made by fork() that ends through exit() runs the exit
// handlers it inherited, and must not finish its parent's MPI.
pid_t& starting_process() {
  static pid_t process = 0;
  return process;
}

void finish_runtime() {
  if (::getpid() != starting_process()) return;
  HYPRE_Finalize();
  MPI_Finalize();
}

// Open MPI makes a process that its launcher did not start a "singleton". By default the singleton
// starts a helper daemon (for a later MPI_Comm_spawn) and its default transports probe the
// machine's network devices: 0.65 s to start MPI on the 2-core machine, against 0.15 s with the
// settings below. Our process never spawns and never talks to another, so it needs neither: it
// stays alone and uses the loop-back transport only. A setting already in the environment wins,
// and a process started by a launcher (which sets OMPI_COMM_WORLD_SIZE or PMIX_RANK) is left as it
// is. Other MPI implementations ignore these names. Running as root needs no setting here: Open
// MPI refuses root only in its launcher (mpirun), not in a singleton (checked as root).
class SingletonEnvironment {
 public:
  SingletonEnvironment() {
    if (std::getenv("OMPI_COMM_WORLD_SIZE") || std::getenv("PMIX_RANK")) return;
    for (const auto& [name, value] : settings) {
      if (std::getenv(name)) continue;
      ::setenv(name, value, 0);
      added_.push_back(name);
    }
  }
  // MPI has read its settings by now: the names go again, so that no process this one starts (an
  // MPI program under mpirun, say) inherits them.
  ~SingletonEnvironment() {
    for (const char* name : added_) ::unsetenv(name);
  }
  SingletonEnvironment(const SingletonEnvironment&) = delete;
  SingletonEnvironment& operator=(const SingletonEnvironment&) = delete;

 private:
  static constexpr std::array<std::array<const char*, 2>, 3> settings{{
      {"OMPI_MCA_ess_singleton_isolated", "1"},
      {"OMPI_MCA_pml", "ob1"},
      {"OMPI_MCA_btl", "self"},
  }};
  std::vector<const char*> added_;
};

// Starts MPI (when the program has not) and hypre, once in the process's life; see the header.
// MPI_THREAD_SERIALIZED, not FUNNELED: the solver may be made and used on any thread (a pool's
// worker, a Python thread), never by two at once (hypre_lock).
void start_runtime() {
  static std::once_flag once;
  std::call_once(once, [] {
    int started = 0;
    MPI_Initialized(&started);
    if (!started) {
      int finished = 0;
      MPI_Finalized(&finished);
      if (finished) throw std::runtime_error("multigrid: MPI was finished and cannot start again");
      int provided = 0;
      int status = MPI_SUCCESS;
      {
        const SingletonEnvironment environment;
        status = MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided);
      }
      if (status != MPI_SUCCESS) throw std::runtime_error("multigrid: MPI could not be started");
      // Errors on our communicator come back as codes (checked by hypre) instead of ending the
      // process.
      MPI_Comm_set_errhandler(MPI_COMM_SELF, MPI_ERRORS_RETURN);
      starting_process() = ::getpid();
      std::atexit(finish_runtime);
    }
    if (HYPRE_Init() != 0) throw std::runtime_error("multigrid: hypre could not be started");
  });
}

// Throws for a nonzero hypre error code, with hypre's description; clears hypre's error flag.
void check(HYPRE_Int code, const char* what) {
  if (code == 0) return;
  std::array<char, 256> text{};
  HYPRE_DescribeError(code, text.data());
  HYPRE_ClearAllErrors();
  if (code & HYPRE_ERROR_MEMORY) throw std::bad_alloc();
  std::string description = text.data();
  while (!description.empty() && (description.back() == ' ' || description.back() == '\n'))
    description.pop_back();
  throw std::runtime_error(std::string("multigrid: ") + what + " failed: " + description);
}

HYPRE_Int coarsening_code(MultigridCoarsening c) {
  switch (c) {
    case MultigridCoarsening::pmis:
      return 8;
    case MultigridCoarsening::falgout:
      return 6;
    case MultigridCoarsening::hmis:
      break;
  }
  return 10;
}

HYPRE_Int interpolation_code(MultigridInterpolation i) {
  switch (i) {
    case MultigridInterpolation::extended:
      return 14;
    case MultigridInterpolation::classical:
      return 0;
    case MultigridInterpolation::extended_i:
      break;
  }
  return 6;
}

// hypre's relaxation codes on the way down and up: forward then backward sweeps for the
// Gauss-Seidel kinds, the same symmetric smoother both ways otherwise.
std::array<HYPRE_Int, 2> relaxation_codes(MultigridRelaxation r) {
  switch (r) {
    case MultigridRelaxation::hybrid_gauss_seidel:
      return {3, 4};
    case MultigridRelaxation::l1_jacobi:
      return {18, 18};
    case MultigridRelaxation::chebyshev:
      return {16, 16};
    case MultigridRelaxation::l1_gauss_seidel:
      break;
  }
  return {13, 14};
}

double* vector_data(HYPRE_ParVector v) {
  return hypre_VectorData(hypre_ParVectorLocalVector(reinterpret_cast<hypre_ParVector*>(v)));
}

hypre_CSRMatrix* local_block(HYPRE_ParCSRMatrix a) {
  return hypre_ParCSRMatrixDiag(reinterpret_cast<hypre_ParCSRMatrix*>(a));
}

double csr_bytes(const hypre_ParCSRMatrix* a) {
  if (!a) return 0;
  const hypre_CSRMatrix* diag = hypre_ParCSRMatrixDiag(a);
  const hypre_CSRMatrix* offd = hypre_ParCSRMatrixOffd(a);
  double bytes = 0;
  for (const hypre_CSRMatrix* m : {diag, offd}) {
    if (!m) continue;
    bytes += static_cast<double>(hypre_CSRMatrixNumNonzeros(m)) *
                 (sizeof(HYPRE_Complex) + sizeof(HYPRE_Int)) +
             static_cast<double>(hypre_CSRMatrixNumRows(m) + 1) * sizeof(HYPRE_Int);
  }
  return bytes;
}

}  // namespace

struct MultigridSolver::Impl {
  std::int32_t n = 0;
  MultigridOptions options;
  double tolerance = 0;
  int max_iterations = 0;
  std::vector<std::int32_t> row_starts;  // the caller's, to place new values in hypre's rows
  HYPRE_IJMatrix matrix = nullptr;
  HYPRE_ParCSRMatrix a = nullptr;
  HYPRE_IJVector rhs = nullptr, solution = nullptr;
  HYPRE_ParVector b = nullptr, x = nullptr, residual = nullptr;
  HYPRE_Solver pcg = nullptr, amg = nullptr;

  ~Impl() {
    const std::lock_guard<std::mutex> lock(hypre_lock());
    release_solvers();
    if (residual) HYPRE_ParVectorDestroy(residual);
    if (rhs) HYPRE_IJVectorDestroy(rhs);
    if (solution) HYPRE_IJVectorDestroy(solution);
    if (matrix) HYPRE_IJMatrixDestroy(matrix);
  }

  void release_solvers() {
    if (pcg) HYPRE_ParCSRPCGDestroy(pcg);
    if (amg) HYPRE_BoomerAMGDestroy(amg);
    pcg = amg = nullptr;
  }

  HYPRE_IJVector make_vector(HYPRE_ParVector& object) {
    HYPRE_IJVector v = nullptr;
    check(HYPRE_IJVectorCreate(MPI_COMM_SELF, 0, n - 1, &v), "vector creation");
    check(HYPRE_IJVectorSetObjectType(v, HYPRE_PARCSR), "vector creation");
    check(HYPRE_IJVectorInitialize(v), "vector creation");
    check(HYPRE_IJVectorAssemble(v), "vector creation");
    void* o = nullptr;
    check(HYPRE_IJVectorGetObject(v, &o), "vector creation");
    object = static_cast<HYPRE_ParVector>(o);
    std::fill(vector_data(object), vector_data(object) + n, 0.0);
    return v;
  }

  void build_matrix(std::span<const std::int32_t> columns, std::span<const double> values) {
    check(HYPRE_IJMatrixCreate(MPI_COMM_SELF, 0, n - 1, 0, n - 1, &matrix), "matrix creation");
    check(HYPRE_IJMatrixSetObjectType(matrix, HYPRE_PARCSR), "matrix creation");
    std::vector<HYPRE_Int> sizes(static_cast<std::size_t>(n));
    std::vector<HYPRE_BigInt> rows(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
      sizes[static_cast<std::size_t>(i)] =
          row_starts[static_cast<std::size_t>(i) + 1] - row_starts[static_cast<std::size_t>(i)];
      rows[static_cast<std::size_t>(i)] = i;
    }
    check(HYPRE_IJMatrixSetRowSizes(matrix, sizes.data()), "matrix creation");
    check(HYPRE_IJMatrixInitialize(matrix), "matrix creation");
    static_assert(sizeof(HYPRE_BigInt) == sizeof(std::int32_t));
    check(HYPRE_IJMatrixSetValues(matrix, n, sizes.data(), rows.data(),
                                  reinterpret_cast<const HYPRE_BigInt*>(columns.data()),
                                  values.data()),
          "matrix assembly");
    check(HYPRE_IJMatrixAssemble(matrix), "matrix assembly");
    void* o = nullptr;
    check(HYPRE_IJMatrixGetObject(matrix, &o), "matrix assembly");
    a = static_cast<HYPRE_ParCSRMatrix>(o);
  }

  // Writes new values (in the caller's order: columns ascending in each row) over hypre's copy,
  // whose rows hold the same entries in an order of its own (the diagonal first).
  void overwrite_values(std::span<const double> values) {
    hypre_CSRMatrix* diag = local_block(a);
    const HYPRE_Int* starts = hypre_CSRMatrixI(diag);
    const HYPRE_Int* cols = hypre_CSRMatrixJ(diag);
    double* data = hypre_CSRMatrixData(diag);
    std::vector<std::pair<HYPRE_Int, HYPRE_Int>> order;  // (column, position in hypre's row)
    for (std::int32_t i = 0; i < n; ++i) {
      const auto row = static_cast<std::size_t>(i);
      const HYPRE_Int begin = starts[i], end = starts[i + 1];
      if (end - begin != row_starts[row + 1] - row_starts[row])
        throw std::runtime_error("multigrid: hypre's copy of the matrix lost entries");
      order.clear();
      for (HYPRE_Int at = begin; at < end; ++at) order.emplace_back(cols[at], at);
      std::sort(order.begin(), order.end());
      for (std::size_t k = 0; k < order.size(); ++k)
        data[order[k].second] = values[static_cast<std::size_t>(row_starts[row]) + k];
    }
  }

  void set_up() {
    const MultigridOptions& o = options;
    check(HYPRE_BoomerAMGCreate(&amg), "multigrid creation");
    check(HYPRE_BoomerAMGSetPrintLevel(amg, 0), "setting the print level");
    check(HYPRE_BoomerAMGSetCoarsenType(amg, coarsening_code(o.coarsening)), "setting coarsening");
    check(HYPRE_BoomerAMGSetInterpType(amg, interpolation_code(o.interpolation)),
          "setting interpolation");
    check(HYPRE_BoomerAMGSetPMaxElmts(amg, o.interpolation_max_elements),
          "setting interpolation_max_elements");
    check(HYPRE_BoomerAMGSetStrongThreshold(amg, o.strong_threshold), "setting strong_threshold");
    check(HYPRE_BoomerAMGSetAggNumLevels(amg, o.aggressive_levels), "setting aggressive_levels");
    check(HYPRE_BoomerAMGSetMaxLevels(amg, o.max_levels), "setting max_levels");
    check(HYPRE_BoomerAMGSetMaxCoarseSize(amg, o.max_coarse_size), "setting max_coarse_size");
    const auto [down, up] = relaxation_codes(o.relaxation);
    check(HYPRE_BoomerAMGSetCycleRelaxType(amg, down, 1), "setting relaxation");
    check(HYPRE_BoomerAMGSetCycleRelaxType(amg, up, 2), "setting relaxation");
    // Gaussian elimination on the coarsest level; sweeps in lexicographic order, so that the
    // sweeps up mirror those down.
    check(HYPRE_BoomerAMGSetCycleRelaxType(amg, 9, 3), "setting relaxation");
    check(HYPRE_BoomerAMGSetRelaxOrder(amg, 0), "setting the relaxation order");
    check(HYPRE_BoomerAMGSetNumSweeps(amg, o.sweeps), "setting sweeps");
    // As a preconditioner: one V-cycle, no tolerance of its own.
    check(HYPRE_BoomerAMGSetMaxIter(amg, 1), "setting the V-cycles per application");
    check(HYPRE_BoomerAMGSetTol(amg, 0.0), "setting the tolerance of the preconditioner");
    check(HYPRE_ParCSRPCGCreate(MPI_COMM_SELF, &pcg), "conjugate gradients creation");
    check(HYPRE_PCGSetTol(pcg, tolerance), "setting relative_tolerance");
    check(HYPRE_PCGSetAbsoluteTol(pcg, 0.0), "setting the absolute tolerance");
    check(HYPRE_PCGSetMaxIter(pcg, max_iterations), "setting max_iterations");
    // ||r||_2 / ||b||_2, not the preconditioned norm.
    check(HYPRE_PCGSetTwoNorm(pcg, 1), "setting the norm");
    // Convergence is confirmed on b - A x recomputed, not on the updated residual alone.
    check(HYPRE_PCGSetRecomputeResidual(pcg, 1), "setting the recomputed residual");
    check(HYPRE_PCGSetPrintLevel(pcg, 0), "setting the print level");
    check(HYPRE_PCGSetLogging(pcg, 0), "setting the logging");
    check(HYPRE_ParCSRPCGSetPrecond(pcg, HYPRE_BoomerAMGSolve, HYPRE_BoomerAMGSetup, amg),
          "conjugate gradients creation");
    check(HYPRE_ParCSRPCGSetup(pcg, a, b, x), "multigrid set-up");
  }

  const hypre_ParAMGData* hierarchy() const {
    return reinterpret_cast<const hypre_ParAMGData*>(amg);
  }
};

MultigridSolver::MultigridSolver(std::int32_t n, std::span<const std::int32_t> row_starts,
                                 std::span<const std::int32_t> columns,
                                 std::span<const double> values, const MultigridOptions& options,
                                 double relative_tolerance, int max_iterations)
    : impl_(std::make_unique<Impl>()) {
  if (n < 1 || row_starts.size() != static_cast<std::size_t>(n) + 1 ||
      columns.size() < static_cast<std::size_t>(row_starts.back()) ||
      values.size() < static_cast<std::size_t>(row_starts.back()))
    throw std::invalid_argument("multigrid: the matrix's arrays do not agree");
  start_runtime();
  Impl& s = *impl_;
  s.n = n;
  s.options = options;
  s.tolerance = relative_tolerance;
  s.max_iterations = max_iterations;
  s.row_starts.assign(row_starts.begin(), row_starts.end());
  const std::lock_guard<std::mutex> lock(hypre_lock());
  s.build_matrix(columns, values);
  s.rhs = s.make_vector(s.b);
  s.solution = s.make_vector(s.x);
  check(HYPRE_ParVectorCreate(MPI_COMM_SELF, n, nullptr, &s.residual), "vector creation");
  check(HYPRE_ParVectorInitialize(s.residual), "vector creation");
  s.set_up();
}

MultigridSolver::~MultigridSolver() = default;

SpdSolveReport MultigridSolver::solve(std::span<const double> b, std::span<double> x,
                                      bool& converged) const {
  const Impl& s = *impl_;
  const auto n = static_cast<std::size_t>(s.n);
  const std::lock_guard<std::mutex> lock(hypre_lock());
  if (!s.pcg) throw std::runtime_error("multigrid: no hierarchy (its last set-up failed)");
  std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n), vector_data(s.b));
  std::copy(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), vector_data(s.x));
  SpdSolveReport report;
  double bb = 0;
  check(HYPRE_ParVectorInnerProd(s.b, s.b, &bb), "residual");
  if (bb == 0) {
    // x = 0 exactly, without an iteration (hypre returns at once too, but keeps the iteration
    // count of its solve before).
    std::fill(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), 0.0);
    converged = true;
    return report;
  }
  // ||b - A x|| / ||b|| of the current x: before the iterations (an initial guess that already
  // solves the system costs no V-cycle), and after them.
  auto relative_residual = [&] {
    double rr = 0;
    check(HYPRE_ParVectorCopy(s.b, s.residual), "residual");
    check(HYPRE_ParCSRMatrixMatvec(-1.0, s.a, s.x, 1.0, s.residual), "residual");
    check(HYPRE_ParVectorInnerProd(s.residual, s.residual, &rr), "residual");
    return std::sqrt(rr / bb);
  };
  report.relative_residual = relative_residual();
  if (!(report.relative_residual <= s.tolerance)) {
    // A solve that ends without convergence returns an error code; the residual decides.
    HYPRE_ParCSRPCGSolve(s.pcg, s.a, s.b, s.x);
    HYPRE_ClearAllErrors();
    HYPRE_PCGGetNumIterations(s.pcg, &report.iterations);
    const double* solved = vector_data(s.x);
    std::copy(solved, solved + n, x.begin());
    report.relative_residual = relative_residual();
  }
  converged = report.relative_residual <= s.tolerance;
  return report;
}

void MultigridSolver::update(std::span<const double> values) {
  Impl& s = *impl_;
  if (values.size() < static_cast<std::size_t>(s.row_starts.back()))
    throw std::invalid_argument("multigrid: the new values do not match the pattern");
  const std::lock_guard<std::mutex> lock(hypre_lock());
  s.release_solvers();
  s.overwrite_values(values);
  s.set_up();
}

int MultigridSolver::levels() const {
  return hypre_ParAMGDataNumLevels(impl_->hierarchy());
}

double MultigridSolver::operator_complexity() const {
  const hypre_ParAMGData* h = impl_->hierarchy();
  hypre_ParCSRMatrix** operators = hypre_ParAMGDataAArray(h);
  const double first =
      static_cast<double>(hypre_CSRMatrixNumNonzeros(hypre_ParCSRMatrixDiag(operators[0])));
  double sum = 0;
  for (int level = 0; level < hypre_ParAMGDataNumLevels(h); ++level)
    sum +=
        static_cast<double>(hypre_CSRMatrixNumNonzeros(hypre_ParCSRMatrixDiag(operators[level])));
  return first > 0 ? sum / first : 0;
}

double MultigridSolver::memory_bytes() const {
  const Impl& s = *impl_;
  const hypre_ParAMGData* h = s.hierarchy();
  hypre_ParCSRMatrix** operators = hypre_ParAMGDataAArray(h);
  hypre_ParCSRMatrix** interpolations = hypre_ParAMGDataPArray(h);
  const int n_levels = hypre_ParAMGDataNumLevels(h);
  double bytes = 0;
  for (int level = 0; level < n_levels; ++level) {
    bytes += csr_bytes(operators[level]);  // level 0 is hypre's copy of A
    if (level + 1 < n_levels) bytes += csr_bytes(interpolations[level]);
    // Per level: right-hand side, solution, l1 norms and the coarse/fine marks; at the finest,
    // work vectors of the cycle.
    const double rows = static_cast<double>(hypre_ParCSRMatrixNumRows(operators[level]));
    bytes += rows * (3 * sizeof(double) + sizeof(HYPRE_Int));
  }
  // Conjugate gradients' four work vectors, our right-hand side, solution and residual, the row
  // starts kept for updates.
  bytes += static_cast<double>(s.n) * (7 * sizeof(double) + sizeof(std::int32_t));
  return bytes;
}

}  // namespace quelby
