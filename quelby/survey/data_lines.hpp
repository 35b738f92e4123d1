// Where a datum of a survey stands in its data file: the line of the file it was read from, found
// by walking the file again by the layout's record rules, so that a message about a datum's value
// can name its file and line. Only ever called on a failure's path: the readers keep no line
// numbers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quelby/survey/survey_data.hpp"

namespace quelby {

// The 1-based line of `file_name` holding datum `grouped` (0-based, grouped order) of `survey`,
// which was read from that file; 0 when the file cannot be read or does not hold that many data
// (it changed since, or the survey did not come from it). Linear in the file.
std::size_t data_file_line(std::string_view file_name, const SurveyData& survey,
                           std::size_t grouped);

// How messages name datum `grouped` (0-based, grouped order): "<file>, line <n>" when the survey
// was read from `file_name` (`from_file`) and the line is found there, else "datum <j> of <name or
// 'the survey'>" with j its 1-based number in the order the data were given (file order).
std::string datum_place(std::string_view file_name, const SurveyData& survey, std::size_t grouped,
                        bool from_file = true);

}  // namespace quelby
