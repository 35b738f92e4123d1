#include "quelby/forward/ground_operator.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/forward/bessel.hpp"

namespace quelby {
namespace {

// The cell-local pairs of Cell::position after the four diagonals.
constexpr int pair_first[6] = {0, 3, 0, 1, 0, 1};
constexpr int pair_second[6] = {1, 2, 3, 2, 2, 3};
// Which of a cell's four kinds of entries each of Cell::position's ten is: the diagonals, two
// pairs along x, two along z, two across.
constexpr int entry_kind[10] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3};

// The stiffness and mass of a cell hx wide and hz thick for a unit conductivity, in the order of
// Cell::stiffness. The bilinear element's stiffness (a = hz/hx, b = hx/hz) has the diagonal
// (a + b)/3, the pairs -a/3 + b/6 along x, a/6 - b/3 along z and -(a + b)/6 across; the five-point
// stencil's (a + b)/2, -a/2, -b/2 and 0. The consistent mass is hx hz (1/9, 1/18, 1/18, 1/36); the
// lumped one puts hx hz / 4 on the diagonal, and their difference is hx hz / 12 times a second
// difference along x plus one along z, less hx hz / 36 times their product, so that the lumped
// share can differ along x and z. Where a change of width meets them, the five-point and lumped
// shares leave terms of first order in the change, which cancel where (share) (hx^2 + hz^2) for
// the stiffness, and (share) hx^2 and (share) hz^2 for the mass along x and z, are the same on
// both sides: beyond `electrode_cell` L the shares shrink so, from their values at L.
void cell_element(double hx, double hz, double electrode_cell, double stiffness[4],
                  double mass[4]) {
  double five_point = five_point_share, lumped_x = lumped_share, lumped_z = lumped_share;
  if (electrode_cell > 0) {
    const double square = electrode_cell * electrode_cell;
    five_point *= std::min(1.0, 2 * square / (hx * hx + hz * hz));
    lumped_x *= std::min(1.0, square / (hx * hx));
    lumped_z *= std::min(1.0, square / (hz * hz));
  }
  const double lumped_both = std::min(lumped_x, lumped_z);
  const double a = hz / hx, b = hx / hz;
  const double bilinear = 1 - five_point;
  stiffness[0] = bilinear * (a + b) / 3 + five_point * (a + b) / 2;
  stiffness[1] = bilinear * (b / 6 - a / 3) - five_point * a / 2;
  stiffness[2] = bilinear * (a / 6 - b / 3) - five_point * b / 2;
  stiffness[3] = -bilinear * (a + b) / 6;
  const double area = hx * hz;
  mass[0] = area / 9 + (lumped_x + lumped_z) * area / 12 - lumped_both * area / 36;
  mass[1] = area / 18 - lumped_x * area / 12 + lumped_both * area / 36;
  mass[2] = area / 18 - lumped_z * area / 12 + lumped_both * area / 36;
  mass[3] = area / 36 - lumped_both * area / 36;
}

// u^T E v for a cell matrix E with the entries e (diagonal, along x, along z, across) and the
// corner values u, v. `differences`: E's rows sum to 0, so that u^T E v is the sum over the pairs
// of -e_pair (u_a - u_b)(v_a - v_b), which keeps its precision where u and v are nearly constant.
double cell_product(const double e[4], const double u[4], const double v[4], bool differences) {
  const double pairs[3] = {(u[0] - u[1]) * (v[0] - v[1]) + (u[3] - u[2]) * (v[3] - v[2]),
                           (u[0] - u[3]) * (v[0] - v[3]) + (u[1] - u[2]) * (v[1] - v[2]),
                           (u[0] - u[2]) * (v[0] - v[2]) + (u[1] - u[3]) * (v[1] - v[3])};
  if (differences) return -(e[1] * pairs[0] + e[2] * pairs[1] + e[3] * pairs[2]);
  const double diagonal = u[0] * v[0] + u[1] * v[1] + u[2] * v[2] + u[3] * v[3];
  const double along_x = u[0] * v[1] + u[1] * v[0] + u[3] * v[2] + u[2] * v[3];
  const double along_z = u[0] * v[3] + u[3] * v[0] + u[1] * v[2] + u[2] * v[1];
  const double across = u[0] * v[2] + u[2] * v[0] + u[1] * v[3] + u[3] * v[1];
  return e[0] * diagonal + e[1] * along_x + e[2] * along_z + e[3] * across;
}

// Refuses a ground cell more than largest_aspect times wider than thick or thicker than wide,
// naming its row or column (1-based).
void check_aspect(const Mesh& mesh, const Ground& ground) {
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    const double hz = mesh.dz[static_cast<std::size_t>(k)];
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double hx = mesh.dx[static_cast<std::size_t>(i)];
      if (!(hx > largest_aspect * hz || hz > largest_aspect * hx) || !ground.is_ground(i, k)) {
        continue;
      }
      const std::string row = std::to_string(k + 1), column = std::to_string(i + 1);
      if (hx > hz) {
        throw std::invalid_argument(
            "row " + row + " of the mesh is " + shortest(hz) + " m thick where column " + column +
            " is " + shortest(hx) + " m wide: the forward model takes cells at most " +
            shortest(largest_aspect) + " times wider than they are thick; make row " + row +
            " thicker");
      }
      throw std::invalid_argument(
          "column " + column + " of the mesh is " + shortest(hx) + " m wide where row " + row +
          " is " + shortest(hz) + " m thick: the forward model takes cells at most " +
          shortest(largest_aspect) + " times thicker than they are wide; make column " + column +
          " wider");
    }
  }
}

}  // namespace

GroundOperator::GroundOperator(const Mesh& mesh, const Ground& ground, double reference_x,
                               double reference_z, double electrode_cell)
    : node_count_(ground.node_count()), nx_(std::max(mesh.nx, 1)) {
  check_aspect(mesh, ground);
  const std::int32_t nx = mesh.nx;
  const std::int32_t nz = mesh.nz;
  const std::int32_t nx1 = nx + 1;
  auto cell_is_ground = [&](std::int32_t i, std::int32_t k) {
    return i >= 0 && i < nx && k >= 0 && k < nz && ground.is_ground(i, k);
  };
  // Pattern: node (i, k) is coupled to every node of its ground cells; the upper triangle of its
  // column holds the coupled nodes numbered before it.
  column_starts_.reserve(static_cast<std::size_t>(node_count_) + 1);
  diagonal_.resize(static_cast<std::size_t>(node_count_));
  for (std::int32_t j = 0; j < node_count_; ++j) {
    column_starts_.push_back(static_cast<std::int32_t>(rows_.size()));
    const std::int32_t mesh_node = ground.ground_nodes[static_cast<std::size_t>(j)];
    const std::int32_t i = mesh_node % nx1;
    const std::int32_t k = mesh_node / nx1;
    const bool up_left = cell_is_ground(i - 1, k - 1);
    const bool up_right = cell_is_ground(i, k - 1);
    const bool down_left = cell_is_ground(i - 1, k);
    const struct {
      std::int32_t di, dk;
      bool coupled;
    } before[4] = {{-1, -1, up_left},
                   {0, -1, up_left || up_right},
                   {1, -1, up_right},
                   {-1, 0, up_left || down_left}};
    for (const auto& neighbour : before) {
      if (!neighbour.coupled) continue;
      const std::int32_t node =
          ground.node_number[static_cast<std::size_t>((k + neighbour.dk) * nx1 + i + neighbour.di)];
      rows_.push_back(node);
    }
    diagonal_[static_cast<std::size_t>(j)] = static_cast<std::int32_t>(rows_.size());
    rows_.push_back(j);
  }
  column_starts_.push_back(static_cast<std::int32_t>(rows_.size()));

  auto position = [&](std::int32_t a, std::int32_t b) {
    const std::int32_t column = std::max(a, b);
    const std::int32_t row = std::min(a, b);
    for (std::int32_t p = column_starts_[static_cast<std::size_t>(column)];
         p < column_starts_[static_cast<std::size_t>(column) + 1]; ++p) {
      if (rows_[static_cast<std::size_t>(p)] == row) return p;
    }
    throw std::logic_error("GroundOperator: a cell's pair is missing from the pattern");
  };
  // The boundary number of each ground node, -1 until its first boundary edge is met: one lookup
  // per edge end, so that the set-up stays linear in the length of the boundary.
  std::vector<std::int32_t> boundary_of_node(static_cast<std::size_t>(node_count_), -1);
  auto boundary_index = [&](std::int32_t node) {
    std::int32_t& index = boundary_of_node[static_cast<std::size_t>(node)];
    if (index >= 0) return index;
    const std::size_t mesh_node =
        static_cast<std::size_t>(ground.ground_nodes[static_cast<std::size_t>(node)]);
    const double x = mesh.x_nodes[mesh_node % static_cast<std::size_t>(nx1)];
    const double z = mesh.z_nodes[mesh_node / static_cast<std::size_t>(nx1)];
    index = static_cast<std::int32_t>(boundary_node_.size());
    boundary_node_.push_back(node);
    boundary_distance_.push_back(std::hypot(x - reference_x, z - reference_z));
    return index;
  };
  auto cosine = [&](std::int32_t node, double normal_x, double normal_z) {
    const std::size_t mesh_node =
        static_cast<std::size_t>(ground.ground_nodes[static_cast<std::size_t>(node)]);
    const double dx = mesh.x_nodes[mesh_node % static_cast<std::size_t>(nx1)] - reference_x;
    const double dz = mesh.z_nodes[mesh_node / static_cast<std::size_t>(nx1)] - reference_z;
    const double r = std::hypot(dx, dz);
    return r > 0 ? (dx * normal_x + dz * normal_z) / r : 0.0;
  };

  position_of_cell_.assign(static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz), -1);
  for (std::int32_t k = 0; k < nz; ++k) {
    for (std::int32_t i = 0; i < nx; ++i) {
      if (!ground.is_ground(i, k)) continue;
      position_of_cell_[static_cast<std::size_t>(k * nx + i)] =
          static_cast<std::int32_t>(cells_.size());
      Cell cell;
      cell.cell = k * nx + i;
      const std::int32_t corner[4][2] = {{i, k}, {i + 1, k}, {i + 1, k + 1}, {i, k + 1}};
      for (int a = 0; a < 4; ++a) {
        cell.node[a] =
            ground.node_number[static_cast<std::size_t>(corner[a][1] * nx1 + corner[a][0])];
      }
      const double hx = mesh.dx[static_cast<std::size_t>(i)];
      const double hz = mesh.dz[static_cast<std::size_t>(k)];
      cell_element(hx, hz, electrode_cell, cell.stiffness, cell.mass);
      for (int a = 0; a < 4; ++a) cell.position[a] = position(cell.node[a], cell.node[a]);
      for (int p = 0; p < 6; ++p) {
        cell.position[4 + p] = position(cell.node[pair_first[p]], cell.node[pair_second[p]]);
      }
      const auto index = static_cast<std::int32_t>(cells_.size());
      cell.first_edge = static_cast<std::int32_t>(edges_.size());
      cells_.push_back(cell);
      // The sides and bottom of the mesh: ends (local nodes) and outward normal of each edge.
      const struct {
        bool present;
        int first, second;
        double normal_x, normal_z, length;
      } sides[3] = {
          {i == 0, 0, 3, -1, 0, hz}, {i == nx - 1, 1, 2, 1, 0, hz}, {k == nz - 1, 3, 2, 0, 1, hx}};
      for (const auto& side : sides) {
        if (!side.present) continue;
        BoundaryEdge edge;
        edge.cell = index;
        const int ends[2] = {side.first, side.second};
        for (int e = 0; e < 2; ++e) {
          const std::int32_t node = cell.node[ends[e]];
          edge.boundary[e] = boundary_index(node);
          edge.half_length_cos[e] = side.length / 2 * cosine(node, side.normal_x, side.normal_z);
        }
        edges_.push_back(edge);
        edge_local_.push_back({ends[0], ends[1]});
        ++cells_.back().edge_count;
      }
    }
  }
}

void GroundOperator::set_conductivity(std::span<const double> sigma) {
  sigma_.resize(cells_.size());
  for (std::size_t c = 0; c < cells_.size(); ++c)
    sigma_[c] = sigma[static_cast<std::size_t>(cells_[c].cell)];
  boundary_weight_.assign(boundary_node_.size(), 0.0);
  refused_.clear();
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    const Cell& cell = cells_[c];
    const double s = sigma_[c];
    if (refused_.empty() && !(s >= 1 / largest_resistivity && s <= 1 / smallest_resistivity)) {
      // 1-based (column, row), as the other messages about cells.
      refused_ = "the resistivity of cell (" + std::to_string(cell.cell % nx_ + 1) + ", " +
                 std::to_string(cell.cell / nx_ + 1) + ") is " + shortest(1 / s) +
                 " ohm-m: the forward model takes resistivities from " +
                 shortest(smallest_resistivity) + " to " + shortest(largest_resistivity) + " ohm-m";
    }
  }
  for (const BoundaryEdge& edge : edges_) {
    const double s = sigma_[static_cast<std::size_t>(edge.cell)];
    for (int e = 0; e < 2; ++e) {
      boundary_weight_[static_cast<std::size_t>(edge.boundary[e])] += s * edge.half_length_cos[e];
    }
  }
}

std::vector<double> GroundOperator::boundary_factors(double k) const {
  std::vector<double> factors(boundary_distance_.size());
  for (std::size_t b = 0; b < factors.size(); ++b) {
    const double r = boundary_distance_[b];
    factors[b] = r > 0 ? k * bessel_k1_over_k0(k * r) : 0.0;
  }
  return factors;
}

void GroundOperator::values(double k, std::span<const double> boundary,
                            std::span<double> out) const {
  if (!refused_.empty()) throw std::invalid_argument(refused_);
  // Assembled cell by cell for every wavenumber: a few operations per entry against the
  // factorisation's many, and no copy of the stiffness and mass in the pattern's order to keep.
  const double k2 = k * k;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(rows_.size()), 0.0);
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    const Cell& cell = cells_[c];
    const double s = sigma_[c];
    const double entry[4] = {
        s * (cell.stiffness[0] + k2 * cell.mass[0]), s * (cell.stiffness[1] + k2 * cell.mass[1]),
        s * (cell.stiffness[2] + k2 * cell.mass[2]), s * (cell.stiffness[3] + k2 * cell.mass[3])};
    for (int e = 0; e < 10; ++e)
      out[static_cast<std::size_t>(cell.position[e])] += entry[entry_kind[e]];
  }
  for (std::size_t b = 0; b < boundary_node_.size(); ++b) {
    out[static_cast<std::size_t>(diagonal_[static_cast<std::size_t>(boundary_node_[b])])] +=
        boundary_weight_[b] * boundary[b];
  }
}

void GroundOperator::add_weighted(double k, std::span<const double> boundary,
                                  std::span<const double> weight, std::span<double> out) const {
  const double k2 = k * k;
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    const Cell& cell = cells_[c];
    const double s = sigma_[c] * weight[static_cast<std::size_t>(cell.cell)];
    if (s == 0) continue;
    for (int e = 0; e < 10; ++e) {
      out[static_cast<std::size_t>(cell.position[e])] +=
          s * (cell.stiffness[entry_kind[e]] + k2 * cell.mass[entry_kind[e]]);
    }
    for (std::int32_t e = cell.first_edge; e < cell.first_edge + cell.edge_count; ++e) {
      const BoundaryEdge& edge = edges_[static_cast<std::size_t>(e)];
      for (int end = 0; end < 2; ++end) {
        out[static_cast<std::size_t>(cell.position[edge_local_[static_cast<std::size_t>(e)]
                                                              [static_cast<std::size_t>(end)]])] +=
            s * edge.half_length_cos[end] * boundary[static_cast<std::size_t>(edge.boundary[end])];
      }
    }
  }
}

void GroundOperator::cell_energies(double k, std::span<const double> boundary,
                                   std::span<const double> u, std::span<const double> v,
                                   std::span<double> out) const {
  const double k2 = k * k;
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    const Cell& cell = cells_[c];
    double uu[4], vv[4];
    for (int a = 0; a < 4; ++a) {
      uu[a] = u[static_cast<std::size_t>(cell.node[a])];
      vv[a] = v[static_cast<std::size_t>(cell.node[a])];
    }
    double energy =
        cell_product(cell.stiffness, uu, vv, true) + k2 * cell_product(cell.mass, uu, vv, false);
    for (std::int32_t e = cell.first_edge; e < cell.first_edge + cell.edge_count; ++e) {
      const BoundaryEdge& edge = edges_[static_cast<std::size_t>(e)];
      for (int end = 0; end < 2; ++end) {
        const int local = edge_local_[static_cast<std::size_t>(e)][static_cast<std::size_t>(end)];
        energy += edge.half_length_cos[end] *
                  boundary[static_cast<std::size_t>(edge.boundary[end])] * (uu[local] * vv[local]);
      }
    }
    out[static_cast<std::size_t>(cell.cell)] = sigma_[c] * energy;
  }
}

void GroundOperator::cell_factor(std::size_t position, double k, std::span<const double> boundary,
                                 double scale, double* r) const {
  const Cell& cell = cells_[position];
  const double s = sigma_[position] * scale;
  const double k2 = k * k;
  double entry[4];
  for (int kind = 0; kind < 4; ++kind)
    entry[kind] = s * (cell.stiffness[kind] + k2 * cell.mass[kind]);
  // Local nodes 0-1 and 3-2 are pairs along x, 0-3 and 1-2 along z, 0-2 and 1-3 across.
  double e[4][4] = {{entry[0], entry[1], entry[3], entry[2]},
                    {entry[1], entry[0], entry[2], entry[3]},
                    {entry[3], entry[2], entry[0], entry[1]},
                    {entry[2], entry[3], entry[1], entry[0]}};
  for (std::int32_t edge_index = cell.first_edge; edge_index < cell.first_edge + cell.edge_count;
       ++edge_index) {
    const BoundaryEdge& edge = edges_[static_cast<std::size_t>(edge_index)];
    for (int end = 0; end < 2; ++end) {
      const int local =
          edge_local_[static_cast<std::size_t>(edge_index)][static_cast<std::size_t>(end)];
      e[local][local] +=
          s * edge.half_length_cos[end] * boundary[static_cast<std::size_t>(edge.boundary[end])];
    }
  }
  // Cholesky E = R^T R, R upper triangular. The stiffness alone is singular (a constant carries no
  // energy) but any three nodes of a cell span no constant, so only the last pivot can be tiny,
  // where the mass and boundary terms are: rounding may take it just below 0, and 0 is kept then.
  double u[4][4] = {};
  for (int i = 0; i < 4; ++i) {
    double d = e[i][i];
    for (int m = 0; m < i; ++m) d -= u[m][i] * u[m][i];
    u[i][i] = std::sqrt(std::max(d, 0.0));
    for (int j = i + 1; j < 4; ++j) {
      double v = e[i][j];
      for (int m = 0; m < i; ++m) v -= u[m][i] * u[m][j];
      u[i][j] = v / u[i][i];
    }
  }
  int at = 0;
  for (int i = 0; i < 4; ++i) {
    for (int j = i; j < 4; ++j) r[at++] = u[i][j];
  }
}

}  // namespace quelby
