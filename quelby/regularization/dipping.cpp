#include "quelby/regularization/dipping.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::string_view dipping_label = "dipping";

// Whether the edge from (x0, z0) to (x1, z1) counts for the centre line at height z: not
// horizontal, and exactly one end point above it (z smaller). Then `crossing` is where it meets
// the line, computed as the point test computes it.
inline bool edge_crosses(const double x0, const double z0, const double x1, const double z1,
                         const double z, double& crossing) {
  if (z0 == z1) return false;
  if ((z0 < z) == (z1 < z)) return false;
  crossing = x0 + (z - z0) * (x1 - x0) / (z1 - z0);
  return true;
}

// The point test flips its flag for a crossing at `crossing` when d = x - crossing, set to 0 when
// |d| < 1.0E-4, is at most 0; that is exactly when d < 1.0E-4 (false for NaN).
inline bool flips(const double x, const double crossing) {
  return x - crossing < region_tolerance;
}

bool non_decreasing(const std::vector<double>& values) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (!(values[i - 1] <= values[i])) return false;
  }
  return values.empty() || !std::isnan(values.front());
}

std::vector<double> centres(const std::vector<double>& nodes, const std::int32_t count) {
  std::vector<double> result(static_cast<std::size_t>(count < 0 ? 0 : count));
  for (std::size_t i = 0; i < result.size(); ++i) result[i] = (nodes[i] + nodes[i + 1]) / 2;
  return result;
}

// The cell-by-cell assignment, for centres in no order (or NaN), where the sweep cannot be used.
void assign_each_cell(const std::vector<double>& x_centres, const std::vector<double>& z_centres,
                      std::span<const Region> regions, std::span<std::int32_t> zone_idx) {
  const std::size_t nx = x_centres.size();
  for (std::size_t k = 0; k < z_centres.size(); ++k) {
    for (std::size_t i = 0; i < nx; ++i) {
      std::int32_t zone = 1;
      for (std::size_t j = 0; j < regions.size(); ++j) {
        if (point_in_region(regions[j], x_centres[i], z_centres[k])) {
          zone = static_cast<std::int32_t>(j + 2);
          break;
        }
      }
      zone_idx[k * nx + i] = zone;
    }
  }
}

// A crossing of a region's edge with a row's centre line.
struct Crossing {
  std::uint32_t region;
  double x;
};

// The first unassigned cell at or after a position of one row, with path halving: painting a row
// costs its cells plus its intervals, however many regions overlap.
class UnassignedCells {
 public:
  void reset(const std::size_t count) {
    next_.resize(count + 1);
    for (std::size_t i = 0; i <= count; ++i) next_[i] = static_cast<std::uint32_t>(i);
  }
  std::size_t find(std::size_t i) {
    while (next_[i] != i) {
      next_[i] = next_[next_[i]];
      i = next_[i];
    }
    return i;
  }
  void take(const std::size_t i) { next_[i] = static_cast<std::uint32_t>(i + 1); }

 private:
  std::vector<std::uint32_t> next_;
};

}  // namespace

bool point_in_region(const Region& region, const double x, const double z) {
  const std::size_t count = std::min(region.x.size(), region.z.size());
  bool inside = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t next = i + 1 == count ? 0 : i + 1;
    const double z0 = region.z[i];
    const double z1 = region.z[next];
    if (z0 == z1) continue;
    if ((z0 < z) == (z1 < z)) continue;
    const double crossing = region.x[i] + (z - z0) * (region.x[next] - region.x[i]) / (z1 - z0);
    double d = x - crossing;
    if (std::fabs(d) < region_tolerance) d = 0;
    if (d <= 0) inside = !inside;
  }
  return inside;
}

void assign_zones(const Mesh& mesh, std::span<const Region> regions,
                  std::span<std::int32_t> zone_idx) {
  const std::vector<double> x_centres = centres(mesh.x_nodes, mesh.nx);
  const std::vector<double> z_centres = centres(mesh.z_nodes, mesh.nz);
  const std::size_t nx = x_centres.size();
  const std::size_t nz = z_centres.size();
  if (zone_idx.size() != nx * nz)
    throw std::invalid_argument("assign_zones: size(zone_idx) /= ncell");
  if (nx == 0 || nz == 0) return;
  if (!non_decreasing(x_centres) || !non_decreasing(z_centres)) {
    assign_each_cell(x_centres, z_centres, regions, zone_idx);
    return;
  }

  // An edge meets the centre lines of the rows whose z lies in (lower end, upper end]: with the
  // rows in order, one range found by two searches. Two passes bucket the crossings by row, each
  // row's bucket in region order.
  const auto rows_of_edge = [&](const double z0, const double z1) {
    const double low = std::min(z0, z1);
    const double high = std::max(z0, z1);
    const auto first =
        std::upper_bound(z_centres.begin(), z_centres.end(), low) - z_centres.begin();
    const auto last =
        std::upper_bound(z_centres.begin(), z_centres.end(), high) - z_centres.begin();
    return std::pair<std::size_t, std::size_t>(static_cast<std::size_t>(first),
                                               static_cast<std::size_t>(last));
  };
  const auto for_each_edge = [&](auto&& visit) {
    for (std::size_t r = 0; r < regions.size(); ++r) {
      const Region& region = regions[r];
      const std::size_t count = std::min(region.x.size(), region.z.size());
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t next = i + 1 == count ? 0 : i + 1;
        const double z0 = region.z[i];
        const double z1 = region.z[next];
        if (z0 == z1 || std::isnan(z0) || std::isnan(z1)) continue;
        const auto [first, last] = rows_of_edge(z0, z1);
        visit(r, region.x[i], z0, region.x[next], z1, first, last);
      }
    }
  };
  std::vector<std::size_t> row_start(nz + 1, 0);
  for_each_edge(
      [&](std::size_t, double, double, double, double, std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) ++row_start[k + 1];
      });
  for (std::size_t k = 0; k < nz; ++k) row_start[k + 1] += row_start[k];
  std::vector<Crossing> crossings(row_start[nz]);
  std::vector<std::size_t> fill(row_start.begin(), row_start.end() - 1);
  for_each_edge([&](std::size_t r, double x0, double z0, double x1, double z1, std::size_t first,
                    std::size_t last) {
    for (std::size_t k = first; k < last; ++k) {
      double x = 0;
      // The range was found by the same comparisons, so the edge counts for every row in it.
      if (edge_crosses(x0, z0, x1, z1, z_centres[k], x)) {
        crossings[fill[k]++] = Crossing{static_cast<std::uint32_t>(r), x};
      }
    }
  });

  UnassignedCells unassigned;
  std::vector<double> row_crossings;
  std::vector<std::size_t> thresholds;
  for (std::size_t k = 0; k < nz; ++k) {
    std::int32_t* const row = zone_idx.data() + k * nx;
    std::fill_n(row, nx, 1);
    unassigned.reset(nx);
    std::size_t remaining = nx;
    std::size_t c = row_start[k];
    const std::size_t end = fill[k];
    while (c < end && remaining > 0) {
      const std::uint32_t region = crossings[c].region;
      row_crossings.clear();
      for (; c < end && crossings[c].region == region; ++c) {
        // A NaN crossing never flips the flag.
        if (!std::isnan(crossings[c].x)) row_crossings.push_back(crossings[c].x);
      }
      // Crossing c flips the flag of the cells before its threshold: the first cell whose centre
      // is 1.0E-4 or more to its right. The flag of cell i is the parity of the thresholds above
      // i, so only their sorted values matter.
      thresholds.clear();
      for (const double crossing : row_crossings) {
        const auto t =
            std::partition_point(x_centres.begin(), x_centres.end(),
                                 [crossing](const double x) { return flips(x, crossing); });
        thresholds.push_back(static_cast<std::size_t>(t - x_centres.begin()));
      }
      std::sort(thresholds.begin(), thresholds.end());
      const std::size_t m = thresholds.size();
      const auto zone = static_cast<std::int32_t>(region + 2);
      for (std::size_t q = 0; q < m; ++q) {
        // Cells in [thresholds[q - 1], thresholds[q]) lie below m - q thresholds.
        if ((m - q) % 2 == 0) continue;
        const std::size_t begin = q == 0 ? 0 : thresholds[q - 1];
        const std::size_t stop = thresholds[q];
        for (std::size_t i = unassigned.find(begin); i < stop; i = unassigned.find(i + 1)) {
          row[i] = zone;
          unassigned.take(i);
          --remaining;
        }
      }
    }
  }
}

void read_dipping(const Io& io, const Mesh& mesh, const AlphaCoefficients& alpha,
                  const std::int32_t option, std::string_view file_name,
                  std::span<std::int32_t> zone_idx, std::int32_t& nzone, DippingZones& zones) {
  if (option != 1) {
    nzone = 1;
    zones.zone_alpha_s.assign(1, alpha.alpha_s);
    zones.zone_alpha_x.assign(1, alpha.alpha_x);
    zones.zone_alpha_z.assign(1, alpha.alpha_z);
    zones.zone_dip.assign(1, 0.0);
    std::fill(zone_idx.begin(), zone_idx.end(), 1);
    return;
  }
  const std::size_t ncell = static_cast<std::size_t>(mesh.nx < 1 ? 0 : mesh.nx) *
                            static_cast<std::size_t>(mesh.nz < 1 ? 0 : mesh.nz);
  if (zone_idx.size() != ncell) internal_check_failed(io, "size(zone_idx) /= ncell");

  ReaderFrame frame(io, dipping_label, file_name);
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the dipping file: " + frame.name() + "\n");
  // A count below 1 writes its message, then stops with the read error.
  const auto count_error = [&](std::string_view text, const std::string& what) {
    write_message(io, Order::console_then_log, text);
    frame.read_error(frame.detail(what));
  };
  release_dipping(zones);

  // The zones are stored as they are read, so that a count far beyond the file's content costs
  // nothing before the file runs out.
  double alpha_s = 0;
  double alpha_x = 0;
  double alpha_z = 0;
  double dip = 0;
  frame.read({alpha_s, alpha_x, alpha_z, dip});
  std::int32_t polygons = 0;
  frame.read({polygons});
  if (polygons < 1) {
    count_error("\nError: number of zones should be positive.\n",
                std::to_string(polygons) + " zones");
  }
  // The background zone comes first; a count at the 32-bit limit cannot be read to its end anyway.
  nzone = polygons == std::numeric_limits<std::int32_t>::max() ? polygons : polygons + 1;
  std::vector<Region> regions;
  try {
    const auto store_zone = [&] {
      zones.zone_alpha_s.push_back(alpha_s);
      zones.zone_alpha_x.push_back(alpha_x);
      zones.zone_alpha_z.push_back(alpha_z);
      zones.zone_dip.push_back(dip);
    };
    store_zone();
    std::int32_t points = 0;
    for (std::int32_t j = 0; j < polygons; ++j) {
      alpha_s = alpha_x = alpha_z = dip = 0;
      frame.read({alpha_s, alpha_x, alpha_z, dip, points});
      store_zone();
      if (points < 1) {
        count_error("\nError: number of region points should be positive.\n",
                    "zone " + std::to_string(j + 2) + " has " + std::to_string(points) + " points");
      }
      Region& region = regions.emplace_back();
      for (std::int32_t v = 0; v < points; ++v) {
        double x = 0;
        double z = 0;
        // A vertex is a position: it must be a finite number.
        frame.read_finite({x, z}, "a position");
        region.x.push_back(x);
        region.z.push_back(z);
      }
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  frame.close();

  for (double& angle : zones.zone_dip) angle *= degrees_to_radians;
  assign_zones(mesh, regions, zone_idx);
  regions.clear();
  frame.log_read("dipping information was read from: ", "\n\n");
}

void release_dipping(DippingZones& zones) {
  zones.zone_alpha_s = {};
  zones.zone_alpha_x = {};
  zones.zone_alpha_z = {};
  zones.zone_dip = {};
}

}  // namespace quelby
