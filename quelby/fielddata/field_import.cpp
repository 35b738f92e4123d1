#include "quelby/fielddata/field_import.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_datum.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/geometric_factors.hpp"
#include "quelby/fielddata/import_log.hpp"
#include "quelby/fielddata/remote_electrodes.hpp"
#include "quelby/survey/survey_arrays.hpp"

namespace quelby {

namespace {

// Electrodes closer than this (m) to a --drop-electrode position are that electrode.
constexpr double same_place = 1e-6;

double chargeability_scale(const FieldSurvey& survey, std::string& unit, std::string& note) {
  switch (survey.chargeability_unit) {
    case ChargeabilityUnit::none:
      return 1;
    case ChargeabilityUnit::millivolt_per_volt:
      unit = "mV/V";
      note = "chargeability in mV/V";
      return 1;
    case ChargeabilityUnit::percent:
      unit = "mV/V";
      note = "chargeability in % turned into mV/V (x 10)";
      return 10;
    case ChargeabilityUnit::milliseconds:
      if (survey.chargeability_window > 0) {
        unit = "mV/V";
        note = "integral chargeability in ms turned into mV/V over the file's window of " +
               log_number(survey.chargeability_window) + " s (divided by " +
               log_number(survey.chargeability_window) + ")";
        return 1 / survey.chargeability_window;
      }
      unit = "ms";
      note = "integral chargeability kept in ms: the file states no integration window";
      return 1;
    case ChargeabilityUnit::milliradians:
      unit = "mrad";
      note = "IP kept as a phase in mrad (no chargeability in mV/V follows from it)";
      return 1;
    case ChargeabilityUnit::other:
      unit = survey.chargeability_unit_text;
      note = "IP kept in the file's unit " + quoted_text(survey.chargeability_unit_text);
      return 1;
  }
  return 1;
}

// The state of one import while its steps run.
class Import {
 public:
  Import(const Io& io, std::string_view input, const ImportOptions& options)
      : io_(io), options_(options), input_(trim_trailing_blanks(input)) {}

  ImportResult run();

 private:
  void count_drop(const std::string& reason);
  void drop(std::size_t line, const std::string& reason, const std::string& detail = {});
  // The same for a datum the filters drop: its electrodes go into the list and the tally.
  void drop(const FieldDatum& datum, const std::string& reason, const std::string& detail = {});
  void build_data();
  void find_ground();
  void apply_ground_factors();
  void filter_values();
  void pair_and_fit();
  void give_deviations();
  void make_stores();
  // "Error: <text>" (console, then run log); the detail names the file and `what`, one line.
  [[noreturn]] void stop(const std::string& text, const std::string& what) const;

  const Io& io_;
  const ImportOptions& options_;
  std::string input_;
  FieldSurvey survey_;
  ImportResult result_;
  ImportSummary summary_;
  // Per datum: the source reading (for the filters that read its raw values).
  std::vector<FieldDatum> data_;
  std::vector<const FieldReading*> reading_of_;
  std::vector<double> file_factor_;  // the file's K per datum, NaN where none
  double chargeability_factor_ = 1;
  std::vector<double> ip_deviation_;  // per datum with IP
};

void Import::stop(const std::string& text, const std::string& what) const {
  stop_with(io_, Order::console_then_log, "\nError: " + text + "\n", exit_failure,
            line_detail(input_, 0, what));
}

void Import::count_drop(const std::string& reason) {
  auto at = std::find_if(result_.dropped.begin(), result_.dropped.end(),
                         [&](const auto& entry) { return entry.first == reason; });
  if (at == result_.dropped.end()) {
    result_.dropped.push_back({reason, 0});
    at = result_.dropped.end() - 1;
  }
  ++at->second;
}

void Import::drop(std::size_t line, const std::string& reason, const std::string& detail) {
  count_drop(reason);
  summary_.dropped_lines.push_back("  line " + std::to_string(line) + ": " + reason +
                                   (detail.empty() ? "" : " (" + detail + ")"));
}

void Import::drop(const FieldDatum& datum, const std::string& reason, const std::string& detail) {
  count_drop(reason);
  summary_.dropped_lines.push_back("  line " + std::to_string(datum.line) + " (A " +
                                   log_number(datum.a) + " B " + log_number(datum.b) + " M " +
                                   log_number(datum.m) + " N " + log_number(datum.n) +
                                   "): " + reason + (detail.empty() ? "" : " (" + detail + ")"));
  ++summary_.electrode_drops[datum.a];
  ++summary_.electrode_drops[datum.m];
  if (datum.b != datum.a) ++summary_.electrode_drops[datum.b];
  if (datum.n != datum.m) ++summary_.electrode_drops[datum.n];
}

// The data from the readings: remote electrodes made poles, geometry checked, the values that
// need no geometric factor taken.
void Import::build_data() {
  summary_.remote = remote_positions(survey_);
  const auto is_remote = [&](double x) {
    return std::binary_search(summary_.remote.begin(), summary_.remote.end(), x);
  };
  for (const FieldReading& reading : survey_.readings) {
    if (!reading.valid) {
      drop(reading.line, "marked invalid in the file");
      continue;
    }
    std::array<FieldElectrode, 4> e = reading.electrodes;
    for (FieldElectrode& electrode : e) {
      if (electrode.present && is_remote(electrode.x)) electrode.present = false;
    }
    if (!e[electrode_a].present && !e[electrode_b].present) {
      drop(reading.line, "no current electrode on the line");
      continue;
    }
    if (std::any_of(e.begin(), e.end(), [](const FieldElectrode& electrode) {
          return electrode.present && !std::isfinite(electrode.x);
        })) {
      drop(reading.line, "an electrode position that is not a finite number");
      continue;
    }
    if (!e[electrode_m].present && !e[electrode_n].present) {
      drop(reading.line, "no potential electrode on the line");
      continue;
    }
    // A pole of B (or N) becomes one of A (or M): the datum's sign turns with the exchange.
    double sign = 1;
    if (!e[electrode_a].present) {
      std::swap(e[electrode_a], e[electrode_b]);
      sign = -sign;
    }
    if (!e[electrode_m].present) {
      std::swap(e[electrode_m], e[electrode_n]);
      sign = -sign;
    }
    FieldDatum datum;
    datum.line = reading.line;
    datum.a = e[electrode_a].x;
    datum.b = e[electrode_b].present ? e[electrode_b].x : datum.a;
    datum.m = e[electrode_m].x;
    datum.n = e[electrode_n].present ? e[electrode_n].x : datum.m;
    if (e[electrode_b].present && datum.b == datum.a) {
      drop(reading.line, "the two current electrodes at one place");
      continue;
    }
    if (e[electrode_n].present && datum.n == datum.m) {
      drop(reading.line, "the two potential electrodes at one place");
      continue;
    }
    if (datum.a == datum.m || datum.a == datum.n || datum.b == datum.m || datum.b == datum.n) {
      drop(reading.line, "a current electrode on a potential electrode");
      continue;
    }
    bool dropped = false;
    for (const double x : options_.drop_electrodes) {
      for (const FieldElectrode& electrode : e) {
        if (electrode.present && std::abs(electrode.x - x) <= same_place && !dropped) {
          drop(reading.line, "an electrode given to --drop-electrode", "x = " + log_number(x));
          dropped = true;
        }
      }
    }
    if (dropped) continue;
    if (std::isfinite(reading.resistance)) {
      datum.resistance = sign * reading.resistance;
      ++summary_.from_resistance;
    } else if (std::isfinite(reading.voltage) && std::isfinite(reading.current) &&
               reading.current != 0) {
      datum.resistance = sign * (reading.voltage / reading.current);
      ++summary_.from_voltage;
    }
    datum.current = std::abs(reading.current);
    datum.chargeability = reading.chargeability;
    datum.chargeability_std = reading.chargeability_std;
    data_.push_back(datum);
    reading_of_.push_back(&reading);
    // The file's K belongs to its own electrode order, as does its apparent resistivity.
    file_factor_.push_back(std::isfinite(reading.geometric_factor) && reading.geometric_factor != 0
                               ? sign * reading.geometric_factor
                               : not_given);
  }
}

// The ground under the electrodes: their elevations and the file's topography points.
void Import::find_ground() {
  std::map<double, double> ground;
  for (const FieldReading& reading : survey_.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isfinite(electrode.elevation) && std::isfinite(electrode.x) &&
          !std::binary_search(summary_.remote.begin(), summary_.remote.end(), electrode.x)) {
        ground.emplace(electrode.x, electrode.elevation);
      }
    }
  }
  for (const auto& point : survey_.topography) {
    if (std::isfinite(point[1])) ground.emplace(point[0], point[1]);
  }
  if (ground.empty()) return;
  double lowest = ground.begin()->second, highest = lowest;
  for (const auto& [x, elevation] : ground) {
    lowest = std::min(lowest, elevation);
    highest = std::max(highest, elevation);
  }
  if (lowest == highest) {
    summary_.notes.push_back("elevations: all " + log_number(lowest) +
                             " m, flat ground (no topography file)");
    return;
  }
  for (const auto& [x, elevation] : ground) {
    result_.topography_x.push_back(x);
    result_.topography_elevation.push_back(elevation);
  }
  result_.reference_elevation = highest;
}

// Geometric factors of the ground for the data: the file's where it gives them, else flat or
// numeric; resistances from apparent resistivities.
void Import::apply_ground_factors() {
  const bool topography = !result_.topography_x.empty();
  const bool numeric =
      options_.geometric_factors == GeometricFactorChoice::numeric ||
      (options_.geometric_factors == GeometricFactorChoice::automatic && topography);
  std::vector<double> ground(data_.size(), not_given);
  bool needed = false;
  for (std::size_t i = 0; i < data_.size(); ++i) needed = needed || std::isnan(file_factor_[i]);
  if (needed && numeric && !data_.empty()) {
    std::vector<double> x = result_.topography_x, elevation = result_.topography_elevation;
    if (x.empty()) {
      // Flat ground asked for numeric factors: a level surface over the electrodes.
      double low = data_.front().a, high = low;
      for (const FieldDatum& datum : data_) {
        for (const double position : {datum.a, datum.b, datum.m, datum.n}) {
          low = std::min(low, position);
          high = std::max(high, position);
        }
      }
      x = {low, high};
      elevation = {0, 0};
    }
    ground = numeric_geometric_factors(io_, data_, x, elevation);
    summary_.ground_factors = topography ? "numeric, of the forward model over the ground"
                                         : "numeric, of the forward model over flat ground";
  } else {
    for (std::size_t i = 0; i < data_.size(); ++i) ground[i] = flat_geometric_factor(data_[i]);
    summary_.ground_factors = "flat-surface";
  }
  for (std::size_t i = 0; i < data_.size(); ++i) {
    FieldDatum& datum = data_[i];
    datum.geometric_factor = std::isfinite(file_factor_[i]) ? file_factor_[i] : ground[i];
    if (std::isnan(datum.resistance)) {
      const double apparent = reading_of_[i]->apparent_resistivity;
      // The sign of a pole made from B or N turned the factor already.
      if (std::isfinite(apparent) && std::isfinite(datum.geometric_factor)) {
        const double own_factor = datum.geometric_factor;
        datum.resistance = apparent / own_factor;
        if (std::isfinite(file_factor_[i])) {
          ++summary_.from_file_factor;
        } else {
          ++summary_.from_ground_factor;
        }
      }
    }
  }
}

void Import::filter_values() {
  std::vector<FieldDatum> kept;
  for (std::size_t i = 0; i < data_.size(); ++i) {
    const FieldDatum& datum = data_[i];
    const FieldReading& reading = *reading_of_[i];
    if (!std::isfinite(datum.resistance)) {
      drop(datum, "no value (no resistance, voltage and current, or apparent resistivity)");
      continue;
    }
    if (datum.resistance == 0) {
      drop(datum, "a resistance of zero");
      continue;
    }
    if (options_.max_deviation && std::isfinite(reading.deviation) &&
        reading.deviation > *options_.max_deviation) {
      drop(datum, "stacking deviation above " + log_number(*options_.max_deviation) + " %",
           log_number(reading.deviation) + " %");
      continue;
    }
    if (options_.min_current && std::isfinite(reading.current) &&
        std::abs(reading.current) < *options_.min_current) {
      drop(datum, "current below " + log_number(*options_.min_current) + " A",
           log_number(std::abs(reading.current)) + " A");
      continue;
    }
    const double voltage = std::isfinite(reading.voltage) ? std::abs(reading.voltage)
                           : std::isfinite(reading.current)
                               ? std::abs(datum.resistance * reading.current)
                               : not_given;
    if (options_.min_voltage && std::isfinite(voltage) && voltage < *options_.min_voltage) {
      drop(datum, "voltage below " + log_number(*options_.min_voltage) + " V",
           log_number(voltage) + " V");
      continue;
    }
    const double apparent = datum.geometric_factor * datum.resistance;
    if (!options_.keep_negative && std::isfinite(apparent) && apparent < 0) {
      drop(datum, "negative apparent resistivity", log_number(apparent) + " ohm-m");
      continue;
    }
    FieldDatum copy = datum;
    if (std::isfinite(reading.std) && reading.std > 0) {
      copy.std = reading.std;
    } else if (std::isfinite(reading.relative_error) && reading.relative_error > 0) {
      copy.std = reading.relative_error * std::abs(copy.resistance);
    }
    kept.push_back(copy);
  }
  data_ = std::move(kept);
  reading_of_.clear();  // the readings no longer follow the data once they are merged
  summary_.duplicates_removed = average_duplicates(data_);
  if (summary_.duplicates_removed > 0) {
    for (const FieldDatum& datum : data_) summary_.duplicate_groups += datum.readings > 1 ? 1 : 0;
  }
}

void Import::pair_and_fit() {
  if (!options_.reciprocal && !options_.max_reciprocal_error) return;
  summary_.paired = true;
  pair_reciprocals(data_);
  if (options_.max_reciprocal_error) {
    std::vector<FieldDatum> kept;
    for (const FieldDatum& datum : data_) {
      const double percent = 100 * datum.reciprocal_error / std::abs(datum.resistance);
      if (datum.reciprocal_line > 0 && percent > *options_.max_reciprocal_error) {
        drop(datum, "reciprocal error above " + log_number(*options_.max_reciprocal_error) + " %",
             log_number(percent) + " %, with line " + std::to_string(datum.reciprocal_line));
        continue;
      }
      kept.push_back(datum);
    }
    data_ = std::move(kept);
  }
  std::vector<FieldDatum> kept;
  for (const FieldDatum& datum : data_) {
    if (datum.reciprocal_line == 0) {
      ++summary_.unpaired;
      if (options_.drop_unpaired) {
        drop(datum, "no reciprocal reading (--drop-unpaired)");
        continue;
      }
    }
    kept.push_back(datum);
  }
  data_ = std::move(kept);
  ReciprocalPairs& pairs = result_.pairs;
  std::vector<double> magnitudes, ip_magnitudes, ip_errors, all_magnitudes;
  for (const FieldDatum& datum : data_) {
    all_magnitudes.push_back(std::abs(datum.resistance));
    if (datum.reciprocal_line == 0) continue;
    pairs.mean.push_back(datum.resistance);
    pairs.error.push_back(datum.reciprocal_error);
    pairs.line.push_back(datum.line);
    pairs.reciprocal_line.push_back(datum.reciprocal_line);
    pairs.chargeability_error.push_back(datum.chargeability_error * chargeability_factor_);
    magnitudes.push_back(std::abs(datum.resistance));
    if (std::isfinite(datum.chargeability_error)) {
      ip_magnitudes.push_back(std::abs(datum.resistance));
      ip_errors.push_back(datum.chargeability_error * chargeability_factor_);
    }
  }
  if (!options_.reciprocal) return;
  pairs.fit = fit_error_models(magnitudes, pairs.error, all_magnitudes);
  if (!pairs.fit.kept.usable) {
    stop(magnitudes.size() < 4
             ? "--reciprocal: " + count_text(magnitudes.size(), "pair") +
                   " of normal and reciprocal" + " readings in " + input_ +
                   "; an error model needs at least 4"
             : "--reciprocal: no error model fits the " + count_text(magnitudes.size(), "pair") +
                   " of " + input_ + " (their differences are all zero or not finite)",
         count_text(magnitudes.size(), "reciprocal pair"));
  }
  std::vector<double> ip_all;
  for (const FieldDatum& datum : data_) {
    if (std::isfinite(datum.chargeability)) ip_all.push_back(std::abs(datum.resistance));
  }
  if (ip_errors.size() >= 4) {
    pairs.chargeability_fit = fit_error_models(ip_magnitudes, ip_errors, ip_all);
  }
}

void Import::give_deviations() {
  const bool model = options_.reciprocal && result_.pairs.fit.kept.usable;
  const bool given =
      options_.error_percent > 0 || options_.error_floor > 0 || options_.error_voltage > 0;
  std::size_t without_current = 0;
  bool all_file = !data_.empty();
  for (const FieldDatum& datum : data_) all_file = all_file && std::isfinite(datum.std);
  if (model || given) {
    for (FieldDatum& datum : data_) {
      const double magnitude = std::abs(datum.resistance);
      double deviation = model ? result_.pairs.fit.kept(magnitude) : 0;
      if (given) {
        double own = options_.error_percent / 100 * magnitude + options_.error_floor;
        if (options_.error_voltage > 0) {
          if (std::isfinite(datum.current) && datum.current > 0) {
            own += options_.error_voltage / datum.current;
          } else {
            ++without_current;
          }
        }
        deviation = std::max(deviation, own);
      }
      datum.std = deviation;
    }
    const std::string own =
        log_number(options_.error_percent) + " % of |R| + " + log_number(options_.error_floor) +
        " ohm" +
        (options_.error_voltage > 0 ? " + " + log_number(options_.error_voltage) + " V / |I|"
                                    : std::string());
    summary_.deviations = model && given ? "the larger of the error model and " + own
                          : model
                              ? "the error model, " + result_.pairs.fit.kept.formula() + " (ohm)"
                              : own;
    if (without_current > 0) {
      summary_.deviations +=
          " (" + count_text(without_current, "datum") + " without a current: no voltage term)";
    }
    result_.data_stds = true;
  } else if (all_file) {
    summary_.deviations = "the file's errors";
    result_.data_stds = true;
  } else {
    std::size_t some = 0;
    for (const FieldDatum& datum : data_) some += std::isfinite(datum.std) ? 1 : 0;
    summary_.deviations = some == 0 ? "none (give --error or --reciprocal for them)"
                                    : "none: the file gives errors for " + std::to_string(some) +
                                          " of " + count_text(data_.size(), "datum") +
                                          " (give --error or --reciprocal)";
  }
  for (const FieldDatum& datum : data_) {
    if (result_.data_stds && !(datum.std > 0 && std::isfinite(datum.std))) {
      stop("a standard deviation that is not positive (" + log_number(datum.std) +
               ") for the datum of line " + std::to_string(datum.line) + " of " + input_,
           "line " + std::to_string(datum.line) + ": standard deviation " + log_number(datum.std));
    }
  }

  // IP.
  const ErrorFit& ip_fit = result_.pairs.chargeability_fit;
  const bool ip_model = options_.reciprocal && ip_fit.kept.usable;
  const bool ip_given = options_.ip_error_percent > 0 || options_.ip_error_floor > 0;
  bool ip_all_file = true;
  std::size_t ip_count = 0;
  for (const FieldDatum& datum : data_) {
    if (!std::isfinite(datum.chargeability)) continue;
    ++ip_count;
    ip_all_file =
        ip_all_file && std::isfinite(datum.chargeability_std) && datum.chargeability_std > 0;
  }
  if (ip_count == 0) return;
  for (const FieldDatum& datum : data_) {
    if (!std::isfinite(datum.chargeability)) continue;
    const double value = datum.chargeability * chargeability_factor_;
    double deviation = not_given;
    if (ip_model || ip_given) {
      deviation = ip_model ? ip_fit.kept(std::abs(datum.resistance)) : 0;
      if (ip_given) {
        deviation = std::max(
            deviation, options_.ip_error_percent / 100 * std::abs(value) + options_.ip_error_floor);
      }
    } else if (ip_all_file) {
      deviation = datum.chargeability_std * chargeability_factor_;
    }
    ip_deviation_.push_back(deviation);
  }
  result_.ip_stds = ip_model || ip_given || ip_all_file;
  const std::string own = log_number(options_.ip_error_percent) + " % of |m| + " +
                          log_number(options_.ip_error_floor) + " " + result_.chargeability_unit;
  summary_.ip_deviations = ip_model && ip_given ? "the larger of the error model and " + own
                           : ip_model ? "the error model, " + ip_fit.kept.formula() + " (" +
                                            result_.chargeability_unit + ")"
                           : ip_given    ? own
                           : ip_all_file ? "the file's errors"
                                         : "none (give --ip-error or --reciprocal for them)";
  if (result_.ip_stds) {
    for (const double deviation : ip_deviation_) {
      if (!(deviation > 0 && std::isfinite(deviation))) {
        stop("an IP standard deviation that is not positive (" + log_number(deviation) + ") in " +
                 input_ + "; give --ip-error with a floor",
             "IP standard deviation " + log_number(deviation));
      }
    }
  }
}

void Import::make_stores() {
  if (data_.empty()) {
    std::string reasons;
    for (const auto& [reason, count] : result_.dropped) {
      reasons += "\n  " + reason + ": " + std::to_string(count);
    }
    stop("no datum of " + input_ + " is left (" + count_text(survey_.readings.size(), "reading") +
             " read)" + (reasons.empty() ? std::string() : ", dropped:" + reasons),
         "no datum left");
  }
  std::vector<double> a, b, m, n, values, stds;
  std::vector<double> ip_a, ip_b, ip_m, ip_n, ip_values;
  for (const FieldDatum& datum : data_) {
    a.push_back(datum.a);
    b.push_back(datum.b);
    m.push_back(datum.m);
    n.push_back(datum.n);
    values.push_back(datum.resistance);
    if (result_.data_stds) stds.push_back(datum.std);
    if (std::isfinite(datum.chargeability)) {
      ip_a.push_back(datum.a);
      ip_b.push_back(datum.b);
      ip_m.push_back(datum.m);
      ip_n.push_back(datum.n);
      ip_values.push_back(datum.chargeability * chargeability_factor_);
    }
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  arrays.values = values;
  arrays.stds = stds;
  survey_from_arrays(io_, arrays, result_.data);
  if (!ip_values.empty()) {
    const std::vector<std::int32_t> types(ip_values.size(), 1);
    SurveyArrays ip;
    ip.a = ip_a;
    ip.b = ip_b;
    ip.m = ip_m;
    ip.n = ip_n;
    ip.values = ip_values;
    if (result_.ip_stds) ip.stds = ip_deviation_;
    ip.iptype = types;
    result_.ip.emplace();
    survey_from_arrays(io_, ip, *result_.ip);
  }
}

ImportResult Import::run() {
  survey_ = read_field_file(io_, input_, options_.format, options_.spacing);
  result_.format = survey_.format;
  result_.source = input_;
  chargeability_factor_ =
      chargeability_scale(survey_, result_.chargeability_unit, summary_.chargeability);
  build_data();
  find_ground();
  apply_ground_factors();
  filter_values();
  pair_and_fit();
  give_deviations();
  make_stores();
  summary_.input = input_;
  summary_.reader_notes = survey_.notes;
  summary_.readings = survey_.readings.size();
  for (const FieldReading& reading : survey_.readings) {
    summary_.first_line =
        summary_.first_line == 0 ? reading.line : std::min(summary_.first_line, reading.line);
    summary_.last_line = std::max(summary_.last_line, reading.line);
  }
  summary_.unpaired_dropped = options_.drop_unpaired;
  summary_.data = data_.size();
  result_.log = import_log_text(summary_, result_);
  io_.log << result_.log;
  return std::move(result_);
}

}  // namespace

ImportResult import_field_data(const Io& io, std::string_view input, const ImportOptions& options) {
  return Import(io, input, options).run();
}

}  // namespace quelby
