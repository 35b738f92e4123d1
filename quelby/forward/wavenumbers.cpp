#include "quelby/forward/wavenumbers.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace quelby {
namespace {

constexpr double half_pi = std::numbers::pi / 2;
constexpr int fit_distances = 240;     // pole rows of the fit
constexpr int check_distances = 2000;  // pole distances the error is measured at
constexpr std::size_t most_data_rows = 600;

// Least squares min |A w - b| for a dense rows x cols matrix (row-major), by Householder QR on
// the columns scaled to unit norm. Returns the cols weights.
std::vector<double> least_squares(std::vector<double> a, std::vector<double> b, std::size_t rows,
                                  std::size_t cols) {
  std::vector<double> scale(cols, 1.0);
  for (std::size_t j = 0; j < cols; ++j) {
    double norm = 0;
    for (std::size_t i = 0; i < rows; ++i) norm += a[i * cols + j] * a[i * cols + j];
    if (norm > 0) scale[j] = 1 / std::sqrt(norm);
    for (std::size_t i = 0; i < rows; ++i) a[i * cols + j] *= scale[j];
  }
  std::vector<double> v(rows);
  for (std::size_t j = 0; j < cols; ++j) {
    double norm = 0;
    for (std::size_t i = j; i < rows; ++i) norm += a[i * cols + j] * a[i * cols + j];
    norm = std::sqrt(norm);
    if (norm == 0) continue;
    const double alpha = a[j * cols + j] > 0 ? -norm : norm;
    for (std::size_t i = j; i < rows; ++i) v[i] = a[i * cols + j];
    v[j] -= alpha;
    double vv = 0;
    for (std::size_t i = j; i < rows; ++i) vv += v[i] * v[i];
    if (vv == 0) continue;
    for (std::size_t c = j; c < cols; ++c) {
      double dot = 0;
      for (std::size_t i = j; i < rows; ++i) dot += v[i] * a[i * cols + c];
      const double factor = 2 * dot / vv;
      for (std::size_t i = j; i < rows; ++i) a[i * cols + c] -= factor * v[i];
    }
    double dot = 0;
    for (std::size_t i = j; i < rows; ++i) dot += v[i] * b[i];
    const double factor = 2 * dot / vv;
    for (std::size_t i = j; i < rows; ++i) b[i] -= factor * v[i];
  }
  std::vector<double> w(cols, 0.0);
  for (std::size_t jj = cols; jj-- > 0;) {
    double sum = b[jj];
    for (std::size_t c = jj + 1; c < cols; ++c) sum -= a[jj * cols + c] * w[c];
    const double diagonal = a[jj * cols + jj];
    w[jj] = diagonal != 0 ? sum / diagonal : 0;
  }
  for (std::size_t j = 0; j < cols; ++j) w[j] *= scale[j];
  return w;
}

std::vector<double> log_spaced(double first, double last, int count) {
  std::vector<double> values(static_cast<std::size_t>(count));
  const double step = count > 1 ? std::log(last / first) / (count - 1) : 0;
  for (int j = 0; j < count; ++j) values[static_cast<std::size_t>(j)] = first * std::exp(step * j);
  if (count > 1) values.back() = last;
  return values;
}

// The rows of a fit: the pole rows at log-spaced distances and the data rows, each data row a
// combination of K0 at a few of the distinct distances of the survey. A weight vector w gives a
// row's relative error as (sum_j w_j row_j) / exact - 1.
struct FitRows {
  std::vector<double> pole_distances;
  std::vector<double> distances;  // distinct distances of the data terms
  struct Term {
    double coefficient;
    std::size_t distance;
  };
  std::vector<std::vector<Term>> data;
  std::vector<double> data_exact;
};

double kernel_exact(const DatumKernel& kernel) {
  double exact = 0;
  for (const TransformTerm& term : kernel) exact += term.coefficient * half_pi / term.distance;
  return exact;
}

struct Fit {
  std::vector<double> k, weight;
  double pole_error = 0, data_error = 0;
  double score() const {
    return std::max(pole_error / rule_pole_tolerance, data_error / rule_data_tolerance);
  }
};

Fit fit_rule(const FitRows& rows, double k_first, double k_last, int count) {
  Fit fit;
  fit.k = log_spaced(k_first, k_last, count);
  const std::size_t cols = fit.k.size();
  const std::size_t pole_rows = rows.pole_distances.size();
  const std::size_t total = pole_rows + rows.data.size();
  std::vector<double> a(total * cols);
  for (std::size_t i = 0; i < pole_rows; ++i) {
    const double r = rows.pole_distances[i];
    for (std::size_t j = 0; j < cols; ++j) a[i * cols + j] = bessel_k0(fit.k[j] * r) * r / half_pi;
  }
  std::vector<double> k0_at(rows.distances.size() * cols);
  for (std::size_t d = 0; d < rows.distances.size(); ++d) {
    for (std::size_t j = 0; j < cols; ++j)
      k0_at[d * cols + j] = bessel_k0(fit.k[j] * rows.distances[d]);
  }
  for (std::size_t d = 0; d < rows.data.size(); ++d) {
    double* row = a.data() + (pole_rows + d) * cols;
    for (const FitRows::Term& term : rows.data[d]) {
      for (std::size_t j = 0; j < cols; ++j)
        row[j] += term.coefficient * k0_at[term.distance * cols + j];
    }
    for (std::size_t j = 0; j < cols; ++j) row[j] /= rows.data_exact[d];
  }
  const std::vector<double> normalised = a;
  fit.weight = least_squares(std::move(a), std::vector<double>(total, 1.0), total, cols);
  for (std::size_t i = 0; i < total; ++i) {
    double value = 0;
    for (std::size_t j = 0; j < cols; ++j) value += normalised[i * cols + j] * fit.weight[j];
    double& error = i < pole_rows ? fit.pole_error : fit.data_error;
    error = std::max(error, std::abs(value - 1));
  }
  return fit;
}

double pole_error(const std::vector<double>& k, const std::vector<double>& weight, double r_min,
                  double r_max) {
  double worst = 0;
  for (const double r : log_spaced(r_min, r_max, check_distances)) {
    double value = 0;
    for (std::size_t j = 0; j < k.size(); ++j) value += weight[j] * bessel_k0(k[j] * r);
    worst = std::max(worst, std::abs(value * r / half_pi - 1));
  }
  return worst;
}

// The best of a few ranges of wavenumbers for `count` of them, from 10^a / r_max to 10^b / r_min,
// judged on the fitted rows; its pole error is then measured on the finer set of distances.
Fit best_fit(const FitRows& rows, double r_min, double r_max, int count) {
  Fit best;
  bool first = true;
  for (const double a : {-0.75, -0.5, -0.25}) {
    for (const double b : {0.25, 0.5, 0.75}) {
      Fit fit = fit_rule(rows, std::pow(10.0, a) / r_max, std::pow(10.0, b) / r_min, count);
      if (first || fit.score() < best.score()) best = std::move(fit);
      first = false;
    }
  }
  best.pole_error = std::max(best.pole_error, pole_error(best.k, best.weight, r_min, r_max));
  return best;
}

}  // namespace

double bessel_k0(double x) {
  return std::cyl_bessel_k(0.0, x);
}

double bessel_k1_over_k0(double x) {
  if (x < 500) return std::cyl_bessel_k(1.0, x) / std::cyl_bessel_k(0.0, x);
  // Asymptotic series of the ratio; its next term is below 1e-13 here.
  const double t = 1 / x;
  return 1 + t * (0.5 + t * (-0.125 + t * (0.125 + t * (-25.0 / 128))));
}

WavenumberRule design_wavenumber_rule(double r_min, double r_max, std::span<const DatumKernel> data,
                                      int count) {
  if (!(r_min > 0) || !(r_max > r_min))
    throw std::invalid_argument("design_wavenumber_rule: 0 < r_min < r_max");
  if (count < 0 || count > 64) throw std::invalid_argument("design_wavenumber_rule: count 0..64");
  FitRows rows;
  rows.pole_distances = log_spaced(r_min, r_max, fit_distances);
  // A kernel whose transform is nearly zero against its own terms has no relative error to fit.
  std::vector<const DatumKernel*> candidates;
  for (const DatumKernel& kernel : data) {
    double size = 0;
    for (const TransformTerm& term : kernel) size += std::abs(term.coefficient) / term.distance;
    const double exact = kernel_exact(kernel);
    if (size > 0 && std::abs(exact * 2 / std::numbers::pi) > 1e-6 * size)
      candidates.push_back(&kernel);
  }
  const std::size_t stride =
      std::max<std::size_t>((candidates.size() + most_data_rows - 1) / most_data_rows, 1);
  std::vector<const DatumKernel*> fitted;
  for (std::size_t d = 0; d < candidates.size(); d += stride) fitted.push_back(candidates[d]);
  for (const DatumKernel* kernel : fitted) {
    for (const TransformTerm& term : *kernel) rows.distances.push_back(term.distance);
  }
  std::sort(rows.distances.begin(), rows.distances.end());
  rows.distances.erase(std::unique(rows.distances.begin(), rows.distances.end()),
                       rows.distances.end());
  for (const DatumKernel* kernel : fitted) {
    std::vector<FitRows::Term> terms;
    for (const TransformTerm& term : *kernel) {
      const auto at = static_cast<std::size_t>(
          std::lower_bound(rows.distances.begin(), rows.distances.end(), term.distance) -
          rows.distances.begin());
      terms.push_back({term.coefficient, at});
    }
    rows.data.push_back(std::move(terms));
    rows.data_exact.push_back(kernel_exact(*kernel));
  }

  Fit fit;
  if (count > 0) {
    fit = best_fit(rows, r_min, r_max, count);
  } else {
    const int first =
        std::clamp(static_cast<int>(std::ceil(3 + 2.5 * std::log10(r_max / r_min))), 4, 40);
    fit = best_fit(rows, r_min, r_max, first);
    for (int n = first + 1; n <= 40 && fit.score() > 1; ++n) {
      Fit next = best_fit(rows, r_min, r_max, n);
      if (next.score() < fit.score()) fit = std::move(next);
    }
  }
  WavenumberRule rule;
  rule.k = std::move(fit.k);
  rule.weight = std::move(fit.weight);
  rule.r_min = r_min;
  rule.r_max = r_max;
  rule.pole_error = fit.pole_error;
  rule.data_error = fit.data_error;
  return rule;
}

}  // namespace quelby
