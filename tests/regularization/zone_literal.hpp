// The literal zone assignment, kept as the oracle of the fast one: every cell centre against every
// edge of every polygon, in file order, the first polygon that holds the centre winning.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/dipping.hpp"

namespace quelby::testing {

inline bool literal_point_in_region(const Region& region, const double x, const double z) {
  const std::size_t p = region.x.size();
  bool inside = false;
  for (std::size_t i = 1; i <= p; ++i) {
    const std::size_t a = i - 1;
    const std::size_t b = i == p ? 0 : i;
    if (region.z[a] == region.z[b]) continue;
    const bool a_above = region.z[a] < z;
    const bool b_above = region.z[b] < z;
    if (a_above == b_above) continue;
    const double xc =
        region.x[a] + (z - region.z[a]) * (region.x[b] - region.x[a]) / (region.z[b] - region.z[a]);
    double d = x - xc;
    if (std::fabs(d) < 1.0E-4) d = 0;
    if (d <= 0) inside = !inside;
  }
  return inside;
}

inline std::vector<std::int32_t> literal_zones(const Mesh& mesh, std::span<const Region> regions) {
  std::vector<std::int32_t> zones;
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    const double z = (mesh.z_nodes[k] + mesh.z_nodes[k + 1]) / 2;
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double x = (mesh.x_nodes[i] + mesh.x_nodes[i + 1]) / 2;
      std::int32_t zone = 1;
      for (std::size_t j = 0; j < regions.size(); ++j) {
        if (literal_point_in_region(regions[j], x, z)) {
          zone = static_cast<std::int32_t>(j + 2);
          break;
        }
      }
      zones.push_back(zone);
    }
  }
  return zones;
}

}  // namespace quelby::testing
