#include "quelby/forward/ground.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

Ground make_ground(const Mesh& mesh, std::span<const std::int32_t> air_cells) {
  Ground ground;
  ground.nx = mesh.nx;
  ground.nz = mesh.nz;
  const std::size_t nx = static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = static_cast<std::size_t>(mesh.nz);
  ground.top.resize(nx);
  for (std::size_t i = 0; i < nx; ++i) {
    ground.top[i] = std::clamp(i < air_cells.size() ? air_cells[i] : 0, 0, mesh.nz);
  }
  ground.surface_row.assign(nx + 1, -1);
  for (std::size_t i = 0; i <= nx; ++i) {
    std::int32_t row = mesh.nz + 1;
    if (i > 0 && ground.top[i - 1] < mesh.nz) row = std::min(row, ground.top[i - 1]);
    if (i < nx && ground.top[i] < mesh.nz) row = std::min(row, ground.top[i]);
    if (row <= mesh.nz) ground.surface_row[i] = row;
  }
  // A node is ground when a ground cell lies on either side of it in its row or the row above.
  ground.node_number.assign((nx + 1) * (nz + 1), -1);
  for (std::size_t k = 0; k <= nz; ++k) {
    for (std::size_t i = 0; i <= nx; ++i) {
      bool touches = false;
      for (std::size_t column = i == 0 ? 0 : i - 1; column <= std::min(i, nx - 1); ++column) {
        const std::size_t first = static_cast<std::size_t>(ground.top[column]);
        // Cells (column, k - 1) and (column, k) touch the node; ground rows are first..nz-1.
        if (first < nz && (k >= first + 1 || (k >= first && k < nz))) touches = true;
      }
      if (touches) {
        ground.node_number[k * (nx + 1) + i] =
            static_cast<std::int32_t>(ground.ground_nodes.size());
        ground.ground_nodes.push_back(static_cast<std::int32_t>(k * (nx + 1) + i));
      }
    }
  }
  return ground;
}

namespace {

const char* const role_names[4] = {"A", "B", "M", "N"};

[[noreturn]] void refuse_electrode(const Io& io, int role, std::size_t datum_line, double x,
                                   double z, bool buried, const char* reason) {
  std::string text = "\nError: electrode ";
  text += role_names[role];
  text += " of datum " + std::to_string(datum_line) + " at x = " + shortest(x);
  if (buried) text += ", z = " + shortest(z);
  text += ' ';
  text += reason;
  text += '\n';
  stop_with(io, Order::console_then_log, text);
}

// The column that holds x (x on a column boundary: the column to its right, the last column for
// the last boundary).
std::size_t column_of(std::span<const double> nodes, double x) {
  const auto above = std::upper_bound(nodes.begin(), nodes.end(), x);
  const std::size_t index = static_cast<std::size_t>(above - nodes.begin());
  return std::min(index == 0 ? 0 : index - 1, nodes.size() - 2);
}

// The weights of an electrode along one axis: up to three node indices with their weights.
struct AxisWeights {
  int count = 0;
  std::size_t index[3] = {};
  double weight[3] = {};
};

// On the interior node `at`: that node and its two neighbours with no first moment and the second
// moment electrode_spread (h1^2 + h2^2) / 12 (on equal cells the electrode_spread h^2 / 6 the
// operator asks for), held to h1 h2 / 2 where the cells differ by more than about 6 times, so that
// the middle weight keeps at least a half.
AxisWeights spread(std::span<const double> nodes, std::size_t at) {
  const double h1 = nodes[at] - nodes[at - 1], h2 = nodes[at + 1] - nodes[at];
  const double moment = std::min(electrode_spread * (h1 * h1 + h2 * h2) / 12, h1 * h2 / 2);
  const double before = moment / (h1 * (h1 + h2)), after = moment / (h2 * (h1 + h2));
  return {3, {at - 1, at, at + 1}, {before, 1 - before - after, after}};
}

// Linear interpolation between the nodes `at` and `at` + 1.
AxisWeights interpolate(std::span<const double> nodes, std::size_t at, double position) {
  const double t = std::clamp((position - nodes[at]) / (nodes[at + 1] - nodes[at]), 0.0, 1.0);
  return {2, {at, at + 1}, {1 - t, t}};
}

// On a flat ground surface at row boundary `row`: the spread of an interior node folded onto the
// ground, the mirror image's share joining that of the node below.
AxisWeights surface(std::size_t row) {
  constexpr double below = electrode_spread / 6;
  return {2, {row, row + 1}, {1 - below, below}};
}

// The electrode's nodes and weights, the products of the axes' weights, when every cell between
// its outermost nodes is ground; false otherwise.
bool combine(const Mesh& mesh, const Ground& ground, const AxisWeights& along_x,
             const AxisWeights& along_z, Electrode& electrode) {
  const std::size_t nx1 = static_cast<std::size_t>(mesh.nx) + 1;
  const std::size_t first_column = along_x.index[0];
  const std::size_t last_column = std::max(first_column + 1, along_x.index[along_x.count - 1]);
  const std::size_t first_row = along_z.index[0];
  const std::size_t last_row = std::max(first_row + 1, along_z.index[along_z.count - 1]);
  double cell = 0;
  for (std::size_t row = first_row; row < last_row; ++row) {
    for (std::size_t column = first_column; column < last_column; ++column) {
      if (!ground.is_ground(static_cast<std::int32_t>(column), static_cast<std::int32_t>(row))) {
        return false;
      }
      cell = std::max({cell, mesh.dx[column], mesh.dz[row]});
    }
  }
  electrode.count = 0;
  electrode.cell = cell;
  for (int a = 0; a < along_z.count; ++a) {
    for (int b = 0; b < along_x.count; ++b) {
      const double weight = along_z.weight[a] * along_x.weight[b];
      if (weight == 0) continue;
      electrode.node[electrode.count] =
          ground.node_number[along_z.index[a] * nx1 + along_x.index[b]];
      electrode.weight[electrode.count] = weight;
      ++electrode.count;
    }
  }
  return true;
}

// Whether every column between the outermost nodes of `along_x` has its surface at `row`.
bool surface_at(const Ground& ground, const AxisWeights& along_x, std::size_t row) {
  const std::size_t last = std::max(along_x.index[0] + 1, along_x.index[along_x.count - 1]);
  for (std::size_t column = along_x.index[0]; column < last; ++column) {
    if (ground.top[column] != static_cast<std::int32_t>(row)) return false;
  }
  return true;
}

// The reasons an electrode given with z may still stand on the surface: it lies in the air, or
// above the mesh's first row boundary. (Distinct arrays, so that they are told apart by address.)
constexpr char outside_mesh[] = "lies outside the mesh";
constexpr char above_mesh[] = "lies outside the mesh";
constexpr char above_surface[] = "lies above the ground surface";

// A position within a billionth of a cell of a node is on it: a mesh file's nodes are sums of
// its widths, and miss a position they were made to hold by a few units in the last place when
// the widths are not exact binary fractions.
double snapped(std::span<const double> nodes, double position) {
  const std::size_t i = column_of(nodes, position);
  const double tolerance = 1e-9 * (nodes[i + 1] - nodes[i]);
  if (std::abs(position - nodes[i]) <= tolerance) return nodes[i];
  if (std::abs(position - nodes[i + 1]) <= tolerance) return nodes[i + 1];
  return position;
}

// Places one electrode at the point given, or returns the reason it cannot stand there.
const char* place_at(const Mesh& mesh, const Ground& ground, double given_x, double given_z,
                     bool buried, Electrode& electrode) {
  const std::span<const double> xs = mesh.x_nodes;
  const std::span<const double> zs = mesh.z_nodes;
  const auto nx = static_cast<std::size_t>(mesh.nx);
  const auto nz = static_cast<std::size_t>(mesh.nz);
  if (!(given_x >= xs.front() && given_x <= xs.back())) return outside_mesh;
  if (buried && given_z < zs.front()) return above_mesh;
  if (buried && !(given_z >= zs.front() && given_z <= zs.back())) return outside_mesh;
  const double x = snapped(xs, given_x);
  const double z = buried ? snapped(zs, given_z) : given_z;
  electrode = Electrode{};
  electrode.x = x;
  electrode.buried = buried;
  const std::size_t i = column_of(xs, x);
  const bool on_column = x == xs[i] || x == xs[i + 1];  // on a column boundary
  const std::size_t column_node = x == xs[i + 1] ? i + 1 : i;
  const bool interior_column = on_column && column_node > 0 && column_node < nx;
  if (!buried) {
    if (on_column) {
      const std::int32_t row = ground.surface_row[column_node];
      if (row < 0) return "stands over columns that are wholly air";
      const auto k = static_cast<std::size_t>(row);
      electrode.z = zs[k];
      // Spread where the surface is flat on both sides, else on the node alone.
      if (interior_column && k < nz && surface_at(ground, spread(xs, column_node), k) &&
          combine(mesh, ground, spread(xs, column_node), surface(k), electrode)) {
        return nullptr;
      }
      electrode.count = 1;
      electrode.node[0] = ground.node_number[k * (nx + 1) + column_node];
      electrode.weight[0] = 1;
      for (std::size_t column = column_node > 0 ? column_node - 1 : 0;
           column <= std::min(column_node, nx - 1); ++column) {
        if (k < nz &&
            ground.is_ground(static_cast<std::int32_t>(column), static_cast<std::int32_t>(k))) {
          electrode.cell = std::max({electrode.cell, mesh.dx[column], mesh.dz[k]});
        }
      }
      return nullptr;
    }
    const std::int32_t row = ground.top[i];
    if (row >= mesh.nz) return "stands over a column that is wholly air";
    const auto k = static_cast<std::size_t>(row);
    electrode.z = zs[k];
    combine(mesh, ground, interpolate(xs, i, x), surface(k), electrode);
    return nullptr;
  }
  electrode.z = z;
  const std::size_t k = column_of(zs, z);
  const bool on_row = z == zs[k] || z == zs[k + 1];
  const std::size_t row_node = z == zs[k + 1] ? k + 1 : k;
  // On a cell boundary the point belongs to every cell around it: take the first that is ground.
  std::size_t columns[2] = {i, i};
  std::size_t rows[2] = {k, k};
  if (x == xs[i] && i > 0) columns[0] = i - 1;
  if (z == zs[k] && k > 0) rows[0] = k - 1;
  for (const std::size_t row : rows) {
    for (const std::size_t column : columns) {
      if (!ground.is_ground(static_cast<std::int32_t>(column), static_cast<std::int32_t>(row))) {
        continue;
      }
      // Spread along each axis where the electrode is on an interior node line (or on the row of a
      // flat surface), where the ground surrounds it; else the bilinear weights of this cell.
      const AxisWeights plain_x = interpolate(xs, column, x);
      const AxisWeights plain_z = interpolate(zs, row, z);
      const AxisWeights along_x = interior_column ? spread(xs, column_node) : plain_x;
      AxisWeights along_z = plain_z;
      if (on_row && row_node < nz) {
        if (surface_at(ground, along_x, row_node)) {
          along_z = surface(row_node);
        } else if (row_node > 0) {
          along_z = spread(zs, row_node);
        }
      }
      if (!combine(mesh, ground, along_x, along_z, electrode)) {
        combine(mesh, ground, plain_x, plain_z, electrode);
      }
      return nullptr;
    }
  }
  return above_surface;
}

// Places one electrode, or returns the reason it cannot stand there. One given with z above the
// ground surface by no more than the thicker of the two cells that meet at the surface there
// stands on the surface, as one given by x alone: the mesh's surface lies on the row boundary
// nearest the ground's mean height over each column, so an electrode given on the ground itself
// (its elevation) may lie up to about a cell above it. Farther above it is refused.
const char* place(const Mesh& mesh, const Ground& ground, double x, double z, bool buried,
                  Electrode& electrode) {
  const char* const reason = place_at(mesh, ground, x, z, buried, electrode);
  if (reason != above_surface && reason != above_mesh) return reason;
  Electrode on_surface;
  if (place_at(mesh, ground, x, z, false, on_surface) != nullptr) return reason;
  const auto row = static_cast<std::size_t>(
      std::lower_bound(mesh.z_nodes.begin(), mesh.z_nodes.end(), on_surface.z) -
      mesh.z_nodes.begin());
  double thickness = 0;
  if (row < mesh.dz.size()) thickness = mesh.dz[row];
  if (row > 0) thickness = std::max(thickness, mesh.dz[row - 1]);
  if (!(z >= on_surface.z - thickness)) return reason;
  electrode = on_surface;
  electrode.lowered = on_surface.z - z;
  return nullptr;
}

double distance(const Electrode& first, const Electrode& second) {
  return std::hypot(first.x - second.x, first.z - second.z);
}

}  // namespace

SurveyElectrodes place_electrodes(const Io& io, const Mesh& mesh, const Ground& ground,
                                  const SurveyData& survey) {
  SurveyElectrodes placed;
  const std::size_t ndat = static_cast<std::size_t>(survey.ndat);
  placed.a.resize(ndat);
  placed.b.resize(ndat);
  placed.m.resize(ndat);
  placed.n.resize(ndat);
  // The 1-based line among the file's data of each grouped datum.
  std::vector<std::size_t> line(ndat);
  for (std::size_t i = 0; i < ndat; ++i) line[i] = i + 1;
  if (survey.has_file_order) {
    for (std::size_t j = 0; j < ndat; ++j) line[survey.grouped_position(j)] = j + 1;
  }
  // Electrodes by the position given and by the point they stand at: two given at different
  // heights above the surface stand at one point, and are one electrode.
  std::map<std::tuple<double, double, bool>, std::int32_t> known;
  std::map<std::pair<double, double>, std::int32_t> standing;
  auto electrode_of = [&](int role, std::size_t datum, double x, double z) {
    const bool buried = survey.has_z;
    const auto key = std::make_tuple(x, buried ? z : 0.0, buried);
    const auto found = known.find(key);
    if (found != known.end()) return found->second;
    Electrode electrode;
    if (const char* reason = place(mesh, ground, x, z, buried, electrode)) {
      refuse_electrode(io, role, line[datum], x, z, buried, reason);
    }
    const auto at = standing.try_emplace({electrode.x, electrode.z},
                                         static_cast<std::int32_t>(placed.electrodes.size()));
    if (at.second) {
      placed.electrodes.push_back(electrode);
      if (electrode.lowered > 0) {
        ++placed.lowered_count;
        placed.most_lowered = std::max(placed.most_lowered, electrode.lowered);
      }
    }
    known.emplace(key, at.first->second);
    return at.first->second;
  };
  double smallest = 0;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    const double xa = survey.xa_cur[pair], xb = survey.xb_cur[pair];
    const double za = survey.has_z ? survey.za_cur[pair] : 0,
                 zb = survey.has_z ? survey.zb_cur[pair] : 0;
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      const double xm = survey.xm[i], xn = survey.xn[i];
      const double zm = survey.has_z ? survey.zm[i] : 0, zn = survey.has_z ? survey.zn[i] : 0;
      placed.a[i] = electrode_of(0, i, xa, za);
      placed.b[i] = xa == xb && za == zb ? -1 : electrode_of(1, i, xb, zb);
      placed.m[i] = electrode_of(2, i, xm, zm);
      placed.n[i] = xm == xn && zm == zn ? -1 : electrode_of(3, i, xn, zn);
      // A potential electrode where a current electrode stands would read an infinite potential.
      const std::int32_t sources[2] = {placed.a[i], placed.b[i]};
      const std::int32_t receivers[2] = {placed.m[i], placed.n[i]};
      for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) {
          if (receivers[r] < 0 || receivers[r] != sources[c]) continue;
          const std::string reason = std::string("stands on current electrode ") + role_names[c] +
                                     ": the potential there is infinite";
          refuse_electrode(io, 2 + r, line[i], r == 0 ? xm : xn, r == 0 ? zm : zn, survey.has_z,
                           reason.c_str());
        }
      }
      for (const std::int32_t source : {placed.a[i], placed.b[i]}) {
        for (const std::int32_t receiver : {placed.m[i], placed.n[i]}) {
          if (source < 0 || receiver < 0) continue;
          const double r = distance(placed.electrodes[static_cast<std::size_t>(source)],
                                    placed.electrodes[static_cast<std::size_t>(receiver)]);
          if (r > 0 && (smallest == 0 || r < smallest)) smallest = r;
          const double cell = std::max(placed.electrodes[static_cast<std::size_t>(source)].cell,
                                       placed.electrodes[static_cast<std::size_t>(receiver)].cell);
          const double cells = r / cell;
          if (cell > 0 && (placed.fewest_cells_line == 0 || cells < placed.fewest_cells)) {
            placed.fewest_cells = cells;
            placed.fewest_cells_line = static_cast<std::int32_t>(line[i]);
          }
        }
      }
    }
  }
  placed.smallest_separation = smallest;
  for (const Electrode& electrode : placed.electrodes)
    placed.largest_cell = std::max(placed.largest_cell, electrode.cell);
  return placed;
}

std::string lowered_electrodes_note(const SurveyElectrodes& placed) {
  if (placed.lowered_count == 0) return {};
  char most[32];
  std::snprintf(most, sizeof most, "%.3g", placed.most_lowered);
  return "Note: " + std::to_string(placed.lowered_count) +
         (placed.lowered_count == 1 ? " electrode" : " electrodes") +
         " given above the ground surface of the mesh, by " + most + " m at most, " +
         (placed.lowered_count == 1 ? "stands" : "stand") + " on it.\n";
}

std::string close_electrodes_note(const SurveyElectrodes& placed, std::string_view data_file) {
  if (placed.fewest_cells_line == 0 || placed.fewest_cells >= 3) return {};
  char cells[32];
  std::snprintf(cells, sizeof cells, "%.3g", placed.fewest_cells);
  return "Note: a current and a potential electrode of datum " +
         std::to_string(placed.fewest_cells_line) + " of " + std::string(data_file) + " are " +
         cells + (placed.fewest_cells == 1 ? " cell" : " cells") +
         " apart; the computed data err by up to a few per cent where fewer than 3 cells "
         "part them: finer cells around the electrodes make them exact.\n";
}

}  // namespace quelby
