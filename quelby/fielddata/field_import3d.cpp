#include "quelby/fielddata/field_import3d.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/field_source.hpp"
#include "quelby/fielddata/import_log.hpp"
#include "quelby/survey/survey3d_writer.hpp"

namespace quelby {
namespace {

[[noreturn]] void refuse(const Io& io, const std::string& what) {
  stop_with(io, Order::console_then_log, "\nError: " + what + "\n");
}

// The options that only the 2-D import carries out.
void refuse_two_dimensional_options(const Io& io, const ImportOptions& options) {
  const std::pair<bool, const char*> only_2d[] = {
      {options.reciprocal, "--reciprocal"},
      {options.max_reciprocal_error.has_value(), "--max-reciprocal-error"},
      {!options.drop_electrodes.empty(), "--drop-electrode"},
      {options.max_deviation.has_value(), "--max-deviation"},
      {options.min_current.has_value(), "--min-current"},
      {options.min_voltage.has_value(), "--min-voltage"},
      {options.max_geometric_factor.has_value(), "--max-geometric-factor"},
      {options.ip_range.has_value(), "--ip-range"},
      {options.drop_outliers, "--drop-outliers"},
      {options.geometric_factors == GeometricFactorChoice::numeric, "--geometric-factor numeric"},
  };
  for (const auto& [given, name] : only_2d) {
    if (given) {
      refuse(io, std::string(name) + " applies to 2-D lines: a 3-D survey is imported without it");
    }
  }
}

// The factor and unit text of the chargeabilities of `survey`.
double chargeability_scale(const FieldSurvey& survey, const ImportOptions& options,
                           std::string& unit) {
  ChargeabilityUnit kind = survey.chargeability_unit;
  if (!survey.chargeability_unit_stated) {
    kind = options.ip_unit.value_or(ChargeabilityUnit::milliradians);
  }
  switch (kind) {
    case ChargeabilityUnit::millivolt_per_volt:
      unit = "mV/V";
      return 1;
    case ChargeabilityUnit::percent:
      unit = "mV/V";
      return 10;
    case ChargeabilityUnit::milliseconds:
      if (survey.chargeability_window > 0) {
        unit = "mV/V";
        return 1 / survey.chargeability_window;
      }
      unit = "ms";
      return 1;
    case ChargeabilityUnit::milliradians:
      unit = "mrad";
      return 1;
    default:
      unit = survey.chargeability_unit_text;
      return 1;
  }
}

// The flat-surface geometric factor of electrodes at horizontal positions (x, y); a missing
// electrode's terms left out.
double flat_factor(const std::array<const FieldElectrode*, 4>& at) {
  const auto inverse = [&](std::size_t current, std::size_t potential) {
    if (!at[current] || !at[potential]) return 0.0;
    return 1 / std::hypot(at[current]->x - at[potential]->x, at[current]->y - at[potential]->y);
  };
  const double sum = inverse(0, 2) - inverse(0, 3) - inverse(1, 2) + inverse(1, 3);
  return 2 * std::numbers::pi / sum;
}

}  // namespace

bool electrodes_spread_in_plane(const FieldSurvey& survey) {
  std::vector<std::array<double, 2>> points;
  for (const FieldReading& reading : survey.readings) {
    for (const FieldElectrode& electrode : reading.electrodes) {
      if (electrode.present && std::isfinite(electrode.x) && std::isfinite(electrode.y)) {
        points.push_back({electrode.x, electrode.y});
      }
    }
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 3) return false;
  // The line as the 2-D import finds it: the principal direction of the bulk of the points
  // through their median.
  const auto median = [](std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
  };
  std::vector<double> xs, ys;
  for (const auto& point : points) {
    xs.push_back(point[0]);
    ys.push_back(point[1]);
  }
  const double cx = median(xs), cy = median(ys);
  std::vector<double> distances;
  for (const auto& point : points) distances.push_back(std::hypot(point[0] - cx, point[1] - cy));
  const double typical = median(distances);
  double sxx = 0, syy = 0, sxy = 0;
  for (const auto& point : points) {
    const double dx = point[0] - cx, dy = point[1] - cy;
    if (std::hypot(dx, dy) > 10 * std::max(typical, 1e-9)) continue;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
  const double ux = std::cos(angle), uy = std::sin(angle);
  double low = 0, high = 0;
  for (const auto& point : points) {
    const double along = (point[0] - cx) * ux + (point[1] - cy) * uy;
    low = std::min(low, along);
    high = std::max(high, along);
  }
  const double length = std::max(high - low, 1e-9);
  for (const auto& point : points) {
    const double off = std::abs(-(point[0] - cx) * uy + (point[1] - cy) * ux);
    if (off <= 5 * length && off > 1e-3 * length + 1e-6) return true;
  }
  return false;
}

Import3DResult import_field_data3d(const Io& io, std::span<const std::string> inputs,
                                   const ImportOptions& options, double line_offset) {
  refuse_two_dimensional_options(io, options);
  if (!std::isfinite(line_offset)) refuse(io, "the line offset should be a finite number");
  Import3DResult result;
  std::vector<FieldSurvey> surveys;
  std::vector<std::string> notes;
  std::optional<ElectrodeTable> table;
  if (!options.electrodes.empty()) table = read_electrode_table(io, options.electrodes);
  for (std::size_t f = 0; f < inputs.size(); ++f) {
    const FieldSource source = read_field_source(io, inputs[f]);
    FieldSurvey survey =
        read_field_file(io, source, options.format, options.spacing, options.columns);
    if (table) {
      for (std::string& note : place_from_table(io, *table, survey)) notes.push_back(note);
    }
    for (FieldReading& reading : survey.readings)
      for (FieldElectrode& electrode : reading.electrodes)
        electrode.y += line_offset * static_cast<double>(f);
    if (f == 0) result.format = survey.format;
    result.sources.push_back(inputs[f]);
    surveys.push_back(std::move(survey));
  }
  // The reference: the highest elevation of an electrode (0 where no electrode has one).
  bool any_elevation = false;
  double reference = -std::numeric_limits<double>::infinity();
  for (const FieldSurvey& survey : surveys)
    for (const FieldReading& reading : survey.readings)
      for (const FieldElectrode& electrode : reading.electrodes)
        if (electrode.present && std::isfinite(electrode.elevation)) {
          reference = std::max(reference, electrode.elevation);
          any_elevation = true;
        }
  result.reference_elevation = any_elevation ? reference : 0;

  std::map<std::array<double, 3>, std::int32_t> numbers;
  std::vector<ElectrodePosition> electrodes;
  const auto number_of = [&](const FieldElectrode& electrode) {
    const double z =
        std::isfinite(electrode.elevation) ? result.reference_elevation - electrode.elevation : 0.0;
    const std::array<double, 3> key{electrode.x, electrode.y, z == 0 ? 0.0 : z};
    const auto [at, added] = numbers.emplace(key, static_cast<std::int32_t>(electrodes.size()));
    if (added) electrodes.push_back({key[0], key[1], key[2]});
    return at->second;
  };
  const auto count_drop = [&](const std::string& reason) {
    auto at = std::find_if(result.dropped.begin(), result.dropped.end(),
                           [&](const auto& entry) { return entry.first == reason; });
    if (at == result.dropped.end()) {
      result.dropped.emplace_back(reason, 1);
    } else {
      ++at->second;
    }
  };
  const bool own_errors =
      options.error_percent > 0 || options.error_floor > 0 || options.error_voltage > 0;
  const bool own_ip_errors = options.ip_error_percent > 0 || options.ip_error_floor > 0;
  Survey3D& data = result.data;
  Survey3D ip;
  std::string unit;
  for (const FieldSurvey& survey : surveys) {
    const double ip_scale = chargeability_scale(survey, options, unit);
    if (result.chargeability_unit.empty()) result.chargeability_unit = unit;
    for (const FieldReading& reading : survey.readings) {
      ++result.readings;
      if (!reading.valid) {
        count_drop("marked invalid in the file");
        continue;
      }
      std::array<const FieldElectrode*, 4> at{};
      for (std::size_t role = 0; role < 4; ++role) {
        const FieldElectrode& electrode = reading.electrodes[role];
        at[role] = electrode.present ? &electrode : nullptr;
      }
      double sign = 1;
      // A missing A or M: its partner takes its place, which turns the datum's sign.
      for (const std::size_t first : {std::size_t{0}, std::size_t{2}}) {
        if (!at[first] && at[first + 1]) {
          std::swap(at[first], at[first + 1]);
          sign = -sign;
        }
      }
      if (!at[0] || !at[2]) {
        count_drop("no current or no potential electrode");
        continue;
      }
      const auto same_place = [](const FieldElectrode* one, const FieldElectrode* other) {
        return one && other && one->x == other->x && one->y == other->y &&
               (one->elevation == other->elevation ||
                (std::isnan(one->elevation) && std::isnan(other->elevation)));
      };
      if (same_place(at[0], at[1]) || same_place(at[2], at[3])) {
        count_drop("the two electrodes of a pair at one place");
        continue;
      }
      double resistance = reading.resistance;
      if (!std::isfinite(resistance) && std::isfinite(reading.voltage) &&
          std::isfinite(reading.current) && reading.current != 0) {
        resistance = reading.voltage / reading.current;
      }
      if (!std::isfinite(resistance) && std::isfinite(reading.apparent_resistivity)) {
        const double factor =
            std::isfinite(reading.geometric_factor) ? reading.geometric_factor : flat_factor(at);
        if (std::isfinite(factor) && factor != 0)
          resistance = reading.apparent_resistivity / factor;
      }
      if (!std::isfinite(resistance)) {
        count_drop("no resistance (nor voltage and current, nor apparent resistivity and K)");
        continue;
      }
      double deviation = not_given;
      if (own_errors) {
        deviation = options.error_percent / 100 * std::abs(resistance) + options.error_floor;
        if (options.error_voltage > 0 && std::isfinite(reading.current) && reading.current != 0)
          deviation += options.error_voltage / std::abs(reading.current);
      } else if (!options.ignore_file_errors) {
        if (std::isfinite(reading.std)) {
          deviation = reading.std;
        } else if (std::isfinite(reading.relative_error)) {
          deviation = reading.relative_error * std::abs(resistance);
        }
      }
      const std::int32_t a = number_of(*at[0]), m = number_of(*at[2]);
      const std::int32_t b = at[1] ? number_of(*at[1]) : a;
      const std::int32_t n = at[3] ? number_of(*at[3]) : m;
      const auto add = [&](Survey3D& store, double value, double std, std::int32_t type) {
        store.a.push_back(a);
        store.b.push_back(b);
        store.m.push_back(m);
        store.n.push_back(n);
        store.iptype.push_back(type);
        store.dobs.push_back(value);
        store.dstd.push_back(std);
        ++store.ndat;
      };
      add(data, sign * resistance, deviation, 0);
      if (std::isfinite(reading.chargeability)) {
        const double value = reading.chargeability * ip_scale;
        double ip_deviation = not_given;
        if (own_ip_errors) {
          ip_deviation = options.ip_error_percent / 100 * std::abs(value) + options.ip_error_floor;
        } else if (!options.ignore_file_errors && std::isfinite(reading.chargeability_std)) {
          ip_deviation = reading.chargeability_std * ip_scale;
        }
        add(ip, value, ip_deviation, 1);
      }
    }
  }
  const auto finish = [&](Survey3D& store) {
    store.electrodes = electrodes;
    store.has_values = true;
    store.std_missing = std::none_of(store.dstd.begin(), store.dstd.end(),
                                     [](double value) { return std::isfinite(value); });
    store.header_line = "GENERAL_3D";
  };
  finish(data);
  if (data.ndat == 0) refuse(io, "no datum is left to import from " + inputs.front());
  if (ip.ndat > 0) {
    finish(ip);
    result.ip = std::move(ip);
  }
  // The import log.
  std::string& log = result.log;
  log = "quelby-import " + std::string(version) + "\n3-D survey\n";
  for (const std::string& source : result.sources) log += "input: " + source + "\n";
  log += "format: " + std::string(format_title(result.format)) + "\n";
  if (table) log += "electrode table: " + table->name + "\n";
  for (const std::string& note : notes) log += note + "\n";
  if (inputs.size() > 1 && line_offset != 0) {
    log += "lines: file k (0-based) placed at y + k x " + log_number(line_offset) + " m\n";
  }
  log += "readings: " + std::to_string(result.readings) + "\n";
  for (const auto& [reason, count] : result.dropped)
    log += "dropped: " + std::to_string(count) + " " + reason + "\n";
  log += "data: " + std::to_string(data.ndat) + " at " + std::to_string(electrodes.size()) +
         " electrodes" + (result.ip ? ", with IP in " + result.chargeability_unit : "") + "\n";
  log += "z: reference elevation " + log_number(result.reference_elevation) +
         " m - elevation (depth, down)\n";
  log += std::string("standard deviations: ") +
         (own_errors         ? "from --error, --error-floor and --error-voltage"
          : data.std_missing ? "none"
                             : "the file's") +
         "\n";
  io.log << log;
  return result;
}

void write_import3d(const Io& io, std::string_view folder, std::string_view name,
                    const Import3DResult& result) {
  const std::filesystem::path base{std::string(trim_trailing_blanks(folder))};
  std::error_code error;
  std::filesystem::create_directories(base, error);
  if (error) {
    stop_with(io, Order::console_then_log,
              "\nError: cannot create the output folder " + base.string() + ": " + error.message() +
                  "\n");
  }
  const std::string data_name{trim_trailing_blanks(name)};
  for (const std::string& file : {data_name, std::string("ip3d.dat"), std::string("import.log")}) {
    const std::filesystem::path existing = base / file;
    if (!std::filesystem::exists(existing, error)) continue;
    std::ifstream stream(existing);
    std::string first, second;
    std::getline(stream, first);
    std::getline(stream, second);
    if (!first.starts_with("quelby-import") && !second.starts_with("! quelby-import")) {
      stop_with(io, Order::console_then_log,
                "\nError: the output folder " + base.string() + " holds " + existing.string() +
                    ", which no import wrote: it would be replaced; give another folder\n");
    }
  }
  const std::string comment =
      "quelby-import: " + std::to_string(result.data.ndat) +
      (result.data.ndat == 1 ? " datum from " : " data from ") + result.sources.front() +
      (result.sources.size() > 1 ? " and " + std::to_string(result.sources.size() - 1) + " more"
                                 : std::string());
  write_survey3d(io, (base / data_name).string(), result.data, {}, {}, "! " + comment);
  if (result.ip) {
    write_survey3d(io, (base / "ip3d.dat").string(), *result.ip, {}, {},
                   "! " + comment + ", apparent chargeability in " + result.chargeability_unit);
  }
  write_whole_file(io, (base / "import.log").string(), "import log", result.log);
}

}  // namespace quelby
