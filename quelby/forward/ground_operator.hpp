// The operator of one wavenumber k on the ground, with potentials on the nodes and a conductivity
// per cell: A(k) = S + k^2 M + B(k), symmetric positive definite. Per cell S is half the bilinear
// element's stiffness and half the five-point stencil's (the blend whose error of order h^2 acts
// as a change of the mass alone), M three quarters the consistent mass and a quarter the lumped
// one; the error of order h^2 they leave at a point source on uniform cells of any shape is
// cancelled along the ground surface by the electrodes' weights (place_electrodes,
// five_point_share). Where cells grow beyond those at the electrodes (the padding) the five-point
// and lumped shares shrink with the square of the cell size, so that a change of width between
// neighbours adds no error of first order there. B(k) is the mixed condition of a point source on
// the sides and bottom, du/dn + k K1(kr)/K0(kr) cos(theta) u = 0, lumped on the boundary nodes,
// with r and theta taken from one reference point. The ground surface carries no current.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quelby/forward/ground.hpp"
#include "quelby/mesh/mesh.hpp"

namespace quelby {

// Cells may be at most this many times wider than thick, or thicker than wide: the data of a mesh
// with one such row lose about 1e-16 times the ratio to rounding (3e-5 at 1e12), and beyond about
// 1e15 the factorisation fails.
inline constexpr double largest_aspect = 1e12;
// The resistivities (ohm-m) the operator takes: its entries, their products in the factorisation
// and the fields stay far inside the range of doubles.
inline constexpr double smallest_resistivity = 1e-100;
inline constexpr double largest_resistivity = 1e100;

class GroundOperator {
 public:
  // The pattern and geometry of the ground of `mesh`; the mixed condition is taken from the point
  // (reference_x, reference_z); `electrode_cell` is the largest width or thickness of a cell at an
  // electrode (SurveyElectrodes::largest_cell; 0: no cell counts as padding). Linear in cells.
  // Throws std::invalid_argument naming the row or column of a ground cell more than
  // largest_aspect times wider than thick or thicker than wide.
  GroundOperator(const Mesh& mesh, const Ground& ground, double reference_x, double reference_z,
                 double electrode_cell = 0);

  std::int32_t size() const noexcept { return node_count_; }
  // The upper triangle in compressed columns: column j holds rows i <= j, ascending.
  std::span<const std::int32_t> column_starts() const noexcept { return column_starts_; }
  std::span<const std::int32_t> rows() const noexcept { return rows_; }
  std::size_t entry_count() const noexcept { return rows_.size(); }

  // Takes one conductivity per mesh cell (S/m, cell order; air cells are not read). Linear in
  // cells. A ground cell whose resistivity lies outside [smallest_resistivity,
  // largest_resistivity] is remembered, and values() refuses to build the operator of it.
  void set_conductivity(std::span<const double> sigma);

  // The mixed condition's factor at each boundary node for wavenumber k: k K1(kr) / K0(kr) for
  // the node's distance r from the reference point. Every k-dependent call below takes these.
  std::vector<double> boundary_factors(double k) const;

  // The entries of A(k) for the conductivity last set, in the pattern's order. Throws
  // std::invalid_argument naming the first cell whose resistivity is out of range.
  void values(double k, std::span<const double> boundary, std::span<double> out) const;
  // Adds to `out` the entries of sum_c weight_c sigma_c dA/dsigma_c at wavenumber k: the operator
  // of the conductivity sigma_c * weight_c (one weight per mesh cell). Linear in cells.
  void add_weighted(double k, std::span<const double> boundary, std::span<const double> weight,
                    std::span<double> out) const;

  // For each ground cell, in cell order: u^T E_c(k) v, the energy of the cell's part of A(k) for
  // two potential vectors u and v (per ground node), written to `out` per mesh cell (air cells are
  // not written). The sum over cells is u^T A(k) v.
  void cell_energies(double k, std::span<const double> boundary, std::span<const double> u,
                     std::span<const double> v, std::span<double> out) const;

  // The position in cells() of a mesh cell, or -1 for a cell in the air.
  std::int32_t cell_position(std::int32_t mesh_cell) const noexcept {
    return position_of_cell_[static_cast<std::size_t>(mesh_cell)];
  }
  // The upper triangular R (row by row: r00 r01 r02 r03 r11 r12 r13 r22 r23 r33) with
  // R^T R = scale * E_c(k) for cells()[position], so that u^T E_c v = (R u).(R v) / scale.
  // E_c is positive definite for k > 0.
  void cell_factor(std::size_t position, double k, std::span<const double> boundary, double scale,
                   double* r) const;

  struct Cell {
    std::int32_t cell = 0;      // mesh cell, k * nx + i
    std::int32_t node[4] = {};  // ground nodes (i,k), (i+1,k), (i+1,k+1), (i,k+1)
    // The cell's stiffness and mass for a unit conductivity: a diagonal entry, then the entry of
    // a pair along x (same row), along z (same column) and across the cell. The stiffness's rows
    // sum to 0.
    double stiffness[4] = {};
    double mass[4] = {};
    // Entry positions of the cell's pairs in the pattern: the four diagonals, then the pairs
    // 0-1, 3-2 (same row), 0-3, 1-2 (same column), 0-2, 1-3 (diagonals of the cell).
    std::int32_t position[10] = {};
    std::int32_t first_edge = 0;  // its boundary edges: first_edge .. first_edge + edge_count - 1
    std::int32_t edge_count = 0;
  };
  struct BoundaryEdge {
    std::int32_t cell = 0;           // index into cells()
    std::int32_t boundary[2] = {};   // indices into the boundary nodes
    double half_length_cos[2] = {};  // L / 2 * cos(theta) at each end
  };
  std::span<const Cell> cells() const noexcept { return cells_; }
  std::span<const BoundaryEdge> boundary_edges() const noexcept { return edges_; }

 private:
  std::int32_t node_count_ = 0;
  std::int32_t nx_ = 1;  // the mesh's columns, for the numbers of cells in messages
  std::vector<std::int32_t> column_starts_, rows_, diagonal_;
  std::vector<Cell> cells_;
  std::vector<BoundaryEdge> edges_;
  std::vector<std::int32_t> boundary_node_;     // ground node of each boundary node
  std::vector<double> boundary_distance_;       // its distance from the reference point
  std::vector<std::int32_t> position_of_cell_;  // per mesh cell, its entry of cells_ or -1
  std::vector<std::array<int, 2>> edge_local_;  // the cell-local ends of each boundary edge
  // Set by set_conductivity:
  std::vector<double> sigma_;            // per entry of cells_
  std::vector<double> boundary_weight_;  // sum of sigma L/2 cos(theta), per boundary node
  std::string refused_;                  // why values() refuses the conductivity set, or empty
};

}  // namespace quelby
