#include "quelby/forward/forward3d.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <stdexcept>
#include <string>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/primary3d.hpp"

namespace quelby {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The unit-conductivity stiffness matrix of a trilinear brick (local node l = a + 2 b + 4 c for
// the corner at x_a, y_b, z_c): K = kx my mz + mx ky mz + mx my kz with the 1-D stiffness
// k = [1 -1; -1 1] / h and mass m = h [2 1; 1 2] / 6.
void element_stiffness(double hx, double hy, double hz, double* k) {
  auto stiff = [](double h, int a, int b) { return (a == b ? 1.0 : -1.0) / h; };
  auto mass = [](double h, int a, int b) { return h * (a == b ? 2.0 : 1.0) / 6; };
  for (int l = 0; l < 8; ++l) {
    const int a = l & 1, b = (l >> 1) & 1, c = (l >> 2) & 1;
    for (int m = 0; m < 8; ++m) {
      const int a2 = m & 1, b2 = (m >> 1) & 1, c2 = (m >> 2) & 1;
      k[l * 8 + m] = stiff(hx, a, a2) * mass(hy, b, b2) * mass(hz, c, c2) +
                     mass(hx, a, a2) * stiff(hy, b, b2) * mass(hz, c, c2) +
                     mass(hx, a, a2) * mass(hy, b, b2) * stiff(hz, c, c2);
    }
  }
}

// Gauss-Legendre points and weights on [0, 1].
constexpr std::array<double, 3> gauss3_points = {0.1127016653792583, 0.5, 0.8872983346207417};
constexpr std::array<double, 3> gauss3_weights = {5.0 / 18, 8.0 / 18, 5.0 / 18};

struct Electrode {
  PointSource source;
  std::array<std::int32_t, 8> nodes{};  // compact node numbers of the cell that holds it
  std::array<double, 8> weights{};      // trilinear weights in that cell
  std::vector<std::int32_t> touching;   // ground cells (as ground numbers) whose closure holds it
};

// A pole pair of the survey's data, electrodes s < r.
struct PolePair {
  std::int32_t s, r;
};

struct DatumTerm {
  std::int32_t pair;
  double sign;
};

// A ground cell near an electrode: its exact element integrals of the primary field.
struct NearCell {
  std::int32_t electrode;
  std::array<double, 8> integrals;
};

}  // namespace

struct ForwardModel3D::Impl {
  Mesh3D mesh;
  Forward3DOptions options;
  Forward3DStatistics stats;
  std::int32_t ndat = 0;
  std::int32_t nelec = 0;

  std::vector<std::int32_t> air;            // per column
  std::vector<std::int32_t> ground_number;  // per mesh cell, -1 in the air
  std::vector<std::int32_t> ground_cells;   // ground number -> mesh cell
  std::vector<std::int32_t> node_number;    // per mesh node, -1 unused
  std::vector<std::int64_t> node_of;        // compact node -> mesh node
  std::int32_t n = 0;

  // The full symmetric pattern in compressed rows and, per ground cell, the 64 positions of its
  // element matrix in it; the upper triangle in compressed columns for the factor.
  std::vector<std::int32_t> row_starts, columns;
  std::vector<std::int32_t> cell_positions;
  std::vector<std::int32_t> upper_starts, upper_rows, upper_positions;
  // Mixed-boundary blocks (unit conductivity) of the ground cells on the outer faces.
  std::vector<std::int32_t> robin_index;  // per ground cell, -1 or a block
  std::vector<std::array<double, 64>> robin_blocks;

  bool flat = true;  // no air cell and every electrode's surface at the first z node
  // Free-surface faces: a ground cell's face towards the air (or the top of the mesh).
  struct SurfaceFace {
    std::int32_t ground;
    int axis;       // 0 x, 1 y, 2 z
    double normal;  // +1 or -1 along the axis
  };
  std::vector<SurfaceFace> surface_faces;

  std::vector<Electrode> electrodes;
  std::vector<PolePair> pairs;
  std::vector<std::int32_t> datum_starts;
  std::vector<DatumTerm> datum_terms;
  // Near cells per ground cell (compressed rows over ground numbers).
  std::vector<std::int32_t> near_starts;
  std::vector<NearCell> near_cells;

  std::unique_ptr<CholeskyPattern> pattern;
  std::unique_ptr<CholeskyFactor> factor;
  std::unique_ptr<SpdSolver> multigrid;  // beyond the direct solver's size
  std::vector<double> factor_sigma;      // conductivities of the kept factor, per ground cell

  // Kept fields of `fields_sigma`: per electrode the secondary field at the nodes and the adjoint
  // field of its interpolation, node by node.
  std::vector<double> fields_sigma;
  std::vector<double> total_fields, adjoint_fields;
  std::vector<double> sigma0;          // per electrode
  std::vector<double> pair_potential;  // per pair: u_s(r), u_r(s)
  // Per pair the weight w of u_s(r) in its potential w u_s(r) + (1 - w) u_r(s):
  // w = sigma0_s^2 / (sigma0_s^2 + sigma0_r^2), so that the way whose source stands in the more
  // conductive ground counts most (the primary of a source in resistive ground next to conductive
  // ground is far from the field there, and its secondary field carries large errors); a pair's
  // potential is the same whichever of its electrodes carries the current.
  std::vector<double> pair_weight;
  std::vector<double> pair_moments;  // per pair: M(s->r), M(r->s); empty until a cell pass
  bool have_adjoint = false;

  double element[64];

  // ---- set-up ----
  bool is_ground(std::int64_t cell) const { return ground_number[cell] >= 0; }

  void element_matrix(std::int32_t ground, double* k) const {
    const std::int64_t cell = ground_cells[ground];
    const std::int32_t i = static_cast<std::int32_t>(cell % mesh.nx);
    const std::int32_t j = static_cast<std::int32_t>((cell / mesh.nx) % mesh.ny);
    const std::int32_t kk = static_cast<std::int32_t>(cell / (std::int64_t{mesh.nx} * mesh.ny));
    element_stiffness(mesh.dx[i], mesh.dy[j], mesh.dz[kk], k);
    if (robin_index[ground] >= 0) {
      const auto& block = robin_blocks[robin_index[ground]];
      for (int e = 0; e < 64; ++e) k[e] += block[e];
    }
  }

  std::array<std::int32_t, 3> cell_ijk(std::int64_t cell) const {
    return {static_cast<std::int32_t>(cell % mesh.nx),
            static_cast<std::int32_t>((cell / mesh.nx) % mesh.ny),
            static_cast<std::int32_t>(cell / (std::int64_t{mesh.nx} * mesh.ny))};
  }

  std::array<std::int32_t, 8> cell_nodes(std::int64_t cell) const {
    const auto [i, j, k] = cell_ijk(cell);
    std::array<std::int32_t, 8> nodes{};
    for (int l = 0; l < 8; ++l) {
      nodes[l] = node_number[mesh.node(i + (l & 1), j + ((l >> 1) & 1), k + ((l >> 2) & 1))];
    }
    return nodes;
  }

  void build_ground(const Io& io, std::span<const std::int32_t> air_cells) {
    const std::int64_t columns_count = std::int64_t{mesh.nx} * mesh.ny;
    if (!air_cells.empty() && static_cast<std::int64_t>(air_cells.size()) != columns_count) {
      internal_check_failed(io, "3-D forward: air cells must hold nx * ny counts");
    }
    air.assign(static_cast<std::size_t>(columns_count), 0);
    for (std::int64_t c = 0; c < columns_count && !air_cells.empty(); ++c) {
      if (air_cells[c] < 0 || air_cells[c] >= mesh.nz) {
        stop_with(io, Order::console_then_log,
                  "ERROR: 3-D forward: a column has no ground cell (air cells " +
                      std::to_string(air_cells[c]) + " of " + std::to_string(mesh.nz) + ")");
      }
      air[c] = air_cells[c];
      if (air[c] > 0) flat = false;
    }
    const std::int64_t cells = mesh.cell_count();
    ground_number.assign(static_cast<std::size_t>(cells), -1);
    ground_cells.clear();
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t j = 0; j < mesh.ny; ++j) {
        for (std::int32_t i = 0; i < mesh.nx; ++i) {
          if (k < air[std::int64_t{j} * mesh.nx + i]) continue;
          const std::int64_t cell = mesh.cell(i, j, k);
          ground_number[cell] = static_cast<std::int32_t>(ground_cells.size());
          ground_cells.push_back(static_cast<std::int32_t>(cell));
        }
      }
    }
    stats.ground_cells = static_cast<std::int64_t>(ground_cells.size());
    node_number.assign(static_cast<std::size_t>(mesh.node_count()), -1);
    for (const std::int32_t cell : ground_cells) {
      const auto [i, j, k] = cell_ijk(cell);
      for (int l = 0; l < 8; ++l) {
        node_number[mesh.node(i + (l & 1), j + ((l >> 1) & 1), k + ((l >> 2) & 1))] = 0;
      }
    }
    node_of.clear();
    for (std::int64_t g = 0; g < mesh.node_count(); ++g) {
      if (node_number[g] < 0) continue;
      node_number[g] = static_cast<std::int32_t>(node_of.size());
      node_of.push_back(g);
    }
    n = static_cast<std::int32_t>(node_of.size());
    stats.nodes = n;
  }

  bool ground_at(std::int32_t i, std::int32_t j, std::int32_t k) const {
    if (i < 0 || j < 0 || k < 0 || i >= mesh.nx || j >= mesh.ny || k >= mesh.nz) return false;
    return k >= air[std::int64_t{j} * mesh.nx + i];
  }

  void build_pattern() {
    const std::int32_t nxn = mesh.nx + 1, nyn = mesh.ny + 1, nzn = mesh.nz + 1;
    row_starts.assign(static_cast<std::size_t>(n) + 1, 0);
    columns.clear();
    columns.reserve(static_cast<std::size_t>(n) * 27);
    for (std::int32_t row = 0; row < n; ++row) {
      const std::int64_t g = node_of[row];
      const std::int32_t i = static_cast<std::int32_t>(g % nxn);
      const std::int32_t j = static_cast<std::int32_t>((g / nxn) % nyn);
      const std::int32_t k = static_cast<std::int32_t>(g / (std::int64_t{nxn} * nyn));
      for (int dk = -1; dk <= 1; ++dk) {
        for (int dj = -1; dj <= 1; ++dj) {
          for (int di = -1; di <= 1; ++di) {
            const std::int32_t i2 = i + di, j2 = j + dj, k2 = k + dk;
            if (i2 < 0 || j2 < 0 || k2 < 0 || i2 >= nxn || j2 >= nyn || k2 >= nzn) continue;
            const std::int32_t other = node_number[mesh.node(i2, j2, k2)];
            if (other < 0) continue;
            // The two nodes share a ground cell: cells whose corners include both.
            bool shared = false;
            for (int ci = std::max(i, i2) - 1; ci <= std::min(i, i2) && !shared; ++ci) {
              for (int cj = std::max(j, j2) - 1; cj <= std::min(j, j2) && !shared; ++cj) {
                for (int ck = std::max(k, k2) - 1; ck <= std::min(k, k2) && !shared; ++ck) {
                  shared = ground_at(ci, cj, ck);
                }
              }
            }
            if (shared) columns.push_back(other);
          }
        }
      }
      row_starts[static_cast<std::size_t>(row) + 1] = static_cast<std::int32_t>(columns.size());
    }
    cell_positions.resize(ground_cells.size() * 64);
    for (std::size_t gcell = 0; gcell < ground_cells.size(); ++gcell) {
      const auto nodes = cell_nodes(ground_cells[gcell]);
      for (int l = 0; l < 8; ++l) {
        const auto begin = columns.begin() + row_starts[nodes[l]];
        const auto end = columns.begin() + row_starts[nodes[l] + 1];
        for (int m = 0; m < 8; ++m) {
          const auto at = std::lower_bound(begin, end, nodes[m]);
          cell_positions[gcell * 64 + l * 8 + m] = static_cast<std::int32_t>(at - columns.begin());
        }
      }
    }
    // Row r's entries with column <= r are column r of the upper triangle (the matrix is
    // symmetric), rows ascending.
    upper_starts.assign(static_cast<std::size_t>(n) + 1, 0);
    upper_rows.clear();
    upper_positions.clear();
    for (std::int32_t row = 0; row < n; ++row) {
      for (std::int32_t p = row_starts[row]; p < row_starts[row + 1]; ++p) {
        if (columns[p] > row) break;
        upper_rows.push_back(columns[p]);
        upper_positions.push_back(p);
      }
      upper_starts[static_cast<std::size_t>(row) + 1] =
          static_cast<std::int32_t>(upper_rows.size());
    }
  }

  // Mixed boundary on the outer faces (not the top): d(u)/dn + (cos(theta) / r) u = 0 with r
  // from the middle of the electrodes at the surface, the coefficient taken at each face's centre.
  void build_robin() {
    double cx = 0, cy = 0, cz = 0;
    for (const Electrode& e : electrodes) {
      cx += e.source.x, cy += e.source.y, cz += e.source.surface_z;
    }
    const double count = static_cast<double>(std::max<std::size_t>(1, electrodes.size()));
    cx /= count, cy /= count, cz /= count;
    robin_index.assign(ground_cells.size(), -1);
    robin_blocks.clear();
    auto mass = [](double h, int a, int b) { return h * (a == b ? 2.0 : 1.0) / 6; };
    for (std::size_t gcell = 0; gcell < ground_cells.size(); ++gcell) {
      const auto [i, j, k] = cell_ijk(ground_cells[gcell]);
      std::array<double, 64> block{};
      bool any = false;
      const double h[3] = {mesh.dx[i], mesh.dy[j], mesh.dz[k]};
      const double centre[3] = {mesh.x_centres[i], mesh.y_centres[j], mesh.z_centres[k]};
      struct Face {
        int axis;
        int side;
      };
      std::vector<Face> faces;
      if (i == 0) faces.push_back({0, 0});
      if (i == mesh.nx - 1) faces.push_back({0, 1});
      if (j == 0) faces.push_back({1, 0});
      if (j == mesh.ny - 1) faces.push_back({1, 1});
      if (k == mesh.nz - 1) faces.push_back({2, 1});
      for (const Face& face : faces) {
        double f[3] = {centre[0], centre[1], centre[2]};
        f[face.axis] += (face.side ? 0.5 : -0.5) * h[face.axis];
        const double r[3] = {f[0] - cx, f[1] - cy, f[2] - cz};
        const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
        const double cosine_over_r = (face.side ? r[face.axis] : -r[face.axis]) / r2;
        if (!(cosine_over_r > 0)) continue;
        const int first = face.axis == 0 ? 1 : 0;
        const int second = face.axis == 2 ? 1 : 2;
        for (int l = 0; l < 8; ++l) {
          const int il[3] = {l & 1, (l >> 1) & 1, (l >> 2) & 1};
          if (il[face.axis] != face.side) continue;
          for (int m = 0; m < 8; ++m) {
            const int im[3] = {m & 1, (m >> 1) & 1, (m >> 2) & 1};
            if (im[face.axis] != face.side) continue;
            block[l * 8 + m] += cosine_over_r * mass(h[first], il[first], im[first]) *
                                mass(h[second], il[second], im[second]);
          }
        }
        any = true;
      }
      if (any) {
        robin_index[gcell] = static_cast<std::int32_t>(robin_blocks.size());
        robin_blocks.push_back(block);
      }
    }
  }

  void build_surface_faces() {
    surface_faces.clear();
    if (flat) return;
    for (std::size_t gcell = 0; gcell < ground_cells.size(); ++gcell) {
      const auto [i, j, k] = cell_ijk(ground_cells[gcell]);
      const auto g = static_cast<std::int32_t>(gcell);
      if (!ground_at(i, j, k - 1)) surface_faces.push_back({g, 2, -1.0});
      if (i > 0 && !ground_at(i - 1, j, k)) surface_faces.push_back({g, 0, -1.0});
      if (i < mesh.nx - 1 && !ground_at(i + 1, j, k)) surface_faces.push_back({g, 0, 1.0});
      if (j > 0 && !ground_at(i, j - 1, k)) surface_faces.push_back({g, 1, -1.0});
      if (j < mesh.ny - 1 && !ground_at(i, j + 1, k)) surface_faces.push_back({g, 1, 1.0});
    }
  }

  // The cells of one axis whose closure holds the position: one, or two on a node.
  static std::vector<std::int32_t> axis_cells(const std::vector<double>& nodes, double v) {
    const auto count = static_cast<std::int32_t>(nodes.size()) - 1;
    const auto it = std::upper_bound(nodes.begin(), nodes.end(), v);
    std::int32_t index = static_cast<std::int32_t>(it - nodes.begin()) - 1;
    std::vector<std::int32_t> cells;
    if (index >= 0 && nodes[index] == v && index - 1 >= 0) cells.push_back(index - 1);
    if (index >= 0 && index < count) cells.push_back(index);
    if (index == count && nodes[count] == v) cells.push_back(count - 1);
    return cells;
  }

  void place_electrodes(const Io& io, const Survey3D& survey) {
    nelec = static_cast<std::int32_t>(survey.electrodes.size());
    electrodes.assign(survey.electrodes.size(), Electrode{});
    for (std::int32_t e = 0; e < nelec; ++e) {
      const ElectrodePosition& at = survey.electrodes[e];
      const auto name = "electrode " + std::to_string(e + 1) + " at (" + std::to_string(at.x) +
                        ", " + std::to_string(at.y) + ", " + std::to_string(at.z) + ")";
      const auto xs = axis_cells(mesh.x_nodes, at.x);
      const auto ys = axis_cells(mesh.y_nodes, at.y);
      if (xs.empty() || ys.empty() || !std::isfinite(at.z)) {
        stop_with(io, Order::console_then_log,
                  "ERROR: 3-D forward: " + name + " lies outside the mesh");
      }
      // The ground's top at the electrode: the highest among the columns that meet there.
      double surface = std::numeric_limits<double>::infinity();
      double top_cell = 0;
      for (const auto i : xs) {
        for (const auto j : ys) {
          const std::int32_t a = air[std::int64_t{j} * mesh.nx + i];
          if (mesh.z_nodes[a] < surface) surface = mesh.z_nodes[a];
          top_cell = std::max(top_cell, mesh.dz[a]);
        }
      }
      double z = at.z;
      if (z < surface) {
        if (surface - z > top_cell) {
          stop_with(io, Order::console_then_log,
                    "ERROR: 3-D forward: " + name + " lies above the ground");
        }
        z = surface;
      }
      if (z > mesh.z_nodes[mesh.nz]) {
        stop_with(io, Order::console_then_log,
                  "ERROR: 3-D forward: " + name + " lies below the mesh");
      }
      Electrode& electrode = electrodes[e];
      electrode.source = {at.x, at.y, z, surface, false, true};
      if (surface != mesh.z_nodes[0]) flat = false;
      const auto zs = axis_cells(mesh.z_nodes, z);
      std::int64_t holder = -1;
      for (const auto k : zs) {
        for (const auto j : ys) {
          for (const auto i : xs) {
            const std::int64_t cell = mesh.cell(i, j, k);
            if (!is_ground(cell)) continue;
            electrode.touching.push_back(ground_number[cell]);
            if (holder < 0) holder = cell;
          }
        }
      }
      if (holder < 0) {
        stop_with(io, Order::console_then_log,
                  "ERROR: 3-D forward: " + name + " touches no ground cell");
      }
      std::sort(electrode.touching.begin(), electrode.touching.end());
      // The share of a small sphere about the electrode inside the ground: each cell that meets
      // it holds one of the 2 x 2 x 2 octants about a node, of the 2 halves about a face, ...
      // (the space above the mesh is air). Ground all around: a buried electrode, whose primary
      // field takes the image above the ground; else its primary spreads over the ground's
      // solid angle (an electrode on the edge of a step sees a quarter of the space).
      auto on_node = [](const std::vector<double>& nodes, double v) {
        return std::binary_search(nodes.begin(), nodes.end(), v);
      };
      const int slots = (on_node(mesh.x_nodes, at.x) ? 2 : 1) *
                        (on_node(mesh.y_nodes, at.y) ? 2 : 1) * (on_node(mesh.z_nodes, z) ? 2 : 1);
      const double share =
          static_cast<double>(electrode.touching.size()) / static_cast<double>(slots);
      electrode.source.buried = share == 1.0 && z > surface;
      if (!electrode.source.buried) electrode.source.solid_angle = 4 * std::numbers::pi * share;
      electrode.nodes = cell_nodes(holder);
      const auto [i, j, k] = cell_ijk(holder);
      const double tx = (at.x - mesh.x_nodes[i]) / mesh.dx[i];
      const double ty = (at.y - mesh.y_nodes[j]) / mesh.dy[j];
      const double tz = (z - mesh.z_nodes[k]) / mesh.dz[k];
      for (int l = 0; l < 8; ++l) {
        electrode.weights[l] = ((l & 1) ? tx : 1 - tx) * (((l >> 1) & 1) ? ty : 1 - ty) *
                               (((l >> 2) & 1) ? tz : 1 - tz);
      }
      // A buried electrode's image must lie outside the ground, or the full-space form is used.
      if (electrode.source.buried) {
        const double zi = electrode.source.image_z();
        if (zi >= mesh.z_nodes[0]) {
          for (const auto k2 : axis_cells(mesh.z_nodes, zi)) {
            for (const auto j : ys) {
              for (const auto i : xs) {
                if (k2 >= air[std::int64_t{j} * mesh.nx + i]) electrode.source.use_image = false;
              }
            }
          }
        }
      }
    }
  }

  void build_data_terms(const Io& io, const Survey3D& survey) {
    ndat = survey.ndat;
    datum_starts.assign(static_cast<std::size_t>(ndat) + 1, 0);
    datum_terms.clear();
    std::vector<std::int64_t> keys;
    struct Raw {
      std::int32_t datum;
      std::int64_t key;
      double sign;
    };
    std::vector<Raw> raws;
    for (std::int32_t d = 0; d < ndat; ++d) {
      const std::int32_t a = survey.a[d], b = survey.b[d], m = survey.m[d], nn = survey.n[d];
      const bool current_pole = a == b, potential_pole = m == nn;
      const std::int32_t sources[2] = {a, b};
      const std::int32_t receivers[2] = {m, nn};
      for (int si = 0; si < (current_pole ? 1 : 2); ++si) {
        for (int ri = 0; ri < (potential_pole ? 1 : 2); ++ri) {
          const std::int32_t s = sources[si], r = receivers[ri];
          if (s == r) {
            stop_with(io, Order::console_then_log,
                      "ERROR: 3-D forward: datum " + std::to_string(d + 1) +
                          " has a current electrode where it measures");
          }
          const std::int32_t lo = std::min(s, r), hi = std::max(s, r);
          raws.push_back({d, std::int64_t{lo} * nelec + hi, (si == ri) ? 1.0 : -1.0});
        }
      }
    }
    for (const Raw& r : raws) keys.push_back(r.key);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    pairs.resize(keys.size());
    for (std::size_t p = 0; p < keys.size(); ++p) {
      pairs[p] = {static_cast<std::int32_t>(keys[p] / nelec),
                  static_cast<std::int32_t>(keys[p] % nelec)};
    }
    for (const Raw& r : raws) {
      const auto p = std::lower_bound(keys.begin(), keys.end(), r.key) - keys.begin();
      datum_terms.push_back({static_cast<std::int32_t>(p), r.sign});
      datum_starts[static_cast<std::size_t>(r.datum) + 1] =
          static_cast<std::int32_t>(datum_terms.size());
    }
    for (std::int32_t d = 0; d < ndat; ++d) {
      datum_starts[d + 1] = std::max(datum_starts[d + 1], datum_starts[d]);
    }
  }

  // Ground cells within one of their own largest widths of an electrode get the exact integrals.
  void build_near_cells() {
    std::vector<std::vector<NearCell>> per_cell(ground_cells.size());
    for (std::int32_t e = 0; e < nelec; ++e) {
      const PointSource& s = electrodes[e].source;
      const auto xs = axis_cells(mesh.x_nodes, s.x);
      const auto ys = axis_cells(mesh.y_nodes, s.y);
      const auto zs = axis_cells(mesh.z_nodes, s.z);
      const int reach = 3;
      for (int k = zs.front() - reach; k <= zs.back() + reach; ++k) {
        for (int j = ys.front() - reach; j <= ys.back() + reach; ++j) {
          for (int i = xs.front() - reach; i <= xs.back() + reach; ++i) {
            if (!ground_at(i, j, k)) continue;
            const double gap[3] = {
                std::max({mesh.x_nodes[i] - s.x, 0.0, s.x - mesh.x_nodes[i + 1]}),
                std::max({mesh.y_nodes[j] - s.y, 0.0, s.y - mesh.y_nodes[j + 1]}),
                std::max({mesh.z_nodes[k] - s.z, 0.0, s.z - mesh.z_nodes[k + 1]})};
            const double distance = std::sqrt(gap[0] * gap[0] + gap[1] * gap[1] + gap[2] * gap[2]);
            const double width = std::max({mesh.dx[i], mesh.dy[j], mesh.dz[k]});
            if (distance > width) continue;
            NearCell near{e, box_gradient_integrals(s, mesh.x_nodes[i], mesh.x_nodes[i + 1],
                                                    mesh.y_nodes[j], mesh.y_nodes[j + 1],
                                                    mesh.z_nodes[k], mesh.z_nodes[k + 1])};
            per_cell[ground_number[mesh.cell(i, j, k)]].push_back(near);
          }
        }
      }
    }
    near_starts.assign(ground_cells.size() + 1, 0);
    near_cells.clear();
    for (std::size_t g = 0; g < per_cell.size(); ++g) {
      for (const NearCell& c : per_cell[g]) near_cells.push_back(c);
      near_starts[g + 1] = static_cast<std::int32_t>(near_cells.size());
    }
  }

  const NearCell* near_of(std::int32_t ground, std::int32_t electrode) const {
    for (std::int32_t p = near_starts[ground]; p < near_starts[ground + 1]; ++p) {
      if (near_cells[p].electrode == electrode) return &near_cells[p];
    }
    return nullptr;
  }

  // A ground cell's box and nodes, computed once for a loop over electrodes.
  struct CellGeometry {
    double lo[3], hi[3];
    double width;  // the largest of its widths
    std::array<std::int32_t, 8> nodes;
  };
  CellGeometry geometry(std::int32_t g) const {
    const auto [i, j, k] = cell_ijk(ground_cells[g]);
    CellGeometry c{{mesh.x_nodes[i], mesh.y_nodes[j], mesh.z_nodes[k]},
                   {mesh.x_nodes[i + 1], mesh.y_nodes[j + 1], mesh.z_nodes[k + 1]},
                   std::max({mesh.dx[i], mesh.dy[j], mesh.dz[k]}),
                   cell_nodes(ground_cells[g])};
    return c;
  }

  // The element integrals of electrode e's primary field (unit conductivity) over ground cell g,
  // with the cell's mixed-boundary block: exact on cells within one width of the electrode, by
  // Gauss quadrature of 3 points per axis within two widths and of 2 beyond (its error at two
  // widths is 3e-4 of the largest integral and falls as the fourth power of the distance).
  std::array<double, 8> primary_integrals(std::int32_t g, std::int32_t e,
                                          const CellGeometry& cell) const {
    const PointSource& source = electrodes[e].source;
    std::array<double, 8> a{};
    if (const NearCell* near = near_of(g, e)) {
      a = near->integrals;
    } else {
      const double gap[3] = {std::max({cell.lo[0] - source.x, 0.0, source.x - cell.hi[0]}),
                             std::max({cell.lo[1] - source.y, 0.0, source.y - cell.hi[1]}),
                             std::max({cell.lo[2] - source.z, 0.0, source.z - cell.hi[2]})};
      const double distance2 = gap[0] * gap[0] + gap[1] * gap[1] + gap[2] * gap[2];
      if (distance2 <= 4 * cell.width * cell.width) {
        a = box_gradient_gauss(source, cell.lo[0], cell.hi[0], cell.lo[1], cell.hi[1], cell.lo[2],
                               cell.hi[2], 3);
      } else {
        a = box_gradient_gauss2(source, cell.lo[0], cell.hi[0], cell.lo[1], cell.hi[1], cell.lo[2],
                                cell.hi[2]);
      }
    }
    if (robin_index[g] >= 0) {
      const auto& block = robin_blocks[robin_index[g]];
      double p[8];
      for (int m = 0; m < 8; ++m) p[m] = node_primary(source, cell.nodes[m]);
      for (int l = 0; l < 8; ++l) {
        for (int m = 0; m < 8; ++m) a[l] += block[l * 8 + m] * p[m];
      }
    }
    return a;
  }

  // ---- per model ----
  std::vector<double> conductivities(const Io& io, std::span<const double> resistivity) const {
    if (static_cast<std::int64_t>(resistivity.size()) != mesh.cell_count()) {
      stop_with(io, Order::console_then_log,
                "ERROR: 3-D forward: the model holds " + std::to_string(resistivity.size()) +
                    " values for " + std::to_string(mesh.cell_count()) + " cells");
    }
    std::vector<double> sigma(ground_cells.size());
    for (std::size_t g = 0; g < ground_cells.size(); ++g) {
      const double rho = resistivity[ground_cells[g]];
      if (!(rho > 0) || !std::isfinite(rho)) {
        stop_with(io, Order::console_then_log,
                  "ERROR: 3-D forward: the resistivity of cell " +
                      std::to_string(ground_cells[g] + 1) + " is not a positive number");
      }
      sigma[g] = 1 / rho;
    }
    return sigma;
  }

  bool use_multigrid() const {
    const SpdSolverOptions& o = options.solver;
    return o.kind == SpdSolverKind::multigrid ||
           (o.kind == SpdSolverKind::automatic && n > o.direct_limit);
  }

  void factorise(const Io& io, const std::vector<double>& sigma) {
    if ((factor || multigrid) && factor_sigma == sigma) return;
    const auto start = Clock::now();
    std::vector<double> values(columns.size(), 0.0);
    double k[64];
    for (std::size_t g = 0; g < ground_cells.size(); ++g) {
      element_matrix(static_cast<std::int32_t>(g), k);
      const std::int32_t* positions = &cell_positions[g * 64];
      for (int e = 0; e < 64; ++e) values[positions[e]] += sigma[g] * k[e];
    }
    if (use_multigrid()) {
      // Conjugate gradients with algebraic multigrid: the hierarchy set up once per model.
      if (multigrid) {
        multigrid->update(io, values);
      } else {
        SpdSolverOptions o = options.solver;
        o.kind = SpdSolverKind::multigrid;
        multigrid = std::make_unique<SpdSolver>(io, n, row_starts, columns, values, o);
      }
      factor_sigma = sigma;
      stats.multigrid = true;
      stats.factor_entries = 0;
      stats.factor_seconds += seconds_since(start);
      return;
    }
    std::vector<double> upper(upper_positions.size());
    for (std::size_t p = 0; p < upper.size(); ++p) upper[p] = values[upper_positions[p]];
    if (!pattern) {
      pattern =
          std::make_unique<CholeskyPattern>(n, upper_starts, upper_rows, CholeskyKind::supernodal);
    }
    if (factor) {
      factor->refactor(upper);
    } else {
      factor = std::make_unique<CholeskyFactor>(*pattern, upper);
    }
    factor_sigma = sigma;
    stats.factor_entries = pattern->factor_entries();
    stats.factor_seconds += seconds_since(start);
  }

  // A^-1 b in place for `count` right-hand sides node by node, by the factor or by multigrid
  // (each from zero, to the solver's tolerance; the iterations are counted).
  void solve_in_place(const Io& io, std::span<double> rhs, std::size_t count) {
    if (!multigrid) {
      factor->solve(rhs, count);
      return;
    }
    std::vector<double> x(rhs.size(), 0.0);
    const auto reports = multigrid->solve(io, rhs, x, count);
    for (const SpdSolveReport& r : reports) stats.iterations += r.iterations;
    std::copy(x.begin(), x.end(), rhs.begin());
  }

  double source_sigma0(std::int32_t e, const std::vector<double>& sigma) const {
    double sum = 0;
    for (const std::int32_t g : electrodes[e].touching) sum += sigma[g];
    return sum / static_cast<double>(electrodes[e].touching.size());
  }

  // The right-hand sides of the secondary fields of electrodes first .. first + count - 1, column
  // c of the node-major block for electrode first + c (the block must hold zeros).
  void secondary_rhs(std::int32_t first, std::int32_t count, const std::vector<double>& sigma,
                     std::span<double> block) const {
    const auto width = static_cast<std::size_t>(count);
    // Each thread takes a range of the electrodes over every cell: no two write one value.
    parallel_for(count, 2, [&](std::int64_t c_begin, std::int64_t c_end) {
      for (std::size_t g = 0; g < ground_cells.size(); ++g) {
        bool any = false;
        for (std::int64_t c = c_begin; c < c_end && !any; ++c) any = sigma[g] != sigma0[first + c];
        if (!any) continue;
        const auto gi = static_cast<std::int32_t>(g);
        const CellGeometry cell = geometry(gi);
        const auto& nodes = cell.nodes;
        for (std::int64_t c = c_begin; c < c_end; ++c) {
          const auto e = static_cast<std::int32_t>(first + c);
          const double s0 = sigma0[e];
          if (sigma[g] == s0) continue;
          const std::array<double, 8> a = primary_integrals(gi, e, cell);
          const double factor_g = sigma[g] / s0 - 1;
          for (int l = 0; l < 8; ++l) {
            block[static_cast<std::size_t>(nodes[l]) * width + static_cast<std::size_t>(c)] -=
                factor_g * a[l];
          }
        }
      }
      if (flat) return;
      for (std::int64_t c = c_begin; c < c_end; ++c) {
        surface_flux(electrodes[first + c].source, block, width, static_cast<std::size_t>(c));
      }
    });
  }

  // The primary's flux through the free surface where it is not the primary's own plane.
  void surface_flux(const PointSource& source, std::span<double> block, std::size_t width,
                    std::size_t c) const {
    for (const SurfaceFace& face : surface_faces) {
      const auto [i, j, kk] = cell_ijk(ground_cells[face.ground]);
      const auto nodes = cell_nodes(ground_cells[face.ground]);
      const double lo[3] = {mesh.x_nodes[i], mesh.y_nodes[j], mesh.z_nodes[kk]};
      const double h[3] = {mesh.dx[i], mesh.dy[j], mesh.dz[kk]};
      const int side = face.normal > 0 ? 1 : 0;
      const int first = face.axis == 0 ? 1 : 0;
      const int second = face.axis == 2 ? 1 : 2;
      // Finer quadrature on faces near the source.
      double centre[3] = {lo[0] + 0.5 * h[0], lo[1] + 0.5 * h[1], lo[2] + 0.5 * h[2]};
      centre[face.axis] = lo[face.axis] + side * h[face.axis];
      const double d[3] = {centre[0] - source.x, centre[1] - source.y, centre[2] - source.z};
      const double distance = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
      const int split = distance < 2 * std::max(h[first], h[second]) ? 8 : 1;
      std::array<double, 8> flux{};
      for (int su = 0; su < split; ++su) {
        for (int sv = 0; sv < split; ++sv) {
          for (int qu = 0; qu < 3; ++qu) {
            for (int qv = 0; qv < 3; ++qv) {
              const double tu = (su + gauss3_points[qu]) / split;
              const double tv = (sv + gauss3_points[qv]) / split;
              double point[3];
              point[face.axis] = lo[face.axis] + side * h[face.axis];
              point[first] = lo[first] + tu * h[first];
              point[second] = lo[second] + tv * h[second];
              const auto grad = source.gradient(point[0], point[1], point[2]);
              const double weight =
                  gauss3_weights[qu] * gauss3_weights[qv] * h[first] * h[second] / (split * split);
              const double dn = grad[face.axis] * face.normal * weight;
              for (int l = 0; l < 8; ++l) {
                const int il[3] = {l & 1, (l >> 1) & 1, (l >> 2) & 1};
                if (il[face.axis] != side) continue;
                flux[l] += dn * (il[first] ? tu : 1 - tu) * (il[second] ? tv : 1 - tv);
              }
            }
          }
        }
      }
      for (int l = 0; l < 8; ++l) block[static_cast<std::size_t>(nodes[l]) * width + c] -= flux[l];
    }
  }

  double node_primary(const PointSource& source, std::int32_t node) const {
    const std::int64_t g = node_of[node];
    const std::int32_t nxn = mesh.nx + 1, nyn = mesh.ny + 1;
    const double x = mesh.x_nodes[g % nxn];
    const double y = mesh.y_nodes[(g / nxn) % nyn];
    const double z = mesh.z_nodes[g / (std::int64_t{nxn} * nyn)];
    if (x == source.x && y == source.y && z == source.z) return 0;
    return source.potential(x, y, z);
  }

  double interpolate(std::span<const double> field, std::size_t count, std::size_t c,
                     std::int32_t at) const {
    const Electrode& e = electrodes[at];
    double sum = 0;
    for (int l = 0; l < 8; ++l) {
      if (e.weights[l] != 0) sum += e.weights[l] * field[e.nodes[l] * count + c];
    }
    return sum;
  }

  // Solves the secondary fields of every electrode; keeps the total fields when `keep` and sets
  // pair_potential (u_s(r) and u_r(s) of every pair).
  void solve_fields(const Io& io, const std::vector<double>& sigma, bool keep) {
    factorise(io, sigma);
    sigma0.resize(nelec);
    for (std::int32_t e = 0; e < nelec; ++e) sigma0[e] = source_sigma0(e, sigma);
    pair_potential.assign(pairs.size() * 2, 0.0);
    pair_weight.resize(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      const double a2 = sigma0[pairs[p].s] * sigma0[pairs[p].s];
      const double b2 = sigma0[pairs[p].r] * sigma0[pairs[p].r];
      pair_weight[p] = a2 / (a2 + b2);
    }
    // Per electrode the pairs that take its field at another electrode.
    std::vector<std::vector<std::pair<std::int32_t, int>>> uses(nelec);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
      uses[pairs[p].s].push_back({static_cast<std::int32_t>(p), 0});
      uses[pairs[p].r].push_back({static_cast<std::int32_t>(p), 1});
    }
    const std::size_t block_size =
        keep ? static_cast<std::size_t>(nelec) : std::max<std::size_t>(1, options.source_block);
    if (keep) total_fields.assign(static_cast<std::size_t>(n) * nelec, 0.0);
    std::vector<double> block;
    for (std::int32_t first = 0; first < nelec; first += static_cast<std::int32_t>(block_size)) {
      const std::int32_t count =
          std::min<std::int32_t>(static_cast<std::int32_t>(block_size), nelec - first);
      auto assemble_start = Clock::now();
      std::vector<double>& rhs = keep ? total_fields : block;
      if (!keep) rhs.assign(static_cast<std::size_t>(n) * count, 0.0);
      secondary_rhs(first, count, sigma, rhs);
      stats.assembly_seconds += seconds_since(assemble_start);
      const auto solve_start = Clock::now();
      solve_in_place(io, std::span<double>(rhs).first(static_cast<std::size_t>(n) * count),
                     static_cast<std::size_t>(count));
      stats.solve_seconds += seconds_since(solve_start);
      for (std::int32_t c = 0; c < count; ++c) {
        const std::int32_t e = first + c;
        const PointSource& source = electrodes[e].source;
        for (const auto& [p, role] : uses[e]) {
          const std::int32_t other = role == 0 ? pairs[p].r : pairs[p].s;
          const PointSource& at = electrodes[other].source;
          pair_potential[p * 2 + role] =
              source.potential(at.x, at.y, at.z) / sigma0[e] +
              interpolate(rhs, static_cast<std::size_t>(count), static_cast<std::size_t>(c), other);
        }
      }
    }
    if (keep) {
      fields_sigma = sigma;
      have_adjoint = false;
      pair_moments.clear();
    } else {
      fields_sigma.clear();
      total_fields.clear();
      total_fields.shrink_to_fit();
    }
  }

  std::vector<double> data_of_pairs() const {
    std::vector<double> d(static_cast<std::size_t>(ndat), 0.0);
    for (std::int32_t i = 0; i < ndat; ++i) {
      double sum = 0;
      for (std::int32_t t = datum_starts[i]; t < datum_starts[i + 1]; ++t) {
        const auto p = static_cast<std::size_t>(datum_terms[t].pair);
        sum += datum_terms[t].sign * (pair_weight[p] * pair_potential[p * 2] +
                                      (1 - pair_weight[p]) * pair_potential[p * 2 + 1]);
      }
      d[i] = sum;
    }
    return d;
  }

  void ensure_fields(const Io& io, const std::vector<double>& sigma) {
    if (!fields_sigma.empty() && fields_sigma == sigma && have_adjoint) return;
    if (fields_sigma.empty() || fields_sigma != sigma) solve_fields(io, sigma, true);
    // The adjoint fields: A^-1 of each electrode's interpolation weights.
    adjoint_fields.assign(static_cast<std::size_t>(n) * nelec, 0.0);
    for (std::int32_t e = 0; e < nelec; ++e) {
      for (int l = 0; l < 8; ++l) {
        adjoint_fields[static_cast<std::size_t>(electrodes[e].nodes[l]) * nelec + e] +=
            electrodes[e].weights[l];
      }
    }
    const auto solve_start = Clock::now();
    solve_in_place(io, adjoint_fields, static_cast<std::size_t>(nelec));
    stats.solve_seconds += seconds_since(solve_start);
    have_adjoint = true;
    pair_moments.clear();
  }

  // The cell pass: for every ground cell f the value
  // q_f(p) = sigma_f (w_p (a_r . v_s) + (1 - w_p) (a_s . v_r)), a the adjoint fields,
  // of every pair, handed to `use(group, ground cell, q)`, and the pair moments M(s->r), M(r->s)
  // summed over every ground cell. Groups are the given columns' cells, then the remaining ground
  // cells; work is split into fixed chunks of groups so the sums are the same on any thread count.
  template <typename Use>
  void cell_pass(const std::vector<double>& sigma, std::span<const std::int32_t> cells,
                 std::span<const std::int32_t> column_starts, Use&& use) {
    const auto start = Clock::now();
    const std::size_t columns_count = column_starts.empty() ? 0 : column_starts.size() - 1;
    std::vector<char> covered(ground_cells.size(), 0);
    std::vector<std::int32_t> group_cells;
    std::vector<std::int32_t> group_starts{0};
    for (std::size_t c = 0; c < columns_count; ++c) {
      for (std::int32_t p = column_starts[c]; p < column_starts[c + 1]; ++p) {
        const std::int32_t g = ground_number[cells[p]];
        group_cells.push_back(g);
        covered[g] = 1;
      }
      group_starts.push_back(static_cast<std::int32_t>(group_cells.size()));
    }
    const bool need_moments = pair_moments.empty();
    if (need_moments) {
      for (std::size_t g = 0; g < ground_cells.size(); ++g) {
        if (covered[g]) continue;
        group_cells.push_back(static_cast<std::int32_t>(g));
        group_starts.push_back(static_cast<std::int32_t>(group_cells.size()));
      }
    }
    const std::int64_t groups = static_cast<std::int64_t>(group_starts.size()) - 1;
    const std::int64_t chunks = std::min<std::int64_t>(64, std::max<std::int64_t>(1, groups));
    const std::size_t npairs = pairs.size();
    std::vector<double> partial(need_moments ? static_cast<std::size_t>(chunks) * npairs * 2 : 0);
    parallel_for_rethrowing(chunks, 2, [&](std::int64_t chunk_begin, std::int64_t chunk_end) {
      std::vector<double> v(static_cast<std::size_t>(nelec) * 8), w(v.size()), q(npairs);
      double k[64];
      for (std::int64_t chunk = chunk_begin; chunk < chunk_end; ++chunk) {
        const std::int64_t g_begin = groups * chunk / chunks;
        const std::int64_t g_end = groups * (chunk + 1) / chunks;
        double* moments =
            need_moments ? &partial[static_cast<std::size_t>(chunk) * npairs * 2] : nullptr;
        for (std::int64_t group = g_begin; group < g_end; ++group) {
          for (std::int32_t at = group_starts[group]; at < group_starts[group + 1]; ++at) {
            const std::int32_t g = group_cells[at];
            const CellGeometry cell = geometry(g);
            const auto& nodes = cell.nodes;
            element_matrix(g, k);
            for (std::int32_t e = 0; e < nelec; ++e) {
              double u[8];
              for (int l = 0; l < 8; ++l) {
                u[l] = total_fields[static_cast<std::size_t>(nodes[l]) * nelec + e];
                w[e * 8 + l] = adjoint_fields[static_cast<std::size_t>(nodes[l]) * nelec + e];
              }
              // K u row by row, each row summed over m in order (the rows side by side, as
              // vectors); k is symmetric, so its columns are its rows.
              double sum[8] = {0, 0, 0, 0, 0, 0, 0, 0};
              for (int m = 0; m < 8; ++m) {
                for (int l = 0; l < 8; ++l) sum[l] += k[m * 8 + l] * u[m];
              }
              const std::array<double, 8> a = primary_integrals(g, e, cell);
              const double scale = 1 / sigma0[e];
              for (int l = 0; l < 8; ++l) v[e * 8 + l] = sum[l] + a[l] * scale;
            }
            const double s = sigma[g];
            for (std::size_t p = 0; p < npairs; ++p) {
              const double* vs = &v[pairs[p].s * 8];
              const double* vr = &v[pairs[p].r * 8];
              const double* ws = &w[pairs[p].s * 8];
              const double* wr = &w[pairs[p].r * 8];
              // Four lanes, then their sum in a fixed order: the vector units' width.
              double lane_f[4], lane_b[4];
              for (int l = 0; l < 4; ++l) {
                lane_f[l] = wr[l] * vs[l] + wr[l + 4] * vs[l + 4];
                lane_b[l] = ws[l] * vr[l] + ws[l + 4] * vr[l + 4];
              }
              double forward = (lane_f[0] + lane_f[1]) + (lane_f[2] + lane_f[3]);
              double backward = (lane_b[0] + lane_b[1]) + (lane_b[2] + lane_b[3]);
              forward *= s;
              backward *= s;
              q[p] = pair_weight[p] * forward + (1 - pair_weight[p]) * backward;
              if (moments) {
                moments[p * 2] += forward;
                moments[p * 2 + 1] += backward;
              }
            }
            use(chunk, group, g, std::span<const double>(q));
          }
        }
      }
    });
    if (need_moments) {
      pair_moments.assign(npairs * 2, 0.0);
      for (std::int64_t chunk = 0; chunk < chunks; ++chunk) {
        for (std::size_t p = 0; p < npairs * 2; ++p) {
          pair_moments[p] += partial[static_cast<std::size_t>(chunk) * npairs * 2 + p];
        }
      }
    }
    stats.sensitivity_seconds += seconds_since(start);
  }

  // The cells around electrode e set its primary's conductivity sigma0_e (their mean), and with
  // it the pair's weight: for pair p with e at its `role` end, the derivative by ln rho_f of a
  // cell f around e loses sigma_f / |touching| times this coefficient:
  // (weight of e's way) T(e -> other) + (u_s(r) - u_r(s)) dw/dsigma0_e, with
  // T = (M(e -> other) - u_e(other)) / sigma0_e the derivative of e's way by sigma0_e.
  double pair_correction(std::size_t p, int role) const {
    const std::int32_t e = role == 0 ? pairs[p].s : pairs[p].r;
    const double t = (pair_moments[p * 2 + role] - pair_potential[p * 2 + role]) / sigma0[e];
    const double a = sigma0[pairs[p].s], b = sigma0[pairs[p].r];
    const double denominator = (a * a + b * b) * (a * a + b * b);
    const double weight_derivative =
        role == 0 ? 2 * a * b * b / denominator : -2 * a * a * b / denominator;
    const double way = role == 0 ? pair_weight[p] : 1 - pair_weight[p];
    return way * t + (pair_potential[p * 2] - pair_potential[p * 2 + 1]) * weight_derivative;
  }

  // Adds the corrections to per-pair values of one group: q_extra(p) for the ground cells of the
  // group that touch an electrode of p.
  template <typename Each>
  void for_each_correction(const std::vector<double>& sigma, std::int32_t g, Each&& each) const {
    // Electrodes touching g: few; scan the electrodes' lists through the near cells.
    for (std::int32_t at = near_starts[g]; at < near_starts[g + 1]; ++at) {
      const std::int32_t e = near_cells[at].electrode;
      const auto& touching = electrodes[e].touching;
      if (!std::binary_search(touching.begin(), touching.end(), g)) continue;
      const double share = sigma[g] / static_cast<double>(touching.size());
      each(e, share);
    }
  }
};

ForwardModel3D::ForwardModel3D(const Io& io, const Mesh3D& mesh,
                               std::span<const std::int32_t> air_cells, const Survey3D& survey,
                               const Forward3DOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.mesh = mesh;
  s.options = options;
  s.build_ground(io, air_cells);
  s.place_electrodes(io, survey);
  s.build_data_terms(io, survey);
  s.build_pattern();
  s.build_robin();
  s.build_surface_faces();
  s.build_near_cells();
}

ForwardModel3D::~ForwardModel3D() = default;

std::int32_t ForwardModel3D::ndat() const noexcept {
  return impl_->ndat;
}
std::int64_t ForwardModel3D::node_count() const noexcept {
  return impl_->n;
}
const Forward3DStatistics& ForwardModel3D::statistics() const noexcept {
  return impl_->stats;
}

std::vector<std::int32_t> ForwardModel3D::ground_cells() const {
  return impl_->ground_cells;
}

std::vector<double> ForwardModel3D::data(const Io& io, std::span<const double> resistivity) {
  Impl& s = *impl_;
  const auto sigma = s.conductivities(io, resistivity);
  if (!(s.fields_sigma == sigma && !s.fields_sigma.empty())) {
    const double field_bytes = 2.0 * s.n * s.nelec * sizeof(double);
    s.solve_fields(io, sigma, field_bytes <= static_cast<double>(s.options.kept_field_bytes));
  }
  return s.data_of_pairs();
}

void ForwardModel3D::sensitivity(const Io& io, std::span<const double> resistivity,
                                 std::span<const std::int32_t> cells,
                                 std::span<const std::int32_t> column_starts,
                                 std::span<double> jacobian, std::span<double> data) {
  Impl& s = *impl_;
  const auto sigma = s.conductivities(io, resistivity);
  s.ensure_fields(io, sigma);
  const std::size_t columns_count = column_starts.size() - 1;
  std::fill(jacobian.begin(), jacobian.end(), 0.0);
  s.cell_pass(sigma, cells, column_starts,
              [&](std::int64_t, std::int64_t group, std::int32_t, std::span<const double> q) {
                if (static_cast<std::size_t>(group) >= columns_count) return;
                for (std::int32_t i = 0; i < s.ndat; ++i) {
                  double sum = 0;
                  for (std::int32_t t = s.datum_starts[i]; t < s.datum_starts[i + 1]; ++t) {
                    sum += s.datum_terms[t].sign * q[s.datum_terms[t].pair];
                  }
                  jacobian[static_cast<std::size_t>(i) * columns_count + group] += sum;
                }
              });
  // The cells around each electrode carry the derivative through the primary's conductivity.
  for (std::size_t c = 0; c < columns_count; ++c) {
    for (std::int32_t at = column_starts[c]; at < column_starts[c + 1]; ++at) {
      const std::int32_t g = s.ground_number[cells[at]];
      s.for_each_correction(sigma, g, [&](std::int32_t e, double share) {
        for (std::int32_t i = 0; i < s.ndat; ++i) {
          double sum = 0;
          for (std::int32_t t = s.datum_starts[i]; t < s.datum_starts[i + 1]; ++t) {
            const auto p = static_cast<std::size_t>(s.datum_terms[t].pair);
            if (s.pairs[p].s == e) sum += s.datum_terms[t].sign * s.pair_correction(p, 0);
            if (s.pairs[p].r == e) sum += s.datum_terms[t].sign * s.pair_correction(p, 1);
          }
          jacobian[static_cast<std::size_t>(i) * columns_count + c] -= share * sum;
        }
      });
    }
  }
  if (!data.empty()) {
    const auto d = s.data_of_pairs();
    std::copy(d.begin(), d.end(), data.begin());
  }
}

void ForwardModel3D::jacobian_times(const Io& io, std::span<const double> resistivity,
                                    std::span<const std::int32_t> cells,
                                    std::span<const std::int32_t> column_starts,
                                    std::span<const double> v, std::span<double> out) {
  Impl& s = *impl_;
  const auto sigma = s.conductivities(io, resistivity);
  s.ensure_fields(io, sigma);
  const std::size_t columns_count = column_starts.size() - 1;
  // Per chunk of groups the pair sums of q v: the chunks are fixed, and so are the sums.
  const std::size_t npairs = s.pairs.size();
  constexpr std::size_t chunk_count = 64;
  std::vector<double> chunk_sums(chunk_count * npairs, 0.0);
  s.cell_pass(sigma, cells, column_starts,
              [&](std::int64_t chunk, std::int64_t group, std::int32_t, std::span<const double> q) {
                if (static_cast<std::size_t>(group) >= columns_count) return;
                double* row = &chunk_sums[static_cast<std::size_t>(chunk) * npairs];
                const double value = v[group];
                for (std::size_t p = 0; p < npairs; ++p) row[p] += q[p] * value;
              });
  std::vector<double> pair_sum(npairs, 0.0);
  for (std::size_t chunk = 0; chunk < chunk_count; ++chunk) {
    for (std::size_t p = 0; p < npairs; ++p) pair_sum[p] += chunk_sums[chunk * npairs + p];
  }
  for (std::size_t c = 0; c < columns_count; ++c) {
    for (std::int32_t at = column_starts[c]; at < column_starts[c + 1]; ++at) {
      const std::int32_t g = s.ground_number[cells[at]];
      s.for_each_correction(sigma, g, [&](std::int32_t e, double share) {
        for (std::size_t p = 0; p < npairs; ++p) {
          if (s.pairs[p].s == e) pair_sum[p] -= share * v[c] * s.pair_correction(p, 0);
          if (s.pairs[p].r == e) pair_sum[p] -= share * v[c] * s.pair_correction(p, 1);
        }
      });
    }
  }
  for (std::int32_t i = 0; i < s.ndat; ++i) {
    double sum = 0;
    for (std::int32_t t = s.datum_starts[i]; t < s.datum_starts[i + 1]; ++t) {
      sum += s.datum_terms[t].sign * pair_sum[s.datum_terms[t].pair];
    }
    out[i] = sum;
  }
}

void ForwardModel3D::jacobian_transpose_times(const Io& io, std::span<const double> resistivity,
                                              std::span<const std::int32_t> cells,
                                              std::span<const std::int32_t> column_starts,
                                              std::span<const double> w, std::span<double> out) {
  Impl& s = *impl_;
  const auto sigma = s.conductivities(io, resistivity);
  s.ensure_fields(io, sigma);
  const std::size_t columns_count = column_starts.size() - 1;
  const std::size_t npairs = s.pairs.size();
  std::vector<double> pair_weights(npairs, 0.0);
  for (std::int32_t i = 0; i < s.ndat; ++i) {
    for (std::int32_t t = s.datum_starts[i]; t < s.datum_starts[i + 1]; ++t) {
      pair_weights[s.datum_terms[t].pair] += s.datum_terms[t].sign * w[i];
    }
  }
  std::fill(out.begin(), out.end(), 0.0);
  s.cell_pass(sigma, cells, column_starts,
              [&](std::int64_t, std::int64_t group, std::int32_t, std::span<const double> q) {
                if (static_cast<std::size_t>(group) >= columns_count) return;
                double sum = 0;
                for (std::size_t p = 0; p < npairs; ++p) sum += pair_weights[p] * q[p];
                out[group] += sum;
              });
  for (std::size_t c = 0; c < columns_count; ++c) {
    for (std::int32_t at = column_starts[c]; at < column_starts[c + 1]; ++at) {
      const std::int32_t g = s.ground_number[cells[at]];
      s.for_each_correction(sigma, g, [&](std::int32_t e, double share) {
        for (std::size_t p = 0; p < npairs; ++p) {
          if (s.pairs[p].s == e) out[c] -= share * pair_weights[p] * s.pair_correction(p, 0);
          if (s.pairs[p].r == e) out[c] -= share * pair_weights[p] * s.pair_correction(p, 1);
        }
      });
    }
  }
}

std::vector<double> ForwardModel3D::apparent_chargeability(const Io& io,
                                                           std::span<const double> resistivity,
                                                           std::span<const double> chargeability,
                                                           std::span<double> data) {
  Impl& s = *impl_;
  std::vector<std::int32_t> cells = s.ground_cells;
  std::vector<std::int32_t> starts(cells.size() + 1);
  for (std::size_t c = 0; c <= cells.size(); ++c) starts[c] = static_cast<std::int32_t>(c);
  std::vector<double> eta(cells.size());
  for (std::size_t c = 0; c < cells.size(); ++c) eta[c] = chargeability[cells[c]];
  std::vector<double> response(static_cast<std::size_t>(s.ndat));
  jacobian_times(io, resistivity, cells, starts, eta, response);
  const auto d = s.data_of_pairs();
  for (std::int32_t i = 0; i < s.ndat; ++i) response[i] /= d[i];
  if (!data.empty()) std::copy(d.begin(), d.end(), data.begin());
  return response;
}

}  // namespace quelby
