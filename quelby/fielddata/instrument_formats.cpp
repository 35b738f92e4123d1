#include "quelby/fielddata/instrument_formats.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"
#include "quelby/fielddata/instrument_table.hpp"

namespace quelby {

namespace {

bool protocol_column_known(std::string_view name) {
  return name == "r" || name == "err" || name == "rhoa" || name == "ip" || name == "iperr" ||
         name == "skip";
}

using Column = std::optional<std::size_t>;

// The factor that turns a value in `unit` into volts or amperes (the units of `base`, "v" or
// "a"); 0 for a unit that is not one of them.
double si_scale(std::string_view unit, std::string_view base) {
  if (unit == base) return 1;
  if (unit.size() == base.size() + 1 && unit.substr(1) == base) {
    if (unit[0] == 'm') return 1e-3;
    if (unit[0] == 'u') return 1e-6;
  }
  return 0;
}

double scale_or_refuse(FieldLines& lines, const InstrumentTable& table, std::size_t column,
                       std::string_view base, std::string_view assumed) {
  const std::string& unit = table.unit(column);
  const double scale = si_scale(unit.empty() ? assumed : std::string_view(unit), base);
  if (scale == 0) {
    lines.fail_at(
        1, "the column " + quoted_text(table.name(column)) + " has a unit quelby does not know");
  }
  return scale;
}

void require_positions(FieldLines& lines, const std::array<Column, 4>& x, std::string_view names) {
  for (std::size_t role = 0; role < 4; ++role) {
    if (!x[role]) {
      lines.fail_at(1, "the header names no column for the x of electrode " +
                           std::string(1, "ABMN"[role]) + " (" + std::string(names) + ")");
    }
  }
}

}  // namespace

FieldSurvey read_syscal_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  InstrumentTable table(lines);
  FieldSurvey survey;
  survey.format = FieldFormat::syscal;
  const std::array<Column, 4> x = {table.find({"spa.1", "xa"}), table.find({"spa.2", "xb"}),
                                   table.find({"spa.3", "xm"}), table.find({"spa.4", "xn"})};
  require_positions(lines, x, "Spa.1 to Spa.4, or xA xB xM xN");
  const std::array<Column, 4> z = {table.find({"za"}), table.find({"zb"}), table.find({"zm"}),
                                   table.find({"zn"})};
  const Column rho = table.find({"rho"});
  const Column deviation = table.find({"dev. rho", "dev."});
  const Column chargeability = table.find({"m"});
  const Column voltage = table.find({"vp", "vmn"});
  const Column current = table.find({"in", "iab"});
  const Column factor = table.find({"coef. k"});
  if (!rho && !(voltage && current)) {
    lines.fail_at(1, "the header names neither Rho nor Vp (VMN) and In (IAB)");
  }
  const double volts = voltage ? scale_or_refuse(lines, table, *voltage, "v", "mv") : 1;
  const double amperes = current ? scale_or_refuse(lines, table, *current, "a", "ma") : 1;
  if (chargeability) {
    const std::string& unit = table.unit(*chargeability);
    survey.chargeability_unit = unit.empty() || unit == "mv/v"
                                    ? ChargeabilityUnit::millivolt_per_volt
                                    : ChargeabilityUnit::other;
    survey.chargeability_unit_text = unit.empty() ? "mV/V" : table.name(*chargeability);
    if (unit == "mv/v") survey.chargeability_unit_text = "mV/V";
  }
  std::vector<std::string_view> fields;
  while (table.next_row(fields)) {
    FieldReading reading;
    reading.line = lines.line_number();
    for (std::size_t role = 0; role < 4; ++role) {
      reading.electrodes[role].x = table.required(fields, *x[role]);
      if (const auto elevation = table.number(fields, z[role])) {
        reading.electrodes[role].elevation = *elevation;
      }
    }
    reading.apparent_resistivity = table.number(fields, rho).value_or(not_given);
    reading.deviation = table.number(fields, deviation).value_or(not_given);
    reading.chargeability = table.number(fields, chargeability).value_or(not_given);
    reading.voltage = table.number(fields, voltage).value_or(not_given) * volts;
    reading.current = table.number(fields, current).value_or(not_given) * amperes;
    reading.geometric_factor = table.number(fields, factor).value_or(not_given);
    survey.readings.push_back(reading);
  }
  if (table.short_rows() > 0) {
    survey.notes.push_back(std::to_string(table.short_rows()) +
                           " row(s) with fewer fields than the header's columns (cut short), "
                           "from line " +
                           std::to_string(table.first_short_row()) + ": dropped");
  }

  survey.notes.push_back(std::string("columns read:") + (rho ? " Rho (ohm-m)" : "") +
                         (voltage ? " " + table.name(*voltage) : std::string()) +
                         (current ? " " + table.name(*current) : std::string()) +
                         (deviation ? " " + table.name(*deviation) : std::string()) +
                         (chargeability ? " " + table.name(*chargeability) : std::string()) +
                         (factor ? " " + table.name(*factor) : std::string()));
  return survey;
}

FieldSurvey read_terrameter_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  // The instrument's export may open with a block of settings before the table's header.
  InstrumentTable table(lines, "a(x)");
  FieldSurvey survey;
  survey.format = FieldFormat::terrameter;
  if (table.preamble_lines() > 0) {
    survey.notes.push_back(std::to_string(table.preamble_lines()) +
                           " lines of settings before the header, on line " +
                           std::to_string(lines.line_number()));
  }
  std::array<Column, 4> x, y, z;
  for (std::size_t role = 0; role < 4; ++role) {
    const std::string key(1, "abmn"[role]);
    x[role] = table.find_with_unit(key, "x");
    y[role] = table.find_with_unit(key, "y");
    z[role] = table.find_with_unit(key, "z");
  }
  require_positions(lines, x, "A(x) B(x) M(x) N(x)");
  const Column resistance = table.find({"r"});
  const Column rho = table.find({"app.r", "appres", "app.r."});
  const Column current = table.find({"i"});
  const Column voltage = table.find({"u", "voltage"});
  const Column deviation = table.find({"var"});
  const Column chargeability = table.find({"app.ch.", "app.ch"});
  const Column window = table.find({"inttime", "int.time"});
  if (!resistance && !rho && !(current && voltage)) {
    lines.fail_at(1, "the header names neither R(Ohm), App.R(Ohmm) nor I and U");
  }
  if (deviation && !table.unit(*deviation).empty() && table.unit(*deviation) != "%") {
    lines.fail_at(1, "the column " + quoted_text(table.name(*deviation)) + " is not in %");
  }
  const double amperes = current ? scale_or_refuse(lines, table, *current, "a", "ma") : 1;
  const double volts = voltage ? scale_or_refuse(lines, table, *voltage, "v", "v") : 1;
  double window_scale = 1;  // to s
  if (chargeability) {
    const std::string& unit = table.unit(*chargeability);
    survey.chargeability_unit = unit == "ms" || unit == "msec" ? ChargeabilityUnit::milliseconds
                                : unit == "mv/v" ? ChargeabilityUnit::millivolt_per_volt
                                : unit == "%"    ? ChargeabilityUnit::percent
                                                 : ChargeabilityUnit::other;
    survey.chargeability_unit_text = unit.empty() ? table.name(*chargeability) : unit;
    if (unit == "mv/v") survey.chargeability_unit_text = "mV/V";
    if (window) window_scale = table.unit(*window) == "ms" ? 1e-3 : 1;
  }
  std::vector<std::string_view> fields;
  while (table.next_row(fields)) {
    FieldReading reading;
    reading.line = lines.line_number();
    for (std::size_t role = 0; role < 4; ++role) {
      reading.electrodes[role].x = table.required(fields, *x[role]);
      const double across = table.number(fields, y[role]).value_or(0.0);
      if (across != 0) {
        lines.fail("electrode " + std::string(1, "ABMN"[role]) + " has y = " + shortest(across) +
                   ": quelby reads 2-D lines, every y must be 0");
      }
      if (const auto elevation = table.number(fields, z[role])) {
        reading.electrodes[role].elevation = *elevation;
      }
    }
    reading.resistance = table.number(fields, resistance).value_or(not_given);
    reading.apparent_resistivity = table.number(fields, rho).value_or(not_given);
    reading.current = table.number(fields, current).value_or(not_given) * amperes;
    reading.voltage = table.number(fields, voltage).value_or(not_given) * volts;
    reading.deviation = table.number(fields, deviation).value_or(not_given);
    reading.chargeability = table.number(fields, chargeability).value_or(not_given);
    if (const auto length = table.number(fields, window);
        length && *length > 0 && std::isnan(survey.chargeability_window)) {
      survey.chargeability_window = *length * window_scale;
    }
    survey.readings.push_back(reading);
  }
  if (table.short_rows() > 0) {
    survey.notes.push_back(std::to_string(table.short_rows()) +
                           " row(s) with fewer fields than the header's columns (cut short), "
                           "from line " +
                           std::to_string(table.first_short_row()) + ": dropped");
  }

  return survey;
}

FieldSurvey read_protocol_file(const Io& io, const FieldSource& source, double spacing,
                               const std::vector<std::string>& columns) {
  FieldLines lines(io, source);
  FieldSurvey survey;
  survey.format = FieldFormat::protocol;
  std::string_view line;
  if (!lines.next_with_text(line)) lines.fail_at(0, "the file holds no measurement count");
  const auto head = split_fields(line, ' ');
  std::int32_t count = -1;
  if (head.empty() || !field_integer(head[0], count) || count < 0) {
    lines.fail("expected the number of measurements, found " +
               quoted_text(head.empty() ? line : head[0]));
  }
  for (const std::string& name : columns) {
    if (!protocol_column_known(name)) {
      lines.fail_at(0, "--columns names " + quoted_text(name) +
                           ", which is none of r, err, rhoa, ip, iperr, skip");
    }
  }
  survey.readings.reserve(static_cast<std::size_t>(std::min(count, 1 << 16)));
  std::vector<std::string> taken = columns;  // the names of the values after the electrodes
  std::size_t truncated = 0;
  for (std::int32_t k = 0; k < count; ++k) {
    if (!lines.next_with_text(line)) {
      lines.fail_at(0, "the file ends after " + std::to_string(k) + " of the " +
                           std::to_string(count) + " measurements");
    }
    const auto fields = split_fields(line, ' ');
    std::array<std::int32_t, 9> numbers{};
    std::size_t integers = 0;
    while (integers < fields.size() && integers < numbers.size() &&
           field_integer(fields[integers], numbers[integers])) {
      ++integers;
    }
    if (integers < 5) {
      lines.fail("expected the measurement number and four electrode numbers");
    }
    if (integers == 9 && fields.size() > 9) {
      lines.fail("electrodes given as line and electrode numbers: a 3-D protocol");
    }
    const std::size_t values = fields.size() - 5;
    if (taken.empty()) {
      // The layout of the values after the electrodes, from the first measurement: R; R and its
      // error; R, the phase, and both errors.
      switch (values) {
        case 0:
        case 1:
          taken = {"r"};
          break;
        case 2:
          taken = {"r", "err"};
          break;
        case 4:
          taken = {"r", "ip", "err", "iperr"};
          break;
        default:
          lines.fail(std::to_string(values) +
                     " values after the electrodes: give --columns to name them (r, err, rhoa, "
                     "ip, iperr, skip)");
      }
    }
    if (values < taken.size() && values > 0 && k + 1 == count) {
      // The last measurement cut short: none of its values can be trusted. (Earlier ones may
      // leave out trailing values: they stay not given.)
      ++truncated;
      continue;
    }
    FieldReading reading;
    reading.line = lines.line_number();
    for (std::size_t role = 0; role < 4; ++role) {
      const std::int32_t electrode = numbers[role + 1];
      if (electrode < 1) {
        lines.fail("the electrode number " + std::to_string(electrode) + " is not 1 or more");
      }
      reading.electrodes[role].x = (electrode - 1) * spacing;
      reading.electrodes[role].number = electrode;
    }
    for (std::size_t c = 0; c < taken.size() && c < values; ++c) {
      double value = 0;
      if (!field_number(fields[5 + c], value)) {
        lines.fail("the " + taken[c] + " value " + quoted_text(fields[5 + c]) +
                   " is not a finite number");
      }
      const std::string& name = taken[c];
      if (name == "r") {
        reading.resistance = value;
      } else if (name == "err") {
        reading.std = value;
      } else if (name == "rhoa") {
        reading.apparent_resistivity = value;
      } else if (name == "ip") {
        reading.chargeability = value;
      } else if (name == "iperr") {
        reading.chargeability_std = value;
      }
    }
    survey.readings.push_back(reading);
  }
  // An "error" column of negative values is no error (a phase, a chargeability of the other
  // sign): said, never dropped in silence.
  if (columns.empty()) {
    for (std::size_t c = 0; c < taken.size(); ++c) {
      if (taken[c] != "err") continue;
      std::size_t negative = 0, given = 0;
      for (const FieldReading& reading : survey.readings) {
        if (!std::isfinite(reading.std)) continue;
        ++given;
        negative += reading.std < 0 ? 1 : 0;
      }
      if (given > 0 && 2 * negative > given) {
        lines.fail_at(0, "column " + std::to_string(6 + c) + ", taken as the error of R, is " +
                             "negative for " + std::to_string(negative) + " of " +
                             std::to_string(given) +
                             " measurements: it holds no errors (a phase?); give --columns "
                             "r,ip for a phase, or r,skip");
      }
    }
  }
  std::string names;
  for (std::size_t c = 0; c < taken.size(); ++c) {
    names += (names.empty() ? "" : " ") + taken[c];
    if (taken[c] == "err") survey.error_column = "column " + std::to_string(6 + c) + " (err)";
  }
  survey.notes.push_back(
      "values after the electrodes taken as: " + names +
      (columns.empty() ? " (from their count; --columns names them)" : " (given by --columns)"));
  if (std::find(taken.begin(), taken.end(), "ip") != taken.end()) {
    // Protocol files of complex resistivity hold phases; the file does not say its unit.
    survey.chargeability_unit = ChargeabilityUnit::milliradians;
    survey.chargeability_unit_text = "mrad";
    survey.chargeability_unit_stated = false;
  }
  if (truncated > 0) {
    survey.notes.push_back(
        "the last measurement is cut short (fewer values than the others): "
        "dropped");
  }
  survey.notes.push_back("electrode k at x = (k - 1) * " + shortest(spacing) +
                         " m (--spacing; --electrodes places them from a table)");
  return survey;
}

FieldSurvey read_syscal_file(const Io& io, std::string_view name) {
  return read_syscal_file(io, read_field_source(io, name));
}

FieldSurvey read_terrameter_file(const Io& io, std::string_view name) {
  return read_terrameter_file(io, read_field_source(io, name));
}

FieldSurvey read_protocol_file(const Io& io, std::string_view name, double spacing,
                               const std::vector<std::string>& columns) {
  return read_protocol_file(io, read_field_source(io, name), spacing, columns);
}

}  // namespace quelby
