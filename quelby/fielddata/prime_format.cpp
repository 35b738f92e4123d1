#include "quelby/fielddata/prime_format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

using Index = std::optional<std::size_t>;

// The signature looks this far for the column names of a file without the banner.
constexpr std::size_t signature_lines = 64;
// Error codes listed one by one in the notes; the rest are counted together.
constexpr std::size_t listed_codes = 12;

constexpr double degree_in_milliradians = std::numbers::pi / 180 * 1000;

// The quantities of the table, each with the units a #Units row may give it.
enum class Quantity { resistance, voltage, current, percent, phase };

// An electrode of the table a header may hold after no_of_electrodes:.
struct TablePlace {
  double x = 0, y = 0, elevation = not_given;
  bool buried = false;
};

struct Setting {
  std::string name, value, unit;
};

struct Header {
  std::string banner;  // what follows "# Prime:"
  std::vector<Setting> settings;
  std::vector<std::string> units;  // the #Units row, one field per column, its label first
  std::size_t units_line = 0;
  std::unordered_map<std::int32_t, TablePlace> table;  // by electrode number
  std::size_t table_line = 0;
  std::vector<std::string> keys;   // the column names, lower case, without their colon
  std::vector<std::string> names;  // as written
  std::size_t columns_line = 0;
  char delimiter = '\t';
};

// A value column and the factor taking its numbers to ohm, V, A, percent or mrad.
struct Column {
  Index index;
  double factor = 1;
  std::string unit;  // as the #Units row writes it, or PRIME's own where it gives none
};

// The columns a reading takes its values from.
struct Columns {
  std::array<std::size_t, 4> electrode{};  // C1 C2 P1 P2, that is A B M N
  Column resistance, error, voltage, current, phase, phase_error;
  Index code;
  std::vector<const Column*> values() const {
    return {&resistance, &error, &voltage, &current, &phase, &phase_error};
  }
};

// What the rows held beside their readings, for the notes.
struct Tally {
  std::size_t error_lines = 0, first_error = 0, truncated = 0, first_truncated = 0, filled = 0,
              gaps = 0, other_codes = 0;
  std::map<std::string, std::size_t> codes;  // pt_error_code values and their counts
};

bool starts_with_word(std::string_view text, std::string_view word) {
  return text.size() >= word.size() && lower_case(text.substr(0, word.size())) == word;
}

std::string column_key(std::string_view name) {
  name = trim_blanks(name);
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return lower_case(trim_blanks(name));
}

char delimiter_of(std::string_view line) {
  return line.find('\t') != std::string_view::npos ? '\t' : ' ';
}

bool names_the_table(std::string_view line) {
  int found = 0;
  for (const std::string_view name : split_fields(line, delimiter_of(line))) {
    const std::string key = column_key(name);
    found += key == "pt_c1_no" || key == "pt_p1_no" || key == "pt_calc_res" ? 1 : 0;
  }
  return found == 3;
}

bool is_banner(std::string_view line) {
  line = trim_blanks(line);
  return !line.empty() && line.front() == '#' &&
         starts_with_word(trim_blanks(line.substr(1)), "prime");
}

// The first `count` lines of `text` (LF, CR LF or a lone CR ends one).
std::vector<std::string_view> leading_lines(std::string_view text, std::size_t count) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (at < text.size() && lines.size() < count) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end;
    if (at < text.size())
      at += text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
  }
  return lines;
}

// A field PRIME writes where a value is missing: empty, NaN, or a run of slashes, dots, stars and
// dashes ("/.//" where the instrument lost a value).
bool missing_value(std::string_view text) {
  text = trim_blanks(text);
  const std::string lower = lower_case(text);
  if (lower == "nan" || lower == "-nan" || lower == "inf" || lower == "-inf") return true;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == '/' || c == '.' || c == '*' || c == '-'; });
}

bool electrode_number(std::string_view text, std::int32_t& number) {
  return field_integer(text, number) && number >= 1;
}

// The factor from `unit` (as the #Units row writes it) to ohm, V, A, percent or mrad; 0 for a unit
// this reader does not know.
double unit_factor(Quantity quantity, std::string_view unit) {
  const std::string text = lower_case(trim_blanks(unit));
  switch (quantity) {
    case Quantity::resistance:
      return text == "ohm" ? 1 : text == "kohm" ? 1e3 : 0;
    case Quantity::voltage:
      return text == "v" ? 1 : text == "mv" ? 1e-3 : text == "uv" ? 1e-6 : 0;
    case Quantity::current:
      return text == "a" ? 1 : text == "ma" ? 1e-3 : text == "ua" ? 1e-6 : 0;
    case Quantity::percent:
      return text == "%" ? 1 : text == "tenths %" || text == "tenths%" ? 0.1 : 0;
    case Quantity::phase:
      return text == "degrees" || text == "degree" || text == "deg" ? degree_in_milliradians
             : text == "mrad"                                       ? 1
             : text == "rad"                                        ? 1e3
                                                                    : 0;
  }
  return 0;
}

// The unit PRIME writes for each quantity, taken where a file has no #Units row.
std::string_view usual_unit(Quantity quantity) {
  switch (quantity) {
    case Quantity::resistance:
      return "Ohm";
    case Quantity::voltage:
      return "mV";
    case Quantity::current:
      return "mA";
    case Quantity::percent:
      return "Tenths %";
    case Quantity::phase:
      return "Degrees";
  }
  return "";
}

Index find_key(const Header& header, std::string_view key) {
  const auto at = std::find(header.keys.begin(), header.keys.end(), key);
  if (at == header.keys.end()) return std::nullopt;
  return static_cast<std::size_t>(at - header.keys.begin());
}

Column find_column(FieldLines& lines, const Header& header, std::string_view key,
                   Quantity quantity) {
  Column column;
  column.index = find_key(header, key);
  if (!column.index) return column;
  const std::size_t k = *column.index;
  // The row's first field is its label "#Units", in the place of the first column.
  const std::string_view stated =
      k > 0 && k < header.units.size() ? trim_blanks(header.units[k]) : std::string_view();
  column.unit =
      stated.empty() || stated == "-" ? std::string(usual_unit(quantity)) : std::string(stated);
  column.factor = unit_factor(quantity, column.unit);
  if (column.factor == 0) {
    lines.fail_at(header.units_line, "the unit " + quoted_text(column.unit) + " of the column " +
                                         quoted_text(header.names[k]) + " is not one quelby reads");
  }
  return column;
}

// The electrode table after "no_of_electrodes: N": an optional line of column names, then N lines
// "number x y z [Surface|Borehole]".
void read_electrode_table(FieldLines& lines, std::string_view count_text, Header& header) {
  std::int32_t count = 0;
  if (!field_integer(count_text, count) || count < 1) {
    lines.fail("no_of_electrodes: " + quoted_text(count_text) + " is not a number of electrodes");
  }
  header.table_line = lines.line_number();
  std::int32_t read = 0;
  bool names_passed = false;
  std::string_view line;
  while (read < count) {
    if (!lines.next_with_text(line)) {
      lines.fail_at(0, "the file ends after " + std::to_string(read) + " of the " +
                           std::to_string(count) + " electrodes of its electrode table");
    }
    const auto fields = split_fields(line, ' ');
    std::int32_t number = 0;
    TablePlace place;
    const bool row = fields.size() >= 4 && field_integer(fields[0], number) &&
                     field_number(fields[1], place.x) && field_number(fields[2], place.y) &&
                     field_number(fields[3], place.elevation);
    if (!row && read == 0 && !names_passed) {
      names_passed = true;  // the table's column names
      continue;
    }
    if (!row) {
      lines.fail("expected electrode " + std::to_string(read + 1) + " of the " +
                 std::to_string(count) + " of the electrode table (number x y z), found " +
                 quoted_text(trim_blanks(line)));
    }
    if (number < 1)
      lines.fail("the electrode number " + std::to_string(number) + " is not 1 or more");
    if (fields.size() > 4) {
      const std::string kind = lower_case(fields[4]);
      place.buried = kind == "borehole" || kind == "buried";
    }
    if (!header.table.emplace(number, place).second) {
      lines.fail("electrode " + std::to_string(number) + " is in the electrode table twice");
    }
    ++read;
  }
}

// Settings, the #Units row and the electrode table up to the column names.
void read_header(FieldLines& lines, Header& header) {
  std::string_view line;
  bool data_seen = false;
  while (lines.next_with_text(line)) {
    const std::string_view text = trim_blanks(line);
    if (starts_with_word(text, "pt_")) {
      header.columns_line = lines.line_number();
      header.delimiter = delimiter_of(line);
      for (const std::string_view name : split_fields(line, header.delimiter)) {
        header.names.emplace_back(trim_blanks(name));
        header.keys.push_back(column_key(name));
      }
      return;
    }
    if (data_seen) {
      lines.fail(
          "expected the column names (pt_line_number: pt_calc_res: ...) after data:, found " +
          quoted_text(text));
    }
    if (text.front() == '#') {
      if (starts_with_word(text, "#units")) {
        header.units.clear();
        for (const std::string_view unit : split_fields(line, '\t'))
          header.units.emplace_back(unit);
        header.units_line = lines.line_number();
      } else if (is_banner(text) && header.banner.empty()) {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) header.banner = trim_blanks(text.substr(colon + 1));
      }
      continue;  // the row of C formats and other remarks
    }
    if (lower_case(text) == "data:") {
      data_seen = true;
      continue;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      lines.fail("expected a setting (name: value), data: or the column names, found " +
                 quoted_text(text));
    }
    Setting setting;
    setting.name = trim_blanks(text.substr(0, colon));
    const std::string_view rest = text.substr(colon + 1);
    std::vector<std::string_view> values;
    for (const std::string_view field : split_fields(rest, delimiter_of(rest))) {
      if (!trim_blanks(field).empty()) values.push_back(trim_blanks(field));
    }
    if (!values.empty()) setting.value = values[0];
    if (values.size() > 1) setting.unit = values[1];
    if (lower_case(setting.name) == "no_of_electrodes") {
      read_electrode_table(lines, setting.value, header);
    }
    header.settings.push_back(std::move(setting));
  }
  lines.fail_at(0, "the file ends before the column names (pt_line_number: pt_calc_res: ...)");
}

const Setting* find_setting(const Header& header, std::string_view name) {
  for (const Setting& setting : header.settings) {
    if (lower_case(setting.name) == name) return &setting;
  }
  return nullptr;
}

// A setting naming the electrode spacing, with its positive value; nothing where the header states
// none.
std::optional<std::pair<std::string, double>> stated_spacing(const Header& header) {
  for (const Setting& setting : header.settings) {
    double value = 0;
    if (lower_case(setting.name).find("spacing") != std::string::npos &&
        field_number(setting.value, value) && value > 0) {
      return std::make_pair(setting.name, value);
    }
  }
  return std::nullopt;
}

std::string settings_note(const Header& header) {
  std::string text;
  for (const std::string_view name :
       {"site_name", "set_name", "set_actual_start_time", "set_meas_type", "set_meas_array_style",
        "set_current_max", "set_meas_frequency", "set_max_meas_cycles"}) {
    if (const Setting* setting = find_setting(header, name)) {
      text += (text.empty() ? "" : ", ") + setting->name + " " + setting->value +
              (setting->unit.empty() ? "" : " " + setting->unit);
    }
  }
  return text;
}

// The electrode and value columns the column names hold; at least the electrodes and R, or V and I.
Columns find_columns(FieldLines& lines, const Header& header) {
  Columns columns;
  constexpr std::array<std::string_view, 4> electrode_keys = {"pt_c1_no", "pt_c2_no", "pt_p1_no",
                                                              "pt_p2_no"};
  for (std::size_t role = 0; role < 4; ++role) {
    const Index at = find_key(header, electrode_keys[role]);
    if (!at) {
      lines.fail_at(header.columns_line,
                    "the column names hold no " + std::string(electrode_keys[role]) +
                        ": (the number of electrode " + std::string(1, "ABMN"[role]) + ")");
    }
    columns.electrode[role] = *at;
  }
  columns.resistance = find_column(lines, header, "pt_calc_res", Quantity::resistance);
  columns.error = find_column(lines, header, "pt_calc_res_error", Quantity::percent);
  columns.voltage = find_column(lines, header, "pt_meas_voltage_mean", Quantity::voltage);
  columns.current = find_column(lines, header, "pt_meas_current_mag", Quantity::current);
  columns.phase = find_column(lines, header, "pt_calc_phase_mag", Quantity::phase);
  columns.phase_error = find_column(lines, header, "pt_calc_phase_error", Quantity::percent);
  columns.code = find_key(header, "pt_error_code");
  if (!columns.resistance.index && !(columns.voltage.index && columns.current.index)) {
    lines.fail_at(header.columns_line,
                  "the column names hold neither pt_calc_res: nor pt_meas_voltage_mean: and "
                  "pt_meas_current_mag:");
  }
  return columns;
}

// The notes of a survey read: counts, settings, columns, IP, positions and what was left.
void add_notes(const Header& header, const Columns& columns, const Tally& tally,
               FieldSurvey& survey) {
  auto& notes = survey.notes;
  notes.push_back("BGS PRIME export" + (header.banner.empty() ? "" : " (" + header.banner + ")") +
                  ": " + std::to_string(survey.readings.size()) + " readings in the table under " +
                  "the column names of line " + std::to_string(header.columns_line));
  if (const std::string settings = settings_note(header); !settings.empty()) {
    notes.push_back("settings: " + settings);
  }
  if (const Setting* stated = find_setting(header, "set_no_of_meas")) {
    notes.push_back("set_no_of_meas states " + stated->value + " measurements; " +
                    std::to_string(survey.readings.size()) + " read");
  }
  std::string read = "columns read: pt_c1_no: pt_c2_no: pt_p1_no: pt_p2_no: (A B M N)";
  for (const Column* column : columns.values()) {
    if (column->index) read += ", " + header.names[*column->index] + " (" + column->unit + ")";
  }
  notes.push_back(read);
  if (columns.error.index) {
    notes.push_back(header.names[*columns.error.index] +
                    " taken as the stacking deviation and the relative error of R");
  }
  if (survey.chargeability_unit == ChargeabilityUnit::milliradians) {
    notes.push_back("IP: the phase " + header.names[*columns.phase.index] + " (" +
                    columns.phase.unit + ") taken in mrad, signed as the file gives it");
  } else if (columns.phase.index) {
    notes.push_back("the phase column is all zero or empty: no IP read");
  }
  if (!header.table.empty()) {
    notes.push_back("electrodes placed by the file's electrode table (no_of_electrodes: " +
                    std::to_string(header.table.size()) + ", line " +
                    std::to_string(header.table_line) + ")");
  } else if (const auto spacing = stated_spacing(header)) {
    notes.push_back("electrode k at x = (k - 1) * " + shortest(spacing->second) + " m (" +
                    spacing->first + ")");
  } else {
    notes.push_back(
        "electrode k at x = k - 1 m: the file numbers its electrodes but gives no positions; they "
        "must come from an electrode table (--electrodes FILE)");
  }
  if (tally.filled > 0) {
    notes.push_back(std::to_string(tally.filled) +
                    " readings leave C1 or C2 blank: those of the line before taken");
  }
  if (tally.gaps > 0) {
    notes.push_back(std::to_string(tally.gaps) +
                    " readings with values the instrument did not record (empty, NaN or '/.//'): "
                    "those values left out");
  }
  if (tally.error_lines > 0) {
    notes.push_back(std::to_string(tally.error_lines) +
                    " error lines of the instrument (**Error) left, the first on line " +
                    std::to_string(tally.first_error));
  }
  if (tally.truncated > 0) {
    notes.push_back(std::to_string(tally.truncated) +
                    " truncated readings (fewer fields than the column names, or cut by the end of "
                    "the file) dropped, the first on line " +
                    std::to_string(tally.first_truncated));
  }
  if (!tally.codes.empty()) {
    std::string text;
    for (const auto& [name, count] : tally.codes) {
      text += (text.empty() ? "" : ", ") + name + " on " + std::to_string(count);
    }
    if (tally.other_codes > 0) text += ", other codes on " + std::to_string(tally.other_codes);
    notes.push_back("pt_error_code: " + text +
                    " (the file does not say what the codes mean: every reading kept)");
  }
}

// The electrodes of a reading from their numbers: the file's table places them, else its spacing,
// else the number's placeholder k - 1.
void place_electrodes(FieldLines& lines, const Header& header, double spacing,
                      const std::array<std::int32_t, 4>& numbers, FieldReading& reading) {
  for (std::size_t role = 0; role < 4; ++role) {
    FieldElectrode& placed = reading.electrodes[role];
    placed.number = numbers[role];
    if (header.table.empty()) {
      placed.x = (numbers[role] - 1) * spacing;
      continue;
    }
    const auto at = header.table.find(numbers[role]);
    if (at == header.table.end()) {
      lines.fail("electrode " + std::to_string(numbers[role]) +
                 " is not in the electrode table of line " + std::to_string(header.table_line));
    }
    placed.x = at->second.x;
    placed.y = at->second.y;
    placed.elevation = at->second.elevation;
    placed.buried = at->second.buried;
  }
}

}  // namespace

std::string prime_mismatch(const FieldSource& source) {
  const std::vector<std::string_view> lines = leading_lines(source.bytes, signature_lines);
  std::size_t first = 0;
  while (first < lines.size() && trim_blanks(lines[first]).empty()) ++first;
  if (first == lines.size()) return "the file holds no line with text";
  if (is_banner(lines[first])) return {};
  for (const std::string_view line : lines) {
    if (names_the_table(line)) return {};
  }
  return "line " + std::to_string(first + 1) +
         " is no '# Prime:' banner, and no line among the first " +
         std::to_string(signature_lines) + " names pt_c1_no:, pt_p1_no: and pt_calc_res:";
}

FieldSurvey read_prime_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  Header header;
  read_header(lines, header);
  const Columns columns = find_columns(lines, header);
  FieldSurvey survey;
  survey.format = FieldFormat::prime;
  // The columns whose numbers a reading takes: a line the file's end cuts within one of them may
  // hold a number cut short.
  std::vector<bool> taken(header.keys.size(), false);
  for (const std::size_t k : columns.electrode) taken[k] = true;
  for (const Column* column : columns.values()) {
    if (column->index) taken[*column->index] = true;
  }
  const auto spacing = stated_spacing(header);

  Tally tally;
  std::array<std::int32_t, 4> last{};
  bool have_last = false;
  const char* const end = source.bytes.data() + source.bytes.size();
  std::string_view line;
  while (lines.next_with_text(line)) {
    const auto fields = split_fields(line, header.delimiter);
    if (fields.front().starts_with('*')) {
      // "**Error ..." lines of a measurement the instrument could not make.
      if (tally.error_lines++ == 0) tally.first_error = lines.line_number();
      continue;
    }
    const bool cut_by_end = line.data() + line.size() == end;
    if (fields.size() < header.keys.size() ||
        (cut_by_end && fields.size() == header.keys.size() && taken.back())) {
      if (tally.truncated++ == 0) tally.first_truncated = lines.line_number();
      continue;
    }
    for (std::size_t k = header.keys.size(); k < fields.size(); ++k) {
      if (!fields[k].empty()) {
        lines.fail("the line holds " + std::to_string(fields.size()) +
                   " fields, the column names " + std::to_string(header.keys.size()));
      }
    }
    FieldReading reading;
    reading.line = lines.line_number();
    std::array<std::int32_t, 4> numbers{};
    bool reused = false;
    for (std::size_t role = 0; role < 4; ++role) {
      const std::size_t k = columns.electrode[role];
      if (fields[k].empty() && role < 2 && have_last) {
        // The current electrodes are left blank while they stay those of the line before.
        numbers[role] = last[role];
        reused = true;
      } else if (!electrode_number(fields[k], numbers[role])) {
        lines.fail("the " + quoted_text(header.names[k]) + " field " + quoted_text(fields[k]) +
                   " is not an electrode number (a whole number from 1)");
      }
    }
    tally.filled += reused ? 1 : 0;
    last = numbers;
    have_last = true;
    place_electrodes(lines, header, spacing ? spacing->second : 1.0, numbers, reading);
    bool gap = false;
    const auto value = [&](const Column& column) {
      if (!column.index) return not_given;
      const std::string_view text = fields[*column.index];
      double number = 0;
      if (field_number(text, number)) return number * column.factor;
      if (!missing_value(text)) {
        lines.fail("the " + quoted_text(header.names[*column.index]) + " field " +
                   quoted_text(text) + " is not a number");
      }
      gap = true;
      return not_given;
    };
    reading.resistance = value(columns.resistance);
    reading.voltage = value(columns.voltage);
    reading.current = value(columns.current);
    if (const double percent = std::abs(value(columns.error)); std::isfinite(percent)) {
      reading.deviation = percent;
      reading.relative_error = percent / 100;
    }
    reading.chargeability = value(columns.phase);
    if (const double percent = std::abs(value(columns.phase_error));
        std::isfinite(percent) && std::isfinite(reading.chargeability)) {
      reading.chargeability_std = std::abs(reading.chargeability) * percent / 100;
    }
    tally.gaps += gap ? 1 : 0;
    if (columns.code && !fields[*columns.code].empty()) {
      const std::string text(fields[*columns.code]);
      if (tally.codes.count(text) > 0 || tally.codes.size() < listed_codes) {
        ++tally.codes[text];
      } else {
        ++tally.other_codes;
      }
    }
    survey.readings.push_back(reading);
  }

  // A phase column of zeros only is that of a DC-only export.
  bool ip = false;
  for (const FieldReading& reading : survey.readings) {
    ip = ip || (std::isfinite(reading.chargeability) && reading.chargeability != 0);
  }
  if (ip) {
    survey.chargeability_unit = ChargeabilityUnit::milliradians;
    survey.chargeability_unit_text = "mrad";
  } else {
    for (FieldReading& reading : survey.readings) {
      reading.chargeability = not_given;
      reading.chargeability_std = not_given;
    }
  }
  add_notes(header, columns, tally, survey);
  return survey;
}

}  // namespace quelby
