// What the sources of ForwardModel share (not an interface of the library): the model's state
// between calls (the survey placed on the ground, the operator and its analysis, the kept factors,
// forward solves and fields), the loop over wavenumbers with each thread's working memory, and the
// helpers that turn solver failures into stops and pole pairs into data.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/ground_operator.hpp"

namespace quelby {
namespace forward_detail {

// Cells per block of the sensitivities' assembly.
inline constexpr std::size_t sensitivity_block = 64;

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

// A datum from its pole pairs' values: ((AM - AN) - BM) + BN, a missing pair 0.
inline double datum_from_poles(const std::array<std::int32_t, 4>& four,
                               std::span<const double> pole) {
  auto at = [&](int t) {
    return four[static_cast<std::size_t>(t)] < 0
               ? 0.0
               : pole[static_cast<std::size_t>(four[static_cast<std::size_t>(t)])];
  };
  return ((at(0) - at(1)) - at(2)) + at(3);
}

// An array of doubles whose values are all written before they are read: grown without zeroing
// (a vector would zero every element first), kept at its largest size.
class Scratch {
 public:
  double* data() noexcept { return values_.get(); }
  const double* data() const noexcept { return values_.get(); }
  void resize(std::size_t size) {
    if (size <= size_) return;
    values_ = std::make_unique_for_overwrite<double[]>(size);
    size_ = size;
  }

 private:
  std::unique_ptr<double[]> values_;
  std::size_t size_ = 0;
};

}  // namespace forward_detail

struct ForwardModel::Impl {
  using Scratch = forward_detail::Scratch;
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
  // The operator's whole symmetric pattern by rows in the factor's order, made when first needed
  // (make_rows): row r's columns (factor rows, ascending) are row_column[row_start[r] ..] and
  // their entries in the operator's upper triangle row_entry[row_start[r] ..].
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
    Scratch fields;
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
    // The wavenumber and conductivity (its generation) the factor and columns belong to.
    std::size_t wavenumber = 0;
    std::uint64_t generation = 0;
    std::vector<double> values;
    std::vector<ForwardColumn> columns;
    Scratch fields, applied;
  };
  // Counts the conductivities set, so that a spare's factor is known to be current (0: none).
  std::uint64_t generation = 0;
  std::mutex spare_mutex;
  std::vector<std::unique_ptr<Work>> spares;
  // The fields of one chunk of wavenumbers when they are not kept (the sensitivity's).
  std::vector<Scratch> chunk_fields;

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
  // Every electrode's field at wavenumber j (nodes x electrodes, factor order): the kept fields
  // when they are current, else solved into the kept fields (when they are kept and `keep` asks
  // for it) or into `target` (resized).
  const double* fields(std::size_t j, Work& work, Scratch& target, bool keep = true);
  // The pole pairs' values at wavenumber j (u_first^T A(k_j) u_second = b_first^T A^-1 b_second).
  void pair_products(std::size_t j, Work& work, std::span<double> out);
  // Per wavenumber j and pole pair p: u_first^T A_weight(k_j) u_second, A_weight the operator of
  // the conductivities weighted by `cell_weight` (per mesh cell), into weighted[j * pairs + p];
  // and the pole pairs' values into `products` unless it is empty. Fields solved anew are kept
  // when `keep` asks for it (see fields).
  void weighted_pair_products(std::span<const double> cell_weight, std::span<double> weighted,
                              std::span<double> products, bool keep);
  void make_rows();
  std::vector<double> combine(std::span<const double> per_wavenumber) const;
  // The positions in the operator's cells of mesh cells given by a caller; a cell that is not in
  // the ground writes its message and throws Stop.
  std::vector<std::int32_t> positions(const Io& io, std::span<const std::int32_t> cells) const;
};

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

}  // namespace quelby
