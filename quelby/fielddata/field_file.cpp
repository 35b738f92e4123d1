#include "quelby/fielddata/field_file.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/fielddata/ares_format.hpp"
#include "quelby/fielddata/das1_format.hpp"
#include "quelby/fielddata/dat2d_format.hpp"
#include "quelby/fielddata/electra_format.hpp"
#include "quelby/fielddata/field_lines.hpp"
#include "quelby/fielddata/instrument_formats.hpp"
#include "quelby/fielddata/instrument_table.hpp"
#include "quelby/fielddata/lippmann_format.hpp"
#include "quelby/fielddata/lund_format.hpp"
#include "quelby/fielddata/ohmpi_format.hpp"
#include "quelby/fielddata/prime_format.hpp"
#include "quelby/fielddata/sting_format.hpp"
#include "quelby/fielddata/syscal_binary_format.hpp"
#include "quelby/fielddata/unified_format.hpp"

namespace quelby {

namespace {

bool leading_integers(std::string_view line, std::size_t count) {
  const auto fields = split_fields(line, ' ');
  if (fields.size() < count) return false;
  for (std::size_t k = 0; k < count; ++k) {
    std::int32_t value = 0;
    if (!field_integer(fields[k], value)) return false;
  }
  return true;
}

// The lines with text (after cutting `comment`, when given) among `lines`, with their 1-based
// numbers.
std::vector<std::pair<std::size_t, std::string_view>> text_lines(
    const std::vector<std::string>& lines, char comment) {
  std::vector<std::pair<std::size_t, std::string_view>> result;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::string_view text = lines[k];
    if (comment != '\0') text = cut_comment(text, comment);
    if (!trim_blanks(text).empty()) result.push_back({k + 1, trim_blanks(text)});
  }
  return result;
}

bool has_key(const std::vector<TableColumn>& columns, std::string_view key,
             std::string_view unit = "*") {
  for (const TableColumn& column : columns) {
    if (column.key == key && (unit == "*" || column.unit == unit)) return true;
  }
  return false;
}

// Why the first lines are not a file of `format`; empty when they fit its signature.
std::string signature_mismatch(FieldFormat format, const std::vector<std::string>& lines) {
  if (lines.empty()) return "the file is empty";
  switch (format) {
    case FieldFormat::unified: {
      const auto text = text_lines(lines, '#');
      if (text.empty()) return "no line with values";
      if (!leading_integers(text[0].second, 1)) {
        return "line " + std::to_string(text[0].first) + " holds no electrode count";
      }
      if (text.size() > 1 && leading_integers(text[1].second, 5)) {
        return "line " + std::to_string(text[1].first) +
               " holds five whole numbers, not a position";
      }
      return {};
    }
    case FieldFormat::syscal:
    case FieldFormat::terrameter: {
      const auto text = text_lines(lines, '\0');
      if (text.empty()) return "no header line";
      const auto columns = table_columns(text[0].second);
      if (format == FieldFormat::syscal) {
        if (!(has_key(columns, "spa.1") || has_key(columns, "xa")) ||
            !(has_key(columns, "rho") || has_key(columns, "vp") || has_key(columns, "vmn"))) {
          return "line " + std::to_string(text[0].first) +
                 " is no header with Spa.1 (or xA) and Rho (or Vp, VMN)";
        }
        return {};
      }
      if (!has_key(columns, "a", "x") || !has_key(columns, "m", "x")) {
        return "line " + std::to_string(text[0].first) + " is no header with A(x) and M(x)";
      }
      return {};
    }
    case FieldFormat::protocol: {
      const auto text = text_lines(lines, '\0');
      if (text.empty() || !leading_integers(text[0].second, 1) ||
          split_fields(text[0].second, ' ').size() != 1) {
        return "line 1 holds no measurement count alone";
      }
      if (text.size() > 1 && !leading_integers(text[1].second, 5)) {
        return "line " + std::to_string(text[1].first) + " does not start with five whole numbers";
      }
      return {};
    }
    default:
      return "unknown format";
  }
  return "unknown format";
}

// Why `source` is not a file of `format` (`lines` its first lines); empty when it fits.
std::string mismatch_of(FieldFormat format, const FieldSource& source,
                        const std::vector<std::string>& lines) {
  switch (format) {
    case FieldFormat::syscal_binary:
      return syscal_binary_mismatch(source);
    case FieldFormat::terrameter: {
      // The header may follow a block of the instrument's settings.
      std::ostringstream console, error, log;
      const Io quiet{console, error, log};
      FieldLines all(quiet, source);
      std::string_view line;
      try {
        for (std::size_t k = 0; k < 1000 && all.next(line); ++k) {
          if (names_column(line, "a", "x") && names_column(line, "m", "x")) return {};
        }
      } catch (const Stop&) {
        // A line too long for any header.
      }
      return "no line among the first 1000 is a header with A(x) and M(x)";
    }
    case FieldFormat::prime:
      return prime_mismatch(source);
    case FieldFormat::ohmpi:
      return ohmpi_mismatch(source);
    case FieldFormat::dat2d:
      return dat2d_mismatch(source);
    case FieldFormat::sting:
      return sting_mismatch(source);
    case FieldFormat::lund:
      return lund_mismatch(source);
    case FieldFormat::lippmann:
      return lippmann_mismatch(source);
    case FieldFormat::ares:
      return ares_mismatch(source);
    case FieldFormat::das1:
      return das1_mismatch(source);
    case FieldFormat::electra:
      return electra_mismatch(source);
    default:
      return signature_mismatch(format, lines);
  }
}

// The first line of a stop's message text without its leading empty line and "Error ..."
// prefix up to the file's name: what the reader found.
std::string reason_of(const std::string& message, const std::string& name) {
  std::string text = message;
  while (!text.empty() && (text.front() == '\n')) text.erase(0, 1);
  const std::size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  const std::size_t at = text.find(name);
  if (at != std::string::npos) {
    text.erase(0, at + name.size());
    while (!text.empty() && (text.front() == ',' || text.front() == ':' || text.front() == ' ')) {
      text.erase(0, 1);
    }
  }
  return text;
}

}  // namespace

FieldSurvey read_field_file_as(const Io& io, const FieldSource& source, FieldFormat format,
                               double spacing, const std::vector<std::string>& columns) {
  switch (format) {
    case FieldFormat::unified:
      return read_unified_file(io, source);
    case FieldFormat::dat2d:
      return read_dat2d_file(io, source);
    case FieldFormat::syscal:
      return read_syscal_file(io, source);
    case FieldFormat::terrameter:
      return read_terrameter_file(io, source);
    case FieldFormat::protocol:
      return read_protocol_file(io, source, spacing, columns);
    case FieldFormat::syscal_binary:
      return read_syscal_binary_file(io, source);
    case FieldFormat::prime:
      return read_prime_file(io, source);
    case FieldFormat::ohmpi:
      return read_ohmpi_file(io, source);
    case FieldFormat::sting:
      return read_sting_file(io, source);
    case FieldFormat::lund:
      return read_lund_file(io, source);
    case FieldFormat::lippmann:
      return read_lippmann_file(io, source);
    case FieldFormat::ares:
      return read_ares_file(io, source);
    case FieldFormat::das1:
      return read_das1_file(io, source);
    case FieldFormat::electra:
      return read_electra_file(io, source);
  }
  return read_unified_file(io, source);
}

FieldSurvey read_field_file_as(const Io& io, std::string_view name, FieldFormat format,
                               double spacing) {
  return read_field_file_as(io, read_field_source(io, name), format, spacing);
}

FieldSurvey read_field_file(const Io& io, std::string_view name, std::optional<FieldFormat> format,
                            double spacing) {
  return read_field_file(io, read_field_source(io, name), format, spacing);
}

FieldSurvey read_field_file(const Io& io, const FieldSource& source,
                            std::optional<FieldFormat> format, double spacing,
                            const std::vector<std::string>& columns) {
  const std::string& file = source.name;
  if (format) {
    FieldSurvey survey = read_field_file_as(io, source, *format, spacing, columns);
    survey.notes.insert(survey.notes.begin(), "format: " + std::string(format_title(*format)) +
                                                  " (given by --format " +
                                                  std::string(format_name(*format)) + ")");
    return survey;
  }
  std::vector<std::string> lines;
  for (const std::string_view line : first_lines(source.bytes, 12, FieldLines::longest_line)) {
    lines.emplace_back(line);
  }
  std::vector<std::string> reasons;
  for (const FieldFormat candidate : all_field_formats) {
    std::string mismatch = mismatch_of(candidate, source, lines);
    if (mismatch.empty()) {
      // Read quietly: a failure here is one reason among others.
      std::ostringstream console, error, log;
      const Io quiet{console, error, log};
      try {
        FieldSurvey survey = read_field_file_as(quiet, source, candidate, spacing, columns);
        survey.notes.insert(
            survey.notes.begin(),
            "format: " + std::string(format_title(candidate)) + " (told from the file's content)");
        return survey;
      } catch (const Stop&) {
        mismatch = reason_of(console.str(), file);
      }
    }
    reasons.push_back("  " + std::string(format_name(candidate)) + ": " + mismatch);
  }
  std::string text = "\nError: the format of " + file + " is not recognised:\n";
  for (const std::string& reason : reasons) text += reason + '\n';
  text += "Give --format with one of";
  for (const FieldFormat candidate : all_field_formats) {
    text += (candidate == all_field_formats.front() ? " " : ", ");
    text += format_name(candidate);
  }
  text += ".\n";
  stop_with(io, Order::console_then_log, text, exit_failure,
            line_detail(file, 0, "no import format reads it"));
}

}  // namespace quelby
