#include "quelby/fielddata/dat2d_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// The fields of a line whose values are separated by blanks, tabs or commas.
std::vector<std::string_view> numbers_of(std::string_view line) {
  std::vector<std::string_view> fields;
  for (const std::string_view part : split_fields(line, ',')) {
    for (const std::string_view field : split_fields(part, ' ')) fields.push_back(field);
  }
  return fields;
}

// The next line with text, or the stop that names what was expected.
std::string_view require_line(FieldLines& lines, std::string_view what) {
  std::string_view line;
  if (!lines.next_with_text(line)) {
    lines.fail_at(0, "the file ends where " + std::string(what) + " was expected");
  }
  return line;
}

double first_number(FieldLines& lines, std::string_view line, std::string_view what) {
  const auto fields = numbers_of(line);
  double value = 0;
  if (fields.empty() || !field_number(fields[0], value)) {
    lines.fail("expected " + std::string(what) + ", found " +
               quoted_text(fields.empty() ? line : fields[0]));
  }
  return value;
}

std::int32_t first_integer(FieldLines& lines, std::string_view line, std::string_view what) {
  const auto fields = numbers_of(line);
  std::int32_t value = 0;
  if (fields.empty() || !field_integer(fields[0], value)) {
    lines.fail("expected " + std::string(what) + ", found " +
               quoted_text(fields.empty() ? line : fields[0]));
  }
  return value;
}

bool starts_with_number(std::string_view line) {
  const auto fields = numbers_of(line);
  double value = 0;
  return !fields.empty() && field_number(fields[0], value);
}

std::string_view array_name(std::int32_t code) {
  switch (code) {
    case 1:
      return "Wenner";
    case 2:
      return "pole-pole";
    case 3:
      return "dipole-dipole";
    case 4:
      return "Wenner beta";
    case 5:
      return "Wenner gamma";
    case 6:
      return "pole-dipole";
    case 7:
      return "Wenner-Schlumberger";
    case 11:
      return "general array";
    default:
      return "";
  }
}

// Count of numbers before the value on a line of an index array: x, a and, for arrays with n, n.
std::size_t index_fields(std::int32_t code) {
  return code == 3 || code == 6 || code == 7 ? 3 : 2;
}

// The electrodes of an index-array datum whose leftmost electrode stands at `left`. NaN stands
// for an electrode the array does not use.
std::array<FieldElectrode, 4> index_electrodes(std::int32_t code, double left, double a, double n) {
  const double none = not_given;
  std::array<double, 4> x{};  // A, B, M, N
  switch (code) {
    case 1:  // C1 P1 P2 C2
      x = {left, left + 3 * a, left + a, left + 2 * a};
      break;
    case 2:  // C1 P1
      x = {left, none, left + a, none};
      break;
    case 3:  // C2 C1 P1 P2
      x = {left + a, left, left + a + n * a, left + 2 * a + n * a};
      break;
    case 4:  // C2 C1 P1 P2, n = 1
      x = {left + a, left, left + 2 * a, left + 3 * a};
      break;
    case 5:  // C1 P1 C2 P2
      x = {left, left + 2 * a, left + a, left + 3 * a};
      break;
    case 6:  // C1 P1 P2, or P2 P1 C1 for n < 0
      x = n > 0 ? std::array<double, 4>{left, none, left + n * a, left + n * a + a}
                : std::array<double, 4>{left + a - n * a, none, left + a, left};
      break;
    default:  // 7: C1 P1 P2 C2
      x = {left, left + 2 * n * a + a, left + n * a, left + n * a + a};
      break;
  }
  std::array<FieldElectrode, 4> electrodes;
  for (std::size_t role = 0; role < 4; ++role) {
    electrodes[role].present = !std::isnan(x[role]);
    electrodes[role].x = electrodes[role].present ? x[role] : 0.0;
  }
  return electrodes;
}

// The length of an index array from its leftmost to its rightmost electrode.
double index_length(std::int32_t code, double a, double n) {
  switch (code) {
    case 1:
    case 4:
    case 5:
      return 3 * a;
    case 2:
      return a;
    case 3:
      return (n + 2) * a;
    case 6:
      return (std::abs(n) + 1) * a;
    default:
      return (2 * n + 1) * a;
  }
}

ChargeabilityUnit unit_of(std::string_view text) {
  const std::string unit = lower_case(trim_blanks(text));
  if (unit == "mv/v") return ChargeabilityUnit::millivolt_per_volt;
  if (unit == "msec" || unit == "ms") return ChargeabilityUnit::milliseconds;
  if (unit == "%" || unit == "percent") return ChargeabilityUnit::percent;
  if (unit == "mrad") return ChargeabilityUnit::milliradians;
  return ChargeabilityUnit::other;
}

// Linear interpolation in the table (from[i], to[i]), `from` not decreasing, extended beyond its
// ends with the slope `end_slope`.
double interpolate(const std::vector<double>& from, const std::vector<double>& to, double at,
                   double end_slope) {
  if (at <= from.front()) return to.front() + (at - from.front()) * end_slope;
  if (at >= from.back()) return to.back() + (at - from.back()) * end_slope;
  const std::size_t j =
      static_cast<std::size_t>(std::upper_bound(from.begin(), from.end(), at) - from.begin());
  const double width = from[j] - from[j - 1];
  if (width == 0) return to[j];
  return to[j - 1] + (to[j] - to[j - 1]) * ((at - from[j - 1]) / width);
}

}  // namespace

FieldSurvey read_dat2d_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  FieldSurvey survey;
  survey.format = FieldFormat::dat2d;
  std::string_view line;
  if (!lines.next(line)) lines.fail_at(0, "the file is empty");
  survey.notes.push_back("title: " + quoted_text(trim_blanks(line)));

  const double spacing = first_number(lines, require_line(lines, "the electrode spacing"),
                                      "the unit electrode spacing");
  if (!(spacing > 0)) lines.fail("the unit electrode spacing must be positive");
  const std::int32_t code =
      first_integer(lines, require_line(lines, "the array code"), "the array code");
  if (array_name(code).empty()) {
    lines.fail("array code " + std::to_string(code) +
               " is not one of the in-line arrays 1 to 7 and 11 that quelby reads");
  }
  std::string array = std::string(array_name(code));
  if (code == 11) {
    const std::int32_t sub_type =
        first_integer(lines, require_line(lines, "the sub-array type"), "the sub-array type");
    array += " (sub-type " + std::to_string(sub_type) + ")";
  }
  survey.notes.push_back("array: " + array + ", unit electrode spacing " + shortest(spacing) +
                         " m");

  // An optional text line ("Type of measurement ...") and its flag: 0 apparent resistivity, 1
  // resistance.
  bool resistances = false;
  line = require_line(lines, "the number of data");
  if (!starts_with_number(line)) {
    const std::int32_t flag =
        first_integer(lines, require_line(lines, "the type of measurement"),
                      "the type of measurement (0 apparent resistivity, 1 resistance)");
    if (flag != 0 && flag != 1) lines.fail("the type of measurement must be 0 or 1");
    resistances = flag == 1;
    line = require_line(lines, "the number of data");
  }
  const std::int32_t data_count = first_integer(lines, line, "the number of data");
  if (data_count < 0) lines.fail("the number of data must not be negative");
  const std::int32_t location_type =
      first_integer(lines, require_line(lines, "the type of x-location"), "the type of x-location");
  if (code != 11 && location_type != 0 && location_type != 1) {
    lines.fail("the type of x-location must be 0 (first electrode) or 1 (midpoint)");
  }
  const std::int32_t ip_flag =
      first_integer(lines, require_line(lines, "the IP flag"), "the IP flag (0 or 1)");
  if (ip_flag != 0 && ip_flag != 1) lines.fail("the IP flag must be 0 or 1");
  if (ip_flag == 1) {
    require_line(lines, "the IP quantity");  // "Chargeability", any word
    const std::string_view unit = trim_blanks(require_line(lines, "the IP unit"));
    survey.chargeability_unit = unit_of(unit);
    survey.chargeability_unit_text = std::string(unit);
    const auto times = numbers_of(require_line(lines, "the IP delay and integration time"));
    double delay = 0, window = 0;
    if (times.size() < 2 || !field_number(times[0], delay) || !field_number(times[1], window)) {
      lines.fail("expected the IP delay and integration time in s");
    }
    if (window > 0) survey.chargeability_window = window;
  }
  // An optional error block: "Error estimate ..." text, the type line's text, then 0 (the unit of
  // the data) or 1 (percent); every data line then carries its error after the value.
  int error_type = -1;
  {
    std::string_view peek;
    line = require_line(lines, "the first datum");
    if (data_count > 0 && !starts_with_number(line)) {
      peek = require_line(lines, "the type of error estimate");
      if (!starts_with_number(peek)) peek = require_line(lines, "the type of error estimate");
      error_type = first_integer(lines, peek, "the type of error estimate (0 or 1)");
      if (error_type != 0 && error_type != 1)
        lines.fail("the type of error estimate must be 0 or 1");
      line = require_line(lines, "the first datum");
    }
  }
  survey.notes.push_back(std::string("values: ") +
                         (resistances ? "resistances (ohm)" : "apparent resistivities (ohm-m)"));

  bool z_given = false;
  survey.readings.reserve(static_cast<std::size_t>(std::min(data_count, 1 << 16)));
  for (std::int32_t k = 0; k < data_count; ++k) {
    if (k > 0) line = require_line(lines, "a datum");
    const auto fields = numbers_of(line);
    FieldReading reading;
    reading.line = lines.line_number();
    std::size_t at = 0;
    if (code == 11) {
      std::int32_t count = 0;
      if (fields.empty() || !field_integer(fields[0], count) || count < 2 || count > 4) {
        lines.fail("expected the number of electrodes (2, 3 or 4) first");
      }
      const std::size_t used = static_cast<std::size_t>(count);
      if (fields.size() < 1 + 2 * used + 1) {
        lines.fail("expected " + std::to_string(1 + 2 * used + 1) + " values (" +
                   std::to_string(fields.size()) + " found)");
      }
      // C1 P1 | C1 P1 P2 | C1 C2 P1 P2.
      static constexpr std::size_t roles[3][4] = {
          {electrode_a, electrode_m, 0, 0},
          {electrode_a, electrode_m, electrode_n, 0},
          {electrode_a, electrode_b, electrode_m, electrode_n}};
      for (FieldElectrode& electrode : reading.electrodes) electrode.present = false;
      for (std::size_t e = 0; e < used; ++e) {
        double x = 0, z = 0;
        if (!field_number(fields[1 + 2 * e], x) || !field_number(fields[2 + 2 * e], z)) {
          lines.fail("the position " + quoted_text(fields[1 + 2 * e]) + " " +
                     quoted_text(fields[2 + 2 * e]) + " is not a pair of finite numbers");
        }
        FieldElectrode& electrode = reading.electrodes[roles[used - 2][e]];
        electrode.present = true;
        electrode.x = x;
        electrode.elevation = z;
        z_given = z_given || z != 0;
      }
      at = 1 + 2 * used;
    } else {
      const std::size_t before = index_fields(code);
      if (fields.size() < before + 1) {
        lines.fail("expected " + std::to_string(before + 1) + " values (" +
                   std::to_string(fields.size()) + " found)");
      }
      double x = 0, a = 0, n = 1;
      if (!field_number(fields[0], x) || !field_number(fields[1], a) ||
          (before == 3 && !field_number(fields[2], n))) {
        lines.fail("the x, a" + std::string(before == 3 ? ", n" : "") +
                   " of the datum are not finite numbers");
      }
      if (!(a > 0) || (before == 3 && (n == 0 || (code != 6 && n < 0)))) {
        lines.fail("a must be positive and n not 0 (negative only for the reverse pole-dipole)");
      }
      const double left = location_type == 1 ? x - index_length(code, a, n) / 2 : x;
      reading.electrodes = index_electrodes(code, left, a, n);
      at = before;
    }
    const std::size_t needed = at + 1 + (error_type >= 0 ? 1 : 0) + (ip_flag == 1 ? 1 : 0);
    if (fields.size() < needed) {
      lines.fail("expected " + std::to_string(needed) + " values (" +
                 std::to_string(fields.size()) + " found)");
    }
    double value = not_given;
    if (field_number(fields[at], value)) {
      (resistances ? reading.resistance : reading.apparent_resistivity) = value;
    }
    ++at;
    if (error_type >= 0) {
      double error = 0;
      if (field_number(fields[at], error)) {
        if (error_type == 1) {
          reading.relative_error = error / 100;
        } else if (resistances) {
          reading.std = error;
        } else if (std::isfinite(value) && value != 0) {
          reading.relative_error = std::abs(error / value);
        }
      }
      ++at;
    }
    if (ip_flag == 1) {
      double ip = 0;
      if (field_number(fields[at], ip)) reading.chargeability = ip;
    }
    survey.readings.push_back(reading);
  }

  // After the data: 0 for no topography, or the topography block; then zeros.
  if (!lines.next_with_text(line)) return survey;
  std::int32_t topography_type = 0;
  if (!field_integer(numbers_of(line).empty() ? line : numbers_of(line)[0], topography_type) ||
      topography_type < 0 || topography_type > 2) {
    survey.notes.push_back("the text after the data (from line " +
                           std::to_string(lines.line_number()) + ") is not read");
    topography_type = 0;
  }
  if (topography_type == 0) {
    if (z_given) survey.notes.push_back("electrode elevations: the z of the data lines");
    if (!z_given) {
      for (FieldReading& reading : survey.readings) {
        for (FieldElectrode& electrode : reading.electrodes) electrode.elevation = not_given;
      }
    }
    return survey;
  }
  const std::int32_t point_count =
      first_integer(lines, require_line(lines, "the number of topography points"),
                    "the number of topography points");
  if (point_count < 1) lines.fail("the number of topography points must be at least 1");
  std::vector<double> along, elevation;
  for (std::int32_t p = 0; p < point_count; ++p) {
    const auto fields = numbers_of(require_line(lines, "a topography point"));
    double x = 0, z = 0;
    if (fields.size() < 2 || !field_number(fields[0], x) || !field_number(fields[1], z)) {
      lines.fail("expected a topography point: x and elevation");
    }
    if (!along.empty() && x < along.back()) {
      lines.fail("the topography points must be in increasing x");
    }
    along.push_back(x);
    elevation.push_back(z);
  }
  // The horizontal position of every point: the same x, or for distances along the ground the
  // sum of the horizontal parts of the segments.
  std::vector<double> horizontal = along;
  if (topography_type == 2) {
    for (std::size_t p = 1; p < along.size(); ++p) {
      const double slope = along[p] - along[p - 1];
      const double rise = elevation[p] - elevation[p - 1];
      horizontal[p] = horizontal[p - 1] + std::sqrt(std::max(0.0, slope * slope - rise * rise));
    }
  }
  for (std::size_t p = 0; p < along.size(); ++p) {
    survey.topography.push_back({horizontal[p], elevation[p]});
  }
  for (FieldReading& reading : survey.readings) {
    for (FieldElectrode& electrode : reading.electrodes) {
      if (!electrode.present) continue;
      electrode.elevation = interpolate(along, elevation, electrode.x, 0.0);
      if (topography_type == 2) electrode.x = interpolate(along, horizontal, electrode.x, 1.0);
    }
  }
  survey.notes.push_back(
      std::string("topography: ") + std::to_string(point_count) + " points, x " +
      (topography_type == 2 ? "along the ground (turned into horizontal x)" : "horizontal"));
  return survey;
}

FieldSurvey read_dat2d_file(const Io& io, std::string_view name) {
  return read_dat2d_file(io, read_field_source(io, name));
}

}  // namespace quelby
