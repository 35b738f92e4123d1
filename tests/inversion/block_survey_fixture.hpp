// A small synthetic survey for the inversion's tests: a dipole-dipole line over a 10 ohm-m block
// (chargeability 50) in 100 ohm-m (chargeability 5), its mesh from mesh_for_survey, data computed
// with the forward model with 2 % Gaussian noise of a fixed seed, written as files into a folder.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_writer.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby::testing {

struct BlockSurveyShape {
  int electrodes = 10;
  double spacing = 5;
  int n_max = 4;
  double cell = 2.5;
  int padding = 7;
  double core_depth = 30;
  // As field lines are read: Wenner (a up to n_max spacings) and Wenner-Schlumberger (n up to
  // n_max) readings beside the dipole-dipole ones, and each reading repeated reciprocally (current
  // and potential electrodes exchanged): many readings depend on others.
  bool mixed_arrays = false;
  bool reciprocals = false;
  // Readings spoiled as field files hold them (0-based positions among the data and the factor
  // their value is multiplied by: -1 a sign flip, 10, 0.1, 0 a zero); their standard deviations
  // stay those of the clean values.
  std::vector<std::pair<std::size_t, double>> spoiled = {};
};

// The files of a block survey and what they were made from.
struct BlockSurvey {
  std::string mesh_file, dc_file, ip_file;
  Mesh mesh;
  std::vector<double> resistivity, chargeability;  // the true models, one value per cell
  std::vector<bool> in_block;                      // per cell
  std::int32_t ndat = 0;
};

// Writes block.msh, block_dc.dat and block_ip.dat (each datum with its standard deviation: 2 % of
// the DC value; 2 % of the apparent chargeability plus 0.5) into `folder`. The default shape gives
// a mesh of 40 x 19 cells and 22 data.
inline BlockSurvey write_block_survey(const Io& io, const TempFolder& folder,
                                      const BlockSurveyShape& shape = {}) {
  std::vector<double> a, b, m, n;
  const auto add = [&](int ea, int eb, int em, int en) {
    const int last = std::max({ea, eb, em, en});
    if (std::min({ea, eb, em, en}) < 0 || last > shape.electrodes - 1) return;
    a.push_back(shape.spacing * ea);
    b.push_back(shape.spacing * eb);
    m.push_back(shape.spacing * em);
    n.push_back(shape.spacing * en);
    if (shape.reciprocals) {
      a.push_back(shape.spacing * em);
      b.push_back(shape.spacing * en);
      m.push_back(shape.spacing * ea);
      n.push_back(shape.spacing * eb);
    }
  };
  for (int first = 0; first < shape.electrodes; ++first) {
    for (int level = 1; level <= shape.n_max; ++level) {
      add(first, first + 1, first + 1 + level, first + 2 + level);
      if (!shape.mixed_arrays) continue;
      add(first, first + 3 * level, first + level, first + 2 * level);  // Wenner, a = level
      if (level > 1) add(first, first + 2 * level + 1, first + level, first + level + 1);
    }
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  survey_from_arrays(io, arrays, survey);
  SurveyMeshOptions options;
  options.cell_width = shape.cell;
  options.padding_cells = shape.padding;
  options.core_depth = shape.core_depth;

  BlockSurvey result;
  result.mesh = mesh_for_survey(io, survey, options);
  const Mesh& mesh = result.mesh;
  result.mesh_file = folder.file("block.msh");
  result.dc_file = folder.file("block_dc.dat");
  result.ip_file = folder.file("block_ip.dat");
  write_mesh(io, result.mesh_file, mesh);
  const double middle = shape.spacing * (shape.electrodes - 1) / 2;
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double x = mesh.x_centres[static_cast<std::size_t>(i)];
      const double depth = mesh.z_centres[static_cast<std::size_t>(k)];
      const bool block = std::abs(x - middle) < 2 * shape.spacing && depth > 0.5 * shape.spacing &&
                         depth < 2 * shape.spacing;
      result.in_block.push_back(block);
      result.resistivity.push_back(block ? 10 : 100);
      result.chargeability.push_back(block ? 50 : 5);
    }
  }
  const std::vector<std::int32_t> no_air(static_cast<std::size_t>(mesh.nx), 0);
  ForwardModel forward(io, mesh, no_air, survey);
  std::vector<double> data(static_cast<std::size_t>(survey.ndat));
  const std::vector<double> eta =
      forward.apparent_chargeability(io, result.resistivity, result.chargeability, data);
  std::mt19937_64 engine(7);
  const auto normal = [&] {
    const double u1 = (static_cast<double>(engine() >> 11) + 0.5) / 9007199254740992.0;
    const double u2 = static_cast<double>(engine() >> 11) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
  };
  std::vector<double> dc(data.size()), dc_std(data.size()), ip(data.size()), ip_std(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    dc[i] = data[i] * (1 + 0.02 * normal());
    dc_std[i] = 0.02 * std::abs(dc[i]);
    ip_std[i] = 0.02 * std::abs(eta[i]) + 0.5;
    ip[i] = eta[i] + ip_std[i] * normal();
  }
  for (const auto& [position, factor] : shape.spoiled) dc[position] *= factor;
  write_general_data(io, result.dc_file, "! xA xB xM xN value std", survey, dc, dc_std);
  survey.iptype.assign(survey.iptype.size(), 1);
  write_general_data(io, result.ip_file, "! xA xB xM xN value std", survey, ip, ip_std);
  result.ndat = survey.ndat;
  return result;
}

// The geometric means of a model over the block's cells and over the other cells of the core
// (the cells between the first and the last electrode, above twice the block's depth).
inline std::pair<double, double> block_and_background(const BlockSurvey& survey,
                                                      std::span<const double> model,
                                                      const BlockSurveyShape& shape = {}) {
  const double line_end = shape.spacing * (shape.electrodes - 1);
  double block_sum = 0, background_sum = 0;
  int block_count = 0, background_count = 0;
  for (std::size_t cell = 0; cell < model.size(); ++cell) {
    const std::size_t i = cell % static_cast<std::size_t>(survey.mesh.nx);
    const std::size_t k = cell / static_cast<std::size_t>(survey.mesh.nx);
    const double x = survey.mesh.x_centres[i], z = survey.mesh.z_centres[k];
    if (survey.in_block[cell]) {
      block_sum += std::log(model[cell]);
      ++block_count;
    } else if (x > 0 && x < line_end && z < 4 * shape.spacing) {
      background_sum += std::log(model[cell]);
      ++background_count;
    }
  }
  return {std::exp(block_sum / block_count), std::exp(background_sum / background_count)};
}

}  // namespace quelby::testing
