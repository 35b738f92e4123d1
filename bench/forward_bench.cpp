// The forward floor on the dipole-dipole survey of 32 electrodes 5 m apart (n = 1..8, 204 data)
// over a 100 ohm-m half-space with a 10 ohm-m block, on the mesh of 0.625 m core cells that
// mesh_for_survey makes (300 x 82 cells) and on one of 292 x 82 (no margin beyond the outer
// electrodes): the set-up (electrodes, wavenumbers, analysis), the data with fresh factorisations
// and with kept ones, the sensitivities of every parameter, and the IP response.
//
//   forward_bench                       Google Benchmark, repeated calls in one process
//   forward_bench --first=WHAT          one call of a fresh process (WHAT: data, sensitivity, ip),
//                                       set-up included, timed inside; for scripts/forward_bench.sh
//   forward_bench --study               the half-space error (largest over the 204 apparent
//                                       resistivities) by core cell width and wavenumber count;
//                                       then a Wenner sounding (a = 1..32 m) over a half-space and
//                                       over 5 m of 100 ohm-m on 10 ohm-m, on meshes graded around
//                                       the electrodes and on uniform cores, against image series
//   forward_bench --long=COLUMNS        the set-up on a mesh of COLUMNS x 1 cells of 1 m (a
//                                       boundary as long as the mesh): the operator, then the
//                                       whole model
//   forward_bench --scaling=CELLS       64 electrodes on a mesh of about CELLS cells: set-up, data
//                                       (fresh factors, then a new model), IP, J v and J^T w, and
//                                       the sensitivities up to 2e5 cells, each timed with the
//                                       process's peak memory after it; --scaling=CELLS:data stops
//                                       after the data
//   forward_bench --field               a field-size profile: 64 electrodes, 1231 data of mixed
//                                       arrays (Wenner, dipole-dipole, Schlumberger) on the mesh
//                                       mesh_for_survey makes by default: the data, the full
//                                       sensitivities (fresh factors, then kept), J v and J^T w
//   forward_bench --factorisation=CELLS the data of the same survey and mesh with simplicial and
//                                       with supernodal factors, factorised anew each call: the
//                                       measurement behind the size rule of CholeskyKind::automatic
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/ground.hpp"
#include "quelby/forward/ground_operator.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/survey/survey_arrays.hpp"

namespace {

using quelby::ForwardModel;
using quelby::Mesh;
using quelby::SurveyData;

const quelby::Io& io = bench_support::quiet_io();

SurveyData dipole_dipole(int electrodes, double spacing) {
  std::vector<double> a, b, m, n;
  for (int first = 0; first < electrodes; ++first) {
    for (int level = 1; level <= 8; ++level) {
      if (first + 2 + level > electrodes - 1) continue;
      a.push_back(spacing * first);
      b.push_back(spacing * (first + 1));
      m.push_back(spacing * (first + 1 + level));
      n.push_back(spacing * (first + 2 + level));
    }
  }
  quelby::SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  quelby::survey_from_arrays(io, arrays, survey);
  return survey;
}

struct Case {
  SurveyData survey;
  Mesh mesh;
  std::vector<double> resistivity, chargeability;
  std::vector<std::int32_t> air;
};

Case make_case(int electrodes, double spacing, double cell, int margin, int padding,
               double growth = 1.3) {
  Case c;
  c.survey = dipole_dipole(electrodes, spacing);
  quelby::SurveyMeshOptions options;
  options.cell_width = cell;
  options.margin_cells = margin;
  options.padding_cells = padding;
  options.growth = growth;
  c.mesh = quelby::mesh_for_survey(io, c.survey, options);
  const double line = spacing * (electrodes - 1);
  c.resistivity.assign(static_cast<std::size_t>(c.mesh.nx * c.mesh.nz), 100.0);
  c.chargeability.assign(c.resistivity.size(), 0.0);
  for (std::size_t k = 0; k < static_cast<std::size_t>(c.mesh.nz); ++k) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(c.mesh.nx); ++i) {
      const double x = c.mesh.x_centres[i], z = c.mesh.z_centres[k];
      if (x > 0.4 * line && x < 0.5 * line && z > 2.5 * spacing / 5 && z < 10 * spacing / 5) {
        c.resistivity[k * static_cast<std::size_t>(c.mesh.nx) + i] = 10;
        c.chargeability[k * static_cast<std::size_t>(c.mesh.nx) + i] = 0.1;
      }
    }
  }
  c.air.assign(static_cast<std::size_t>(c.mesh.nx), 0);
  return c;
}

const Case& standard(bool margin) {
  static const Case with_margin = make_case(32, 5, 0.625, 4, 0);
  static const Case without = make_case(32, 5, 0.625, 0, 0);
  return margin ? with_margin : without;
}

void set_cells(benchmark::State& state, const Case& c) {
  state.counters["cells"] = c.mesh.nx * c.mesh.nz;
  state.counters["data"] = c.survey.ndat;
}

void BM_Setup(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  for (auto _ : state) {
    ForwardModel model(io, c.mesh, c.air, c.survey);
    benchmark::DoNotOptimize(model.wavenumbers().k.data());
  }
  set_cells(state, c);
}

void BM_DataFresh(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  quelby::ForwardOptions options;
  options.keep_factors = false;
  ForwardModel model(io, c.mesh, c.air, c.survey, options);
  for (auto _ : state) benchmark::DoNotOptimize(model.data(io, c.resistivity).data());
  set_cells(state, c);
  state.counters["wavenumbers"] = static_cast<double>(model.wavenumbers().k.size());
}

void BM_DataKept(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  ForwardModel model(io, c.mesh, c.air, c.survey);
  model.data(io, c.resistivity);
  for (auto _ : state) benchmark::DoNotOptimize(model.data(io, c.resistivity).data());
  set_cells(state, c);
}

void BM_SensitivityFresh(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  quelby::ForwardOptions options;
  options.keep_factors = false;
  ForwardModel model(io, c.mesh, c.air, c.survey, options);
  const std::vector<std::int32_t> cells = model.ground_cells();
  std::vector<double> jacobian(cells.size() * static_cast<std::size_t>(c.survey.ndat)),
      data(static_cast<std::size_t>(c.survey.ndat));
  for (auto _ : state) model.sensitivity(io, c.resistivity, cells, jacobian, data);
  set_cells(state, c);
}

void BM_SensitivityKept(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  ForwardModel model(io, c.mesh, c.air, c.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  std::vector<double> jacobian(cells.size() * static_cast<std::size_t>(c.survey.ndat)),
      data(static_cast<std::size_t>(c.survey.ndat));
  model.data(io, c.resistivity);
  for (auto _ : state) model.sensitivity(io, c.resistivity, cells, jacobian, data);
  set_cells(state, c);
}

void BM_IpFresh(benchmark::State& state) {
  const Case& c = standard(state.range(0) != 0);
  quelby::ForwardOptions options;
  options.keep_factors = false;
  ForwardModel model(io, c.mesh, c.air, c.survey, options);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        model.apparent_chargeability(io, c.resistivity, c.chargeability).data());
  set_cells(state, c);
}

void BM_JacobianTimesKept(benchmark::State& state) {
  const Case& c = standard(true);
  ForwardModel model(io, c.mesh, c.air, c.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  const std::vector<double> v(cells.size(), 1.0);
  std::vector<double> out(static_cast<std::size_t>(c.survey.ndat));
  model.jacobian_times(io, c.resistivity, cells, v, out);
  for (auto _ : state) model.jacobian_times(io, c.resistivity, cells, v, out);
  set_cells(state, c);
}

void BM_JacobianTransposeTimesKept(benchmark::State& state) {
  const Case& c = standard(true);
  ForwardModel model(io, c.mesh, c.air, c.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  const std::vector<double> w(static_cast<std::size_t>(c.survey.ndat), 1.0);
  std::vector<double> out(cells.size());
  model.jacobian_transpose_times(io, c.resistivity, cells, w, out);
  for (auto _ : state) model.jacobian_transpose_times(io, c.resistivity, cells, w, out);
  set_cells(state, c);
}

// Wall time, and the CPU time of every thread of the process: on a shared machine the second,
// halved, is what two free cores would take.
BENCHMARK(BM_Setup)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_DataFresh)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_DataKept)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_SensitivityFresh)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_SensitivityKept)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_IpFresh)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_JacobianTimesKept)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_JacobianTransposeTimesKept)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The process's peak resident memory so far, in MiB, and the CPU time of all its threads so far.
double peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// One call in a fresh process: the set-up and the operation, each timed.
int first_call(const std::string& what) {
  const auto start = std::chrono::steady_clock::now();
  const Case c = make_case(32, 5, 0.625, 0, 0);
  const double made = seconds_since(start);
  const auto setup_start = std::chrono::steady_clock::now();
  ForwardModel model(io, c.mesh, c.air, c.survey);
  const double setup = seconds_since(setup_start);
  const auto run_start = std::chrono::steady_clock::now();
  const double run_cpu = cpu_seconds();
  if (what == "data") {
    benchmark::DoNotOptimize(model.data(io, c.resistivity).data());
  } else if (what == "sensitivity") {
    const std::vector<std::int32_t> cells = model.ground_cells();
    std::vector<double> jacobian(cells.size() * static_cast<std::size_t>(c.survey.ndat)),
        data(static_cast<std::size_t>(c.survey.ndat));
    model.sensitivity(io, c.resistivity, cells, jacobian, data);
  } else if (what == "ip") {
    benchmark::DoNotOptimize(
        model.apparent_chargeability(io, c.resistivity, c.chargeability).data());
  } else if (what == "jv") {
    const std::vector<std::int32_t> cells = model.ground_cells();
    const std::vector<double> v(cells.size(), 1.0);
    std::vector<double> out(static_cast<std::size_t>(c.survey.ndat));
    model.jacobian_times(io, c.resistivity, cells, v, out);
  } else if (what == "jtw") {
    const std::vector<std::int32_t> cells = model.ground_cells();
    const std::vector<double> w(static_cast<std::size_t>(c.survey.ndat), 1.0);
    std::vector<double> out(cells.size());
    model.jacobian_transpose_times(io, c.resistivity, cells, w, out);
  } else {
    std::fprintf(stderr, "forward_bench: --first takes data, sensitivity, ip, jv or jtw\n");
    return 2;
  }
  const double run = seconds_since(run_start);
  std::printf("%s cells %d survey+mesh %.4f setup %.4f %s %.4f (CPU %.4f)\n", what.c_str(),
              c.mesh.nx * c.mesh.nz, made, setup, what.c_str(), run, cpu_seconds() - run_cpu);
  return 0;
}

// 64 electrodes `spacing` apart: Wenner (a = 1..15 spacings), dipole-dipole (n = 1..8) and
// Schlumberger (M N one spacing, A and B 2..4 spacings outside them).
SurveyData mixed_arrays(double spacing) {
  const int electrodes = 64;
  std::vector<double> a, b, m, n;
  auto add = [&](int ea, int eb, int em, int en) {
    a.push_back(spacing * ea);
    b.push_back(spacing * eb);
    m.push_back(spacing * em);
    n.push_back(spacing * en);
  };
  for (int k = 1; k <= 15; ++k) {
    for (int i = 0; i + 3 * k < electrodes; ++i) add(i, i + 3 * k, i + k, i + 2 * k);
  }
  for (int level = 1; level <= 8; ++level) {
    for (int i = 0; i + 2 + level < electrodes; ++i) add(i, i + 1, i + 1 + level, i + 2 + level);
  }
  for (int k = 2; k <= 4; ++k) {
    for (int i = k; i + 1 + k < electrodes; ++i) add(i - k, i + 1 + k, i, i + 1);
  }
  quelby::SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  quelby::survey_from_arrays(io, arrays, survey);
  return survey;
}

int field_size() {
  Case c;
  c.survey = mixed_arrays(2);
  c.mesh = quelby::mesh_for_survey(io, c.survey);
  c.resistivity.assign(static_cast<std::size_t>(c.mesh.nx * c.mesh.nz), 100.0);
  for (std::size_t k = 0; k < static_cast<std::size_t>(c.mesh.nz); ++k) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(c.mesh.nx); ++i) {
      const double x = c.mesh.x_centres[i], z = c.mesh.z_centres[k];
      if (x > 50 && x < 70 && z > 3 && z < 12)
        c.resistivity[k * static_cast<std::size_t>(c.mesh.nx) + i] = 10;
    }
  }
  c.air.assign(static_cast<std::size_t>(c.mesh.nx), 0);
  const auto ndat = static_cast<std::size_t>(c.survey.ndat);
  auto start = std::chrono::steady_clock::now();
  ForwardModel model(io, c.mesh, c.air, c.survey);
  const std::vector<std::int32_t> cells = model.ground_cells();
  std::printf("cells %d (%d x %d), data %zu, wavenumbers %zu; set-up %.3f s\n",
              c.mesh.nx * c.mesh.nz, c.mesh.nx, c.mesh.nz, ndat, model.wavenumbers().k.size(),
              seconds_since(start));
  std::vector<double> jacobian(cells.size() * ndat), d(ndat);
  auto timed = [&](const char* what, auto&& work) {
    const auto begin = std::chrono::steady_clock::now();
    const double cpu = cpu_seconds();
    work();
    std::printf("  %-40s %7.3f s wall %7.3f s CPU   peak so far %.0f MiB\n", what,
                seconds_since(begin), cpu_seconds() - cpu, peak_mib());
    std::fflush(stdout);
  };
  std::vector<double> other = c.resistivity;
  for (double& value : other) value *= 1.01;
  timed("data (first call)", [&] { model.data(io, c.resistivity); });
  timed("sensitivity (kept factors)",
        [&] { model.sensitivity(io, c.resistivity, cells, jacobian, d); });
  timed("sensitivity (kept factors and fields)",
        [&] { model.sensitivity(io, c.resistivity, cells, jacobian, d); });
  timed("data (a new model)", [&] { model.data(io, other); });
  timed("sensitivity (a new model)",
        [&] { model.sensitivity(io, c.resistivity, cells, jacobian, d); });
  const std::vector<double> v(cells.size(), 1.0), w(ndat, 1.0);
  std::vector<double> jv(ndat), jtw(cells.size());
  timed("J v (kept fields)", [&] { model.jacobian_times(io, c.resistivity, cells, v, jv); });
  timed("J^T w (kept fields)",
        [&] { model.jacobian_transpose_times(io, c.resistivity, cells, w, jtw); });
  return 0;
}

// 64 electrodes on a mesh of about `cells` cells: the cell width chosen so.
Case scaling_case(double cells) {
  const int electrodes = 64;
  const double spacing = 5;
  double cell = 1.25;
  Case c = make_case(electrodes, spacing, cell, 4, 0);
  // The cell count falls like the square of the width: two corrections suffice.
  for (int pass = 0; pass < 2; ++pass) {
    cell *= std::sqrt(static_cast<double>(c.mesh.nx) * c.mesh.nz / cells);
    c = make_case(electrodes, spacing, cell, 4, 0);
  }
  return c;
}

int scaling(double cells, bool data_only) {
  const Case c = scaling_case(cells);
  const auto ndat = static_cast<std::size_t>(c.survey.ndat);
  std::printf("cells %d (%d x %d, core %.3g m) data %d\n", c.mesh.nx * c.mesh.nz, c.mesh.nx,
              c.mesh.nz, *std::min_element(c.mesh.dx.begin(), c.mesh.dx.end()), c.survey.ndat);
  double cpu = cpu_seconds();
  auto report = [&](const char* what, std::chrono::steady_clock::time_point start) {
    std::printf("  %-34s %8.3f s wall %8.3f s CPU   peak so far %7.0f MiB\n", what,
                seconds_since(start), cpu_seconds() - cpu, peak_mib());
    std::fflush(stdout);
    cpu = cpu_seconds();
  };
  auto start = std::chrono::steady_clock::now();
  ForwardModel model(io, c.mesh, c.air, c.survey);
  report("set-up (wavenumbers, analysis)", start);
  std::printf("  %zu wavenumbers\n", model.wavenumbers().k.size());
  start = std::chrono::steady_clock::now();
  model.data(io, c.resistivity);
  report("data (first call)", start);
  std::vector<double> other = c.resistivity;
  for (double& value : other) value *= 1.01;
  start = std::chrono::steady_clock::now();
  model.data(io, other);
  report("data (a new model)", start);
  if (data_only) return 0;
  start = std::chrono::steady_clock::now();
  model.apparent_chargeability(io, c.resistivity, c.chargeability);
  report("IP", start);
  const std::vector<std::int32_t> ground = model.ground_cells();
  const std::vector<double> v(ground.size(), 1.0), w(ndat, 1.0);
  std::vector<double> jv(ndat), jtw(ground.size());
  start = std::chrono::steady_clock::now();
  model.jacobian_times(io, c.resistivity, ground, v, jv);
  report("J v (first)", start);
  start = std::chrono::steady_clock::now();
  model.jacobian_times(io, c.resistivity, ground, v, jv);
  report("J v (again)", start);
  start = std::chrono::steady_clock::now();
  model.jacobian_transpose_times(io, c.resistivity, ground, w, jtw);
  report("J^T w", start);
  if (c.mesh.nx * c.mesh.nz <= 200000) {
    std::vector<double> jacobian(ground.size() * ndat), d(ndat);
    start = std::chrono::steady_clock::now();
    model.sensitivity(io, c.resistivity, ground, jacobian, d);
    report("sensitivity (kept factors)", start);
  }
  return 0;
}

// The data with each factor layout, factorised anew each call (nothing kept): the best of
// `repeats` calls after a first one.
int factorisation(double cells, int repeats) {
  const Case c = scaling_case(cells);
  std::printf("cells %d, %d electrodes, %d data\n", c.mesh.nx * c.mesh.nz, 64, c.survey.ndat);
  std::vector<double> reference;
  for (const quelby::CholeskyKind kind :
       {quelby::CholeskyKind::simplicial, quelby::CholeskyKind::supernodal}) {
    quelby::ForwardOptions options;
    options.keep_factors = false;
    options.kept_field_bytes = 0;
    options.factorisation = kind;
    ForwardModel model(io, c.mesh, c.air, c.survey, options);
    auto start = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();
    std::vector<double> data = model.data(io, c.resistivity);
    const double first = seconds_since(start), first_cpu = cpu_seconds() - cpu;
    double best = first, best_cpu = first_cpu;
    for (int r = 0; r < repeats; ++r) {
      std::vector<double> other = c.resistivity;
      for (double& value : other) value *= 1 + 0.01 * (r + 1);
      start = std::chrono::steady_clock::now();
      cpu = cpu_seconds();
      benchmark::DoNotOptimize(model.data(io, other).data());
      best = std::min(best, seconds_since(start));
      best_cpu = std::min(best_cpu, cpu_seconds() - cpu);
    }
    double difference = 0;
    if (reference.empty()) reference = data;
    for (std::size_t i = 0; i < data.size(); ++i)
      difference = std::max(difference, std::abs(data[i] / reference[i] - 1));
    std::printf(
        "  %-10s data: first %.3f s (CPU %.3f s), best of %d more %.3f s (CPU %.3f s); "
        "largest difference from simplicial %.1e; peak so far %.0f MiB\n",
        kind == quelby::CholeskyKind::simplicial ? "simplicial" : "supernodal", first, first_cpu,
        repeats, best, best_cpu, difference, peak_mib());
    std::fflush(stdout);
  }
  return 0;
}

// The largest relative error of the apparent resistivities over a uniform 100 ohm-m half-space.
int study() {
  std::printf("%-10s %-7s %-12s %-9s %-12s %s\n", "cell (m)", "growth", "wavenumbers", "cells",
              "rule error", "largest apparent-resistivity error");
  struct Row {
    double cell, growth;
    int count;
  };
  std::vector<Row> rows;
  for (const double cell : {1.25, 0.625, 0.3125}) {
    for (const int count : {8, 10, 12, 0, 20}) rows.push_back({cell, 1.3, count});
  }
  for (const double cell : {1.25, 0.625, 0.3125}) rows.push_back({cell, 1.15, 0});
  for (const Row& row : rows) {
    const double cell = row.cell;
    const int count = row.count;
    {
      const Case c = make_case(32, 5, cell, 4, 0, row.growth);
      quelby::ForwardOptions options;
      options.wavenumber_count = count;
      ForwardModel model(io, c.mesh, c.air, c.survey, options);
      const std::vector<double> uniform(c.resistivity.size(), 100.0);
      const std::vector<double> data = model.data(io, uniform);
      double worst = 0;
      for (std::size_t pair = 0; pair < static_cast<std::size_t>(c.survey.ncur); ++pair) {
        for (std::size_t i = c.survey.data_begin(pair); i < c.survey.data_begin(pair + 1); ++i) {
          const double a = c.survey.xa_cur[pair], b = c.survey.xb_cur[pair], m = c.survey.xm[i],
                       n = c.survey.xn[i];
          const double g =
              1 / std::abs(a - m) - 1 / std::abs(a - n) - 1 / std::abs(b - m) + 1 / std::abs(b - n);
          worst = std::max(worst, std::abs(data[i] * 2 * M_PI / g / 100 - 1));
        }
      }
      std::printf(
          "%-10g %-7g %-12s %-9d %-12.2e %.3f %%\n", cell, row.growth,
          (std::to_string(model.wavenumbers().k.size()) + (count == 0 ? " (auto)" : "")).c_str(),
          c.mesh.nx * c.mesh.nz,
          std::max(model.wavenumbers().pole_error, model.wavenumbers().data_error), 100 * worst);
      std::fflush(stdout);
    }
  }
  return 0;
}

// Nodes from 0 through every break (ascending, the first 0): the first gap in cells of
// `first_width`, each later gap in the fewest equal cells at most `growth` times as wide as the
// cells before them, so that runs of equal cells grow by 1.33 to 1.5 for a growth of 1.5; then
// padding cells growing by `padding_growth` until `reach` is passed.
std::vector<double> graded_nodes(const std::vector<double>& breaks, double first_width,
                                 double growth, double padding_growth, double reach) {
  std::vector<double> nodes = {breaks.front()};
  double width = first_width;
  for (std::size_t b = 0; b + 1 < breaks.size(); ++b) {
    const double gap = breaks[b + 1] - breaks[b];
    const int count = b == 0 ? static_cast<int>(std::lround(gap / first_width))
                             : static_cast<int>(std::ceil(gap / (width * growth) - 1e-9));
    for (int c = 1; c <= count; ++c)
      nodes.push_back(c == count ? breaks[b + 1] : breaks[b] + gap * c / count);
    width = gap / count;
  }
  while (nodes.back() < reach) {
    width *= padding_growth;
    nodes.push_back(nodes.back() + width);
  }
  return nodes;
}

// The Wenner apparent resistivity of two layers (thickness h, rho1 over rho2) by images.
double two_layer_wenner(double a, double h, double rho1, double rho2) {
  const double k = (rho2 - rho1) / (rho2 + rho1);
  double sum = 0, power = 1;
  for (int n = 1; n < 5000 && std::abs(power) > 1e-18; ++n) {
    power *= k;
    const double q = 2 * n * h / a;
    sum += power * (1 / std::sqrt(1 + q * q) - 1 / std::sqrt(4 + q * q));
  }
  return rho1 * (1 + 4 * sum);
}

// A Wenner sounding centred at x = 0 (a = 1, 2, 4, ..., 32 m) on meshes graded around its
// electrodes (nodes at every electrode and at 5 m depth) and on uniform cores: the error of every
// apparent resistivity over a 100 ohm-m half-space and over 5 m of 100 ohm-m on 10 ohm-m.
int graded_study() {
  const std::vector<double> spacings = {1, 2, 4, 8, 16, 32};
  std::vector<double> a, b, m, n, x_breaks = {0}, z_breaks = {0, 0.5, 1, 1.5, 2, 3, 4, 5, 6, 8};
  for (const double spacing : spacings) {
    a.push_back(-1.5 * spacing);
    b.push_back(1.5 * spacing);
    m.push_back(-0.5 * spacing);
    n.push_back(0.5 * spacing);
    x_breaks.push_back(0.5 * spacing);
    x_breaks.push_back(1.5 * spacing);
  }
  std::sort(x_breaks.begin(), x_breaks.end());
  x_breaks.erase(std::unique(x_breaks.begin(), x_breaks.end()), x_breaks.end());
  for (const double depth : {12.0, 16.0, 24.0, 32.0, 48.0}) z_breaks.push_back(depth);
  quelby::SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  quelby::survey_from_arrays(io, arrays, survey);
  struct Row {
    const char* kind;
    double width, padding_growth;
  };
  const std::vector<Row> rows = {{"graded", 0.25, 1.3},   {"graded", 0.125, 1.3},
                                 {"graded", 0.0625, 1.3}, {"graded", 0.125, 1.5},
                                 {"graded", 0.0625, 1.5}, {"uniform", 0.5, 1.3},
                                 {"uniform", 0.25, 1.3},  {"uniform", 0.125, 1.3}};
  std::printf(
      "\nWenner sounding, a = 1 to 32 m: relative error of each apparent resistivity (%%)\n");
  std::printf("%-8s %-7s %-7s %-9s %-3s %-41s %-41s\n", "mesh", "cell", "padding", "cells", "wn",
              "half-space a = 1 2 4 8 16 32, worst", "two layers a = 1 2 4 8 16 32, worst");
  for (const Row& row : rows) {
    std::vector<double> half, z;
    if (std::string(row.kind) == "graded") {
      half = graded_nodes(x_breaks, row.width, 1.5, row.padding_growth, 1200);
      z = graded_nodes(z_breaks, row.width, 1.5, row.padding_growth, 1200);
    } else {
      half = graded_nodes({0, 48}, row.width, 1, row.padding_growth, 1200);
      z = graded_nodes({0, 48}, row.width, 1, row.padding_growth, 1200);
    }
    std::vector<double> x;
    for (std::size_t i = half.size(); i-- > 1;) x.push_back(-half[i]);
    x.insert(x.end(), half.begin(), half.end());
    const Mesh mesh = quelby::mesh_from_nodes(io, x, z);
    const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
    std::vector<double> layered(cells, 100.0);
    for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
      if (mesh.z_nodes[k] < 5) continue;
      for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i)
        layered[k * static_cast<std::size_t>(mesh.nx) + i] = 10;
    }
    ForwardModel model(io, mesh, std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0),
                       survey);
    const std::vector<double> uniform_data = model.data(io, std::vector<double>(cells, 100.0));
    const std::vector<double> layered_data = model.data(io, layered);
    std::string half_text, layered_text;
    double worst_half = 0, worst_layered = 0;
    for (std::size_t j = 0; j < spacings.size(); ++j) {
      const std::size_t i = survey.grouped_position(j);
      const double factor = 2 * M_PI * spacings[j];  // Wenner: K = 2 pi a
      const double half_error = uniform_data[i] * factor / 100 - 1;
      const double layered_error =
          layered_data[i] * factor / two_layer_wenner(spacings[j], 5, 100, 10) - 1;
      worst_half = std::max(worst_half, std::abs(half_error));
      worst_layered = std::max(worst_layered, std::abs(layered_error));
      char text[16];
      std::snprintf(text, sizeof text, " %+.2f", 100 * half_error);
      half_text += text;
      std::snprintf(text, sizeof text, " %+.2f", 100 * layered_error);
      layered_text += text;
    }
    std::printf("%-8s %-7g %-7g %-9zu %-3zu%s  %.2f  %s  %.2f\n", row.kind, row.width,
                row.padding_growth, cells, model.wavenumbers().k.size(), half_text.c_str(),
                100 * worst_half, layered_text.c_str(), 100 * worst_layered);
    std::fflush(stdout);
  }
  return 0;
}

// The set-up on a mesh of `columns` x 1 cells of 1 m with a dipole-dipole datum at its middle:
// the operator alone, then the whole forward model (electrodes, wavenumbers, operator, analysis,
// the mixed condition of every wavenumber).
int long_mesh(int columns) {
  std::vector<double> x(static_cast<std::size_t>(columns) + 1);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
  const std::vector<double> z = {0, 1};
  const Mesh mesh = quelby::mesh_from_nodes(io, x, z);
  const std::vector<std::int32_t> air(static_cast<std::size_t>(columns), 0);
  const quelby::Ground ground = quelby::make_ground(mesh, air);
  auto start = std::chrono::steady_clock::now();
  const quelby::GroundOperator op(mesh, ground, columns / 2.0, 0);
  const double operator_seconds = seconds_since(start);
  const double middle = columns / 2.0;
  std::vector<double> a = {middle - 2}, b = {middle - 1}, m = {middle + 1}, n = {middle + 2};
  quelby::SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  quelby::survey_from_arrays(io, arrays, survey);
  start = std::chrono::steady_clock::now();
  const ForwardModel model(io, mesh, air, survey);
  std::printf("%d x 1 cells: operator %.3f s, forward model set-up %.3f s (%zu wavenumbers)\n",
              columns, operator_seconds, seconds_since(start), model.wavenumbers().k.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int a = 1; a < argc; ++a) {
    if (std::strncmp(argv[a], "--first=", 8) == 0) return first_call(argv[a] + 8);
    if (std::strncmp(argv[a], "--scaling=", 10) == 0)
      return scaling(std::atof(argv[a] + 10), std::strstr(argv[a], ":data") != nullptr);
    if (std::strncmp(argv[a], "--factorisation=", 16) == 0) {
      const double cells = std::atof(argv[a] + 16);
      return factorisation(cells, cells > 5e5 ? 1 : 3);
    }
    if (std::strcmp(argv[a], "--study") == 0) return study() + graded_study();
    if (std::strcmp(argv[a], "--field") == 0) return field_size();
    if (std::strncmp(argv[a], "--long=", 7) == 0) return long_mesh(std::atoi(argv[a] + 7));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
