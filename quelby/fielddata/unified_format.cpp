#include "quelby/fielddata/unified_format.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

enum class Column {
  a,
  b,
  m,
  n,
  rhoa,
  resistance,
  voltage,
  current,
  geometric_factor,
  error,
  ip,
  ip_error,
  valid,
  unused
};

struct ColumnSpec {
  Column column = Column::unused;
  double scale = 1;       // to SI (mV -> V, mA -> A, % -> fraction)
  bool absolute = false;  // an error in ohms rather than relative
  std::string text;       // the token as written
};

// The words of a "#" comment line ("# a b m n r/Ohm" -> "a", "b", "m", "n", "r/Ohm").
std::vector<std::string_view> comment_words(std::string_view line) {
  const std::size_t hash = line.find('#');
  if (hash == std::string_view::npos) return {};
  return split_fields(line.substr(hash + 1), ' ');
}

bool is_electrode_token(std::string_view word) {
  const std::string lower = lower_case(word);
  return lower == "a" || lower == "c1";
}

ColumnSpec column_of(const FieldLines& lines, std::string_view token, FieldSurvey& survey) {
  ColumnSpec spec;
  spec.text = std::string(token);
  const std::size_t slash = token.find('/');
  const std::string key = lower_case(token.substr(0, slash));
  const std::string unit =
      slash == std::string_view::npos ? std::string() : lower_case(token.substr(slash + 1));
  const auto refuse_unit = [&] {
    lines.fail("the column " + quoted_text(token) + " has a unit quelby does not know");
  };
  if (key == "a" || key == "c1") {
    spec.column = Column::a;
  } else if (key == "b" || key == "c2") {
    spec.column = Column::b;
  } else if (key == "m" || key == "p1") {
    spec.column = Column::m;
  } else if (key == "n" || key == "p2") {
    spec.column = Column::n;
  } else if (key == "rhoa" || key == "rho_a" || key == "ra") {
    spec.column = Column::rhoa;
    if (!unit.empty() && unit != "ohmm" && unit != "ohm.m" && unit != "ohmmeter") refuse_unit();
  } else if (key == "r" || key == "rho" || key == "z") {
    spec.column = Column::resistance;
    if (!unit.empty() && unit != "ohm") refuse_unit();
  } else if (key == "u" || key == "v") {
    spec.column = Column::voltage;
    if (unit == "mv") {
      spec.scale = 1e-3;
    } else if (unit == "uv") {
      spec.scale = 1e-6;
    } else if (!unit.empty() && unit != "v") {
      refuse_unit();
    }
  } else if (key == "i") {
    spec.column = Column::current;
    if (unit == "ma") {
      spec.scale = 1e-3;
    } else if (unit == "ua") {
      spec.scale = 1e-6;
    } else if (!unit.empty() && unit != "a") {
      refuse_unit();
    }
  } else if (key == "k") {
    spec.column = Column::geometric_factor;
  } else if (key == "err" || key == "error" || key == "std") {
    spec.column = Column::error;
    if (unit == "%") {
      spec.scale = 1e-2;
    } else if (unit == "ohm") {
      spec.absolute = true;
    } else if (!unit.empty() && unit != "1") {
      refuse_unit();
    }
  } else if (key == "ip") {
    spec.column = Column::ip;
    if (unit.empty() || unit == "mrad") {
      // A bare "ip" says nothing of its unit: the import takes --ip-unit, or a phase by default.
      survey.chargeability_unit = ChargeabilityUnit::milliradians;
      survey.chargeability_unit_text = "mrad";
      survey.chargeability_unit_stated = !unit.empty();
    } else if (unit == "mv/v") {
      survey.chargeability_unit = ChargeabilityUnit::millivolt_per_volt;
      survey.chargeability_unit_text = "mV/V";
    } else if (unit == "%") {
      survey.chargeability_unit = ChargeabilityUnit::percent;
      survey.chargeability_unit_text = "%";
    } else if (unit == "ms" || unit == "msec") {
      survey.chargeability_unit = ChargeabilityUnit::milliseconds;
      survey.chargeability_unit_text = "ms";
    } else {
      survey.chargeability_unit = ChargeabilityUnit::other;
      survey.chargeability_unit_text = std::string(token.substr(slash + 1));
    }
  } else if (key == "iperr") {
    spec.column = Column::ip_error;
  } else if (key == "valid") {
    spec.column = Column::valid;
  }
  return spec;
}

// The electrode of number `number` (1-based; 0 for none) as a reading's electrode.
FieldElectrode electrode_of(const FieldLines& lines, std::int32_t number,
                            const std::vector<FieldElectrode>& electrodes) {
  if (number == 0) {
    FieldElectrode missing;
    missing.present = false;
    return missing;
  }
  if (number < 0 || static_cast<std::size_t>(number) > electrodes.size()) {
    lines.fail("electrode " + std::to_string(number) + " is not one of the " +
               std::to_string(electrodes.size()) + " electrodes");
  }
  return electrodes[static_cast<std::size_t>(number - 1)];
}

// A count line: a whole number of 0 or more as its first field.
std::int32_t read_count(FieldLines& lines, std::string_view line, std::string_view what) {
  const auto fields = split_fields(line, ' ');
  std::int32_t count = -1;
  if (fields.empty() || !field_integer(fields[0], count) || count < 0) {
    lines.fail("expected " + std::string(what) + ", found " +
               quoted_text(fields.empty() ? line : fields[0]));
  }
  return count;
}

// The position tokens of a "# x z" line (empty when `line` is no such line).
std::vector<std::string> position_tokens(std::string_view line) {
  std::vector<std::string> tokens;
  for (const std::string_view word : comment_words(line)) {
    const std::string lower = lower_case(word);
    if (lower != "x" && lower != "y" && lower != "z") break;
    tokens.push_back(lower);
  }
  return tokens;
}

// The position (x, y, elevation) on a line of positions: the columns `tokens` (x, y, z), or by
// default as many as the line holds (x; x z; x y z), which then become the tokens of the lines
// after it. A y other than 0 is kept: the import writes such electrodes as a 3-D survey, or as a
// 2-D line where they stand on one.
std::array<double, 3> position_of(const FieldLines& lines, std::string_view text,
                                  std::vector<std::string>& tokens) {
  const auto fields = split_fields(text, ' ');
  if (tokens.empty()) {
    tokens = fields.size() >= 3   ? std::vector<std::string>{"x", "y", "z"}
             : fields.size() == 2 ? std::vector<std::string>{"x", "z"}
                                  : std::vector<std::string>{"x"};
  }
  if (fields.size() < tokens.size()) {
    lines.fail("expected " + std::to_string(tokens.size()) + " positions (" +
               std::to_string(fields.size()) + " found)");
  }
  double x = 0, y = 0, z = not_given;
  for (std::size_t c = 0; c < tokens.size(); ++c) {
    double value = 0;
    if (!field_number(fields[c], value)) {
      lines.fail("the position " + quoted_text(fields[c]) + " is not a finite number");
    }
    if (tokens[c] == "x") x = value;
    if (tokens[c] == "y") y = value;
    if (tokens[c] == "z") z = value;
  }
  return {x, y, z};
}

// `count` lines of positions; a comment line before the first that names the columns ("# x z")
// sets `tokens`.
std::vector<std::array<double, 3>> read_positions(FieldLines& lines, std::int32_t count,
                                                  std::vector<std::string>& tokens,
                                                  std::string_view what) {
  std::vector<std::array<double, 3>> points;
  points.reserve(static_cast<std::size_t>(std::min(count, 1 << 16)));
  std::string_view line;
  while (static_cast<std::int32_t>(points.size()) < count) {
    if (!lines.next(line)) {
      lines.fail("the file ends after " + std::to_string(points.size()) + " of the " +
                 std::to_string(count) + " " + std::string(what));
    }
    const std::string_view text = trim_blanks(cut_comment(line, '#'));
    if (text.empty()) {
      const auto found = position_tokens(line);
      if (points.empty() && !found.empty()) tokens = found;
      continue;
    }
    points.push_back(position_of(lines, text, tokens));
  }
  return points;
}

}  // namespace

FieldSurvey read_unified_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  FieldSurvey survey;
  survey.format = FieldFormat::unified;

  // The electrode count, then the position tokens of the last comment line before the positions.
  std::string_view line;
  if (!lines.next_with_text(line, '#')) lines.fail_at(0, "the file holds no electrode count");
  const std::int32_t electrode_count = read_count(lines, line, "the number of electrodes");
  std::vector<std::string> tokens;
  std::vector<FieldElectrode> electrodes;
  for (const auto& point : read_positions(lines, electrode_count, tokens, "electrode positions")) {
    FieldElectrode electrode;
    electrode.x = point[0];
    electrode.y = point[1];
    electrode.elevation = point[2];
    electrode.number = static_cast<std::int32_t>(electrodes.size() + 1);
    electrodes.push_back(electrode);
  }

  // The data count, then the column tokens of the last comment line before the first datum.
  if (!lines.next_with_text(line, '#')) lines.fail_at(0, "the file holds no data count");
  const std::int32_t data_count = read_count(lines, line, "the number of data");
  std::vector<ColumnSpec> columns;
  std::size_t required_columns = 0;  // the default order's err may be left out
  survey.readings.reserve(static_cast<std::size_t>(std::min(data_count, 1 << 16)));
  std::int32_t read = 0;
  while (read < data_count) {
    if (!lines.next(line)) {
      lines.fail("the file ends after " + std::to_string(read) + " of the " +
                 std::to_string(data_count) + " data");
    }
    const std::string_view text = trim_blanks(cut_comment(line, '#'));
    if (text.empty()) {
      const auto words = comment_words(line);
      if (read == 0 && !words.empty() && is_electrode_token(words[0])) {
        columns.clear();
        for (const std::string_view word : words) columns.push_back(column_of(lines, word, survey));
        required_columns = columns.size();
      }
      continue;
    }
    if (columns.empty()) {
      for (const std::string_view word : {"a", "b", "m", "n", "rhoa", "err"}) {
        columns.push_back(column_of(lines, word, survey));
      }
      survey.notes.push_back("no token line: the columns are a b m n rhoa err");
      required_columns = 5;
    }
    const auto fields = split_fields(text, ' ');
    if (fields.size() < required_columns && read + 1 == data_count && !fields.empty()) {
      // The last datum cut short: none of its values can be trusted.
      survey.notes.push_back("line " + std::to_string(lines.line_number()) +
                             ": the last datum is cut short (" + std::to_string(fields.size()) +
                             " of " + std::to_string(required_columns) + " columns): dropped");
      ++read;
      continue;
    }
    if (fields.size() < required_columns) {
      lines.fail("expected " + std::to_string(required_columns) + " columns (" +
                 std::to_string(fields.size()) + " found)");
    }
    FieldReading reading;
    reading.line = lines.line_number();
    bool seen[4] = {false, false, false, false};
    for (std::size_t c = 0; c < columns.size() && c < fields.size(); ++c) {
      const ColumnSpec& spec = columns[c];
      if (spec.column == Column::unused) continue;
      const std::string_view field = fields[c];
      if (spec.column <= Column::n) {
        std::int32_t number = 0;
        if (!field_integer(field, number)) {
          lines.fail("the electrode number " + quoted_text(field) + " is not a whole number");
        }
        const std::size_t role = static_cast<std::size_t>(spec.column);
        reading.electrodes[role] = electrode_of(lines, number, electrodes);
        seen[role] = true;
        continue;
      }
      double value = 0;
      if (!field_number(field, value)) {
        // A value that is no finite number leaves the reading without it; the import drops a
        // reading whose datum cannot be made.
        reading.valid = reading.valid && spec.column != Column::valid;
        continue;
      }
      switch (spec.column) {
        case Column::rhoa:
          reading.apparent_resistivity = value;
          break;
        case Column::resistance:
          reading.resistance = value;
          break;
        case Column::voltage:
          reading.voltage = value * spec.scale;
          break;
        case Column::current:
          reading.current = value * spec.scale;
          break;
        case Column::geometric_factor:
          reading.geometric_factor = value;
          break;
        case Column::error:
          if (spec.absolute) {
            reading.std = value;
          } else {
            reading.relative_error = value * spec.scale;
          }
          break;
        case Column::ip:
          reading.chargeability = value;
          break;
        case Column::ip_error:
          reading.chargeability_std = value;
          break;
        case Column::valid:
          reading.valid = value != 0;
          break;
        default:
          break;
      }
    }
    for (std::size_t role = 0; role < 4; ++role) {
      if (!seen[role])
        lines.fail("the token line names no column for electrode " + std::string(1, "ABMN"[role]));
    }
    survey.readings.push_back(reading);
    ++read;
  }
  std::string unused;
  for (const ColumnSpec& spec : columns) {
    if (spec.column == Column::unused) unused += " " + spec.text;
  }
  if (!unused.empty()) survey.notes.push_back("columns not read:" + unused);

  // An optional topography: a count, then its points.
  if (lines.next_with_text(line, '#')) {
    const auto fields = split_fields(trim_blanks(line), ' ');
    std::int32_t count = -1;
    if (fields.size() == 1 && field_integer(fields[0], count) && count >= 0) {
      const auto points = read_positions(lines, count, tokens, "topography points");
      for (const auto& point : points) {
        if (std::isnan(point[2])) lines.fail("a topography point without an elevation");
        survey.topography.push_back({point[0], point[2]});
      }
    } else {
      survey.notes.push_back("the text after the data (from line " +
                             std::to_string(lines.line_number()) + ") is not read");
    }
  }
  return survey;
}

FieldSurvey read_unified_file(const Io& io, std::string_view name) {
  return read_unified_file(io, read_field_source(io, name));
}

}  // namespace quelby
