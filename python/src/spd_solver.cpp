// The solver of sparse symmetric positive definite systems for Python: a scipy.sparse matrix in,
// solutions and per-solve reports out, the direct or multigrid path chosen as in the library.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/forward/spd_solver.hpp"
#include "streams.hpp"

namespace quelby::python {
namespace {

using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
using RealArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

template <typename T>
T enumeration(const std::string& name, std::initializer_list<std::pair<const char*, T>> names,
              const char* what) {
  for (const auto& [text, value] : names)
    if (name == text) return value;
  throw py::value_error(std::string(what) + ": unknown name '" + name + "'");
}

class PythonSpdSolver {
 public:
  PythonSpdSolver(py::handle matrix, const SpdSolverOptions& options, py::object io) {
    py::object csr = py::module_::import("scipy.sparse").attr("csr_matrix")(matrix);
    if (!csr.attr("has_sorted_indices").cast<bool>()) csr = csr.attr("sorted_indices")();
    const py::tuple shape = csr.attr("shape");
    const auto rows = shape[0].cast<std::int64_t>();
    if (rows != shape[1].cast<std::int64_t>() || rows < 1 || rows > 2147483647)
      throw py::value_error("SpdSolver: the matrix must be square, with 1 to 2^31 - 1 rows");
    const IntArray starts = IntArray::ensure(csr.attr("indptr"));
    const IntArray columns = IntArray::ensure(csr.attr("indices"));
    const RealArray values = RealArray::ensure(csr.attr("data"));
    pattern_entries_ = static_cast<std::size_t>(values.size());
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      solver_ = std::make_unique<SpdSolver>(
          streams, static_cast<std::int32_t>(rows),
          std::span<const std::int32_t>(starts.data(), static_cast<std::size_t>(starts.size())),
          std::span<const std::int32_t>(columns.data(), static_cast<std::size_t>(columns.size())),
          std::span<const double>(values.data(), pattern_entries_), options);
    });
  }

  py::tuple solve(py::handle rhs, py::handle guess, py::object io) {
    const RealArray b = RealArray::ensure(rhs);
    const auto n = static_cast<py::ssize_t>(solver_->size());
    if (!b || (b.ndim() != 1 && b.ndim() != 2) || b.shape(0) != n)
      throw py::value_error("SpdSolver.solve: b must have shape (n,) or (n, k)");
    const std::size_t count = b.ndim() == 1 ? 1 : static_cast<std::size_t>(b.shape(1));
    RealArray x(std::vector<py::ssize_t>(b.shape(), b.shape() + b.ndim()));
    if (guess.is_none()) {
      std::fill(x.mutable_data(), x.mutable_data() + x.size(), 0.0);
    } else {
      const RealArray given = RealArray::ensure(guess);
      if (!given || given.ndim() != b.ndim() || given.size() != b.size())
        throw py::value_error("SpdSolver.solve: x0 must have the shape of b");
      std::copy(given.data(), given.data() + given.size(), x.mutable_data());
    }
    std::vector<SpdSolveReport> reports;
    const std::span<const double> bs(b.data(), static_cast<std::size_t>(b.size()));
    const std::span<double> xs(x.mutable_data(), static_cast<std::size_t>(x.size()));
    run(io, [&](const Io& streams) { reports = solver_->solve(streams, bs, xs, count); });
    std::vector<int> iterations;
    std::vector<double> residuals;
    for (const SpdSolveReport& report : reports) {
      iterations.push_back(report.iterations);
      residuals.push_back(report.relative_residual);
    }
    return py::make_tuple(
        x, py::array_t<int>(static_cast<py::ssize_t>(iterations.size()), iterations.data()),
        py::array_t<double>(static_cast<py::ssize_t>(residuals.size()), residuals.data()));
  }

  void update(py::handle values, py::object io) {
    const RealArray given = RealArray::ensure(values);
    if (!given || given.ndim() != 1 || static_cast<std::size_t>(given.size()) != pattern_entries_)
      throw py::value_error("SpdSolver.update: values must be one per stored entry of the matrix");
    const std::span<const double> v(given.data(), pattern_entries_);
    run(io, [&](const Io& streams) { solver_->update(streams, v); });
  }

  const SpdSolver& solver() const { return *solver_; }

 private:
  template <typename Work>
  void run(py::object io, Work&& work) {
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      const std::lock_guard<std::mutex> lock(mutex_);
      work(streams);
    });
  }

  std::unique_ptr<SpdSolver> solver_;
  std::size_t pattern_entries_ = 0;
  std::mutex mutex_;
};

}  // namespace

void bind_spd_solver(py::module_& module) {
  py::class_<PythonSpdSolver>(
      module, "SpdSolver",
      "SpdSolver(matrix, kind='automatic', direct_limit=400000, relative_tolerance=1e-10, "
      "max_iterations=1000, coarsening='hmis', interpolation='extended_i', "
      "relaxation='l1_gauss_seidel', strong_threshold=0.5, interpolation_max_elements=3, "
      "aggressive_levels=0, sweeps=1, io=None): a solver of A x = b for a sparse symmetric "
      "positive definite matrix (anything scipy.sparse.csr_matrix takes, all of A stored, "
      "0-based), made once and used for any number of right-hand sides. kind: 'direct' (sparse "
      "Cholesky), 'multigrid' (conjugate gradients preconditioned with algebraic multigrid) or "
      "'automatic' (direct up to direct_limit unknowns). coarsening: 'hmis', 'pmis' or "
      "'falgout'; interpolation: 'extended_i', 'extended' or 'classical'; relaxation: "
      "'l1_gauss_seidel', 'hybrid_gauss_seidel', 'l1_jacobi' or 'chebyshev'. The first "
      "multigrid solver of a process starts MPI (one process) unless the program has.")
      .def(py::init([](py::handle matrix, const std::string& kind, std::int64_t direct_limit,
                       double relative_tolerance, int max_iterations, const std::string& coarsening,
                       const std::string& interpolation, const std::string& relaxation,
                       double strong_threshold, int interpolation_max_elements,
                       int aggressive_levels, int sweeps, py::object io) {
             SpdSolverOptions options;
             options.kind = enumeration<SpdSolverKind>(kind,
                                                       {{"direct", SpdSolverKind::direct},
                                                        {"multigrid", SpdSolverKind::multigrid},
                                                        {"automatic", SpdSolverKind::automatic}},
                                                       "kind");
             options.direct_limit = direct_limit;
             options.relative_tolerance = relative_tolerance;
             options.max_iterations = max_iterations;
             MultigridOptions& m = options.multigrid;
             m.coarsening =
                 enumeration<MultigridCoarsening>(coarsening,
                                                  {{"hmis", MultigridCoarsening::hmis},
                                                   {"pmis", MultigridCoarsening::pmis},
                                                   {"falgout", MultigridCoarsening::falgout}},
                                                  "coarsening");
             m.interpolation = enumeration<MultigridInterpolation>(
                 interpolation,
                 {{"extended_i", MultigridInterpolation::extended_i},
                  {"extended", MultigridInterpolation::extended},
                  {"classical", MultigridInterpolation::classical}},
                 "interpolation");
             m.relaxation = enumeration<MultigridRelaxation>(
                 relaxation,
                 {{"l1_gauss_seidel", MultigridRelaxation::l1_gauss_seidel},
                  {"hybrid_gauss_seidel", MultigridRelaxation::hybrid_gauss_seidel},
                  {"l1_jacobi", MultigridRelaxation::l1_jacobi},
                  {"chebyshev", MultigridRelaxation::chebyshev}},
                 "relaxation");
             m.strong_threshold = strong_threshold;
             m.interpolation_max_elements = interpolation_max_elements;
             m.aggressive_levels = aggressive_levels;
             m.sweeps = sweeps;
             return std::make_unique<PythonSpdSolver>(matrix, options, io);
           }),
           py::arg("matrix"), py::arg("kind") = "automatic",
           py::arg("direct_limit") = SpdSolverOptions{}.direct_limit,
           py::arg("relative_tolerance") = SpdSolverOptions{}.relative_tolerance,
           py::arg("max_iterations") = SpdSolverOptions{}.max_iterations,
           py::arg("coarsening") = "hmis", py::arg("interpolation") = "extended_i",
           py::arg("relaxation") = "l1_gauss_seidel",
           py::arg("strong_threshold") = MultigridOptions{}.strong_threshold,
           py::arg("interpolation_max_elements") = MultigridOptions{}.interpolation_max_elements,
           py::arg("aggressive_levels") = MultigridOptions{}.aggressive_levels,
           py::arg("sweeps") = MultigridOptions{}.sweeps, py::arg("io") = py::none())
      .def("solve", &PythonSpdSolver::solve, py::arg("b"), py::arg("x0") = py::none(),
           py::arg("io") = py::none(),
           "solve(b, x0=None, io=None) -> (x, iterations, residuals): x = A^-1 b for b of shape "
           "(n,) or (n, k) (k right-hand sides as columns); x0 the initial guess of the "
           "multigrid path (zeros when None). iterations and residuals (||b - A x|| / ||b||) "
           "per right-hand side. A multigrid solve that does not converge raises quelby.Stop.")
      .def("update", &PythonSpdSolver::update, py::arg("values"), py::arg("io") = py::none(),
           "update(values, io=None): new values of the same pattern, in the order of the matrix's "
           "csr form with sorted indices (its .data after sort_indices()).")
      .def_property_readonly(
          "direct", [](const PythonSpdSolver& self) { return self.solver().direct(); },
          "True for the direct path, False for multigrid.")
      .def_property_readonly(
          "memory_bytes", [](const PythonSpdSolver& self) { return self.solver().memory_bytes(); },
          "Bytes of the factor or of the multigrid hierarchy, with the copies the solver keeps.")
      .def_property_readonly(
          "levels", [](const PythonSpdSolver& self) { return self.solver().multigrid_levels(); },
          "Levels of the multigrid hierarchy (0 for direct).")
      .def_property_readonly(
          "operator_complexity",
          [](const PythonSpdSolver& self) { return self.solver().operator_complexity(); },
          "Entries of all multigrid levels' operators over those of A (0 for direct).");
}

}  // namespace quelby::python
