#include "quelby/survey/data_lines.hpp"

#include <cstdint>
#include <string>

#include "quelby/base/blanks.hpp"
#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"

namespace quelby {
namespace {

constexpr std::size_t line_length = 500;

// The 0-based position of datum `grouped` among the file's data lines.
std::size_t file_position(const SurveyData& survey, std::size_t grouped) {
  if (!survey.has_file_order) return grouped;
  for (std::size_t j = 0; j < survey.sorted_pos.size(); ++j) {
    if (survey.grouped_position(j) == grouped) return j;
  }
  return grouped;
}

bool is_iptype(const LineBuffer& line) {
  return line.content().starts_with("IPTYPE=");
}

}  // namespace

std::size_t data_file_line(std::string_view file_name, const SurveyData& survey,
                           std::size_t grouped) {
  InputFile file;
  const std::string name(trim_trailing_blanks(file_name));
  if (name.empty() || !file.open(name)) return 0;
  LineBuffer line(line_length);
  std::int32_t number = 1;  // the header
  if (!next_line(file, line)) return 0;
  const auto fetch = [&] { return next_data_line(file, line, &number); };
  std::size_t wanted = file_position(survey, grouped);
  if (!survey.common_current) {
    // Every significant line after the header that is not an IPTYPE line holds a datum.
    while (fetch()) {
      if (is_iptype(line)) continue;
      if (wanted == 0) return static_cast<std::size_t>(number);
      --wanted;
    }
    return 0;
  }
  // The count of pairs, then per pair an optional IPTYPE line, its current line and its data.
  if (!fetch()) return 0;
  for (std::size_t pair = 0; pair < survey.ndat_cur.size(); ++pair) {
    if (!fetch()) return 0;
    if (is_iptype(line) && !fetch()) return 0;
    const std::int32_t count = survey.ndat_cur[pair];
    for (std::int32_t i = 0; i < count; ++i) {
      if (!fetch()) return 0;
      if (wanted == 0) return static_cast<std::size_t>(number);
      --wanted;
    }
  }
  return 0;
}

std::string datum_place(std::string_view file_name, const SurveyData& survey, std::size_t grouped,
                        bool from_file) {
  const std::string name(trim_trailing_blanks(file_name));
  if (const std::size_t line = from_file ? data_file_line(name, survey, grouped) : 0; line > 0) {
    return name + ", line " + std::to_string(line);
  }
  return "datum " + std::to_string(file_position(survey, grouped) + 1) + " of " +
         (name.empty() ? std::string("the survey") : name);
}

}  // namespace quelby
