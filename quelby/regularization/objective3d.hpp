// The 3-D model objective function as sparse matrices: the smallness term and the x, y and z
// first-difference terms on a 3-D tensor mesh, and their sum WTW, built in time linear in the
// number of parameters. Rows and columns are 0-based: parameter p (1-based, as in cell_idx) is row
// and column p - 1. The solver takes it as a ModelObjective (as_model_objective).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/regularization/alpha3d.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/sparse/csr.hpp"

namespace quelby {

// Which cells are parameters: `cell_idx` holds nx * ny * nz values in cell order (x fastest, then
// y, then z), > 0 the 1-based parameter number, < 0 an influence cell, 0 inactive. The parameters
// are numbered 1, 2, ..., npar in cell order.
struct ParameterCells3D {
  const Mesh3D& mesh;
  std::span<const std::int32_t> cell_idx;
  std::int32_t npar;
};

// Cell weights of the four terms, nx * ny * nz values each in cell order; an empty array weighs
// every cell 1.
struct CellWeights3D {
  std::vector<double> s_weights;
  std::vector<double> x_weights;
  std::vector<double> y_weights;
  std::vector<double> z_weights;
};

struct ModelObjective3D {
  // true: the derivative terms act on m - m_ref; false: on m.
  bool ref_in_derivatives = false;
  // Term 1 smallness (diagonal), 2 x, 3 y, 4 z derivative; npar + 1 row starts each.
  std::vector<CsrMatrix> wtw_terms;
  std::int32_t n_terms = 0;
  // The sum of the terms: rows with ascending columns, at most 7 entries a row.
  CsrMatrix WTW;

  // The factors, kept only when the build is asked for them (empty otherwise): the difference
  // operators (one row per parameter; a column outside 0..npar-1 names a partner cell that is no
  // parameter) and their weights, so that the x term is Wx^T diag(Bx) Wx, likewise y and z.
  CsrMatrix Wx;
  CsrMatrix Wy;
  CsrMatrix Wz;
  std::vector<double> Bx;
  std::vector<double> By;
  std::vector<double> Bz;
};

// The axes of the difference operators.
enum class Axis3D { x, y, z };

// WTWs (npar elements) = dz * dx * dy * s weight * alpha_s per parameter (s weight 1 when
// `s_weights` is empty). Stops when the cells are inconsistent (see build_model_objective3d).
void build_smallness3d(const Io& io, const ParameterCells3D& cells,
                       std::span<const double> s_weights, double alpha_s,
                       std::vector<double>& WTWs);

// The first-difference operator along `axis`, one row per parameter (0-based row p - 1).
// Along x (and y alike): the difference with the neighbour in +x when that cell is not inactive,
// else with the neighbour in -x when that one is not, else one entry 0 in column 0; the pair
// (left, right) has values -v, +v with v = sqrt(dz * dy * dxc) / dxc (dxc the distance of the two
// centres; for y v = sqrt(dx * dz * dyc) / dyc). Along z: the difference with the cell below (with
// the cell above in the bottom layer) whatever it is, v = sqrt(dx * dy * dzc) / dzc; with nz = 1
// the row is one entry 0 in column 0. A partner's column is its cell_idx - 1, outside 0..npar-1
// when it is no parameter (such entries drop out of the products). Linear in cells.
void build_difference_operator3d(const Io& io, const ParameterCells3D& cells, Axis3D axis,
                                 CsrMatrix& W);

// Writes whether the reference model enters the derivative terms to the run log, then builds the
// terms (weights B = cell weight * alpha of the axis per parameter), WTW and the diagonal checks
// into `objective` (cleared first; left empty by a failure). `options.keep_factors` keeps the
// operators and their weights. The cells must cover the mesh (nx * ny * nz values, widths for
// every column, row and layer, parameters numbered in cell order) and each weight array be empty
// or cover it; otherwise the consistency text goes to the error stream and Stop is thrown.
// Linear in cells.
void build_model_objective3d(const Io& io, const ParameterCells3D& cells,
                             const AlphaCoefficients3D& alpha, const CellWeights3D& weights,
                             bool ref_in_derivatives, ModelObjective3D& objective,
                             const ObjectiveOptions& options = {});

// phi[k] = u_k^T term_k u_k for the four terms, u_1 = m - m_ref and the others m - m_ref or m as
// ref_in_derivatives says; each dot product sums from 0 by increasing index, as term_norms does.
// m and m_ref need npar elements, phi at least n_terms (std::invalid_argument otherwise).
void term_norms3d(const ModelObjective3D& objective, std::span<const double> m,
                  std::span<const double> m_ref, std::span<double> phi);

// phi_m = ((phi_s + phi_x) + phi_y) + phi_z, the sum of term_norms3d.
double model_norm3d(const ModelObjective3D& objective, std::span<const double> m,
                    std::span<const double> m_ref);

// The objective as the solver takes it (three_dimensional set; the terms, WTW and the factors
// moved over), so that the Gauss-Newton iterations, the term norms and the blocky reweighting
// work on it unchanged.
ModelObjective as_model_objective(ModelObjective3D objective);

}  // namespace quelby
