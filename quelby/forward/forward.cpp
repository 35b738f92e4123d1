#include "quelby/forward/forward.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <map>
#include <new>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

#include "quelby/base/parallel.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/ground_operator.hpp"
#include "quelby/forward/kernels.hpp"

namespace quelby {
namespace {

// Runs body(j) for j in [0, count) on the worker pool; the first exception of any part is
// rethrown on the calling thread once every part has returned.
template <typename Body>
void for_each_parallel(std::size_t count, Body&& body) {
  parallel_for_rethrowing(static_cast<std::int64_t>(count), 2,
                          [&](std::int64_t begin, std::int64_t end) {
                            for (std::int64_t j = begin; j < end; ++j)
                              body(static_cast<std::size_t>(j));
                          });
}

// Turns a failure of the solver into the library's stops.
template <typename Work>
void with_solver_stops(const Io& io, Work&& work) {
  try {
    work();
  } catch (const Stop&) {
    throw;
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  } catch (const std::exception& failure) {
    stop_with(io, Order::console_then_log, std::string("\nError: ") + failure.what() + "\n");
  }
}

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

// Fields of one chunk of wavenumbers held at once by the sensitivity, and columns per block.
constexpr std::size_t field_budget_bytes = std::size_t{512} << 20;
constexpr std::size_t sensitivity_block = 128;

}  // namespace

struct ForwardModel::Impl {
  Mesh mesh;
  Ground ground;
  SurveyElectrodes placed;
  WavenumberRule rule;
  std::unique_ptr<GroundOperator> op;
  std::unique_ptr<CholeskyPattern> pattern;
  ForwardOptions options;
  std::vector<std::int32_t> ground_cells;
  // Distinct pole pairs (electrode numbers, first <= second), and per datum the pairs AM, AN, BM,
  // BN (-1 where an electrode is missing).
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
  std::vector<std::array<std::int32_t, 4>> datum_pairs;
  // The conductivity the factors belong to, per mesh cell.
  std::vector<double> sigma;
  bool sigma_set = false;
  // Per wavenumber: its factor, kept and refactorised in place for a new conductivity, and the
  // electrodes' forward solves with it.
  struct Slot {
    std::unique_ptr<CholeskyFactor> factor;
    bool current = false;  // the factor belongs to `sigma`
    std::vector<double> values;
    std::vector<ForwardColumn> columns;
    bool columns_current = false;
  };
  std::vector<Slot> slots;
  bool keep = true;                           // the factors are kept between calls
  std::vector<std::vector<double>> boundary;  // per wavenumber, the mixed condition's factors
  // The fields of one chunk of wavenumbers, electrode by electrode, kept between sensitivities.
  std::vector<std::vector<double>> field_storage;

  void set_resistivity(const Io& io, std::span<const double> resistivity);
  // Slot j made current: factorised for `sigma` (in place when it holds a factor) and with every
  // electrode's forward solve. One thread at a time per slot.
  Slot& prepare(std::size_t j);
  // Frees slot j's memory unless factors are kept.
  void release(std::size_t j);
  std::vector<double> combine(const std::vector<double>& per_wavenumber) const;
};

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
    m.pattern =
        std::make_unique<CholeskyPattern>(m.op->size(), m.op->column_starts(), m.op->rows());
  });
  m.slots.resize(m.rule.k.size());
  m.keep =
      options.keep_factors && m.pattern->factor_bytes() * static_cast<double>(m.rule.k.size()) <=
                                  static_cast<double>(options.kept_factor_bytes);
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
  for (Slot& slot : slots) slot.current = slot.columns_current = false;
}

ForwardModel::Impl::Slot& ForwardModel::Impl::prepare(std::size_t j) {
  Slot& slot = slots[j];
  if (!slot.current) {
    slot.values.resize(op->entry_count());
    op->values(rule.k[j], boundary[j], slot.values);
    if (slot.factor) {
      slot.factor->refactor(slot.values);
    } else {
      slot.factor = std::make_unique<CholeskyFactor>(*pattern, slot.values);
    }
    slot.current = true;
    slot.columns_current = false;
  }
  if (!slot.columns_current) {
    slot.columns.resize(placed.electrodes.size());
    for (std::size_t e = 0; e < placed.electrodes.size(); ++e) {
      const Electrode& electrode = placed.electrodes[e];
      const auto count = static_cast<std::size_t>(electrode.count);
      slot.factor->forward(std::span(electrode.node, count), std::span(electrode.weight, count),
                           slot.columns[e]);
    }
    slot.columns_current = true;
  }
  return slot;
}

void ForwardModel::Impl::release(std::size_t j) {
  if (keep) return;
  slots[j] = Slot{};
}

// sum_j w_j value_j / pi per pole pair, in ascending j, from values stored wavenumber by
// wavenumber.
std::vector<double> ForwardModel::Impl::combine(const std::vector<double>& per_wavenumber) const {
  std::vector<double> pole(pairs.size(), 0.0);
  for (std::size_t j = 0; j < rule.k.size(); ++j) {
    for (std::size_t p = 0; p < pairs.size(); ++p)
      pole[p] += rule.weight[j] * per_wavenumber[j * pairs.size() + p];
  }
  for (double& value : pole) value /= std::numbers::pi;
  return pole;
}

namespace {

double datum_from_poles(const std::array<std::int32_t, 4>& four, const std::vector<double>& pole) {
  auto at = [&](int t) {
    return four[static_cast<std::size_t>(t)] < 0
               ? 0.0
               : pole[static_cast<std::size_t>(four[static_cast<std::size_t>(t)])];
  };
  return ((at(0) - at(1)) - at(2)) + at(3);
}

}  // namespace

std::vector<double> ForwardModel::data(const Io& io, std::span<const double> resistivity) {
  Impl& m = *impl_;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  std::vector<double> products(nk * m.pairs.size());
  with_solver_stops(io, [&] {
    for_each_parallel(nk, [&](std::size_t j) {
      const Impl::Slot& slot = m.prepare(j);
      for (std::size_t p = 0; p < m.pairs.size(); ++p) {
        products[j * m.pairs.size() + p] =
            slot.factor->dot(slot.columns[static_cast<std::size_t>(m.pairs[p].first)],
                             slot.columns[static_cast<std::size_t>(m.pairs[p].second)]);
      }
      m.release(j);
    });
  });
  const std::vector<double> pole = m.combine(products);
  std::vector<double> result(m.datum_pairs.size());
  for (std::size_t i = 0; i < result.size(); ++i)
    result[i] = datum_from_poles(m.datum_pairs[i], pole);
  return result;
}

void ForwardModel::sensitivity(const Io& io, std::span<const double> resistivity,
                               std::span<const std::int32_t> cells, std::span<double> jacobian,
                               std::span<double> data) {
  Impl& m = *impl_;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t nodes = static_cast<std::size_t>(m.op->size());
  const std::size_t ne = m.placed.electrodes.size();
  const std::size_t ndat = m.datum_pairs.size();
  const std::size_t columns = cells.size();
  if (jacobian.size() < ndat * columns) internal_check_failed(io, "sensitivity: J is too small");
  std::vector<std::int32_t> position(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    const std::int32_t cell = cells[c];
    const std::int32_t at =
        cell >= 0 && cell < m.mesh.nx * m.mesh.nz ? m.op->cell_position(cell) : -1;
    if (at < 0) {
      stop_with(io, Order::console_then_log,
                "\nError: sensitivity asked of cell " + std::to_string(cell) +
                    ", which is not a ground cell of the mesh\n");
    }
    position[c] = at;
  }
  // The distinct current dipoles and potential dipoles of the data.
  std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> source_of, receiver_of;
  std::vector<std::pair<std::int32_t, std::int32_t>> sources, receivers;
  std::vector<std::int32_t> datum_source(ndat), datum_receiver(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    const auto source = std::make_pair(m.placed.a[i], m.placed.b[i]);
    const auto receiver = std::make_pair(m.placed.m[i], m.placed.n[i]);
    datum_source[i] =
        source_of.try_emplace(source, static_cast<std::int32_t>(sources.size())).first->second;
    if (datum_source[i] == static_cast<std::int32_t>(sources.size())) sources.push_back(source);
    datum_receiver[i] =
        receiver_of.try_emplace(receiver, static_cast<std::int32_t>(receivers.size()))
            .first->second;
    if (datum_receiver[i] == static_cast<std::int32_t>(receivers.size()))
      receivers.push_back(receiver);
  }
  std::fill(jacobian.begin(), jacobian.begin() + static_cast<std::ptrdiff_t>(ndat * columns), 0.0);
  std::vector<double> products(nk * m.pairs.size());
  // Wavenumbers in chunks whose fields fit the budget; every chunk adds its share to J in order.
  const std::size_t field_bytes = nodes * ne * sizeof(double);
  const std::size_t chunk =
      std::max<std::size_t>(1, field_budget_bytes / std::max<std::size_t>(field_bytes, 1));
  for (std::size_t first = 0; first < nk; first += chunk) {
    const std::size_t last = std::min(nk, first + chunk);
    const std::size_t kc = last - first;
    std::vector<std::vector<double>>& fields = m.field_storage;
    if (fields.size() < kc) fields.resize(kc);
    with_solver_stops(io, [&] {
      for_each_parallel(kc, [&](std::size_t jj) {
        const std::size_t j = first + jj;
        const Impl::Slot& slot = m.prepare(j);
        for (std::size_t p = 0; p < m.pairs.size(); ++p) {
          products[j * m.pairs.size() + p] =
              slot.factor->dot(slot.columns[static_cast<std::size_t>(m.pairs[p].first)],
                               slot.columns[static_cast<std::size_t>(m.pairs[p].second)]);
        }
        fields[jj].resize(nodes * ne);
        slot.factor->backward(slot.columns, fields[jj], true);
        m.release(j);
      });
    });
    // Per block of columns: each electrode's features R u (R^T R = |w_j| / pi E_c), the dipoles'
    // differences of them, then each datum's sum over wavenumbers and features.
    const std::size_t blocks = (columns + sensitivity_block - 1) / sensitivity_block;
    for_each_parallel(blocks, [&](std::size_t block) {
      const std::size_t begin = block * sensitivity_block;
      const std::size_t size = std::min(columns, begin + sensitivity_block) - begin;
      const std::size_t stride = kc * 4 * sensitivity_block;  // per electrode or dipole
      std::vector<double> electrode(ne * stride, 0.0), source(sources.size() * stride),
          receiver(receivers.size() * stride), sum(sensitivity_block);
      // The cells' nodes, then per wavenumber their factors R (ten rows) and every electrode's
      // features.
      std::vector<int> corner(4 * sensitivity_block, 0);
      std::vector<double> factors(10 * sensitivity_block, 0.0);
      for (std::size_t cb = 0; cb < size; ++cb) {
        const GroundOperator::Cell& cell =
            m.op->cells()[static_cast<std::size_t>(position[begin + cb])];
        for (std::size_t a = 0; a < 4; ++a) corner[a * sensitivity_block + cb] = cell.node[a];
      }
      double r[10];
      for (std::size_t jj = 0; jj < kc; ++jj) {
        const std::size_t j = first + jj;
        for (std::size_t cb = 0; cb < size; ++cb) {
          m.op->cell_factor(static_cast<std::size_t>(position[begin + cb]), m.rule.k[j],
                            m.boundary[j], std::abs(m.rule.weight[j]) / std::numbers::pi, r);
          for (std::size_t t = 0; t < 10; ++t) factors[t * sensitivity_block + cb] = r[t];
        }
        for (std::size_t e = 0; e < ne; ++e) {
          cell_features(fields[jj].data() + e * nodes, corner.data(),
                        corner.data() + sensitivity_block, corner.data() + 2 * sensitivity_block,
                        corner.data() + 3 * sensitivity_block, factors.data(), sensitivity_block,
                        electrode.data() + e * stride + jj * 4 * sensitivity_block, size);
        }
      }
      auto dipoles = [&](const std::vector<std::pair<std::int32_t, std::int32_t>>& list,
                         std::vector<double>& out) {
        for (std::size_t d = 0; d < list.size(); ++d) {
          const double* first_electrode =
              electrode.data() + static_cast<std::size_t>(list[d].first) * stride;
          double* target = out.data() + d * stride;
          if (list[d].second < 0) {
            std::copy(first_electrode, first_electrode + stride, target);
          } else {
            const double* second_electrode =
                electrode.data() + static_cast<std::size_t>(list[d].second) * stride;
            for (std::size_t t = 0; t < stride; ++t)
              target[t] = first_electrode[t] - second_electrode[t];
          }
        }
      };
      dipoles(sources, source);
      dipoles(receivers, receiver);
      for (std::size_t i = 0; i < ndat; ++i) {
        const double* x = source.data() + static_cast<std::size_t>(datum_source[i]) * stride;
        const double* y = receiver.data() + static_cast<std::size_t>(datum_receiver[i]) * stride;
        std::fill(sum.begin(), sum.end(), 0.0);
        for (std::size_t jj = 0; jj < kc; ++jj) {
          const bool negative = m.rule.weight[first + jj] < 0;
          for (std::size_t f = 0; f < 4; ++f) {
            const double* xs = x + (jj * 4 + f) * sensitivity_block;
            const double* ys = y + (jj * 4 + f) * sensitivity_block;
            if (negative) {
              subtract_products(sum.data(), xs, ys, sensitivity_block);
            } else {
              add_products(sum.data(), xs, ys, sensitivity_block);
            }
          }
        }
        double* row = jacobian.data() + i * columns + begin;
        for (std::size_t cb = 0; cb < size; ++cb) row[cb] += sum[cb];
      }
    });
  }
  const std::vector<double> pole = m.combine(products);
  for (std::size_t i = 0; i < ndat && i < data.size(); ++i)
    data[i] = datum_from_poles(m.datum_pairs[i], pole);
}

std::vector<double> ForwardModel::apparent_chargeability(const Io& io,
                                                         std::span<const double> resistivity,
                                                         std::span<const double> chargeability,
                                                         std::span<double> data) {
  Impl& m = *impl_;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t nodes = static_cast<std::size_t>(m.op->size());
  const std::size_t ne = m.placed.electrodes.size();
  const std::size_t np = m.pairs.size();
  std::vector<double> products(nk * np), charged(nk * np);
  with_solver_stops(io, [&] {
    for_each_parallel(nk, [&](std::size_t j) {
      const Impl::Slot& slot = m.prepare(j);
      std::vector<double> fields(nodes * ne);
      slot.factor->backward(slot.columns, fields);
      for (std::size_t p = 0; p < np; ++p) {
        products[j * np + p] =
            slot.factor->dot(slot.columns[static_cast<std::size_t>(m.pairs[p].first)],
                             slot.columns[static_cast<std::size_t>(m.pairs[p].second)]);
      }
      m.release(j);
      // The operator of the conductivities eta * sigma, applied to every electrode's field.
      std::vector<double> weighted(m.op->entry_count(), 0.0);
      m.op->add_weighted(m.rule.k[j], m.boundary[j], chargeability, weighted);
      // Node-major like the fields: every electrode's entry of one node side by side.
      std::vector<double> applied(nodes * ne, 0.0);
      const auto starts = m.op->column_starts();
      const auto rows = m.op->rows();
      for (std::size_t col = 0; col < nodes; ++col) {
        const double* x_col = fields.data() + col * ne;
        double* y_col = applied.data() + col * ne;
        for (std::int32_t p = starts[col]; p < starts[col + 1]; ++p) {
          const std::size_t row = static_cast<std::size_t>(rows[static_cast<std::size_t>(p)]);
          const double a = weighted[static_cast<std::size_t>(p)];
          add_scaled(applied.data() + row * ne, a, x_col, ne);
          if (row != col) add_scaled(y_col, a, fields.data() + row * ne, ne);
        }
      }
      // F^T (A_eta F) for every electrode pair at once, node by node.
      std::vector<double> gram(ne * ne, 0.0);
      for (std::size_t node = 0; node < nodes; ++node) {
        add_outer(gram.data(), fields.data() + node * ne, applied.data() + node * ne, ne);
      }
      for (std::size_t p = 0; p < np; ++p) {
        charged[j * np + p] = gram[static_cast<std::size_t>(m.pairs[p].first) * ne +
                                   static_cast<std::size_t>(m.pairs[p].second)];
      }
    });
  });
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
