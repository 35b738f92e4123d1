// The sensitivities of the data to the cells' resistivities as a matrix, and J^T w without it:
// both from every electrode's features R u at each cell (R^T R the cell's share of the operator),
// the matrix per cell as a symmetric rank-k product of them.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "quelby/forward/dense.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/forward_state.hpp"
#include "quelby/forward/kernels.hpp"

namespace quelby {

using forward_detail::datum_from_poles;
using forward_detail::sensitivity_block;
using forward_detail::with_solver_stops;

void ForwardModel::sensitivity(const Io& io, std::span<const double> resistivity,
                               std::span<const std::int32_t> cells, std::span<double> jacobian,
                               std::span<double> data) {
  sensitivity(io, resistivity, cells, {}, jacobian, data);
}

void ForwardModel::sensitivity(const Io& io, std::span<const double> resistivity,
                               std::span<const std::int32_t> cells,
                               std::span<const std::int32_t> column_starts,
                               std::span<double> jacobian, std::span<double> data) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t nodes = static_cast<std::size_t>(m.op->size());
  const std::size_t ne = m.placed.electrodes.size();
  const std::size_t np = m.pairs.size();
  const std::size_t ndat = m.datum_pairs.size();
  const bool grouped = !column_starts.empty();
  const std::size_t columns = grouped ? column_starts.size() - 1 : cells.size();
  if (jacobian.size() < ndat * columns) internal_check_failed(io, "sensitivity: J is too small");
  if (grouped && (column_starts.front() != 0 ||
                  static_cast<std::size_t>(column_starts.back()) != cells.size() ||
                  !std::is_sorted(column_starts.begin(), column_starts.end()))) {
    internal_check_failed(io, "sensitivity: column starts do not part the cells");
  }
  const std::vector<std::int32_t> position = m.positions(io, cells);
  std::vector<double> products(nk * np);
  // Wavenumbers in chunks whose fields are all at hand: every wavenumber when the fields are
  // kept, else as many as the budget of kept fields holds (at least one); every chunk after the
  // first adds its share to J.
  const std::size_t field_bytes = nodes * ne * sizeof(double);
  const std::size_t chunk =
      m.keep_fields ? nk
                    : std::max<std::size_t>(
                          1, m.options.kept_field_bytes / std::max<std::size_t>(field_bytes, 1));
  std::vector<const double*> field(nk);
  const std::span<const std::int32_t> at = m.pattern->factor_row();
  for (std::size_t first = 0; first < nk; first += chunk) {
    const std::size_t last = std::min(nk, first + chunk);
    const std::size_t kc = last - first;
    if (!m.keep_fields && m.chunk_fields.size() < kc) m.chunk_fields.resize(kc);
    with_solver_stops(io, [&] {
      m.for_wavenumbers(first, last, [&](std::size_t j, Impl::Work& work) {
        m.pair_products(j, work, std::span(products).subspan(j * np, np));
        field[j] = m.fields(j, work, m.keep_fields ? work.fields : m.chunk_fields[j - first]);
      });
    });
    // The chunk's wavenumbers with positive weights first, then those with negative ones.
    std::vector<std::size_t> order;
    for (std::size_t j = first; j < last; ++j)
      if (m.rule.weight[j] >= 0) order.push_back(j);
    const std::size_t positive = order.size();
    for (std::size_t j = first; j < last; ++j)
      if (m.rule.weight[j] < 0) order.push_back(j);
    const bool add = first > 0;
    // Per cell: every electrode's features R u at every wavenumber of the chunk (R^T R =
    // |w_j| / pi E_c) as the columns of X (electrodes x 4 per wavenumber); the pole pairs'
    // sensitivities are X S X^T (S the signs of the weights, a symmetric rank-k product), and
    // each datum combines its four as the data do.
    const std::size_t blocks = (columns + sensitivity_block - 1) / sensitivity_block;
    parallel_for_rethrowing(
        static_cast<std::int64_t>(blocks), 2,
        [&](std::int64_t block_begin, std::int64_t block_end) {
          std::vector<double> features(ne * 4 * kc), gram(ne * ne), pole(np * sensitivity_block),
              zeros(sensitivity_block, 0.0);
          double r[10];
          for (std::int64_t block = block_begin; block < block_end; ++block) {
            const std::size_t begin = static_cast<std::size_t>(block) * sensitivity_block;
            const std::size_t size = std::min(columns, begin + sensitivity_block) - begin;
            for (std::size_t cb = 0; cb < size; ++cb) {
              // A column's cells add their products into one Gram matrix.
              const std::size_t column = begin + cb;
              const std::size_t member_begin =
                  grouped ? static_cast<std::size_t>(column_starts[column]) : column;
              const std::size_t member_end =
                  grouped ? static_cast<std::size_t>(column_starts[column + 1]) : column + 1;
              if (member_begin == member_end) std::fill(gram.begin(), gram.end(), 0.0);
              for (std::size_t member = member_begin; member < member_end; ++member) {
                const auto cell = static_cast<std::size_t>(position[member]);
                const GroundOperator::Cell& geometry = m.op->cells()[cell];
                std::size_t offset[4];
                for (std::size_t a = 0; a < 4; ++a)
                  offset[a] =
                      static_cast<std::size_t>(at[static_cast<std::size_t>(geometry.node[a])]) * ne;
                for (std::size_t q = 0; q < kc; ++q) {
                  const std::size_t j = order[q];
                  m.op->cell_factor(cell, m.rule.k[j], m.boundary[j],
                                    std::abs(m.rule.weight[j]) / std::numbers::pi, r);
                  double* x = features.data() + 4 * q * ne;
                  electrode_features(field[j] + offset[0], field[j] + offset[1],
                                     field[j] + offset[2], field[j] + offset[3], r, x, x + ne,
                                     x + 2 * ne, x + 3 * ne, ne);
                }
                const double keep = member == member_begin ? 0.0 : 1.0;
                if (positive > 0)
                  dense::syrk(ne, 4 * positive, 1.0, features.data(), ne, keep, gram.data(), ne);
                if (positive < kc) {
                  dense::syrk(ne, 4 * (kc - positive), -1.0, features.data() + 4 * positive * ne,
                              ne, positive > 0 ? 1.0 : keep, gram.data(), ne);
                }
              }
              for (std::size_t p = 0; p < np; ++p) {
                pole[p * sensitivity_block + cb] =
                    gram[static_cast<std::size_t>(m.pairs[p].second) +
                         static_cast<std::size_t>(m.pairs[p].first) * ne];
              }
            }
            // Each datum from its four pole pairs, as the data are made, for the whole block.
            for (std::size_t i = 0; i < ndat; ++i) {
              const double* term[4];
              for (std::size_t t = 0; t < 4; ++t) {
                const std::int32_t p = m.datum_pairs[i][t];
                term[t] = p < 0 ? zeros.data()
                                : pole.data() + static_cast<std::size_t>(p) * sensitivity_block;
              }
              double* row = jacobian.data() + i * columns + begin;
              if (add) {
                for (std::size_t cb = 0; cb < size; ++cb)
                  row[cb] += ((term[0][cb] - term[1][cb]) - term[2][cb]) + term[3][cb];
              } else {
                for (std::size_t cb = 0; cb < size; ++cb)
                  row[cb] = ((term[0][cb] - term[1][cb]) - term[2][cb]) + term[3][cb];
              }
            }
          }
        });
  }
  const std::vector<double> pole = m.combine(products);
  for (std::size_t i = 0; i < ndat && i < data.size(); ++i)
    data[i] = datum_from_poles(m.datum_pairs[i], pole);
}

void ForwardModel::jacobian_transpose_times(const Io& io, std::span<const double> resistivity,
                                            std::span<const std::int32_t> cells,
                                            std::span<const double> w, std::span<double> out) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t ne = m.placed.electrodes.size();
  const std::size_t nodes = static_cast<std::size_t>(m.op->size());
  const std::size_t ndat = m.datum_pairs.size();
  const std::size_t columns = cells.size();
  if (w.size() != ndat || out.size() < columns)
    internal_check_failed(io, "jacobian_transpose_times: w or out has the wrong size");
  const std::vector<std::int32_t> position = m.positions(io, cells);
  // W: the weight of every electrode pair, w_i with the sign of the pair in datum i, halved onto
  // both orders of a pair so that W is symmetric.
  std::vector<double> pair_weight(ne * ne, 0.0);
  const double sign[4] = {1, -1, -1, 1};
  for (std::size_t i = 0; i < ndat; ++i) {
    for (std::size_t t = 0; t < 4; ++t) {
      const std::int32_t p = m.datum_pairs[i][t];
      if (p < 0) continue;
      const auto a = static_cast<std::size_t>(m.pairs[static_cast<std::size_t>(p)].first);
      const auto b = static_cast<std::size_t>(m.pairs[static_cast<std::size_t>(p)].second);
      if (a == b) {
        pair_weight[a * ne + a] += sign[t] * w[i];
      } else {
        pair_weight[a * ne + b] += 0.5 * sign[t] * w[i];
        pair_weight[b * ne + a] += 0.5 * sign[t] * w[i];
      }
    }
  }
  // Per wavenumber and cell, the sum over electrodes and features of (R F)(R G), G = F W (the
  // cell's share of trace(F^T E_c F W)), into partial[j * columns + c]; then the sum over
  // wavenumbers in ascending order.
  Impl::Scratch partial;
  partial.resize(nk * columns);
  const std::span<const std::int32_t> at = m.pattern->factor_row();
  with_solver_stops(io, [&] {
    m.for_wavenumbers(0, nk, [&](std::size_t j, Impl::Work& work) {
      const double* field = m.fields(j, work, work.fields);
      Impl::Scratch& weighted = work.applied;
      weighted.resize(nodes * ne);
      dense::gemm(false, false, ne, nodes, ne, 1.0, pair_weight.data(), ne, field, ne, 0.0,
                  weighted.data(), ne);
      const double scale = std::abs(m.rule.weight[j]) / std::numbers::pi;
      const bool negative = m.rule.weight[j] < 0;
      std::vector<double> features(4 * ne), weighted_features(4 * ne);
      double r[10];
      for (std::size_t c = 0; c < columns; ++c) {
        const auto cell = static_cast<std::size_t>(position[c]);
        const GroundOperator::Cell& geometry = m.op->cells()[cell];
        std::size_t offset[4];
        for (std::size_t a = 0; a < 4; ++a)
          offset[a] = static_cast<std::size_t>(at[static_cast<std::size_t>(geometry.node[a])]) * ne;
        m.op->cell_factor(cell, m.rule.k[j], m.boundary[j], scale, r);
        double* x = features.data();
        electrode_features(field + offset[0], field + offset[1], field + offset[2],
                           field + offset[3], r, x, x + ne, x + 2 * ne, x + 3 * ne, ne);
        double* y = weighted_features.data();
        electrode_features(weighted.data() + offset[0], weighted.data() + offset[1],
                           weighted.data() + offset[2], weighted.data() + offset[3], r, y, y + ne,
                           y + 2 * ne, y + 3 * ne, ne);
        const double sum = lane_dot(x, y, 4 * ne);
        partial.data()[j * columns + c] = negative ? -sum : sum;
      }
    });
  });
  for (std::size_t c = 0; c < columns; ++c) {
    double total = 0;
    for (std::size_t j = 0; j < nk; ++j) total += partial.data()[j * columns + c];
    out[c] = total;
  }
}

}  // namespace quelby
