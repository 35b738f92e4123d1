// The model's four costs on a 2000 by 1000 model, each beside the plain version it replaces:
// reading the model file (read_model against an `ifstream >> double` loop), writing it (write_model
// against a printf("%13.5E") loop), one smoothing pass (smooth_once against the scalar kernel with
// a copy back into the working model), and the logarithm and exponential over the model; and one
// pass with fixed cells, to be set beside the library's plain pass. The pairs see the same data in
// the same process; compare them as ratios.
//
// `model_bench --write_inputs=FOLDER` writes the mesh and the model the benchmarks use (mesh.txt,
// model.txt), and a topography and an active-cell file (topography.txt, active.txt), into FOLDER
// and exits: the whole-command benchmark script runs on the same files.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/smoothing/fixed_cells.hpp"
#include "quelby/smoothing/smooth.hpp"

namespace {

namespace fs = std::filesystem;

const quelby::Io& quiet_io = bench_support::quiet_io();

// A mesh of 2000 columns and 1000 rows: a core of near-equal cells, with padding columns on both
// sides and padding rows below whose widths grow outwards, as survey meshes are built. One core
// segment of 3000 m holds 599 cells, so not every width is a round number.
void write_mesh_file(const fs::path& path) {
  const int padding_widths[10] = {6, 8, 10, 13, 17, 22, 29, 38, 50, 65};
  const int cells_per_padding_segment = 10;
  std::ofstream out(path);
  long position = 0;
  out << (10 + 3 + 10) << '\n';
  out << position;
  for (int j = 9; j >= 0; --j) {
    position += padding_widths[j] * cells_per_padding_segment;
    out << ' ' << position << ' ' << cells_per_padding_segment << '\n';
  }
  for (const int core_cells : {600, 599, 601}) {
    position += 3000;
    out << position << ' ' << core_cells << '\n';
  }
  for (int j = 0; j < 10; ++j) {
    position += padding_widths[j] * cells_per_padding_segment;
    out << position << ' ' << cells_per_padding_segment << '\n';
  }
  const int depth_padding[10] = {3, 4, 5, 7, 9, 12, 16, 21, 28, 37};
  position = 0;
  out << (2 + 10) << '\n';
  out << position;
  for (const int core_rows : {450, 450}) {
    position += 900;
    out << ' ' << position << ' ' << core_rows << '\n';
  }
  for (int j = 0; j < 10; ++j) {
    position += depth_padding[j] * cells_per_padding_segment;
    out << position << ' ' << cells_per_padding_segment << '\n';
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Log-normal resistivities around 100 ohm-m, from a fixed seed.
std::vector<double> model_values(std::size_t count) {
  std::mt19937_64 generator(2024);
  std::normal_distribution<double> logarithm(std::log(100.0), 1.0);
  std::vector<double> values(count);
  for (double& value : values) value = std::exp(logarithm(generator));
  return values;
}

// The plain writer, also used to write the inputs: exponents of three digits would differ from
// the library's form, but log-normal values around 100 never need one.
void write_plain(const fs::path& path, std::size_t nx, std::size_t nz, const double* values) {
  std::FILE* const out = std::fopen(path.c_str(), "w");
  if (out == nullptr) throw std::runtime_error("cannot create " + path.string());
  std::fprintf(out, "%5zu%5zu\n", nx, nz);
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t i = 0; i < nx; ++i) std::fprintf(out, "%13.5E", values[k * nx + i]);
    std::fputc('\n', out);
  }
  if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + path.string());
}

// The plain reader: the header, then every value with `>>`.
bool read_plain(const fs::path& path, std::size_t nx, std::size_t nz, std::vector<double>& values) {
  std::ifstream in(path);
  std::size_t columns = 0;
  std::size_t rows = 0;
  in >> columns >> rows;
  if (columns != nx || rows != nz) return false;
  for (double& value : values) {
    if (!(in >> value)) return false;
  }
  return true;
}

// The plain kernel: every cell's clipped neighbourhood summed in its fixed order, one thread.
void smooth_plain(const std::vector<double>& dx, const std::vector<double>& dz,
                  const std::vector<double>& working, std::vector<double>& smoothed) {
  const std::size_t nx = dx.size();
  const std::size_t nz = dz.size();
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t i = 0; i < nx; ++i) {
      const std::size_t i_lo = i > 0 ? i - 1 : 0;
      const std::size_t i_hi = i + 1 < nx ? i + 1 : nx - 1;
      const std::size_t k_lo = k > 0 ? k - 1 : 0;
      const std::size_t k_hi = k + 1 < nz ? k + 1 : nz - 1;
      double sum = 0;
      double weights = 0;
      for (std::size_t kk = k_lo; kk <= k_hi; ++kk) {
        for (std::size_t ii = i_lo; ii <= i_hi; ++ii) {
          const double w = dx[ii] * dz[kk];
          sum += working[kk * nx + ii] * w;
          weights += w;
        }
      }
      smoothed[k * nx + i] = sum / weights;
    }
  }
}

// The files and arrays every benchmark shares, made on first use in a temporary folder that
// main removes at the end.
struct Inputs {
  fs::path folder;
  fs::path mesh_file;
  fs::path library_model_file;    // written by write_model
  fs::path reference_model_file;  // written by the plain writer
  quelby::Mesh mesh;
  std::vector<double> values;
  std::size_t cells = 0;
  std::int64_t file_bytes = 0;
};

fs::path make_temporary_folder() {
  std::string pattern = (fs::temp_directory_path() / "quelby_model_bench_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  return pattern;
}

fs::path created_folder;

const Inputs& inputs() {
  static const Inputs shared = [] {
    Inputs made;
    made.folder = created_folder = make_temporary_folder();
    made.mesh_file = made.folder / "mesh.txt";
    made.library_model_file = made.folder / "model_library.txt";
    made.reference_model_file = made.folder / "model_reference.txt";
    write_mesh_file(made.mesh_file);
    quelby::load_mesh(quiet_io, made.mesh_file.string(), made.mesh);
    made.cells = static_cast<std::size_t>(made.mesh.nx) * static_cast<std::size_t>(made.mesh.nz);
    made.values = model_values(made.cells);
    quelby::Model model(made.mesh.nx, made.mesh.nz);
    std::copy(made.values.begin(), made.values.end(), model.data());
    quelby::write_model(quiet_io, made.mesh, made.library_model_file.string(), model);
    write_plain(made.reference_model_file, made.mesh.dx.size(), made.mesh.dz.size(),
                made.values.data());
    made.file_bytes = static_cast<std::int64_t>(fs::file_size(made.library_model_file));
    return made;
  }();
  return shared;
}

void count_cells(benchmark::State& state, std::int64_t bytes_per_iteration = 0) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(inputs().cells));
  if (bytes_per_iteration > 0) state.SetBytesProcessed(state.iterations() * bytes_per_iteration);
}

// ---------------------------------------------------------------------------------------------
// Model file read. Both targets are allocated once, as the command allocates before it reads.

void read_library(benchmark::State& state) {
  const Inputs& in = inputs();
  quelby::Model model(in.mesh.nx, in.mesh.nz);
  const std::string name = in.library_model_file.string();
  for (auto _ : state) {
    quelby::read_model(quiet_io, in.mesh, name, "model", model);
    benchmark::DoNotOptimize(model.data());
    benchmark::ClobberMemory();
  }
  count_cells(state, in.file_bytes);
}

void read_reference(benchmark::State& state) {
  const Inputs& in = inputs();
  std::vector<double> values(in.cells);
  for (auto _ : state) {
    if (!read_plain(in.reference_model_file, in.mesh.dx.size(), in.mesh.dz.size(), values)) {
      state.SkipWithError("the plain reader failed");
      break;
    }
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  count_cells(state, in.file_bytes);
}

// ---------------------------------------------------------------------------------------------
// Model file write, to a file in the temporary folder, overwritten every iteration.

void write_library(benchmark::State& state) {
  const Inputs& in = inputs();
  quelby::Model model(in.mesh.nx, in.mesh.nz);
  std::copy(in.values.begin(), in.values.end(), model.data());
  const std::string name = (in.folder / "written_library.txt").string();
  for (auto _ : state) quelby::write_model(quiet_io, in.mesh, name, model);
  count_cells(state, in.file_bytes);
}

void write_reference(benchmark::State& state) {
  const Inputs& in = inputs();
  const fs::path name = in.folder / "written_reference.txt";
  for (auto _ : state) write_plain(name, in.mesh.dx.size(), in.mesh.dz.size(), in.values.data());
  count_cells(state, in.file_bytes);
}

// ---------------------------------------------------------------------------------------------
// One smoothing pass over the logarithms of the model, as the command runs it: the library swaps
// its two models, the plain version copies the smoothed model back into the working one.

void pass_library(benchmark::State& state) {
  const Inputs& in = inputs();
  quelby::Model working(in.mesh.nx, in.mesh.nz);
  quelby::Model smoothed(in.mesh.nx, in.mesh.nz);
  std::copy(in.values.begin(), in.values.end(), working.data());
  quelby::log_in_place(working.values());
  for (auto _ : state) {
    quelby::smooth_once(in.mesh, working, smoothed);
    working.swap(smoothed);
    benchmark::DoNotOptimize(working.data());
    benchmark::ClobberMemory();
  }
  count_cells(state);
}

void pass_reference(benchmark::State& state) {
  const Inputs& in = inputs();
  std::vector<double> working(in.values);
  std::vector<double> smoothed(in.cells);
  for (double& value : working) value = std::log(value);
  for (auto _ : state) {
    smooth_plain(in.mesh.dx, in.mesh.dz, working, smoothed);
    working = smoothed;
    benchmark::DoNotOptimize(working.data());
    benchmark::ClobberMemory();
  }
  count_cells(state);
}

// ---------------------------------------------------------------------------------------------
// One pass with fixed cells, beside pass_library. Three masks: a ground surface that leaves 20 to
// 100 rows of air above it across the section (as a topography does: most rows hold no fixed
// cell); the surface with inactive padding columns on both sides and rows at the bottom (every row
// holds fixed cells, most of each row sees none); and one cell in 20 fixed at random all over
// (the worst case: nearly every cell sees a fixed cell).

std::vector<std::uint8_t> surface_mask(const quelby::Mesh& mesh) {
  std::vector<std::uint8_t> fixed(static_cast<std::size_t>(mesh.nx) * mesh.nz, 0);
  for (std::int32_t i = 0; i < mesh.nx; ++i) {
    const double x = static_cast<double>(i) / mesh.nx;
    const auto air = static_cast<std::int32_t>(60 + 40 * std::sin(9.0 * x) * std::cos(2.0 * x));
    for (std::int32_t k = 0; k < air && k < mesh.nz; ++k) {
      fixed[static_cast<std::size_t>(k) * mesh.nx + i] = 1;
    }
  }
  return fixed;
}

// The surface, and inactive padding: the 20 outermost columns on each side and the 10 deepest rows.
std::vector<std::uint8_t> padding_mask(const quelby::Mesh& mesh) {
  std::vector<std::uint8_t> fixed = surface_mask(mesh);
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      if (i < 20 || i >= mesh.nx - 20 || k >= mesh.nz - 10) {
        fixed[static_cast<std::size_t>(k) * mesh.nx + i] = 1;
      }
    }
  }
  return fixed;
}

std::vector<std::uint8_t> scattered_mask(const quelby::Mesh& mesh) {
  std::mt19937_64 generator(15);
  std::bernoulli_distribution is_fixed(0.05);
  std::vector<std::uint8_t> fixed(static_cast<std::size_t>(mesh.nx) * mesh.nz);
  for (auto& flag : fixed) flag = is_fixed(generator) ? 1 : 0;
  return fixed;
}

void run_masked_passes(benchmark::State& state, const std::vector<std::uint8_t>& flags) {
  const Inputs& in = inputs();
  const quelby::FixedCells fixed(in.mesh.nx, in.mesh.nz, flags);
  quelby::Model working(in.mesh.nx, in.mesh.nz);
  quelby::Model smoothed(in.mesh.nx, in.mesh.nz);
  std::copy(in.values.begin(), in.values.end(), working.data());
  quelby::log_in_place(working.values(), fixed);
  for (auto _ : state) {
    quelby::smooth_once(in.mesh, fixed, working, smoothed);
    working.swap(smoothed);
    benchmark::DoNotOptimize(working.data());
    benchmark::ClobberMemory();
  }
  count_cells(state);
}

void pass_masked_surface(benchmark::State& state) {
  run_masked_passes(state, surface_mask(inputs().mesh));
}

void pass_masked_padding(benchmark::State& state) {
  run_masked_passes(state, padding_mask(inputs().mesh));
}

void pass_masked_scattered(benchmark::State& state) {
  run_masked_passes(state, scattered_mask(inputs().mesh));
}

// ---------------------------------------------------------------------------------------------
// The logarithm and then the exponential of every value: the two element-wise steps of the
// command, run as a pair so that the values stay those of the model.

void log_exp_library(benchmark::State& state) {
  const Inputs& in = inputs();
  quelby::Model model(in.mesh.nx, in.mesh.nz);
  std::copy(in.values.begin(), in.values.end(), model.data());
  for (auto _ : state) {
    quelby::log_in_place(model.values());
    quelby::exp_in_place(model.values());
    benchmark::DoNotOptimize(model.data());
    benchmark::ClobberMemory();
  }
  count_cells(state);
}

void log_exp_reference(benchmark::State& state) {
  const Inputs& in = inputs();
  std::vector<double> values(in.values);
  for (auto _ : state) {
    for (double& value : values) value = std::log(value);
    for (double& value : values) value = std::exp(value);
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  count_cells(state);
}

// Wall-clock time throughout: the library's steps run on both cores.
BENCHMARK(read_library)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(read_reference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(write_library)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(write_reference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pass_library)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pass_reference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pass_masked_surface)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pass_masked_padding)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(pass_masked_scattered)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(log_exp_library)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(log_exp_reference)->Unit(benchmark::kMillisecond)->UseRealTime();

// A topography and an active-cell file for the command with fixed cells, as the padding mask: a
// surface 40 to 200 m deep (20 to 100 rows of air), and inactive padding of 20 columns on each
// side and the 10 deepest rows.
void write_fixed_cell_files(const fs::path& folder, const quelby::Mesh& mesh) {
  std::ofstream topography(folder / "topography.txt");
  const double first = mesh.x_nodes.front();
  const double last = mesh.x_nodes.back();
  const int points = 200;
  topography << points << " 0\n";
  for (int p = 0; p < points; ++p) {
    const double x = first + (last - first) * p / (points - 1);
    const double t = (x - first) / (last - first);
    topography << x << ' ' << -(120 + 80 * std::sin(9.0 * t) * std::cos(2.0 * t)) << '\n';
  }
  std::ofstream active(folder / "active.txt");
  active << mesh.nx << ' ' << mesh.nz << '\n';
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    if (k >= mesh.nz - 10) {
      active << mesh.nx << "*0\n";
    } else {
      active << "20*0 " << mesh.nx - 40 << "*1 20*0\n";
    }
  }
  if (!topography || !active) throw std::runtime_error("cannot write the fixed-cell files");
}

// Writes the benchmark's mesh and model (in the plain writer's form) into `folder`.
int write_inputs(const fs::path& folder) {
  write_mesh_file(folder / "mesh.txt");
  quelby::Mesh mesh;
  quelby::load_mesh(quiet_io, (folder / "mesh.txt").string(), mesh);
  const std::vector<double> values =
      model_values(static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz));
  write_plain(folder / "model.txt", mesh.dx.size(), mesh.dz.size(), values.data());
  write_fixed_cell_files(folder, mesh);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view inputs_flag = "--write_inputs=";
  try {
    if (argc == 2 && std::string_view(argv[1]).starts_with(inputs_flag)) {
      return write_inputs(std::string_view(argv[1]).substr(inputs_flag.size()));
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  } catch (const std::exception& error) {
    std::cerr << "model_bench: " << error.what() << '\n';
    if (!created_folder.empty()) fs::remove_all(created_folder);
    return 1;
  }
  if (!created_folder.empty()) fs::remove_all(created_folder);
  return 0;
}
