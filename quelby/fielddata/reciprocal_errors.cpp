#include "quelby/fielddata/reciprocal_errors.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <numeric>
#include <utility>

#include "quelby/base/read_detail.hpp"

namespace quelby {

namespace {

// Per electrode its x and depth, A B M N.
using Key = std::array<double, 8>;

// The datum's electrodes with each pair in increasing x, and the sign that turns its resistance
// into that orientation's.
struct Oriented {
  Key key;
  double sign;
};

Oriented oriented(const FieldDatum& datum) {
  Oriented result{};
  result.sign = 1;
  std::pair<double, double> a{datum.a, datum.depth_a}, b{datum.b, datum.depth_b},
      m{datum.m, datum.depth_m}, n{datum.n, datum.depth_n};
  if (b < a) {
    std::swap(a, b);
    result.sign = -result.sign;
  }
  if (n < m) {
    std::swap(m, n);
    result.sign = -result.sign;
  }
  result.key = {a.first, a.second, b.first, b.second, m.first, m.second, n.first, n.second};
  return result;
}

Key exchanged(const Key& key) {
  return {key[4], key[5], key[6], key[7], key[0], key[1], key[2], key[3]};
}

double infinite() {
  return std::numeric_limits<double>::infinity();
}

// Least squares of y = a + b x over the points; false when x does not vary.
bool straight_line(std::span<const double> x, std::span<const double> y, double& a, double& b) {
  const double count = static_cast<double>(x.size());
  double sx = 0, sy = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    sx += x[k];
    sy += y[k];
  }
  const double mx = sx / count, my = sy / count;
  double sxx = 0, sxy = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    sxx += (x[k] - mx) * (x[k] - mx);
    sxy += (x[k] - mx) * (y[k] - my);
  }
  if (!(sxx > 0)) return false;
  b = sxy / sxx;
  a = my - b * mx;
  return std::isfinite(a) && std::isfinite(b);
}

// Root mean square of log10(bin error / model) over the bins with a positive error.
double log_misfit(const ErrorModel& model, const ErrorFit& fit) {
  double sum = 0;
  std::size_t count = 0;
  for (std::size_t k = 0; k < fit.bin_magnitude.size(); ++k) {
    if (!(fit.bin_error[k] > 0)) continue;
    const double predicted = model(fit.bin_magnitude[k]);
    if (!(predicted > 0)) return infinite();
    const double residual = std::log10(fit.bin_error[k] / predicted);
    sum += residual * residual;
    ++count;
  }
  return count == 0 ? infinite() : std::sqrt(sum / static_cast<double>(count));
}

bool positive_everywhere(const ErrorModel& model, std::span<const double> magnitudes) {
  for (const double magnitude : magnitudes) {
    const double value = model(magnitude);
    if (!(value > 0) || !std::isfinite(value)) return false;
  }
  return true;
}

}  // namespace

double ErrorModel::operator()(double magnitude) const {
  return kind == Kind::linear ? a + b * magnitude : a * std::pow(magnitude, b);
}

std::string ErrorModel::formula(std::string_view variable) const {
  const auto number = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return std::string(text);
  };
  if (kind == Kind::linear) {
    return "e = " + number(a) + (b < 0 ? " - " : " + ") + number(std::abs(b)) + " " +
           std::string(variable);
  }
  return "e = " + number(a) + " " + std::string(variable) + "^" + number(b);
}

ErrorFit fit_error_models(std::span<const double> magnitudes, std::span<const double> errors,
                          std::span<const double> data_magnitudes) {
  ErrorFit fit;
  fit.linear.kind = ErrorModel::Kind::linear;
  fit.power.kind = ErrorModel::Kind::power;
  fit.linear.misfit = fit.power.misfit = infinite();
  const std::size_t pairs = magnitudes.size();
  if (pairs < 4) return fit;
  std::vector<std::size_t> order(pairs);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t i, std::size_t j) { return magnitudes[i] < magnitudes[j]; });
  const std::size_t bins = std::min(std::clamp<std::size_t>(pairs / 10, 2, 20), pairs / 2);
  fit.per_bin = pairs / bins;
  for (std::size_t k = 0; k < bins; ++k) {
    const std::size_t begin = k * pairs / bins, end = (k + 1) * pairs / bins;
    double magnitude = 0, error = 0;
    for (std::size_t at = begin; at < end; ++at) {
      magnitude += magnitudes[order[at]];
      error += errors[order[at]];
    }
    const double count = static_cast<double>(end - begin);
    fit.bin_magnitude.push_back(magnitude / count);
    fit.bin_error.push_back(error / count);
  }

  bool line = straight_line(fit.bin_magnitude, fit.bin_error, fit.linear.a, fit.linear.b);
  if (line && fit.linear.a < 0) {
    // A negative intercept would give the smallest data no deviation: the line through the origin
    // (least squares of e = b |R|) instead.
    double xy = 0, xx = 0;
    for (std::size_t k = 0; k < bins; ++k) {
      xy += fit.bin_magnitude[k] * fit.bin_error[k];
      xx += fit.bin_magnitude[k] * fit.bin_magnitude[k];
    }
    fit.linear.a = 0;
    fit.linear.b = xy / xx;
    line = xx > 0 && std::isfinite(fit.linear.b);
  }
  if (line && positive_everywhere(fit.linear, data_magnitudes)) {
    fit.linear.misfit = log_misfit(fit.linear, fit);
    fit.linear.usable = std::isfinite(fit.linear.misfit);
  }
  std::vector<double> log_magnitude, log_error;
  for (std::size_t k = 0; k < bins; ++k) {
    if (fit.bin_magnitude[k] > 0 && fit.bin_error[k] > 0) {
      log_magnitude.push_back(std::log10(fit.bin_magnitude[k]));
      log_error.push_back(std::log10(fit.bin_error[k]));
    }
  }
  double intercept = 0, slope = 0;
  if (log_magnitude.size() >= 2 && straight_line(log_magnitude, log_error, intercept, slope)) {
    fit.power.a = std::pow(10.0, intercept);
    fit.power.b = slope;
    if (positive_everywhere(fit.power, data_magnitudes)) {
      fit.power.misfit = log_misfit(fit.power, fit);
      fit.power.usable = std::isfinite(fit.power.misfit);
    }
  }
  if (fit.linear.usable && (!fit.power.usable || fit.linear.misfit <= fit.power.misfit)) {
    fit.kept = fit.linear;
  } else if (fit.power.usable) {
    fit.kept = fit.power;
  }
  return fit;
}

void pair_reciprocals(std::vector<FieldDatum>& data) {
  std::map<Key, std::size_t> position;
  std::vector<Oriented> orientation(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    orientation[i] = oriented(data[i]);
    position.emplace(orientation[i].key, i);
  }
  std::vector<bool> removed(data.size(), false), paired(data.size(), false);
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (paired[i]) continue;
    const auto found = position.find(exchanged(orientation[i].key));
    if (found == position.end()) continue;
    const std::size_t j = found->second;
    if (j == i || paired[j]) continue;
    paired[i] = paired[j] = true;
    removed[j] = true;
    FieldDatum& normal = data[i];
    const FieldDatum& reciprocal = data[j];
    const double normal_value = orientation[i].sign * normal.resistance;
    const double reciprocal_value = orientation[j].sign * reciprocal.resistance;
    normal.resistance = orientation[i].sign * ((normal_value + reciprocal_value) / 2);
    normal.reciprocal_error = std::abs(normal_value - reciprocal_value);
    normal.reciprocal_line = reciprocal.line;
    normal.readings += reciprocal.readings;
    if (std::isfinite(normal.chargeability) && std::isfinite(reciprocal.chargeability)) {
      normal.chargeability_error = std::abs(normal.chargeability - reciprocal.chargeability);
      normal.chargeability = (normal.chargeability + reciprocal.chargeability) / 2;
    }
    if (std::isfinite(normal.current) && std::isfinite(reciprocal.current)) {
      normal.current = (normal.current + reciprocal.current) / 2;
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (!removed[i]) data[kept++] = data[i];
  }
  data.resize(kept);
}

std::size_t average_duplicates(std::vector<FieldDatum>& data) {
  struct Sum {
    std::size_t first;
    double resistance = 0, chargeability = 0, current = 0, variance = 0, ip_variance = 0;
    std::size_t count = 0, chargeabilities = 0, currents = 0;
    bool stds = true, ip_stds = true;
  };
  std::map<Key, std::size_t> group_of;
  std::vector<Sum> sums;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const Oriented o = oriented(data[i]);
    const auto [at, inserted] = group_of.emplace(o.key, sums.size());
    if (inserted) sums.push_back(Sum{i});
    Sum& sum = sums[at->second];
    const FieldDatum& datum = data[i];
    sum.resistance += o.sign * datum.resistance;
    ++sum.count;
    if (std::isfinite(datum.chargeability)) {
      sum.chargeability += datum.chargeability;
      ++sum.chargeabilities;
    }
    if (std::isfinite(datum.current)) {
      sum.current += datum.current;
      ++sum.currents;
    }
    sum.stds = sum.stds && std::isfinite(datum.std);
    if (sum.stds) sum.variance += datum.std * datum.std;
    sum.ip_stds = sum.ip_stds && std::isfinite(datum.chargeability_std);
    if (sum.ip_stds) sum.ip_variance += datum.chargeability_std * datum.chargeability_std;
  }
  if (sums.size() == data.size()) return 0;
  std::vector<FieldDatum> merged;
  merged.reserve(sums.size());
  for (const Sum& sum : sums) {
    FieldDatum datum = data[sum.first];
    if (sum.count > 1) {
      const double count = static_cast<double>(sum.count);
      datum.resistance = oriented(datum).sign * (sum.resistance / count);
      datum.readings = sum.count;
      datum.chargeability = sum.chargeabilities > 0
                                ? sum.chargeability / static_cast<double>(sum.chargeabilities)
                                : not_given;
      datum.current =
          sum.currents > 0 ? sum.current / static_cast<double>(sum.currents) : not_given;
      datum.std = sum.stds ? std::sqrt(sum.variance) / count : not_given;
      datum.chargeability_std = sum.ip_stds ? std::sqrt(sum.ip_variance) / count : not_given;
    }
    merged.push_back(datum);
  }
  const std::size_t removed = data.size() - merged.size();
  data = std::move(merged);
  return removed;
}

}  // namespace quelby
