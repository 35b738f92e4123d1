#include "quelby/fielddata/ares_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// The lines the signature looks at (the cable's lines of contact resistances can put the data
// header past line 30), and the most of each it looks at.
constexpr std::size_t signature_lines = 40;
constexpr std::size_t signature_width = 4096;

// The largest IP window value the instrument writes in %: a window at it was cut off.
constexpr double percent_limit = 299.99;

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool has_letter(std::string_view text) {
  for (const char c : text) {
    if (is_letter(c)) return true;
  }
  return false;
}

// The name of a header line "Name: value" (lower case), or empty: a name starts with a letter and
// holds letters, digits, blanks and - . / ( ) +.
std::string setting_name(std::string_view line) {
  line = trim_blanks(line);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || !is_letter(line[0])) return {};
  const std::string_view name = trim_blanks(line.substr(0, colon));
  for (const char c : name) {
    const bool allowed = is_letter(c) || (c >= '0' && c <= '9') || c == ' ' || c == '-' ||
                         c == '.' || c == '/' || c == '(' || c == ')' || c == '+';
    if (!allowed) return {};
  }
  return lower_case(name);
}

std::string_view setting_value(std::string_view line) {
  const std::size_t colon = line.find(':');
  return colon == std::string_view::npos ? std::string_view() : trim_blanks(line.substr(colon + 1));
}

enum class Role { a, b, m, n, current, voltage, rho, deviation, ip, other };

struct Column {
  std::string name;  // as the header writes it
  std::string key;   // lower case, without the unit
  std::string unit;  // lower case, from the brackets
  Role role = Role::other;
  double scale = 1;        // to SI
  std::size_t window = 0;  // IP: the 1-based window
};

Column column_of(std::string_view name) {
  Column column;
  column.name = std::string(name);
  const std::size_t open = name.find('[');
  column.key = lower_case(trim_blanks(name.substr(0, open)));
  if (open != std::string_view::npos) {
    const std::size_t close = name.find(']', open);
    column.unit = lower_case(trim_blanks(name.substr(
        open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1)));
  }
  const std::string& key = column.key;
  if (key == "c1") column.role = Role::a;
  if (key == "c2") column.role = Role::b;
  if (key == "p1") column.role = Role::m;
  if (key == "p2") column.role = Role::n;
  if (key == "i") column.role = Role::current;
  if (key == "u") column.role = Role::voltage;
  if (key == "appres") column.role = Role::rho;
  if (key == "st-dev") column.role = Role::deviation;
  if (key == "ip" && !column.unit.empty()) {
    column.role = Role::ip;
    column.window = 1;
  }
  if (key.size() > 2 && key.starts_with("ip")) {
    std::int32_t window = 0;
    if (field_integer(std::string_view(key).substr(2), window) && window >= 1 &&
        key.find_first_not_of("0123456789", 2) == std::string::npos) {
      column.role = Role::ip;
      column.window = static_cast<std::size_t>(window);
    }
  }
  return column;
}

bool is_electrode(Role role) {
  return role == Role::a || role == Role::b || role == Role::m || role == Role::n;
}

double si_scale(std::string_view unit, std::string_view base) {
  if (unit == base) return 1;
  if (unit.size() == base.size() + 1 && unit.substr(1) == base) {
    if (unit[0] == 'm') return 1e-3;
    if (unit[0] == 'u') return 1e-6;
  }
  return 0;
}

ChargeabilityUnit ip_unit(std::string_view unit) {
  if (unit == "%") return ChargeabilityUnit::percent;
  if (unit == "mv/v") return ChargeabilityUnit::millivolt_per_volt;
  if (unit == "ms" || unit == "msec") return ChargeabilityUnit::milliseconds;
  if (unit == "mrad") return ChargeabilityUnit::milliradians;
  return ChargeabilityUnit::other;
}

class AresReader {
 public:
  AresReader(const Io& io, const FieldSource& source) : lines_(io, source) {
    survey_.format = FieldFormat::ares;
  }

  FieldSurvey read();

 private:
  void read_settings();
  void read_header();
  void read_line(std::string_view line);
  void place(FieldElectrode& electrode, std::string_view field, const Column& column, bool cut);
  void finish_ip();
  void write_notes();

  FieldLines lines_;
  FieldSurvey survey_;
  char delimiter_ = '\t';

  // The header's settings worth a note, in file order.
  std::vector<std::string> settings_;
  std::string cable_;
  std::size_t cable_lines_ = 0, other_header_lines_ = 0;
  double spacing_ = not_given;
  std::string spacing_text_;
  std::vector<double> windows_;  // s
  std::size_t data_line_ = 0, header_line_ = 0, last_line_ = 0;

  std::vector<Column> columns_;
  std::vector<std::size_t> ip_columns_;  // by window
  std::vector<double> ip_values_;
  std::size_t truncated_ = 0, truncated_first_ = 0;
  std::size_t grouped_ = 0, grouped_first_ = 0;
  std::size_t unmeasured_ = 0, unmeasured_first_ = 0;
  std::size_t no_rho_ = 0, no_rho_first_ = 0;
  std::size_t clipped_ = 0, clipped_first_ = 0;
  std::size_t flagged_ = 0, flagged_first_ = 0;
  std::string flagged_text_;
  std::size_t stray_ = 0, stray_first_ = 0;
  std::string stray_text_;
  bool decimal_commas_ = false;
};

FieldSurvey AresReader::read() {
  read_settings();
  read_header();
  std::string_view line;
  while (lines_.next_with_text(line)) read_line(line);
  finish_ip();
  write_notes();
  return std::move(survey_);
}

void AresReader::read_settings() {
  std::string_view line;
  while (true) {
    if (!lines_.next_with_text(line)) {
      lines_.fail("the file ends without a 'Measured data:' line");
    }
    const std::string name = setting_name(line);
    const std::string_view value = setting_value(line);
    if (name == "measured data") break;
    if (lower_case(trim_blanks(line)).starts_with("connected")) {
      // "Connected MC 16+8 electrodes, layed from 0 m, resistances[Ohm] of 24 el. from el.No 0:
      // 256, 246, ...": the cable, then contact resistances, which are no readings.
      if (cable_lines_++ == 0) {
        const std::string_view text = trim_blanks(line);
        cable_ = std::string(text.substr(0, std::min(text.find(", resistances"), text.find(':'))));
      }
      continue;
    }
    if (name.empty()) {
      ++other_header_lines_;
      continue;
    }
    if (name == "electrode distance") {
      const auto words = split_fields(value, ' ');
      double distance = 0;
      if (!words.empty() && field_number(words[0], distance, true) && distance > 0 &&
          (words.size() == 1 || lower_case(words[1]) == "m")) {
        spacing_ = distance;
      }
      spacing_text_ = std::string(value);
    }
    if (name == "ip windows") {
      // "IP windows:<tab>20<tab>20 ... 220 ms": the lengths, their unit last.
      const auto words = split_fields(value, ' ');
      double scale = 1e-3;
      if (!words.empty() && lower_case(words.back()) == "s") scale = 1;
      windows_.clear();
      for (const std::string_view word : words) {
        double length = 0;
        if (field_number(word, length, true) && length > 0) windows_.push_back(length * scale);
      }
    }
    static constexpr std::string_view noted[] = {
        "device",    "method",    "electrode distance", "profile length",   "x-loc",
        "y-loc",     "direction", "pulse length",       "measurement mode", "ip windows",
        "filtering", "stacking",  "minimal potential",  "maximal error",    "dummy electrodes"};
    for (const std::string_view key : noted) {
      if (name == key && !value.empty()) {
        std::string text = std::string(trim_blanks(line.substr(0, line.find(':')))) + ":";
        for (const std::string_view word : split_fields(value, ' '))
          text += " " + std::string(word);
        settings_.push_back(text);
      }
    }
  }
  data_line_ = lines_.line_number();
}

void AresReader::read_header() {
  std::string_view line;
  if (!lines_.next_with_text(line)) {
    lines_.fail("the file ends before the header row of its measured data");
  }
  header_line_ = lines_.line_number();
  delimiter_ = line.find('\t') != std::string_view::npos ? '\t' : ' ';
  bool has[10] = {};
  for (const std::string_view name : split_fields(line, delimiter_)) {
    Column column = column_of(name);
    if (column.role != Role::other && column.role != Role::ip &&
        has[static_cast<int>(column.role)]) {
      column.role = Role::other;  // the first one counts
    }
    has[static_cast<int>(column.role)] = true;
    columns_.push_back(column);
  }
  for (const Role role : {Role::a, Role::b, Role::m, Role::n}) {
    if (!has[static_cast<int>(role)]) {
      lines_.fail("the data header names no column " +
                  std::string(role == Role::a   ? "C1"
                              : role == Role::b ? "C2"
                              : role == Role::m ? "P1"
                                                : "P2") +
                  " (expected 'C1[el] C2[el] P1[el] P2[el] ...')");
    }
  }
  if (!has[static_cast<int>(Role::rho)] &&
      !(has[static_cast<int>(Role::current)] && has[static_cast<int>(Role::voltage)])) {
    lines_.fail("the data header names neither AppRes nor I and U");
  }
  const auto refuse = [&](const Column& column) {
    lines_.fail("the unit of the column " + quoted_text(column.name) + " is not one quelby knows");
  };
  std::string ip_unit_text;
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    Column& column = columns_[k];
    switch (column.role) {
      case Role::a:
      case Role::b:
      case Role::m:
      case Role::n:
        if (column.unit != "el" && column.unit != "m") refuse(column);
        break;
      case Role::current:
        column.scale = si_scale(column.unit.empty() ? "ma" : column.unit, "a");
        if (column.scale == 0) refuse(column);
        break;
      case Role::voltage:
        column.scale = si_scale(column.unit.empty() ? "mv" : column.unit, "v");
        if (column.scale == 0) refuse(column);
        break;
      case Role::rho:
        if (!column.unit.empty() && column.unit != "ohmm" && column.unit != "ohm.m" &&
            column.unit != "ohm*m") {
          refuse(column);
        }
        break;
      case Role::deviation:
        if (!column.unit.empty() && column.unit != "%") refuse(column);
        break;
      case Role::ip:
        if (ip_unit_text.empty()) ip_unit_text = column.unit;
        if (column.unit != ip_unit_text) {
          lines_.fail("the IP column " + quoted_text(column.name) +
                      " is not in the unit of the first IP column (" + ip_unit_text + ")");
        }
        if (column.window > 1000) {
          lines_.fail("the IP window " + quoted_text(column.name) + " is beyond 1000");
        }
        if (ip_columns_.size() < column.window) ip_columns_.resize(column.window, columns_.size());
        if (ip_columns_[column.window - 1] != columns_.size()) {
          lines_.fail("the IP window " + quoted_text(column.name) + " is named twice");
        }
        ip_columns_[column.window - 1] = k;
        break;
      case Role::other:
        break;
    }
  }
  for (const std::size_t at : ip_columns_) {
    if (at == columns_.size()) lines_.fail("the IP windows are not numbered 1, 2, 3, ...");
  }
  if (!ip_columns_.empty()) {
    // The unit as the header writes it, between the brackets of the first window's name.
    const std::string& name = columns_[ip_columns_[0]].name;
    const std::size_t open = name.find('[');
    survey_.chargeability_unit_text = open == std::string::npos
                                          ? std::string()
                                          : name.substr(open + 1, name.find(']') - open - 1);
    survey_.chargeability_unit = ip_unit(ip_unit_text);
    survey_.chargeability_unit_stated = !ip_unit_text.empty();
    ip_values_.assign(ip_columns_.size(), 0);
  }
}

void AresReader::place(FieldElectrode& electrode, std::string_view field, const Column& column,
                       bool cut) {
  if (field.empty() || field == "-") {
    electrode.present = false;
    return;
  }
  // "14*1": the electrode's number and the group the instrument drove the current through.
  const std::size_t star = field.find('*');
  std::string_view number_text = field.substr(0, star);
  if (star != std::string_view::npos) {
    std::int32_t group = 0;
    if (!field_integer(field.substr(star + 1), group) || group < 0) {
      if (cut) return;
      lines_.fail("the electrode " + quoted_text(field) + " of " + column.name +
                  " is no number and '*' group");
    }
    if (grouped_++ == 0) grouped_first_ = lines_.line_number();
  }
  if (column.unit == "m") {
    double x = 0;
    if (!field_number(number_text, x, true)) {
      if (cut) return;
      lines_.fail("the position " + quoted_text(field) + " of " + column.name + " is not a number");
    }
    electrode.x = x;
    return;
  }
  std::int32_t number = 0;
  if (!field_integer(number_text, number) || number < 0 || number == INT32_MAX) {
    if (cut) return;
    lines_.fail("the electrode number " + quoted_text(field) + " of " + column.name +
                " is not a whole number of 0 or more");
  }
  electrode.number = number + 1;
  electrode.x = number * (spacing_ > 0 ? spacing_ : 1.0);
}

void AresReader::read_line(std::string_view line) {
  const auto fields = split_fields(trim_blanks(line), delimiter_);
  last_line_ = lines_.line_number();
  // A line that starts with no electrode is the instrument's message or a stray setting.
  const std::string_view first = fields.empty() ? std::string_view() : fields[0];
  std::int32_t number = 0;
  double position = 0;
  const bool starts_with_electrode = field_integer(first.substr(0, first.find('*')), number) ||
                                     first == "-" || field_number(first, position, true);
  if (!starts_with_electrode) {
    if (setting_name(line) == "measured data") {
      lines_.fail("a second 'Measured data:' block: quelby reads one per file");
    }
    if (!setting_name(line).empty() || trim_blanks(line).find(' ') != std::string_view::npos) {
      if (stray_++ == 0) {
        stray_first_ = lines_.line_number();
        stray_text_ = std::string(trim_blanks(line));
      }
      return;
    }
    lines_.fail("expected a reading (C1 C2 P1 P2 ...), found " + quoted_text(trim_blanks(line)));
  }
  const bool short_row = fields.size() < columns_.size();
  const std::size_t count = std::min(fields.size(), columns_.size());
  FieldReading reading;
  reading.line = lines_.line_number();
  std::string message;
  std::fill(ip_values_.begin(), ip_values_.end(), not_given);
  for (std::size_t k = 0; k < count; ++k) {
    const bool cut = short_row && k + 1 == count;
    const Column& column = columns_[k];
    const std::string_view field = fields[k];
    if (is_electrode(column.role)) {
      place(reading.electrodes[static_cast<std::size_t>(column.role)], field, column, cut);
      continue;
    }
    if (delimiter_ == '\t' && has_letter(field) && field.find(' ') != std::string_view::npos) {
      // The instrument's message in place of the values ("too low current").
      if (message.empty()) message = std::string(field);
      continue;
    }
    if (column.role == Role::other) continue;
    double value = not_given;
    if (!field.empty() && field != "-") {
      if (field_number(field, value, true)) {
        if (field.find(',') != std::string_view::npos) decimal_commas_ = true;
        value *= column.scale;
      } else if (!cut) {
        lines_.fail("the " + column.name + " field " + quoted_text(field) + " is not a number");
      } else {
        value = not_given;
      }
    }
    switch (column.role) {
      case Role::current:
        reading.current = value;
        break;
      case Role::voltage:
        reading.voltage = value;
        break;
      case Role::rho:
        reading.apparent_resistivity = value;
        break;
      case Role::deviation:
        reading.deviation = value;
        break;
      case Role::ip:
        ip_values_[column.window - 1] = value;
        break;
      default:
        break;
    }
  }
  if (!message.empty()) {
    // Its values are not the instrument's measurement: none of them is kept.
    reading.valid = false;
    reading.current = reading.voltage = reading.apparent_resistivity = reading.deviation =
        not_given;
    if (flagged_++ == 0) {
      flagged_first_ = reading.line;
      flagged_text_ = message;
    }
    survey_.readings.push_back(reading);
    return;
  }
  if (short_row) {
    if (truncated_++ == 0) truncated_first_ = reading.line;
    return;
  }
  if (reading.current == 0 && reading.voltage == 0) {
    // No current went through: the instrument skipped the reading and wrote zeros.
    reading.valid = false;
    if (unmeasured_++ == 0) unmeasured_first_ = reading.line;
  } else if (reading.apparent_resistivity == 0 && reading.voltage != 0) {
    // The instrument writes 0 where it gives no apparent resistivity (a negative voltage).
    reading.apparent_resistivity = not_given;
    if (no_rho_++ == 0) no_rho_first_ = reading.line;
  }
  if (!ip_values_.empty()) {
    // The chargeability over all windows: their mean weighted by the windows' lengths (an integral
    // chargeability in ms is the sum of the windows' integrals). A window at the instrument's limit
    // of +-299.99 % was cut off: no chargeability follows from it.
    const bool weighted = windows_.size() == ip_values_.size();
    double sum = 0, weights = 0, integral = 0;
    bool clipped = false;
    for (std::size_t k = 0; k < ip_values_.size(); ++k) {
      const double weight = weighted ? windows_[k] : 1.0;
      sum += weight * ip_values_[k];
      weights += weight;
      integral += ip_values_[k];
      clipped = clipped || (survey_.chargeability_unit == ChargeabilityUnit::percent &&
                            std::abs(ip_values_[k]) >= percent_limit);
    }
    reading.chargeability =
        survey_.chargeability_unit == ChargeabilityUnit::milliseconds ? integral : sum / weights;
    if (clipped && reading.valid) {
      reading.chargeability = not_given;
      if (clipped_++ == 0) clipped_first_ = reading.line;
    }
  }
  survey_.readings.push_back(reading);
}

void AresReader::finish_ip() {
  if (ip_columns_.empty()) {
    survey_.notes.push_back("no IP columns: the file holds no IP");
    return;
  }
  if (clear_zero_chargeabilities(
          survey_, "the IP columns are zero throughout: a resistivity-only file, no IP read"))
    return;
  double total = 0;
  for (const double window : windows_) total += window;
  const std::string unit =
      survey_.chargeability_unit_stated ? survey_.chargeability_unit_text : "no stated unit";
  std::string text = "IP: " + std::to_string(ip_columns_.size()) + " windows in " + unit;
  if (windows_.size() == ip_columns_.size()) {
    text += " (the header's windows, " + shortest(total) + " s in all)";
    text += survey_.chargeability_unit == ChargeabilityUnit::milliseconds
                ? ": the chargeability is their sum, an integral chargeability over the windows"
                : ": the chargeability is their mean weighted by the windows' lengths";
    if (survey_.chargeability_unit == ChargeabilityUnit::milliseconds) {
      survey_.chargeability_window = total;
    }
  } else {
    text += windows_.empty() ? " (the header states no windows)"
                             : " (the header's 'IP windows' line gives " +
                                   std::to_string(windows_.size()) + " lengths)";
    text += survey_.chargeability_unit == ChargeabilityUnit::milliseconds
                ? ": the chargeability is their sum"
                : ": the chargeability is their plain mean";
  }
  survey_.notes.push_back(text + "; the IP deviations are not read");
}

void AresReader::write_notes() {
  std::vector<std::string> notes;
  for (const std::string& setting : settings_) notes.push_back("header: " + setting);
  if (cable_lines_ > 0) {
    notes.push_back("cable: " + cable_ + " (" + std::to_string(cable_lines_) +
                    (cable_lines_ == 1 ? " line" : " lines") + " of contact resistances: left)");
  }
  if (other_header_lines_ > 0) {
    notes.push_back(std::to_string(other_header_lines_) +
                    " header lines that are no 'Name: value' setting: not read");
  }
  bool numbered = false;
  for (const Column& column : columns_)
    numbered = numbered || (is_electrode(column.role) && column.unit == "el");
  if (numbered && spacing_ > 0) {
    notes.push_back("electrodes numbered from 0: electrode k at x = k * " + shortest(spacing_) +
                    " m along the line (the electrode distance), number k + 1");
  } else if (!numbered) {
    notes.push_back("electrode positions in m along the line, as the file gives them");
  } else {
    notes.push_back(
        "the header states no electrode distance in m" +
        (spacing_text_.empty() ? std::string() : " (" + quoted_text(spacing_text_) + ")") +
        ": electrode k left at x = k; positions must come from an electrode table (--electrodes "
        "FILE)");
  }
  std::string read, left;
  for (const Column& column : columns_) {
    (column.role == Role::other ? left : read) += " " + column.name;
  }
  notes.push_back("measured data (lines " + std::to_string(data_line_) + "-" +
                  std::to_string(std::max(last_line_, header_line_)) +
                  "): " + std::to_string(survey_.readings.size()) +
                  " readings; columns read:" + read + (left.empty() ? "" : "; not read:" + left));
  if (grouped_ > 0) {
    notes.push_back(std::to_string(grouped_) +
                    " electrodes written with a '*' group after their number (first: line " +
                    std::to_string(grouped_first_) + "): placed at the numbered electrode");
  }
  if (unmeasured_ > 0) {
    notes.push_back(
        std::to_string(unmeasured_) +
        " readings with no current and no voltage (zeros), marked invalid (first: line " +
        std::to_string(unmeasured_first_) + ")");
  }
  if (no_rho_ > 0) {
    notes.push_back(std::to_string(no_rho_) +
                    " readings with an apparent resistivity of 0 beside a voltage: left without "
                    "one (first: line " +
                    std::to_string(no_rho_first_) + ")");
  }
  if (clipped_ > 0) {
    notes.push_back(std::to_string(clipped_) +
                    " readings with an IP window at the instrument's limit of 299.99 %: no "
                    "chargeability (first: line " +
                    std::to_string(clipped_first_) + ")");
  }
  if (flagged_ > 0) {
    notes.push_back(std::to_string(flagged_) + " readings carry the instrument's message " +
                    quoted_text(flagged_text_) +
                    " in place of values, marked invalid (first: line " +
                    std::to_string(flagged_first_) + ")");
  }
  if (truncated_ > 0) {
    notes.push_back(std::to_string(truncated_) +
                    " truncated readings dropped (fewer fields than the header's " +
                    std::to_string(columns_.size()) + " columns; first: line " +
                    std::to_string(truncated_first_) + ")");
  }
  if (stray_ > 0) {
    notes.push_back(
        std::to_string(stray_) + " lines among the readings that are none (first: line " +
        std::to_string(stray_first_) + ", " + quoted_text(stray_text_, 60) + "): not read");
  }
  if (decimal_commas_) notes.push_back("numbers written with decimal commas");
  survey_.notes.insert(survey_.notes.begin(), notes.begin(), notes.end());
}

}  // namespace

std::string ares_mismatch(const FieldSource& source) {
  const auto lines = first_lines(source.bytes, signature_lines, signature_width);
  std::size_t first = 0;
  while (first < lines.size() && trim_blanks(lines[first]).empty()) ++first;
  if (first == lines.size()) return "no line with text";
  if (setting_name(lines[first]).empty()) {
    return "line " + std::to_string(first + 1) + " is no 'Name: value' setting";
  }
  bool method = false, distance = false;
  for (const std::string_view line : lines) {
    const std::string name = setting_name(line);
    if (name == "device" && lower_case(setting_value(line)).starts_with("ares")) return {};
    if (name == "measured data") return {};
    method = method || name == "method";
    distance = distance || name == "electrode distance";
  }
  if (method && distance) return {};
  return "no 'Device: ARES', 'Measured data:' or 'Method:' with 'Electrode distance:' line in the "
         "first " +
         std::to_string(signature_lines) + " lines";
}

FieldSurvey read_ares_file(const Io& io, const FieldSource& source) {
  AresReader reader(io, source);
  return reader.read();
}

}  // namespace quelby
