// The ground surface of a 3-D survey: read from a file of (x, y, elevation) points and a reference
// elevation (z = reference elevation - elevation, as in 2-D), it gives the surface's z anywhere
// and, per column of a 3-D mesh, how many layers from the top lie above it (air cells).
//
// The surface between the points: when the points are a full rectangular grid (every pair of
// their distinct x and distinct y values given exactly once, in any order) it is bilinear within
// each grid cell and flat beyond the grid's edges; otherwise it is the inverse-distance weighted
// mean (power 2) of the nearest 8 points, or a point's own elevation within 1e-9 m of it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

struct Topography3D {
  bool has_topography = false;     // true once a topography file was read
  double reference_elevation = 0;  // the elevation of z = 0
  // The points in file order: positions (m) and elevations (m, up).
  std::vector<double> x, y, elevation;
  // Set when the points form a full grid: its increasing distinct x and y values and the
  // elevations at grid_elevation[j * grid_x.size() + i].
  bool is_grid = false;
  std::vector<double> grid_x, grid_y, grid_elevation;
  // The z of the surface without a file: the mesh's first z node, which the caller sets (0 by
  // default, where the meshes quelby makes start).
  double flat_z = 0;
};

// Reads the 3-D topography file `name` (trailing blanks ignored) into `topography`, replacing it;
// without a file (`use_file` false) the store has no topography and nothing is opened. Line 1:
// the number of points (at least 1) and the reference elevation; then one line per point of x, y
// and elevation, all finite. Two points at one position are refused. Writes "3-D topography was
// read from file: <name>" to the run log; any failure writes its message and throws Stop.
// O(N log N) in the points.
void read_topography3d(const Io& io, bool use_file, std::string_view name,
                       Topography3D& topography);

// The same store from points in memory (spans of one size, at least 1, finite, positions
// distinct: the caller's to check), as read_topography3d makes it from a file holding them.
void topography3d_from_points(std::vector<double> x, std::vector<double> y,
                              std::vector<double> elevation, double reference_elevation,
                              Topography3D& topography);

// The z (depth, down) of the ground surface at (x, y); flat_z without topography.
double surface_z_at(const Topography3D& topography, double x, double y);

// The z of the surface at every column's centre: nx * ny values, column (i, j) at j * nx + i,
// each what surface_z_at gives there to the bit (scattered points are found through buckets of
// about two points each, searched outwards: about O(nx ny + N) for points spread evenly).
std::vector<double> surface_z_at_columns(const Io& io, const Mesh3D& mesh,
                                         const Topography3D& topography);

// The air cells of every column: nx * ny counts, column (i, j) at j * nx + i (0-based), each the
// number of layers from the top above the z node nearest the surface's z at the column's centre
// (a tie goes to the upper node), from 0 to nz. All zeros without topography. Costs what
// surface_z_at_columns costs.
std::vector<std::int32_t> air_cells_3d(const Io& io, const Mesh3D& mesh,
                                       const Topography3D& topography);

}  // namespace quelby
