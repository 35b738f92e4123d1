#include "quelby/forward/forward.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
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
#include "quelby/forward/ground_operator.hpp"
#include "quelby/forward/kernels.hpp"

namespace quelby {
namespace {

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

// Cells per block of the sensitivities' assembly and of J^T w.
constexpr std::size_t sensitivity_block = 64;

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
  // The operator's whole symmetric pattern by rows in the factor's order: row r's columns
  // (factor rows, ascending) are row_column[row_start[r] ..] and their entries in the operator's
  // upper triangle row_entry[row_start[r] ..].
  std::vector<std::int32_t> row_start, row_column, row_entry;
  // The conductivity the factors and fields belong to, per mesh cell.
  std::vector<double> sigma;
  bool sigma_set = false;
  // Per wavenumber, what is kept between calls: its factor (refactorised in place for a new
  // conductivity), the electrodes' forward solves with it, and their fields (node by node in the
  // factor's order, every electrode's value of a node side by side).
  struct Slot {
    std::unique_ptr<CholeskyFactor> factor;
    bool current = false;  // the factor belongs to `sigma`
    std::vector<ForwardColumn> columns;
    bool columns_current = false;
    std::vector<double> fields;
    bool fields_current = false;
  };
  std::vector<Slot> slots;
  bool keep = true;                           // the factors are kept between calls
  bool keep_fields = true;                    // the fields are kept between calls
  std::vector<std::vector<double>> boundary;  // per wavenumber, the mixed condition's factors
  // What one thread works in when nothing is kept: a factor refactorised for each wavenumber, the
  // operator's entries, the forward solves, fields and a second field-sized array. Spares are
  // kept for the next call, so that memory is touched fresh once.
  struct Work {
    std::unique_ptr<CholeskyFactor> factor;
    std::vector<double> values;
    std::vector<ForwardColumn> columns;
    std::vector<double> fields, applied;
  };
  std::mutex spare_mutex;
  std::vector<std::unique_ptr<Work>> spares;
  // The fields of one chunk of wavenumbers when they are not kept (the sensitivity's).
  std::vector<std::vector<double>> chunk_fields;

  void set_resistivity(const Io& io, std::span<const double> resistivity);
  // Runs body(j, work) for the wavenumbers first..last - 1 on the pool, each part with a spare.
  template <typename Body>
  void for_wavenumbers(std::size_t first, std::size_t last, Body&& body);
  // The factor of wavenumber j for `sigma` with every electrode's forward solve: the kept ones,
  // made current, or made in `work`. One thread at a time per wavenumber.
  const CholeskyFactor& prepare(std::size_t j, Work& work);
  const std::vector<ForwardColumn>& columns(std::size_t j, Work& work) const {
    return keep ? slots[j].columns : work.columns;
  }
  // Every electrode's field at wavenumber j (nodes x electrodes, factor order): the kept fields,
  // or solved into `target` (resized) when they are not kept.
  const double* fields(std::size_t j, Work& work, std::vector<double>& target);
  // The pole pairs' values at wavenumber j (u_first^T A(k_j) u_second = b_first^T A^-1 b_second).
  void pair_products(std::size_t j, Work& work, std::span<double> out);
  // Per wavenumber j and pole pair p: u_first^T A_weight(k_j) u_second, A_weight the operator of
  // the conductivities weighted by `cell_weight` (per mesh cell), into weighted[j * pairs + p];
  // and the pole pairs' values into `products` unless it is empty.
  void weighted_pair_products(std::span<const double> cell_weight, std::span<double> weighted,
                              std::span<double> products);
  std::vector<double> combine(std::span<const double> per_wavenumber) const;
  // The positions in the operator's cells of mesh cells given by a caller; a cell that is not in
  // the ground writes its message and throws Stop.
  std::vector<std::int32_t> positions(const Io& io, std::span<const std::int32_t> cells) const;
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
    m.op = std::make_unique<GroundOperator>(mesh, m.ground, reference.first, reference.second);
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
  {
    const std::span<const std::int32_t> at = m.pattern->factor_row();
    const auto starts = m.op->column_starts();
    const auto rows = m.op->rows();
    const std::size_t n = static_cast<std::size_t>(m.op->size());
    std::vector<std::int32_t> count(n + 1, 0);
    for (std::size_t column = 0; column < n; ++column) {
      for (std::int32_t p = starts[column]; p < starts[column + 1]; ++p) {
        const auto row = static_cast<std::size_t>(rows[static_cast<std::size_t>(p)]);
        ++count[static_cast<std::size_t>(at[row])];
        if (row != column) ++count[static_cast<std::size_t>(at[column])];
      }
    }
    m.row_start.assign(n + 1, 0);
    for (std::size_t r = 0; r < n; ++r) m.row_start[r + 1] = m.row_start[r] + count[r];
    m.row_column.resize(static_cast<std::size_t>(m.row_start[n]));
    m.row_entry.resize(m.row_column.size());
    std::vector<std::int32_t> next(m.row_start.begin(), m.row_start.end() - 1);
    auto place = [&](std::size_t row, std::int32_t column, std::int32_t entry) {
      const auto slot = static_cast<std::size_t>(next[row]++);
      m.row_column[slot] = column;
      m.row_entry[slot] = entry;
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
      const auto first = static_cast<std::size_t>(m.row_start[r]);
      const auto last = static_cast<std::size_t>(m.row_start[r + 1]);
      for (std::size_t q = first + 1; q < last; ++q) {
        for (std::size_t t = q; t > first && m.row_column[t - 1] > m.row_column[t]; --t) {
          std::swap(m.row_column[t - 1], m.row_column[t]);
          std::swap(m.row_entry[t - 1], m.row_entry[t]);
        }
      }
    }
  }

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
  for (Slot& slot : slots) slot.current = slot.columns_current = slot.fields_current = false;
}

template <typename Body>
void ForwardModel::Impl::for_wavenumbers(std::size_t first, std::size_t last, Body&& body) {
  parallel_for_rethrowing(static_cast<std::int64_t>(last - first), 2,
                          [&](std::int64_t begin, std::int64_t end) {
                            std::unique_ptr<Work> work;
                            {
                              const std::lock_guard<std::mutex> lock(spare_mutex);
                              if (!spares.empty()) {
                                work = std::move(spares.back());
                                spares.pop_back();
                              }
                            }
                            if (!work) work = std::make_unique<Work>();
                            struct GiveBack {
                              Impl& m;
                              std::unique_ptr<Work>& work;
                              ~GiveBack() {
                                const std::lock_guard<std::mutex> lock(m.spare_mutex);
                                m.spares.push_back(std::move(work));
                              }
                            } give_back{*this, work};
                            for (std::int64_t j = begin; j < end; ++j)
                              body(first + static_cast<std::size_t>(j), *work);
                          });
}

const CholeskyFactor& ForwardModel::Impl::prepare(std::size_t j, Work& work) {
  Slot& slot = slots[j];
  std::unique_ptr<CholeskyFactor>& factor = keep ? slot.factor : work.factor;
  std::vector<ForwardColumn>& electrode_columns = keep ? slot.columns : work.columns;
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
  return *factor;
}

const double* ForwardModel::Impl::fields(std::size_t j, Work& work, std::vector<double>& target) {
  Slot& slot = slots[j];
  if (keep_fields && slot.fields_current) return slot.fields.data();
  const CholeskyFactor& factor = prepare(j, work);
  std::vector<double>& out = keep_fields ? slot.fields : target;
  out.resize(static_cast<std::size_t>(op->size()) * placed.electrodes.size());
  factor.backward(columns(j, work), out);
  slot.fields_current = keep_fields;
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

void ForwardModel::Impl::weighted_pair_products(std::span<const double> cell_weight,
                                                std::span<double> weighted,
                                                std::span<double> products) {
  const std::size_t ne = placed.electrodes.size();
  const std::size_t nodes = static_cast<std::size_t>(op->size());
  const std::size_t np = pairs.size();
  for_wavenumbers(0, rule.k.size(), [&](std::size_t j, Work& work) {
    if (!products.empty()) pair_products(j, work, products.subspan(j * np, np));
    const double* field = fields(j, work, work.fields);
    // The operator of the weighted conductivities applied to every electrode's field, node by
    // node in the factor's order.
    work.values.assign(op->entry_count(), 0.0);
    op->add_weighted(rule.k[j], boundary[j], cell_weight, work.values);
    std::vector<double>& applied = work.applied;
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

namespace {

double datum_from_poles(const std::array<std::int32_t, 4>& four, std::span<const double> pole) {
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

void ForwardModel::sensitivity(const Io& io, std::span<const double> resistivity,
                               std::span<const std::int32_t> cells, std::span<double> jacobian,
                               std::span<double> data) {
  Impl& m = *impl_;
  // The BLAS on one thread for the whole call, not switched back and forth per product.
  const dense::SingleThreadedBlas single;
  m.set_resistivity(io, resistivity);
  const std::size_t nk = m.rule.k.size();
  const std::size_t nodes = static_cast<std::size_t>(m.op->size());
  const std::size_t ne = m.placed.electrodes.size();
  const std::size_t np = m.pairs.size();
  const std::size_t ndat = m.datum_pairs.size();
  const std::size_t columns = cells.size();
  if (jacobian.size() < ndat * columns) internal_check_failed(io, "sensitivity: J is too small");
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
              const auto cell = static_cast<std::size_t>(position[begin + cb]);
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
                electrode_features(field[j] + offset[0], field[j] + offset[1], field[j] + offset[2],
                                   field[j] + offset[3], r, x, x + ne, x + 2 * ne, x + 3 * ne, ne);
              }
              if (positive > 0)
                dense::syrk(ne, 4 * positive, 1.0, features.data(), ne, 0.0, gram.data(), ne);
              if (positive < kc) {
                dense::syrk(ne, 4 * (kc - positive), -1.0, features.data() + 4 * positive * ne, ne,
                            positive > 0 ? 1.0 : 0.0, gram.data(), ne);
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
  with_solver_stops(io, [&] { m.weighted_pair_products(cell_weight, weighted, {}); });
  const std::vector<double> pole = m.combine(weighted);
  for (std::size_t i = 0; i < ndat; ++i) out[i] = datum_from_poles(m.datum_pairs[i], pole);
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
  std::vector<double> partial(nk * columns);
  const std::span<const std::int32_t> at = m.pattern->factor_row();
  with_solver_stops(io, [&] {
    m.for_wavenumbers(0, nk, [&](std::size_t j, Impl::Work& work) {
      const double* field = m.fields(j, work, work.fields);
      std::vector<double>& weighted = work.applied;
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
        partial[j * columns + c] = negative ? -sum : sum;
      }
    });
  });
  for (std::size_t c = 0; c < columns; ++c) {
    double total = 0;
    for (std::size_t j = 0; j < nk; ++j) total += partial[j * columns + c];
    out[c] = total;
  }
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
  with_solver_stops(io, [&] { m.weighted_pair_products(chargeability, charged, products); });
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
