// The 3-D solver interface on the stiffness matrix of trilinear elements on a graded tensor mesh
// (a uniform core, padding cells growing by 1.3 to every side but the top, a conductive block in a
// resistive host, a mixed boundary condition's diagonal on the five buried faces): the set-up
// (factorisation, or the multigrid hierarchy) and the solves of several point sources, each with
// its iterations and time, then the process's peak memory.
//
//   spd_solver_bench [--nodes=N] [--rhs=K] [--kind=direct|multigrid|both] [--threshold=T]
//                    [--coarsening=hmis|pmis|falgout] [--relaxation=l1gs|hgs|l1jacobi|chebyshev]
//                    [--aggressive=L] [--interpolation-elements=P]
//
// N is the number of unknowns asked for (the mesh has the nearest cube of nodes; default 10^6),
// K the right-hand sides (default 8). With --kind=both the multigrid solutions are compared with
// the direct ones.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/forward/spd_solver.hpp"

namespace {

using quelby::SpdSolver;
using quelby::SpdSolveReport;
using quelby::SpdSolverKind;
using quelby::SpdSolverOptions;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the calling thread: less disturbed than wall time by the others on a shared machine.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

// Node positions along one axis: `core` unit cells, then `pad` cells growing by 1.3 on each side
// asked for.
std::vector<double> axis(int core, int pad_before, int pad_after) {
  std::vector<double> widths;
  double width = 1;
  for (int p = 0; p < pad_before; ++p) widths.insert(widths.begin(), width *= 1.3);
  widths.insert(widths.end(), static_cast<std::size_t>(core), 1.0);
  width = 1;
  for (int p = 0; p < pad_after; ++p) widths.push_back(width *= 1.3);
  std::vector<double> nodes{0};
  for (const double w : widths) nodes.push_back(nodes.back() + w);
  return nodes;
}

struct Problem {
  std::int32_t n = 0;
  std::vector<std::int32_t> row_starts, columns;
  std::vector<double> values;
  std::vector<std::int32_t> sources;  // nodes of the point sources, on the top face's core
};

Problem problem(std::int64_t nodes, int rhs) {
  const int m = std::max(4, static_cast<int>(std::lround(std::cbrt(static_cast<double>(nodes)))));
  const int pad = std::min(8, m / 4);
  const std::vector<double> xs = axis(m - 1 - 2 * pad, pad, pad);
  const std::vector<double> ys = xs;
  const std::vector<double> zs = axis(m - 1 - pad, 0, pad);  // z down from the surface
  const int ex = static_cast<int>(xs.size()) - 1, ey = ex, ez = static_cast<int>(zs.size()) - 1;
  const int nx = ex + 1, ny = ey + 1, nz = ez + 1;
  // 100 ohm-m, with a 1 ohm-m block under the middle of the core.
  auto sigma = [&](int cx, int cy, int cz) {
    const bool block = std::abs(cx - ex / 2) < ex / 8 && std::abs(cy - ey / 2) < ey / 8 &&
                       cz > ez / 8 && cz < ez / 3;
    return block ? 1.0 : 0.01;
  };
  constexpr double s[2][2] = {{1, -1}, {-1, 1}};
  constexpr double w[2][2] = {{1.0 / 3, 1.0 / 6}, {1.0 / 6, 1.0 / 3}};
  const double centre_x = xs[static_cast<std::size_t>(ex / 2)], centre_y = centre_x;
  Problem p;
  p.n = nx * ny * nz;
  p.row_starts.reserve(static_cast<std::size_t>(p.n) + 1);
  p.columns.reserve(static_cast<std::size_t>(p.n) * 27);
  p.values.reserve(static_cast<std::size_t>(p.n) * 27);
  p.row_starts.push_back(0);
  for (int z = 0; z < nz; ++z) {
    for (int y = 0; y < ny; ++y) {
      for (int x = 0; x < nx; ++x) {
        for (int dz = -1; dz <= 1; ++dz) {
          for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
              const int ox = x + dx, oy = y + dy, oz = z + dz;
              if (ox < 0 || oy < 0 || oz < 0 || ox >= nx || oy >= ny || oz >= nz) continue;
              double sum = 0;
              for (int cz = std::max(z, oz) - 1; cz <= std::min(z, oz); ++cz) {
                for (int cy = std::max(y, oy) - 1; cy <= std::min(y, oy); ++cy) {
                  for (int cx = std::max(x, ox) - 1; cx <= std::min(x, ox); ++cx) {
                    if (cx < 0 || cy < 0 || cz < 0 || cx >= ex || cy >= ey || cz >= ez) continue;
                    const double hx =
                        xs[static_cast<std::size_t>(cx) + 1] - xs[static_cast<std::size_t>(cx)];
                    const double hy =
                        ys[static_cast<std::size_t>(cy) + 1] - ys[static_cast<std::size_t>(cy)];
                    const double hz =
                        zs[static_cast<std::size_t>(cz) + 1] - zs[static_cast<std::size_t>(cz)];
                    const int ax = x - cx, ay = y - cy, az = z - cz;
                    const int bx = ox - cx, by = oy - cy, bz = oz - cz;
                    sum += sigma(cx, cy, cz) * (s[ax][bx] / hx * w[ay][by] * hy * w[az][bz] * hz +
                                                w[ax][bx] * hx * s[ay][by] / hy * w[az][bz] * hz +
                                                w[ax][bx] * hx * w[ay][by] * hy * s[az][bz] / hz);
                  }
                }
              }
              if (dx == 0 && dy == 0 && dz == 0 &&
                  (x == 0 || y == 0 || x == ex || y == ey || z == ez)) {
                // The mixed condition's term sigma cos(theta) / r over the node's share of the
                // faces around it (r from the centre of the top face, cos(theta) taken as 1).
                const double px = xs[static_cast<std::size_t>(x)] - centre_x;
                const double py = ys[static_cast<std::size_t>(y)] - centre_y;
                const double pz = zs[static_cast<std::size_t>(z)];
                auto half = [](const std::vector<double>& v, int i) {
                  const auto k = static_cast<std::size_t>(i);
                  return ((k > 0 ? v[k] - v[k - 1] : 0) +
                          (k + 1 < v.size() ? v[k + 1] - v[k] : 0)) /
                         2;
                };
                const double area = (x == 0 || x == ex ? half(ys, y) * half(zs, z) : 0) +
                                    (y == 0 || y == ey ? half(xs, x) * half(zs, z) : 0) +
                                    (z == ez ? half(xs, x) * half(ys, y) : 0);
                sum += 0.01 * area / std::sqrt(px * px + py * py + pz * pz);
              }
              p.columns.push_back(ox + nx * (oy + ny * oz));
              p.values.push_back(sum);
            }
          }
        }
        p.row_starts.push_back(static_cast<std::int32_t>(p.columns.size()));
      }
    }
  }
  // Sources along the middle line of the top face's core.
  for (int k = 0; k < rhs; ++k) {
    const int x = pad + (k + 1) * (ex - 2 * pad) / (rhs + 1);
    p.sources.push_back(x + nx * (ny / 2));
  }
  std::printf("mesh %d x %d x %d nodes: %d unknowns, %zu entries\n", nx, ny, nz, p.n,
              p.values.size());
  return p;
}

bool option(const char* argument, const char* name, std::string& value) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
  value = argument + length + 1;
  return true;
}

std::vector<double> run(const Problem& p, const SpdSolverOptions& options, int rhs) {
  const quelby::Io& io = bench_support::quiet_io();
  const auto count = static_cast<std::size_t>(rhs);
  std::vector<double> b(static_cast<std::size_t>(p.n) * count, 0.0);
  for (std::size_t c = 0; c < count; ++c) b[static_cast<std::size_t>(p.sources[c]) * count + c] = 1;
  auto start = std::chrono::steady_clock::now();
  double cpu = thread_seconds();
  const SpdSolver solver(io, p.n, p.row_starts, p.columns, p.values, options);
  const double setup = seconds_since(start);
  std::printf("%s: set-up %.2f s (CPU %.2f s)", solver.direct() ? "direct" : "multigrid", setup,
              thread_seconds() - cpu);
  if (!solver.direct())
    std::printf(" (%d levels, operator complexity %.2f)", solver.multigrid_levels(),
                solver.operator_complexity());
  std::printf(", estimated %.0f MiB\n", solver.memory_bytes() / 1048576);
  std::vector<double> x(b.size(), 0.0);
  if (solver.direct()) {
    start = std::chrono::steady_clock::now();
    const std::vector<SpdSolveReport> reports = solver.solve(io, b, x, count);
    const double all = seconds_since(start);
    std::printf("  %d right-hand sides at once: %.2f s (%.3f s each), largest residual %.1e\n", rhs,
                all, all / rhs,
                std::max_element(reports.begin(), reports.end(), [](auto& l, auto& r) {
                  return l.relative_residual < r.relative_residual;
                })->relative_residual);
  } else {
    // One at a time, to time each; the interface does the same inside.
    std::vector<double> one_b(static_cast<std::size_t>(p.n)), one_x(one_b.size());
    double total = 0, total_cpu = 0;
    int iterations = 0;
    for (std::size_t c = 0; c < count; ++c) {
      for (std::size_t i = 0; i < one_b.size(); ++i) one_b[i] = b[i * count + c];
      std::fill(one_x.begin(), one_x.end(), 0.0);
      start = std::chrono::steady_clock::now();
      cpu = thread_seconds();
      const SpdSolveReport report = solver.solve(io, one_b, one_x, 1)[0];
      const double time = seconds_since(start);
      total += time;
      total_cpu += thread_seconds() - cpu;
      iterations += report.iterations;
      std::printf("  source %zu: %d iterations, %.2f s, residual %.1e\n", c + 1, report.iterations,
                  time, report.relative_residual);
      for (std::size_t i = 0; i < one_x.size(); ++i) x[i * count + c] = one_x[i];
    }
    std::printf("  %d solves: %.2f s (%.3f s each; CPU %.3f s each, %.1f iterations)\n", rhs,
                total, total / rhs, total_cpu / rhs, static_cast<double>(iterations) / rhs);
  }
  std::printf("  peak memory of the process so far: %.0f MiB\n", peak_mib());
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t nodes = 1000000;
  int rhs = 8;
  std::string kind = "multigrid";
  SpdSolverOptions options;
  options.relative_tolerance = 1e-10;
  for (int a = 1; a < argc; ++a) {
    std::string value;
    if (option(argv[a], "--nodes", value)) {
      nodes = std::stoll(value);
    } else if (option(argv[a], "--rhs", value)) {
      rhs = std::stoi(value);
    } else if (option(argv[a], "--kind", value)) {
      kind = value;
    } else if (option(argv[a], "--threshold", value)) {
      options.multigrid.strong_threshold = std::stod(value);
    } else if (option(argv[a], "--aggressive", value)) {
      options.multigrid.aggressive_levels = std::stoi(value);
    } else if (option(argv[a], "--interpolation-elements", value)) {
      options.multigrid.interpolation_max_elements = std::stoi(value);
    } else if (option(argv[a], "--coarsening", value)) {
      options.multigrid.coarsening = value == "pmis"      ? quelby::MultigridCoarsening::pmis
                                     : value == "falgout" ? quelby::MultigridCoarsening::falgout
                                                          : quelby::MultigridCoarsening::hmis;
    } else if (option(argv[a], "--relaxation", value)) {
      options.multigrid.relaxation =
          value == "hgs"         ? quelby::MultigridRelaxation::hybrid_gauss_seidel
          : value == "l1jacobi"  ? quelby::MultigridRelaxation::l1_jacobi
          : value == "chebyshev" ? quelby::MultigridRelaxation::chebyshev
                                 : quelby::MultigridRelaxation::l1_gauss_seidel;
    } else {
      std::fprintf(stderr, "spd_solver_bench: unknown argument %s\n", argv[a]);
      return 2;
    }
  }
  auto start = std::chrono::steady_clock::now();
  const Problem p = problem(nodes, rhs);
  std::printf("assembly %.2f s\n", seconds_since(start));
  std::vector<double> direct, multigrid;
  if (kind == "direct" || kind == "both") {
    options.kind = SpdSolverKind::direct;
    direct = run(p, options, rhs);
  }
  if (kind == "multigrid" || kind == "both") {
    options.kind = SpdSolverKind::multigrid;
    multigrid = run(p, options, rhs);
  }
  if (!direct.empty() && !multigrid.empty()) {
    double dd = 0, yy = 0;
    for (std::size_t i = 0; i < direct.size(); ++i) {
      dd += (direct[i] - multigrid[i]) * (direct[i] - multigrid[i]);
      yy += direct[i] * direct[i];
    }
    std::printf("multigrid against direct: relative difference %.1e\n", std::sqrt(dd / yy));
  }
  return 0;
}
