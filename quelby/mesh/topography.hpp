// The ground surface on the mesh: read from a topography file of (x, elevation) points and a
// reference elevation (z = reference elevation - elevation), it gives the z of the surface at
// every x node and, per column, how many cells from the top lie above it (air cells).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"

namespace quelby {

// "No topography" has one form: what read_topography leaves without a file, has_topography false,
// air_cells nx zeros and surface_z the first z node at every x node. The active cells take only
// that form (a default-constructed store, with empty arrays, has not been read).
struct Topography {
  bool has_topography = false;          // true once a topography file was read
  std::vector<std::int32_t> air_cells;  // per column (0-based), cells from row 1 above the surface
  std::vector<double> surface_z;        // per x node (0-based), z of the surface
  // The file's reference elevation: the elevation of z = 0, so that a depth z lies at elevation
  // reference_elevation - z. 0 without a file.
  double reference_elevation = 0;
};

// Fills `topography` for the mesh nodes `x_nodes` and `z_nodes`. Without a file (`use_file`
// false) no cell is in the air and the surface is the first z node; nothing is opened or written.
// With a file, reads `name` (trailing blanks ignored), writes "topography was read from" to the
// run log, and on any failure writes its message and throws Stop. Linear in points plus nodes.
// A point count of 0 or below is refused after the header ("Error: # of points in the topography
// file should be positive." and the name); a position or elevation that is not a finite number is
// a read error of its line; every read starts its items from zero, so a null value or an early
// slash leaves 0. The points are held as they are read: a large count in a short file asks for no
// memory.
void read_topography(const Io& io, bool use_file, std::string_view name,
                     std::span<const double> x_nodes, std::span<const double> z_nodes,
                     Topography& topography);

// The same store from points in memory, as read_topography computes it from a file holding them:
// x not decreasing, both spans of one size of at least 1, every value finite (the caller's to
// check). Nothing is written. Linear in points plus nodes.
void topography_from_points(std::span<const double> x, std::span<const double> elevation,
                            double reference_elevation, std::span<const double> x_nodes,
                            std::span<const double> z_nodes, Topography& topography);

// load_mesh with `mesh_name`, then read_topography with the mesh's nodes.
void load_mesh_and_topography(const Io& io, std::string_view mesh_name,
                              std::string_view topography_name, bool use_file, Mesh& mesh,
                              Topography& topography);

}  // namespace quelby
