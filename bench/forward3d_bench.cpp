// One 3-D forward run of a grid survey over a half-space, as a user meets it (a fresh process):
// 28 x 14 electrodes 0.2 m apart, dipole-dipole readings along the lines and across them, on a
// mesh of about the asked size; prints the mesh, the time of each phase, the peak memory and the
// errors against the analytic half-space. `--model random` times a model whose every cell differs
// (the secondary fields' right-hand sides then cost their full price, as in an inversion).
// `--jacobian` then computes J over the default parameter grid (cells one electrode spacing wide)
// and times it.
// `--solver direct|multigrid` chooses the solver (by default the direct one up to 400,000
// unknowns, multigrid beyond).
// Usage: forward3d_bench [--cells N] [--model uniform|random] [--jacobian]
//                        [--solver direct|multigrid]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/parameter_grid3d.hpp"
#include "quelby/forward/survey_mesh3d.hpp"

int main(int argc, char** argv) {
  double target_cells = 1.2e5;
  std::string model_kind = "uniform";
  bool jacobian = false;
  quelby::SpdSolverKind solver = quelby::SpdSolverKind::automatic;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--jacobian")) jacobian = true;
    if (i + 1 < argc && !std::strcmp(argv[i], "--cells")) target_cells = std::atof(argv[++i]);
    if (i + 1 < argc && !std::strcmp(argv[i], "--model")) model_kind = argv[++i];
    if (i + 1 < argc && !std::strcmp(argv[i], "--solver")) {
      ++i;
      solver = !std::strcmp(argv[i], "direct")      ? quelby::SpdSolverKind::direct
               : !std::strcmp(argv[i], "multigrid") ? quelby::SpdSolverKind::multigrid
                                                    : quelby::SpdSolverKind::automatic;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  // The layout: 28 x 14 electrodes, 0.2 m apart.
  const int nx_e = 28, ny_e = 14;
  const double a = 0.2;
  quelby::Survey3D survey;
  for (int j = 0; j < ny_e; ++j) {
    for (int i = 0; i < nx_e; ++i) survey.electrodes.push_back({i * a, j * a, 0});
  }
  auto id = [&](int i, int j) { return j * nx_e + i; };
  // Current dipoles: neighbours along each line (27 x 14 = 378) and across the lines every
  // sixth electrode (46 more: 424); readings dipole-dipole along the dipole's direction, n = 1..8
  // where they fit, 2849 in all.
  struct Dipole {
    int a, b, di, dj;
  };
  std::vector<Dipole> dipoles;
  for (int j = 0; j < ny_e; ++j) {
    for (int i = 0; i + 1 < nx_e; ++i) dipoles.push_back({id(i, j), id(i + 1, j), 1, 0});
  }
  for (int i = 0; i < nx_e && dipoles.size() < 424; i += 3) {
    for (int j = 0; j + 1 < ny_e && dipoles.size() < 424; j += 3) {
      dipoles.push_back({id(i, j), id(i, j + 1), 0, 1});
    }
  }
  for (const Dipole& d : dipoles) {
    const int i0 = d.a % nx_e, j0 = d.a / nx_e;
    for (int n = 1; n <= 12 && survey.ndat < 2849; ++n) {
      const int im = i0 + d.di * (1 + n), jm = j0 + d.dj * (1 + n);
      const int in = im + d.di, jn = jm + d.dj;
      if (in >= nx_e || jn >= ny_e) break;
      survey.a.push_back(d.a);
      survey.b.push_back(d.b);
      survey.m.push_back(id(im, jm));
      survey.n.push_back(id(in, jn));
      survey.iptype.push_back(0);
      ++survey.ndat;
    }
  }
  // The mesh quelby makes for the survey, within the asked number of cells.
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  quelby::SurveyMesh3DOptions mesh_options;
  mesh_options.cell_budget = static_cast<std::int64_t>(target_cells);
  const quelby::Mesh3D mesh = quelby::survey_mesh3d(io, survey, mesh_options);
  const double core = mesh.dx[static_cast<std::size_t>(mesh.nx / 2)];
  std::printf("survey: %zu electrodes, %zu current dipoles, %d readings\n",
              survey.electrodes.size(), dipoles.size(), survey.ndat);
  std::printf("mesh: %d x %d x %d = %lld cells, core %.4g m\n", mesh.nx, mesh.ny, mesh.nz,
              static_cast<long long>(mesh.cell_count()), core);

  std::vector<double> rho(static_cast<std::size_t>(mesh.cell_count()), 100.0);
  if (model_kind == "random") {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> spread(0.999, 1.001);
    for (double& v : rho) v *= spread(random);
  }
  const double t0 = elapsed();
  quelby::Forward3DOptions options;
  options.solver.kind = solver;
  quelby::ForwardModel3D model(io, mesh, {}, survey, options);
  const double t_setup = elapsed() - t0;
  const auto data = model.data(io, rho);
  const double t_total = elapsed() - t0;
  const auto& stats = model.statistics();

  std::vector<double> errors;
  auto pole = [&](int s, int r) {
    const auto& p = survey.electrodes[s];
    const auto& q = survey.electrodes[r];
    const double d = std::hypot(p.x - q.x, p.y - q.y, p.z - q.z);
    return 100.0 / (2 * std::numbers::pi * d);
  };
  for (int i = 0; i < survey.ndat; ++i) {
    const double expected = pole(survey.a[i], survey.m[i]) - pole(survey.a[i], survey.n[i]) -
                            pole(survey.b[i], survey.m[i]) + pole(survey.b[i], survey.n[i]);
    errors.push_back(std::fabs(data[i] / expected - 1) * 100);
  }
  std::sort(errors.begin(), errors.end());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  if (stats.multigrid) {
    std::printf("nodes %lld, conjugate gradients with multigrid: %lld iterations in %d solves\n",
                static_cast<long long>(stats.nodes), static_cast<long long>(stats.iterations),
                static_cast<int>(survey.electrodes.size()));
  } else {
    std::printf("nodes %lld, factor entries %.3g\n", static_cast<long long>(stats.nodes),
                stats.factor_entries);
  }
  std::printf("set-up %.2f s, factorisation %.2f s, right-hand sides %.2f s, solves %.2f s\n",
              t_setup, stats.factor_seconds, stats.assembly_seconds, stats.solve_seconds);
  std::printf("forward run %.2f s (process %.2f s), peak memory %.0f MiB\n", t_total, elapsed(),
              usage.ru_maxrss / 1024.0);
  std::printf("error against the half-space (%s model): median %.3g %%, largest %.3g %%\n",
              model_kind.c_str(), errors[errors.size() / 2], errors.back());
  if (jacobian) {
    const quelby::ParameterGrid3D grid =
        quelby::parameter_grid3d(io, mesh, survey.electrodes, mesh.z_nodes[0], a);
    const quelby::ParameterForwardCells parameters = quelby::forward_cells_of_parameters3d(grid);
    std::vector<double> j(static_cast<std::size_t>(survey.ndat) * parameters.count());
    std::vector<double> d(static_cast<std::size_t>(survey.ndat));
    const double j0 = elapsed();
    model.sensitivity(io, rho, parameters.cells, parameters.starts, j, d);
    const double j1 = elapsed();
    model.sensitivity(io, rho, parameters.cells, parameters.starts, j, d);
    const double j2 = elapsed();
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "J over %zu parameters: first %.2f s (with the adjoint fields), again %.2f s, "
        "peak memory %.0f MiB\n",
        parameters.count(), j1 - j0, j2 - j1, usage.ru_maxrss / 1024.0);
  }
  return 0;
}
