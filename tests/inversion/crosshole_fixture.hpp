// A synthetic crosshole panel for the inversion's tests: two boreholes, bipole-bipole readings
// across and within them, over a block between the holes in a uniform background; the data
// computed with the forward model on a mesh of its own (graded more gently than an inversion's),
// with 2 % Gaussian noise of a fixed seed, written in the common-current layout with z positions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/data_writer.hpp"
#include "tests/forward/buried_fixtures.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby::testing {

struct CrossholeShape {
  double left = 0, right = 10;                // the holes' x
  double first = 1, last = 15, step = 1;      // the electrodes' depths in each hole
  double reach = 4;                           // of the readings across (crosshole_panel)
  double background = 100, block = 10;        // ohm-m
  double block_left = 3, block_right = 7;     // the block's x
  double block_top = 6, block_bottom = 10;    // and z
  double eta_background = 5, eta_block = 50;  // chargeabilities, mV/V
  std::uint64_t seed = 11;                    // of the noise
};

struct CrossholeSurvey {
  std::string dc_file, ip_file;
  std::int32_t ndat = 0;
};

inline bool in_block(const CrossholeShape& shape, double x, double z) {
  return x > shape.block_left && x < shape.block_right && z > shape.block_top &&
         z < shape.block_bottom;
}

// Writes `name`_dc.dat (DC data with standard deviations of 2 %) and `name`_ip.dat (apparent
// chargeabilities, standard deviations 2 % plus 0.5) into `folder`.
inline CrossholeSurvey write_crosshole_survey(const Io& io, const TempFolder& folder,
                                              const CrossholeShape& shape = {},
                                              const std::string& name = "panel") {
  SurveyData survey = buried_survey(
      crosshole_panel(shape.left, shape.right, shape.first, shape.last, shape.step, shape.reach),
      io);
  SurveyMeshOptions gentle;
  gentle.grading = 1.05;
  const Mesh mesh = mesh_for_survey(io, survey, gentle);
  std::vector<double> rho, eta;
  for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
      const bool block = in_block(shape, mesh.x_centres[i], mesh.z_centres[k]);
      rho.push_back(block ? shape.block : shape.background);
      eta.push_back(block ? shape.eta_block : shape.eta_background);
    }
  }
  ForwardModel forward(io, mesh, std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0),
                       survey);
  std::vector<double> data(static_cast<std::size_t>(survey.ndat));
  const std::vector<double> apparent = forward.apparent_chargeability(io, rho, eta, data);
  std::mt19937_64 engine(shape.seed);
  const auto normal = [&] {
    const double u1 = (static_cast<double>(engine() >> 11) + 0.5) / 9007199254740992.0;
    const double u2 = static_cast<double>(engine() >> 11) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
  };
  std::vector<double> dc(data.size()), dc_std(data.size()), ip(data.size()), ip_std(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    dc[i] = data[i] * (1 + 0.02 * normal());
    dc_std[i] = 0.02 * std::abs(dc[i]);
    ip_std[i] = 0.02 * std::abs(apparent[i]) + 0.5;
    ip[i] = apparent[i] + ip_std[i] * normal();
  }
  CrossholeSurvey result;
  result.dc_file = folder.file(name + "_dc.dat");
  result.ip_file = folder.file(name + "_ip.dat");
  result.ndat = survey.ndat;
  write_data_file(io, result.dc_file, "a crosshole panel", survey, dc, dc_std);
  survey.iptype.assign(survey.iptype.size(), 1);
  write_data_file(io, result.ip_file, "a crosshole panel", survey, ip, ip_std);
  return result;
}

// The geometric means of a model over the cells whose centres lie in the block and over the cells
// between the holes, from the first to the last electrode's depth, whose centres lie more than
// `margin` m from the block.
inline std::pair<double, double> block_and_background(const Mesh& mesh,
                                                      std::span<const double> model,
                                                      const CrossholeShape& shape = {},
                                                      double margin = 1.5) {
  double block_sum = 0, background_sum = 0;
  int block_count = 0, background_count = 0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(mesh.nz); ++k) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(mesh.nx); ++i) {
      const double x = mesh.x_centres[i], z = mesh.z_centres[k];
      const double value = std::log(model[k * static_cast<std::size_t>(mesh.nx) + i]);
      if (in_block(shape, x, z)) {
        block_sum += value;
        ++block_count;
        continue;
      }
      const double dx = std::max({shape.block_left - x, x - shape.block_right, 0.0});
      const double dz = std::max({shape.block_top - z, z - shape.block_bottom, 0.0});
      if (x > shape.left && x < shape.right && z > shape.first && z < shape.last &&
          std::hypot(dx, dz) > margin) {
        background_sum += value;
        ++background_count;
      }
    }
  }
  return {std::exp(block_sum / block_count), std::exp(background_sum / background_count)};
}

}  // namespace quelby::testing
