#include "quelby/regularization/objective.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/regularization/dipping.hpp"
#include "quelby/sparse/row_merge.hpp"

namespace quelby {
namespace {

constexpr std::size_t wtw_row_slots = 10;

// The entries of a matrix of `rows` rows: row_start[rows], or 0 when that is below 1.
std::int64_t entry_count(const CsrMatrix& matrix, std::size_t rows) {
  if (matrix.row_start.size() <= rows) return 0;
  const std::int32_t last = matrix.row_start[rows];
  return last < 1 ? 0 : last;
}

// Flushes the run log's lines in blocks rather than line by line.
class LogLines {
 public:
  explicit LogLines(const Io& io) : io_(io) {}
  ~LogLines() { flush(); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

  std::string& text() { return text_; }
  void line_done() {
    if (text_.size() >= (std::size_t{1} << 20)) flush();
  }
  void flush() {
    if (!text_.empty()) write_message(io_, Order::log_only, text_);
    text_.clear();
  }

 private:
  const Io& io_;
  std::string text_;
};

}  // namespace

void assemble_wtw(const Io& io, ModelObjective& objective) {
  const std::vector<CsrMatrix>& terms = objective.wtw_terms;
  if (objective.n_terms < 1 || terms.size() < static_cast<std::size_t>(objective.n_terms))
    internal_check_failed(io, "n_terms > size(wtw_terms)");
  const std::int32_t npar = csr_row_count(terms[0]);
  const auto n = static_cast<std::size_t>(npar);
  const auto n_terms = static_cast<std::size_t>(objective.n_terms);
  for (std::size_t k = 0; k < n_terms; ++k)
    if (terms[k].row_start.size() != n + 1) internal_check_failed(io, "term rows /= npar");
  if (terms[0].values.size() < n) internal_check_failed(io, "size(WTWs) < npar");

  std::int64_t capacity = 0;
  for (std::size_t k = 0; k < n_terms; ++k) capacity += entry_count(terms[k], n);
  CsrMatrix& WTW = objective.WTW;
  WTW = CsrMatrix{};
  try {
    if (capacity > std::numeric_limits<std::int32_t>::max()) throw std::bad_alloc();
    reserve_with_huge_pages(WTW.values, static_cast<std::size_t>(capacity));
    reserve_with_huge_pages(WTW.columns, static_cast<std::size_t>(capacity));
    assign_with_huge_pages(WTW.row_start, n + 1, 0);
  } catch (const std::bad_alloc&) {
    WTW = CsrMatrix{};
    out_of_memory_stop(io);
  }

  std::array<std::int32_t, wtw_row_slots> row_columns{};
  std::array<double, wtw_row_slots> row_values{};
  std::array<std::int32_t, wtw_row_slots> order{};
  std::size_t p = 0;
  const auto limit = static_cast<std::size_t>(capacity);
  for (std::size_t i = 0; i < n; ++i) {
    row_columns[0] = static_cast<std::int32_t>(i);
    row_values[0] = terms[0].values[i];
    std::size_t count = 1;
    for (std::size_t k = 1; k < n_terms; ++k) {
      if (!merge_row(terms[k], i, row_columns.data(), row_values.data(), wtw_row_slots, count))
        internal_check_failed(io, "icnt > size(row)");
    }
    const std::span<std::int32_t> index(order.data(), count);
    index_heapsort(std::span<const std::int32_t>(row_columns.data(), count), index);
    if (p + count > limit) internal_check_failed(io, "ipt > size(WTW)");
    WTW.row_start[i] = static_cast<std::int32_t>(p);
    for (const std::int32_t slot : index) {
      WTW.columns.push_back(row_columns[static_cast<std::size_t>(slot)]);
      WTW.values.push_back(row_values[static_cast<std::size_t>(slot)]);
      ++p;
    }
  }
  WTW.row_start[n] = static_cast<std::int32_t>(p);
}

void check_wtw_diagonal(const Io& io, const ModelObjective& objective) {
  const CsrMatrix& WTW = objective.WTW;
  const std::size_t n = static_cast<std::size_t>(csr_row_count(WTW));
  LogLines lines(io);
  std::array<char, i5_width + 2 * e13_5_width> fields{};
  for (std::size_t i = 0; i < n; ++i) {
    bool has_diagonal = false;
    double diagonal = 0.0;
    double others = 0.0;
    for (std::int32_t k = WTW.row_start[i]; k < WTW.row_start[i + 1]; ++k) {
      const double magnitude = std::fabs(WTW.values[static_cast<std::size_t>(k)]);
      if (!has_diagonal &&
          WTW.columns[static_cast<std::size_t>(k)] == static_cast<std::int32_t>(i)) {
        has_diagonal = true;
        diagonal = magnitude;
      } else {
        others += magnitude;
      }
    }
    const auto row_number = static_cast<std::int32_t>(i + 1);  // 1-based in the text
    if (!has_diagonal || diagonal == 0.0) {
      lines.text() += "  warning: no diagonal element in row : ";
      lines.text() += std::to_string(row_number);
      lines.text() += '\n';
      lines.line_done();
    }
    if (others >= diagonal) {
      format_i5(row_number, fields.data());
      format_e13_5(others, fields.data() + i5_width);
      format_e13_5(diagonal, fields.data() + i5_width + e13_5_width);
      lines.text() += " Warning: not diag-dominant: i,sum_j{aij},aii";
      lines.text().append(fields.data(), fields.size());
      lines.text() += '\n';
      lines.line_done();
    }
  }
}

namespace {

// The working arrays of one build, all released before the build returns. Within the build, the
// x and z products share one workspace, and each array is given back as soon as the build is done
// with it: the next array then takes memory the system has just had back, far cheaper to clear
// than memory it has to find (fresh pages cost about 10 microseconds each).
struct BuildScratch {
  CellArray s_weights;
  CellArray x_weights;
  CellArray z_weights;
  std::vector<std::int32_t> zone_idx;
  RotatedWeights rotated;
  CsrMatrix Wx;
  CsrMatrix Wz;
  CsrMatrix cross;
  CsrWorkspace work;
};

// A build's own scratch, released whole when the build ends, however it ends.
class ScratchLease {
 public:
  BuildScratch& get() { return scratch_; }

 private:
  BuildScratch scratch_;
};

void build_terms(const Io& io, const ObjectiveInputs& inputs, bool ref_in_derivatives,
                 const ObjectiveOptions& options, BuildScratch& scratch,
                 ModelObjective& objective) {
  objective.ref_in_derivatives = ref_in_derivatives;
  const ParameterCells& cells = inputs.cells;
  const std::int32_t npar = cells.npar;
  if (npar < 0) internal_check_failed(io, "npar < 0");
  const auto n = static_cast<std::size_t>(npar);

  // Influence cells are visited too and stop the build here, before any work.
  if (count_visited_cells(cells.cell_idx) > npar) internal_check_failed(io, "icount > size(WTWs)");
  std::vector<double> WTWs;
  build_smallness(io, cells, inputs.s_weights, inputs.zone_idx, inputs.zones.alpha_s, WTWs);
  RotatedWeights& rotated = scratch.rotated;
  build_rotated_weights(io, cells, inputs.x_weights, inputs.z_weights, inputs.zone_idx,
                        inputs.zones, rotated);
  // Each working array goes back as soon as the build is done with it. The weights and zones are
  // done with now (`inputs` may point into the scratch; nothing below reads them).
  {
    scratch.s_weights = CellArray();
    scratch.x_weights = CellArray();
    scratch.z_weights = CellArray();
    std::vector<std::int32_t>().swap(scratch.zone_idx);
  }
  const auto release = [&](auto& array) { array = std::remove_reference_t<decltype(array)>(); };

  bool has_cross_term = false;
  for (const double value : rotated.Bxz) has_cross_term = has_cross_term || value != 0.0;
  objective.n_terms = has_cross_term ? 4 : 3;
  std::vector<CsrMatrix>& terms = objective.wtw_terms;
  terms.resize(static_cast<std::size_t>(objective.n_terms));
  terms[0].values = std::move(WTWs);
  assign_with_huge_pages(terms[0].columns, n, 0);
  assign_with_huge_pages(terms[0].row_start, n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) terms[0].columns[i] = static_cast<std::int32_t>(i);
  for (std::size_t i = 0; i <= n; ++i) terms[0].row_start[i] = static_cast<std::int32_t>(i);

  // The x term; the product leaves Wx transposed, which the cross product uses.
  CsrMatrix& Wx = scratch.Wx;
  build_x_operator(io, cells, Wx);
  if (options.keep_factors) objective.Wx = Wx;
  CsrMatrix product;
  csr_weighted_gram(Wx, rotated.Bx, npar, product, scratch.work);
  store_term(product, npar, terms[1]);
  if (!options.keep_factors) release(rotated.Bx);

  // Without a cross term Wx is done with, and Wz takes its memory.
  CsrMatrix& Wz = has_cross_term ? scratch.Wz : scratch.Wx;
  build_z_operator(io, cells, Wz);
  if (options.keep_factors) objective.Wz = Wz;
  CsrMatrix& cross = scratch.cross;
  if (has_cross_term) {
    csr_scaled_product(Wx, rotated.Bxz, Wz, npar, cross, scratch.work);
    release(scratch.Wx);
  }
  csr_weighted_gram(Wz, rotated.Bz, npar, product, scratch.work);
  store_term(product, npar, terms[2]);
  release(Wz);
  release(scratch.work.sums);
  release(scratch.work.touched);

  if (has_cross_term) {
    symmetric_sum(io, cross, npar, product, scratch.work);
    store_term(product, npar, terms[3]);
    release(cross);
  }
  release(scratch.work.transposed);
  release(scratch.work.marks);
  if (options.keep_factors) {
    objective.Bx = std::move(rotated.Bx);
    objective.Bz = std::move(rotated.Bz);
    objective.Bxz = std::move(rotated.Bxz);
  }

  assemble_wtw(io, objective);
  check_wtw_diagonal(io, objective);
}

}  // namespace

namespace {

// The 3-D form: terms 2, 3 and 4 are the weighted Gram products of Wx, Wy and Wz.
void reweight_three_dimensional(const Io& io, const ModelObjective& objective,
                                std::span<const double> row_weights, ModelObjective& reweighted) {
  const std::int32_t npar = csr_row_count(objective.WTW);
  const auto n = static_cast<std::size_t>(npar);
  if (objective.Bx.size() != n || objective.By.size() != n || objective.Bz.size() != n ||
      row_weights.size() != n || objective.wtw_terms.empty() || objective.n_terms != 4) {
    internal_check_failed(io, "reweight_derivative_terms: the objective keeps no factors");
  }
  reweighted = ModelObjective{};
  reweighted.ref_in_derivatives = objective.ref_in_derivatives;
  reweighted.three_dimensional = true;
  reweighted.n_terms = objective.n_terms;
  std::vector<CsrMatrix>& terms = reweighted.wtw_terms;
  terms.resize(4);
  terms[0] = objective.wtw_terms[0];
  CsrWorkspace work;
  CsrMatrix product;
  const std::array<std::pair<const CsrMatrix*, const std::vector<double>*>, 3> factors{
      {{&objective.Wx, &objective.Bx},
       {&objective.Wy, &objective.By},
       {&objective.Wz, &objective.Bz}}};
  std::vector<double> b(n);
  for (std::size_t k = 0; k < factors.size(); ++k) {
    for (std::size_t p = 0; p < n; ++p) b[p] = (*factors[k].second)[p] * row_weights[p];
    CsrMatrix w = *factors[k].first;
    csr_weighted_gram(w, b, npar, product, work);
    store_term(product, npar, terms[k + 1]);
  }
  assemble_wtw(io, reweighted);
}

}  // namespace

void reweight_derivative_terms(const Io& io, const ModelObjective& objective,
                               std::span<const double> row_weights, ModelObjective& reweighted) {
  if (objective.three_dimensional) {
    reweight_three_dimensional(io, objective, row_weights, reweighted);
    return;
  }
  const std::int32_t npar = csr_row_count(objective.WTW);
  const auto n = static_cast<std::size_t>(npar);
  if (objective.Bx.size() != n || objective.Bz.size() != n || objective.Bxz.size() != n ||
      row_weights.size() != n || objective.wtw_terms.empty()) {
    internal_check_failed(io, "reweight_derivative_terms: the objective keeps no factors");
  }
  std::vector<double> bx(n), bz(n), bxz(n);
  for (std::size_t p = 0; p < n; ++p) {
    bx[p] = objective.Bx[p] * row_weights[p];
    bz[p] = objective.Bz[p] * row_weights[p];
    bxz[p] = objective.Bxz[p] * row_weights[p];
  }
  reweighted = ModelObjective{};
  reweighted.ref_in_derivatives = objective.ref_in_derivatives;
  reweighted.n_terms = objective.n_terms;
  std::vector<CsrMatrix>& terms = reweighted.wtw_terms;
  terms.resize(static_cast<std::size_t>(objective.n_terms));
  terms[0] = objective.wtw_terms[0];
  CsrWorkspace work;
  CsrMatrix wx = objective.Wx, wz = objective.Wz, product, cross;
  // The weighted Gram product leaves Wx transposed, which the cross product takes.
  csr_weighted_gram(wx, bx, npar, product, work);
  store_term(product, npar, terms[1]);
  if (objective.n_terms > 3) csr_scaled_product(wx, bxz, objective.Wz, npar, cross, work);
  csr_weighted_gram(wz, bz, npar, product, work);
  store_term(product, npar, terms[2]);
  if (objective.n_terms > 3) {
    symmetric_sum(io, cross, npar, product, work);
    store_term(product, npar, terms[3]);
  }
  assemble_wtw(io, reweighted);
}

namespace {

void build_terms_cleared(const Io& io, const ObjectiveInputs& inputs, bool ref_in_derivatives,
                         const ObjectiveOptions& options, BuildScratch& scratch,
                         ModelObjective& objective) {
  objective = ModelObjective{};
  try {
    build_terms(io, inputs, ref_in_derivatives, options, scratch, objective);
  } catch (...) {
    objective = ModelObjective{};
    throw;
  }
}

// `model` as a zeroed nx by nz array, reusing its memory when it has that shape already.
void zeroed_model(CellArray& model, std::int32_t nx, std::int32_t nz) {
  if (model.nx() == nx && model.nz() == nz) {
    std::fill(model.values().begin(), model.values().end(), 0.0);
  } else {
    model = CellArray();
    model = CellArray(nx, nz);
  }
}

}  // namespace

void build_objective_terms(const Io& io, const ObjectiveInputs& inputs, bool ref_in_derivatives,
                           const ObjectiveOptions& options, ModelObjective& objective) {
  ScratchLease scratch;
  build_terms_cleared(io, inputs, ref_in_derivatives, options, scratch.get(), objective);
}

namespace {

void build_whole_objective(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                           const AlphaCoefficients& alpha, const WeightSource& weights,
                           const DipSource& dipping, bool ref_in_derivatives,
                           ModelObjective& objective, const ObjectiveOptions& options) {
  objective = ModelObjective{};
  objective.ref_in_derivatives = ref_in_derivatives;
  write_message(io, Order::log_only,
                ref_in_derivatives ? "reference model will be used in the derivative terms.\n"
                                   : "reference model will not be used in the derivative terms.\n");
  if (cells.nx != mesh.nx || cells.nz != mesh.nz)
    internal_check_failed(io, "active cells not built for the mesh");

  ScratchLease lease;
  BuildScratch& scratch = lease.get();
  CellArray& s_weights = scratch.s_weights;
  CellArray& x_weights = scratch.x_weights;
  CellArray& z_weights = scratch.z_weights;
  std::vector<std::int32_t>& zone_idx = scratch.zone_idx;
  try {
    zeroed_model(s_weights, mesh.nx, mesh.nz);
    zeroed_model(x_weights, mesh.nx, mesh.nz);
    zeroed_model(z_weights, mesh.nx, mesh.nz);
    assign_with_huge_pages(zone_idx, s_weights.size(), 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  if (weights.arrays) {
    const CellWeights& given = *weights.arrays;
    for (const CellArray* array : {&given.s_weights, &given.x_weights, &given.z_weights}) {
      if (array->nx() != mesh.nx || array->nz() != mesh.nz)
        internal_check_failed(io, "size(weights) /= (nx, nz)");
    }
    std::copy(given.s_weights.values().begin(), given.s_weights.values().end(), s_weights.data());
    std::copy(given.x_weights.values().begin(), given.x_weights.values().end(), x_weights.data());
    std::copy(given.z_weights.values().begin(), given.z_weights.values().end(), z_weights.data());
  } else {
    set_weights(io, mesh, weights.weight_input, weights.weight_files, s_weights, x_weights,
                z_weights);
  }
  // The weighting files give no x weight for the last column and no z weight for the last row;
  // they repeat their neighbour's. A mesh of one column or one row has no such neighbour.
  if (weights.weight_input != 0 || weights.arrays) {
    if (mesh.nx > 1)
      for (std::int32_t iz = 0; iz < mesh.nz; ++iz)
        x_weights(mesh.nx - 1, iz) = x_weights(mesh.nx - 2, iz);
    if (mesh.nz > 1)
      for (std::int32_t ix = 0; ix < mesh.nx; ++ix)
        z_weights(ix, mesh.nz - 1) = z_weights(ix, mesh.nz - 2);
  }

  std::int32_t nzone = 0;
  DippingZones zones;
  read_dipping(io, mesh, alpha, dipping.dip_input, dipping.dip_file, zone_idx, nzone, zones);

  const ObjectiveInputs inputs{
      {mesh, cells.cell_idx, cells.npar},
      s_weights.values(),
      x_weights.values(),
      z_weights.values(),
      zone_idx,
      {zones.zone_alpha_s, zones.zone_alpha_x, zones.zone_alpha_z, zones.zone_dip}};
  build_terms_cleared(io, inputs, ref_in_derivatives, options, scratch, objective);
}

}  // namespace

void build_model_objective(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                           const AlphaCoefficients& alpha, const WeightSource& weights,
                           const DipSource& dipping, bool ref_in_derivatives,
                           ModelObjective& objective, const ObjectiveOptions& options) {
  try {
    build_whole_objective(io, mesh, cells, alpha, weights, dipping, ref_in_derivatives, objective,
                          options);
  } catch (...) {
    objective = ModelObjective{};
    throw;
  }
}

void build_model_objective(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                           const AlphaCoefficients& alpha, std::int32_t weight_input,
                           const std::array<std::string, 3>& weight_files, std::int32_t dip_input,
                           std::string_view dip_file, bool ref_in_derivatives,
                           ModelObjective& objective, const ObjectiveOptions& options) {
  build_model_objective(io, mesh, cells, alpha, WeightSource{weight_input, weight_files},
                        DipSource{dip_input, std::string(dip_file)}, ref_in_derivatives, objective,
                        options);
}

}  // namespace quelby
