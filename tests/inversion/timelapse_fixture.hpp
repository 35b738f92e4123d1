// A synthetic monitoring line for the time-lapse tests: a dipole-dipole line over a block in 100
// ohm-m whose resistivity changes from step to step, each step's data computed with the forward
// model with Gaussian noise of its own fixed seed, written as data files with their standard
// deviations.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
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

struct MonitoringLine {
  std::string mesh_file;
  std::vector<std::string> data_files;  // one per step, the baseline first
  Mesh mesh;
  SurveyData survey;             // the line's electrodes
  std::vector<bool> in_block;    // per cell
  std::vector<bool> near_block;  // per cell: the block and the cells within one spacing of it
  std::vector<bool> core;        // per cell: between the first and last electrode, above 20 m
};

// 12 electrodes 5 m apart, n = 1..5; the block 15 m wide from 2.5 m to 10 m deep under the middle
// of the line; cells of 2.5 m. Step s has the block at block_resistivity[s] and the noise of seed
// seeds[s] (the same seed gives the same file); deviations are `noise` of each value.
inline MonitoringLine write_monitoring_line(const Io& io, const TempFolder& folder,
                                            const std::vector<double>& block_resistivity,
                                            const std::vector<std::uint64_t>& seeds,
                                            double noise = 0.01) {
  constexpr int electrodes = 12;
  constexpr double spacing = 5;
  std::vector<double> a, b, m, n;
  for (int first = 0; first < electrodes; ++first) {
    for (int level = 1; level <= 5; ++level) {
      if (first + 2 + level > electrodes - 1) continue;
      a.push_back(spacing * first);
      b.push_back(spacing * (first + 1));
      m.push_back(spacing * (first + 1 + level));
      n.push_back(spacing * (first + 2 + level));
    }
  }
  MonitoringLine line;
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  survey_from_arrays(io, arrays, line.survey);
  SurveyMeshOptions options;
  options.cell_width = 2.5;
  options.padding_cells = 7;
  options.core_depth = 30;
  line.mesh = mesh_for_survey(io, line.survey, options);
  const Mesh& mesh = line.mesh;
  line.mesh_file = folder.file("line.msh");
  write_mesh(io, line.mesh_file, mesh);
  const double middle = spacing * (electrodes - 1) / 2;
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double x = mesh.x_centres[static_cast<std::size_t>(i)];
      const double depth = mesh.z_centres[static_cast<std::size_t>(k)];
      const double outside_x = std::abs(x - middle) - 7.5;
      line.in_block.push_back(outside_x < 0 && depth > 2.5 && depth < 10);
      line.near_block.push_back(outside_x < spacing && depth < 10 + spacing);
      line.core.push_back(x > 0 && x < spacing * (electrodes - 1) && depth < 20);
    }
  }
  const std::vector<std::int32_t> no_air(static_cast<std::size_t>(mesh.nx), 0);
  ForwardModel forward(io, mesh, no_air, line.survey);
  for (std::size_t step = 0; step < block_resistivity.size(); ++step) {
    std::vector<double> model;
    for (const bool block : line.in_block) model.push_back(block ? block_resistivity[step] : 100);
    const std::vector<double> data = forward.data(io, model);
    std::mt19937_64 engine(seeds[step]);
    const auto normal = [&] {
      const double u1 = (static_cast<double>(engine() >> 11) + 0.5) / 9007199254740992.0;
      const double u2 = static_cast<double>(engine() >> 11) / 9007199254740992.0;
      return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
    };
    std::vector<double> noisy(data.size()), deviations(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
      noisy[i] = data[i] * (1 + noise * normal());
      deviations[i] = noise * std::abs(noisy[i]);
    }
    line.data_files.push_back(folder.file("step" + std::to_string(step) + ".dat"));
    write_general_data(io, line.data_files.back(), "! xA xB xM xN value std", line.survey, noisy,
                       deviations);
  }
  return line;
}

// The mean of `values` over the cells where `where` holds.
inline double mean_over(const std::vector<double>& values, const std::vector<bool>& where) {
  double sum = 0;
  int count = 0;
  for (std::size_t cell = 0; cell < values.size(); ++cell) {
    if (!where[cell]) continue;
    sum += values[cell];
    ++count;
  }
  return sum / count;
}

}  // namespace quelby::testing
