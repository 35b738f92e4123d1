// A small synthetic survey inverted end to end: data made by the forward model over a block, with
// noise; the inversion must reach its target misfit and recover the block, for resistivity and
// then for chargeability.
#include "quelby/inversion/survey_problems.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "quelby/forward/survey_mesh.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/inversion/inversion_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

struct BlockSurvey {
  Transcript t;
  SurveyData survey;
  Mesh mesh;
  std::vector<double> truth;
  std::vector<bool> in_block;
  BlockSurvey() {
    survey = testing::survey_of(testing::dipole_dipole(12, 2, 5), t.io());
    SurveyMeshOptions options;
    options.cell_width = 0.5;
    mesh = mesh_for_survey(t.io(), survey, options);
    truth.assign(static_cast<std::size_t>(mesh.nx * mesh.nz), 100.0);
    in_block.assign(truth.size(), false);
    for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
        const double x = mesh.x_centres[i], z = mesh.z_centres[k];
        if (x > 8 && x < 14 && z > 1.5 && z < 4.5) {
          truth[k * static_cast<std::size_t>(mesh.nx) + i] = 10;
          in_block[k * static_cast<std::size_t>(mesh.nx) + i] = true;
        }
      }
    }
  }
  // Geometric means of a model over the block and over the rest of the core under the line.
  std::pair<double, double> means(const std::vector<double>& model) const {
    double block = 0, rest = 0;
    int in = 0, out = 0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
      for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
        const std::size_t c = k * static_cast<std::size_t>(mesh.nx) + i;
        if (in_block[c]) {
          block += std::log(model[c]);
          ++in;
        } else if (mesh.x_centres[i] > 0 && mesh.x_centres[i] < 22 && mesh.z_centres[k] < 6) {
          rest += std::log(model[c]);
          ++out;
        }
      }
    }
    return {std::exp(block / in), std::exp(rest / out)};
  }
};

std::vector<double> noisy(const std::vector<double>& clean, std::vector<double>& stds,
                          double fraction, double floor, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0, 1);
  std::vector<double> observed(clean.size());
  stds.resize(clean.size());
  for (std::size_t i = 0; i < clean.size(); ++i) {
    stds[i] = fraction * std::abs(clean[i]) + floor;
    observed[i] = clean[i] + stds[i] * normal(random);
  }
  return observed;
}

TEST(SurveyInversion, ResistivityThenChargeabilityOfABlockAreRecovered) {
  BlockSurvey s;
  const Io& io = s.t.io();
  const std::vector<std::int32_t> air(static_cast<std::size_t>(s.mesh.nx), 0);
  ForwardModel forward(io, s.mesh, air, s.survey);
  std::vector<double> dstd;
  const std::vector<double> dobs = noisy(forward.data(io, s.truth), dstd, 0.02, 0, 17);
  const testing::DefaultObjective setup(io, s.mesh);
  const std::vector<double> start(s.truth.size(), 60.0);
  ResistivityProblem problem(forward, setup.cells, start);
  const std::vector<double> m0 = log_parameters(setup.cells, start);
  const InversionResult dc =
      gauss_newton(io, problem, setup.objective, dobs, dstd, m0, m0, InversionSettings{});
  EXPECT_EQ(dc.stop, StopReason::target_reached);
  EXPECT_LE(dc.iterations, 10);
  EXPECT_LE(dc.misfit_history.back(), dc.target_misfit);
  const std::vector<double> model = problem.model(dc.m);
  const auto [block, rest] = s.means(model);
  EXPECT_LT(block, 0.6 * rest);
  EXPECT_GT(rest, 70);
  EXPECT_LT(rest, 140);

  // A chargeable block (eta 0.1 in the block, 0 elsewhere), apparent chargeabilities with noise,
  // inverted on the recovered resistivity.
  std::vector<double> eta(s.truth.size(), 0.0);
  for (std::size_t c = 0; c < eta.size(); ++c) eta[c] = s.in_block[c] ? 0.1 : 0.0;
  std::vector<double> ip_std;
  const std::vector<double> ip_obs =
      noisy(forward.apparent_chargeability(io, s.truth, eta), ip_std, 0.02, 0.001, 24);
  const std::vector<std::int32_t> iptype(ip_obs.size(), 1);
  const std::vector<double> no_charge(s.truth.size(), 0.0);
  ChargeabilityProblem ip(io, forward, setup.cells, model, no_charge, iptype);
  const std::vector<double> eta0(static_cast<std::size_t>(setup.cells.npar), 0.01);
  const std::vector<double> eta_ref(eta0.size(), 0.0);
  const InversionResult charge =
      gauss_newton(io, ip, setup.objective, ip_obs, ip_std, eta0, eta_ref, InversionSettings{});
  EXPECT_EQ(charge.stop, StopReason::target_reached)
      << charge.misfit_history.back() << " after " << charge.iterations;
  EXPECT_TRUE(std::all_of(charge.m.begin(), charge.m.end(), [](double v) { return v >= 0; }));
  const std::vector<double> recovered = ip.model(charge.m);
  double block_eta = 0, rest_eta = 0;
  int in = 0, out = 0;
  for (std::size_t c = 0; c < recovered.size(); ++c) {
    const std::size_t i = c % static_cast<std::size_t>(s.mesh.nx),
                      k = c / static_cast<std::size_t>(s.mesh.nx);
    if (s.in_block[c]) {
      block_eta += recovered[c];
      ++in;
    } else if (s.mesh.x_centres[i] > 0 && s.mesh.x_centres[i] < 22 && s.mesh.z_centres[k] < 6) {
      rest_eta += recovered[c];
      ++out;
    }
  }
  EXPECT_GT(block_eta / in, 3 * rest_eta / out);
  EXPECT_GT(block_eta / in, 0.02);
}

}  // namespace
}  // namespace quelby
