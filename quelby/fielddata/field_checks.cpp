#include "quelby/fielddata/field_checks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <utility>

#include "quelby/fielddata/import_log.hpp"

namespace quelby {

namespace {

// The window of the local test, in electrode spacings, and how it grows where data are sparse.
constexpr double window_x = 5, window_depth = 1.5;
constexpr double widest = 4;                   // the window is widened x2, then x4
constexpr std::size_t wanted_neighbours = 12;  // widen while fewer
constexpr std::size_t least_neighbours = 5;    // judge no datum with fewer
constexpr std::size_t most_neighbours = 96;    // take candidates at even steps beyond this
constexpr double mad_to_deviation = 1.4826;    // 1 / Phi^-1(3/4): MAD to a normal deviation

// Standard deviations: "most" readings, and what is implausible for one reading.
constexpr double most = 0.5;
constexpr double smallest_relative_std = 1e-4;  // of |R|
constexpr double same_value = 0.01;             // |std - |K R|| within 1 % of |K R|

// An electrode stands out when its share of outliers is over 3 x the median electrode's, at least a
// fifth, and 3 data or more; or the median relative reciprocal error of its data is over 3 x the
// median electrode's, at least 2 %, over 3 pairs or more. At most 5 of each are named.
constexpr double stand_out_factor = 3;
constexpr double least_outlier_share = 0.2;
constexpr std::size_t least_outliers = 3;
constexpr double least_reciprocal_error = 0.02;
constexpr std::size_t least_pairs = 3;
constexpr std::size_t most_named = 5;

constexpr std::size_t most_listed = 100;  // detail lines per check in the log

double median_of(std::vector<double>& values) {
  if (values.empty()) return not_given;
  const std::size_t half = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half),
                   values.end());
  const double upper = values[half];
  if (values.size() % 2 == 1) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(half));
  return lower + (upper - lower) / 2;
}

std::string percent_text(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g %%", 100 * share);
  return text;
}

// The electrodes of a datum, a pole's missing one NaN (which equals nothing).
std::array<double, 4> electrodes_of(const FieldDatum& datum) {
  return {datum.a, datum.b == datum.a ? not_given : datum.b, datum.m,
          datum.n == datum.m ? not_given : datum.n};
}

// "line 57 (A 0 B 1 M 3 N 4)", a pole's missing electrode left out.
std::string where(const FieldDatum& datum) {
  std::string text = "line " + std::to_string(datum.line) + " (A " + log_number(datum.a);
  if (datum.b != datum.a) text += " B " + log_number(datum.b);
  text += " M " + log_number(datum.m);
  if (datum.n != datum.m) text += " N " + log_number(datum.n);
  return text + ")";
}

FieldCheck make_check(FieldCheckKind kind, std::string name) {
  FieldCheck check;
  check.kind = kind;
  check.name = std::move(name);
  return check;
}

// ---- Median depth of investigation ----

// The pairs of current and potential electrodes of an array: their distances and signs.
struct ArrayTerms {
  std::array<double, 4> distance{};
  std::array<double, 4> sign{};
  std::size_t count = 0;
};

ArrayTerms array_terms(const FieldDatum& datum) {
  ArrayTerms terms;
  const auto add = [&](double from, double to, double sign) {
    terms.distance[terms.count] = std::abs(from - to);
    terms.sign[terms.count] = sign;
    ++terms.count;
  };
  const bool pole_b = datum.b == datum.a, pole_n = datum.n == datum.m;
  add(datum.a, datum.m, 1);
  if (!pole_n) add(datum.a, datum.n, -1);
  if (!pole_b) add(datum.b, datum.m, -1);
  if (!pole_b && !pole_n) add(datum.b, datum.n, 1);
  return terms;
}

// A point electrode's characteristic z / (x^2 + 4 z^2)^(3/2) integrated from 0 to z, times 4: 1/x -
// 1/sqrt(x^2 + 4 z^2), written without the cancellation at small z.
double characteristic_integral(double x, double z) {
  const double root = std::sqrt(x * x + 4 * z * z);
  return 4 * z * z / (x * root * (root + x));
}

double median_depth_of(const ArrayTerms& given) {
  // Distances scaled by the largest, so that no square overflows or underflows.
  double largest = 0, smallest = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < given.count; ++k) {
    if (!std::isfinite(given.distance[k]) || !(given.distance[k] > 0)) return not_given;
    largest = std::max(largest, given.distance[k]);
    smallest = std::min(smallest, given.distance[k]);
  }
  ArrayTerms terms = given;
  double total = 0;
  for (std::size_t k = 0; k < terms.count; ++k) {
    terms.distance[k] /= largest;
    total += terms.sign[k] / terms.distance[k];
  }
  smallest /= largest;
  if (!std::isfinite(total) || total == 0) return not_given;
  // The share of the whole area that lies above z: 0 at the surface, 1 far below.
  const auto above = [&](double z) {
    double sum = 0;
    for (std::size_t k = 0; k < terms.count; ++k) {
      sum += terms.sign[k] * characteristic_integral(terms.distance[k], z);
    }
    return sum / total;
  };
  // Steps of 10^(1/8) down from the smallest distance / 100 to the first depth with half the area
  // above it, then bisection between it and the step before.
  const double step = std::pow(10.0, 0.125);
  double low = 0;
  for (double z = smallest / 100; z < 1e6; z *= step) {
    if (above(z) < 0.5) {
      low = z;
      continue;
    }
    double high = z;
    for (int k = 0; k < 200 && high - low > 1e-13 * high; ++k) {
      const double middle = low + (high - low) / 2;
      (above(middle) < 0.5 ? low : high) = middle;
    }
    return (low + (high - low) / 2) * largest;
  }
  return not_given;
}

// ---- The local median test ----

struct Band {
  std::int64_t id = 0;
  std::size_t begin = 0, end = 0;
};

std::int64_t band_of(double depth, double height) {
  const double quotient = std::clamp(std::floor(depth / height), -1e15, 1e15);
  return static_cast<std::int64_t>(quotient);
}

// The data of the local test sorted by band of pseudo-depth (bands as high as the narrowest
// window's depth half-width), then by x.
struct Pseudosection {
  std::vector<double> x, depth, value;  // value: log10 |K R|
  std::vector<std::size_t> index;       // into the data
  std::vector<Band> bands;
  double band_height = 0;
  double floor = 0;  // the least spread, log10
};

// The window of one datum: its neighbours lie within half_x in x and half_depth in depth.
struct Window {
  double half_x = 0, half_depth = 0;
};

struct Judgement {
  bool judged = false;
  double median = 0, score = 0;
  Window window;
};

// Room that judge reuses from datum to datum.
struct Scratch {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  std::vector<double> values, deviations;
};

// The local median and score of the datum at `at` among its neighbours that are not `excluded`.
Judgement judge(const Pseudosection& section, std::size_t at, const std::vector<bool>& excluded,
                Scratch& scratch) {
  auto& [ranges, values, deviations] = scratch;
  const double x = section.x[at], depth = section.depth[at];
  Judgement judgement;
  for (double widen = 1; widen <= widest; widen *= 2) {
    judgement.window.half_depth = widen * section.band_height;
    judgement.window.half_x = widen * window_x / window_depth * section.band_height;
    const double half_x = judgement.window.half_x, half_depth = judgement.window.half_depth;
    const std::int64_t first = band_of(depth - half_depth, section.band_height);
    const std::int64_t last = band_of(depth + half_depth, section.band_height);
    ranges.clear();
    std::size_t candidates = 0;
    auto band = std::lower_bound(section.bands.begin(), section.bands.end(), first,
                                 [](const Band& b, std::int64_t id) { return b.id < id; });
    for (; band != section.bands.end() && band->id <= last; ++band) {
      const auto begin = section.x.begin() + static_cast<std::ptrdiff_t>(band->begin);
      const auto end = section.x.begin() + static_cast<std::ptrdiff_t>(band->end);
      const auto low = std::lower_bound(begin, end, x - half_x);
      const auto high = std::upper_bound(low, end, x + half_x);
      ranges.emplace_back(static_cast<std::size_t>(low - section.x.begin()),
                          static_cast<std::size_t>(high - section.x.begin()));
      candidates += ranges.back().second - ranges.back().first;
    }
    const std::size_t stride =
        std::max<std::size_t>(1, (candidates + most_neighbours - 1) / most_neighbours);
    values.clear();
    for (const auto& [low, high] : ranges) {
      for (std::size_t k = low; k < high; k += stride) {
        if (k == at || std::abs(section.depth[k] - depth) > half_depth ||
            excluded[section.index[k]]) {
          continue;
        }
        values.push_back(section.value[k]);
      }
    }
    if (values.size() >= wanted_neighbours) break;
  }
  if (values.size() < least_neighbours) return judgement;
  judgement.judged = true;
  judgement.median = median_of(values);
  deviations.clear();
  for (const double value : values) deviations.push_back(std::abs(value - judgement.median));
  const double spread = std::max(mad_to_deviation * median_of(deviations), section.floor);
  judgement.score = std::abs(section.value[at] - judgement.median) / spread;
  return judgement;
}

// A datum of the pseudosection: x, depth and its place in the data.
struct Place {
  double x = 0, depth = 0;
  std::size_t index = 0;
};

// Whether any of the places (x increasing) other than the datum at `at` lies in its window (or may:
// true as well after looking at many).
bool window_holds(const Pseudosection& section, std::size_t at, const Window& window,
                  std::span<const Place> places) {
  const double x = section.x[at], depth = section.depth[at];
  auto place = std::lower_bound(places.begin(), places.end(), x - window.half_x,
                                [](const Place& p, double value) { return p.x < value; });
  // Past a few dozen places out of its depth range, judging the datum again costs no more.
  for (std::size_t looked = 0; place != places.end() && place->x <= x + window.half_x; ++place) {
    if (std::abs(place->depth - depth) <= window.half_depth && place->index != section.index[at]) {
      return true;
    }
    if (++looked == most_neighbours) return true;
  }
  return false;
}

// The median gap between neighbouring electrode positions; NaN with fewer than two.
double electrode_spacing(std::span<const FieldDatum> data) {
  std::vector<double> positions;
  positions.reserve(4 * data.size());
  for (const FieldDatum& datum : data) {
    for (const double x : electrodes_of(datum)) {
      if (std::isfinite(x)) positions.push_back(x);
    }
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  std::vector<double> gaps;
  for (std::size_t k = 1; k < positions.size(); ++k)
    gaps.push_back(positions[k] - positions[k - 1]);
  const double gap = median_of(gaps);
  return std::isfinite(gap) && gap > 0 ? gap : not_given;
}

// Every electrode position of the data, increasing, and the data that use each.
struct ElectrodeUse {
  std::vector<double> x;
  std::vector<std::vector<std::size_t>> data;
};

ElectrodeUse electrode_use(std::span<const FieldDatum> data) {
  ElectrodeUse use;
  for (const FieldDatum& datum : data) {
    for (const double x : electrodes_of(datum)) {
      if (!std::isnan(x)) use.x.push_back(x);
    }
  }
  std::sort(use.x.begin(), use.x.end());
  use.x.erase(std::unique(use.x.begin(), use.x.end()), use.x.end());
  use.data.resize(use.x.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::array<std::size_t, 4> seen{};
    std::size_t count = 0;
    for (const double x : electrodes_of(data[i])) {
      if (std::isnan(x)) continue;
      const auto at =
          static_cast<std::size_t>(std::lower_bound(use.x.begin(), use.x.end(), x) - use.x.begin());
      // Coinciding electrodes of different pairs count the datum once.
      if (std::find(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(count), at) !=
          seen.begin() + static_cast<std::ptrdiff_t>(count)) {
        continue;
      }
      seen[count++] = at;
      use.data[at].push_back(i);
    }
  }
  return use;
}

double relative_reciprocal_error(const FieldDatum& datum) {
  const double value = datum.reciprocal_error / std::abs(datum.resistance);
  return std::isfinite(value) ? value : not_given;
}

// The electrodes' counts of judged data, outliers and reciprocal errors.
std::vector<ElectrodeMisfit> misfits_of(std::span<const FieldDatum> data,
                                        const LocalMedianTest& local, const ElectrodeUse& use) {
  std::vector<ElectrodeMisfit> electrodes(use.x.size());
  std::vector<double> errors;
  for (std::size_t e = 0; e < use.x.size(); ++e) {
    ElectrodeMisfit& electrode = electrodes[e];
    electrode.x = use.x[e];
    errors.clear();
    for (const std::size_t i : use.data[e]) {
      if (i < local.score.size() && !std::isnan(local.score[i])) {
        ++electrode.data;
        electrode.outliers += std::binary_search(local.outliers.begin(), local.outliers.end(), i);
      }
      const double error = relative_reciprocal_error(data[i]);
      if (!std::isnan(error)) errors.push_back(error);
    }
    electrode.paired = errors.size();
    electrode.reciprocal_error = median_of(errors);
  }
  return electrodes;
}

// ---- The checks ----

FieldCheck deviation_check(std::span<const FieldDatum> data) {
  FieldCheck check = make_check(FieldCheckKind::deviations, "standard deviations");
  std::vector<double> ratios;
  std::vector<std::size_t> large, small, apparent;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const FieldDatum& datum = data[i];
    const double magnitude = std::abs(datum.resistance);
    if (!std::isfinite(datum.std) || !std::isfinite(magnitude) || magnitude == 0) continue;
    const double ratio = datum.std / magnitude;
    ratios.push_back(ratio);
    if (ratio > 1) large.push_back(i);
    if (ratio < smallest_relative_std) small.push_back(i);
    const double rho = std::abs(datum.geometric_factor * datum.resistance);
    if (std::isfinite(rho) && rho > 0 && std::abs(datum.std - rho) <= same_value * rho) {
      apparent.push_back(i);
    }
  }
  if (ratios.empty()) {
    check.summary = "no standard deviations in the file";
    return check;
  }
  const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
  const double minimum = *lowest, maximum = *highest;
  const std::size_t count = ratios.size();
  const double middle = median_of(ratios);
  check.summary = "std / |R| from " + log_number(minimum) + " to " + log_number(maximum) +
                  ", median " + log_number(middle) + ", over " + count_text(count, "datum");
  const auto most_of = [&](const std::vector<std::size_t>& some) {
    return static_cast<double>(some.size()) > most * static_cast<double>(count);
  };
  if (most_of(apparent)) {
    check.fired = true;
    check.summary +=
        "; most equal |rho_a| = |K R|: the file's error column seems to hold the apparent "
        "resistivity";
    for (const std::size_t i : apparent) {
      check.details.push_back(where(data[i]) + ": std " + log_number(data[i].std) + " ohm, |K R| " +
                              log_number(std::abs(data[i].geometric_factor * data[i].resistance)) +
                              " ohm m");
    }
    check.data = apparent;
    return check;
  }
  if (most_of(large)) {
    check.fired = true;
    check.summary += "; most exceed |R|";
  }
  if (most_of(small)) {
    check.fired = true;
    check.summary += "; most are below 1e-4 |R|";
  }
  std::vector<std::size_t> concerned;
  std::merge(large.begin(), large.end(), small.begin(), small.end(), std::back_inserter(concerned));
  for (const std::size_t i : concerned) {
    check.details.push_back(where(data[i]) + ": std " + log_number(data[i].std) + " ohm, |R| " +
                            log_number(std::abs(data[i].resistance)) + " ohm");
  }
  check.data = std::move(concerned);
  return check;
}

FieldCheck negative_check(std::span<const FieldDatum> data, const FieldCheckSettings& settings,
                          FieldChecks& checks) {
  FieldCheck check = make_check(FieldCheckKind::negative_values, "negative values");
  std::size_t resistivities = 0, negative_resistivities = 0;
  std::size_t chargeabilities = 0, negative_chargeabilities = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const FieldDatum& datum = data[i];
    const double rho = datum.geometric_factor * datum.resistance;
    const bool resistivity = std::isfinite(rho), chargeability = std::isfinite(datum.chargeability);
    const bool negative_resistivity = resistivity && rho < 0;
    const bool negative_chargeability = chargeability && datum.chargeability < 0;
    resistivities += resistivity;
    chargeabilities += chargeability;
    negative_resistivities += negative_resistivity;
    negative_chargeabilities += negative_chargeability;
    if (!negative_resistivity && !negative_chargeability) continue;
    std::string detail = where(datum) + ":";
    if (negative_resistivity) detail += " rho_a " + log_number(rho) + " ohm m";
    if (negative_chargeability) detail += " chargeability " + log_number(datum.chargeability);
    check.details.push_back(std::move(detail));
    check.data.push_back(i);
  }
  const auto share = [](std::size_t some, std::size_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(some) / static_cast<double>(whole);
  };
  checks.negative_resistivity_share = share(negative_resistivities, resistivities);
  checks.negative_chargeability_share = share(negative_chargeabilities, chargeabilities);
  check.summary = std::to_string(negative_resistivities) + " of " + std::to_string(resistivities) +
                  " apparent resistivit" + (resistivities == 1 ? "y" : "ies") + " (" +
                  percent_text(checks.negative_resistivity_share) + ")";
  if (chargeabilities == 0) {
    check.summary += "; no chargeabilities";
  } else {
    check.summary += ", " + std::to_string(negative_chargeabilities) + " of " +
                     std::to_string(chargeabilities) + " apparent chargeabilit" +
                     (chargeabilities == 1 ? "y" : "ies") + " (" +
                     percent_text(checks.negative_chargeability_share) + ")";
  }
  check.fired = checks.negative_resistivity_share > settings.negative_resistivity_share ||
                checks.negative_chargeability_share > settings.negative_chargeability_share;
  if (checks.negative_chargeability_share > most) {
    check.summary += "; most chargeabilities are negative: the file may use the opposite sign";
  }
  return check;
}

FieldCheck geometric_factor_check(std::span<const FieldDatum> data,
                                  const FieldCheckSettings& settings) {
  FieldCheck check = make_check(FieldCheckKind::geometric_factors, "geometric factors");
  double largest = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const double k = std::abs(data[i].geometric_factor);
    if (!std::isfinite(k)) continue;
    largest = std::max(largest, k);
    if (k > settings.geometric_factor_limit) {
      check.data.push_back(i);
      check.details.push_back(where(data[i]) + ": K " + log_number(data[i].geometric_factor) +
                              " m");
    }
  }
  const std::string limit = log_number(settings.geometric_factor_limit);
  if (check.data.empty()) {
    check.summary = "none with |K| over " + limit + " m (largest " + log_number(largest) + " m)";
  } else {
    check.fired = true;
    check.summary = count_text(check.data.size(), "datum") + " with |K| over " + limit +
                    " m (largest " + log_number(largest) +
                    " m), whose rho_a carries the noise of R times |K|";
  }
  return check;
}

FieldCheck outlier_check(std::span<const FieldDatum> data, const LocalMedianTest& local,
                         const FieldCheckSettings& settings) {
  FieldCheck check = make_check(FieldCheckKind::outliers, "outliers");
  check.data = local.outliers;
  check.fired = !local.outliers.empty();
  check.summary = std::to_string(local.outliers.size()) + " of the " +
                  count_text(local.judged, "datum") +
                  " judged lie far from their neighbours in the pseudosection (|log10 rho_a - "
                  "local median| over " +
                  log_number(settings.outlier_threshold) + " robust deviations)";
  if (local.without_value + local.without_neighbours > 0) {
    check.summary += "; not judged: " + std::to_string(local.without_value) +
                     " without a value or pseudo-depth, " +
                     std::to_string(local.without_neighbours) + " with too few neighbours";
  }
  for (const std::size_t i : local.outliers) {
    const FieldDatum& datum = data[i];
    check.details.push_back(
        where(datum) + ": rho_a " + log_number(datum.geometric_factor * datum.resistance) +
        " ohm m, its neighbours' median " + log_number(local.local_median[i]) + " ohm m, " +
        log_number(local.score[i]) + " deviations off, at x " + log_number(local.midpoint[i]) +
        " m, pseudo-depth " + log_number(local.depth[i]) + " m");
  }
  return check;
}

// The shares of outliers among the data of the electrodes with enough judged data.
std::vector<double> outlier_shares(const std::vector<ElectrodeMisfit>& electrodes) {
  std::vector<double> shares;
  for (const ElectrodeMisfit& electrode : electrodes) {
    if (electrode.data >= least_outliers) {
      shares.push_back(static_cast<double>(electrode.outliers) /
                       static_cast<double>(electrode.data));
    }
  }
  return shares;
}

// The median relative reciprocal errors of the electrodes with enough pairs.
std::vector<double> reciprocal_errors(const std::vector<ElectrodeMisfit>& electrodes) {
  std::vector<double> errors;
  for (const ElectrodeMisfit& electrode : electrodes) {
    if (electrode.paired >= least_pairs) errors.push_back(electrode.reciprocal_error);
  }
  return errors;
}

// Names the electrodes that stand out, worst first: each one named explains its data, so that an
// electrode beside a faulty one (sharing half its data) is named only for data of its own.
std::vector<ElectrodeMisfit> suspect_electrodes(std::span<const FieldDatum> data,
                                                const LocalMedianTest& local,
                                                const ElectrodeUse& use,
                                                const std::vector<ElectrodeMisfit>& all) {
  std::vector<ElectrodeMisfit> named;
  std::vector<bool> outlier(data.size(), false);
  for (const std::size_t i : local.outliers) outlier[i] = true;

  std::vector<double> shares = outlier_shares(all);
  const double share_bar =
      shares.empty() ? least_outlier_share
                     : std::max(stand_out_factor * median_of(shares), least_outlier_share);
  std::vector<bool> explained(data.size(), false), taken(all.size(), false);
  for (std::size_t round = 0; round < most_named; ++round) {
    std::size_t best = all.size();
    double best_share = 0;
    for (std::size_t e = 0; e < all.size(); ++e) {
      if (taken[e] || all[e].data == 0) continue;
      std::size_t count = 0;
      for (const std::size_t i : use.data[e]) count += outlier[i] && !explained[i];
      const double share = static_cast<double>(count) / static_cast<double>(all[e].data);
      if (count >= least_outliers && share > share_bar && share > best_share) {
        best = e, best_share = share;
      }
    }
    if (best == all.size()) break;
    taken[best] = true;
    named.push_back(all[best]);
    named.back().by_outliers = true;
    for (const std::size_t i : use.data[best]) explained[i] = true;
  }

  std::vector<double> errors = reciprocal_errors(all);
  if (errors.empty()) return named;
  const double error_bar = std::max(stand_out_factor * median_of(errors), least_reciprocal_error);
  std::fill(explained.begin(), explained.end(), false);
  std::vector<bool> taken_by_error(all.size(), false);
  std::vector<double> values;
  for (std::size_t round = 0; round < most_named; ++round) {
    std::size_t best = all.size();
    double best_error = error_bar;
    for (std::size_t e = 0; e < all.size(); ++e) {
      if (taken_by_error[e]) continue;
      values.clear();
      for (const std::size_t i : use.data[e]) {
        const double value = relative_reciprocal_error(data[i]);
        if (!explained[i] && !std::isnan(value)) values.push_back(value);
      }
      if (values.size() < least_pairs) continue;
      const double error = median_of(values);
      if (error > best_error) best = e, best_error = error;
    }
    if (best == all.size()) break;
    taken_by_error[best] = true;
    for (const std::size_t i : use.data[best]) explained[i] = true;
    const auto same = std::find_if(named.begin(), named.end(),
                                   [&](const ElectrodeMisfit& e) { return e.x == all[best].x; });
    if (same != named.end()) {
      same->by_reciprocals = true;
    } else {
      named.push_back(all[best]);
      named.back().by_reciprocals = true;
    }
  }
  return named;
}

FieldCheck electrode_check(std::span<const FieldDatum> data, const LocalMedianTest& local,
                           const ElectrodeUse& use, FieldChecks& checks) {
  FieldCheck check = make_check(FieldCheckKind::electrodes, "electrodes");
  checks.suspects = suspect_electrodes(data, local, use, checks.electrodes);
  std::vector<double> shares = outlier_shares(checks.electrodes);
  std::vector<double> errors = reciprocal_errors(checks.electrodes);
  std::string typical;
  if (!shares.empty()) {
    typical =
        "; the median electrode has " + percent_text(median_of(shares)) + " of its data outliers";
  }
  if (!errors.empty()) {
    typical += std::string(shares.empty() ? "; the median electrode has" : " and") +
               " a median reciprocal error of " + percent_text(median_of(errors)) + " of |R|";
  }
  if (checks.suspects.empty()) {
    check.summary =
        "none of " + count_text(checks.electrodes.size(), "electrode") + " stands out" + typical;
    return check;
  }
  check.fired = true;
  check.summary = count_text(checks.suspects.size(), "electrode") + " stand" +
                  (checks.suspects.size() == 1 ? "s" : "") + " out:";
  for (const ElectrodeMisfit& electrode : checks.suspects) {
    check.summary += " x " + log_number(electrode.x) + " m;";
  }
  check.summary.pop_back();
  check.summary += typical;
  const auto at = [&](double x) {
    return static_cast<std::size_t>(std::lower_bound(use.x.begin(), use.x.end(), x) -
                                    use.x.begin());
  };
  for (const ElectrodeMisfit& electrode : checks.suspects) {
    std::string detail = "x " + log_number(electrode.x) +
                         " m: " + std::to_string(electrode.outliers) + " of " +
                         count_text(electrode.data, "datum") + " outliers";
    if (electrode.data > 0) {
      detail += " (" +
                percent_text(static_cast<double>(electrode.outliers) /
                             static_cast<double>(electrode.data)) +
                ")";
    }
    if (electrode.paired > 0) {
      detail += ", median reciprocal error " + percent_text(electrode.reciprocal_error) +
                " of |R| over " + count_text(electrode.paired, "pair");
    }
    std::vector<std::size_t> lines;
    for (const std::size_t i : use.data[at(electrode.x)]) {
      check.data.push_back(i);
      const bool is_outlier = std::binary_search(local.outliers.begin(), local.outliers.end(), i);
      if (is_outlier) lines.push_back(data[i].line);
    }
    if (!lines.empty()) {
      std::sort(lines.begin(), lines.end());
      detail += "; outliers on lines";
      for (std::size_t k = 0; k < lines.size() && k < 20; ++k) {
        detail += " " + std::to_string(lines[k]);
      }
      if (lines.size() > 20) detail += " ...";
    }
    check.details.push_back(std::move(detail));
  }
  std::sort(check.data.begin(), check.data.end());
  check.data.erase(std::unique(check.data.begin(), check.data.end()), check.data.end());
  return check;
}

}  // namespace

double median_depth(const FieldDatum& datum) {
  return median_depth_of(array_terms(datum));
}

std::vector<double> pseudo_depths(std::span<const FieldDatum> data) {
  // The depth depends on the distances AM, AN, BM, BN alone: many data share them.
  std::map<std::array<double, 4>, double> known;
  std::vector<double> depths;
  depths.reserve(data.size());
  for (const FieldDatum& datum : data) {
    const ArrayTerms terms = array_terms(datum);
    std::array<double, 4> key{-1, -1, -1, -1};
    for (std::size_t k = 0; k < terms.count; ++k) key[k] = terms.sign[k] * terms.distance[k];
    // A NaN key would not order: such an array has no depth.
    if (std::any_of(key.begin(), key.end(), [](double x) { return std::isnan(x); })) {
      depths.push_back(not_given);
      continue;
    }
    const auto found = known.find(key);
    if (found != known.end()) {
      depths.push_back(found->second);
    } else {
      const double depth = median_depth_of(terms);
      known.emplace(key, depth);
      depths.push_back(depth);
    }
  }
  return depths;
}

LocalMedianTest local_median_test(std::span<const FieldDatum> data,
                                  const FieldCheckSettings& settings) {
  LocalMedianTest test;
  const std::size_t count = data.size();
  test.depth = pseudo_depths(data);
  test.midpoint.resize(count);
  test.spacing = electrode_spacing(data);
  Pseudosection section;
  section.band_height = window_depth * test.spacing;
  section.floor = std::log10(1 + settings.outlier_floor);
  struct Entry {
    std::int64_t band;
    double x, depth, value;
    std::size_t index;
  };
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < count; ++i) {
    const FieldDatum& datum = data[i];
    test.midpoint[i] = ((datum.a + datum.b) / 2 + (datum.m + datum.n) / 2) / 2;
    const double value = std::log10(std::abs(datum.geometric_factor * datum.resistance));
    if (!std::isfinite(value) || !std::isfinite(test.depth[i]) ||
        !std::isfinite(test.midpoint[i]) || !std::isfinite(test.spacing)) {
      ++test.without_value;
      continue;
    }
    entries.push_back(
        {band_of(test.depth[i], section.band_height), test.midpoint[i], test.depth[i], value, i});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& p, const Entry& q) {
    return p.band != q.band ? p.band < q.band : p.x != q.x ? p.x < q.x : p.index < q.index;
  });
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const Entry& entry = entries[k];
    section.x.push_back(entry.x);
    section.depth.push_back(entry.depth);
    section.value.push_back(entry.value);
    section.index.push_back(entry.index);
    if (section.bands.empty() || section.bands.back().id != entry.band) {
      section.bands.push_back({entry.band, k, k});
    }
    section.bands.back().end = k + 1;
  }

  // The first pass judges every datum among all its neighbours; the second among those the first
  // left unflagged, so that the data of a faulty electrode, which crowd the pseudosection around
  // it, no longer pull the median of the sound data beside them. A datum whose window holds no
  // flagged datum keeps its first judgement.
  const std::size_t points = entries.size();
  std::vector<bool> flagged(count, false);
  Scratch scratch;
  std::vector<Judgement> judgements(points);
  std::vector<Place> flagged_places;
  for (std::size_t k = 0; k < points; ++k) {
    judgements[k] = judge(section, k, flagged, scratch);
    if (judgements[k].judged && judgements[k].score > settings.outlier_threshold) {
      flagged[section.index[k]] = true;
      flagged_places.push_back({section.x[k], section.depth[k], section.index[k]});
    }
  }
  std::sort(flagged_places.begin(), flagged_places.end(),
            [](const Place& p, const Place& q) { return p.x < q.x; });
  test.score.assign(count, not_given);
  test.local_median.assign(count, not_given);
  for (std::size_t k = 0; k < points; ++k) {
    const Judgement second = window_holds(section, k, judgements[k].window, flagged_places)
                                 ? judge(section, k, flagged, scratch)
                                 : judgements[k];
    const std::size_t i = section.index[k];
    if (!second.judged) {
      ++test.without_neighbours;
      continue;
    }
    test.score[i] = second.score;
    test.local_median[i] = std::pow(10.0, second.median);
    ++test.judged;
    if (second.score > settings.outlier_threshold) test.outliers.push_back(i);
  }
  std::sort(test.outliers.begin(), test.outliers.end());
  return test;
}

std::vector<ElectrodeMisfit> electrode_misfits(std::span<const FieldDatum> data,
                                               const LocalMedianTest& local) {
  return misfits_of(data, local, electrode_use(data));
}

FieldChecks check_field_data(std::span<const FieldDatum> data, const FieldCheckSettings& settings) {
  FieldChecks checks;
  checks.local = local_median_test(data, settings);
  checks.outliers = checks.local.outliers;
  const ElectrodeUse use = electrode_use(data);
  checks.electrodes = misfits_of(data, checks.local, use);
  checks.checks.push_back(deviation_check(data));
  checks.checks.push_back(negative_check(data, settings, checks));
  checks.checks.push_back(geometric_factor_check(data, settings));
  checks.checks.push_back(outlier_check(data, checks.local, settings));
  checks.checks.push_back(electrode_check(data, checks.local, use, checks));
  return checks;
}

std::string check_section_text(const FieldChecks& checks) {
  std::string text = "checks:\n";
  for (const FieldCheck& check : checks.checks) {
    text += "  " + check.name + (check.fired ? " (warning): " : ": ") + check.summary + "\n";
    const std::size_t listed = std::min(check.details.size(), most_listed);
    for (std::size_t k = 0; k < listed; ++k) text += "    " + check.details[k] + "\n";
    if (check.details.size() > listed) {
      text += "    ... and " + std::to_string(check.details.size() - listed) + " more\n";
    }
  }
  return text;
}

std::vector<std::string> check_warnings(const FieldChecks& checks) {
  std::vector<std::string> lines;
  for (const FieldCheck& check : checks.checks) {
    if (check.fired) lines.push_back("warning: " + check.name + ": " + check.summary);
  }
  return lines;
}

}  // namespace quelby
