#include "quelby/fielddata/ohmpi_format.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

namespace {

using Index = std::optional<std::size_t>;

// Blank lines the signature passes over before the header.
constexpr std::size_t signature_lines = 64;
// Column names listed one by one in the notes; the rest are counted.
constexpr std::size_t listed_names = 16;

// A column of the header: "Vmn [mV]" is key "vmn", unit "mv"; "r_std_[%]" and "R std (%)" are both
// key "r_std", unit "%".
struct Heading {
  std::string key, unit, name;
};

Heading heading_of(std::string_view name) {
  Heading heading;
  name = trim_blanks(name);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = trim_blanks(name.substr(1, name.size() - 2));
  }
  heading.name = name;
  const std::size_t open = name.find_first_of("[(");
  if (open != std::string_view::npos) {
    const std::size_t close = name.find(name[open] == '[' ? ']' : ')', open);
    heading.unit = lower_case(trim_blanks(name.substr(
        open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1)));
  }
  std::string key = lower_case(trim_blanks(name.substr(0, open)));
  std::replace(key.begin(), key.end(), ' ', '_');
  while (!key.empty() && key.back() == '_') key.pop_back();
  heading.key = std::move(key);
  return heading;
}

std::vector<Heading> headings_of(std::string_view line) {
  std::vector<Heading> headings;
  for (const std::string_view name : split_fields(line, ',')) headings.push_back(heading_of(name));
  return headings;
}

// A column of one full-waveform sample: a letter and its number (i0, u12, t3).
bool waveform_sample(const Heading& heading) {
  const std::string& key = heading.key;
  return heading.unit.empty() && key.size() >= 2 && key[0] >= 'a' && key[0] <= 'z' &&
         std::all_of(key.begin() + 1, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Index find_key(const std::vector<Heading>& headings, std::initializer_list<std::string_view> keys,
               bool unitless = false) {
  for (const std::string_view key : keys) {
    for (std::size_t k = 0; k < headings.size(); ++k) {
      if (headings[k].key == key && (!unitless || headings[k].unit.empty())) return k;
    }
  }
  return std::nullopt;
}

struct Roles {
  std::array<Index, 4> electrode;
  Index resistance, deviation, voltage, current, time;
};

Roles roles_of(const std::vector<Heading>& headings) {
  Roles roles;
  roles.electrode = {find_key(headings, {"a"}, true), find_key(headings, {"b"}, true),
                     find_key(headings, {"m"}, true), find_key(headings, {"n"}, true)};
  roles.resistance = find_key(headings, {"r"});
  roles.deviation = find_key(headings, {"r_std"});
  roles.voltage = find_key(headings, {"vmn"});
  roles.current = find_key(headings, {"i", "iab"});
  roles.time = find_key(headings, {"time"});
  return roles;
}

// The text of a field without the brackets of the earliest files ("[4]", "[0.139]").
std::string_view unbracketed(std::string_view text) {
  text = trim_blanks(text);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = trim_blanks(text.substr(1, text.size() - 2));
  }
  return text;
}

// What OhmPi writes where it has no value: an empty field, NaN, an infinity or None.
bool missing_value(std::string_view text) {
  const std::string lower = lower_case(trim_blanks(text));
  return lower.empty() || lower == "nan" || lower == "-nan" || lower == "inf" || lower == "-inf" ||
         lower == "+inf" || lower == "none";
}

bool electrode_number(std::string_view text, std::int32_t& number) {
  double value = 0;
  if (field_integer(text, number)) return number >= 1;
  // pandas writes whole numbers of a float column as "4.0".
  if (!field_number(text, value) || value != std::floor(value) || value < 1 ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  number = static_cast<std::int32_t>(value);
  return true;
}

// The factor from the unit of `heading` to ohm, V or A (`base`), refusing a unit it is not.
double unit_factor(FieldLines& lines, const Heading& heading, std::string_view base) {
  const std::string& unit = heading.unit;
  if (unit == base) return 1;
  if (unit.size() == base.size() + 1 && unit.substr(1) == base) {
    // After lower-casing, "mohm" could be milli- or mega-ohm: refused.
    if (unit[0] == 'm' && base != "ohm") return 1e-3;
    if (unit[0] == 'u') return 1e-6;
    if (unit[0] == 'k') return 1e3;
  }
  lines.fail_at(1,
                "the unit of the column " + quoted_text(heading.name) + " is not one quelby reads");
}

std::string names_note(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t k = 0; k < names.size() && k < listed_names; ++k) {
    text += (k == 0 ? "" : ", ") + names[k];
  }
  if (names.size() > listed_names) {
    text += " and " + std::to_string(names.size() - listed_names) + " more";
  }
  return text;
}

}  // namespace

std::string ohmpi_mismatch(const FieldSource& source) {
  const std::string_view text = source.bytes;
  std::size_t at = 0, number = 0;
  std::string_view line;
  // The header is the first line with text, after at most a few blank ones.
  while (at < text.size() && number < signature_lines) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    line = text.substr(at, end - at);
    ++number;
    at = end +
         (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n'
              ? 2
              : 1);
    if (!trim_blanks(line).empty()) break;
  }
  if (trim_blanks(line).empty()) return "the file holds no line with text";
  const std::string reason =
      "line " + std::to_string(number) +
      " is no comma-separated header with A, B, M, N and R [ohm] (or Vmn [mV] and I [mA])";
  if (line.find(',') == std::string_view::npos) return reason;
  const Roles roles = roles_of(headings_of(line));
  const bool electrodes = std::all_of(roles.electrode.begin(), roles.electrode.end(),
                                      [](const Index& index) { return index.has_value(); });
  if (!electrodes || !(roles.resistance || (roles.voltage && roles.current))) return reason;
  return {};
}

FieldSurvey read_ohmpi_file(const Io& io, const FieldSource& source) {
  FieldLines lines(io, source);
  std::string_view line;
  if (!lines.next_with_text(line)) lines.fail_at(0, "the file holds no header line");
  const std::size_t header_line = lines.line_number();
  const std::vector<Heading> headings = headings_of(line);
  const Roles roles = roles_of(headings);
  FieldSurvey survey;
  survey.format = FieldFormat::ohmpi;
  for (std::size_t role = 0; role < 4; ++role) {
    if (!roles.electrode[role]) {
      lines.fail("the header names no column " + std::string(1, "ABMN"[role]) +
                 " (the number of an electrode, without a unit)");
    }
  }
  if (!roles.resistance && !(roles.voltage && roles.current)) {
    lines.fail("the header names neither R [ohm] nor Vmn [mV] and I [mA]");
  }
  const auto heading = [&](const Index& index) -> const Heading& { return headings[*index]; };
  const double ohms = !roles.resistance || heading(roles.resistance).unit.empty()
                          ? 1
                          : unit_factor(lines, heading(roles.resistance), "ohm");
  const double volts = roles.voltage ? unit_factor(lines, heading(roles.voltage), "v") : 1;
  const double amperes = roles.current ? unit_factor(lines, heading(roles.current), "a") : 1;
  // R's standard deviation in percent of R, or in ohm.
  const bool deviation_percent = roles.deviation && heading(roles.deviation).unit == "%";
  const double deviation_ohms = roles.deviation && !deviation_percent
                                    ? unit_factor(lines, heading(roles.deviation), "ohm")
                                    : 1;

  // The header's own columns come before the samples of the full waveform, whose number differs
  // from line to line: a line must hold those, the samples may run shorter or longer.
  std::size_t named = headings.size();
  for (std::size_t k = 0; k < headings.size(); ++k) {
    if (waveform_sample(headings[k])) {
      named = k;
      break;
    }
  }
  std::vector<bool> taken(headings.size(), false);
  for (const Index& index : roles.electrode) taken[*index] = true;
  for (const Index* index : {&roles.resistance, &roles.deviation, &roles.voltage, &roles.current}) {
    if (*index) taken[**index] = true;
  }
  std::size_t needed = named;
  for (std::size_t k = 0; k < taken.size(); ++k)
    needed = taken[k] ? std::max(needed, k + 1) : needed;

  std::size_t truncated = 0, first_truncated = 0, gaps = 0, negative = 0, longer = 0;
  std::string first_time, last_time;
  const char* const end = source.bytes.data() + source.bytes.size();
  while (lines.next_with_text(line)) {
    const auto fields = split_fields(line, ',');
    const bool cut_by_end = line.data() + line.size() == end;
    if (fields.size() < needed ||
        (cut_by_end && fields.size() <= headings.size() && taken[fields.size() - 1])) {
      if (truncated++ == 0) first_truncated = lines.line_number();
      continue;
    }
    longer += fields.size() > headings.size() ? 1 : 0;
    FieldReading reading;
    reading.line = lines.line_number();
    for (std::size_t role = 0; role < 4; ++role) {
      const std::size_t k = *roles.electrode[role];
      std::int32_t number = 0;
      if (!electrode_number(unbracketed(fields[k]), number)) {
        lines.fail("the " + quoted_text(headings[k].name) + " field " + quoted_text(fields[k]) +
                   " is not an electrode number (a whole number from 1)");
      }
      // OhmPi's files give no positions: the number's place until an electrode table gives it.
      reading.electrodes[role].number = number;
      reading.electrodes[role].x = number - 1;
    }
    bool gap = false;
    const auto value = [&](const Index& index, double factor) {
      if (!index) return not_given;
      const std::string_view text = unbracketed(fields[*index]);
      double number = 0;
      if (field_number(text, number)) return number * factor;
      if (!missing_value(text)) {
        lines.fail("the " + quoted_text(headings[*index].name) + " field " + quoted_text(text) +
                   " is not a number");
      }
      gap = true;
      return not_given;
    };
    reading.resistance = value(roles.resistance, ohms);
    reading.voltage = value(roles.voltage, volts);
    reading.current = value(roles.current, amperes);
    const double spread = value(roles.deviation, deviation_ohms);
    negative += spread < 0 ? 1 : 0;
    if (std::isfinite(spread) && deviation_percent) {
      reading.deviation = std::abs(spread);
      reading.relative_error = std::abs(spread) / 100;
    } else if (std::isfinite(spread)) {
      reading.std = std::abs(spread);
    }
    gaps += gap ? 1 : 0;
    if (roles.time) {
      if (first_time.empty()) first_time = trim_blanks(fields[*roles.time]);
      last_time = trim_blanks(fields[*roles.time]);
    }
    survey.readings.push_back(reading);
  }

  auto& notes = survey.notes;
  notes.push_back("OhmPi file: " + std::to_string(survey.readings.size()) +
                  " readings under the header of line " + std::to_string(header_line) +
                  (first_time.empty() ? "" : ", measured from " + first_time + " to " + last_time));
  std::string read = "columns read: " + heading(roles.electrode[0]).name + " " +
                     heading(roles.electrode[1]).name + " " + heading(roles.electrode[2]).name +
                     " " + heading(roles.electrode[3]).name;
  for (const Index* index : {&roles.resistance, &roles.deviation, &roles.voltage, &roles.current}) {
    if (*index) read += ", " + heading(*index).name;
  }
  if (roles.resistance && heading(roles.resistance).unit.empty()) read += " (ohm)";
  notes.push_back(read);
  std::vector<std::string> left;
  for (std::size_t k = 0; k < named; ++k) {
    if (!taken[k]) left.push_back(headings[k].name);
  }
  if (!left.empty()) notes.push_back("columns left: " + names_note(left));
  if (named < headings.size()) {
    notes.push_back("full-waveform samples left: " + std::to_string(headings.size() - named) +
                    " columns from " + headings[named].name + " on");
  }
  if (roles.deviation) {
    notes.push_back(
        heading(roles.deviation).name +
        (deviation_percent
             ? " taken by its magnitude as the stacking deviation and the relative error of R"
             : " taken by its magnitude as the standard deviation of R"));
  }
  if (negative > 0) {
    notes.push_back(std::to_string(negative) + " readings with a negative " +
                    heading(roles.deviation).name + ": taken by its magnitude");
  }
  notes.push_back(
      "electrode k at x = k - 1 m: the file numbers its electrodes but gives no positions; they "
      "must come from an electrode table (--electrodes FILE)");
  if (gaps > 0) {
    notes.push_back(std::to_string(gaps) +
                    " readings with values the instrument did not record (empty, nan or inf): "
                    "those values left out");
  }
  if (longer > 0 && named == headings.size()) {
    notes.push_back(
        std::to_string(longer) +
        " lines hold more fields than the header names: the fields past the header left");
  }
  if (truncated > 0) {
    notes.push_back(std::to_string(truncated) +
                    " truncated readings (fewer fields than the header names, or cut by the end of "
                    "the file) dropped, the first on line " +
                    std::to_string(first_truncated));
  }
  return survey;
}

}  // namespace quelby
