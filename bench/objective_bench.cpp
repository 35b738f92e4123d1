// The model objective on square meshes of every cell active: the whole build_model_objective
// (weights 0 and no dipping file; a background dip of 30 degrees with unequal coefficients from a
// dipping file, which gives 4 terms) on 10^4, 10^5 and 10^6 parameters, and the two evaluations at
// 10^6 beside a pass that reads the same bytes. The counter s_per_parameter is the time per
// parameter; a flat value from 10^4 to 10^6 means linear time.
//
// `objective_bench --first_build=N` (or `--first_build_dip=N`) instead builds the objective of N
// parameters once in this process and prints its wall-clock time and the page faults it took:
// what a program that builds its objective once meets. scripts/first_call.sh runs it in several
// fresh processes and reports the median.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <span>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/regularization/objective.hpp"

namespace {

using namespace quelby;

struct Square {
  Mesh mesh;
  ActiveCells cells;

  explicit Square(std::int64_t parameters) {
    const auto side = static_cast<std::int32_t>(std::lround(std::sqrt(double(parameters))));
    mesh.nx = mesh.nz = side;
    for (std::int32_t i = 0; i < side; ++i) {
      mesh.dx.push_back(10.0 + (i % 7));
      mesh.dz.push_back(5.0 + 0.5 * (i % 5));
    }
    mesh.x_nodes.assign(1, 0.0);
    for (const double width : mesh.dx) mesh.x_nodes.push_back(mesh.x_nodes.back() + width);
    mesh.z_nodes.assign(1, 0.0);
    for (const double width : mesh.dz) mesh.z_nodes.push_back(mesh.z_nodes.back() + width);
    cells.nx = cells.nz = side;
    cells.cell_idx.resize(static_cast<std::size_t>(side) * static_cast<std::size_t>(side));
    for (std::size_t k = 0; k < cells.cell_idx.size(); ++k)
      cells.cell_idx[k] = static_cast<std::int32_t>(k + 1);
    cells.npar = cells.ncell = static_cast<std::int32_t>(cells.cell_idx.size());
  }
};

// A background zone dipping 30 degrees with unequal coefficients, and one zone outside the mesh.
std::string dipping_file() {
  const std::string name = "/tmp/quelby-objective-bench-" + std::to_string(::getpid()) + ".dip";
  std::ofstream(name) << "0.0001 1.0 0.25 30\n1\n0.001 1 1 0 3\n-10 -10\n-5 -10\n-5 -5\n";
  return name;
}

void set_counters(benchmark::State& state, std::int32_t npar) {
  state.counters["npar"] = npar;
  state.counters["s_per_parameter"] = benchmark::Counter(
      npar, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void build(benchmark::State& state, bool dip) {
  const Square square(state.range(0));
  const Io& quiet = bench_support::quiet_io();
  const AlphaCoefficients alpha{1e-4, 1.0, 1.0};
  const std::string dip_name = dip ? dipping_file() : "";
  const DipSource dipping = dip ? DipSource::file(dip_name) : DipSource::none();
  for (auto _ : state) {
    ModelObjective objective;
    build_model_objective(quiet, square.mesh, square.cells, alpha, WeightSource::ones(), dipping,
                          true, objective);
    benchmark::DoNotOptimize(objective.WTW.values.data());
    if (objective.n_terms != (dip ? 4 : 3)) state.SkipWithError("unexpected number of terms");
  }
  if (dip) std::remove(dip_name.c_str());
  set_counters(state, square.cells.npar);
}

void build_without_dip(benchmark::State& state) {
  build(state, false);
}
void build_with_dip(benchmark::State& state) {
  build(state, true);
}

struct Evaluation {
  Square square;
  const Io& quiet = bench_support::quiet_io();
  ModelObjective objective;
  std::vector<double> m;
  std::vector<double> m_ref;
  std::vector<double> g;

  Evaluation(std::int64_t parameters, bool ref_in_derivatives) : square(parameters) {
    const std::string dip_name = dipping_file();
    build_model_objective(quiet, square.mesh, square.cells, {1e-4, 1.0, 1.0}, WeightSource::ones(),
                          DipSource::file(dip_name), ref_in_derivatives, objective);
    std::remove(dip_name.c_str());
    const auto n = static_cast<std::size_t>(square.cells.npar);
    m.resize(n);
    m_ref.resize(n);
    g.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      m[i] = std::sin(0.001 * static_cast<double>(i));
      m_ref[i] = 0.5;
    }
  }

  // The bytes an evaluation reads: the stored matrices, m and m_ref.
  std::int64_t bytes(bool all_terms) const {
    std::int64_t total = 0;
    const auto add = [&](const CsrMatrix& a) {
      total += static_cast<std::int64_t>(a.values.size() * 12 + a.row_start.size() * 4);
    };
    if (all_terms) {
      for (const CsrMatrix& term : objective.wtw_terms) add(term);
    } else {
      add(objective.WTW);
    }
    return total + static_cast<std::int64_t>(16 * m.size());
  }
};

void wtw_times_model_bench(benchmark::State& state) {
  Evaluation evaluation(state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    wtw_times_model(evaluation.objective, evaluation.m, evaluation.m_ref, evaluation.g);
    benchmark::DoNotOptimize(evaluation.g.data());
  }
  state.SetBytesProcessed(state.iterations() * evaluation.bytes(state.range(1) == 0));
  set_counters(state, evaluation.square.cells.npar);
}

void term_norms_bench(benchmark::State& state) {
  Evaluation evaluation(state.range(0), state.range(1) != 0);
  std::array<double, 4> phi{};
  for (auto _ : state) {
    term_norms(evaluation.objective, evaluation.m, evaluation.m_ref, phi);
    benchmark::DoNotOptimize(phi.data());
  }
  state.SetBytesProcessed(state.iterations() * evaluation.bytes(true));
  set_counters(state, evaluation.square.cells.npar);
}

// What memory speed means here: one pass on one thread over the same bytes (the values, columns
// and row starts of every term, m and m_ref), adding their bit patterns as integers so that the
// loop vectorises and nothing is skipped.
void memory_pass(benchmark::State& state) {
  Evaluation evaluation(state.range(0), true);
  const auto add_bits = [](std::span<const double> values) {
    std::uint64_t total = 0;
    for (const double value : values) total += std::bit_cast<std::uint64_t>(value);
    return total;
  };
  for (auto _ : state) {
    std::uint64_t total = 0;
    for (const CsrMatrix& term : evaluation.objective.wtw_terms) {
      total += add_bits(term.values);
      for (const std::int32_t column : term.columns) total += static_cast<std::uint32_t>(column);
      for (const std::int32_t start : term.row_start) total += static_cast<std::uint32_t>(start);
    }
    total += add_bits(evaluation.m) + add_bits(evaluation.m_ref);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * evaluation.bytes(true));
  set_counters(state, evaluation.square.cells.npar);
}

BENCHMARK(build_without_dip)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(build_with_dip)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Second argument: 1 with the reference model in the derivatives (WTW), 0 without (the terms).
BENCHMARK(wtw_times_model_bench)
    ->Args({1000000, 1})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(term_norms_bench)
    ->Args({1000000, 1})
    ->Args({1000000, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(memory_pass)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

long minor_faults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// One build in this process, as a program that builds its objective once makes it.
int first_build(std::int64_t parameters, bool dip) {
  const Square square(parameters);
  const AlphaCoefficients alpha{1e-4, 1.0, 1.0};
  const std::string dip_name = dip ? dipping_file() : "";
  const DipSource dipping = dip ? DipSource::file(dip_name) : DipSource::none();
  ModelObjective objective;
  const long faults_before = minor_faults();
  const auto start = std::chrono::steady_clock::now();
  build_model_objective(bench_support::quiet_io(), square.mesh, square.cells, alpha,
                        WeightSource::ones(), dipping, true, objective);
  const auto end = std::chrono::steady_clock::now();
  const long faults = minor_faults() - faults_before;
  if (dip) std::remove(dip_name.c_str());
  if (objective.n_terms != (dip ? 4 : 3)) return 1;
  std::printf("first_build npar=%d dip=%d ms=%.3f page_faults=%ld\n", square.cells.npar,
              dip ? 1 : 0, std::chrono::duration<double, std::milli>(end - start).count(), faults);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2) {
    const std::string_view argument(argv[1]);
    for (const std::string_view flag : {"--first_build=", "--first_build_dip="}) {
      if (!argument.starts_with(flag)) continue;
      std::int64_t parameters = 0;
      const std::string_view number = argument.substr(flag.size());
      const auto [end, error] =
          std::from_chars(number.data(), number.data() + number.size(), parameters);
      if (error != std::errc() || end != number.data() + number.size() || parameters < 4) {
        std::fprintf(stderr, "objective_bench: bad number of parameters in %s\n", argv[1]);
        return 2;
      }
      return first_build(parameters, flag == "--first_build_dip=");
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
