// The sensitivities' products with vectors (J v and J^T w) against the dense sensitivity matrix,
// and the dense matrix itself, under every way the forward model can hold its work: factors and
// fields kept, fields solved in chunks, nothing kept, simplicial and supernodal factors. Each must
// give the others' numbers to rounding, the same bits on one thread as on the pool, and forget
// what it kept when the resistivities change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/forward.hpp"
#include "tests/forward/forward_fixtures.hpp"

namespace quelby {
namespace {

using testing::SmallSection;

struct Holding {
  std::string name;
  ForwardOptions options;
};

std::vector<Holding> holdings() {
  std::vector<Holding> list;
  list.push_back({"factors and fields kept", {}});
  ForwardOptions chunks;
  chunks.kept_field_bytes = 1;  // fields solved anew, one wavenumber per chunk
  list.push_back({"fields in chunks", chunks});
  ForwardOptions nothing;
  nothing.keep_factors = false;
  nothing.kept_field_bytes = 0;
  list.push_back({"nothing kept", nothing});
  for (Holding& holding : list) holding.options.factorisation = CholeskyKind::simplicial;
  ForwardOptions supernodal;
  supernodal.factorisation = CholeskyKind::supernodal;
  list.push_back({"supernodal, kept", supernodal});
  supernodal.keep_factors = false;
  supernodal.kept_field_bytes = 1;
  list.push_back({"supernodal, nothing kept", supernodal});
  return list;
}

// Every other ground cell and a few twice (duplicate columns).
std::vector<std::int32_t> some_cells(const ForwardModel& model) {
  const std::vector<std::int32_t> ground = model.ground_cells();
  std::vector<std::int32_t> cells;
  for (std::size_t c = 0; c < ground.size(); c += 2) cells.push_back(ground[c]);
  for (std::size_t c = 1; c < ground.size(); c += 37) cells.push_back(ground[c]);
  cells.push_back(cells.front());
  return cells;
}

std::vector<double> random_values(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> value(-1, 1);
  std::vector<double> values(count);
  for (double& x : values) x = value(random);
  return values;
}

struct Products {
  std::vector<double> jacobian, data, jv, jtw, ip;
};

Products everything(ForwardModel& model, const SmallSection& s,
                    const std::vector<std::int32_t>& cells, const std::vector<double>& v,
                    const std::vector<double>& w, const std::vector<double>& eta) {
  const std::size_t ndat = static_cast<std::size_t>(model.ndat());
  Products p;
  p.jacobian.resize(ndat * cells.size());
  p.data.resize(ndat);
  p.jv.resize(ndat);
  p.jtw.resize(cells.size());
  model.jacobian_times(s.t.io(), s.rho, cells, v, p.jv);
  model.sensitivity(s.t.io(), s.rho, cells, p.jacobian, p.data);
  model.jacobian_transpose_times(s.t.io(), s.rho, cells, w, p.jtw);
  p.ip = model.apparent_chargeability(s.t.io(), s.rho, eta);
  return p;
}

TEST(ForwardProducts, JTimesVectorsMatchTheDenseSensitivityHoweverTheWorkIsHeld) {
  SmallSection s;
  const std::size_t ndat = static_cast<std::size_t>(s.survey.ndat);
  std::vector<Products> results;
  for (const Holding& holding : holdings()) {
    SCOPED_TRACE(holding.name);
    ForwardModel model(s.t.io(), s.mesh, s.air, s.survey, holding.options);
    const std::vector<std::int32_t> cells = some_cells(model);
    const std::vector<double> v = random_values(cells.size(), 3);
    const std::vector<double> w = random_values(ndat, 4);
    std::vector<double> eta(s.rho.size(), 0.0);
    for (const std::int32_t cell : cells) eta[static_cast<std::size_t>(cell)] = 0.05;
    const Products p = everything(model, s, cells, v, w, eta);
    // J v and J^T w against the matrix, to rounding of the largest term of each sum.
    for (std::size_t i = 0; i < ndat; ++i) {
      double sum = 0, scale = 0;
      for (std::size_t c = 0; c < cells.size(); ++c) {
        sum += p.jacobian[i * cells.size() + c] * v[c];
        scale += std::abs(p.jacobian[i * cells.size() + c] * v[c]);
      }
      EXPECT_NEAR(p.jv[i], sum, 1e-11 * scale) << "datum " << i;
    }
    for (std::size_t c = 0; c < cells.size(); ++c) {
      double sum = 0, scale = 0;
      for (std::size_t i = 0; i < ndat; ++i) {
        sum += p.jacobian[i * cells.size() + c] * w[i];
        scale += std::abs(p.jacobian[i * cells.size() + c] * w[i]);
      }
      EXPECT_NEAR(p.jtw[c], sum, 1e-11 * scale + 1e-300) << "cell " << cells[c];
    }
    // The IP response is J eta / d over the chargeable cells (each counted once).
    std::vector<double> counted(s.rho.size(), 0.0);
    for (std::size_t i = 0; i < ndat; ++i) {
      double sum = 0;
      std::fill(counted.begin(), counted.end(), 0.0);
      for (std::size_t c = 0; c < cells.size(); ++c) {
        const auto cell = static_cast<std::size_t>(cells[c]);
        if (counted[cell] != 0) continue;
        counted[cell] = 1;
        sum += p.jacobian[i * cells.size() + c] * 0.05;
      }
      EXPECT_NEAR(p.ip[i], sum / p.data[i], 1e-10 * std::abs(p.ip[i]) + 1e-14) << "datum " << i;
    }
    results.push_back(p);
  }
  // Every holding gives the first's numbers to rounding.
  for (std::size_t h = 1; h < results.size(); ++h) {
    for (std::size_t k = 0; k < results[0].jacobian.size(); ++k) {
      ASSERT_NEAR(results[h].jacobian[k], results[0].jacobian[k],
                  1e-10 * std::abs(results[0].jacobian[k]) + 1e-13)
          << holdings()[h].name << " entry " << k;
    }
    for (std::size_t i = 0; i < ndat; ++i) {
      EXPECT_NEAR(results[h].data[i] / results[0].data[i], 1, 1e-12) << holdings()[h].name;
      EXPECT_NEAR(results[h].jv[i], results[0].jv[i], 1e-10 * std::abs(results[0].jv[i]) + 1e-13);
      EXPECT_NEAR(results[h].ip[i], results[0].ip[i], 1e-10 * std::abs(results[0].ip[i]));
    }
  }
}

TEST(ForwardProducts, TheSameBitsOnOneThreadAsOnThePoolAndAfterTheModelChanges) {
  SmallSection s;
  for (const Holding& holding : holdings()) {
    SCOPED_TRACE(holding.name);
    ForwardModel pooled(s.t.io(), s.mesh, s.air, s.survey, holding.options);
    const std::vector<std::int32_t> cells = some_cells(pooled);
    const std::vector<double> v = random_values(cells.size(), 5);
    const std::vector<double> w = random_values(static_cast<std::size_t>(s.survey.ndat), 6);
    const std::vector<double> eta(s.rho.size(), 0.03);
    // On the pool, after a call with another model whose kept work must not be taken.
    SmallSection other;
    for (double& value : other.rho) value *= 1.5;
    std::vector<double> scratch(static_cast<std::size_t>(s.survey.ndat));
    pooled.jacobian_times(s.t.io(), other.rho, cells, v, scratch);
    const Products on_pool = everything(pooled, s, cells, v, w, eta);
    Products alone;
    // A loop inside a parallel loop runs on its caller's thread alone.
    parallel_for(2, 1, [&](std::int64_t begin, std::int64_t) {
      if (begin != 0) return;
      ForwardModel single(s.t.io(), s.mesh, s.air, s.survey, holding.options);
      alone = everything(single, s, cells, v, w, eta);
    });
    EXPECT_EQ(alone.jacobian, on_pool.jacobian);
    EXPECT_EQ(alone.data, on_pool.data);
    EXPECT_EQ(alone.jv, on_pool.jv);
    EXPECT_EQ(alone.jtw, on_pool.jtw);
    EXPECT_EQ(alone.ip, on_pool.ip);
    // The IP response alone (its fields solved for it, not kept) is the one after the
    // sensitivities (their kept fields).
    ForwardModel ip_first(s.t.io(), s.mesh, s.air, s.survey, holding.options);
    EXPECT_EQ(ip_first.apparent_chargeability(s.t.io(), s.rho, eta), on_pool.ip);
  }
}

TEST(ForwardProducts, SizesThatDoNotMatchAndCellsInTheAirAreRefused) {
  SmallSection s;
  ForwardModel model(s.t.io(), s.mesh, s.air, s.survey);
  const std::vector<std::int32_t> air_cell = {s.mesh.nx - 1};  // under the step: air
  const std::vector<double> one = {1.0};
  std::vector<double> out(static_cast<std::size_t>(s.survey.ndat));
  EXPECT_THROW(model.jacobian_times(s.t.io(), s.rho, air_cell, one, out), Stop);
  EXPECT_NE(s.t.console().find("Error: sensitivity asked of cell " + std::to_string(s.mesh.nx - 1) +
                               ", which is not a ground cell of the mesh"),
            std::string::npos)
      << s.t.console();
  const std::vector<std::int32_t> cells = {model.ground_cells().front()};
  const std::vector<double> two = {1.0, 2.0};
  EXPECT_THROW(model.jacobian_times(s.t.io(), s.rho, cells, two, out), Stop);
  std::vector<double> one_out(1);
  EXPECT_THROW(model.jacobian_transpose_times(s.t.io(), s.rho, cells, one, one_out), Stop);
}

}  // namespace
}  // namespace quelby
