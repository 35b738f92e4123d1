#include "quelby/fielddata/lund_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

// ABEM writes the position of a remote electrode as 1e38 ("infinity").
constexpr double remote_position = 1e37;
// The columns of a datum, 0-based: A B M N, the value, its variation coefficient (%), two counts.
constexpr std::size_t value_column = 4;
constexpr std::size_t deviation_column = 5;
constexpr std::size_t least_columns = 5;
constexpr std::size_t usual_columns = 8;
// The array code whose data give electrode numbers instead of positions.
constexpr std::int32_t tomography = 12;
// Protocols a note lists at most.
constexpr std::size_t listed_at_most = 8;

// `text` is `groups` runs of digits joined by single characters of `separators`.
bool digit_groups(std::string_view text, std::string_view separators, std::size_t groups) {
  std::size_t found = 0, run = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      ++run;
    } else if (separators.find(c) != std::string_view::npos && run > 0) {
      ++found;
      run = 0;
    } else {
      return false;
    }
  }
  return run > 0 && found + 1 == groups;
}

// "2019-11-22 13:06:38 ..." (the date with -, / or ., the time with or without seconds).
bool date_and_time(std::string_view line) {
  const auto fields = split_fields(line, ' ');
  return fields.size() >= 2 && digit_groups(fields[0], "-/.", 3) &&
         (digit_groups(fields[1], ":", 3) || digit_groups(fields[1], ":", 2));
}

// The first number of `line`, its "{ comment }" cut off.
bool leading_number(std::string_view line, double& value) {
  const auto fields = split_fields(cut_comment(line, '{'), ' ');
  return !fields.empty() && field_number(fields[0], value);
}

// The digits after the decimal point and the exponent's length: a number the end of the file cut
// short differs from the complete one of the line before it.
std::pair<std::size_t, std::size_t> number_shape(std::string_view text) {
  const std::size_t exponent = text.find_first_of("eEdD");
  const std::size_t point = text.find('.');
  const std::size_t mantissa_end = exponent == std::string_view::npos ? text.size() : exponent;
  const std::size_t decimals =
      point == std::string_view::npos || point > mantissa_end ? 0 : mantissa_end - point - 1;
  return {decimals, exponent == std::string_view::npos ? 0 : text.size() - exponent};
}

std::string_view array_name(std::int32_t code) {
  static constexpr std::string_view names[] = {"resistance",   "Wenner alpha",
                                               "Wenner beta",  "Wenner gamma",
                                               "pole-pole",    "dipole-dipole",
                                               "pole-dipole",  "square alpha",
                                               "square beta",  "square gamma",
                                               "Schlumberger", "general surface array",
                                               "tomography",   "equatorial dipole-dipole",
                                               "potential",    "multiple gradient"};
  return code >= 0 && code < 16 ? names[code] : "unknown array";
}

struct Protocol {
  std::string name;
  std::int32_t code = 0;
};

// The protocol a block measured: the one its file is named after, or else the protocols in turn at
// each station.
const Protocol& protocol_of(const std::vector<Protocol>& protocols, std::string_view file,
                            std::size_t block) {
  const std::string stem = lower_case(file.substr(0, file.find('.')));
  for (const Protocol& protocol : protocols) {
    if (lower_case(protocol.name) == stem) return protocol;
  }
  return protocols[block % protocols.size()];
}

std::string_view require_line(FieldLines& lines, std::string_view what) {
  std::string_view line;
  if (!lines.next_with_text(line, '{')) {
    lines.fail_at(0, "the file ends where " + std::string(what) + " was expected");
  }
  return line;
}

double first_number(FieldLines& lines, std::string_view line, std::string_view what) {
  double value = 0;
  if (!leading_number(line, value)) {
    lines.fail("expected " + std::string(what) + ", found " + quoted_text(trim_blanks(line)));
  }
  return value;
}

std::int32_t first_integer(FieldLines& lines, std::string_view line, std::string_view what) {
  const auto fields = split_fields(line, ' ');
  std::int32_t value = 0;
  if (fields.empty() || !field_integer(fields[0], value)) {
    lines.fail("expected " + std::string(what) + ", found " + quoted_text(trim_blanks(line)));
  }
  return value;
}

}  // namespace

std::string lund_mismatch(const FieldSource& source) {
  const std::vector<std::string_view> lines =
      first_lines(source.bytes, 5, FieldLines::longest_line);
  if (lines.empty()) return source.bytes.empty() ? "the file is empty" : "line 1 is too long";
  double value = 0;
  if (lines.size() < 2 || !leading_number(lines[1], value)) {
    return "line 2 holds no first station coordinate";
  }
  if (lines.size() < 3 || !date_and_time(lines[2])) return "line 3 holds no date and time";
  if (lines.size() < 4 || !leading_number(lines[3], value) || !(value > 0)) {
    return "line 4 holds no electrode take-out spacing";
  }
  std::int32_t count = 0;
  const auto fields = lines.size() < 5 ? std::vector<std::string_view>{}
                                       : split_fields(cut_comment(lines[4], '{'), ' ');
  if (fields.empty() || !field_integer(fields[0], count) || count < 1) {
    return "line 5 holds no number of protocol files";
  }
  return {};
}

FieldSurvey read_lund_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  FieldSurvey survey;
  survey.format = FieldFormat::lund;
  std::string_view line;
  if (!lines.next(line)) lines.fail_at(0, "the file is empty");
  survey.notes.push_back("title: " + quoted_text(trim_blanks(line), 120));
  const double first_station = first_number(
      lines, require_line(lines, "the first station coordinate"), "the first station coordinate");
  survey.notes.push_back(
      "recorded: " +
      quoted_text(trim_blanks(require_line(lines, "the date and program version")), 60));
  const double spacing = first_number(lines, require_line(lines, "the electrode take-out spacing"),
                                      "the electrode take-out spacing");
  if (!(spacing > 0)) lines.fail("the electrode take-out spacing must be positive");
  const std::int32_t protocol_count = first_integer(
      lines, require_line(lines, "the number of protocol files"), "the number of protocol files");
  if (protocol_count < 1) lines.fail("the number of protocol files must be at least 1");
  std::vector<Protocol> protocols;
  std::string protocol_list;
  for (std::int32_t p = 0; p < protocol_count; ++p) {
    line = trim_blanks(require_line(lines, "a protocol name and its array code"));
    const auto fields = split_fields(line, ' ');
    Protocol protocol;
    if (fields.size() < 2 || !field_integer(fields.back(), protocol.code)) {
      lines.fail("expected a protocol name and its array code, found " + quoted_text(line));
    }
    protocol.name = std::string(trim_blanks(line.substr(0, fields.back().data() - line.data())));
    if (protocols.size() < listed_at_most) {
      protocol_list += (protocol_list.empty() ? "" : ", ") + quoted_text(protocol.name) +
                       " (array code " + std::to_string(protocol.code) + ", " +
                       std::string(array_name(protocol.code)) + ")";
    }
    protocols.push_back(std::move(protocol));
  }
  survey.notes.push_back("first station " + shortest(first_station) +
                         " m; electrode take-out spacing " + shortest(spacing) + " m; protocols " +
                         protocol_list + (protocols.size() > listed_at_most ? ", ..." : ""));

  const char* const file_end = source.bytes.data() + source.bytes.size();
  std::size_t blocks = 0, remote = 0, columns = 0;
  bool numbered_blocks = false, positioned_blocks = false;
  std::vector<std::string_view> previous;  // the fields of the datum before
  while (lines.next_with_text(line, '{')) {
    const std::size_t block_line = lines.line_number();
    const std::string file(trim_blanks(line));
    const std::string_view count_line = require_line(lines, "the number of data and their type");
    const auto head = split_fields(count_line, ' ');
    std::int32_t count = -1, type = -1;
    if (head.size() < 2 || !field_integer(head[0], count) || count < 0 ||
        !field_integer(head[1], type)) {
      lines.fail(
          "expected the number of data and their type (0 apparent resistivity, 1 resistance), "
          "found " +
          quoted_text(trim_blanks(count_line)));
    }
    if (type != 0 && type != 1) {
      lines.fail("the type of the values is " + std::to_string(type) +
                 ", not 0 (apparent resistivity) or 1 (resistance)");
    }
    const double station = first_number(lines, require_line(lines, "the station coordinate"),
                                        "the station coordinate");
    require_line(lines, "the date of the block");
    const Protocol& protocol = protocol_of(protocols, file, blocks);
    const bool numbered = protocol.code == tomography;
    (numbered ? numbered_blocks : positioned_blocks) = true;
    std::size_t read = 0;
    for (std::int32_t k = 0; k < count; ++k) {
      if (!lines.next_with_text(line, '{')) {
        lines.fail_at(0, "the file ends after " + std::to_string(k) + " of the " +
                             std::to_string(count) + " data of the block at line " +
                             std::to_string(block_line));
      }
      const std::size_t number = lines.line_number();
      const auto fields = split_fields(line, ' ');
      if (columns == 0 && fields.size() >= least_columns) columns = fields.size();
      const std::size_t wanted = std::max(columns, least_columns);
      // The last value read, when the end of the file follows it with no line end, may be cut.
      const bool cut_at_end = fields.size() == wanted && fields.size() <= deviation_column + 1 &&
                              line.data() + line.size() == file_end &&
                              previous.size() == fields.size() &&
                              number_shape(fields.back()) != number_shape(previous.back());
      if (fields.size() < wanted || cut_at_end) {
        std::string_view rest;
        if (k + 1 < count || lines.next_with_text(rest, '{')) {
          lines.fail_at(number, "expected " + std::to_string(wanted) +
                                    " values (the positions of A B M N, the value, ...), found " +
                                    std::to_string(fields.size()));
        }
        // The last datum cut short by the end of the file: none of its values can be trusted.
        survey.notes.push_back("line " + std::to_string(number) +
                               ": the last datum is cut short (" + std::to_string(fields.size()) +
                               " of " + std::to_string(wanted) + " values" +
                               (cut_at_end ? ", its last number unfinished" : "") + "): dropped");
        break;
      }
      FieldReading reading;
      reading.line = number;
      for (std::size_t role = 0; role < 4; ++role) {
        FieldElectrode& electrode = reading.electrodes[role];
        double position = 0;
        if (!field_number(fields[role], position)) {
          lines.fail_at(number, std::string("the position of ") + "ABMN"[role] + " " +
                                    quoted_text(fields[role]) + " is not a number");
        }
        if (std::abs(position) >= remote_position || (numbered && position == 0)) {
          electrode.present = false;
          ++remote;
        } else if (numbered) {
          if (position < 1 || position > 1e9 || position != std::floor(position)) {
            lines.fail_at(
                number,
                std::string("the electrode number of ") + "ABMN"[role] + " " +
                    quoted_text(fields[role]) +
                    " is not a whole number of 1 or more (array code 12 numbers the electrodes)");
          }
          electrode.number = static_cast<std::int32_t>(position);
          electrode.x = (position - 1) * spacing;
        } else {
          electrode.x = station + position;
        }
        if (electrode.present && !std::isfinite(electrode.x)) {
          lines.fail_at(number, std::string("the position of ") + "ABMN"[role] + " is too large");
        }
      }
      double value = 0;
      if (!field_number(fields[value_column], value)) {
        lines.fail_at(number,
                      "the value " + quoted_text(fields[value_column]) + " is not a number");
      }
      (type == 1 ? reading.resistance : reading.apparent_resistivity) = value;
      if (fields.size() > deviation_column) {
        double deviation = 0;
        if (!field_number(fields[deviation_column], deviation)) {
          lines.fail_at(number, "the variation coefficient " +
                                    quoted_text(fields[deviation_column]) + " is not a number");
        }
        reading.deviation = deviation;
      }
      survey.readings.push_back(reading);
      previous.assign(fields.begin(), fields.end());
      ++read;
    }
    survey.notes.push_back("line " + std::to_string(block_line) + ": protocol " +
                           quoted_text(file) + " at station " + shortest(station) + ": " +
                           std::to_string(read) + " of " + std::to_string(count) + " " +
                           (type == 1 ? "resistances" : "apparent resistivities") + " read");
    ++blocks;
  }
  if (blocks == 0) {
    lines.fail_at(
        0, "the file holds no data block (protocol file, number of data, station, date, data)");
  }

  if (positioned_blocks) {
    survey.notes.push_back("positions: metres along the line from each block's station");
  }
  if (numbered_blocks) {
    survey.notes.push_back(
        "array code 12 gives electrode numbers: electrode k placed at x = (k - 1) * " +
        shortest(spacing) +
        " m; the positions of boreholes or grids must come from an electrode table (--electrodes "
        "FILE)");
  }
  if (columns > deviation_column) {
    survey.notes.push_back(
        "the value after the datum read as its variation coefficient (stacking deviation, %)" +
        std::string(columns > deviation_column + 1
                        ? "; the " + std::to_string(columns - deviation_column - 1) +
                              " values after it (counts) are not read"
                        : ""));
  }
  if (columns > usual_columns) {
    survey.notes.push_back("the data lines hold " + std::to_string(columns) + " values, " +
                           std::to_string(usual_columns) + " usually: the others are not read");
  }
  if (remote > 0) {
    survey.notes.push_back(std::to_string(remote) +
                           " remote electrodes (position 1e38, or number 0) left out as poles");
  }
  return survey;
}

}  // namespace quelby
