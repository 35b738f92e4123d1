#include "quelby/fielddata/sting_format.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// The columns of a record, 0-based, as AGI lists them.
constexpr std::size_t resistance_column = 4;  // V/I, ohm
constexpr std::size_t error_column = 5;       // tenths of a percent of V/I
constexpr std::size_t current_column = 6;     // mA
constexpr std::size_t rho_column = 7;         // ohm-m or ohm-ft
constexpr std::size_t command_column = 8;
constexpr std::size_t position_column = 9;  // x, y, z of A, then of B, M and N
constexpr std::size_t record_columns = 21;
// With IP: the marker "IP:", the time slot (ms), the time constant, six slot readings, the total.
constexpr std::size_t ip_marker_column = 21;
constexpr std::size_t slot_column = 22;
constexpr std::size_t time_constant_column = 23;
constexpr std::size_t total_ip_column = 30;
constexpr std::size_t ip_record_columns = 31;

constexpr double metres_per_foot = 0.3048;
// Distinct settings keys and command files a note lists at most.
constexpr std::size_t listed_at_most = 12;

bool digits_only(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// hh:mm:ss
bool clock_time(std::string_view text) {
  return text.size() == 8 && digits_only(text.substr(0, 2)) && text[2] == ':' &&
         digits_only(text.substr(3, 2)) && text[5] == ':' && digits_only(text.substr(6, 2));
}

// A record as the instrument writes it: number, user, yyyymmdd, hh:mm:ss, V/I, ..., the positions.
bool is_record(std::string_view line) {
  const auto fields = split_fields(line, ',');
  std::int32_t number = 0;
  double value = 0;
  return fields.size() >= record_columns && field_integer(fields[0], number) &&
         fields[2].size() == 8 && digits_only(fields[2]) && clock_time(fields[3]) &&
         field_number(fields[resistance_column], value);
}

// A line that starts the way records do (a record number, then a comma): a record, maybe cut.
bool starts_record(std::string_view line) {
  const std::size_t comma = line.find(',');
  std::int32_t number = 0;
  return comma != std::string_view::npos && field_integer(line.substr(0, comma), number);
}

bool names_instrument(std::string_view line) {
  const std::string lower = lower_case(line);
  return lower.find("supersting") != std::string::npos ||
         lower.find("advanced geosciences") != std::string::npos ||
         trim_blanks(lower).starts_with("sting");
}

// The word after `key` (lower case, e.g. "unit:") in `line`, or empty.
std::string word_after(std::string_view line, std::string_view key) {
  const std::string lower = lower_case(line);
  const std::size_t at = lower.find(key);
  if (at == std::string::npos) return {};
  const auto words = split_fields(std::string_view(lower).substr(at + key.size()), ' ');
  return words.empty() ? std::string() : std::string(words[0]);
}

// The digits after the decimal point and the exponent's length: a number the end of the file cut
// short differs from the complete one of the record before it.
std::pair<std::size_t, std::size_t> number_shape(std::string_view text) {
  const std::size_t exponent = text.find_first_of("eEdD");
  const std::size_t point = text.find('.');
  const std::size_t mantissa_end = exponent == std::string_view::npos ? text.size() : exponent;
  const std::size_t decimals =
      point == std::string_view::npos || point > mantissa_end ? 0 : mantissa_end - point - 1;
  return {decimals, exponent == std::string_view::npos ? 0 : text.size() - exponent};
}

std::string listed(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + quoted_text(name);
  return text;
}

// What the header lines say.
struct StingHeader {
  std::string first;        // the first header line, naming the instrument
  double length_scale = 1;  // to metres
  std::string unit;         // as written, lower case; empty when no line names it
  long long records = -1;   // the count the header states
};

void read_header_line(FieldLines& lines, std::string_view line, StingHeader& header) {
  if (header.first.empty()) header.first = quoted_text(trim_blanks(line), 120);
  const std::string unit = word_after(line, "unit:");
  if (!unit.empty()) {
    header.unit = unit;
    if (unit == "meter" || unit == "meters" || unit == "metre" || unit == "metres" || unit == "m") {
      header.length_scale = 1;
    } else if (unit == "feet" || unit == "foot" || unit == "ft") {
      header.length_scale = metres_per_foot;
    } else {
      lines.fail("the unit " + quoted_text(unit) + " is neither meter nor feet");
    }
  }
  std::int32_t records = 0;
  const std::string count = word_after(line, "records:");
  if (!count.empty() && field_integer(count, records) && records >= 0) header.records = records;
}

}  // namespace

std::string sting_mismatch(const FieldSource& source) {
  const std::vector<std::string_view> lines =
      first_lines(source.bytes, 12, FieldLines::longest_line);
  std::size_t first = 0;
  while (first < lines.size() && trim_blanks(lines[first]).empty()) ++first;
  if (first == lines.size()) {
    return source.bytes.empty() ? "the file is empty" : "no text in the first lines";
  }
  if (is_record(lines[first])) return {};
  const std::string where = "line " + std::to_string(first + 1);
  if (!names_instrument(lines[first])) {
    return where + " is no SuperSting header (Advanced Geosciences ... SuperSting) or record";
  }
  for (std::size_t k = first + 1; k < lines.size(); ++k) {
    if (is_record(lines[k])) return {};
  }
  return "no record (number, user, yyyymmdd, hh:mm:ss, V/I, ...) follows the header of " + where;
}

FieldSurvey read_sting_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  FieldSurvey survey;
  survey.format = FieldFormat::sting;
  StingHeader header;
  std::string_view line;
  bool in_header = true;
  std::size_t ip_records = 0, other_fields = 0;
  std::string cut_note;  // the last record, dropped
  bool ip_nonzero = false;
  std::set<std::string> slots, time_constants, settings, commands;
  std::vector<std::string_view> previous;  // the fields of the record before
  const char* const file_end = source.bytes.data() + source.bytes.size();

  while (lines.next_with_text(line)) {
    const std::size_t number = lines.line_number();
    if (in_header && !starts_record(line)) {
      read_header_line(lines, line, header);
      continue;
    }
    in_header = false;
    if (!starts_record(line)) {
      lines.fail(
          "expected a record (number, user, date, time, V/I, error, current, apparent resistivity, "
          "command file, x y z of A B M N), found " +
          quoted_text(line));
    }
    const auto fields = split_fields(line, ',');
    const bool with_ip =
        fields.size() > ip_marker_column && lower_case(fields[ip_marker_column]).starts_with("ip");
    const std::size_t needed = with_ip ? ip_record_columns : record_columns;
    // The last value read, when the end of the file follows it with no line end, may be cut.
    const bool cut_at_end = fields.size() == needed && line.data() + line.size() == file_end &&
                            !previous.empty() && previous.size() >= needed &&
                            number_shape(fields[needed - 1]) != number_shape(previous[needed - 1]);
    if (fields.size() < needed || cut_at_end) {
      std::string_view rest;
      if (lines.next_with_text(rest)) {
        lines.fail_at(number, "expected " + std::to_string(needed) +
                                  " comma-separated values (number, user, date, time, V/I, error, "
                                  "current, apparent resistivity, command file, x y z of A B M N" +
                                  (with_ip ? ", IP: and its nine values" : "") + "), found " +
                                  std::to_string(fields.size()));
      }
      // The last record cut short by the end of the file: none of its values can be trusted.
      cut_note = "line " + std::to_string(number) + ": the last record is cut short (" +
                 std::to_string(fields.size()) + " of " + std::to_string(needed) + " values" +
                 (cut_at_end ? ", its last number unfinished" : "") + "): dropped";
      break;
    }
    const auto value_at = [&](std::size_t column, std::string_view what) {
      double value = 0;
      if (!field_number(fields[column], value)) {
        lines.fail_at(number, "the " + std::string(what) + " " + quoted_text(fields[column]) +
                                  " is not a number");
      }
      return value;
    };

    FieldReading reading;
    reading.line = number;
    for (std::size_t role = 0; role < 4; ++role) {
      const std::size_t at = position_column + 3 * role;
      FieldElectrode& electrode = reading.electrodes[role];
      const bool empty = fields[at].empty() && fields[at + 1].empty() && fields[at + 2].empty();
      if (empty && (role == electrode_b || role == electrode_n)) {
        // A pole: the file leaves the electrode's coordinates out.
        electrode.present = false;
        continue;
      }
      const std::string name(1, "ABMN"[role]);
      electrode.x = value_at(at, "x of " + name) * header.length_scale;
      electrode.y = value_at(at + 1, "y of " + name) * header.length_scale;
      electrode.elevation = value_at(at + 2, "z of " + name) * header.length_scale;
    }
    reading.resistance = value_at(resistance_column, "V/I");
    if (!fields[error_column].empty()) {
      reading.relative_error = value_at(error_column, "error") / 1000;
    }
    reading.current = value_at(current_column, "current (mA)") * 1e-3;
    // ohm-ft to ohm-m: rho = R K with K a length.
    reading.apparent_resistivity =
        value_at(rho_column, "apparent resistivity") * header.length_scale;
    if (commands.size() < listed_at_most) commands.emplace(fields[command_column]);

    std::size_t after = record_columns;
    if (with_ip) {
      ++ip_records;
      const double slot = value_at(slot_column, "IP time slot (ms)");
      const double total = value_at(total_ip_column, "total IP");
      if (slots.size() < listed_at_most) slots.insert(shortest(slot));
      if (time_constants.size() < listed_at_most) {
        time_constants.emplace(fields[time_constant_column]);
      }
      // Seconds, by AGI's column list: an integral chargeability, kept in ms.
      reading.chargeability = total * 1000;
      ip_nonzero = ip_nonzero || total != 0;
      after = ip_record_columns;
    }
    for (std::size_t k = after; k < fields.size(); ++k) {
      const std::size_t equals = fields[k].find('=');
      if (equals == std::string_view::npos || equals == 0) {
        ++other_fields;
      } else if (settings.size() < listed_at_most) {
        settings.emplace(fields[k].substr(0, equals));
      }
    }
    survey.readings.push_back(reading);
    previous.assign(fields.begin(), fields.end());
  }
  if (survey.readings.empty() && cut_note.empty()) lines.fail_at(0, "the file holds no record");

  if (!header.first.empty()) survey.notes.push_back("header: " + header.first);
  if (header.unit.empty()) {
    survey.notes.push_back("no Unit line: positions taken in m, apparent resistivities in ohm-m");
  } else if (header.length_scale != 1) {
    survey.notes.push_back("unit " + quoted_text(header.unit) +
                           ": positions and apparent resistivities turned into m and ohm-m "
                           "(x 0.3048)");
  } else {
    survey.notes.push_back("unit " + quoted_text(header.unit) +
                           ": positions in m, apparent resistivities in ohm-m");
  }
  std::string count = std::to_string(survey.readings.size()) + " records read";
  if (header.records >= 0 && header.records != static_cast<long long>(survey.readings.size())) {
    count += " (the header states " + std::to_string(header.records) + ")";
  }
  survey.notes.push_back(count +
                         "; V/I as the resistance, the error (tenths of a percent) as a relative "
                         "error; command files " +
                         listed(commands));
  if (ip_records > 0 && !ip_nonzero) {
    for (FieldReading& reading : survey.readings) reading.chargeability = not_given;
    survey.notes.push_back("IP: every total IP is 0 (a DC-only file): no chargeability read");
  } else if (ip_records > 0) {
    survey.chargeability_unit = ChargeabilityUnit::milliseconds;
    survey.chargeability_unit_text = "s";
    survey.notes.push_back(
        "IP: the total IP of " + std::to_string(ip_records) +
        " records read as an integral chargeability in s (AGI's column list), turned into ms; time "
        "slot " +
        listed(slots) + " ms, time constant " + listed(time_constants) +
        "; the six slot readings are not read and no integration window is stated");
  }
  if (!cut_note.empty()) survey.notes.push_back(cut_note);
  if (!settings.empty()) survey.notes.push_back("settings not read: " + listed(settings));
  if (other_fields > 0) {
    survey.notes.push_back(
        std::to_string(other_fields) +
        " values after the positions that are neither IP nor settings: not read");
  }
  return survey;
}

}  // namespace quelby
