// Dipping zones: a background zone and polygonal zones read from a dipping file, each with its own
// smallness, x- and z-derivative coefficients and dip angle, and the zone of every mesh cell (the
// first polygon in file order that holds the cell's centre). Without a file there is one zone with
// the current alpha coefficients and no dip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/alpha.hpp"

namespace quelby {

// Numbering: the zone arrays are 0-based; zone_idx keeps the 1-based zone numbers that files and
// messages show.
//
//   | zone number z (zone_idx[cell]) | the zone            | 0-based accessor |
//   |--------------------------------|---------------------|---------------------------------------|
//   | 1                              | background          | zone_position(zone_idx, cell) = 0 | |
//   j + 1                          | j-th polygonal zone | zone_position(zone_idx, cell) = j     |
//
// Per zone, 0-based: element 0 is the background zone (zone number 1), element j the j-th
// polygonal zone of the file (zone number j + 1).
struct DippingZones {
  std::vector<double> zone_alpha_s;
  std::vector<double> zone_alpha_x;
  std::vector<double> zone_alpha_z;
  std::vector<double> zone_dip;  // radians
};

// A zone's polygon: the vertices in file order; it closes from the last back to the first.
struct Region {
  std::vector<double> x;
  std::vector<double> z;
};

// The 0-based element of the zone arrays for cell (0-based, cell order) of a zone map.
inline std::size_t zone_position(std::span<const std::int32_t> zone_idx, std::size_t cell) {
  return static_cast<std::size_t>(zone_idx[cell] - 1);
}

// Degrees to radians, as the dipping file's angles are converted.
inline constexpr double degrees_to_radians = 0.0174532925199433;
// A crossing less than this far from a point along x counts as lying on it.
inline constexpr double region_tolerance = 1.0E-4;

// Option 1 reads the dipping file `file_name` (trailing blanks ignored), fills `zones`, sets
// `nzone` (zones with the background) and `zone_idx` (mesh.nx * mesh.nz cells in cell order, the
// 1-based zone number of each cell) and writes its log line. Any other option sets the one
// background zone from `alpha`, nzone = 1 and every element of zone_idx to 1. Replaces what
// `zones` held. Every failure writes its message and throws Stop.
void read_dipping(const Io& io, const Mesh& mesh, const AlphaCoefficients& alpha,
                  std::int32_t option, std::string_view file_name, std::span<std::int32_t> zone_idx,
                  std::int32_t& nzone, DippingZones& zones);

// Releases the four zone arrays.
void release_dipping(DippingZones& zones);

// Even-odd crossing test along +x with the 1.0E-4 tolerance: true when (x, z) is inside.
// Linear in the vertices.
bool point_in_region(const Region& region, double x, double z);

// Sets zone_idx (mesh.nx * mesh.nz cells, cell order) to 1 + the 1-based position in `regions` of
// the first region whose polygon holds the cell centre by point_in_region, or 1 when none does.
// Exactly point_in_region's answer for every cell, in time linear in cells plus the crossings of
// the polygons' edges with the rows' centre lines. Throws std::invalid_argument when zone_idx does
// not hold one element per cell.
void assign_zones(const Mesh& mesh, std::span<const Region> regions,
                  std::span<std::int32_t> zone_idx);

}  // namespace quelby
