#include "quelby/forward/ground.hpp"

#include <algorithm>
#include <cmath>
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
// the last boundary), and whether x is exactly that boundary.
std::size_t column_of(std::span<const double> nodes, double x) {
  const auto above = std::upper_bound(nodes.begin(), nodes.end(), x);
  const std::size_t index = static_cast<std::size_t>(above - nodes.begin());
  return std::min(index == 0 ? 0 : index - 1, nodes.size() - 2);
}

// Places one electrode, or returns the reason it cannot stand there.
const char* place(const Mesh& mesh, const Ground& ground, double x, double z, bool buried,
                  Electrode& electrode) {
  const std::span<const double> xs = mesh.x_nodes;
  const std::span<const double> zs = mesh.z_nodes;
  const std::size_t nx1 = static_cast<std::size_t>(mesh.nx) + 1;
  if (!(x >= xs.front() && x <= xs.back())) return "lies outside the mesh";
  if (buried && !(z >= zs.front() && z <= zs.back())) return "lies outside the mesh";
  electrode = Electrode{};
  electrode.x = x;
  electrode.buried = buried;
  const std::size_t i = column_of(xs, x);
  auto add = [&](std::size_t column_node, std::size_t row_node, double weight) {
    if (weight == 0) return;
    const std::int32_t number = ground.node_number[row_node * nx1 + column_node];
    electrode.node[electrode.count] = number;
    electrode.weight[electrode.count] = weight;
    ++electrode.count;
  };
  if (!buried) {
    if (x == xs[i] || x == xs[i + 1]) {
      const std::size_t node = x == xs[i] ? i : i + 1;
      const std::int32_t row = ground.surface_row[node];
      if (row < 0) return "stands over columns that are wholly air";
      electrode.z = zs[static_cast<std::size_t>(row)];
      add(node, static_cast<std::size_t>(row), 1.0);
      return nullptr;
    }
    const std::int32_t row = ground.top[i];
    if (row >= mesh.nz) return "stands over a column that is wholly air";
    const std::size_t k = static_cast<std::size_t>(row);
    electrode.z = zs[k];
    const double t = (x - xs[i]) / (xs[i + 1] - xs[i]);
    add(i, k, 1 - t);
    add(i + 1, k, t);
    return nullptr;
  }
  electrode.z = z;
  const std::size_t k = column_of(zs, z);
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
      const double tx = std::clamp((x - xs[column]) / (xs[column + 1] - xs[column]), 0.0, 1.0);
      const double tz = std::clamp((z - zs[row]) / (zs[row + 1] - zs[row]), 0.0, 1.0);
      add(column, row, (1 - tx) * (1 - tz));
      add(column + 1, row, tx * (1 - tz));
      add(column + 1, row + 1, tx * tz);
      add(column, row + 1, (1 - tx) * tz);
      return nullptr;
    }
  }
  return "lies above the ground surface";
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
  std::map<std::tuple<double, double, bool>, std::int32_t> known;
  auto electrode_of = [&](int role, std::size_t datum, double x, double z) {
    const bool buried = survey.has_z;
    const auto key = std::make_tuple(x, buried ? z : 0.0, buried);
    const auto found = known.find(key);
    if (found != known.end()) return found->second;
    Electrode electrode;
    if (const char* reason = place(mesh, ground, x, z, buried, electrode)) {
      refuse_electrode(io, role, line[datum], x, z, buried, reason);
    }
    const auto number = static_cast<std::int32_t>(placed.electrodes.size());
    placed.electrodes.push_back(electrode);
    known.emplace(key, number);
    return number;
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
      for (const std::int32_t source : {placed.a[i], placed.b[i]}) {
        for (const std::int32_t receiver : {placed.m[i], placed.n[i]}) {
          if (source < 0 || receiver < 0) continue;
          const double r = distance(placed.electrodes[static_cast<std::size_t>(source)],
                                    placed.electrodes[static_cast<std::size_t>(receiver)]);
          if (r > 0 && (smallest == 0 || r < smallest)) smallest = r;
        }
      }
    }
  }
  placed.smallest_separation = smallest;
  return placed;
}

}  // namespace quelby
