#include "quelby/inversion/robust_misfit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quelby {

DataWeights data_weights(std::span<const double> r, bool robust, double threshold) {
  DataWeights result;
  result.weights.assign(r.size(), 1.0);
  if (!robust) {
    result.threshold = std::numeric_limits<double>::infinity();
    return result;
  }
  // The residuals' centre: their median.
  const auto median = [](std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    double value = *middle;
    if (values.size() % 2 == 0) value = (value + *std::max_element(values.begin(), middle)) / 2;
    return value;
  };
  result.centre = median(std::vector<double>(r.begin(), r.end()));
  result.threshold = threshold;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const double distance = std::abs(r[i] - result.centre);
    if (distance > result.threshold) {
      result.weights[i] = result.threshold / distance;
      ++result.down_weighted;
    }
  }
  return result;
}

double capped_square_expectation(double c) {
  const double density = std::exp(-c * c / 2) / std::sqrt(2 * std::numbers::pi);
  return 1 - 2 * c * density - (1 - c * c) * std::erfc(c / std::numbers::sqrt2);
}

double reported_misfit(std::span<const double> r, const DataWeights& weights, double threshold) {
  double sum = 0;
  if (!std::isfinite(weights.threshold)) {
    for (const double value : r) sum += value * value;
    return sum;
  }
  const double cap = weights.threshold * weights.threshold;
  for (const double value : r) sum += std::min(value * value, cap);
  return sum / capped_square_expectation(threshold);
}

double weighted_misfit(std::span<const double> r, const DataWeights& weights) {
  double sum = 0;
  for (std::size_t i = 0; i < r.size(); ++i) sum += weights.weights[i] * r[i] * r[i];
  return sum;
}

}  // namespace quelby
