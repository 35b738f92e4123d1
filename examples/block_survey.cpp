// A synthetic survey for trying an inversion: a dipole-dipole line over a conductive, chargeable
// block in a uniform half-space, its mesh from mesh_for_survey, the data computed with the forward
// model on that mesh, with Gaussian noise and its standard deviations. Writes PREFIX.msh,
// PREFIX_dc.dat (ohms), PREFIX_ip.dat (apparent chargeabilities in mV/V), the true models
// PREFIX_true.mod and PREFIX_true_eta.mod, and with --relief a topography PREFIX.topo.
//
// Usage: block_survey [--electrodes N] [--spacing M] [--n-max N] [--cell M] [--padding N]
//                     [--core-depth M] [--noise PERCENT] [--relief M] [--seed N]
//                     [--arrays dd|mixed] [--reciprocals] [--spoil N] PREFIX
//
// The block spans four spacings along x about the line's middle and reaches from half a spacing
// to two spacings below the ground: 10 ohm-m and 50 mV/V in 100 ohm-m and 5 mV/V.
// --arrays mixed reads the line as field crews do, with overlapping Wenner (a = 1 to n-max
// spacings) and Wenner-Schlumberger (n = 2 to n-max) readings beside the dipole-dipole ones;
// --reciprocals repeats every reading with its current and potential pairs exchanged; --spoil N
// spoils N readings spread along the file as field files hold them (in turn a sign flip, ten
// times, a tenth, zero), keeping the standard deviations of their clean values.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/data_writer.hpp"
#include "quelby/survey/survey_arrays.hpp"

namespace {

struct Options {
  int electrodes = 32;
  double spacing = 5;
  int n_max = 8;
  double cell = 0;  // 0: a quarter of the spacing
  int padding = 0;
  double core_depth = 0;
  double noise = 2;   // percent
  double relief = 0;  // m of rise along the line (0: flat ground, no topography file)
  unsigned long long seed = 1;
  bool mixed = false;
  bool reciprocals = false;
  int spoil = 0;
  std::string prefix;
};

bool parse(int argc, char** argv, Options& options) {
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    if (word.rfind("--", 0) != 0) {
      options.prefix = word;
      continue;
    }
    if (word == "--reciprocals") {
      options.reciprocals = true;
      continue;
    }
    if (k + 1 >= argc) return false;
    const std::string value = argv[++k];
    if (word == "--electrodes") {
      options.electrodes = std::stoi(value);
    } else if (word == "--spacing") {
      options.spacing = std::stod(value);
    } else if (word == "--n-max") {
      options.n_max = std::stoi(value);
    } else if (word == "--cell") {
      options.cell = std::stod(value);
    } else if (word == "--padding") {
      options.padding = std::stoi(value);
    } else if (word == "--core-depth") {
      options.core_depth = std::stod(value);
    } else if (word == "--noise") {
      options.noise = std::stod(value);
    } else if (word == "--relief") {
      options.relief = std::stod(value);
    } else if (word == "--seed") {
      options.seed = std::stoull(value);
    } else if (word == "--arrays" && (value == "dd" || value == "mixed")) {
      options.mixed = value == "mixed";
    } else if (word == "--spoil") {
      options.spoil = std::stoi(value);
    } else {
      return false;
    }
  }
  return !options.prefix.empty() && options.electrodes >= 4 && options.n_max >= 1;
}

// Standard normal deviates by the Box-Muller transform of a Mersenne twister: the same numbers on
// every platform (std::normal_distribution is not specified to be).
class Normal {
 public:
  explicit Normal(unsigned long long seed) : engine_(seed) {}
  double operator()() {
    const double u1 = (static_cast<double>(engine_() >> 11) + 0.5) / 9007199254740992.0;
    const double u2 = static_cast<double>(engine_() >> 11) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::cerr << "usage: block_survey [--electrodes N] [--spacing M] [--n-max N] [--cell M] "
                 "[--padding N] [--core-depth M] [--noise PERCENT] [--relief M] [--seed N] "
                 "[--arrays dd|mixed] [--reciprocals] [--spoil N] PREFIX\n";
    return 2;
  }
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  try {
    // Dipole-dipole: A B of one spacing, M N of one spacing, n spacings between B and M.
    std::vector<double> a, b, m, n;
    const double s = options.spacing;
    const auto add = [&](int ea, int eb, int em, int en) {
      if (std::max({ea, eb, em, en}) > options.electrodes - 1) return;
      a.push_back(s * ea);
      b.push_back(s * eb);
      m.push_back(s * em);
      n.push_back(s * en);
      if (!options.reciprocals) return;
      a.push_back(s * em);
      b.push_back(s * en);
      m.push_back(s * ea);
      n.push_back(s * eb);
    };
    for (int first = 0; first < options.electrodes; ++first) {
      for (int level = 1; level <= options.n_max; ++level) {
        add(first, first + 1, first + 1 + level, first + 2 + level);
        if (!options.mixed) continue;
        add(first, first + 3 * level, first + level, first + 2 * level);  // Wenner, a = level
        if (level > 1) add(first, first + 2 * level + 1, first + level, first + level + 1);
      }
    }
    quelby::SurveyArrays arrays;
    arrays.a = a;
    arrays.b = b;
    arrays.m = m;
    arrays.n = n;
    quelby::SurveyData survey;
    quelby::survey_from_arrays(io, arrays, survey);

    quelby::SurveyMeshOptions mesh_options;
    mesh_options.cell_width = options.cell;
    mesh_options.padding_cells = options.padding;
    mesh_options.core_depth = options.core_depth;
    // With relief the mesh starts above the highest ground, so that the air has rows to fill.
    mesh_options.top = options.relief > 0 ? -options.relief : 0.0;
    const quelby::Mesh mesh = quelby::mesh_for_survey(io, survey, mesh_options);
    quelby::write_mesh(io, options.prefix + ".msh", mesh);

    // The ground rises linearly by `relief` from the first electrode to the last: z = -relief at
    // the last. Elevations are given against a reference of 100 m.
    quelby::Topography topography;
    const double line_end = s * (options.electrodes - 1);
    if (options.relief > 0) {
      std::ofstream file(options.prefix + ".topo");
      file << "4 100\n"
           << quelby::shortest(mesh.x_nodes.front()) << " 100\n0 100\n"
           << quelby::shortest(line_end) << ' ' << quelby::shortest(100 + options.relief) << '\n'
           << quelby::shortest(mesh.x_nodes.back()) << ' ' << quelby::shortest(100 + options.relief)
           << '\n';
      file.close();
      quelby::read_topography(io, true, options.prefix + ".topo", mesh.x_nodes, mesh.z_nodes,
                              topography);
    } else {
      quelby::read_topography(io, false, "", mesh.x_nodes, mesh.z_nodes, topography);
    }

    quelby::Model resistivity(mesh.nx, mesh.nz), chargeability(mesh.nx, mesh.nz);
    const double middle = line_end / 2;
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        const double x = mesh.x_centres[static_cast<std::size_t>(i)];
        // Depth below the ground at this x (a linear rise from the first electrode to the last).
        const double ground = -options.relief * std::clamp(x / line_end, 0.0, 1.0);
        const double depth = mesh.z_centres[static_cast<std::size_t>(k)] - ground;
        const bool block = std::abs(x - middle) < 2 * s && depth > 0.5 * s && depth < 2 * s;
        resistivity(i, k) = block ? 10 : 100;
        chargeability(i, k) = block ? 50 : 5;
      }
    }
    quelby::write_model(io, mesh, options.prefix + "_true.mod", resistivity);
    quelby::write_model(io, mesh, options.prefix + "_true_eta.mod", chargeability);

    quelby::ForwardModel forward(io, mesh, topography.air_cells, survey);
    std::vector<double> data(static_cast<std::size_t>(survey.ndat));
    const std::vector<double> eta =
        forward.apparent_chargeability(io, resistivity.values(), chargeability.values(), data);
    Normal normal(options.seed);
    const double fraction = options.noise / 100;
    std::vector<double> dc(data.size()), dc_std(data.size()), ip(data.size()), ip_std(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
      dc[i] = data[i] * (1 + fraction * normal());
      dc_std[i] = fraction * std::abs(dc[i]);
      ip_std[i] = fraction * std::abs(eta[i]) + 0.5;
      ip[i] = eta[i] + ip_std[i] * normal();
    }
    const double spoils[4] = {-1, 10, 0.1, 0};
    for (int k = 0; k < options.spoil; ++k) {
      dc[data.size() * static_cast<std::size_t>(2 * k + 1) /
         static_cast<std::size_t>(2 * options.spoil)] *= spoils[k % 4];
    }
    quelby::write_general_data(io, options.prefix + "_dc.dat", "! xA xB xM xN value std", survey,
                               dc, dc_std);
    survey.iptype.assign(survey.iptype.size(), 1);
    quelby::write_general_data(io, options.prefix + "_ip.dat", "! xA xB xM xN value std", survey,
                               ip, ip_std);
    std::cout << mesh.nx << " x " << mesh.nz << " cells, " << survey.ndat << " data\n";
  } catch (const quelby::Stop& stop) {
    std::cerr << log.str();
    return stop.status();
  }
  return 0;
}
