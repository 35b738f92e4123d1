#include "quelby/survey/survey3d_writer.hpp"

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

// The shortest text that reads back to `value`; NaN and the infinities as the readers spell them.
void append_number(std::string& text, double value) {
  if (std::isnan(value)) {
    text += "NaN";
    return;
  }
  if (std::isinf(value)) {
    text += value > 0 ? "Infinity" : "-Infinity";
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  text.append(buffer, result.ptr);
}

void append_electrode(std::string& text, const ElectrodePosition& position) {
  append_number(text, position.x);
  text += ' ';
  append_number(text, position.y);
  text += ' ';
  append_number(text, position.z);
  text += ' ';
}

}  // namespace

std::string survey3d_text(const Io& io, const Survey3D& survey, std::span<const double> values,
                          std::span<const double> stds, std::string_view comment) {
  const std::size_t ndat = survey.ndat > 0 ? static_cast<std::size_t>(survey.ndat) : 0;
  if (values.empty()) values = survey.dobs;
  if (stds.empty() && !survey.std_missing) stds = survey.dstd;
  bool any_std = false;
  for (const double value : stds) any_std = any_std || !std::isnan(value);
  if (!any_std) stds = {};
  const std::size_t electrodes = survey.electrodes.size();
  const auto in_range = [&](const std::vector<std::int32_t>& numbers) {
    if (numbers.size() != ndat) return false;
    for (const std::int32_t number : numbers) {
      if (number < 0 || static_cast<std::size_t>(number) >= electrodes) return false;
    }
    return true;
  };
  if (values.size() != ndat || (!stds.empty() && stds.size() != ndat) || !in_range(survey.a) ||
      !in_range(survey.b) || !in_range(survey.m) || !in_range(survey.n) ||
      (!survey.iptype.empty() && survey.iptype.size() != ndat)) {
    internal_check_failed(io, "write_survey3d: the values or electrodes do not match the survey");
  }
  bool all_dc = true;
  for (const std::int32_t type : survey.iptype) all_dc = all_dc && type == 0;
  std::string text = "GENERAL_3D\n";
  if (!comment.empty()) {
    comment = comment.substr(0, comment.find_first_of("\r\n"));
    if (comment.front() != '!' && comment.front() != '%') text += "! ";
    text += comment;
    text += '\n';
  }
  text.reserve(text.size() + ndat * 120);
  std::int32_t type_written = -1;
  for (std::size_t datum = 0; datum < ndat; ++datum) {
    const std::int32_t type = survey.iptype.empty() ? 0 : survey.iptype[datum];
    if (!all_dc && type != type_written) {
      text += "IPTYPE=";
      text += std::to_string(type);
      text += '\n';
      type_written = type;
    }
    for (const auto* numbers : {&survey.a, &survey.b, &survey.m, &survey.n}) {
      append_electrode(text, survey.electrodes[static_cast<std::size_t>((*numbers)[datum])]);
    }
    append_number(text, values[datum]);
    if (!stds.empty()) {
      text += ' ';
      append_number(text, stds[datum]);
    }
    text += '\n';
  }
  return text;
}

void write_survey3d(const Io& io, std::string_view name, const Survey3D& survey,
                    std::span<const double> values, std::span<const double> stds,
                    std::string_view comment) {
  const std::string text = survey3d_text(io, survey, values, stds, comment);
  write_whole_file(io, name, "survey file", text);
}

}  // namespace quelby
