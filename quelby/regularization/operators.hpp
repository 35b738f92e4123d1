// The pieces of the model objective function: the smallness diagonal, the rotated derivative
// weights, the x and z first-difference operators, the copy of a product into a term, and the
// symmetric sum C + C^T of the cross product. Each is linear in the cells or in the entries.
// Matrices have one row per model parameter; rows and columns are 0-based (parameter p is row
// p - 1), and a column of -1 names a partner cell that is not a parameter.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/sparse/csr.hpp"

namespace quelby {

// Which cells are parameters: `cell_idx` holds nx * nz values in cell order (x fastest), > 0 the
// 1-based parameter number, < 0 an influence cell, 0 inactive.
struct ParameterCells {
  const Mesh& mesh;
  std::span<const std::int32_t> cell_idx;
  std::int32_t npar;
};

// Per-zone coefficients and dip angles (radians); zone z (1-based, as in a zone map) is element
// z - 1 of every array.
struct ZoneCoefficients {
  std::span<const double> alpha_s;
  std::span<const double> alpha_x;
  std::span<const double> alpha_z;
  std::span<const double> dip;
};

// The rotated weights of the derivative terms, one per parameter.
struct RotatedWeights {
  std::vector<double> Bx;
  std::vector<double> Bz;
  std::vector<double> Bxz;
};

// Number of cells with a non-zero index, in one pass over the map.
std::int64_t count_visited_cells(std::span<const std::int32_t> cell_idx);

// WTWs (npar elements) = dz * dx * s weight * zone's alpha_s per visited cell in cell order;
// elements of parameters never visited stay 0. Stops with "icount > size(WTWs)" before a cell
// beyond npar is stored. `zone_idx` holds 1-based zone numbers per cell.
void build_smallness(const Io& io, const ParameterCells& cells, std::span<const double> s_weights,
                     std::span<const std::int32_t> zone_idx, std::span<const double> zone_alpha_s,
                     std::vector<double>& WTWs);

// Bx = a c^2 + b s^2, Bz = a s^2 + b c^2, Bxz = s c (a - b) per visited cell, with s and c the sine
// and cosine of the zone's dip, a = x weight * alpha_x and b = z weight * alpha_z of the zone.
// Stops with "icount > size(Bx)" before a cell beyond npar is stored.
void build_rotated_weights(const Io& io, const ParameterCells& cells,
                           std::span<const double> x_weights, std::span<const double> z_weights,
                           std::span<const std::int32_t> zone_idx, const ZoneCoefficients& zones,
                           RotatedWeights& weights);

// Wx: per visited cell a forward difference with its right neighbour, else a backward one with its
// left neighbour, else one entry 0 in column 0; the pair (k, k + 1) has values -v, +v with
// v = sqrt(dz * dxc) / dxc. Stops with "irow /= npar" or "ndx > size(Wx)".
void build_x_operator(const Io& io, const ParameterCells& cells, CsrMatrix& Wx);

// Wz: per visited cell the difference with the cell below (the cell above in the bottom row), the
// partner's column taken from cell_idx (-1 when it is no parameter); v = sqrt(dx * dzc) / dzc.
// With nz = 1 there is no partner and the row is one entry 0 in column 0, as in Wx.
// Stops with "irow /= npar" or "ndz > size(Wz)".
void build_z_operator(const Io& io, const ParameterCells& cells, CsrMatrix& Wz);

// term = the first npar rows of `product`, its arrays sized to exactly its entries (none when it
// has none); the arrays of `product` are taken over, so it is left empty.
void store_term(CsrMatrix& product, std::int32_t npar, CsrMatrix& term);

// S = C + C^T for C of npar rows: row r is row r of C in its order, then, for every row q in
// ascending order whose first entry in column r has value v, v added to the entry of column q if
// row r has one, else (q, v) appended. Linear in npar plus the entries (the transpose of C lists
// the q of every r). Stops with "icnt > size(B)" when S would exceed 2^31 - 1 entries.
void symmetric_sum(const Io& io, const CsrMatrix& c, std::int32_t npar, CsrMatrix& s);
// The same, with the transpose made in `work` (reused from call to call).
void symmetric_sum(const Io& io, const CsrMatrix& c, std::int32_t npar, CsrMatrix& s,
                   CsrWorkspace& work);

}  // namespace quelby
