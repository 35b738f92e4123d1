// The operator of one wavenumber against itself and against sums done here: the quadratic form of
// its entries equals the sum of the cells' energies, of their factors and of the weighted operator;
// a constant potential feels only the mass and the boundary; the boundary terms of a long mesh are
// those of its edges; beyond the cells at the electrodes the shares keep their products with the
// squared cell size; and degenerate cells and resistivities are refused by name.
#include "quelby/forward/ground_operator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/forward/bessel.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// u^T A v from the upper triangle in compressed columns.
double form(const GroundOperator& op, const std::vector<double>& entries,
            const std::vector<double>& u, const std::vector<double>& v) {
  double sum = 0;
  const auto starts = op.column_starts();
  const auto rows = op.rows();
  for (std::size_t j = 0; j < static_cast<std::size_t>(op.size()); ++j) {
    for (std::int32_t p = starts[j]; p < starts[j + 1]; ++p) {
      const auto i = static_cast<std::size_t>(rows[static_cast<std::size_t>(p)]);
      const double a = entries[static_cast<std::size_t>(p)];
      sum += a * u[i] * v[j];
      if (i != j) sum += a * u[j] * v[i];
    }
  }
  return sum;
}

// A section of uneven cells, padding that grows by 1.4, a step of the surface and a random
// conductivity.
struct Section {
  Transcript t;
  Mesh mesh;
  Ground ground;
  std::vector<double> sigma;
  Section() {
    std::vector<double> x = {-9, -6, -4, -3, -2.5, -2, -1.5, -1, 0, 0.5, 1, 2, 3.5, 5.6, 8.5};
    std::vector<double> z = {0, 0.5, 1, 1.5, 2.5, 4, 6.1, 9, 13};
    mesh = mesh_from_nodes(t.io(), x, z);
    std::vector<std::int32_t> air(static_cast<std::size_t>(mesh.nx), 0);
    air[0] = air[1] = 2;
    ground = make_ground(mesh, air);
    std::mt19937 random(5);
    std::uniform_real_distribution<double> log_sigma(std::log(1e-3), std::log(1.0));
    sigma.resize(static_cast<std::size_t>(mesh.nx * mesh.nz));
    for (double& value : sigma) value = std::exp(log_sigma(random));
  }
};

TEST(GroundOperator, EntriesEnergiesFactorsAndWeightedOperatorAgree) {
  Section s;
  for (const double electrode_cell : {0.0, 1.0}) {
    GroundOperator op(s.mesh, s.ground, 0.5, 0, electrode_cell);
    op.set_conductivity(s.sigma);
    std::mt19937 random(9);
    std::uniform_real_distribution<double> value(-1, 1);
    const auto n = static_cast<std::size_t>(op.size());
    std::vector<double> u(n), v(n), ones(n, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      u[i] = 100 + value(random);  // nearly constant: the stiffness must not lose it to rounding
      v[i] = value(random);
    }
    for (const double k : {1e-3, 0.2, 5.0}) {
      SCOPED_TRACE("k = " + std::to_string(k) + ", electrode cell " +
                   std::to_string(electrode_cell));
      const std::vector<double> boundary = op.boundary_factors(k);
      std::vector<double> entries(op.entry_count()), weighted(op.entry_count(), 0.0);
      op.values(k, boundary, entries);
      op.add_weighted(k, boundary, std::vector<double>(s.sigma.size(), 1.0), weighted);
      for (std::size_t p = 0; p < entries.size(); ++p)
        EXPECT_NEAR(weighted[p], entries[p], 1e-13 * (std::abs(entries[p]) + 1e-3));
      // The cells' energies add up to the form; each cell's factor gives its energy.
      std::vector<double> energy(s.sigma.size(), 0.0);
      op.cell_energies(k, boundary, u, v, energy);
      double total = 0;
      for (const double e : energy) total += e;
      const double whole = form(op, entries, u, v);
      EXPECT_NEAR(total, whole, 1e-11 * std::abs(whole) + 1e-12);
      const double scale = 3.7;
      for (std::size_t c = 0; c < op.cells().size(); ++c) {
        double r[10];
        op.cell_factor(c, k, boundary, scale, r);
        double ru[4] = {}, rv[4] = {};
        int at = 0;
        for (int i = 0; i < 4; ++i) {
          for (int j = i; j < 4; ++j, ++at) {
            const auto node = static_cast<std::size_t>(op.cells()[c].node[j]);
            ru[i] += r[at] * u[node];
            rv[i] += r[at] * v[node];
          }
        }
        const double from_factor = (ru[0] * rv[0] + ru[1] * rv[1] + ru[2] * rv[2] + ru[3] * rv[3]);
        const double cell_energy = energy[static_cast<std::size_t>(op.cells()[c].cell)] * scale;
        EXPECT_NEAR(from_factor, cell_energy, 1e-9 * std::abs(cell_energy) + 1e-12) << c;
      }
      // A constant feels the mass (the ground's area) and the boundary alone.
      double area = 0, boundary_sum = 0;
      for (std::size_t c = 0; c < s.sigma.size(); ++c) {
        const auto i = static_cast<std::int32_t>(c % static_cast<std::size_t>(s.mesh.nx));
        const auto kk = static_cast<std::int32_t>(c / static_cast<std::size_t>(s.mesh.nx));
        if (s.ground.is_ground(i, kk))
          area += s.sigma[c] * s.mesh.dx[static_cast<std::size_t>(i)] *
                  s.mesh.dz[static_cast<std::size_t>(kk)];
      }
      std::vector<double> no_boundary(boundary.size(), 0.0), plain(op.entry_count());
      op.values(k, no_boundary, plain);
      boundary_sum = form(op, entries, ones, ones) - form(op, plain, ones, ones);
      // (the stiffness cancels to rounding: about 1e-16 of its entries, which are of order 1)
      EXPECT_NEAR(form(op, plain, ones, ones), k * k * area, 1e-12 * k * k * area + 1e-11);
      EXPECT_GT(boundary_sum, 0);
    }
  }
}

TEST(GroundOperator, TheBoundaryOfALongMeshIsTheSumOfItsEdges) {
  // 3000 columns of 1 m over 2 rows: the mixed condition on the sides and the bottom, each edge
  // adding sigma L/2 cos(theta) k K1(kr)/K0(kr) at its two ends, computed here edge by edge.
  Transcript t;
  const int columns = 3000;
  std::vector<double> x(columns + 1), z = {0, 1, 3};
  for (int i = 0; i <= columns; ++i) x[static_cast<std::size_t>(i)] = i;
  const Mesh mesh = mesh_from_nodes(t.io(), x, z);
  const Ground ground = make_ground(mesh, std::vector<std::int32_t>(columns, 0));
  const double reference = 1234.5, k = 0.01, sigma = 0.02;
  GroundOperator op(mesh, ground, reference, 0);
  op.set_conductivity(std::vector<double>(static_cast<std::size_t>(2 * columns), sigma));
  const std::vector<double> factors = op.boundary_factors(k);
  std::vector<double> with(op.entry_count()), without(op.entry_count());
  op.values(k, factors, with);
  op.values(k, std::vector<double>(factors.size(), 0.0), without);
  std::vector<double> expected(static_cast<std::size_t>(op.size()), 0.0);
  auto add = [&](double px, double pz, double half_length, double nx_, double nz_) {
    const double r = std::hypot(px - reference, pz);
    const double cosine = ((px - reference) * nx_ + pz * nz_) / r;
    const auto node =
        static_cast<std::size_t>(ground.node_number[static_cast<std::size_t>(pz == 0   ? 0
                                                                             : pz == 1 ? 1
                                                                                       : 2) *
                                                        static_cast<std::size_t>(columns + 1) +
                                                    static_cast<std::size_t>(px)]);
    expected[node] += sigma * half_length * cosine * k * bessel_k1_over_k0(k * r);
  };
  for (int i = 0; i < columns; ++i) {  // the bottom
    add(i, 3, 0.5, 0, 1);
    add(i + 1, 3, 0.5, 0, 1);
  }
  for (const double side : {0.0, static_cast<double>(columns)}) {  // the sides
    const double outward = side == 0 ? -1 : 1;
    add(side, 0, 0.5, outward, 0);
    add(side, 1, 0.5, outward, 0);
    add(side, 1, 1.0, outward, 0);
    add(side, 3, 1.0, outward, 0);
  }
  const auto starts = op.column_starts();
  for (std::size_t j = 0; j < static_cast<std::size_t>(op.size()); ++j) {
    const auto diagonal = static_cast<std::size_t>(starts[j + 1] - 1);
    EXPECT_NEAR(with[diagonal] - without[diagonal], expected[j], 1e-12 * without[diagonal]) << j;
  }
}

TEST(GroundOperator, BeyondTheElectrodeCellsTheSharesKeepTheirProductWithTheCellSize) {
  // The bilinear share from a cell's entry across it, -(share) (a + b) / 6, and the lumped shares
  // from its mass: (five-point share) (hx^2 + hz^2), (lumped share along x) hx^2 and along z hz^2
  // are those of a cell of the electrodes' size wherever a cell is larger.
  Section s;
  const double electrode_cell = 1.0;
  GroundOperator op(s.mesh, s.ground, 0, 0, electrode_cell);
  int grown = 0;
  for (const GroundOperator::Cell& cell : op.cells()) {
    const auto i = static_cast<std::size_t>(cell.cell % s.mesh.nx);
    const auto k = static_cast<std::size_t>(cell.cell / s.mesh.nx);
    const double hx = s.mesh.dx[i], hz = s.mesh.dz[k];
    const double a = hz / hx, b = hx / hz, area = hx * hz;
    const double five_point = 1 + 6 * cell.stiffness[3] / (a + b);
    const double lumped_both = 1 - 36 * cell.mass[3] / area;
    const double lumped_x = (area / 18 + lumped_both * area / 36 - cell.mass[1]) * 12 / area;
    const double lumped_z = (area / 18 + lumped_both * area / 36 - cell.mass[2]) * 12 / area;
    const double square = electrode_cell * electrode_cell;
    EXPECT_NEAR(five_point * (hx * hx + hz * hz),
                five_point_share * std::min(hx * hx + hz * hz, 2 * square), 1e-12);
    EXPECT_NEAR(lumped_x * hx * hx, lumped_share * std::min(hx * hx, square), 1e-12);
    EXPECT_NEAR(lumped_z * hz * hz, lumped_share * std::min(hz * hz, square), 1e-12);
    EXPECT_NEAR(lumped_both, std::min(lumped_x, lumped_z), 1e-12);
    // The stiffness's rows sum to 0, the mass's to a quarter of the area.
    EXPECT_NEAR(cell.stiffness[0] + cell.stiffness[1] + cell.stiffness[2] + cell.stiffness[3], 0,
                1e-14 * (a + b));
    EXPECT_NEAR(cell.mass[0] + cell.mass[1] + cell.mass[2] + cell.mass[3], area / 4, 1e-15 * area);
    if (hx > electrode_cell || hz > electrode_cell) ++grown;
  }
  EXPECT_GT(grown, 10);
}

TEST(GroundOperator, DegenerateCellsAndResistivitiesAreRefusedByName) {
  Transcript t;
  struct Case {
    std::vector<double> x, z;
    std::string message;  // empty: taken
  };
  const std::vector<Case> cases = {
      {{0, 40, 80},
       {0, 5, 5 + 1e-15 * 8, 10},
       "row 2 of the mesh is 7.993605777301127e-15 m thick where column 1 is 40 m wide: the "
       "forward model takes cells at most 1e+12 times wider than they are thick; make row 2 "
       "thicker"},
      {{0, 1e-13, 1},
       {0, 1, 2},
       "column 1 of the mesh is 1e-13 m wide where row 1 is 1 m thick: the forward model takes "
       "cells at most 1e+12 times thicker than they are wide; make column 1 wider"},
      {{0, 1e-11, 1}, {0, 1, 2}, ""},
  };
  for (const Case& c : cases) {
    const Mesh mesh = mesh_from_nodes(t.io(), c.x, c.z);
    const Ground ground = make_ground(mesh, std::vector<std::int32_t>(c.x.size() - 1, 0));
    if (c.message.empty()) {
      EXPECT_NO_THROW(GroundOperator(mesh, ground, 0, 0));
      continue;
    }
    try {
      GroundOperator op(mesh, ground, 0, 0);
      ADD_FAILURE() << "taken: " << c.message;
    } catch (const std::invalid_argument& refused) {
      EXPECT_EQ(std::string(refused.what()), c.message);
    }
  }
  // A degenerate cell in the air is never read.
  const Mesh raised = mesh_from_nodes(t.io(), std::vector<double>{0, 40, 80},
                                      std::vector<double>{-1e-14, 0, 5, 10});
  EXPECT_NO_THROW(
      GroundOperator(raised, make_ground(raised, std::vector<std::int32_t>{1, 1}), 0, 0));

  // Resistivities from 1e-100 to 1e100 ohm-m are taken; beyond, the operator is refused naming
  // the first such cell (1-based column, row).
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3}, std::vector<double>{0, 1, 2});
  GroundOperator op(mesh, make_ground(mesh, std::vector<std::int32_t>{0, 0, 0}), 1.5, 0);
  std::vector<double> entries(op.entry_count());
  const std::vector<double> boundary = op.boundary_factors(0.1);
  for (const double resistivity : {4e-308, 1e-101, 1e101, 1e300}) {
    std::vector<double> sigma(6, 0.01);
    sigma[4] = 1 / resistivity;
    sigma[5] = 1 / resistivity;
    op.set_conductivity(sigma);
    try {
      op.values(0.1, boundary, entries);
      ADD_FAILURE() << resistivity;
    } catch (const std::invalid_argument& refused) {
      EXPECT_EQ(std::string(refused.what()),
                "the resistivity of cell (2, 2) is " + shortest(1 / (1 / resistivity)) +
                    " ohm-m: the forward model takes resistivities from 1e-100 to 1e+100 ohm-m");
    }
  }
  for (const double resistivity : {1e-100, 1e100}) {
    op.set_conductivity(std::vector<double>(6, 1 / resistivity));
    EXPECT_NO_THROW(op.values(0.1, boundary, entries)) << resistivity;
  }
}

}  // namespace
}  // namespace quelby
