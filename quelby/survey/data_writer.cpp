#include "quelby/survey/data_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr int minimum_significant_digits = 8;

// What both layouts need of the store: the values checked against it, the current pair of every
// datum (grouped order), the grouped position of every line of the file, and whether every datum
// is DC (no IPTYPE lines then).
struct WrittenData {
  std::vector<std::size_t> pair_of;
  std::vector<std::size_t> datum_of_line;
  bool all_dc = true;
};

WrittenData prepare(const Io& io, const char* writer, const SurveyData& survey,
                    std::span<const double> values, std::span<const double> stds) {
  const std::size_t ndat = survey.ndat > 0 ? static_cast<std::size_t>(survey.ndat) : 0;
  if (values.size() != ndat || survey.xm.size() != ndat || survey.idat_idx.size() < 2 ||
      (!stds.empty() && stds.size() != ndat)) {
    internal_check_failed(io, std::string(writer) + ": the values do not match the survey");
  }
  if (survey.has_file_order && survey.sorted_pos.size() != ndat) {
    internal_check_failed(io, std::string(writer) + ": sorted_pos does not hold ndat values");
  }
  WrittenData written;
  written.pair_of.resize(ndat);
  for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
    for (std::size_t i = survey.data_begin(k); i < survey.data_begin(k + 1); ++i) {
      written.pair_of[i] = k;
    }
  }
  written.datum_of_line.resize(ndat);
  for (std::size_t line = 0; line < ndat; ++line) {
    written.datum_of_line[line] = survey.has_file_order ? survey.grouped_position(line) : line;
  }
  for (const std::int32_t type : survey.iptype) written.all_dc = written.all_dc && type == 0;
  return written;
}

void append_value(std::string& text, std::span<const double> values, std::span<const double> stds,
                  std::size_t datum) {
  text += data_value_text(values[datum]);
  if (!stds.empty()) {
    text += ' ';
    text += data_value_text(stds[datum]);
  }
  text += '\n';
}

void append_positions(std::string& text, std::initializer_list<double> positions) {
  for (const double position : positions) {
    text += shortest(position);
    text += ' ';
  }
}

}  // namespace

std::string data_value_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char text[48];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  const std::string_view written(text, static_cast<std::size_t>(result.ptr - text));
  const std::size_t letter = written.find('e');
  std::string mantissa(written.substr(0, letter));
  const std::size_t sign = mantissa.starts_with('-') ? 1 : 0;
  std::size_t digits = mantissa.size() - sign;
  if (mantissa.find('.') == std::string::npos) {
    mantissa += '.';
  } else {
    --digits;
  }
  // Zeros after the last digit change neither the value nor its reading.
  for (; digits < minimum_significant_digits; ++digits) mantissa += '0';
  mantissa += 'E';
  mantissa += written.substr(letter + 1);
  return mantissa;
}

void write_general_data(const Io& io, std::string_view name, std::string_view header,
                        const SurveyData& survey, std::span<const double> values,
                        std::span<const double> stds) {
  const WrittenData written = prepare(io, "write_general_data", survey, values, stds);
  const std::size_t ndat = written.pair_of.size();
  std::string text;
  text.reserve(ndat * 64 + header.size() + 8);
  std::string_view first_line = header.substr(0, header.find_first_of("\r\n"));
  if (trim_trailing_blanks(first_line) == "COMMON_CURRENT") text += "! ";
  text += first_line;
  text += '\n';
  std::int32_t type_in_force = -1;
  for (std::size_t line = 0; line < ndat; ++line) {
    const std::size_t datum = written.datum_of_line[line];
    const std::int32_t type = survey.iptype.empty() ? 0 : survey.iptype[datum];
    if (!written.all_dc && type != type_in_force) {
      text += "IPTYPE=";
      text += std::to_string(type);
      text += '\n';
      type_in_force = type;
    }
    const std::size_t pair = written.pair_of[datum];
    append_positions(
        text, {survey.xa_cur[pair], survey.xb_cur[pair], survey.xm[datum], survey.xn[datum]});
    append_value(text, values, stds, datum);
  }
  write_whole_file(io, name, "data file", text);
}

void write_data_file(const Io& io, std::string_view name, std::string_view header,
                     const SurveyData& survey, std::span<const double> values,
                     std::span<const double> stds) {
  if (!survey.has_z) {
    write_general_data(io, name, header, survey, values, stds);
    return;
  }
  const WrittenData written = prepare(io, "write_data_file", survey, values, stds);
  const std::size_t ndat = written.pair_of.size();
  if (survey.za_cur.size() != static_cast<std::size_t>(survey.ncur) || survey.zm.size() != ndat ||
      survey.zn.size() != ndat) {
    internal_check_failed(io, "write_data_file: the z positions do not match the survey");
  }
  const auto type_of = [&](std::size_t datum) {
    return survey.iptype.empty() ? 0 : survey.iptype[datum];
  };
  // A current line stands before every run of lines of one pair and one IP type: the reader keeps
  // the file's order, so the data read back are in this order too.
  std::vector<std::size_t> run_starts;
  for (std::size_t line = 0; line < ndat; ++line) {
    const std::size_t datum = written.datum_of_line[line];
    if (line == 0) {
      run_starts.push_back(line);
      continue;
    }
    const std::size_t before = written.datum_of_line[line - 1];
    if (written.pair_of[datum] != written.pair_of[before] || type_of(datum) != type_of(before)) {
      run_starts.push_back(line);
    }
  }
  run_starts.push_back(ndat);

  std::string text = "COMMON_CURRENT\n";
  text.reserve(ndat * 96 + header.size() + 32);
  const std::string_view first_line =
      trim_trailing_blanks(header.substr(0, header.find_first_of("\r\n")));
  if (!first_line.empty()) {
    if (!first_line.starts_with('!') && !first_line.starts_with('%')) text += "! ";
    text += first_line;
    text += '\n';
  }
  text += std::to_string(run_starts.size() - 1);
  text += '\n';
  std::int32_t type_in_force = -1;
  for (std::size_t r = 0; r + 1 < run_starts.size(); ++r) {
    const std::size_t first = written.datum_of_line[run_starts[r]];
    const std::size_t pair = written.pair_of[first];
    if (!written.all_dc && type_of(first) != type_in_force) {
      type_in_force = type_of(first);
      text += "IPTYPE=";
      text += std::to_string(type_in_force);
      text += '\n';
    }
    append_positions(
        text, {survey.xa_cur[pair], survey.za_cur[pair], survey.xb_cur[pair], survey.zb_cur[pair]});
    text += std::to_string(run_starts[r + 1] - run_starts[r]);
    text += '\n';
    for (std::size_t line = run_starts[r]; line < run_starts[r + 1]; ++line) {
      const std::size_t datum = written.datum_of_line[line];
      append_positions(text,
                       {survey.xm[datum], survey.zm[datum], survey.xn[datum], survey.zn[datum]});
      append_value(text, values, stds, datum);
    }
  }
  write_whole_file(io, name, "data file", text);
}


}  // namespace quelby
