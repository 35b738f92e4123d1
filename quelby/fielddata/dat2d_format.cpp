#include "quelby/fielddata/dat2d_format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/dat2d_arrays.hpp"
#include "quelby/fielddata/dat2d_lines.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

bool contains(const std::string& text, std::string_view needle) {
  return text.find(needle) != std::string::npos;
}

std::string line_name(std::size_t number) {
  return "line " + std::to_string(number);
}

std::string lines_name(std::size_t first, std::size_t last) {
  return first == last ? line_name(first)
                       : "lines " + std::to_string(first) + " to " + std::to_string(last);
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

// The settings of one data block, from its header, and what reading its data found.
struct Block {
  std::size_t number = 1;  // 1 for the block after the file's header
  bool resistances = false;
  bool measurement_line = false;  // its "Type of measurement" line has been read
  std::int32_t count = 0;
  std::int32_t location_type = 0;
  bool ip = false;
  std::size_t ip_values = 1;  // IP values per data line: one per window
  int error_type = -1;        // -1 no errors, 0 in the unit of the data, 1 in percent
  std::size_t read = 0, first_line = 0, last_line = 0;
  // Data lines with values after those read: how many, the first, its count of values.
  std::size_t longer = 0, longer_line = 0, longer_values = 0;
};

class Dat2dReader {
 public:
  Dat2dReader(Dat2dLines& lines, FieldSurvey& survey) : lines_(lines), survey_(survey) {}

  void read() {
    survey_.format = FieldFormat::dat2d;
    note("title: " + quoted_text(trim_blanks(lines_.title())));
    if (lines_.decimal_comma()) {
      note("decimal commas: the numbers are written with decimal commas (as " +
           line_name(lines_.decimal_comma_line()) + " shows), values separated by blanks or tabs");
    }
    const Dat2dLine& spacing_line = lines_.require("the electrode spacing");
    const double spacing = one_number(spacing_line, "the unit electrode spacing");
    if (!(spacing > 0)) {
      lines_.fail_at(spacing_line.number, "the unit electrode spacing must be positive");
    }
    const Dat2dLine& code_line = lines_.require("the array code");
    code_ = one_integer(code_line, "the array code");
    const std::string refusal = dat2d_array_refusal(code_);
    if (!refusal.empty()) lines_.fail_at(code_line.number, refusal);

    Block block;
    std::string array(dat2d_array_name(code_));
    if (code_ == 11) {
      const std::int32_t sub_type =
          one_integer(header_number(block, "the sub-array type"), "the sub-array type");
      const std::string_view sub_name = sub_type == 15 ? "gradient" : dat2d_array_name(sub_type);
      array += " (sub-type " + std::to_string(sub_type) +
               (sub_name.empty() || sub_type == 11 ? "" : ", " + std::string(sub_name)) + ")";
    }
    if (dat2d_array_has_offset(code_)) {
      const std::string what = code_ == 8 ? "the distance between the two lines of electrodes"
                                          : "the offset of C1 from the line";
      const Dat2dLine& line = header_number(block, what);
      offset_ = one_number(line, what);
      if (!(offset_ > 0)) lines_.fail_at(line.number, what + " must be positive");
      array += code_ == 8 ? ", C2 and P2 on a second line at y = " + shortest(offset_) + " m"
                          : ", C1 at y = " + shortest(offset_) + " m";
    }
    note("array: " + array + ", unit electrode spacing " + shortest(spacing) + " m");

    read_block_header(block);
    note(std::string("values: ") +
         (block.resistances ? "resistances (ohm)" : "apparent resistivities (ohm-m)"));
    read_data(block);
    read_tail(block);
    finish();
  }

 private:
  void note(std::string text) { survey_.notes.push_back(std::move(text)); }

  // The one value of a header line. A lone "d,d" that the file reads as two values stops: its comma
  // may be a decimal mark.
  std::string_view one_value(const Dat2dLine& line, std::string_view what) {
    const auto values = lines_.values(line.text);
    if (values.size() > 1 && lines_.two_values_or_one(line.text)) {
      lines_.fail_at(line.number,
                     quoted_text(line.text) + " holds two values where " + std::string(what) +
                         " is expected: if its comma is a decimal mark, the file shows it nowhere "
                         "else; write the number with a decimal point");
    }
    return values.empty() ? line.text : values[0];
  }

  double one_number(const Dat2dLine& line, std::string_view what) {
    const std::string_view text = one_value(line, what);
    double value = 0;
    if (!lines_.number(text, value)) {
      lines_.fail_at(line.number, "expected " + std::string(what) + ", found " + quoted_text(text));
    }
    return value;
  }

  std::int32_t one_integer(const Dat2dLine& line, std::string_view what) {
    const std::string_view text = one_value(line, what);
    std::int32_t value = 0;
    if (!field_integer(text, value)) {
      lines_.fail_at(line.number, "expected " + std::string(what) + ", found " + quoted_text(text));
    }
    return value;
  }

  // The next line that starts like a number, the header's text lines before it read.
  const Dat2dLine& header_number(Block& block, std::string_view what) {
    while (true) {
      const Dat2dLine& line = lines_.require(what);
      if (Dat2dLines::numeric(line)) return line;
      header_text(block, line);
    }
  }

  // A text line of a block's header: the remote electrodes, how the file's geometric factors were
  // computed, or the "Type of measurement" line with its flag on the next line (whatever it says:
  // the format places it, not its words).
  void header_text(Block& block, const Dat2dLine& line) {
    const std::string lower = lower_case(line.text);
    if (contains(lower, "remote")) {
      read_remote_electrodes(line);
    } else if (contains(lower, "geometric factor")) {
      // "Exact geometric factor used": the apparent resistivities were computed with the remote
      // electrodes where the file places them, not at infinity.
      survey_.remote_in_factor = contains(lower, "exact");
      note(line_name(line.number) + ": " + quoted_text(line.text) +
           (survey_.remote_in_factor
                ? " (the apparent resistivities take the remote electrodes where they stand)"
                : " (how the file's own geometric factors were computed)"));
    } else if (!block.measurement_line) {
      block.measurement_line = true;
      const Dat2dLine& flag_line = lines_.require("the type of measurement");
      const std::int32_t flag =
          one_integer(flag_line, "the type of measurement (0 apparent resistivity, 1 resistance)");
      if (flag != 0 && flag != 1) {
        lines_.fail_at(flag_line.number, "the type of measurement must be 0 or 1");
      }
      block.resistances = flag == 1;
    } else {
      note(line_name(line.number) + ": " + quoted_text(line.text) +
           " is a header line quelby does not know; it is not read");
    }
  }

  // After "Remote electrodes included": per remote electrode a label naming C2 or P2 and a line
  // with its x, y and z. The readings keep the remote electrodes absent: their data are poles.
  void read_remote_electrodes(const Dat2dLine& heading) {
    std::string positions;
    std::size_t last = heading.number;
    while (!lines_.at_end() && !Dat2dLines::numeric(lines_.peek())) {
      const std::string label = lower_case(lines_.peek().text);
      const bool c2 = contains(label, "c2");
      if (!c2 && !contains(label, "p2")) break;
      lines_.take();
      const Dat2dLine& at = lines_.require("the position of the remote electrode");
      const auto values = lines_.values(at.text);
      if (values.empty() || values.size() > 3) {
        lines_.fail_at(at.number, "expected the x, y and z of the remote electrode, found " +
                                      quoted_text(at.text));
      }
      static constexpr const char* axes[3] = {"x ", "y ", "z "};
      std::string position;
      for (std::size_t k = 0; k < values.size(); ++k) {
        double value = 0;
        if (!lines_.number(values[k], value)) {
          lines_.fail_at(at.number, "expected the x, y and z of the remote electrode, found " +
                                        quoted_text(values[k]));
        }
        position += (k > 0 ? ", " : "") + std::string(axes[k]) + shortest(value);
      }
      positions += (positions.empty() ? "" : "; ") + std::string(c2 ? "C2" : "P2") + " at " +
                   position + " m";
      std::array<double, 3> place{0, 0, 0};
      for (std::size_t k = 0; k < values.size(); ++k) lines_.number(values[k], place[k]);
      (c2 ? survey_.remote_current : survey_.remote_potential) = place;
      last = at.number;
    }
    if (positions.empty()) {
      note(line_name(heading.number) + ": " + quoted_text(heading.text) +
           " gives no remote electrode's position");
      return;
    }
    note("remote electrodes (" + lines_name(heading.number, last) + "): " + positions +
         "; the readings leave them out (the data are poles)");
  }

  void read_block_header(Block& block) {
    const Dat2dLine& count_line = header_number(block, "the number of data");
    block.count = one_integer(count_line, "the number of data");
    if (block.count < 0) {
      lines_.fail_at(count_line.number, "the number of data must not be negative");
    }
    const Dat2dLine& location = header_number(block, "the type of x-location");
    block.location_type = one_integer(location, "the type of x-location");
    if (code_ != 11 && block.location_type != 0 && block.location_type != 1) {
      lines_.fail_at(location.number,
                     "the type of x-location must be 0 (first electrode) or 1 (midpoint)");
    }
    const Dat2dLine& ip_line = header_number(block, "the IP flag");
    const std::int32_t ip_flag = one_integer(ip_line, "the IP flag (0 or 1)");
    if (ip_flag < 0) lines_.fail_at(ip_line.number, "the IP flag must be 0 or 1");
    // Exports with several IP windows write the count of values after the resistance here.
    block.ip = ip_flag > 0;
    if (block.ip) read_ip_block(block);
    if (ip_flag > 1 && static_cast<std::size_t>(ip_flag) != block.ip_values + 1) {
      note(line_name(ip_line.number) + ": the IP flag " + std::to_string(ip_flag) +
           " is read as IP present (" + std::to_string(block.ip_values) +
           " IP values per data line, as the IP block states)");
    }
    if (block.count > 0) read_error_block(block);
  }

  // The quantity ("Chargeability", "Phase angle"), its unit, then the delay and integration time in
  // s; or a count of windows, the delay and the windows' times, each data line then holding one IP
  // value per window.
  void read_ip_block(Block& block) {
    const Dat2dLine& quantity = lines_.require("the IP quantity");
    const Dat2dLine& unit = lines_.require("the IP unit");
    const Dat2dLine& timing = lines_.require("the IP delay and integration time");
    const auto times = lines_.values(timing.text);
    double delay = 0, window = 0;
    if (times.size() < 2 || !lines_.number(times[0], delay) || !lines_.number(times[1], window)) {
      lines_.fail_at(timing.number, "expected the IP delay and integration time in s");
    }
    std::string timing_note =
        "delay " + shortest(delay) + " s, integration time " + shortest(window) + " s";
    if (times.size() > 2) {
      std::int32_t windows = 0;
      if (field_integer(times[0], windows) && windows >= 2 &&
          times.size() >= static_cast<std::size_t>(windows) + 2) {
        block.ip_values = static_cast<std::size_t>(windows);
        window = not_given;
        timing_note = std::to_string(windows) + " windows (" + quoted_text(timing.text) +
                      "): each data line's first IP value is read, the other " +
                      std::to_string(windows - 1) + " are left";
      } else {
        timing_note +=
            "; the other " + std::to_string(times.size() - 2) + " numbers of the line are not read";
      }
    }
    const ChargeabilityUnit kind = unit_of(unit.text);
    const std::string where = lines_name(quantity.number, timing.number);
    if (!ip_read_) {
      ip_read_ = true;
      survey_.chargeability_unit = kind;
      survey_.chargeability_unit_text = std::string(unit.text);
      if (kind == ChargeabilityUnit::milliseconds && window > 0) {
        survey_.chargeability_window = window;
      }
      note("IP (" + where + "): " + quoted_text(quantity.text) + " in " + quoted_text(unit.text) +
           (kind == ChargeabilityUnit::other ? " (a unit quelby keeps as it is)" : "") + ", " +
           timing_note);
      return;
    }
    if (lower_case(unit.text) != lower_case(survey_.chargeability_unit_text)) {
      lines_.fail_at(unit.number, "the IP unit " + quoted_text(unit.text) + " differs from " +
                                      quoted_text(survey_.chargeability_unit_text) +
                                      " of the block before: quelby keeps one IP unit per file");
    }
    if (kind == ChargeabilityUnit::milliseconds && window > 0 &&
        window != survey_.chargeability_window) {
      lines_.fail_at(
          timing.number,
          "the integration time " + shortest(window) +
              " s differs from that of the block before: quelby keeps one IP window per file");
    }
    note("IP of data block " + std::to_string(block.number) + " (" + where + "): " + timing_note);
  }

  // "Error estimate for data present", a second text line ("Type of error estimate ..."), then 0
  // (errors in the unit of the data) or 1 (in percent).
  void read_error_block(Block& block) {
    while (!lines_.at_end() && !Dat2dLines::numeric(lines_.peek())) {
      const Dat2dLine& text = lines_.take();
      if (!contains(lower_case(text.text), "error")) {
        note(line_name(text.number) + ": " + quoted_text(text.text) +
             " is a header line quelby does not know; it is not read");
        continue;
      }
      if (!lines_.at_end() && !Dat2dLines::numeric(lines_.peek())) lines_.take();
      const Dat2dLine& type = lines_.require("the type of error estimate");
      block.error_type = one_integer(type, "the type of error estimate (0 or 1)");
      if (block.error_type != 0 && block.error_type != 1) {
        lines_.fail_at(type.number, "the type of error estimate must be 0 or 1");
      }
      note(std::string("error estimates: ") +
           (block.error_type == 0 ? "in the unit of the data" : "in percent") +
           (block.ip && block.ip_values == 1 ? "; an IP value may be followed by its own" : ""));
      return;
    }
  }

  // Values a data line of `block` needs: the array's numbers, the value, its error, the IP.
  std::size_t needed(const Block& block, std::size_t electrodes) const {
    const std::size_t before =
        code_ == 11 ? 1 + 2 * electrodes : (dat2d_array_has_n(code_) ? 3 : 2);
    return before + 1 + (block.error_type >= 0 ? 1 : 0) + (block.ip ? block.ip_values : 0);
  }

  void read_data(Block& block) {
    const std::size_t reserve = static_cast<std::size_t>(std::min(block.count, 1 << 16));
    survey_.readings.reserve(survey_.readings.size() + reserve);
    for (std::int32_t k = 0; k < block.count; ++k) {
      if (lines_.at_end()) lines_.fail_at(0, "the file ends where a datum was expected");
      const Dat2dLine& line = lines_.take();
      if (Dat2dLines::only_zeros(line) && lines_.values(line.text).size() < needed(block, 2)) {
        lines_.fail_at(line.number,
                       "the data end after " + std::to_string(k) + " of the " +
                           std::to_string(block.count) +
                           " the file states: this line holds the zeros that end the file");
      }
      if (!read_datum(block, line)) {
        if (k + 1 < block.count) {
          note("the file ends inside data block " + std::to_string(block.number) + ": " +
               std::to_string(block.read) + " of the " + std::to_string(block.count) +
               " data it states are read");
        }
        break;
      }
    }
    const std::string where =
        block.read > 0 ? " (" + lines_name(block.first_line, block.last_line) + ")" : "";
    note("data block " + std::to_string(block.number) + where + ": " + std::to_string(block.read) +
         " readings of the " + std::to_string(block.count) + " it states" +
         (block.number > 1
              ? std::string(", ") + (block.resistances ? "resistances" : "apparent resistivities")
              : ""));
    if (block.longer > 0) {
      note(std::to_string(block.longer) + " data lines of block " + std::to_string(block.number) +
           " hold values after those read (first " + line_name(block.longer_line) + ", " +
           std::to_string(block.longer_values) + " values): the extra values are not read");
    }
  }

  // The reading of one data line, or false when the line is the file's truncated last line, which
  // is then dropped with a note.
  bool read_datum(Block& block, const Dat2dLine& line) {
    const auto fields = lines_.values(line.text);
    const bool last = lines_.at_end();
    const auto dropped = [&](const std::string& why) {
      note(line_name(line.number) + ": the last data line is cut short (" + why +
           "): it is dropped, 1 truncated reading");
      return false;
    };
    const auto bad = [&](const std::string& what) {
      if (last) return dropped(what);
      lines_.fail_at(line.number, what);
    };
    if (lines_.cut_by_the_end(line)) {
      return dropped("the file ends inside it, so its last number may be cut");
    }
    FieldReading reading;
    reading.line = line.number;
    std::size_t at = 0;
    if (fields.empty()) return bad("expected values, found none");
    std::size_t electrodes = 0;
    if (code_ == 11) {
      std::int32_t count = 0;
      if (!field_integer(fields[0], count) || count < 2 || count > 4) {
        lines_.fail_at(line.number, "expected the number of electrodes (2, 3 or 4) first");
      }
      electrodes = static_cast<std::size_t>(count);
    }
    const std::size_t wanted = needed(block, electrodes);
    if (fields.size() < wanted) {
      return bad("expected " + std::to_string(wanted) + " values (" +
                 std::to_string(fields.size()) + " found)");
    }
    if (code_ == 11) {
      // C1 P1 | C1 P1 P2 | C1 C2 P1 P2.
      static constexpr std::size_t roles[3][4] = {
          {electrode_a, electrode_m, 0, 0},
          {electrode_a, electrode_m, electrode_n, 0},
          {electrode_a, electrode_b, electrode_m, electrode_n}};
      for (FieldElectrode& electrode : reading.electrodes) electrode.present = false;
      for (std::size_t e = 0; e < electrodes; ++e) {
        double x = 0, z = 0;
        if (!lines_.number(fields[1 + 2 * e], x) || !lines_.number(fields[2 + 2 * e], z)) {
          return bad("the position " + quoted_text(fields[1 + 2 * e]) + " " +
                     quoted_text(fields[2 + 2 * e]) + " is not a pair of finite numbers");
        }
        FieldElectrode& electrode = reading.electrodes[roles[electrodes - 2][e]];
        electrode.present = true;
        electrode.x = x;
        electrode.elevation = z;
        z_given_ = z_given_ || z != 0;
      }
      at = 1 + 2 * electrodes;
    } else {
      const bool with_n = dat2d_array_has_n(code_);
      double x = 0, a = 0, n = 1;
      if (!lines_.number(fields[0], x) || !lines_.number(fields[1], a) ||
          (with_n && !lines_.number(fields[2], n))) {
        return bad("the x, a" + std::string(with_n ? ", n" : "") +
                   " of the datum are not finite numbers");
      }
      if (!(a > 0) || (with_n && (n == 0 || (code_ != 6 && code_ != 10 && n < 0)))) {
        lines_.fail_at(
            line.number,
            "a must be positive and n not 0 (negative only for the reverse pole-dipole)");
      }
      reading.electrodes = dat2d_index_electrodes(code_, block.location_type, x, a, n, offset_);
      at = with_n ? 3 : 2;
    }
    double value = 0, error = 0;
    const auto number_at = [&](std::size_t k, double& into) {
      if (lines_.number(fields[k], into)) return true;
      bad("the value " + quoted_text(fields[k]) + " is not a number");
      return false;
    };
    if (!number_at(at++, value)) return false;
    (block.resistances ? reading.resistance : reading.apparent_resistivity) = value;
    if (block.error_type >= 0) {
      if (!number_at(at++, error)) return false;
      if (block.error_type == 1) {
        reading.relative_error = error / 100;
      } else if (block.resistances) {
        reading.std = error;
      } else if (value != 0) {
        reading.relative_error = std::abs(error / value);
      }
    }
    if (block.ip) {
      for (std::size_t window = 0; window < block.ip_values; ++window) {
        double ip = 0;
        if (!number_at(at + window, ip)) return false;
        if (window == 0) reading.chargeability = ip;
      }
      at += block.ip_values;
      // With errors, an IP value may be followed by its own error, of the same type.
      double ip_error = 0;
      if (block.error_type >= 0 && block.ip_values == 1 && fields.size() > at &&
          lines_.number(fields[at], ip_error)) {
        reading.chargeability_std =
            block.error_type == 1 ? std::abs(reading.chargeability) * ip_error / 100 : ip_error;
        ++at;
      }
    }
    if (fields.size() > at) {
      if (block.longer++ == 0) {
        block.longer_line = line.number;
        block.longer_values = fields.size();
      }
    }
    if (block.read++ == 0) block.first_line = line.number;
    block.last_line = line.number;
    survey_.readings.push_back(reading);
    return true;
  }

  // Whether `line` reads as a data line of `block`: extra data past the count it states.
  bool like_a_datum(const Block& block, const Dat2dLine& line) const {
    const auto fields = lines_.values(line.text);
    std::size_t electrodes = 0;
    if (code_ == 11) {
      std::int32_t count = 0;
      if (fields.empty() || !field_integer(fields[0], count) || count < 2 || count > 4) {
        return false;
      }
      electrodes = static_cast<std::size_t>(count);
    }
    if (fields.size() < needed(block, electrodes)) return false;
    double value = 0;
    for (const std::string_view field : fields) {
      if (!lines_.number(field, value)) return false;
    }
    return true;
  }

  // Everything after the data: the topography, global coordinates, further data blocks and the
  // zeros that end the file. What the reader does not know is noted with its line.
  void read_tail(Block block) {
    bool after_data = true;  // where the topography type stands
    while (!lines_.at_end()) {
      const Dat2dLine& line = lines_.peek();
      if (Dat2dLines::only_zeros(line)) {
        lines_.take();
        after_data = false;
        continue;
      }
      if (!Dat2dLines::numeric(line)) {
        const std::string lower = lower_case(line.text);
        if (contains(lower, "topograph") && topography_type_ == 0) {
          lines_.take();
          read_topography(lines_.require("the topography type"));
          after_data = false;
        } else if (contains(lower, "global coordinate")) {
          read_global_coordinates(lines_.take());
        } else if (contains(lower, "type of") && !contains(lower, "error")) {
          Block next;
          next.number = block.number + 1;
          read_block_header(next);
          read_data(next);
          block = next;
          after_data = true;
        } else {
          return leave(
              line,
              "is not a block quelby knows (topography, global coordinates or another data block)");
        }
        continue;
      }
      const auto fields = lines_.values(line.text);
      std::int32_t type = 0;
      if (after_data && topography_type_ == 0 && fields.size() == 1 &&
          field_integer(fields[0], type) && (type == 1 || type == 2)) {
        read_topography(lines_.take());
        after_data = false;
        continue;
      }
      if (after_data && like_a_datum(block, line)) {
        const std::size_t first = line.number;
        std::size_t last = first, count = 0;
        while (!lines_.at_end() && Dat2dLines::numeric(lines_.peek()) &&
               !Dat2dLines::only_zeros(lines_.peek()) && like_a_datum(block, lines_.peek())) {
          last = lines_.take().number;
          ++count;
        }
        note(lines_name(first, last) + ": " + std::to_string(count) + " data lines after the " +
             std::to_string(block.count) + " that data block " + std::to_string(block.number) +
             " states are not read: the block's count is smaller than its data lines");
        continue;
      }
      return leave(line, topography_type_ != 0 || !after_data
                             ? "starts a block quelby does not read (such as fixed model regions)"
                             : "stands where the topography type (0, 1 or 2) is expected");
    }
  }

  // Notes `line` and everything after it as not read, and moves to the end of the file.
  void leave(const Dat2dLine& line, std::string_view why) {
    const std::size_t number = line.number;
    const std::string text = quoted_text(line.text);
    std::size_t after = 0;
    lines_.take();
    while (!lines_.at_end()) {
      lines_.take();
      ++after;
    }
    note(line_name(number) + ": " + text + " " + std::string(why) + "; it and the " +
         std::to_string(after) + " lines with text after it are not read");
  }

  // The topography: type 1 (x horizontal) or 2 (x along the ground), the number of points, the
  // points (x, elevation), the number of the electrode at the first point.
  void read_topography(const Dat2dLine& type_line) {
    const std::int32_t type = one_integer(type_line, "the topography type (0, 1 or 2)");
    if (type == 0) return;
    if (type != 1 && type != 2) {
      lines_.fail_at(type_line.number, "the topography type must be 0, 1 or 2");
    }
    const Dat2dLine& count_line = lines_.require("the number of topography points");
    const std::int32_t count = one_integer(count_line, "the number of topography points");
    if (count < 1) {
      lines_.fail_at(count_line.number, "the number of topography points must be at least 1");
    }
    std::size_t last = type_line.number;
    for (std::int32_t p = 0; p < count; ++p) {
      const Dat2dLine& point = lines_.require("a topography point");
      const auto fields = lines_.values(point.text);
      double x = 0, z = 0;
      if (fields.size() < 2 || !lines_.number(fields[0], x) || !lines_.number(fields[1], z)) {
        lines_.fail_at(point.number, "expected a topography point: x and elevation");
      }
      if (!along_.empty() && x < along_.back()) {
        lines_.fail_at(point.number, "the topography points must be in increasing x");
      }
      along_.push_back(x);
      elevation_.push_back(z);
      survey_.topography.push_back({x, z});
      last = point.number;
    }
    std::string first_electrode;
    if (!lines_.at_end() && Dat2dLines::numeric(lines_.peek()) &&
        !Dat2dLines::only_zeros(lines_.peek())) {
      const auto fields = lines_.values(lines_.peek().text);
      std::int32_t number = 0;
      if (fields.size() == 1 && field_integer(fields[0], number)) {
        last = lines_.take().number;
        if (number != 1) {
          first_electrode = "; the file puts electrode " + std::to_string(number) +
                            " at the first point (quelby places the points by their x)";
        }
      }
    }
    topography_type_ = type;
    survey_.x_along_ground = type == 2;
    note("topography (" + lines_name(type_line.number, last) + "): " + std::to_string(count) +
         " points, " +
         (type == 2 ? "x along the ground surface, kept as the file records it (the import turns "
                      "it into horizontal positions)"
                    : "x horizontal") +
         first_electrode);
  }

  // "Global Coordinates present", "Number of coordinate points", the count, a line naming the
  // columns, then per point the local x and two global coordinates.
  void read_global_coordinates(const Dat2dLine& heading) {
    if (!lines_.at_end() && !Dat2dLines::numeric(lines_.peek())) lines_.take();
    const Dat2dLine& count_line = lines_.require("the number of global coordinate points");
    const std::int32_t count = one_integer(count_line, "the number of global coordinate points");
    if (count < 0) lines_.fail_at(count_line.number, "the number of points must not be negative");
    if (!lines_.at_end() && !Dat2dLines::numeric(lines_.peek())) lines_.take();
    std::size_t last = count_line.number;
    for (std::int32_t p = 0; p < count; ++p) {
      const Dat2dLine& point = lines_.require("a global coordinate point");
      const auto fields = lines_.values(point.text);
      double value = 0;
      if (fields.size() < 3 || !lines_.number(fields[0], value) ||
          !lines_.number(fields[1], value) || !lines_.number(fields[2], value)) {
        lines_.fail_at(point.number,
                       "expected a global coordinate point: local x and two global coordinates");
      }
      last = point.number;
    }
    note("global coordinates (" + lines_name(heading.number, last) + "): " + std::to_string(count) +
         " points of local x and two global coordinates, read; quelby does not use them");
  }

  void finish() {
    if (!along_.empty()) {
      if (z_given_) note("electrode elevations: the topography's, not the z of the data lines");
      for (FieldReading& reading : survey_.readings) {
        for (FieldElectrode& electrode : reading.electrodes) {
          if (!electrode.present) continue;
          electrode.elevation = interpolate(along_, elevation_, electrode.x, 0.0);
        }
      }
    } else if (z_given_) {
      note("electrode elevations: the z of the data lines");
    } else {
      for (FieldReading& reading : survey_.readings) {
        for (FieldElectrode& electrode : reading.electrodes) electrode.elevation = not_given;
      }
    }
    if (!ip_read_) return;
    bool any = false;
    for (const FieldReading& reading : survey_.readings) {
      if (std::isnan(reading.chargeability)) continue;
      if (reading.chargeability != 0) return;
      any = true;
    }
    if (!any) return;
    for (FieldReading& reading : survey_.readings) {
      reading.chargeability = not_given;
      reading.chargeability_std = not_given;
    }
    survey_.chargeability_unit = ChargeabilityUnit::none;
    survey_.chargeability_unit_text.clear();
    survey_.chargeability_window = not_given;
    note("IP: every IP value is 0 (a DC-only export): no chargeabilities read");
  }

  Dat2dLines& lines_;
  FieldSurvey& survey_;
  std::int32_t code_ = 0;
  double offset_ = 0;  // the second line of electrodes of arrays 8 and 10
  bool z_given_ = false;
  bool ip_read_ = false;
  std::int32_t topography_type_ = 0;
  std::vector<double> along_, elevation_;  // the topography points as the file gives them
};

// The first value of `line`: "2,5" alone is one number with a decimal comma, else commas and blanks
// separate values.
std::string_view first_value(std::string_view line) {
  const auto blanks = split_fields(trim_blanks(line), ' ');
  if (blanks.empty()) return {};
  const std::string_view token = blanks[0];
  const std::size_t comma = token.find(',');
  if (comma != std::string_view::npos && comma == token.rfind(',') &&
      token.find('.') == std::string_view::npos && blanks.size() == 1) {
    return token;
  }
  return split_fields(token, ',')[0];
}

}  // namespace

std::string dat2d_mismatch(const FieldSource& source) {
  const auto lines = first_lines(source.bytes, 40, 4096);
  if (lines.empty()) return "the file is empty";
  // The line with text after line `k` (0-based), or lines.size().
  const auto text_after = [&](std::size_t k) {
    ++k;
    while (k < lines.size() && trim_blanks(lines[k]).empty()) ++k;
    return k;
  };
  const std::size_t spacing_line = text_after(0);
  double spacing = 0;
  if (spacing_line == lines.size() ||
      !field_number(first_value(lines[spacing_line]), spacing, true) || !(spacing > 0)) {
    return "line " + std::to_string(spacing_line == lines.size() ? 2 : spacing_line + 1) +
           " holds no electrode spacing";
  }
  const std::size_t code_line = text_after(spacing_line);
  std::int32_t code = 0;
  if (code_line == lines.size() ||
      !field_integer(split_fields(first_value(lines[code_line]), ',')[0], code) || code < 1 ||
      code > 15) {
    return "line " + std::to_string(code_line == lines.size() ? spacing_line + 2 : code_line + 1) +
           " holds no array code";
  }
  return {};
}

FieldSurvey read_dat2d_file(const Io& io, const FieldSource& source) {
  FieldLines file(io, source);
  Dat2dLines lines(file, source);
  if (source.bytes.empty()) lines.fail_at(0, "the file is empty");
  FieldSurvey survey;
  Dat2dReader(lines, survey).read();
  return survey;
}

FieldSurvey read_dat2d_file(const Io& io, std::string_view name) {
  return read_dat2d_file(io, read_field_source(io, name));
}

}  // namespace quelby
