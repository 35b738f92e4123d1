#include "quelby/fielddata/electra_format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

constexpr std::size_t signature_lines = 16;
// How many line numbers a note lists before it only counts.
constexpr std::size_t listed_lines = 5;

constexpr std::array<const char*, 4> role_names = {"A", "B", "M", "N"};

// A title without its '#', blanks around it cut, runs of blanks and tabs made one blank, in lower
// case: "# Total enabled electrodes" -> "total enabled electrodes", "#X\tY\tZ" -> "x y z".
std::string title_key(std::string_view text) {
  std::string key;
  for (const std::string_view word : split_fields(text.substr(1), ' ')) {
    key += (key.empty() ? "" : " ") + lower_case(word);
  }
  return key;
}

// "1 row", "3 rows".
std::string counted(std::size_t count, const std::string& word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string line_list(const std::vector<std::size_t>& numbers) {
  std::string text;
  for (std::size_t k = 0; k < numbers.size() && k < listed_lines; ++k) {
    text += (k == 0 ? "" : ", ") + std::to_string(numbers[k]);
  }
  if (numbers.size() > listed_lines) text += ", ...";
  return text;
}

// The factor that turns a value in `unit` (lower case, without brackets; "pp" after it marks a
// peak-to-peak value) into `base` ("a" or "v"); 0 for another unit.
double si_scale(std::string unit, std::string_view base) {
  if (unit.ends_with("pp")) unit.resize(unit.size() - 2);
  if (unit == base) return 1;
  if (unit.size() == base.size() + 1 && unit.substr(1) == base) {
    if (unit[0] == 'm') return 1e-3;
    if (unit[0] == 'u') return 1e-6;
  }
  return 0;
}

struct Column {
  std::string name;       // as the header writes it
  std::string key;        // lower case
  std::string unit;       // lower case, without brackets; empty for "-" or none
  std::string unit_text;  // as the units line writes it
};

class ElectraReader {
 public:
  ElectraReader(const Io& io, const FieldSource& source) : lines_(io, source), source_(source) {}

  FieldSurvey read();

 private:
  bool next(std::string_view& line);
  void title_value(std::string_view text);
  void header(std::string_view text);
  void units(std::string_view text);
  std::optional<std::size_t> find(std::initializer_list<std::string_view> keys) const;
  void choose_columns();
  void row(std::string_view line);
  double value(const std::vector<std::string_view>& fields,
               std::optional<std::size_t> column) const;
  void check_electrodes();
  void finish();

  FieldLines lines_;
  const FieldSource& source_;
  FieldSurvey survey_;
  std::optional<std::string_view> pending_;  // a line read ahead

  // The titles and what follows them.
  enum class Section { none, positions, remotes, value } section_ = Section::none;
  std::string title_;
  std::map<std::string, std::string> values_;  // the first line after each title
  std::vector<std::array<double, 3>> positions_;
  std::size_t positions_line_ = 0;
  std::size_t remote_rows_ = 0;

  // The table.
  bool in_table_ = false;
  std::size_t header_line_ = 0, units_line_ = 0;
  char delimiter_ = '\t';
  std::vector<Column> columns_;
  std::array<std::optional<std::size_t>, 4> electrode_;
  std::optional<std::size_t> status_, current_, voltage_, factor_, apparent_, resistance_, ip_,
      deviation_, error_;
  double amperes_ = 0, volts_ = 0;
  bool error_relative_ = false;
  std::size_t last_read_ = 0;  // the last column read
  std::size_t remote_numbers_ = 0;

  // What the rows held.
  std::size_t rows_ = 0, disabled_ = 0, not_done_ = 0;
  bool ip_nonzero_ = false;
  std::vector<std::size_t> truncated_;
  std::size_t after_table_ = 0;  // the "#" line that ends the rows
  std::size_t left_after_table_ = 0;
};

bool ElectraReader::next(std::string_view& line) {
  if (pending_) {
    line = *pending_;
    pending_.reset();
    return true;
  }
  return lines_.next(line);
}

void ElectraReader::title_value(std::string_view text) {
  if (section_ == Section::positions) {
    // "0.000 <tab> 0.000 <tab> 0.000 <tab>"; "No data" where the list is empty.
    if (lower_case(text) == "no data") return;
    const auto fields = split_fields(text, text.find('\t') != std::string_view::npos ? '\t' : ' ');
    std::array<double, 3> at{};
    for (std::size_t k = 0; k < 3; ++k) {
      if (k >= fields.size() || !field_number(fields[k], at[k], true)) {
        lines_.fail("expected the X, Y and Z of an electrode, found " + quoted_text(text));
      }
    }
    positions_.push_back(at);
  } else if (section_ == Section::remotes) {
    if (lower_case(text) != "no data") ++remote_rows_;
  } else if (section_ == Section::value) {
    values_.emplace(title_, std::string(text));
  } else if (lines_.line_number() == 1) {
    survey_.notes.push_back("profile: " + quoted_text(text));
  }
}

void ElectraReader::header(std::string_view text) {
  header_line_ = lines_.line_number();
  const std::string_view body = text.substr(1);
  delimiter_ = body.find('\t') != std::string_view::npos ? '\t' : ' ';
  std::vector<std::string_view> names = split_fields(body, delimiter_);
  while (!names.empty() && names.back().empty()) names.pop_back();
  for (const std::string_view name : names) {
    columns_.push_back(Column{std::string(name), lower_case(name), {}, {}});
  }
}

void ElectraReader::units(std::string_view text) {
  units_line_ = lines_.line_number();
  const auto fields = split_fields(text.substr(1), delimiter_);
  for (std::size_t k = 0; k < fields.size() && k < columns_.size(); ++k) {
    std::string_view unit = fields[k];
    if (unit.starts_with('[') && unit.ends_with(']')) unit = unit.substr(1, unit.size() - 2);
    columns_[k].unit = unit == "-" ? std::string() : lower_case(trim_blanks(unit));
    columns_[k].unit_text = columns_[k].unit.empty() ? std::string() : std::string(fields[k]);
  }
}

std::optional<std::size_t> ElectraReader::find(std::initializer_list<std::string_view> keys) const {
  for (const std::string_view key : keys) {
    for (std::size_t k = 0; k < columns_.size(); ++k) {
      if (columns_[k].key == key) return k;
    }
  }
  return std::nullopt;
}

void ElectraReader::choose_columns() {
  const char* keys[] = {"a", "b", "m", "n"};
  for (std::size_t role = 0; role < 4; ++role) {
    electrode_[role] = find({keys[role]});
    if (!electrode_[role]) {
      lines_.fail_at(header_line_, "the header names no column " + std::string(role_names[role]));
    }
  }
  status_ = find({"status"});
  current_ = find({"i(ab)"});
  voltage_ = find({"v(mn)"});
  factor_ = find({"k/(2pi)"});
  apparent_ = find({"rhoa"});
  resistance_ = find({"r", "v/i", "r(mn)"});
  ip_ = find({"ip", "chargeability"});
  deviation_ = find({"dev", "dev."});
  error_ = find({"std", "std.", "err"});
  const auto refuse = [&](std::size_t column) {
    lines_.fail_at(units_line_ > 0 ? units_line_ : header_line_,
                   "the column " + quoted_text(columns_[column].name) + " has the unit " +
                       quoted_text(columns_[column].unit_text) + ", which quelby does not know");
  };
  // Without a units line the current and voltage have no unit to read them in.
  if (current_ && units_line_ > 0) {
    amperes_ = si_scale(columns_[*current_].unit, "a");
    if (amperes_ == 0) refuse(*current_);
  }
  if (voltage_ && units_line_ > 0) {
    volts_ = si_scale(columns_[*voltage_].unit, "v");
    if (volts_ == 0) refuse(*voltage_);
  }
  if (apparent_) {
    const std::string& unit = columns_[*apparent_].unit;
    if (!unit.empty() && unit != "ohm m" && unit != "ohmm" && unit != "ohm.m" && unit != "ohm*m") {
      refuse(*apparent_);
    }
  }
  if (resistance_ && !columns_[*resistance_].unit.empty() && columns_[*resistance_].unit != "ohm") {
    refuse(*resistance_);
  }
  if (deviation_ && columns_[*deviation_].unit != "%") refuse(*deviation_);
  if (error_) {
    error_relative_ = columns_[*error_].unit == "%";
    if (!error_relative_ && columns_[*error_].unit != "ohm") refuse(*error_);
  }
  if (ip_) {
    const std::string& unit = columns_[*ip_].unit;
    survey_.chargeability_unit = unit == "mv/v" ? ChargeabilityUnit::millivolt_per_volt
                                 : unit == "%"  ? ChargeabilityUnit::percent
                                 : unit == "ms" || unit == "msec" ? ChargeabilityUnit::milliseconds
                                 : unit == "mrad"                 ? ChargeabilityUnit::milliradians
                                                                  : ChargeabilityUnit::other;
    survey_.chargeability_unit_text = unit == "mv/v" ? "mV/V" : unit;
    survey_.chargeability_unit_stated = !unit.empty();
  }
  std::string read, left;
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const bool taken = k == electrode_[0] || k == electrode_[1] || k == electrode_[2] ||
                       k == electrode_[3] || k == status_ || (k == current_ && amperes_ > 0) ||
                       (k == voltage_ && volts_ > 0) || k == factor_ || k == apparent_ ||
                       k == resistance_ || k == ip_ || k == deviation_ || k == error_;
    const std::string name =
        columns_[k].name + (columns_[k].unit.empty() ? "" : " " + columns_[k].unit_text);
    if (taken) {
      last_read_ = k;
      read += (read.empty() ? "" : ", ") + name;
    } else if (columns_[k].key.starts_with("vmn") && columns_[k].key.size() > 3) {
      if (!left.ends_with("waveform)")) {
        left += std::string(left.empty() ? "" : ", ") + "the V(M-N) samples " + columns_[k].name +
                "... (the recorded waveform)";
      }
    } else if (columns_[k].key != "meas.") {
      left += (left.empty() ? "" : ", ") + name;
    }
  }
  survey_.notes.push_back("columns read: " + read);
  if (!left.empty()) survey_.notes.push_back("columns not read: " + left);
  if (amperes_ > 0 || volts_ > 0) {
    const std::string& unit = columns_[amperes_ > 0 ? *current_ : *voltage_].unit;
    survey_.notes.push_back("current and voltage as the file gives them" +
                            std::string(unit.ends_with("pp") ? " (peak to peak)" : ""));
  } else if (current_ || voltage_) {
    survey_.notes.push_back("no units line: I(AB) and V(MN) not read");
  }
}

double ElectraReader::value(const std::vector<std::string_view>& fields,
                            std::optional<std::size_t> column) const {
  if (!column) return not_given;
  const std::string_view field = fields[*column];
  if (field.empty() || field == "-") return not_given;
  double number = 0;
  if (!field_number(field, number, delimiter_ != ',')) {
    lines_.fail("the " + columns_[*column].name + " field " + quoted_text(field) +
                " is not a number");
  }
  return number;
}

void ElectraReader::row(std::string_view line) {
  const auto fields = split_fields(line, delimiter_);
  const char* end = source_.bytes.data() + source_.bytes.size();
  const bool cut = line.data() + line.size() == end && source_.bytes.back() != '\n' &&
                   source_.bytes.back() != '\r';
  // A row short of the header's columns, or whose last field read may have lost its end to the end
  // of the file, is a reading cut short.
  if (fields.size() < columns_.size() || (cut && fields.size() <= last_read_ + 1)) {
    truncated_.push_back(lines_.line_number());
    return;
  }
  ++rows_;
  FieldReading reading;
  reading.line = lines_.line_number();
  for (std::size_t role = 0; role < 4; ++role) {
    const std::string_view field = fields[*electrode_[role]];
    std::int32_t number = 0;
    if (!field_integer(field, number) || number < 0) {
      lines_.fail("the electrode " + std::string(role_names[role]) + " field " +
                  quoted_text(field) + " is no electrode number");
    }
    FieldElectrode& electrode = reading.electrodes[role];
    const auto count = static_cast<std::int32_t>(positions_.size());
    const bool remote =
        count > 0 && number > count && number <= count + static_cast<std::int32_t>(remote_rows_);
    if (number == 0 || remote) {
      electrode.present = false;
      if (number > 0) ++remote_numbers_;
    } else if (positions_.empty()) {
      electrode.x = number - 1.0;
      electrode.number = number;
    } else if (number > count) {
      lines_.fail("electrode " + std::to_string(number) + " (" + role_names[role] +
                  ") is not one of the " + std::to_string(count) + " electrodes");
    } else {
      const auto& at = positions_[static_cast<std::size_t>(number - 1)];
      electrode.x = at[0];
      electrode.y = at[1];
      electrode.elevation = at[2];
      electrode.number = number;
    }
  }
  if (status_) {
    const std::string status = lower_case(fields[*status_]);
    if (status == "d") {
      reading.valid = false;
      ++disabled_;
    } else if (status == "n") {
      reading.valid = false;
      ++not_done_;
    } else if (status != "e") {
      lines_.fail("the status " + quoted_text(fields[*status_]) +
                  " is none of E (enabled), D (disabled) and N (not done)");
    }
  }
  reading.current = amperes_ > 0 ? value(fields, current_) * amperes_ : not_given;
  reading.voltage = volts_ > 0 ? value(fields, voltage_) * volts_ : not_given;
  reading.geometric_factor = 2 * std::numbers::pi * value(fields, factor_);
  reading.apparent_resistivity = value(fields, apparent_);
  reading.resistance = value(fields, resistance_);
  reading.chargeability = value(fields, ip_);
  ip_nonzero_ = ip_nonzero_ || (std::isfinite(reading.chargeability) && reading.chargeability != 0);
  reading.deviation = value(fields, deviation_);
  const double error = value(fields, error_);
  if (error_relative_) {
    reading.relative_error = error / 100;
  } else {
    reading.std = error;
  }
  survey_.readings.push_back(reading);
}

void ElectraReader::check_electrodes() {
  const auto count_of = [&](const char* title) -> std::optional<std::int32_t> {
    const auto found = values_.find(title);
    std::int32_t count = 0;
    if (found == values_.end() || !field_integer(found->second, count)) return std::nullopt;
    return count;
  };
  const auto enabled = count_of("total enabled electrodes");
  const auto total = count_of("total electrodes");
  const auto listed = static_cast<std::int32_t>(positions_.size());
  if (positions_line_ > 0 && (enabled || total) && listed != enabled.value_or(-1) &&
      listed != total.value_or(-1)) {
    lines_.fail_at(positions_line_, "the list holds " + std::to_string(listed) +
                                        " electrode positions, the titles announce " +
                                        std::to_string(enabled ? *enabled : *total));
  }
  if (const auto remotes = count_of("total remote electrode");
      remotes && *remotes != static_cast<std::int32_t>(remote_rows_)) {
    lines_.fail_at(positions_line_, "the file announces " + std::to_string(*remotes) +
                                        " remote electrodes and lists " +
                                        std::to_string(remote_rows_));
  }
}

void ElectraReader::finish() {
  const auto value = [&](const char* title) {
    const auto found = values_.find(title);
    return found == values_.end() ? std::string() : found->second;
  };
  const std::pair<const char*, const char*> named[] = {
      {"configuration name", "configuration"},
      {"frequency value [hz]", "frequency (Hz)"},
      {"current value [ma]", "current setting (mA)"},
      {"coordinate reference", "coordinates"},
      {"e1 coordinates [x y z]", "E1 at"},
      {"original file", "original file"}};
  std::string settings;
  for (const auto& [title, name] : named) {
    if (value(title).empty()) continue;
    std::string text = value(title);
    std::replace(text.begin(), text.end(), '\t', ' ');
    settings += (settings.empty() ? "" : ", ") + std::string(name) + " " + text;
  }
  if (!settings.empty()) survey_.notes.push_back("settings: " + settings);
  if (positions_.empty()) {
    survey_.notes.push_back(
        "no electrode positions: electrode k stands at x = k - 1 until an "
        "electrode table gives the positions (--electrodes FILE)");
  } else {
    survey_.notes.push_back(std::to_string(positions_.size()) + " electrode positions (line " +
                            std::to_string(positions_line_) +
                            "): X along the line, Y kept, Z taken as the elevation");
  }
  if (remote_numbers_ > 0) {
    survey_.notes.push_back("electrode numbers after the " + std::to_string(positions_.size()) +
                            " positions taken for the file's remote electrodes: " +
                            std::to_string(remote_numbers_) + " in the readings");
  }
  std::string counts = counted(rows_, "measurement") + " read";
  if (disabled_ > 0) counts += ", " + std::to_string(disabled_) + " disabled (D)";
  if (not_done_ > 0) counts += ", " + std::to_string(not_done_) + " not done (N)";
  if (disabled_ + not_done_ > 0) counts += ": kept, marked invalid";
  survey_.notes.push_back(counts);
  for (const char* title : {"total enabled measurements", "total expected"}) {
    std::int32_t announced = 0;
    if (field_integer(value(title), announced) &&
        announced != static_cast<std::int32_t>(rows_ + truncated_.size())) {
      survey_.notes.push_back("the titles announce " + std::to_string(announced) +
                              " measurements, the table has " +
                              std::to_string(rows_ + truncated_.size()) + " rows");
    }
  }
  if (!truncated_.empty()) {
    survey_.notes.push_back(
        "rows cut short (fewer fields than the header names, or cut by the end of the file): " +
        counted(truncated_.size(), "row") + " dropped (lines " + line_list(truncated_) + ")");
  }
  if (after_table_ > 0) {
    survey_.notes.push_back("the lines after the table (from line " + std::to_string(after_table_) +
                            ", a \"#\" line): " + counted(left_after_table_, "line") + " not read");
  }
  if (!ip_) {
    survey_.notes.push_back("no IP column: resistivity only");
  } else if (!ip_nonzero_) {
    // A DC-only export writes its IP column as zeros.
    for (FieldReading& reading : survey_.readings) reading.chargeability = not_given;
    survey_.chargeability_unit = ChargeabilityUnit::none;
    survey_.chargeability_unit_text.clear();
    survey_.chargeability_unit_stated = true;
    survey_.notes.push_back("the IP column holds only zeros: a DC-only export, no IP read");
  }
}

FieldSurvey ElectraReader::read() {
  survey_.format = FieldFormat::electra;
  std::string_view line;
  while (next(line)) {
    const std::string_view text = trim_blanks(line);
    if (text.empty()) continue;
    if (in_table_) {
      // A "#" line ends the table: what follows is left, and the notes say so.
      if (after_table_ == 0 && text.front() == '#') after_table_ = lines_.line_number();
      if (after_table_ == 0) {
        row(line);
      } else {
        ++left_after_table_;
      }
      continue;
    }
    if (text.front() != '#') {
      title_value(text);
      continue;
    }
    const std::string key = title_key(text);
    if (key.starts_with("meas.")) {
      header(text);
      if (next(line)) {
        if (trim_blanks(line).starts_with('#')) {
          units(trim_blanks(line));
        } else {
          pending_ = line;
        }
      }
      check_electrodes();
      choose_columns();
      in_table_ = true;
    } else if (key == "x y z") {
      if (positions_line_ > 0) lines_.fail("a second list of electrode positions");
      section_ = Section::positions;
      positions_line_ = lines_.line_number();
    } else if (key == "xr yr zr") {
      section_ = Section::remotes;
    } else {
      section_ = Section::value;
      title_ = key;
      if (key.starts_with("created by")) {
        survey_.notes.push_back(std::string(trim_blanks(text.substr(1))));
      }
    }
  }
  if (!in_table_) {
    lines_.fail_at(0, "the file has no table of measurements (a \"#Meas. A B M N ...\" header)");
  }
  finish();
  return std::move(survey_);
}

}  // namespace

std::string electra_mismatch(const FieldSource& source) {
  const std::string_view text = source.bytes;
  if (text.empty()) return "the file is empty";
  std::size_t at = 0;
  bool after_title = false;
  for (std::size_t line = 0; line < signature_lines && at < text.size(); ++line) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    const std::string_view content =
        trim_blanks(text.substr(at, std::min<std::size_t>(end - at, 4096)));
    at = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
    if (content.starts_with('#')) {
      const std::string key = title_key(content);
      if (key.starts_with("created by electra manager")) return {};
      after_title = key == "original file";
    } else if (after_title && lower_case(content).ends_with(".electra")) {
      return {};
    } else {
      after_title = false;
    }
  }
  return "no '#Created by Electra Manager' title, nor '#Original file' followed by an .electra "
         "name, in the first " +
         std::to_string(signature_lines) + " lines";
}

FieldSurvey read_electra_file(const Io& io, const FieldSource& source) {
  ElectraReader reader(io, source);
  return reader.read();
}

}  // namespace quelby
