#include "quelby/forward/forward.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

#include "quelby/base/parallel.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/dense.hpp"
#include "quelby/forward/forward_state.hpp"
#include "quelby/forward/ground_operator.hpp"
#include "quelby/forward/kernels.hpp"

namespace quelby {

using forward_detail::datum_from_poles;
using forward_detail::with_solver_stops;
namespace {

// The reference point of the mixed condition: the electrodes' mean x, on the surface there.
std::pair<double, double> reference_point(const Mesh& mesh, const Ground& ground,
                                          const SurveyElectrodes& placed) {
  double x = 0;
  for (const Electrode& electrode : placed.electrodes) x += electrode.x;
  x = placed.electrodes.empty() ? mesh.x_mid : x / static_cast<double>(placed.electrodes.size());
  const auto above = std::upper_bound(mesh.x_nodes.begin(), mesh.x_nodes.end(), x);
  const std::size_t column = std::min<std::size_t>(
      static_cast<std::size_t>(std::max<std::ptrdiff_t>(above - mesh.x_nodes.begin() - 1, 0)),
      static_cast<std::size_t>(mesh.nx - 1));
  const std::int32_t row = std::min(ground.top[column], mesh.nz);
  return {x, mesh.z_nodes[static_cast<std::size_t>(row)]};
}

// The transform kernels of the data: for each datum its four pole terms, each electrode pair at
// its distance and at the distance to its image above the surface.
std::vector<DatumKernel> data_kernels(const SurveyElectrodes& placed, const Mesh& mesh,
                                      const Ground& ground) {
  auto depth = [&](const Electrode& electrode) {
    const auto above = std::upper_bound(mesh.x_nodes.begin(), mesh.x_nodes.end(), electrode.x);
    const std::size_t column = std::min<std::size_t>(
        static_cast<std::size_t>(std::max<std::ptrdiff_t>(above - mesh.x_nodes.begin() - 1, 0)),
        static_cast<std::size_t>(mesh.nx - 1));
    const double surface =
        mesh.z_nodes[static_cast<std::size_t>(std::min(ground.top[column], mesh.nz))];
    return std::max(electrode.z - surface, 0.0);
  };
  std::vector<DatumKernel> kernels(placed.a.size());
  for (std::size_t i = 0; i < placed.a.size(); ++i) {
    const std::int32_t sources[2] = {placed.a[i], placed.b[i]};
    const std::int32_t receivers[2] = {placed.m[i], placed.n[i]};
    for (int s = 0; s < 2; ++s) {
      for (int r = 0; r < 2; ++r) {
        if (sources[s] < 0 || receivers[r] < 0) continue;
        const Electrode& p = placed.electrodes[static_cast<std::size_t>(sources[s])];
        const Electrode& q = placed.electrodes[static_cast<std::size_t>(receivers[r])];
        const double sign = s == r ? 1.0 : -1.0;
        const double dx = p.x - q.x;
        const double direct = std::hypot(dx, p.z - q.z);
        const double image = std::hypot(dx, depth(p) + depth(q));
        if (direct == 0) continue;
        kernels[i].push_back({sign, direct});
        kernels[i].push_back({sign, image});
      }
    }
    std::sort(
        kernels[i].begin(), kernels[i].end(), [](const TransformTerm& x, const TransformTerm& y) {
          return x.distance != y.distance ? x.distance < y.distance : x.coefficient < y.coefficient;
        });
  }
  return kernels;
}

std::string format_number(double value) {
  return shortest(value);
}

}  // namespace

ForwardModel::ForwardModel(const Io& io, const Mesh& mesh, std::span<const std::int32_t> air_cells,
                           const SurveyData& survey, const ForwardOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.mesh = mesh;
  m.options = options;
  m.ground = make_ground(mesh, air_cells);
  m.placed = place_electrodes(io, mesh, m.ground, survey);
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      if (m.ground.is_ground(i, k)) m.ground_cells.push_back(k * mesh.nx + i);
    }
  }
  // The ground's extent: its width, and its depth from the highest surface node.
  const std::int32_t highest = *std::min_element(m.ground.top.begin(), m.ground.top.end());
  const double extent = std::hypot(
      mesh.x_nodes.back() - mesh.x_nodes.front(),
      mesh.z_nodes.back() - mesh.z_nodes[static_cast<std::size_t>(std::min(highest, mesh.nz - 1))]);
  double nearest = m.placed.smallest_separation;
  if (!(nearest > 0))
    nearest = std::min(*std::min_element(mesh.dx.begin(), mesh.dx.end()),
                       *std::min_element(mesh.dz.begin(), mesh.dz.end()));
  const double r_min = std::min(options.near_fraction * nearest, extent / 10);
  const std::vector<DatumKernel> kernels = data_kernels(m.placed, mesh, m.ground);
  m.rule = design_wavenumber_rule(r_min, extent, kernels, options.wavenumber_count);
  const auto reference = reference_point(mesh, m.ground, m.placed);
  with_solver_stops(io, [&] {
    m.op = std::make_unique<GroundOperator>(mesh, m.ground, reference.first, reference.second,
                                            m.placed.largest_cell);
    m.pattern = std::make_unique<CholeskyPattern>(m.op->size(), m.op->column_starts(), m.op->rows(),
                                                  options.factorisation);
  });
  const std::size_t nk = m.rule.k.size();
  m.slots.resize(nk);
  m.keep = options.keep_factors && m.pattern->factor_bytes() * static_cast<double>(nk) <=
                                       static_cast<double>(options.kept_factor_bytes);
  m.keep_fields = static_cast<double>(m.op->size()) *
                      static_cast<double>(m.placed.electrodes.size()) * static_cast<double>(nk) *
                      sizeof(double) <=
                  static_cast<double>(options.kept_field_bytes);
  for (const double k : m.rule.k) m.boundary.push_back(m.op->boundary_factors(k));
  std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> known;
  auto pair_of = [&](std::int32_t source, std::int32_t receiver) -> std::int32_t {
    if (source < 0 || receiver < 0) return -1;
    const auto key = std::minmax(source, receiver);
    const auto found = known.find(key);
    if (found != known.end()) return found->second;
    const auto number = static_cast<std::int32_t>(m.pairs.size());
    m.pairs.emplace_back(key.first, key.second);
    known.emplace(key, number);
    return number;
  };
  m.datum_pairs.resize(m.placed.a.size());
  for (std::size_t i = 0; i < m.placed.a.size(); ++i) {
    m.datum_pairs[i] = {
        pair_of(m.placed.a[i], m.placed.m[i]), pair_of(m.placed.a[i], m.placed.n[i]),
        pair_of(m.placed.b[i], m.placed.m[i]), pair_of(m.placed.b[i], m.placed.n[i])};
  }
  io.log << " forward model: " << m.placed.electrodes.size() << " electrodes, " << m.placed.a.size()
         << " data, " << m.op->size() << " nodes, " << m.rule.k.size()
         << " wavenumbers (transform error " << format_number(m.rule.pole_error) << " from "
         << format_number(m.rule.r_min) << " m to " << format_number(m.rule.r_max) << " m)\n";
  io.log << lowered_electrodes_note(m.placed);
}

ForwardModel::~ForwardModel() = default;

std::int32_t ForwardModel::ndat() const noexcept {
  return static_cast<std::int32_t>(impl_->placed.a.size());
}
const Ground& ForwardModel::ground() const noexcept {
  return impl_->ground;
}
const SurveyElectrodes& ForwardModel::electrodes() const noexcept {
  return impl_->placed;
}
const WavenumberRule& ForwardModel::wavenumbers() const noexcept {
  return impl_->rule;
}
std::vector<std::int32_t> ForwardModel::datum_classes() const {
  const Impl& m = *impl_;
  // A datum's terms: its pole pairs with their signs (AM +, AN -, BM -, BN +), sorted.
  std::map<std::array<std::int64_t, 4>, std::int32_t> known;
  std::vector<std::int32_t> classes(m.datum_pairs.size());
  for (std::size_t i = 0; i < classes.size(); ++i) {
    std::array<std::int64_t, 4> key{};
    for (std::size_t t = 0; t < 4; ++t) {
      const std::int32_t pair = m.datum_pairs[i][t];
      const std::int64_t sign = t == 0 || t == 3 ? 1 : -1;
      key[t] =
          pair < 0 ? std::numeric_limits<std::int64_t>::min() : 2 * std::int64_t{pair} + (sign > 0);
    }
    std::sort(key.begin(), key.end());
    classes[i] = known.try_emplace(key, static_cast<std::int32_t>(known.size())).first->second;
  }
  return classes;
}

std::vector<std::int32_t> ForwardModel::ground_cells() const {
  return impl_->ground_cells;
}

void ForwardModel::Impl::set_resistivity(const Io& io, std::span<const double> resistivity) {
  const std::size_t ncell = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  if (resistivity.size() != ncell) {
    internal_check_failed(io, "forward model: the resistivity model does not match the mesh");
  }
  std::vector<double> next(ncell, 0.0);
  for (const std::int32_t cell : ground_cells) {
    const double rho = resistivity[static_cast<std::size_t>(cell)];
    if (!(rho > 0) || !std::isfinite(rho)) {
      stop_with(io, Order::console_then_log,
                "\nError: the resistivity of cell (" + std::to_string(cell % mesh.nx + 1) + ", " +
                    std::to_string(cell / mesh.nx + 1) +
                    ") is not a positive number: " + shortest(rho) + "\n");
    }
    next[static_cast<std::size_t>(cell)] = 1 / rho;
  }
  if (sigma_set && next == sigma) return;
  sigma = std::move(next);
  sigma_set = true;
  op->set_conductivity(sigma);
  ++generation;
  for (Slot& slot : slots) slot.current = slot.columns_current = slot.fields_current = false;
}

const CholeskyFactor& ForwardModel::Impl::prepare(std::size_t j, Work& work) {
  Slot& slot = slots[j];
  std::unique_ptr<CholeskyFactor>& factor = keep ? slot.factor : work.factor;
  std::vector<ForwardColumn>& electrode_columns = keep ? slot.columns : work.columns;
  if (!keep && factor && work.wavenumber == j && work.generation == generation) return *factor;
  work.generation = 0;  // until the factor and columns below are made
  if (!keep || !slot.current) {
    work.values.resize(op->entry_count());
    op->values(rule.k[j], boundary[j], work.values);
    if (factor) {
      factor->refactor(work.values);
    } else {
      factor = std::make_unique<CholeskyFactor>(*pattern, work.values);
    }
    slot.current = keep;
    slot.columns_current = false;
  }
  if (!keep || !slot.columns_current) {
    electrode_columns.resize(placed.electrodes.size());
    for (std::size_t e = 0; e < placed.electrodes.size(); ++e) {
      const Electrode& electrode = placed.electrodes[e];
      const auto count = static_cast<std::size_t>(electrode.count);
      factor->forward(std::span(electrode.node, count), std::span(electrode.weight, count),
                      electrode_columns[e]);
    }
    slot.columns_current = keep;
  }
  work.wavenumber = j;
  work.generation = generation;
  return *factor;
}

const double* ForwardModel::Impl::fields(std::size_t j, Work& work, Scratch& target, bool keep) {
  Slot& slot = slots[j];
  if (keep_fields && slot.fields_current) return slot.fields.data();
  const CholeskyFactor& factor = prepare(j, work);
  keep = keep && keep_fields;
  Scratch& out = keep ? slot.fields : target;
  const std::size_t size = static_cast<std::size_t>(op->size()) * placed.electrodes.size();
  out.resize(size);
  factor.backward(columns(j, work), std::span(out.data(), size));
  slot.fields_current = keep;
  return out.data();
}

void ForwardModel::Impl::pair_products(std::size_t j, Work& work, std::span<double> out) {
  const CholeskyFactor& factor = prepare(j, work);
  const std::vector<ForwardColumn>& electrode_columns = columns(j, work);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    out[p] = factor.dot(electrode_columns[static_cast<std::size_t>(pairs[p].first)],
                        electrode_columns[static_cast<std::size_t>(pairs[p].second)]);
  }
}

void ForwardModel::Impl::make_rows() {
  if (!row_start.empty()) return;
  const std::span<const std::int32_t> at = pattern->factor_row();
  const auto starts = op->column_starts();
  const auto rows = op->rows();
  const std::size_t n = static_cast<std::size_t>(op->size());
  std::vector<std::int32_t> count(n + 1, 0);
  for (std::size_t column = 0; column < n; ++column) {
    for (std::int32_t p = starts[column]; p < starts[column + 1]; ++p) {
      const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(p)]);
      ++count[static_cast<std::size_t>(at[row])];
      if (row != column) ++count[static_cast<std::size_t>(at[column])];
    }
  }
  row_start.assign(n + 1, 0);
  for (std::size_t r = 0; r < n; ++r) row_start[r + 1] = row_start[r] + count[r];
  row_column.resize(static_cast<std::size_t>(row_start[n]));
  row_entry.resize(row_column.size());
  std::vector<std::int32_t> next(row_start.begin(), row_start.end() - 1);
  auto place = [&](std::size_t row, std::int32_t column, std::int32_t entry) {
    const auto slot = static_cast<std::size_t>(next[row]++);
    row_column[slot] = column;
    row_entry[slot] = entry;
  };
  for (std::size_t column = 0; column < n; ++column) {
    for (std::int32_t p = starts[column]; p < starts[column + 1]; ++p) {
      const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(p)]);
      place(static_cast<std::size_t>(at[row]), at[column], p);
      if (row != column) place(static_cast<std::size_t>(at[column]), at[row], p);
    }
  }
  // Each row's columns ascending (a row holds at most nine: insertion sort in place).
  for (std::size_t r = 0; r < n; ++r) {
    const auto first = static_cast<std::size_t>(row_start[r]);
    const auto last = static_cast<std::size_t>(row_start[r + 1]);
    for (std::size_t q = first + 1; q < last; ++q) {
      for (std::size_t t = q; t > first && row_column[t - 1] > row_column[t]; --t) {
        std::swap(row_column[t - 1], row_column[t]);
        std::swap(row_entry[t - 1], row_entry[t]);
      }
    }
  }
}

void ForwardModel::Impl::weighted_pair_products(std::span<const double> cell_weight,
                                                std::span<double> weighted,
                                                std::span<double> products, bool keep) {
  const std::size_t ne = placed.electrodes.size();
  const std::size_t nodes = static_cast<std::size_t>(op->size());
  const std::size_t np = pairs.size();
  make_rows();
  for_wavenumbers(0, rule.k.size(), [&](std::size_t j, Work& work) {
    if (!products.empty()) pair_products(j, work, products.subspan(j * np, np));
    const double* field = fields(j, work, work.fields, keep);
    // The operator of the weighted conductivities applied to every electrode's field, node by
    // node in the factor's order.
    work.values.assign(op->entry_count(), 0.0);
    op->add_weighted(rule.k[j], boundary[j], cell_weight, work.values);
    Scratch& applied = work.applied;
    applied.resize(nodes * ne);
    for (std::size_t r = 0; r < nodes; ++r) {
      double* target = applied.data() + r * ne;
      std::fill(target, target + ne, 0.0);
      for (std::int32_t q = row_start[r]; q < row_start[r + 1]; ++q) {
        const double a =
            work.values[static_cast<std::size_t>(row_entry[static_cast<std::size_t>(q)])];
        if (a == 0) continue;
        add_scaled(target, a,
                   field + static_cast<std::size_t>(row_column[static_cast<std::size_t>(q)]) * ne,
                   ne);
      }
    }
    // F^T (A_weight F) for every electrode pair at once.
    std::vector<double> gram(ne * ne);
    dense::gemm(false, true, ne, ne, nodes, 1.0, field, ne, applied.data(), ne, 0.0, gram.data(),
                ne);
    for (std::size_t p = 0; p < np; ++p) {
      weighted[j * np + p] = gram[static_cast<std::size_t>(pairs[p].first) +
                                  static_cast<std::size_t>(pairs[p].second) * ne];
    }
  });
}

// sum_j w_j value_j / pi per pole pair, in ascending j, from values stored wavenumber by
// wavenumber.
std::vector<double> ForwardModel::Impl::combine(std::span<const double> per_wavenumber) const {
  std::vector<double> pole(pairs.size(), 0.0);
  for (std::size_t j = 0; j < rule.k.size(); ++j) {
    for (std::size_t p = 0; p < pairs.size(); ++p)
      pole[p] += rule.weight[j] * per_wavenumber[j * pairs.size() + p];
  }
  for (double& value : pole) value /= std::numbers::pi;
  return pole;
}

std::vector<std::int32_t> ForwardModel::Impl::positions(const Io& io,
                                                        std::span<const std::int32_t> cells) const {
  std::vector<std::int32_t> result(cells.size());
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const std::int32_t cell = cells[c];
    const std::int32_t at = cell >= 0 && cell < mesh.nx * mesh.nz ? op->cell_position(cell) : -1;
    if (at < 0) {
      stop_with(io, Order::console_then_log,
                "\nError: sensitivity asked of cell " + std::to_string(cell) +
                    ", which is not a ground cell of the mesh\n");
    }
    result[c] = at;
  }
  return result;
}

std::vector<double> ForwardModel::data(const Io& io, std::span<const double> resistivity) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t np = m.pairs.size();
  std::vector<double> products(nk * np);
  with_solver_stops(io, [&] {
    m.for_wavenumbers(0, nk, [&](std::size_t j, Impl::Work& work) {
      m.pair_products(j, work, std::span(products).subspan(j * np, np));
    });
  });
  const std::vector<double> pole = m.combine(products);
  std::vector<double> result(m.datum_pairs.size());
  for (std::size_t i = 0; i < result.size(); ++i)
    result[i] = datum_from_poles(m.datum_pairs[i], pole);
  return result;
}

void ForwardModel::jacobian_times(const Io& io, std::span<const double> resistivity,
                                  std::span<const std::int32_t> cells, std::span<const double> v,
                                  std::span<double> out) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t ndat = m.datum_pairs.size();
  if (v.size() != cells.size() || out.size() < ndat)
    internal_check_failed(io, "jacobian_times: v or out has the wrong size");
  m.positions(io, cells);
  // v as a weight per mesh cell (a cell given twice takes both values).
  std::vector<double> cell_weight(
      static_cast<std::size_t>(m.mesh.nx) * static_cast<std::size_t>(m.mesh.nz), 0.0);
  for (std::size_t c = 0; c < cells.size(); ++c)
    cell_weight[static_cast<std::size_t>(cells[c])] += v[c];
  std::vector<double> weighted(m.rule.k.size() * m.pairs.size());
  with_solver_stops(io, [&] { m.weighted_pair_products(cell_weight, weighted, {}, true); });
  const std::vector<double> pole = m.combine(weighted);
  for (std::size_t i = 0; i < ndat; ++i) out[i] = datum_from_poles(m.datum_pairs[i], pole);
}

std::vector<double> ForwardModel::apparent_chargeability(const Io& io,
                                                         std::span<const double> resistivity,
                                                         std::span<const double> chargeability,
                                                         std::span<double> data) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t np = m.pairs.size();
  std::vector<double> products(nk * np), charged(nk * np);
  // Kept fields are read when they are current (after the sensitivities of the same model), but
  // none are kept from here: each wavenumber's fields serve once, and solving them again costs
  // less than the fresh memory of keeping them.
  with_solver_stops(io, [&] { m.weighted_pair_products(chargeability, charged, products, false); });
  const std::vector<double> pole = m.combine(products);
  const std::vector<double> pole_charged = m.combine(charged);
  std::vector<double> result(m.datum_pairs.size());
  for (std::size_t i = 0; i < result.size(); ++i) {
    const double d = datum_from_poles(m.datum_pairs[i], pole);
    result[i] = datum_from_poles(m.datum_pairs[i], pole_charged) / d;
    if (i < data.size()) data[i] = d;
  }
  return result;
}

std::vector<std::int32_t> parameter_cells(const ActiveCells& cells) {
  std::vector<std::int32_t> result(static_cast<std::size_t>(cells.npar));
  for (std::size_t cell = 0; cell < cells.cell_idx.size(); ++cell) {
    const std::int32_t parameter = cells.parameter(cell);
    if (parameter >= 0)
      result[static_cast<std::size_t>(parameter)] = static_cast<std::int32_t>(cell);
  }
  return result;
}

std::vector<double> geometric_factors(const Io& io, const Mesh& mesh,
                                      std::span<const std::int32_t> air_cells,
                                      const SurveyData& survey, const ForwardOptions& options) {
  ForwardModel model(io, mesh, air_cells, survey, options);
  const std::vector<double> uniform(
      static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz), 1.0);
  std::vector<double> factors = model.data(io, uniform);
  for (double& value : factors) value = 1 / value;
  return factors;
}

}  // namespace quelby
