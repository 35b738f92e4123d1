// Writing a survey's data as a data file in the general layout: a header line, then one line
// "A B M N value" per datum in the order of the survey file the store was read from, with IPTYPE
// lines where the data's IP types need them, so that read_data_file reads the same data back.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// A datum's value as written: the shortest exponent form that reads back to the same double, its
// mantissa padded with zeros to at least 8 significant digits ("-1.2345000E-03"); NaN and the
// infinities as "NaN", "Infinity" and "-Infinity".
std::string data_value_text(double value);

// Writes `survey`'s data with `values` (ndat values in grouped order, as the store holds its data)
// and, when `stds` is not empty, their standard deviations (ndat, grouped order) after them, to the
// file `name`: `header` as line 1 (a line break in it ends it there; a header that would
// read as "COMMON_CURRENT" is written with a leading "! "), then the data in file order (the
// general layout's sorted_pos; a store without it, such as the common-current layout's, is in file
// order already). Positions are x alone, in the shortest text that reads back to the same number.
// An "IPTYPE=t" line stands before the first datum and wherever the type changes, unless every
// datum is DC. Written atomically; a failure writes one line naming the file and the cause on the
// error stream and throws Stop. Linear in data.
void write_general_data(const Io& io, std::string_view name, std::string_view header,
                        const SurveyData& survey, std::span<const double> values,
                        std::span<const double> stds = {});

// Writes `survey`'s data in the common-current layout: COMMON_CURRENT, `header` as a "!" line,
// the number of pairs, then per current pair (an IPTYPE line where the data are not all DC) the
// current line and its data lines, in grouped order, with z after every x where the survey has z
// positions (read back with use_z). The data of one pair must share their IP type. Written
// atomically, as write_general_data. Linear in data.
void write_common_current_data(const Io& io, std::string_view name, std::string_view header,
                               const SurveyData& survey, std::span<const double> values,
                               std::span<const double> stds = {});

}  // namespace quelby
