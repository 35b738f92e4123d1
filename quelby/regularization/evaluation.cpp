#include "quelby/regularization/evaluation.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelby/base/parallel.hpp"

namespace quelby {
namespace {

// Rows are split between the threads only in blocks this large; each row's sum is the same
// wherever it runs.
constexpr std::int64_t parallel_rows = std::int64_t{1} << 15;

constexpr std::size_t max_terms = 4;

void require(bool condition, const char* function, const char* what) {
  if (!condition) throw std::invalid_argument(std::string(function) + ": " + what);
}

// The stored terms, checked once against the number of parameters.
std::size_t checked_terms(const ModelObjective& objective, std::size_t n, const char* function) {
  const auto n_terms = static_cast<std::size_t>(objective.n_terms < 0 ? 0 : objective.n_terms);
  require(n_terms <= max_terms && objective.wtw_terms.size() >= n_terms, function,
          "n_terms does not match wtw_terms");
  for (std::size_t k = 0; k < n_terms; ++k)
    require(objective.wtw_terms[k].row_start.size() == n + 1, function,
            "a term does not have npar rows");
  return n_terms;
}

// The 0 + sum, in stored order, of the entries of row i times u[column], u = m - m_ref (element
// by element, as a work vector would hold it) or m. Columns outside 0..n-1 are skipped.
template <bool difference>
inline double row_sum(const CsrMatrix& a, std::size_t i, const double* m, const double* m_ref,
                      std::size_t n) {
  double sum = 0.0;
  const std::int32_t last = a.row_start[i + 1];
  for (std::int32_t k = a.row_start[i]; k < last; ++k) {
    const auto column = static_cast<std::size_t>(static_cast<std::uint32_t>(a.columns[k]));
    if (column >= n) continue;
    const double u = difference ? m[column] - m_ref[column] : m[column];
    sum += a.values[static_cast<std::size_t>(k)] * u;
  }
  return sum;
}

}  // namespace

void wtw_times_model(const ModelObjective& objective, std::span<const double> m,
                     std::span<const double> m_ref, std::span<double> g) {
  const char* const name = "wtw_times_model";
  const std::size_t n = g.size();
  require(m.size() == n && m_ref.size() == n, name, "m, m_ref and g differ in length");
  const std::size_t n_terms = checked_terms(objective, n, name);
  const double* const model = m.data();
  const double* const reference = m_ref.data();
  double* const out = g.data();

  if (objective.ref_in_derivatives) {
    const CsrMatrix& WTW = objective.WTW;
    require(WTW.row_start.size() == n + 1, name, "WTW does not have npar rows");
    parallel_for(
        static_cast<std::int64_t>(n), parallel_rows, [&](std::int64_t begin, std::int64_t end) {
          for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i)
            out[i] = row_sum<true>(WTW, i, model, reference, n);
        });
    return;
  }
  require(n_terms >= 1 || n == 0, name, "no smallness term");
  const std::vector<CsrMatrix>& terms = objective.wtw_terms;
  parallel_for(
      static_cast<std::int64_t>(n), parallel_rows, [&](std::int64_t begin, std::int64_t end) {
        for (auto i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
          double sum = row_sum<true>(terms[0], i, model, reference, n);
          for (std::size_t k = 1; k < n_terms; ++k)
            sum = sum + row_sum<false>(terms[k], i, model, reference, n);
          out[i] = sum;
        }
      });
}

void term_norms(const ModelObjective& objective, std::span<const double> m,
                std::span<const double> m_ref, std::span<double> phi) {
  const char* const name = "term_norms";
  const std::size_t n = m.size();
  require(m_ref.size() == n, name, "m and m_ref differ in length");
  const std::size_t n_terms = checked_terms(objective, n, name);
  require(phi.size() >= n_terms, name, "phi has fewer than n_terms elements");
  const double* const model = m.data();
  const double* const reference = m_ref.data();
  const bool all_differences = objective.ref_in_derivatives;

  std::array<double, max_terms> sums{};
  for (std::size_t i = 0; i < (n_terms == 0 ? 0 : n); ++i) {
    const double d = model[i] - reference[i];
    sums[0] += d * row_sum<true>(objective.wtw_terms[0], i, model, reference, n);
    for (std::size_t k = 1; k < n_terms; ++k) {
      const CsrMatrix& term = objective.wtw_terms[k];
      if (all_differences) {
        sums[k] += d * row_sum<true>(term, i, model, reference, n);
      } else {
        sums[k] += model[i] * row_sum<false>(term, i, model, reference, n);
      }
    }
  }
  for (std::size_t k = 0; k < phi.size(); ++k) phi[k] = k < n_terms ? sums[k] : 0.0;
}

}  // namespace quelby
