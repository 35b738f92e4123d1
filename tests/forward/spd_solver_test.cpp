// The solver interface on trilinear-element stiffness matrices of a 3-D grid (27-point rows,
// element conductivities spread over two decades, a positive Robin-like shift on the boundary):
// the direct and the multigrid paths against each other for several right-hand sides at once and
// for each preconditioner setting, the reported residuals against ||b - A x|| / ||b|| recomputed
// here, the stop of a solve that does not converge, new values through update, and the choice of
// the path by size.
#include "quelby/forward/spd_solver.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

struct Matrix {
  std::int32_t n = 0;
  std::vector<std::int32_t> row_starts, columns;
  std::vector<double> values;
};

// Stiffness of trilinear elements on a grid of m^3 nodes, unit cells, element conductivities
// 10^u for u uniform in [-1, 1] times `scale`, and `shift` added to every boundary node's
// diagonal. Columns ascend in each row.
Matrix stiffness(int m, unsigned seed, double scale = 1, double shift = 0.5) {
  // One dimension's stiffness and mass of a linear element of unit length.
  constexpr double s[2][2] = {{1, -1}, {-1, 1}};
  constexpr double w[2][2] = {{1.0 / 3, 1.0 / 6}, {1.0 / 6, 1.0 / 3}};
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> exponent(-1, 1);
  const int e = m - 1;
  std::vector<double> sigma(static_cast<std::size_t>(e * e * e));
  for (double& value : sigma) value = scale * std::pow(10.0, exponent(random));
  Matrix a;
  a.n = m * m * m;
  a.row_starts.push_back(0);
  for (int z = 0; z < m; ++z) {
    for (int y = 0; y < m; ++y) {
      for (int x = 0; x < m; ++x) {
        const bool boundary = x == 0 || y == 0 || z == 0 || x == e || y == e || z == e;
        for (int dz = -1; dz <= 1; ++dz) {
          for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
              const int nx = x + dx, ny = y + dy, nz = z + dz;
              if (nx < 0 || ny < 0 || nz < 0 || nx >= m || ny >= m || nz >= m) continue;
              double sum = 0;
              // Every element holding both nodes: its lower corner (cx, cy, cz).
              for (int cz = std::max(z, nz) - 1; cz <= std::min(z, nz); ++cz) {
                for (int cy = std::max(y, ny) - 1; cy <= std::min(y, ny); ++cy) {
                  for (int cx = std::max(x, nx) - 1; cx <= std::min(x, nx); ++cx) {
                    if (cx < 0 || cy < 0 || cz < 0 || cx >= e || cy >= e || cz >= e) continue;
                    const int ax = x - cx, ay = y - cy, az = z - cz;
                    const int bx = nx - cx, by = ny - cy, bz = nz - cz;
                    sum += sigma[static_cast<std::size_t>(cx + e * (cy + e * cz))] *
                           (s[ax][bx] * w[ay][by] * w[az][bz] + w[ax][bx] * s[ay][by] * w[az][bz] +
                            w[ax][bx] * w[ay][by] * s[az][bz]);
                  }
                }
              }
              if (dx == 0 && dy == 0 && dz == 0 && boundary) sum += shift;
              a.columns.push_back(nx + m * (ny + m * nz));
              a.values.push_back(sum);
            }
          }
        }
        a.row_starts.push_back(static_cast<std::int32_t>(a.columns.size()));
      }
    }
  }
  return a;
}

// ||b_c - A x_c|| / ||b_c|| for right-hand side c of node-by-node blocks, from the full rows.
double residual(const Matrix& a, const std::vector<double>& b, const std::vector<double>& x,
                std::size_t count, std::size_t c) {
  double rr = 0, bb = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(a.n); ++i) {
    double r = b[i * count + c];
    for (std::int32_t at = a.row_starts[i]; at < a.row_starts[i + 1]; ++at)
      r -= a.values[static_cast<std::size_t>(at)] *
           x[static_cast<std::size_t>(a.columns[static_cast<std::size_t>(at)]) * count + c];
    rr += r * r;
    bb += b[i * count + c] * b[i * count + c];
  }
  return bb > 0 ? std::sqrt(rr / bb) : std::sqrt(rr);
}

// ||x_c - y_c|| / ||y_c|| (or ||x_c|| when y_c = 0).
double difference(const std::vector<double>& x, const std::vector<double>& y, std::size_t count,
                  std::size_t c) {
  double dd = 0, yy = 0;
  for (std::size_t i = c; i < x.size(); i += count) {
    dd += (x[i] - y[i]) * (x[i] - y[i]);
    yy += y[i] * y[i];
  }
  return yy > 0 ? std::sqrt(dd / yy) : std::sqrt(dd);
}

// Right-hand sides node by node: a point source, a dipole, random values, zero.
constexpr std::size_t sources = 4;
std::vector<double> right_hand_sides(std::int32_t n) {
  std::vector<double> b(static_cast<std::size_t>(n) * sources, 0.0);
  b[static_cast<std::size_t>(n / 2) * sources + 0] = 1;
  b[static_cast<std::size_t>(n / 3) * sources + 1] = 1;
  b[static_cast<std::size_t>(2 * n / 3) * sources + 1] = -1;
  std::mt19937 random(7);
  std::normal_distribution<double> normal;
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) b[i * sources + 2] = normal(random);
  return b;
}

SpdSolverOptions kind(SpdSolverKind k, double tolerance = 1e-12) {
  SpdSolverOptions options;
  options.kind = k;
  options.relative_tolerance = tolerance;
  return options;
}

TEST(SpdSolver, DirectAndMultigridGiveTheSameSolutionsAndTrueResiduals) {
  const Matrix a = stiffness(20, 1);
  const std::vector<double> b = right_hand_sides(a.n);
  testing::Transcript transcript;
  const SpdSolver direct(transcript.io(), a.n, a.row_starts, a.columns, a.values,
                         kind(SpdSolverKind::direct));
  ASSERT_TRUE(direct.direct());
  std::vector<double> reference(b.size(), 123.0);  // the direct path ignores what x holds
  const std::vector<SpdSolveReport> direct_reports =
      direct.solve(transcript.io(), b, reference, sources);
  ASSERT_EQ(direct_reports.size(), sources);
  for (std::size_t c = 0; c < sources; ++c) {
    EXPECT_EQ(direct_reports[c].iterations, 0);
    EXPECT_LT(direct_reports[c].relative_residual, 1e-13);
    EXPECT_NEAR(direct_reports[c].relative_residual, residual(a, b, reference, sources, c), 1e-15);
  }
  EXPECT_GT(direct.memory_bytes(), 0);

  struct Setting {
    MultigridCoarsening coarsening;
    MultigridInterpolation interpolation;
    MultigridRelaxation relaxation;
    int aggressive_levels;
  };
  const Setting settings[] = {
      {MultigridCoarsening::hmis, MultigridInterpolation::extended_i,
       MultigridRelaxation::l1_gauss_seidel, 0},
      {MultigridCoarsening::pmis, MultigridInterpolation::extended,
       MultigridRelaxation::hybrid_gauss_seidel, 0},
      {MultigridCoarsening::falgout, MultigridInterpolation::classical,
       MultigridRelaxation::l1_jacobi, 0},
      {MultigridCoarsening::hmis, MultigridInterpolation::extended_i,
       MultigridRelaxation::chebyshev, 1},
  };
  for (const Setting& setting : settings) {
    SCOPED_TRACE(static_cast<int>(setting.relaxation));
    SpdSolverOptions options = kind(SpdSolverKind::multigrid);
    options.multigrid.coarsening = setting.coarsening;
    options.multigrid.interpolation = setting.interpolation;
    options.multigrid.relaxation = setting.relaxation;
    options.multigrid.aggressive_levels = setting.aggressive_levels;
    options.max_iterations = 200;
    const SpdSolver multigrid(transcript.io(), a.n, a.row_starts, a.columns, a.values, options);
    ASSERT_FALSE(multigrid.direct());
    EXPECT_GT(multigrid.multigrid_levels(), 1);
    EXPECT_GT(multigrid.operator_complexity(), 1);
    EXPECT_GT(multigrid.memory_bytes(), 12.0 * static_cast<double>(a.values.size()));
    std::vector<double> x(b.size(), 0.0);
    const std::vector<SpdSolveReport> reports = multigrid.solve(transcript.io(), b, x, sources);
    ASSERT_EQ(reports.size(), sources);
    for (std::size_t c = 0; c < sources; ++c) {
      SCOPED_TRACE(c);
      const double recomputed = residual(a, b, x, sources, c);
      EXPECT_LE(reports[c].relative_residual, 1e-12);
      EXPECT_NEAR(reports[c].relative_residual, recomputed, 1e-3 * recomputed + 1e-16);
      EXPECT_LT(difference(x, reference, sources, c), 1e-8);
    }
    EXPECT_GT(reports[0].iterations, 1);
    EXPECT_EQ(reports[3].iterations, 0);  // b = 0: x = 0 at once
    EXPECT_EQ(reports[3].relative_residual, 0);

    // Started from its own solution, a solve has nothing left to do.
    const std::vector<SpdSolveReport> again = multigrid.solve(transcript.io(), b, x, sources);
    for (const SpdSolveReport& report : again) EXPECT_EQ(report.iterations, 0);
  }
  EXPECT_EQ(transcript.console(), "");
}

TEST(SpdSolver, NonConvergentSolveStopsWithItsIterationsAndResidual) {
  const Matrix a = stiffness(12, 2);
  const std::vector<double> b = right_hand_sides(a.n);
  testing::Transcript transcript;
  SpdSolverOptions options = kind(SpdSolverKind::multigrid);
  options.max_iterations = 2;
  const SpdSolver solver(transcript.io(), a.n, a.row_starts, a.columns, a.values, options);
  std::vector<double> x(b.size(), 0.0);
  EXPECT_THROW(solver.solve(transcript.io(), b, x, sources), Stop);
  const std::string text = transcript.console();
  EXPECT_EQ(text.rfind("\nError: conjugate gradients with multigrid did not converge for "
                       "right-hand side 1 of 4: 2 iterations, relative residual ",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("(tolerance 1.00e-12)\n"), std::string::npos) << text;
  EXPECT_EQ(transcript.log(), text);
}

TEST(SpdSolver, UpdateSolvesWithTheNewValues) {
  const Matrix first = stiffness(14, 3);
  const Matrix second = stiffness(14, 4, 3.0, 2.0);  // same pattern, other values
  const std::vector<double> b = right_hand_sides(first.n);
  testing::Transcript transcript;
  const SpdSolver fresh(transcript.io(), second.n, second.row_starts, second.columns, second.values,
                        kind(SpdSolverKind::direct));
  std::vector<double> expected(b.size());
  fresh.solve(transcript.io(), b, expected, sources);
  for (const SpdSolverKind path : {SpdSolverKind::direct, SpdSolverKind::multigrid}) {
    SCOPED_TRACE(static_cast<int>(path));
    SpdSolver solver(transcript.io(), first.n, first.row_starts, first.columns, first.values,
                     kind(path));
    std::vector<double> before(b.size(), 0.0);
    solver.solve(transcript.io(), b, before, sources);
    EXPECT_GT(difference(before, expected, sources, 0), 0.1);
    solver.update(transcript.io(), second.values);
    std::vector<double> x(b.size(), 0.0);
    const std::vector<SpdSolveReport> reports = solver.solve(transcript.io(), b, x, sources);
    for (std::size_t c = 0; c < sources; ++c) {
      EXPECT_LT(difference(x, expected, sources, c), 1e-8);
      EXPECT_NEAR(reports[c].relative_residual, residual(second, b, x, sources, c), 1e-14);
    }
  }
}

TEST(SpdSolver, ChoosesThePathBySizeAndStopsOnAnIndefiniteMatrix) {
  const Matrix a = stiffness(6, 5);
  testing::Transcript transcript;
  struct Case {
    SpdSolverKind kind;
    std::int64_t direct_limit;
    bool direct;
  };
  const Case cases[] = {
      {SpdSolverKind::automatic, 216, true},
      {SpdSolverKind::automatic, 215, false},
      {SpdSolverKind::direct, 0, true},
      {SpdSolverKind::multigrid, 1000000, false},
  };
  for (const Case& c : cases) {
    SpdSolverOptions options = kind(c.kind);
    options.direct_limit = c.direct_limit;
    const SpdSolver solver(transcript.io(), a.n, a.row_starts, a.columns, a.values, options);
    EXPECT_EQ(solver.direct(), c.direct);
  }

  // A setting hypre refuses stops with its description, and leaves no error behind for the next
  // solver.
  SpdSolverOptions refused = kind(SpdSolverKind::multigrid);
  refused.multigrid.strong_threshold = -1;
  EXPECT_THROW(SpdSolver(transcript.io(), a.n, a.row_starts, a.columns, a.values, refused), Stop);
  EXPECT_EQ(transcript.console(),
            "\nError: multigrid: setting strong_threshold failed: [Error in argument 2]\n");
  const SpdSolver next(transcript.io(), a.n, a.row_starts, a.columns, a.values,
                       kind(SpdSolverKind::multigrid));
  std::vector<double> b(static_cast<std::size_t>(a.n), 1.0), x(b.size(), 0.0);
  EXPECT_LE(next.solve(transcript.io(), b, x, 1)[0].relative_residual, 1e-12);

  testing::Transcript indefinite_transcript;
  Matrix indefinite = a;
  for (std::size_t at = 0; at < indefinite.values.size(); ++at) indefinite.values[at] *= -1;
  EXPECT_THROW(SpdSolver(indefinite_transcript.io(), a.n, a.row_starts, a.columns,
                         indefinite.values, kind(SpdSolverKind::direct)),
               Stop);
  EXPECT_EQ(indefinite_transcript.console(),
            "\nError: sparse Cholesky: the matrix is not positive definite\n");
}

TEST(SpdSolver, DirectSolvesGiveTheSameBitsOnAnyNumberOfThreadsAndAfterAMove) {
  const Matrix a = stiffness(9, 6);
  testing::Transcript transcript;
  constexpr std::size_t count = 5;  // parts of 3 and 2 right-hand sides on two threads
  std::vector<double> b(static_cast<std::size_t>(a.n) * count);
  std::mt19937 random(11);
  std::normal_distribution<double> normal;
  for (double& value : b) value = normal(random);
  SpdSolver first(transcript.io(), a.n, a.row_starts, a.columns, a.values,
                  kind(SpdSolverKind::direct));
  const int threads = parallel_thread_count();
  std::vector<std::vector<double>> solutions, residuals;
  for (const int count_of_threads : {1, 2, 3}) {
    set_parallel_thread_count(count_of_threads);
    std::vector<double> x(b.size());
    residuals.emplace_back();
    for (const SpdSolveReport& report : first.solve(transcript.io(), b, x, count))
      residuals.back().push_back(report.relative_residual);
    solutions.push_back(x);
  }
  set_parallel_thread_count(threads);
  EXPECT_EQ(solutions[0], solutions[1]);
  EXPECT_EQ(solutions[0], solutions[2]);
  EXPECT_EQ(residuals[0], residuals[1]);
  EXPECT_EQ(residuals[0], residuals[2]);
  // One right-hand side at a time gives the same bits as all at once.
  for (std::size_t c = 0; c < count; ++c) {
    std::vector<double> one(static_cast<std::size_t>(a.n)), x(one.size());
    for (std::size_t i = 0; i < one.size(); ++i) one[i] = b[i * count + c];
    first.solve(transcript.io(), one, x, 1);
    for (std::size_t i = 0; i < one.size(); ++i) ASSERT_EQ(x[i], solutions[0][i * count + c]);
  }
  const SpdSolver moved(std::move(first));
  std::vector<double> x(b.size());
  moved.solve(transcript.io(), b, x, count);
  EXPECT_EQ(x, solutions[0]);
}

TEST(SpdSolver, ArraysThatDisagreeAreAnInternalError) {
  const Matrix a = stiffness(4, 7);
  const std::vector<std::int32_t> short_starts(a.row_starts.begin(), a.row_starts.end() - 1);
  const std::vector<double> few_values(a.values.begin(), a.values.end() - 1);
  for (const SpdSolverKind path : {SpdSolverKind::direct, SpdSolverKind::multigrid}) {
    testing::Transcript transcript;
    EXPECT_THROW(SpdSolver(transcript.io(), a.n, short_starts, a.columns, a.values, kind(path)),
                 Stop);
    EXPECT_THROW(SpdSolver(transcript.io(), a.n, a.row_starts, a.columns, few_values, kind(path)),
                 Stop);
    SpdSolver solver(transcript.io(), a.n, a.row_starts, a.columns, a.values, kind(path));
    std::vector<double> b(static_cast<std::size_t>(a.n) * 2 - 1), x(b.size() + 1);
    EXPECT_THROW(solver.solve(transcript.io(), b, x, 2), Stop);
    EXPECT_THROW(solver.update(transcript.io(), few_values), Stop);
    EXPECT_EQ(transcript.console(), "");
    EXPECT_NE(transcript.error().find("do not"), std::string::npos) << transcript.error();
  }
}

TEST(SpdSolver, EachMultigridSettingReachesTheHierarchy) {
  const Matrix a = stiffness(16, 8);
  testing::Transcript transcript;
  auto complexity = [&](auto change) {
    SpdSolverOptions options = kind(SpdSolverKind::multigrid);
    change(options.multigrid);
    const SpdSolver solver(transcript.io(), a.n, a.row_starts, a.columns, a.values, options);
    return std::pair(solver.operator_complexity(), solver.multigrid_levels());
  };
  const auto plain = complexity([](MultigridOptions&) {});
  struct Case {
    const char* name;
    void (*change)(MultigridOptions&);
    bool smaller;  // a smaller operator complexity than the defaults', else a larger one
  };
  const Case cases[] = {
      {"aggressive", [](MultigridOptions& m) { m.aggressive_levels = 1; }, true},
      {"interpolation entries", [](MultigridOptions& m) { m.interpolation_max_elements = 1; },
       true},
      {"all interpolation entries", [](MultigridOptions& m) { m.interpolation_max_elements = 0; },
       false},
      {"threshold", [](MultigridOptions& m) { m.strong_threshold = 0.1; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double changed = complexity(c.change).first;
    EXPECT_EQ(changed < plain.first, c.smaller) << changed << " against " << plain.first;
  }
  EXPECT_EQ(complexity([](MultigridOptions& m) { m.max_levels = 2; }).second, 2);
  EXPECT_GT(plain.second, 2);
}

TEST(SpdSolver, RightHandSidesThatAreNotNumbersStopTheMultigridSolve) {
  const Matrix a = stiffness(6, 9);
  for (const double bad : {std::nan(""), HUGE_VAL}) {
    testing::Transcript transcript;
    const SpdSolver solver(transcript.io(), a.n, a.row_starts, a.columns, a.values,
                           kind(SpdSolverKind::multigrid));
    std::vector<double> b(static_cast<std::size_t>(a.n), 1.0), x(b.size(), 0.0);
    b[5] = bad;
    EXPECT_THROW(solver.solve(transcript.io(), b, x, 1), Stop);
    EXPECT_NE(transcript.console().find("did not converge for right-hand side 1 of 1"),
              std::string::npos)
        << transcript.console();
  }
}

}  // namespace
}  // namespace quelby
