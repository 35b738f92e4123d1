#include "quelby/fielddata/lippmann_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// The lines the signature looks at, and the most of each it looks at.
constexpr std::size_t signature_lines = 16;
constexpr std::size_t signature_width = 4096;

// The title of a section line "* Title *****" (a star, a title starting with a letter, three or
// more stars closing the line); empty for every other line.
std::string_view section_title(std::string_view line) {
  line = trim_blanks(line);
  if (line.size() < 5 || line.front() != '*') return {};
  std::size_t end = line.size();
  while (end > 1 && line[end - 1] == '*') --end;
  if (line.size() - end < 3) return {};
  const std::string_view title = trim_blanks(line.substr(1, end - 1));
  const char first = title.empty() ? '\0' : title.front();
  return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') ? title
                                                                          : std::string_view();
}

bool is_comment(std::string_view line) {
  line = trim_blanks(line);
  return !line.empty() && line.front() == '*';
}

// The text of a comment line after its star.
std::string_view after_star(std::string_view line) {
  return trim_blanks(trim_blanks(line).substr(1));
}

// A word of a line and the column one past its last character: the units row stands right-aligned
// under the header's names.
struct Word {
  std::string_view text;
  std::size_t end;
};

std::vector<Word> words_of(std::string_view line) {
  std::vector<Word> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at == line.size()) break;
    const std::size_t begin = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    words.push_back({line.substr(begin, at - begin), at});
  }
  return words;
}

enum class Role { number, a, b, m, n, current, voltage, deviation, rho, phase, frequency, other };

struct Column {
  std::string name;  // as the header writes it
  std::size_t end = 0;
  Role role = Role::other;
  std::string unit;  // as the units row writes it
  double scale = 1;  // to SI
};

Role role_of(std::string_view name) {
  // A B M N are upper case: the lower-case "n" is the level of the array.
  if (name == "A") return Role::a;
  if (name == "B") return Role::b;
  if (name == "M") return Role::m;
  if (name == "N") return Role::n;
  const std::string key = lower_case(name);
  if (key == "num") return Role::number;
  if (key == "i") return Role::current;
  if (key == "u") return Role::voltage;
  if (key == "du") return Role::deviation;
  if (key == "rho") return Role::rho;
  if (key == "phi") return Role::phase;
  if (key == "f") return Role::frequency;
  return Role::other;
}

// The factor from `unit` (lower case) to volts or amperes (`base` "v" or "a"); 0 for another unit.
double si_scale(std::string_view unit, std::string_view base) {
  if (unit == base) return 1;
  if (unit.size() == base.size() + 1 && unit.substr(1) == base) {
    if (unit[0] == 'm') return 1e-3;
    if (unit[0] == 'u') return 1e-6;
  }
  return 0;
}

ChargeabilityUnit ip_unit(std::string_view unit) {
  const std::string key = lower_case(unit);
  if (key == "mrad") return ChargeabilityUnit::milliradians;
  if (key == "mv/v") return ChargeabilityUnit::millivolt_per_volt;
  if (key == "%") return ChargeabilityUnit::percent;
  if (key == "ms" || key == "msec") return ChargeabilityUnit::milliseconds;
  return ChargeabilityUnit::other;
}

struct TableElectrode {
  double x = 0, y = 0, elevation = not_given;
  std::size_t line = 0;
};

// A block of the file the reader leaves, for the notes.
struct LeftBlock {
  std::size_t first = 0, last = 0, rows = 0;
};

class LippmannReader {
 public:
  LippmannReader(const Io& io, const FieldSource& source) : lines_(io, source) {
    survey_.format = FieldFormat::lippmann;
  }

  FieldSurvey read();

 private:
  void open_section(std::string_view title);
  void close_section();
  void read_electrode(std::string_view line);
  void read_header(std::string_view line);
  void read_units(std::string_view line);
  void read_row(std::string_view line);
  double value(std::string_view field, const Column& column, bool cut);
  void place(FieldElectrode& electrode, std::string_view field, const Column& column, bool cut);
  void note_settings(std::string_view line);
  void finish_ip();

  enum class DataState { header, units, rows };

  FieldLines lines_;
  FieldSurvey survey_;
  std::string section_;  // the current section's title, lower case
  std::size_t section_line_ = 0;
  std::map<std::int32_t, TableElectrode> table_;
  std::size_t table_first_ = 0, table_last_ = 0, table_other_ = 0;
  std::size_t remote_lines_ = 0;
  std::string remote_first_;
  LeftBlock averaged_, contacts_;
  std::size_t stray_lines_ = 0, stray_first_ = 0;

  // The data block being read.
  bool have_data_ = false;
  DataState data_state_ = DataState::header;
  std::vector<Column> columns_;
  std::size_t data_line_ = 0, header_line_ = 0, units_line_ = 0, data_last_ = 0;
  std::size_t block_readings_ = 0;
  std::size_t messages_ = 0, message_first_ = 0;
  std::string message_text_;
  std::size_t truncated_ = 0, truncated_first_ = 0;
  std::size_t without_current_ = 0;
  bool ip_column_ = false;
  bool decimal_commas_ = false;
  std::set<double> frequencies_;

  double separation_ = not_given;
  std::int64_t stated_count_ = -1;
  std::string device_, array_, configuration_;
  bool after_measurement_type_ = false;
};

FieldSurvey LippmannReader::read() {
  std::string_view line;
  while (lines_.next(line)) {
    const std::string_view title = section_title(line);
    if (!title.empty()) {
      close_section();
      open_section(title);
      continue;
    }
    if (trim_blanks(line).empty()) continue;
    note_settings(line);
    if (section_ == "electrode positions") {
      read_electrode(line);
    } else if (section_ == "remote electrode positions") {
      if (remote_lines_++ == 0) remote_first_ = std::string(trim_blanks(line));
    } else if (section_ == "data") {
      if (data_state_ == DataState::header) {
        read_header(line);
      } else if (data_state_ == DataState::units) {
        const auto words = split_fields(after_star(line), ' ');
        std::int32_t number = 0;
        if (is_comment(line) && !(words.empty() || field_integer(words[0], number))) {
          read_units(line);
        } else {
          read_units({});
          read_row(line);
        }
      } else {
        read_row(line);
      }
    } else if (section_ == "averaged data" || section_ == "contact resistances") {
      LeftBlock& block = section_ == "averaged data" ? averaged_ : contacts_;
      const auto words = split_fields(is_comment(line) ? after_star(line) : line, ' ');
      double number = 0;
      if (!words.empty() && field_number(words[0], number, true)) ++block.rows;
      block.last = lines_.line_number();
    } else if (!is_comment(line)) {
      if (stray_lines_++ == 0) stray_first_ = lines_.line_number();
    }
  }
  close_section();
  // A file that ends too early is refused at its last line.
  if (!have_data_) lines_.fail("the file ends without a data block (a line '* Data ****')");
  if (data_state_ == DataState::header) {
    lines_.fail("the file ends in the data block of line " + std::to_string(data_line_) +
                " before its header row ('* num A B M N ...')");
  }
  finish_ip();

  std::vector<std::string> notes;
  if (!device_.empty()) notes.push_back("instrument: " + device_);
  if (!configuration_.empty() || !array_.empty()) {
    notes.push_back("configuration: " + configuration_ + (array_.empty() ? "" : ", " + array_));
  }
  if (!table_.empty()) {
    notes.push_back("electrode table (lines " + std::to_string(table_first_) + "-" +
                    std::to_string(table_last_) + "): " + std::to_string(table_.size()) +
                    " electrodes placed by their number, z taken as the elevation");
  } else if (separation_ > 0) {
    notes.push_back("the file holds no electrode table: electrode k placed at x = (k - 1) * " +
                    shortest(separation_) + " m (the electrode separation it states)");
  } else {
    notes.push_back(
        "the file holds no electrode table nor an electrode separation: electrode k left at x = k "
        "- 1; positions must come from an electrode table (--electrodes FILE)");
  }
  if (table_other_ > 0) {
    notes.push_back(std::to_string(table_other_) +
                    " lines of the electrode table that are no '* Electrode [k]' line: not read");
  }
  if (remote_lines_ > 0) {
    notes.push_back("remote electrode block (" + std::to_string(remote_lines_) + " lines, " +
                    quoted_text(remote_first_, 60) +
                    "): not read; an electrode given as '-' in a reading is taken as remote");
  }
  survey_.notes.insert(survey_.notes.begin(), notes.begin(), notes.end());
  if (stated_count_ >= 0 &&
      static_cast<std::uint64_t>(stated_count_) != survey_.readings.size() + truncated_) {
    survey_.notes.push_back("the file states a count of " + std::to_string(stated_count_) +
                            " measurements, its data block holds " +
                            std::to_string(survey_.readings.size() + truncated_));
  }
  if (averaged_.first > 0) {
    survey_.notes.push_back("averaged data (lines " + std::to_string(averaged_.first) + "-" +
                            std::to_string(averaged_.last) + ", " + std::to_string(averaged_.rows) +
                            " rows): left, its rows name no electrodes");
  }
  if (contacts_.first > 0) {
    survey_.notes.push_back("contact resistances (lines " + std::to_string(contacts_.first) + "-" +
                            std::to_string(contacts_.last) + ", " + std::to_string(contacts_.rows) +
                            " values): left");
  }
  if (stray_lines_ > 0) {
    survey_.notes.push_back(std::to_string(stray_lines_) +
                            " lines outside the data block that are no '*' lines (first: line " +
                            std::to_string(stray_first_) + "): not read");
  }
  if (decimal_commas_) survey_.notes.push_back("numbers written with decimal commas");
  return std::move(survey_);
}

void LippmannReader::open_section(std::string_view title) {
  section_ = lower_case(title);
  section_line_ = lines_.line_number();
  after_measurement_type_ = false;
  if (section_ == "electrode positions" && table_first_ == 0) table_first_ = section_line_ + 1;
  if (section_ == "averaged data" && averaged_.first == 0) averaged_.first = section_line_;
  if (section_ == "contact resistances" && contacts_.first == 0) contacts_.first = section_line_;
  if (section_ == "averaged data") averaged_.last = section_line_;
  if (section_ == "contact resistances") contacts_.last = section_line_;
  if (section_ == "data") {
    if (have_data_) {
      lines_.fail("a second data block: quelby reads one per file");
    }
    have_data_ = true;
    data_line_ = section_line_;
    data_state_ = DataState::header;
  }
}

void LippmannReader::close_section() {
  if (section_ == "data" && data_state_ != DataState::header) {
    if (data_state_ == DataState::units) read_units({});
    std::string read, left;
    for (const Column& column : columns_) {
      const bool used = column.role != Role::other && column.role != Role::number &&
                        column.role != Role::frequency;
      std::string& list = used ? read : left;
      list += " " + column.name + (used && !column.unit.empty() ? " (" + column.unit + ")" : "");
    }
    survey_.notes.push_back("data block (lines " + std::to_string(data_line_) + "-" +
                            std::to_string(std::max(data_last_, header_line_)) + "): " +
                            std::to_string(block_readings_) + " readings; columns read:" + read +
                            (left.empty() ? "" : "; not read:" + left));
    if (truncated_ > 0) {
      survey_.notes.push_back(std::to_string(truncated_) +
                              " truncated readings dropped (fewer fields than the header's " +
                              std::to_string(columns_.size()) + " columns; first: line " +
                              std::to_string(truncated_first_) + ")");
    }
    if (messages_ > 0) {
      survey_.notes.push_back(
          std::to_string(messages_) + " instrument messages among the readings (first: line " +
          std::to_string(message_first_) + ", " + quoted_text(message_text_, 60) + "): not read");
    }
    if (without_current_ > 0) {
      survey_.notes.push_back(std::to_string(without_current_) +
                              " readings give no current or voltage ('-'): their rho kept");
    }
  }
  if (section_ == "electrode positions") table_last_ = std::max(table_last_, table_first_);
}

void LippmannReader::note_settings(std::string_view line) {
  if (!is_comment(line)) return;
  const std::string_view text = after_star(line);
  const std::size_t equals = text.find('=');
  const std::string key = equals == std::string_view::npos
                              ? std::string()
                              : lower_case(trim_blanks(text.substr(0, equals)));
  const std::string_view value =
      equals == std::string_view::npos ? std::string_view() : trim_blanks(text.substr(equals + 1));
  if (text.starts_with("Measuring device")) {
    // "* Measuring device * type = LGM 4-Point Light 10W * hardware version = 3 * ..."
    const std::size_t type = text.find("type =");
    if (type != std::string_view::npos) {
      const std::string_view rest = trim_blanks(text.substr(type + 6));
      device_ = std::string(trim_blanks(rest.substr(0, rest.find(" *"))));
    }
  }
  if (after_measurement_type_ && equals == std::string_view::npos) {
    // The array's name follows its number: "* Dipole-Dipole * A.B.....N.M *".
    std::string_view name = text;
    while (!name.empty() && (name.back() == '*' || name.back() == ' ')) name.remove_suffix(1);
    array_ = std::string(name);
  }
  after_measurement_type_ = section_ == "profiling settings" && key == "measurement type";
  double number = 0;
  if (key == "electrode separation (m)" && field_number(value, number, true)) separation_ = number;
  if (key == "configuration profiling or mapping") configuration_ = std::string(value);
  std::int32_t count = 0;
  if (section_ == "measurements" && key == "count" && field_integer(value, count) && count >= 0) {
    stated_count_ = count;
  }
}

void LippmannReader::read_electrode(std::string_view line) {
  table_last_ = lines_.line_number();
  const std::string_view text = is_comment(line) ? after_star(line) : std::string_view();
  if (!text.starts_with("Electrode [")) {
    ++table_other_;
    return;
  }
  const std::size_t close = text.find(']');
  const std::size_t equals = text.find('=');
  if (close == std::string_view::npos || equals == std::string_view::npos || equals < close) {
    lines_.fail("expected '* Electrode [k] x y z (m) = x y z'");
  }
  const std::string_view number_text = trim_blanks(text.substr(11, close - 11));
  std::int32_t number = 0;
  if (!field_integer(number_text, number) || number < 1) {
    lines_.fail("the electrode number " + quoted_text(number_text) +
                " is not a whole number of 1 or more");
  }
  // The coordinates the label names, in its order ("x y z (m)").
  std::vector<char> axes;
  for (const std::string_view word :
       split_fields(text.substr(close + 1, equals - close - 1), ' ')) {
    if (word == "x" || word == "y" || word == "z") axes.push_back(word[0]);
  }
  if (axes.empty() || axes[0] != 'x') {
    lines_.fail("the electrode's label names no x coordinate ('x y z (m)')");
  }
  const auto values = split_fields(text.substr(equals + 1), ' ');
  if (values.size() != axes.size()) {
    lines_.fail("expected " + std::to_string(axes.size()) + " coordinates, found " +
                std::to_string(values.size()));
  }
  TableElectrode electrode;
  electrode.line = lines_.line_number();
  for (std::size_t k = 0; k < axes.size(); ++k) {
    double coordinate = 0;
    if (!field_number(values[k], coordinate, true)) {
      lines_.fail("the coordinate " + quoted_text(values[k]) + " is not a number");
    }
    if (values[k].find(',') != std::string_view::npos) decimal_commas_ = true;
    (axes[k] == 'x'   ? electrode.x
     : axes[k] == 'y' ? electrode.y
                      : electrode.elevation) = coordinate;
  }
  const auto [at, added] = table_.emplace(number, electrode);
  if (!added) {
    lines_.fail("electrode " + std::to_string(number) + " is listed already on line " +
                std::to_string(at->second.line));
  }
}

void LippmannReader::read_header(std::string_view line) {
  if (!is_comment(line)) {
    lines_.fail("expected the header row of the data block ('* num A B M N I U ... rho phi')");
  }
  header_line_ = lines_.line_number();
  const auto words = words_of(line);
  for (std::size_t k = 1; k < words.size(); ++k) {
    Column column;
    column.name = std::string(words[k].text);
    column.end = words[k].end;
    column.role = role_of(column.name);
    for (const Column& earlier : columns_) {
      if (earlier.role == column.role) column.role = Role::other;  // the first one counts
    }
    columns_.push_back(column);
  }
  if (words.empty() || words[0].text != "*") {
    lines_.fail("expected the header row of the data block to start with '* '");
  }
  bool has[12] = {};
  for (const Column& column : columns_) has[static_cast<int>(column.role)] = true;
  for (const Role role : {Role::a, Role::b, Role::m, Role::n}) {
    if (!has[static_cast<int>(role)]) {
      lines_.fail("the data header names no column " +
                  std::string(1, "ABMN"[static_cast<int>(role) - 1]) + " (electrode numbers)");
    }
  }
  if (!has[static_cast<int>(Role::rho)] &&
      !(has[static_cast<int>(Role::current)] && has[static_cast<int>(Role::voltage)])) {
    lines_.fail("the data header names neither rho nor I and U");
  }
  ip_column_ = has[static_cast<int>(Role::phase)];
  data_state_ = DataState::units;
}

// The units row: each unit stands under its column's name, right-aligned; an empty `line` is a
// block without one, whose columns take the instrument's units.
void LippmannReader::read_units(std::string_view line) {
  data_state_ = DataState::rows;
  if (!line.empty()) {
    units_line_ = lines_.line_number();
    const auto words = words_of(line);
    for (std::size_t k = 1; k < words.size(); ++k) {
      // The column whose end is the first at or after the unit's end.
      for (Column& column : columns_) {
        if (column.end >= words[k].end) {
          if (column.unit.empty()) column.unit = std::string(words[k].text);
          break;
        }
      }
    }
  }
  bool assumed = false;
  const auto unit_or = [&](Column& column, std::string_view fallback) {
    if (column.unit.empty() || column.unit == "-") {
      column.unit = std::string(fallback);
      assumed = true;
    }
    return lower_case(column.unit);
  };
  const auto refuse = [&](const Column& column) {
    lines_.fail_at(units_line_ > 0 ? units_line_ : header_line_,
                   "the unit " + quoted_text(column.unit) + " of the column " +
                       quoted_text(column.name) + " is not one quelby knows");
  };
  for (Column& column : columns_) {
    switch (column.role) {
      case Role::current:
        column.scale = si_scale(unit_or(column, "mA"), "a");
        if (column.scale == 0) refuse(column);
        break;
      case Role::voltage:
        column.scale = si_scale(unit_or(column, "mV"), "v");
        if (column.scale == 0) refuse(column);
        break;
      case Role::rho: {
        const std::string unit = unit_or(column, "Ohmm");
        if (unit != "ohmm" && unit != "ohm.m" && unit != "ohm*m" && unit != "ohm-m") refuse(column);
        break;
      }
      case Role::deviation:
        if (unit_or(column, "%") != "%") refuse(column);
        break;
      case Role::phase:
        if (column.unit.empty() || column.unit == "-") {
          survey_.chargeability_unit_stated = false;
          column.unit = "mrad";
        }
        survey_.chargeability_unit = ip_unit(column.unit);
        survey_.chargeability_unit_text = column.unit;
        break;
      default:
        break;
    }
  }
  if (assumed) {
    survey_.notes.push_back(
        "the data block gives no unit for some columns: the instrument's units taken (I in mA, U "
        "in mV, dU in %, rho in Ohmm)");
  }
}

double LippmannReader::value(std::string_view field, const Column& column, bool cut) {
  if (field == "-") return not_given;
  double number = 0;
  if (field_number(field, number, true)) {
    if (field.find(',') != std::string_view::npos) decimal_commas_ = true;
    return number * column.scale;
  }
  if (cut) return not_given;
  lines_.fail("the " + column.name + " field " + quoted_text(field) + " is not a number");
}

void LippmannReader::place(FieldElectrode& electrode, std::string_view field, const Column& column,
                           bool cut) {
  if (field == "-") {
    electrode.present = false;
    return;
  }
  std::int32_t number = 0;
  if (!field_integer(field, number) || number < 1) {
    if (cut) return;
    lines_.fail("the electrode number " + quoted_text(field) + " of " + column.name +
                " is not a whole number of 1 or more");
  }
  electrode.number = number;
  if (table_.empty()) {
    electrode.x = (number - 1.0) * (separation_ > 0 ? separation_ : 1.0);
    return;
  }
  const auto at = table_.find(number);
  if (at == table_.end()) {
    lines_.fail("electrode " + std::to_string(number) + " (" + column.name +
                ") is not in the electrode table");
  }
  electrode.x = at->second.x;
  electrode.y = at->second.y;
  electrode.elevation = at->second.elevation;
}

void LippmannReader::read_row(std::string_view line) {
  if (is_comment(line)) {
    if (messages_++ == 0) {
      message_first_ = lines_.line_number();
      message_text_ = std::string(trim_blanks(line));
    }
    return;
  }
  const auto fields = split_fields(line, ' ');
  const bool short_row = fields.size() < columns_.size();
  const std::size_t count = std::min(fields.size(), columns_.size());
  FieldReading reading;
  reading.line = lines_.line_number();
  for (std::size_t k = 0; k < count; ++k) {
    // The last field of a short row may be a number the end of the file cut.
    const bool cut = short_row && k + 1 == count;
    const Column& column = columns_[k];
    const std::string_view field = fields[k];
    std::int32_t number = 0;
    switch (column.role) {
      case Role::number:
        if (!field_integer(field, number) && !cut) {
          lines_.fail("expected the reading's number, found " + quoted_text(field));
        }
        break;
      case Role::a:
      case Role::b:
      case Role::m:
      case Role::n:
        place(reading.electrodes[static_cast<std::size_t>(column.role) - 1], field, column, cut);
        break;
      case Role::current:
        reading.current = value(field, column, cut);
        break;
      case Role::voltage:
        reading.voltage = value(field, column, cut);
        break;
      case Role::deviation:
        reading.deviation = value(field, column, cut);
        break;
      case Role::rho:
        reading.apparent_resistivity = value(field, column, cut);
        break;
      case Role::phase:
        reading.chargeability = value(field, column, cut);
        break;
      case Role::frequency:
        if (const double hertz = value(field, column, cut); std::isfinite(hertz)) {
          frequencies_.insert(hertz);
        }
        break;
      case Role::other:
        break;
    }
  }
  if (short_row) {
    if (truncated_++ == 0) truncated_first_ = reading.line;
    return;
  }
  data_last_ = reading.line;
  if (std::isnan(reading.current) || std::isnan(reading.voltage)) ++without_current_;
  ++block_readings_;
  survey_.readings.push_back(reading);
}

void LippmannReader::finish_ip() {
  if (!ip_column_) {
    survey_.notes.push_back("no phi column: the file holds no IP");
    return;
  }
  if (clear_zero_chargeabilities(
          survey_, "the phi column is zero throughout: a resistivity-only file, no IP read"))
    return;
  std::string at;
  std::size_t listed = 0;
  for (const double hertz : frequencies_) {
    if (listed++ == 3) {
      at += ", ...";
      break;
    }
    at += (at.empty() ? " at " : ", ") + shortest(hertz);
  }
  survey_.notes.push_back("IP: the phase phi in " + survey_.chargeability_unit_text +
                          (survey_.chargeability_unit_stated ? "" : " (no unit given)") + at +
                          (at.empty() ? "" : " Hz"));
}

}  // namespace

std::string lippmann_mismatch(const FieldSource& source) {
  const auto lines = first_lines(source.bytes, signature_lines, signature_width);
  std::size_t first = 0;
  while (first < lines.size() && trim_blanks(lines[first]).empty()) ++first;
  if (first == lines.size()) return "no line with text";
  const std::string where = "line " + std::to_string(first + 1);
  if (!is_comment(lines[first])) return where + " does not start with '*'";
  if (after_star(lines[first]).starts_with("Data file")) return {};
  for (const std::string_view line : lines) {
    if (!section_title(line).empty()) return {};
  }
  return "no '* Data file' line and no section line '* Title ****' in the first " +
         std::to_string(signature_lines) + " lines";
}

FieldSurvey read_lippmann_file(const Io& io, const FieldSource& source) {
  LippmannReader reader(io, source);
  return reader.read();
}

}  // namespace quelby
