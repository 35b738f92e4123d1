// The pass with fixed cells against its literal oracle, against the plain pass when nothing is
// fixed, and against the ground alone when the air holds a placeholder.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "quelby/smoothing/fixed_cells.hpp"
#include "quelby/smoothing/smooth.hpp"
#include "tests/smoothing/masked_literal.hpp"

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

std::vector<double> values_of(const Model& model) {
  return {model.data(), model.data() + model.size()};
}

// The same bits in every cell; any NaN matches any NaN (which of two NaN operands an addition
// passes on, and the sign of a NaN made from infinities, belong to the machine, and every NaN is
// written as NaN).
void expect_same_bits(const std::vector<double>& actual, const std::vector<double>& expected,
                      const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what;
  for (std::size_t j = 0; j < actual.size(); ++j) {
    if (std::isnan(actual[j]) && std::isnan(expected[j])) continue;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(actual[j]), std::bit_cast<std::uint64_t>(expected[j]))
        << what << ", cell " << j << ": " << actual[j] << " against " << expected[j];
  }
}

// `cycles` masked passes as the command runs them (smooth_cycles), checked against the passes run
// one by one with smooth_once and the models swapped after each.
std::vector<double> masked_passes(const Mesh& mesh, const std::vector<std::uint8_t>& fixed,
                                  const std::vector<double>& values, int cycles) {
  const FixedCells cells(mesh.nx, mesh.nz, fixed);
  Model working = model_of(mesh, values);
  Model smoothed(mesh.nx, mesh.nz);
  smooth_cycles(mesh, cells, working, smoothed, cycles);
  Model one_by_one = model_of(mesh, values);
  Model next(mesh.nx, mesh.nz);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    smooth_once(mesh, cells, one_by_one, next);
    one_by_one.swap(next);
  }
  expect_same_bits(values_of(working), values_of(one_by_one), "smooth_cycles against smooth_once");
  return values_of(working);
}

// Values with the odd infinity, NaN and negative zero, in free and fixed cells alike.
double random_value(std::mt19937_64& random) {
  const int kind = std::uniform_int_distribution<int>(0, 150)(random);
  if (kind == 0) return -std::numeric_limits<double>::infinity();
  if (kind == 1) return std::numeric_limits<double>::infinity();
  if (kind == 2) return std::numeric_limits<double>::quiet_NaN();
  if (kind == 3) return -0.0;
  return std::normal_distribution<double>(4.6, 2.0)(random);
}

TEST(MaskedSmooth, MatchesTheLiteralPassOnRandomMeshesAndMasks) {
  std::mt19937_64 random(1509);
  std::uniform_real_distribution<double> width(0.01, 100);
  const std::vector<std::pair<int, int>> fixed_shapes = {{1, 1}, {1, 7}, {7, 1}, {2, 2},
                                                         {3, 2}, {2, 3}, {3, 3}, {300, 200}};
  // Shares of fixed cells, and masks shaped as a ground surface (air above a rough line).
  const std::vector<double> shares = {0.0, 0.05, 0.3, 0.7, 0.95, 1.0, -1.0};
  for (int n = 0; n < 240; ++n) {
    int nx, nz;
    if (n < static_cast<int>(fixed_shapes.size())) {
      std::tie(nx, nz) = fixed_shapes[n];
    } else {
      nx = std::uniform_int_distribution<int>(1, 40)(random);
      nz = std::uniform_int_distribution<int>(1, 40)(random);
    }
    const double share = shares[static_cast<std::size_t>(n) % shares.size()];
    std::vector<double> dx(nx), dz(nz), values(static_cast<std::size_t>(nx) * nz);
    for (double& w : dx) w = width(random);
    for (double& w : dz) w = width(random);
    for (double& v : values) v = random_value(random);
    std::vector<std::uint8_t> fixed(values.size());
    if (share >= 0) {
      std::bernoulli_distribution is_fixed(share);
      for (auto& flag : fixed) flag = is_fixed(random) ? 1 : 0;
    } else {
      std::uniform_int_distribution<int> air(0, nz);
      for (int i = 0; i < nx; ++i) {
        const int air_cells = air(random);
        for (int k = 0; k < air_cells; ++k) fixed[static_cast<std::size_t>(k) * nx + i] = 1;
      }
    }
    const Mesh mesh = mesh_of(dx, dz);
    std::vector<double> literal = values;
    for (int cycle = 0; cycle < 3; ++cycle) literal = masked_literal::pass(dx, dz, fixed, literal);
    expect_same_bits(
        masked_passes(mesh, fixed, values, 3), literal,
        std::to_string(nx) + " by " + std::to_string(nz) + ", share " + std::to_string(share));
    if (HasFatalFailure()) return;
  }
}

// Wide meshes with blocks of fixed cells, so that masked rows hold long stretches that see no fixed
// cell (taken by the plain sums) beside short and long fixed stretches.
TEST(MaskedSmooth, MatchesTheLiteralPassWithBlocksOfFixedCells) {
  std::mt19937_64 random(2015);
  for (int n = 0; n < 40; ++n) {
    const int nx = std::uniform_int_distribution<int>(50, 400)(random);
    const int nz = std::uniform_int_distribution<int>(2, 30)(random);
    std::vector<double> dx(nx), dz(nz), values(static_cast<std::size_t>(nx) * nz);
    for (double& w : dx) w = std::uniform_real_distribution<double>(0.5, 20)(random);
    for (double& w : dz) w = std::uniform_real_distribution<double>(0.5, 20)(random);
    for (double& v : values) v = random_value(random);
    std::vector<std::uint8_t> fixed(values.size(), 0);
    const int blocks = std::uniform_int_distribution<int>(1, 6)(random);
    for (int b = 0; b < blocks; ++b) {
      const int i0 = std::uniform_int_distribution<int>(0, nx - 1)(random);
      const int k0 = std::uniform_int_distribution<int>(0, nz - 1)(random);
      const int width = std::uniform_int_distribution<int>(1, 80)(random);
      const int height = std::uniform_int_distribution<int>(1, 6)(random);
      for (int k = k0; k < std::min(nz, k0 + height); ++k) {
        for (int i = i0; i < std::min(nx, i0 + width); ++i) fixed[k * nx + i] = 1;
      }
    }
    std::vector<double> literal = values;
    for (int cycle = 0; cycle < 2; ++cycle) literal = masked_literal::pass(dx, dz, fixed, literal);
    expect_same_bits(masked_passes(mesh_of(dx, dz), fixed, values, 2), literal,
                     std::to_string(nx) + " by " + std::to_string(nz) + " with blocks");
    if (HasFatalFailure()) return;
  }
}

TEST(MaskedSmooth, WithNoFixedCellIsThePlainPassByteForByte) {
  std::mt19937_64 random(77);
  for (const auto& [nx, nz] :
       std::vector<std::pair<int, int>>{{1, 1}, {1, 5}, {5, 1}, {2, 2}, {37, 23}, {401, 97}}) {
    std::vector<double> dx(nx), dz(nz), values(static_cast<std::size_t>(nx) * nz);
    for (double& w : dx) w = std::uniform_real_distribution<double>(0.1, 50)(random);
    for (double& w : dz) w = std::uniform_real_distribution<double>(0.1, 50)(random);
    for (double& v : values) v = std::exp(random_value(random));
    const Mesh mesh = mesh_of(dx, dz);
    const std::vector<std::uint8_t> none(values.size(), 0);
    const FixedCells cells(mesh.nx, mesh.nz, none);

    Model plain = model_of(mesh, values);
    Model masked = model_of(mesh, values);
    Model plain_next(mesh.nx, mesh.nz);
    Model masked_next(mesh.nx, mesh.nz);
    log_in_place(plain.values());
    log_in_place(masked.values(), cells);
    for (int cycle = 0; cycle < 4; ++cycle) {
      smooth_once(mesh, plain, plain_next);
      smooth_once(mesh, cells, masked, masked_next);
      plain.swap(plain_next);
      masked.swap(masked_next);
    }
    exp_in_place(plain.values());
    exp_in_place(masked.values(), cells);
    expect_same_bits(values_of(masked), values_of(plain),
                     std::to_string(nx) + " by " + std::to_string(nz));
  }
}

// A flat ground surface under `air` rows: the ground of the whole mesh, its air holding 1.0E-8,
// comes out as the ground mesh alone gives it, and the air as it went in.
TEST(MaskedSmooth, AirHoldingAPlaceholderGivesTheGroundAlone) {
  std::mt19937_64 random(4);
  for (const int air : {1, 2, 5}) {
    const int nx = 23, ground_rows = 17, nz = air + ground_rows;
    std::vector<double> dx(nx), dz(nz);
    for (double& w : dx) w = std::uniform_real_distribution<double>(1, 30)(random);
    for (double& w : dz) w = std::uniform_real_distribution<double>(1, 30)(random);
    std::vector<double> values(static_cast<std::size_t>(nx) * nz, 1.0E-8);
    std::vector<std::uint8_t> fixed(values.size(), 0);
    for (std::size_t j = 0; j < values.size(); ++j) {
      if (static_cast<int>(j) / nx < air) {
        fixed[j] = 1;
      } else {
        values[j] = std::exp(std::normal_distribution<double>(4.6, 1.5)(random));
      }
    }
    const Mesh whole = mesh_of(dx, dz);
    const Mesh ground = mesh_of(dx, std::vector<double>(dz.begin() + air, dz.end()));
    const std::vector<double> ground_values(values.begin() + air * nx, values.end());

    const FixedCells cells(whole.nx, whole.nz, fixed);
    Model with_air = model_of(whole, values);
    Model with_air_next(whole.nx, whole.nz);
    Model alone = model_of(ground, ground_values);
    Model alone_next(ground.nx, ground.nz);
    log_in_place(with_air.values(), cells);
    log_in_place(alone.values());
    for (int cycle = 0; cycle < 5; ++cycle) {
      smooth_once(whole, cells, with_air, with_air_next);
      smooth_once(ground, alone, alone_next);
      with_air.swap(with_air_next);
      alone.swap(alone_next);
    }
    exp_in_place(with_air.values(), cells);
    exp_in_place(alone.values());
    const std::vector<double> result = values_of(with_air);
    expect_same_bits(std::vector<double>(result.begin() + air * nx, result.end()), values_of(alone),
                     "ground under " + std::to_string(air) + " air rows");
    for (int j = 0; j < air * nx; ++j) ASSERT_EQ(result[j], 1.0E-8) << "air cell " << j;
  }
}

TEST(MaskedSmooth, FixedAndLoneCellsKeepTheirValuesAndStayOutOfEverySum) {
  struct Case {
    const char* what;
    std::vector<double> dx, dz;
    std::vector<std::uint8_t> fixed;
    std::vector<double> source, expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      // The centre's 9 reaches only the free cells; the fixed corners keep 0, -5, NaN and 7.
      {"3 by 3, fixed corners",
       {1, 1, 1},
       {1, 1, 1},
       {1, 0, 1, 0, 0, 0, 1, 0, 1},
       {0, 0, -5, 0, 9, 0, nan, 0, 7},
       {0, 9.0 / 4, -5, 9.0 / 4, 9.0 / 5, 9.0 / 4, nan, 9.0 / 4, 7}},
      // A free centre among fixed cells keeps its value, not (v * w) / w.
      {"lone centre",
       {1, 3, 1},
       {0.7, 1, 0.3},
       {1, 1, 1, 1, 0, 1, 1, 1, 1},
       {1, 2, 3, 4, 0.1, 6, 7, 8, 9},
       {1, 2, 3, 4, 0.1, 6, 7, 8, 9}},
      // Widths 1 and 3 but the wide cell fixed: the free cell keeps its own value.
      {"two cells, one fixed", {1, 3}, {1}, {0, 1}, {5, -1}, {5, -1}},
      // Both ends have the fixed middle as their only neighbour: they keep their values.
      {"row of three, middle fixed", {1, 2, 3}, {1}, {0, 1, 0}, {4, 100, 8}, {4, 100, 8}},
      // The fixed cell's infinity does not reach its neighbours.
      {"row of three, fixed infinity",
       {1, 1, 2},
       {1},
       {1, 0, 0},
       {std::numeric_limits<double>::infinity(), 3, 6},
       {std::numeric_limits<double>::infinity(), (3.0 + 12.0) / 3, (3.0 + 12.0) / 3}},
      // A single free cell with no neighbour at all is the plain pass's cell.
      {"1 by 1", {3}, {7}, {0}, {4.5}, {4.5 * 21 / 21}},
      {"all fixed", {1, 1}, {1, 1}, {1, 1, 1, 1}, {0, -1, nan, 2}, {0, -1, nan, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Mesh mesh = mesh_of(c.dx, c.dz);
    expect_same_bits(masked_passes(mesh, c.fixed, c.source, 1), c.expected, c.what);
    expect_same_bits(masked_literal::pass(c.dx, c.dz, c.fixed, c.source), c.expected, c.what);
  }
}

TEST(MaskedSmooth, LogAndExpLeaveKeptCellsAlone) {
  const Mesh mesh = mesh_of({1, 1, 1}, {1});
  // The last cell is fixed; the other two are free neighbours, so only the fixed cell is left.
  const FixedCells cells(3, 1, std::vector<std::uint8_t>{0, 0, 1});
  std::vector<double> values = {std::exp(1.0), 1.0, -3.0};
  log_in_place(values, cells);
  EXPECT_EQ(values, (std::vector<double>{std::log(std::exp(1.0)), 0.0, -3.0}));
  exp_in_place(values, cells);
  EXPECT_EQ(values, (std::vector<double>{std::exp(std::log(std::exp(1.0))), 1.0, -3.0}));
  // A lone free cell keeps its value exactly: it is never taken into the logarithm.
  const FixedCells lone(3, 1, std::vector<std::uint8_t>{1, 0, 1});
  std::vector<double> kept = {0.0, 0.1, -2.0};
  log_in_place(kept, lone);
  EXPECT_EQ(kept, (std::vector<double>{0.0, 0.1, -2.0}));
}

TEST(FixedCells, KnowsItsFixedAndLoneCells) {
  const std::vector<std::uint8_t> flags = {1, 1, 1, 0,  //
                                           1, 0, 1, 0,  //
                                           1, 1, 1, 7};
  const FixedCells cells(4, 3, flags);
  EXPECT_EQ(cells.fixed_count(), 9u);
  EXPECT_TRUE(cells.is_fixed(11));  // any nonzero flag fixes
  EXPECT_FALSE(cells.is_fixed(5));
  for (int cell = 0; cell < 12; ++cell) {
    const bool expected = flags[cell] != 0 || masked_literal::lone(flags, 4, 3, cell);
    EXPECT_EQ(cells.kept()[cell] != 0, expected) << "cell " << cell;
  }
  EXPECT_NE(cells.kept()[5], 0);  // free, every neighbour fixed
  EXPECT_EQ(cells.kept()[3], 0);  // free beside the free cell below it
  EXPECT_FALSE(cells.row_all_averaged(0));
  EXPECT_FALSE(cells.row_all_kept(0));
  EXPECT_TRUE(cells.row_all_kept(2));
  EXPECT_THROW(FixedCells(4, 3, std::vector<std::uint8_t>(11)), std::invalid_argument);
  const Mesh mesh = mesh_of({1, 1}, {1});
  Model source(2, 1), target(2, 1);
  EXPECT_THROW(smooth_once(mesh, cells, source, target), std::invalid_argument);
}

// Every interior column outside a row's masked stretches sees no kept cell: the plain sums there
// are the masked ones. Stretches are ordered, disjoint and within the interior.
TEST(FixedCells, StretchesCoverEveryColumnThatSeesAKeptCell) {
  std::mt19937_64 random(48);
  for (int n = 0; n < 60; ++n) {
    const int nx = std::uniform_int_distribution<int>(1, 300)(random);
    const int nz = std::uniform_int_distribution<int>(1, 12)(random);
    const double share = std::uniform_real_distribution<double>(0, 0.2)(random);
    std::vector<std::uint8_t> flags(static_cast<std::size_t>(nx) * nz, 0);
    std::bernoulli_distribution starts_block(share / 10);
    for (std::size_t cell = 0; cell < flags.size(); ++cell) {
      if (!starts_block(random)) continue;
      const int width = std::uniform_int_distribution<int>(1, 120)(random);
      for (int w = 0; w < width && cell % nx + w < static_cast<std::size_t>(nx); ++w) {
        flags[cell + w] = 1;
      }
    }
    const FixedCells cells(nx, nz, flags);
    for (int k = 0; k < nz; ++k) {
      const auto stretches = cells.masked_stretches(k);
      ASSERT_EQ(stretches.size() % 2, 0u);
      std::vector<bool> covered(nx, false);
      int previous_end = 1;
      for (std::size_t s = 0; s < stretches.size(); s += 2) {
        ASSERT_GE(stretches[s], previous_end);
        ASSERT_LT(stretches[s], stretches[s + 1]);
        ASSERT_LE(stretches[s + 1], nx - 1);
        for (int i = stretches[s]; i < stretches[s + 1]; ++i) covered[i] = true;
        previous_end = stretches[s + 1];
      }
      for (int i = 1; i + 1 < nx; ++i) {
        if (covered[i]) continue;
        for (int kk = std::max(k - 1, 0); kk <= std::min(k + 1, nz - 1); ++kk) {
          for (int ii = i - 1; ii <= i + 1; ++ii) {
            ASSERT_EQ(cells.kept()[kk * nx + ii], 0) << "row " << k << ", column " << i;
          }
        }
      }
    }
  }
}

TEST(FixedCells, FlagsComeFromTheAirAndTheParameterMap) {
  Mesh mesh = mesh_of({1, 1, 1}, {1, 1});
  Topography topography;
  topography.air_cells = {0, 1, 2};
  ActiveCells cells;
  cells.nx = 3;
  cells.nz = 2;
  cells.cell_idx = {1, 0, 2, -1, 3, 4};
  EXPECT_EQ(fixed_cell_flags(mesh, nullptr, nullptr), (std::vector<std::uint8_t>(6, 0)));
  EXPECT_EQ(fixed_cell_flags(mesh, &topography, nullptr),
            (std::vector<std::uint8_t>{0, 1, 1, 0, 0, 1}));
  EXPECT_EQ(fixed_cell_flags(mesh, nullptr, &cells), (std::vector<std::uint8_t>{0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(fixed_cell_flags(mesh, &topography, &cells),
            (std::vector<std::uint8_t>{0, 1, 1, 1, 0, 1}));
  topography.air_cells = {0, 1};
  EXPECT_THROW(fixed_cell_flags(mesh, &topography, nullptr), std::invalid_argument);
  cells.nz = 3;
  EXPECT_THROW(fixed_cell_flags(mesh, nullptr, &cells), std::invalid_argument);
}

}  // namespace
}  // namespace quelby
