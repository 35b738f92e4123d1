#include "quelby/inversion/robust_misfit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quelby/base/read_detail.hpp"

namespace quelby {

bool sound_robust_threshold(double t) noexcept {
  return t >= lowest_robust_threshold && t <= highest_robust_threshold;
}

std::string robust_threshold_range() {
  return "from " + shortest(lowest_robust_threshold) + " to " + shortest(highest_robust_threshold) +
         " standard deviations";
}

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

double reported_misfit(std::span<const double> r, const DataWeights& weights, double threshold) {
  const std::size_t n = r.size();
  // The readings left out: beyond the distance, the farthest first (ties in their order), at most
  // spoiled_fraction of the data.
  std::vector<std::size_t> far;
  if (std::isfinite(weights.threshold)) {
    const double beyond = std::max(threshold, spoiled_distance);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::abs(r[i]) > beyond) far.push_back(i);
    }
    const auto most = static_cast<std::size_t>(spoiled_fraction * static_cast<double>(n));
    if (far.size() > most) {
      std::stable_sort(far.begin(), far.end(), [&](std::size_t x, std::size_t y) {
        return std::abs(r[x]) > std::abs(r[y]);
      });
      far.resize(most);
    }
  }
  std::vector<char> left_out(n, 0);
  for (const std::size_t i : far) left_out[i] = 1;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (left_out[i] == 0) sum += r[i] * r[i];
  }
  if (far.empty()) return sum;
  return sum * (static_cast<double>(n) / static_cast<double>(n - far.size()));
}

double weighted_misfit(std::span<const double> r, const DataWeights& weights) {
  double sum = 0;
  for (std::size_t i = 0; i < r.size(); ++i) sum += weights.weights[i] * r[i] * r[i];
  return sum;
}

}  // namespace quelby
