#include "quelby/survey/data_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr int minimum_significant_digits = 8;

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
  const std::size_t ndat = survey.ndat > 0 ? static_cast<std::size_t>(survey.ndat) : 0;
  if (values.size() != ndat || survey.xm.size() != ndat || survey.idat_idx.size() < 2 ||
      (!stds.empty() && stds.size() != ndat)) {
    internal_check_failed(io, "write_general_data: the values do not match the survey");
  }
  if (survey.has_file_order && survey.sorted_pos.size() != ndat) {
    internal_check_failed(io, "write_general_data: sorted_pos does not hold ndat values");
  }

  // The current pair of every datum, in grouped order.
  std::vector<std::size_t> pair_of(ndat);
  for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
    for (std::size_t i = survey.data_begin(k); i < survey.data_begin(k + 1); ++i) pair_of[i] = k;
  }
  bool all_dc = true;
  for (const std::int32_t type : survey.iptype) all_dc = all_dc && type == 0;

  std::string text;
  text.reserve(ndat * 64 + header.size() + 8);
  std::string_view first_line = header.substr(0, header.find_first_of("\r\n"));
  if (trim_trailing_blanks(first_line) == "COMMON_CURRENT") text += "! ";
  text += first_line;
  text += '\n';
  std::int32_t type_in_force = -1;
  for (std::size_t line = 0; line < ndat; ++line) {
    const std::size_t datum = survey.has_file_order ? survey.grouped_position(line) : line;
    const std::int32_t type = survey.iptype.empty() ? 0 : survey.iptype[datum];
    if (!all_dc && type != type_in_force) {
      text += "IPTYPE=";
      text += std::to_string(type);
      text += '\n';
      type_in_force = type;
    }
    const std::size_t pair = pair_of[datum];
    for (const double position :
         {survey.xa_cur[pair], survey.xb_cur[pair], survey.xm[datum], survey.xn[datum]}) {
      text += shortest(position);
      text += ' ';
    }
    text += data_value_text(values[datum]);
    if (!stds.empty()) {
      text += ' ';
      text += data_value_text(stds[datum]);
    }
    text += '\n';
  }

  write_whole_file(io, name, "data file", text);
}

void write_common_current_data(const Io& io, std::string_view name, std::string_view header,
                               const SurveyData& survey, std::span<const double> values,
                               std::span<const double> stds) {
  const std::size_t ndat = survey.ndat > 0 ? static_cast<std::size_t>(survey.ndat) : 0;
  const std::size_t ncur = survey.ncur > 0 ? static_cast<std::size_t>(survey.ncur) : 0;
  if (values.size() != ndat || survey.xm.size() != ndat || survey.idat_idx.size() != ncur + 1 ||
      (!stds.empty() && stds.size() != ndat) ||
      (survey.has_z && (survey.zm.size() != ndat || survey.za_cur.size() != ncur))) {
    internal_check_failed(io, "write_common_current_data: the values do not match the survey");
  }
  bool all_dc = true;
  for (const std::int32_t type : survey.iptype) all_dc = all_dc && type == 0;
  const auto position = [&](double x, const std::vector<double>& z, std::size_t at) {
    std::string text = shortest(x);
    if (survey.has_z) {
      text += ' ';
      text += shortest(z[at]);
    }
    return text;
  };
  std::string text = "COMMON_CURRENT\n";
  if (!header.empty()) {
    text += "! ";
    text += header.substr(0, header.find_first_of("\r\n"));
    text += '\n';
  }
  text += std::to_string(ncur) + '\n';
  for (std::size_t pair = 0; pair < ncur; ++pair) {
    const std::size_t begin = survey.data_begin(pair), end = survey.data_begin(pair + 1);
    if (!all_dc && end > begin) {
      text += "IPTYPE=" + std::to_string(survey.iptype[begin]) + '\n';
    }
    text += position(survey.xa_cur[pair], survey.za_cur, pair) + ' ' +
            position(survey.xb_cur[pair], survey.zb_cur, pair) + ' ' + std::to_string(end - begin) +
            '\n';
    for (std::size_t datum = begin; datum < end; ++datum) {
      text += position(survey.xm[datum], survey.zm, datum) + ' ' +
              position(survey.xn[datum], survey.zn, datum) + ' ' + data_value_text(values[datum]);
      if (!stds.empty()) {
        text += ' ';
        text += data_value_text(stds[datum]);
      }
      text += '\n';
    }
  }
  write_whole_file(io, name, "data file", text);
}

}  // namespace quelby
