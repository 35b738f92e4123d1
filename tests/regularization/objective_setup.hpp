// Set-ups of the model objective for the tests: a mesh, an active-cell map, weights and zones held
// together, built by hand or drawn at random with a fixed seed.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/objective.hpp"

namespace quelby::testing {

struct ObjectiveSetup {
  Mesh mesh;
  std::vector<std::int32_t> cell_idx;
  std::int32_t npar = 0;
  std::vector<double> s_weights;
  std::vector<double> x_weights;
  std::vector<double> z_weights;
  std::vector<std::int32_t> zone_idx;
  std::vector<double> alpha_s;
  std::vector<double> alpha_x;
  std::vector<double> alpha_z;
  std::vector<double> dip;

  ObjectiveInputs inputs() const {
    return {{mesh, cell_idx, npar},          s_weights, x_weights, z_weights, zone_idx,
            {alpha_s, alpha_x, alpha_z, dip}};
  }
};

inline Mesh make_mesh(const std::vector<double>& dx, const std::vector<double>& dz) {
  Mesh mesh;
  mesh.nx = static_cast<std::int32_t>(dx.size());
  mesh.nz = static_cast<std::int32_t>(dz.size());
  mesh.dx = dx;
  mesh.dz = dz;
  mesh.x_nodes.push_back(0);
  for (const double width : dx) mesh.x_nodes.push_back(mesh.x_nodes.back() + width);
  mesh.z_nodes.push_back(0);
  for (const double width : dz) mesh.z_nodes.push_back(mesh.z_nodes.back() + width);
  for (std::size_t i = 0; i < dx.size(); ++i)
    mesh.x_centres.push_back((mesh.x_nodes[i] + mesh.x_nodes[i + 1]) / 2);
  for (std::size_t i = 0; i < dz.size(); ++i)
    mesh.z_centres.push_back((mesh.z_nodes[i] + mesh.z_nodes[i + 1]) / 2);
  return mesh;
}

// Numbers the cells whose flag is non-zero 1, 2, ... in cell order.
inline std::int32_t number_cells(std::vector<std::int32_t>& cell_idx) {
  std::int32_t npar = 0;
  for (std::int32_t& index : cell_idx) index = index != 0 ? ++npar : 0;
  return npar;
}

// Every cell active, unit weights, one zone with the given coefficients and dip (radians).
inline ObjectiveSetup uniform_setup(const std::vector<double>& dx, const std::vector<double>& dz,
                                    double alpha_s, double alpha_x, double alpha_z,
                                    double dip = 0) {
  ObjectiveSetup setup;
  setup.mesh = make_mesh(dx, dz);
  const std::size_t cells = dx.size() * dz.size();
  setup.cell_idx.assign(cells, 1);
  setup.npar = number_cells(setup.cell_idx);
  setup.s_weights.assign(cells, 1.0);
  setup.x_weights.assign(cells, 1.0);
  setup.z_weights.assign(cells, 1.0);
  setup.zone_idx.assign(cells, 1);
  setup.alpha_s = {alpha_s};
  setup.alpha_x = {alpha_x};
  setup.alpha_z = {alpha_z};
  setup.dip = {dip};
  return setup;
}

// A random set-up: unequal widths, air cells at the top of some columns, inactive cells, weights
// (unit or drawn, as from files), up to three zones with or without a dip and with equal or unequal
// coefficients. At least one cell is active.
inline ObjectiveSetup random_setup(std::mt19937& random, std::int32_t max_cells_per_side = 7) {
  std::uniform_int_distribution<std::int32_t> side(1, max_cells_per_side);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const std::int32_t nx = side(random);
  const std::int32_t nz = side(random);
  std::vector<double> dx(nx), dz(nz);
  for (double& width : dx) width = unit(random) < 0.3 ? 10.0 : 1.0 + 40.0 * unit(random);
  for (double& width : dz) width = unit(random) < 0.3 ? 5.0 : 0.5 + 20.0 * unit(random);

  ObjectiveSetup setup;
  setup.mesh = make_mesh(dx, dz);
  const std::size_t cells = static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz);
  setup.cell_idx.assign(cells, 1);
  const double inactive_share = unit(random) < 0.3 ? 0.0 : 0.3 * unit(random);
  const bool topography = unit(random) < 0.5;
  for (std::int32_t ix = 0; ix < nx; ++ix) {
    const std::int32_t air = topography ? static_cast<std::int32_t>(unit(random) * nz / 2.0) : 0;
    for (std::int32_t iz = 0; iz < nz; ++iz) {
      const std::size_t cell = static_cast<std::size_t>(iz) * nx + ix;
      if (iz < air || unit(random) < inactive_share) setup.cell_idx[cell] = 0;
    }
  }
  setup.cell_idx[static_cast<std::size_t>(unit(random) * static_cast<double>(cells))] = 1;
  setup.npar = number_cells(setup.cell_idx);

  const bool file_weights = unit(random) < 0.6;
  const auto weight = [&] { return file_weights ? 0.1 + 3.0 * unit(random) : 1.0; };
  for (std::size_t cell = 0; cell < cells; ++cell) {
    setup.s_weights.push_back(weight());
    setup.x_weights.push_back(weight());
    setup.z_weights.push_back(weight());
  }

  const std::int32_t n_zones = 1 + static_cast<std::int32_t>(unit(random) * 3);
  const bool dipping = unit(random) < 0.7;
  const bool equal = unit(random) < 0.25;
  for (std::int32_t zone = 0; zone < n_zones; ++zone) {
    setup.alpha_s.push_back(equal ? 1.0 / 1600 : 1e-4 + 1e-2 * unit(random));
    setup.alpha_x.push_back(equal ? 1.0 : 0.2 + 2.0 * unit(random));
    setup.alpha_z.push_back(equal ? 1.0 : 0.2 + 2.0 * unit(random));
    const double degrees = unit(random) < 0.2 ? 90.0 : -80.0 + 160.0 * unit(random);
    setup.dip.push_back(
        dipping && (zone > 0 || unit(random) < 0.5) ? degrees * std::numbers::pi / 180 : 0.0);
  }
  for (std::size_t cell = 0; cell < cells; ++cell)
    setup.zone_idx.push_back(1 + static_cast<std::int32_t>(unit(random) * n_zones));
  return setup;
}

}  // namespace quelby::testing
