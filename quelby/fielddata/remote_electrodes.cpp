#include "quelby/fielddata/remote_electrodes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace quelby {

namespace {

// An electrode set apart from the line by a gap this many times the line's length is remote.
constexpr double remote_gap = 5;
// Positions split into clusters at gaps this many times the median gap.
constexpr double cluster_gap = 10;
// At most this many electrodes lie apart as remote ones, and at least this many form the line.
constexpr std::size_t most_remote = 4;
constexpr std::size_t fewest_on_line = 4;

}  // namespace

std::vector<double> remote_positions(const FieldSurvey& survey) {
  std::vector<double> x;
  for (const FieldReading& reading : survey.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isfinite(electrode.x)) x.push_back(electrode.x);
    }
  }
  std::sort(x.begin(), x.end());
  x.erase(std::unique(x.begin(), x.end()), x.end());
  if (x.size() < fewest_on_line + 1) return {};
  std::vector<double> gaps;
  for (std::size_t k = 1; k < x.size(); ++k) gaps.push_back(x[k] - x[k - 1]);
  std::vector<double> sorted = gaps;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                   sorted.end());
  const double split = cluster_gap * sorted[sorted.size() / 2];
  // Clusters as [begin, end) ranges of x.
  std::vector<std::pair<std::size_t, std::size_t>> clusters{{0, 1}};
  for (std::size_t k = 1; k < x.size(); ++k) {
    if (gaps[k - 1] > split) clusters.push_back({k, k});
    clusters.back().second = k + 1;
  }
  std::size_t line = 0;
  for (std::size_t c = 1; c < clusters.size(); ++c) {
    const auto size = [&](std::size_t i) { return clusters[i].second - clusters[i].first; };
    if (size(c) > size(line)) line = c;
  }
  const double first = x[clusters[line].first], last = x[clusters[line].second - 1];
  if (clusters[line].second - clusters[line].first < fewest_on_line) return {};
  std::vector<double> remote;
  for (std::size_t c = 0; c < clusters.size(); ++c) {
    const auto [begin, end] = clusters[c];
    if (c == line || end - begin > most_remote) continue;
    const double distance = c < line ? first - x[end - 1] : x[begin] - last;
    if (distance > remote_gap * (last - first)) {
      remote.insert(remote.end(), x.begin() + static_cast<std::ptrdiff_t>(begin),
                    x.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  return remote;
}

}  // namespace quelby
