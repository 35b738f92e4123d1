#include "quelby/smoothing/smooth.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace quelby {
namespace {

Mesh mesh_of(std::vector<double> dx, std::vector<double> dz) {
  Mesh mesh;
  mesh.nx = static_cast<std::int32_t>(dx.size());
  mesh.nz = static_cast<std::int32_t>(dz.size());
  mesh.dx = std::move(dx);
  mesh.dz = std::move(dz);
  return mesh;
}

Model model_of(const Mesh& mesh, const std::vector<double>& values) {
  Model model(mesh.nx, mesh.nz);
  std::copy(values.begin(), values.end(), model.data());
  return model;
}

std::vector<double> smoothed(const Mesh& mesh, const std::vector<double>& values) {
  const Model source = model_of(mesh, values);
  Model target(mesh.nx, mesh.nz);
  smooth_once(mesh, source, target);
  return {target.data(), target.data() + target.size()};
}

// The pass as written: clipped bounds, sums from zero by rows, then columns, one term at a time.
std::vector<double> literal_pass(const Mesh& mesh, const std::vector<double>& source) {
  const int nx = mesh.nx;
  const int nz = mesh.nz;
  std::vector<double> target(source.size());
  for (int k = 1; k <= nz; ++k) {
    for (int i = 1; i <= nx; ++i) {
      const int i_lo = std::max(i - 1, 1), i_hi = std::min(i + 1, nx);
      const int k_lo = std::max(k - 1, 1), k_hi = std::min(k + 1, nz);
      double s = 0, w_sum = 0;
      for (int kk = k_lo; kk <= k_hi; ++kk) {
        for (int ii = i_lo; ii <= i_hi; ++ii) {
          const double w = mesh.dx[ii - 1] * mesh.dz[kk - 1];
          s = s + source[(kk - 1) * nx + (ii - 1)] * w;
          w_sum = w_sum + w;
        }
      }
      target[(k - 1) * nx + (i - 1)] = s / w_sum;
    }
  }
  return target;
}

TEST(Smooth, SpreadsACentreValueOverItsNeighbourhood) {
  const Mesh mesh = mesh_of({1, 1, 1}, {1, 1, 1});
  EXPECT_EQ(smoothed(mesh, {0, 0, 0, 0, 9, 0, 0, 0, 0}),
            (std::vector<double>{2.25, 1.5, 2.25, 1.5, 1, 1.5, 2.25, 1.5, 2.25}));
}

TEST(Smooth, WeighsCellsByTheirArea) {
  const Mesh mesh = mesh_of({1, 3}, {1});
  EXPECT_EQ(smoothed(mesh, {0, 4}), (std::vector<double>{3, 3}));
}

TEST(Smooth, KeepsAConstantAndASingleCell) {
  const Mesh mesh = mesh_of({1, 2.5, 7, 0.3}, {2, 0.1, 5});
  for (const double value : smoothed(mesh, std::vector<double>(12, std::log(100.0)))) {
    EXPECT_NEAR(value, std::log(100.0), 1e-14);
  }
  EXPECT_EQ(smoothed(mesh_of({3}, {7}), {4.5}), (std::vector<double>{4.5}));
}

TEST(Smooth, InfinitiesAndNaNSpreadToEveryNeighbourhoodTheyLieIn) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Mesh mesh = mesh_of({1, 1, 1, 1}, {1});
  const std::vector<double> minus = smoothed(mesh, {-inf, 0, 0, 0});
  EXPECT_EQ(minus[0], -inf);
  EXPECT_EQ(minus[1], -inf);
  EXPECT_EQ(minus[2], 0);
  const std::vector<double> both = smoothed(mesh, {-inf, 0, inf, 0});
  EXPECT_EQ(both[0], -inf);
  EXPECT_TRUE(std::isnan(both[1]));
  EXPECT_EQ(both[3], inf);
  const std::vector<double> not_a_number = smoothed(mesh, {0, 0, 0, nan});
  EXPECT_EQ(not_a_number[1], 0);
  EXPECT_TRUE(std::isnan(not_a_number[2]) && std::isnan(not_a_number[3]));
}

// The vectorised, parallel pass gives the bits of the literal pass on every shape of mesh.
TEST(Smooth, MatchesTheLiteralPassBitForBit) {
  std::mt19937_64 random(1208);
  std::uniform_real_distribution<double> width(0.01, 100);
  std::normal_distribution<double> value(4.6, 2.0);
  const std::vector<std::pair<int, int>> fixed_shapes = {{1, 1}, {1, 7}, {7, 1},    {2, 2},
                                                         {3, 2}, {2, 3}, {400, 300}};
  for (int n = 0; n < 200; ++n) {
    int nx, nz;
    if (n < static_cast<int>(fixed_shapes.size())) {
      std::tie(nx, nz) = fixed_shapes[n];
    } else {
      nx = std::uniform_int_distribution<int>(1, 40)(random);
      nz = std::uniform_int_distribution<int>(1, 40)(random);
    }
    std::vector<double> dx(nx), dz(nz), values(static_cast<std::size_t>(nx) * nz);
    for (double& w : dx) w = width(random);
    for (double& w : dz) w = width(random);
    for (double& v : values) {
      const int kind = std::uniform_int_distribution<int>(0, 200)(random);
      v = kind == 0   ? -std::numeric_limits<double>::infinity()
          : kind == 1 ? std::numeric_limits<double>::quiet_NaN()
          : kind == 2 ? -0.0
                      : value(random);
    }
    const Mesh mesh = mesh_of(dx, dz);
    const std::vector<double> fast = smoothed(mesh, values);
    const std::vector<double> literal = literal_pass(mesh, values);
    ASSERT_EQ(fast.size(), literal.size());
    for (std::size_t j = 0; j < fast.size(); ++j) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(fast[j]), std::bit_cast<std::uint64_t>(literal[j]))
          << nx << " by " << nz << ", cell " << j;
    }
  }
}

// Many passes in sweeps against the literal pass applied again and again, on meshes from one row
// or column to wide ones (where a sweep holds fewer passes, down to one at 21845 columns, and
// beyond which the passes go one by one through the spare model), for every count of passes up to
// three sweeps and more. A sweep in place never touches the spare model.
TEST(Smooth, CyclesMatchTheLiteralPassesBitForBit) {
  std::mt19937_64 random(2026);
  std::uniform_real_distribution<double> width(0.01, 100);
  std::normal_distribution<double> value(4.6, 2.0);
  // Rows enough for the threads to take bands of their own (with the rows copied at the borders),
  // and meshes too wide to be smoothed in place.
  const std::vector<std::pair<int, int>> fixed_shapes = {
      {1, 1},     {1, 9},     {9, 1},     {2, 2},     {3, 40},    {40, 3},
      {30000, 5}, {300, 200}, {64, 700},  {7, 3000},  {5000, 7},  {25000, 3},
      {2, 9000},  {300, 61},  {10922, 4}, {10923, 4}, {21845, 3}, {21846, 3}};
  for (int n = 0; n < 80; ++n) {
    int nx, nz;
    if (n < static_cast<int>(fixed_shapes.size())) {
      std::tie(nx, nz) = fixed_shapes[n];
    } else {
      nx = std::uniform_int_distribution<int>(1, 60)(random);
      nz = std::uniform_int_distribution<int>(1, 60)(random);
    }
    const int cycles = n < static_cast<int>(fixed_shapes.size())
                           ? 1 + (n * 3) % 25
                           : std::uniform_int_distribution<int>(1, 26)(random);
    std::vector<double> dx(nx), dz(nz), values(static_cast<std::size_t>(nx) * nz);
    for (double& w : dx) w = width(random);
    for (double& w : dz) w = width(random);
    for (double& v : values) {
      const int kind = std::uniform_int_distribution<int>(0, 400)(random);
      v = kind == 0 ? -std::numeric_limits<double>::infinity() : value(random);
    }
    const Mesh mesh = mesh_of(dx, dz);
    std::vector<double> literal = values;
    for (int c = 0; c < cycles; ++c) literal = literal_pass(mesh, literal);
    Model working = model_of(mesh, values);
    Model spare(mesh.nx, mesh.nz);
    std::fill(spare.values().begin(), spare.values().end(), 12345.0);
    smooth_cycles(mesh, working, spare, cycles);
    if (nx <= 21845) {
      EXPECT_TRUE(std::all_of(spare.values().begin(), spare.values().end(),
                              [](double v) { return v == 12345.0; }))
          << nx << " by " << nz;
    }
    for (std::size_t j = 0; j < literal.size(); ++j) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(working.data()[j]),
                std::bit_cast<std::uint64_t>(literal[j]))
          << nx << " by " << nz << ", " << cycles << " cycles, cell " << j;
    }
  }
}

TEST(Smooth, LogAndExpAreElementWise) {
  std::vector<double> values = {1, std::exp(2.0), 0, -1};
  std::vector<double> many(100000);
  for (std::size_t j = 0; j < many.size(); ++j) many[j] = 0.5 + static_cast<double>(j);
  std::vector<double> expected = many;
  for (double& v : expected) v = std::exp(std::log(v));
  log_in_place(values);
  EXPECT_EQ(values[0], 0);
  EXPECT_EQ(values[1], std::log(std::exp(2.0)));
  EXPECT_EQ(values[2], -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(values[3]) && std::signbit(values[3]));
  log_in_place(many);
  exp_in_place(many);
  EXPECT_EQ(many, expected);
}

}  // namespace
}  // namespace quelby
