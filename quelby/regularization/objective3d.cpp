#include "quelby/regularization/objective3d.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/regularization/operators.hpp"

namespace quelby {
namespace {

std::size_t cell_count(const Mesh3D& mesh) {
  if (mesh.nx < 1 || mesh.ny < 1 || mesh.nz < 1) return 0;
  return static_cast<std::size_t>(mesh.cell_count());
}

// The map must cover the mesh and number its parameters 1..npar in cell order, and the widths
// every column, row and layer: the builders rely on all three.
void check_cells(const Io& io, const ParameterCells3D& cells) {
  const Mesh3D& mesh = cells.mesh;
  const std::size_t n_cells = cell_count(mesh);
  if (cells.npar < 0) internal_check_failed(io, "npar < 0");
  if (cells.cell_idx.size() != n_cells) internal_check_failed(io, "size(cell_idx) /= nx*ny*nz");
  if (n_cells > 0 && (mesh.dx.size() < static_cast<std::size_t>(mesh.nx) ||
                      mesh.dy.size() < static_cast<std::size_t>(mesh.ny) ||
                      mesh.dz.size() < static_cast<std::size_t>(mesh.nz)))
    internal_check_failed(io, "mesh widths missing");
  std::int32_t next = 1;
  for (const std::int32_t index : cells.cell_idx) {
    if (index <= 0) continue;
    if (index != next) internal_check_failed(io, "cell_idx not numbered 1..npar in cell order");
    ++next;
  }
  if (next - 1 != cells.npar) internal_check_failed(io, "parameters in cell_idx /= npar");
}

void check_weights(const Io& io, std::span<const double> weights, const ParameterCells3D& cells) {
  if (!weights.empty() && weights.size() != cell_count(cells.mesh))
    internal_check_failed(io, "size(weights) /= nx*ny*nz");
}

double weight_of(std::span<const double> weights, std::size_t cell) {
  return weights.empty() ? 1.0 : weights[cell];
}

// Distances between neighbouring centres: distances[i] = (widths[i] + widths[i+1]) / 2.
std::vector<double> centre_distances(const std::vector<double>& widths, std::int32_t count) {
  std::vector<double> distances;
  for (std::int32_t i = 0; i + 1 < count; ++i) {
    const auto k = static_cast<std::size_t>(i);
    distances.push_back((widths[k] + widths[k + 1]) / 2);
  }
  return distances;
}

// b = the weights B = cell weight * alpha per parameter, in parameter order.
void parameter_weights(const ParameterCells3D& cells, std::span<const double> weights, double alpha,
                       std::vector<double>& b) {
  assign_with_huge_pages(b, static_cast<std::size_t>(cells.npar), 0.0);
  for (std::size_t cell = 0; cell < cells.cell_idx.size(); ++cell) {
    const std::int32_t index = cells.cell_idx[cell];
    if (index > 0) b[static_cast<std::size_t>(index - 1)] = weight_of(weights, cell) * alpha;
  }
}

}  // namespace

void build_smallness3d(const Io& io, const ParameterCells3D& cells,
                       std::span<const double> s_weights, double alpha_s,
                       std::vector<double>& WTWs) {
  check_cells(io, cells);
  check_weights(io, s_weights, cells);
  const Mesh3D& mesh = cells.mesh;
  assign_with_huge_pages(WTWs, static_cast<std::size_t>(cells.npar), 0.0);
  if (cell_count(mesh) == 0) return;
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t j = 0; j < mesh.ny; ++j) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        const auto cell = static_cast<std::size_t>(mesh.cell(i, j, k));
        const std::int32_t index = cells.cell_idx[cell];
        if (index <= 0) continue;
        // dz * dx first, as the 2-D smallness: with dy = 1 the values are the 2-D ones.
        WTWs[static_cast<std::size_t>(index - 1)] =
            mesh.dz[static_cast<std::size_t>(k)] * mesh.dx[static_cast<std::size_t>(i)] *
            mesh.dy[static_cast<std::size_t>(j)] * weight_of(s_weights, cell) * alpha_s;
      }
    }
  }
}

void build_difference_operator3d(const Io& io, const ParameterCells3D& cells, const Axis3D axis,
                                 CsrMatrix& W) {
  check_cells(io, cells);
  const Mesh3D& mesh = cells.mesh;
  const auto n = static_cast<std::size_t>(cells.npar);
  // Two entries a row, within the 32-bit positions of a CsrMatrix.
  if (2 * static_cast<std::int64_t>(n) > std::numeric_limits<std::int32_t>::max())
    out_of_memory_stop(io);
  // Cleared, not released: a caller that builds the three operators in turn reuses the memory.
  W.values.clear();
  W.columns.clear();
  W.row_start.clear();
  reserve_with_huge_pages(W.values, 2 * n);
  reserve_with_huge_pages(W.columns, 2 * n);
  reserve_with_huge_pages(W.row_start, n + 1);
  const auto pair = [&](std::int32_t first, std::int32_t second, double v) {
    W.row_start.push_back(static_cast<std::int32_t>(W.values.size()));
    W.columns.push_back(first);
    W.values.push_back(-v);
    W.columns.push_back(second);
    W.values.push_back(v);
  };
  const auto empty_row = [&] {
    W.row_start.push_back(static_cast<std::int32_t>(W.values.size()));
    W.columns.push_back(0);
    W.values.push_back(0.0);
  };
  const std::vector<double> dxc = centre_distances(mesh.dx, mesh.nx);
  const std::vector<double> dyc = centre_distances(mesh.dy, mesh.ny);
  const std::vector<double> dzc = centre_distances(mesh.dz, mesh.nz);
  const std::int32_t count = axis == Axis3D::x ? mesh.nx : axis == Axis3D::y ? mesh.ny : mesh.nz;
  const std::span<const std::int32_t> idx = cells.cell_idx;
  const auto at = [&](std::int32_t i, std::int32_t j, std::int32_t k) {
    return idx[static_cast<std::size_t>(mesh.cell(i, j, k))];
  };
  // v for the pair of positions (a, a + 1) along the axis, at the cell's other two positions.
  const auto scale = [&](std::int32_t a, std::int32_t i, std::int32_t j, std::int32_t k) {
    const auto s = static_cast<std::size_t>(a);
    const double dx = mesh.dx[static_cast<std::size_t>(i)];
    const double dy = mesh.dy[static_cast<std::size_t>(j)];
    const double dz = mesh.dz[static_cast<std::size_t>(k)];
    // Products in the 2-D operators' order, so that dy = 1 gives the 2-D values.
    switch (axis) {
      case Axis3D::x:
        return std::sqrt(dz * dy * dxc[s]) / dxc[s];
      case Axis3D::y:
        return std::sqrt(dx * dz * dyc[s]) / dyc[s];
      case Axis3D::z:
        break;
    }
    return std::sqrt(dx * dy * dzc[s]) / dzc[s];
  };
  if (cell_count(mesh) > 0) {
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t j = 0; j < mesh.ny; ++j) {
        for (std::int32_t i = 0; i < mesh.nx; ++i) {
          const std::int32_t own = at(i, j, k);
          if (own <= 0) continue;
          const std::int32_t a = axis == Axis3D::x ? i : axis == Axis3D::y ? j : k;
          // The cell `step` positions along the axis.
          const auto neighbour = [&](std::int32_t step) {
            return axis == Axis3D::x   ? at(i + step, j, k)
                   : axis == Axis3D::y ? at(i, j + step, k)
                                       : at(i, j, k + step);
          };
          if (axis == Axis3D::z) {
            if (count == 1) {
              empty_row();
            } else if (a + 1 < count) {
              pair(own - 1, neighbour(1) - 1, scale(a, i, j, k));
            } else {
              pair(neighbour(-1) - 1, own - 1, scale(a - 1, i, j, k));
            }
          } else if (a + 1 < count && neighbour(1) != 0) {
            pair(own - 1, neighbour(1) - 1, scale(a, i, j, k));
          } else if (a > 0 && neighbour(-1) != 0) {
            pair(neighbour(-1) - 1, own - 1, scale(a - 1, i, j, k));
          } else {
            empty_row();
          }
        }
      }
    }
  }
  if (W.row_start.size() != n) internal_check_failed(io, "irow /= npar");
  W.row_start.push_back(static_cast<std::int32_t>(W.values.size()));
}

namespace {

void build_objective3d(const Io& io, const ParameterCells3D& cells,
                       const AlphaCoefficients3D& alpha, const CellWeights3D& weights,
                       bool ref_in_derivatives, ModelObjective3D& objective,
                       const ObjectiveOptions& options) {
  write_message(io, Order::log_only,
                ref_in_derivatives ? "reference model will be used in the derivative terms.\n"
                                   : "reference model will not be used in the derivative terms.\n");
  check_cells(io, cells);
  for (const std::vector<double>* array :
       {&weights.s_weights, &weights.x_weights, &weights.y_weights, &weights.z_weights})
    check_weights(io, *array, cells);
  if (cells.npar < 1) internal_check_failed(io, "npar < 1");
  const std::int32_t npar = cells.npar;
  const auto n = static_cast<std::size_t>(npar);

  // The terms are assembled in a 2-D objective's store, which assemble_wtw and
  // check_wtw_diagonal take as they are.
  ModelObjective sum;
  sum.ref_in_derivatives = ref_in_derivatives;
  sum.three_dimensional = true;
  sum.n_terms = 4;
  sum.wtw_terms.resize(4);
  try {
    CsrMatrix& smallness = sum.wtw_terms[0];
    build_smallness3d(io, cells, weights.s_weights, alpha.alpha_s, smallness.values);
    assign_with_huge_pages(smallness.columns, n, 0);
    assign_with_huge_pages(smallness.row_start, n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) smallness.columns[i] = static_cast<std::int32_t>(i);
    for (std::size_t i = 0; i <= n; ++i) smallness.row_start[i] = static_cast<std::int32_t>(i);

    const std::array<Axis3D, 3> axes{Axis3D::x, Axis3D::y, Axis3D::z};
    const std::array<std::span<const double>, 3> cell_weights{weights.x_weights, weights.y_weights,
                                                              weights.z_weights};
    const std::array<double, 3> alphas{alpha.alpha_x, alpha.alpha_y, alpha.alpha_z};
    const std::array<CsrMatrix*, 3> kept{&objective.Wx, &objective.Wy, &objective.Wz};
    const std::array<std::vector<double>*, 3> kept_weights{&objective.Bx, &objective.By,
                                                           &objective.Bz};
    CsrWorkspace work;
    CsrMatrix W;
    CsrMatrix product;
    std::vector<double> b;
    for (std::size_t t = 0; t < axes.size(); ++t) {
      parameter_weights(cells, cell_weights[t], alphas[t], b);
      build_difference_operator3d(io, cells, axes[t], W);
      if (options.keep_factors) *kept[t] = W;
      // The product leaves W transposed; W is built anew for the next axis.
      csr_weighted_gram(W, b, npar, product, work);
      store_term(product, npar, sum.wtw_terms[t + 1]);
      if (options.keep_factors) *kept_weights[t] = std::move(b);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  } catch (const std::length_error&) {
    out_of_memory_stop(io);
  }
  assemble_wtw(io, sum);
  check_wtw_diagonal(io, sum);
  objective.ref_in_derivatives = ref_in_derivatives;
  objective.n_terms = sum.n_terms;
  objective.wtw_terms = std::move(sum.wtw_terms);
  objective.WTW = std::move(sum.WTW);
}

}  // namespace

void build_model_objective3d(const Io& io, const ParameterCells3D& cells,
                             const AlphaCoefficients3D& alpha, const CellWeights3D& weights,
                             bool ref_in_derivatives, ModelObjective3D& objective,
                             const ObjectiveOptions& options) {
  objective = ModelObjective3D{};
  try {
    build_objective3d(io, cells, alpha, weights, ref_in_derivatives, objective, options);
  } catch (...) {
    objective = ModelObjective3D{};
    throw;
  }
}

namespace {

void require(bool condition, const char* what) {
  if (!condition) throw std::invalid_argument(std::string("term_norms3d: ") + what);
}

// The 0 + sum, in stored order, of the entries of row i times u[column], u = m - m_ref or m.
// Columns outside 0..n-1 are skipped.
double row_sum(const CsrMatrix& a, std::size_t i, std::span<const double> m,
               std::span<const double> m_ref, bool difference) {
  double sum = 0.0;
  const std::size_t n = m.size();
  for (std::int32_t k = a.row_start[i]; k < a.row_start[i + 1]; ++k) {
    const auto column = static_cast<std::size_t>(static_cast<std::uint32_t>(a.columns[k]));
    if (column >= n) continue;
    const double u = difference ? m[column] - m_ref[column] : m[column];
    sum += a.values[static_cast<std::size_t>(k)] * u;
  }
  return sum;
}

}  // namespace

void term_norms3d(const ModelObjective3D& objective, std::span<const double> m,
                  std::span<const double> m_ref, std::span<double> phi) {
  const std::size_t n = m.size();
  require(m_ref.size() == n, "m and m_ref differ in length");
  const auto n_terms = static_cast<std::size_t>(objective.n_terms < 0 ? 0 : objective.n_terms);
  require(n_terms <= 4 && objective.wtw_terms.size() >= n_terms, "n_terms does not match");
  for (std::size_t k = 0; k < n_terms; ++k)
    require(objective.wtw_terms[k].row_start.size() == n + 1, "a term does not have npar rows");
  require(phi.size() >= n_terms, "phi has fewer than n_terms elements");
  std::array<double, 4> sums{};
  for (std::size_t i = 0; i < (n_terms == 0 ? 0 : n); ++i) {
    const double d = m[i] - m_ref[i];
    sums[0] += d * row_sum(objective.wtw_terms[0], i, m, m_ref, true);
    for (std::size_t k = 1; k < n_terms; ++k) {
      const CsrMatrix& term = objective.wtw_terms[k];
      if (objective.ref_in_derivatives) {
        sums[k] += d * row_sum(term, i, m, m_ref, true);
      } else {
        sums[k] += m[i] * row_sum(term, i, m, m_ref, false);
      }
    }
  }
  for (std::size_t k = 0; k < phi.size(); ++k) phi[k] = k < n_terms ? sums[k] : 0.0;
}

double model_norm3d(const ModelObjective3D& objective, std::span<const double> m,
                    std::span<const double> m_ref) {
  std::array<double, 4> phi{};
  term_norms3d(objective, m, m_ref, phi);
  return ((phi[0] + phi[1]) + phi[2]) + phi[3];
}

ModelObjective as_model_objective(ModelObjective3D objective) {
  ModelObjective result;
  result.ref_in_derivatives = objective.ref_in_derivatives;
  result.three_dimensional = true;
  result.wtw_terms = std::move(objective.wtw_terms);
  result.n_terms = objective.n_terms;
  result.WTW = std::move(objective.WTW);
  result.Wx = std::move(objective.Wx);
  result.Wy = std::move(objective.Wy);
  result.Wz = std::move(objective.Wz);
  result.Bx = std::move(objective.Bx);
  result.By = std::move(objective.By);
  result.Bz = std::move(objective.Bz);
  return result;
}

}  // namespace quelby
