#include "quelby/forward/wavenumbers.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace quelby {
namespace {

constexpr double half_pi = std::numbers::pi / 2;
constexpr int fit_distances = 120;     // pole rows of the fit
constexpr int check_distances = 2000;  // pole distances the error is measured at
constexpr std::size_t most_data_rows = 300;
constexpr std::size_t most_imaged_data = 40;  // data also fitted at image depths
constexpr int image_depths = 6;

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
// data row's error as ((sum_j w_j row_j) - exact) / scale: the row's own transform for a datum,
// the unshifted datum's for the datum seen at an image depth.
struct FitRows {
  std::vector<double> pole_distances;
  std::vector<double> distances;  // distinct distances of the data terms
  struct Term {
    double coefficient;
    std::size_t distance;
  };
  std::vector<std::vector<Term>> data;
  std::vector<double> data_exact, data_scale;
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

using BesselK0 = double (*)(double);

// K0 by the polynomial approximations of Abramowitz and Stegun (9.8.1, 9.8.5, 9.8.6): relative
// error below 2e-7, several times faster than bessel_k0; used only while the wavenumbers are
// searched for, never for the final weights or the reported errors.
double approximate_k0(double x) {
  if (x <= 2) {
    const double t = x / 3.75;
    const double t2 = t * t;
    const double i0 =
        1 + t2 * (3.5156229 +
                  t2 * (3.0899424 +
                        t2 * (1.2067492 + t2 * (0.2659732 + t2 * (0.0360768 + t2 * 0.0045813)))));
    const double y = x * x / 4;
    return -std::log(x / 2) * i0 +
           (-0.57721566 +
            y * (0.42278420 +
                 y * (0.23069756 +
                      y * (0.03488590 + y * (0.00262698 + y * (0.00010750 + y * 0.00000740))))));
  }
  const double y = 2 / x;
  return std::exp(-x) / std::sqrt(x) *
         (1.25331414 +
          y * (-0.07832358 +
               y * (0.02189568 +
                    y * (-0.01062446 + y * (0.00587872 + y * (-0.00251540 + y * 0.00053208))))));
}

double full_k0(double x) {
  return bessel_k0(x);
}

// The fit of the weights for the wavenumbers `k` (ascending): least squares over the rows, each
// scaled by its tolerance, and the largest error of each kind over the rows. `residuals`, when
// given, receives the scaled residual of every row.
Fit fit_weights(const FitRows& rows, std::vector<double> k, BesselK0 k0,
                std::vector<double>* residuals = nullptr) {
  Fit fit;
  fit.k = std::move(k);
  const std::size_t cols = fit.k.size();
  const std::size_t pole_rows = rows.pole_distances.size();
  const std::size_t total = pole_rows + rows.data.size();
  std::vector<double> a(total * cols), b(total);
  for (std::size_t i = 0; i < pole_rows; ++i) {
    const double r = rows.pole_distances[i];
    for (std::size_t j = 0; j < cols; ++j)
      a[i * cols + j] = k0(fit.k[j] * r) * r / half_pi / rule_pole_tolerance;
    b[i] = 1 / rule_pole_tolerance;
  }
  std::vector<double> k0_at(rows.distances.size() * cols);
  for (std::size_t d = 0; d < rows.distances.size(); ++d) {
    for (std::size_t j = 0; j < cols; ++j) k0_at[d * cols + j] = k0(fit.k[j] * rows.distances[d]);
  }
  for (std::size_t d = 0; d < rows.data.size(); ++d) {
    double* row = a.data() + (pole_rows + d) * cols;
    for (const FitRows::Term& term : rows.data[d]) {
      for (std::size_t j = 0; j < cols; ++j)
        row[j] += term.coefficient * k0_at[term.distance * cols + j];
    }
    for (std::size_t j = 0; j < cols; ++j) row[j] /= rows.data_scale[d] * rule_data_tolerance;
    b[pole_rows + d] = rows.data_exact[d] / (rows.data_scale[d] * rule_data_tolerance);
  }
  const std::vector<double> scaled = a;
  fit.weight = least_squares(std::move(a), b, total, cols);
  if (residuals) residuals->resize(total);
  for (std::size_t i = 0; i < total; ++i) {
    double value = 0;
    for (std::size_t j = 0; j < cols; ++j) value += scaled[i * cols + j] * fit.weight[j];
    const double residual = value - b[i];
    if (residuals) (*residuals)[i] = residual;
    if (i < pole_rows) {
      fit.pole_error = std::max(fit.pole_error, std::abs(residual) * rule_pole_tolerance);
    } else {
      fit.data_error = std::max(fit.data_error, std::abs(residual) * rule_data_tolerance);
    }
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

// The final form of a fit: weights and row errors from bessel_k0, the pole error measured
// on the finer set of distances too.
Fit finish(const FitRows& rows, const std::vector<double>& k, double r_min, double r_max) {
  Fit fit = fit_weights(rows, k, full_k0);
  fit.pole_error = std::max(fit.pole_error, pole_error(fit.k, fit.weight, r_min, r_max));
  return fit;
}

// The best of a few ranges of `count` wavenumbers spaced evenly in log k, from 10^a / r_max to
// 10^b / r_min, judged on the rows.
std::vector<double> best_even_spacing(const FitRows& rows, double r_min, double r_max, int count) {
  std::vector<double> best;
  double best_score = 0;
  for (const double a : {-0.75, -0.5, -0.25}) {
    for (const double b : {0.25, 0.5, 0.75}) {
      std::vector<double> k =
          log_spaced(std::pow(10.0, a) / r_max, std::pow(10.0, b) / r_min, count);
      const double score = fit_weights(rows, k, approximate_k0).score();
      if (best.empty() || score < best_score) {
        best = std::move(k);
        best_score = score;
      }
    }
  }
  return best;
}

// Moves the wavenumbers (in log k) to minimise the sum of the squared scaled residuals, the
// weights refitted for every trial (Levenberg-Marquardt, derivatives by differences). Returns the
// wavenumbers, ascending.
std::vector<double> optimise_wavenumbers(const FitRows& rows, std::vector<double> k, double r_min,
                                         double r_max) {
  const std::size_t n = k.size();
  // Wavenumbers stay within 10^-2 / r_max .. 10^1.5 / r_min: nearer 0 a wavenumber's 2-D problem
  // has almost no mass term, beyond it its field dies within a fraction of r_min.
  const double lowest = std::log(1e-2 / r_max), highest = std::log(std::pow(10.0, 1.5) / r_min);
  std::vector<double> t(n), residual, shifted;
  for (std::size_t j = 0; j < n; ++j) t[j] = std::log(k[j]);
  auto evaluate = [&](const std::vector<double>& logs, std::vector<double>& out) {
    std::vector<double> nodes(n);
    for (std::size_t j = 0; j < n; ++j) nodes[j] = std::exp(logs[j]);
    std::sort(nodes.begin(), nodes.end());
    fit_weights(rows, nodes, approximate_k0, &out);
    double sum = 0;
    for (const double value : out) sum += value * value;
    return sum;
  };
  double current = evaluate(t, residual);
  double damping = 1e-3;
  const double step = 1e-4;
  for (int iteration = 0; iteration < 40; ++iteration) {
    const std::size_t m = residual.size();
    std::vector<double> jacobian(m * n);
    for (std::size_t j = 0; j < n; ++j) {
      std::vector<double> moved = t;
      moved[j] += step;
      evaluate(moved, shifted);
      for (std::size_t i = 0; i < m; ++i) jacobian[i * n + j] = (shifted[i] - residual[i]) / step;
    }
    std::vector<double> normal(n * n, 0.0), gradient(n, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t a = 0; a < n; ++a) {
        gradient[a] += jacobian[i * n + a] * residual[i];
        for (std::size_t b = 0; b <= a; ++b)
          normal[a * n + b] += jacobian[i * n + a] * jacobian[i * n + b];
      }
    }
    bool improved = false;
    while (damping < 1e10) {
      // (J^T J + damping diag(J^T J)) delta = -J^T r by Cholesky.
      std::vector<double> l(n * n, 0.0), delta(n);
      bool positive = true;
      for (std::size_t a = 0; a < n && positive; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
          double value = normal[a * n + b] + (a == b ? damping * normal[a * n + a] + 1e-300 : 0.0);
          for (std::size_t c = 0; c < b; ++c) value -= l[a * n + c] * l[b * n + c];
          if (a == b) {
            if (!(value > 0)) positive = false;
            l[a * n + a] = std::sqrt(std::max(value, 1e-300));
          } else {
            l[a * n + b] = value / l[b * n + b];
          }
        }
      }
      if (positive) {
        for (std::size_t a = 0; a < n; ++a) {
          double value = -gradient[a];
          for (std::size_t c = 0; c < a; ++c) value -= l[a * n + c] * delta[c];
          delta[a] = value / l[a * n + a];
        }
        for (std::size_t a = n; a-- > 0;) {
          for (std::size_t c = a + 1; c < n; ++c) delta[a] -= l[c * n + a] * delta[c];
          delta[a] /= l[a * n + a];
        }
        std::vector<double> trial = t;
        for (std::size_t j = 0; j < n; ++j) {
          trial[j] = std::clamp(trial[j] + std::clamp(delta[j], -0.5, 0.5), lowest, highest);
        }
        std::vector<double> trial_residual;
        const double value = evaluate(trial, trial_residual);
        if (value < current) {
          improved = current - value > 1e-4 * current;
          t = std::move(trial);
          residual = std::move(trial_residual);
          current = value;
          damping = std::max(damping / 3, 1e-9);
          break;
        }
      }
      damping *= 4;
    }
    if (!improved) break;
  }
  for (std::size_t j = 0; j < n; ++j) k[j] = std::exp(t[j]);
  std::sort(k.begin(), k.end());
  return k;
}

}  // namespace

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
  // In a canonical order and once each, so that the rule depends on the set of data alone, not on
  // their order or repetitions.
  auto by_terms = [](const DatumKernel* first, const DatumKernel* second) {
    return std::lexicographical_compare(
        first->begin(), first->end(), second->begin(), second->end(),
        [](const TransformTerm& x, const TransformTerm& y) {
          return x.distance != y.distance ? x.distance < y.distance : x.coefficient < y.coefficient;
        });
  };
  std::sort(candidates.begin(), candidates.end(), by_terms);
  candidates.erase(std::unique(candidates.begin(), candidates.end(),
                               [&](const DatumKernel* first, const DatumKernel* second) {
                                 return !by_terms(first, second) && !by_terms(second, first);
                               }),
                   candidates.end());
  const std::size_t stride =
      std::max<std::size_t>((candidates.size() + most_data_rows - 1) / most_data_rows, 1);
  std::vector<const DatumKernel*> fitted;
  for (std::size_t d = 0; d < candidates.size(); d += stride) fitted.push_back(candidates[d]);
  // Over layered ground a datum's kernel gains images: its terms at sqrt(r^2 + d^2) for the depths
  // d of the images, whose combination cancels as much as the datum's own. A few of the data are
  // fitted at image depths from a quarter of their shortest distance to four times their longest,
  // each to the tolerance of the datum itself.
  std::vector<DatumKernel> kernels;
  std::vector<double> scales;
  for (const DatumKernel* kernel : fitted) {
    kernels.push_back(*kernel);
    scales.push_back(std::abs(kernel_exact(*kernel)));
  }
  const std::size_t image_stride =
      std::max<std::size_t>((fitted.size() + most_imaged_data - 1) / most_imaged_data, 1);
  for (std::size_t d = 0; d < fitted.size(); d += image_stride) {
    const DatumKernel& kernel = *fitted[d];
    double shortest = kernel.front().distance, longest = kernel.front().distance;
    for (const TransformTerm& term : kernel) {
      shortest = std::min(shortest, term.distance);
      longest = std::max(longest, term.distance);
    }
    for (const double depth : log_spaced(shortest / 4, 4 * longest, image_depths)) {
      DatumKernel imaged = kernel;
      for (TransformTerm& term : imaged) term.distance = std::hypot(term.distance, depth);
      if (std::abs(kernel_exact(imaged)) < 1e-3 * scales[d]) continue;
      kernels.push_back(std::move(imaged));
      scales.push_back(scales[d]);
    }
  }
  for (const DatumKernel& kernel : kernels) {
    for (const TransformTerm& term : kernel) rows.distances.push_back(term.distance);
  }
  std::sort(rows.distances.begin(), rows.distances.end());
  rows.distances.erase(std::unique(rows.distances.begin(), rows.distances.end()),
                       rows.distances.end());
  for (std::size_t d = 0; d < kernels.size(); ++d) {
    std::vector<FitRows::Term> terms;
    for (const TransformTerm& term : kernels[d]) {
      const auto at = static_cast<std::size_t>(
          std::lower_bound(rows.distances.begin(), rows.distances.end(), term.distance) -
          rows.distances.begin());
      terms.push_back({term.coefficient, at});
    }
    rows.data.push_back(std::move(terms));
    rows.data_exact.push_back(kernel_exact(kernels[d]));
    rows.data_scale.push_back(scales[d]);
  }

  // Evenly spaced wavenumbers first: the smallest count that meets the tolerances on the rows.
  // Then fewer, moved to where they fit best, as long as they still meet them (with a margin for
  // the approximate K0 of the search). Only the rule kept is measured with bessel_k0.
  Fit fit;
  if (count > 0) {
    fit = finish(rows, best_even_spacing(rows, r_min, r_max, count), r_min, r_max);
    Fit moved = finish(rows, optimise_wavenumbers(rows, fit.k, r_min, r_max), r_min, r_max);
    if (moved.score() < fit.score()) fit = std::move(moved);
  } else {
    int even = std::clamp(static_cast<int>(std::ceil(3 + 2.5 * std::log10(r_max / r_min))), 4, 40);
    std::vector<double> k = best_even_spacing(rows, r_min, r_max, even);
    while (even < 40 && fit_weights(rows, k, approximate_k0).score() > 1) {
      k = best_even_spacing(rows, r_min, r_max, ++even);
    }
    std::vector<double> kept = k;
    for (int fewer = even - 3; fewer >= 4; --fewer) {
      std::vector<double> moved =
          optimise_wavenumbers(rows, best_even_spacing(rows, r_min, r_max, fewer), r_min, r_max);
      if (fit_weights(rows, moved, approximate_k0).score() > 0.8) break;
      kept = std::move(moved);
    }
    fit = finish(rows, kept, r_min, r_max);
    if (fit.score() > 1 && kept.size() != k.size()) fit = finish(rows, k, r_min, r_max);
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
