// Writing a survey's data as a data file in the general layout: a header line, then one line
// "A B M N value" per datum in the order of the survey file the store was read from, with IPTYPE
// lines where the data's IP types need them, so that read_data_file reads the same data back; and
// in the common-current layout with z positions for a survey of buried electrodes, which the
// general layout cannot hold.
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

// Writes the data as write_general_data does, in the layout that keeps every position the store
// holds: the general layout without z positions; with them (has_z) the common-current layout read
// with use_z: "COMMON_CURRENT", `header` as a comment line ("! " before it unless it starts with
// "!" or "%"; none when it is empty), the number of current lines, then per run of data of one
// current pair and one IP type in file order an IPTYPE line where the type changes (none when
// every datum is DC), the current line "xA zA xB zB count" and the data lines
// "xM zM xN zN value [std]". Read back with use_z it gives the same positions, values and order.
// Linear in data.
void write_data_file(const Io& io, std::string_view name, std::string_view header,
                     const SurveyData& survey, std::span<const double> values,
                     std::span<const double> stds = {});

}  // namespace quelby
