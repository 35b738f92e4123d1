#include "quelby/forward/ground_operator.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "quelby/forward/wavenumbers.hpp"

namespace quelby {
namespace {

// The cell-local pairs of Cell::position after the four diagonals.
constexpr int pair_first[6] = {0, 3, 0, 1, 0, 1};
constexpr int pair_second[6] = {1, 2, 3, 2, 2, 3};

}  // namespace

GroundOperator::GroundOperator(const Mesh& mesh, const Ground& ground, double reference_x,
                               double reference_z)
    : node_count_(ground.node_count()) {
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
      cell.along_x = hz / hx / 18;
      cell.along_z = hx / hz / 18;
      cell.quarter_area = hx * hz / 4;
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
  stiffness_.assign(rows_.size(), 0.0);
  mass_.assign(static_cast<std::size_t>(node_count_), 0.0);
  boundary_weight_.assign(boundary_node_.size(), 0.0);
  for (const Cell& cell : cells_) {
    const double s = sigma[static_cast<std::size_t>(cell.cell)];
    const double x = s * cell.along_x;
    const double z = s * cell.along_z;
    const double pair_value[6] = {-8 * x + z, -8 * x + z, x - 8 * z, x - 8 * z, -(x + z), -(x + z)};
    for (int a = 0; a < 4; ++a) {
      stiffness_[static_cast<std::size_t>(cell.position[a])] += 8 * (x + z);
      mass_[static_cast<std::size_t>(cell.node[a])] += s * cell.quarter_area;
    }
    for (int p = 0; p < 6; ++p)
      stiffness_[static_cast<std::size_t>(cell.position[4 + p])] += pair_value[p];
  }
  for (const BoundaryEdge& edge : edges_) {
    const double s =
        sigma[static_cast<std::size_t>(cells_[static_cast<std::size_t>(edge.cell)].cell)];
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
  std::copy(stiffness_.begin(), stiffness_.end(), out.begin());
  const double k2 = k * k;
  for (std::size_t n = 0; n < mass_.size(); ++n)
    out[static_cast<std::size_t>(diagonal_[n])] += k2 * mass_[n];
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
    const double x = s * cell.along_x;
    const double z = s * cell.along_z;
    const double pair_value[6] = {-8 * x + z, -8 * x + z, x - 8 * z, x - 8 * z, -(x + z), -(x + z)};
    for (int a = 0; a < 4; ++a) {
      out[static_cast<std::size_t>(cell.position[a])] += 8 * (x + z) + k2 * s * cell.quarter_area;
    }
    for (int p = 0; p < 6; ++p)
      out[static_cast<std::size_t>(cell.position[4 + p])] += pair_value[p];
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
    const double top_u = uu[1] - uu[0], bottom_u = uu[2] - uu[3];
    const double top_v = vv[1] - vv[0], bottom_v = vv[2] - vv[3];
    const double left_u = uu[3] - uu[0], right_u = uu[2] - uu[1];
    const double left_v = vv[3] - vv[0], right_v = vv[2] - vv[1];
    const double along_x =
        8 * (top_u * top_v + bottom_u * bottom_v) + (top_u * bottom_v + bottom_u * top_v);
    const double along_z =
        8 * (left_u * left_v + right_u * right_v) + (left_u * right_v + right_u * left_v);
    const double nodes = uu[0] * vv[0] + uu[1] * vv[1] + uu[2] * vv[2] + uu[3] * vv[3];
    double energy =
        cell.along_x * along_x + cell.along_z * along_z + k2 * cell.quarter_area * nodes;
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
  const double x = s * cell.along_x;
  const double z = s * cell.along_z;
  const double diagonal = 8 * (x + z) + k * k * s * cell.quarter_area;
  double e[4][4] = {{diagonal, -8 * x + z, -(x + z), x - 8 * z},
                    {-8 * x + z, diagonal, x - 8 * z, -(x + z)},
                    {-(x + z), x - 8 * z, diagonal, -8 * x + z},
                    {x - 8 * z, -(x + z), -8 * x + z, diagonal}};
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
