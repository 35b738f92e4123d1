// The model objective function of a regularised inversion as sparse matrices: one term per part
// (smallness, x derivative, z derivative, and the cross term of a dip) and their sum WTW, built
// once per set-up in time linear in the number of parameters. Rows and columns are 0-based:
// parameter p (1-based, as in cell_idx and in messages) is row and column p - 1.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/operators.hpp"
#include "quelby/sparse/csr.hpp"

namespace quelby {

struct ModelObjective {
  // true: the derivative terms act on m - m_ref; false: on m.
  bool ref_in_derivatives = false;
  // false: a 2-D objective, whose terms are 1 smallness (diagonal), 2 x derivative, 3 z
  // derivative, 4 cross term (present when some Bxz is not 0). true: a 3-D one (made by
  // as_model_objective), whose terms are 1 smallness, 2 x, 3 y and 4 z derivative, without a cross
  // term, and whose factors are Wx, Wy, Wz, Bx, By and Bz.
  bool three_dimensional = false;
  // The terms, each sized exactly to its entries, npar + 1 row starts.
  std::vector<CsrMatrix> wtw_terms;
  std::int32_t n_terms = 0;
  // The sum of the terms: rows with ascending columns, at most 10 entries a row.
  CsrMatrix WTW;

  // The factors, kept only when the build is asked for them (empty otherwise): the difference
  // operators as built (one row per parameter, before any transposition; a column of -1 names a
  // partner cell that is no parameter) and the rotated weights, so that the x term is
  // Wx^T diag(Bx) Wx, the z term Wz^T diag(Bz) Wz and the cross term the symmetric part of
  // 2 Wx^T diag(Bxz) Wz. A 3-D objective keeps Wy and By too (its y term Wy^T diag(By) Wy) and no
  // Bxz.
  CsrMatrix Wx;
  CsrMatrix Wz;
  std::vector<double> Bx;
  std::vector<double> Bz;
  std::vector<double> Bxz;
  CsrMatrix Wy;
  std::vector<double> By;
};

struct ObjectiveOptions {
  bool keep_factors = false;  // keep Wx, Wz, Bx, Bz and Bxz in the objective
};

// Everything the terms are built from, once the weights and zones are known. The weight arrays
// and the zone map hold nx * nz values in cell order; zone numbers are 1-based.
struct ObjectiveInputs {
  ParameterCells cells;
  std::span<const double> s_weights;
  std::span<const double> x_weights;
  std::span<const double> z_weights;
  std::span<const std::int32_t> zone_idx;
  ZoneCoefficients zones;
};

// Cell weights held in memory, each nx by nz in cell order, as set_weights leaves them (for
// example filled by weights_from_arrays).
struct CellWeights {
  CellArray s_weights;
  CellArray x_weights;
  CellArray z_weights;
};

// Where the cell weights come from: `weight_input` is the selector of set_weights (0 every weight
// 1, 1 the weighting file weight_files[0], 2 one single-array file per array) and `weight_files`
// the names it reads; `arrays`, when present, replaces both: its weights are taken as weights read
// from files are (their last x column and z row then repeat their neighbours').
struct WeightSource {
  std::int32_t weight_input = 0;
  std::array<std::string, 3> weight_files;
  std::shared_ptr<const CellWeights> arrays = nullptr;

  static WeightSource ones() { return {}; }
  static WeightSource weighting_file(std::string name) { return {1, {std::move(name), "", ""}}; }
  static WeightSource array_files(std::string s_file, std::string x_file, std::string z_file) {
    return {2, {std::move(s_file), std::move(x_file), std::move(z_file)}};
  }
  static WeightSource given(CellWeights weights) {
    return {0, {}, std::make_shared<const CellWeights>(std::move(weights))};
  }
};

// Where the dipping zones come from: `dip_input` 1 reads the dipping file `dip_file`, any other
// value makes the one background zone of the alpha coefficients.
struct DipSource {
  std::int32_t dip_input = 0;
  std::string dip_file;

  static DipSource none() { return {}; }
  static DipSource file(std::string name) { return {1, std::move(name)}; }
};

// The whole set-up: writes whether the reference model enters the derivative terms to the run log,
// fills the cell weights from `weights` by set_weights or from its arrays (completing the last
// column of x_weights and the last row of z_weights from their neighbours when weights were read
// or given and such a neighbour exists), reads the dipping zones from `dipping` by read_dipping,
// and builds the terms, WTW and the diagonal checks by build_objective_terms. `cells` must be built
// for `mesh` (npar >= 1). Linear in cells; every failure writes its message and throws Stop.
void build_model_objective(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                           const AlphaCoefficients& alpha, const WeightSource& weights,
                           const DipSource& dipping, bool ref_in_derivatives,
                           ModelObjective& objective, const ObjectiveOptions& options = {});

// The same with the selectors and their files as separate arguments, as set_weights and
// read_dipping take them.
void build_model_objective(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                           const AlphaCoefficients& alpha, std::int32_t weight_input,
                           const std::array<std::string, 3>& weight_files, std::int32_t dip_input,
                           std::string_view dip_file, bool ref_in_derivatives,
                           ModelObjective& objective, const ObjectiveOptions& options = {});

// Builds the smallness term, the rotated weights, the operators, the x, z and cross terms, WTW
// and the diagonal checks from `inputs` into `objective` (which is cleared first: a second build
// replaces the first, a failed one leaves it empty). Linear in npar. Every consistency check
// writes its text on the error stream and throws Stop before anything is stored beyond capacity.
void build_objective_terms(const Io& io, const ObjectiveInputs& inputs, bool ref_in_derivatives,
                           const ObjectiveOptions& options, ModelObjective& objective);

// The objective with the rotated weights of its derivative terms multiplied row by row by
// `row_weights` (one per parameter; Bx, Bz and Bxz alike, and By of a 3-D objective): the same
// smallness term, the derivative terms built from the kept operators as the build makes them, and
// their sum.
// `objective` must hold its factors (ObjectiveOptions::keep_factors), `reweighted` keeps none.
// Linear in npar.
void reweight_derivative_terms(const Io& io, const ModelObjective& objective,
                               std::span<const double> row_weights, ModelObjective& reweighted);

// WTW = the sum of the terms, row by row: a buffer of 10 slots starts with the diagonal of term 1,
// the rows of terms 2.. are merged into it, and its slots are written ordered by column. Stops
// with "icnt > size(row)" or "ipt > size(WTW)"; the out-of-memory stop when WTW cannot be held.
void assemble_wtw(const Io& io, ModelObjective& objective);

// Writes to the run log, per row i (1-based in the text): the free-format line
// "  warning: no diagonal element in row : i" when WTW(i, i) is missing or 0, and
// " Warning: not diag-dominant: i,sum_j{aij},aii" with i in 5 columns and the off-diagonal sum
// and the diagonal in 13 when the sum of the other absolute values is not below the diagonal's.
void check_wtw_diagonal(const Io& io, const ModelObjective& objective);

}  // namespace quelby
