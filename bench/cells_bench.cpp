// The cell readers on n by n meshes of 10^4, 10^5 and 10^6 cells (n = 100, 316, 1000):
// read_active_cells from a file of n^2 flags, set_weights from a weighting file of three blocks,
// and read_dipping with ten zones of 200 vertices; beside them the zone assignment alone, and the
// literal cell-by-cell assignment of tests/cells on 10^4 cells. The counter s_per_cell is the
// time per mesh cell: every reader's should stay flat (within 1.3 times) from 10^4 to 10^6 cells.
// Every mesh spans the same 1000 by 1000 square, so the zones cover the same share of cells at
// every size.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/dipping.hpp"
#include "tests/regularization/zone_literal.hpp"

namespace {

namespace fs = std::filesystem;

const quelby::Io& quiet_io = bench_support::quiet_io();

constexpr double domain = 1000;

// An n by n mesh over the domain.
quelby::Mesh square_mesh(const std::int32_t n) {
  quelby::Mesh mesh;
  mesh.nx = mesh.nz = n;
  const double width = domain / n;
  for (std::int32_t i = 0; i <= n; ++i) {
    mesh.x_nodes.push_back(width * i);
    mesh.z_nodes.push_back(width * i);
  }
  mesh.dx.assign(static_cast<std::size_t>(n), width);
  mesh.dz.assign(static_cast<std::size_t>(n), width);
  return mesh;
}

// Ten concave star-shaped zones of 200 vertices spread over the domain, some overlapping.
std::vector<quelby::Region> ten_zones() {
  std::vector<quelby::Region> regions(10);
  for (std::size_t j = 0; j < regions.size(); ++j) {
    const double cx = 120 + 85.0 * j;
    const double cz = 150 + 70.0 * static_cast<double>((j * 7) % 10);
    const double radius = 90 + 10.0 * static_cast<double>(j % 4);
    for (int v = 0; v < 200; ++v) {
      const double angle = 2 * M_PI * v / 200 * ((j % 2) != 0 ? 1 : -1);
      const double r = radius * (1 + 0.35 * std::sin(7 * angle + j));
      regions[j].x.push_back(cx + r * std::cos(angle));
      regions[j].z.push_back(cz + r * std::sin(angle));
    }
  }
  return regions;
}

using bench_support::folder;

struct Files {
  std::string active;
  std::string weights;
  std::string dipping;
};

// The three files for an n by n mesh, written on first use.
const Files& files(const std::int32_t n) {
  static std::map<std::int32_t, Files> written;
  if (const auto found = written.find(n); found != written.end()) return found->second;
  {
    Files f;
    f.active = (folder() / ("cells_" + std::to_string(n) + ".act")).string();
    {
      std::ofstream out(f.active);
      out << n << ' ' << n << '\n';
      for (std::int32_t k = 0; k < n; ++k) {
        for (std::int32_t i = 0; i < n; ++i) out << ((i * 7 + k) % 11 == 0 ? "0 " : "1 ");
        out << '\n';
      }
    }
    f.weights = (folder() / ("weights_" + std::to_string(n) + ".txt")).string();
    {
      std::ofstream out(f.weights);
      out << n << ' ' << n << '\n';
      const auto block = [&](std::int32_t columns, std::int32_t rows) {
        for (std::int32_t k = 0; k < rows; ++k) {
          for (std::int32_t i = 0; i < columns; ++i) out << 1.0 + 0.001 * ((i + k) % 997) << ' ';
          out << '\n';
        }
      };
      block(n, n);
      block(n - 1, n);
      block(n, n - 1);
    }
    f.dipping = (folder() / ("dipping_" + std::to_string(n) + ".txt")).string();
    {
      std::ofstream out(f.dipping);
      out.precision(17);
      out << "1e-4 1 1 0\n10\n";
      const std::vector<quelby::Region> regions = ten_zones();
      for (std::size_t j = 0; j < regions.size(); ++j) {
        out << "1e-4 1 0.5 " << 10.0 * j << " 200\n";
        for (std::size_t v = 0; v < 200; ++v)
          out << regions[j].x[v] << ' ' << regions[j].z[v] << '\n';
      }
    }
    written.emplace(n, f);
  }
  return written.at(n);
}

void per_cell(benchmark::State& state, const double cells) {
  state.counters["s_per_cell"] = benchmark::Counter(
      cells, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void read_active_cells(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const quelby::Mesh mesh = square_mesh(n);
  quelby::Topography topography;
  topography.air_cells.assign(static_cast<std::size_t>(n), 2);
  const std::string& name = files(n).active;
  for (auto _ : state) {
    quelby::ActiveCells cells;
    quelby::read_active_cells(quiet_io, mesh, topography, name, cells);
    benchmark::DoNotOptimize(cells.cell_idx.data());
  }
  per_cell(state, static_cast<double>(n) * n);
}

void set_weights(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const quelby::Mesh mesh = square_mesh(n);
  const std::string& name = files(n).weights;
  quelby::CellArray s(n, n);
  quelby::CellArray x(n, n);
  quelby::CellArray z(n, n);
  for (auto _ : state) {
    quelby::set_weights(quiet_io, mesh, 1, {name, "", ""}, s, x, z);
    benchmark::DoNotOptimize(s.data());
  }
  per_cell(state, static_cast<double>(n) * n);
}

void read_dipping(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const quelby::Mesh mesh = square_mesh(n);
  const std::string& name = files(n).dipping;
  std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  for (auto _ : state) {
    std::int32_t nzone = 0;
    quelby::DippingZones zones;
    quelby::read_dipping(quiet_io, mesh, {}, 1, name, zone_idx, nzone, zones);
    benchmark::DoNotOptimize(zone_idx.data());
  }
  per_cell(state, static_cast<double>(n) * n);
}

void assign_zones(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const quelby::Mesh mesh = square_mesh(n);
  const std::vector<quelby::Region> regions = ten_zones();
  std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  for (auto _ : state) {
    quelby::assign_zones(mesh, regions, zone_idx);
    benchmark::DoNotOptimize(zone_idx.data());
  }
  per_cell(state, static_cast<double>(zone_idx.size()));
}

void literal_zones(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const quelby::Mesh mesh = square_mesh(n);
  const std::vector<quelby::Region> regions = ten_zones();
  for (auto _ : state) {
    std::vector<std::int32_t> zones = quelby::testing::literal_zones(mesh, regions);
    benchmark::DoNotOptimize(zones.data());
  }
  per_cell(state, static_cast<double>(n) * n);
}

}  // namespace

BENCHMARK(read_active_cells)->Arg(100)->Arg(316)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(set_weights)->Arg(100)->Arg(316)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(read_dipping)->Arg(100)->Arg(316)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(assign_zones)->Arg(100)->Arg(316)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(literal_zones)->Arg(100)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
