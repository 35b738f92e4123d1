// Writing survey data in the general layout: a header line, then one line per datum with the x of
// A, B, M and N, a value and its standard deviation, in the order of the file the survey was read
// from (the grouped order for a survey without a file order), with IPTYPE lines where the IP type
// changes. The data-file reader reads such a file back to the same survey and values.
#pragma once

#include <span>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// Writes `values` and `stds` (ndat each, the survey's grouped order) with the positions of `survey`
// to the file `name`: positions in the shortest text that reads back to the same number, values
// and standard deviations in exponent form with 10 significant digits. IP data (any IP type not 0)
// start from type 1, as the reader does for IP data. Written atomically; a failure writes one line
// naming the file and the cause on the error stream and throws Stop. Linear in ndat.
void write_general_data(const Io& io, std::string_view name, const SurveyData& survey,
                        std::span<const double> values, std::span<const double> stds);

}  // namespace quelby
