// The readings two surveys of one line share (a monitoring line read again, with some readings
// lost or added): matched by their electrodes' positions, a reading whose current or potential
// electrodes were swapped matching with the opposite sign; and a survey of some of its readings.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// Pairs of matched readings, as 0-based grouped positions, ascending in the first survey's.
struct CommonReadings {
  std::vector<std::int32_t> first, second;
  // +1 or -1 per pair: sign * (the second's value) is the value in the first's polarity.
  std::vector<double> sign;
};

// Matches the readings of `first` and `second` by their electrodes: x positions, and z positions
// when both hold them. A and B swapped, or M and N swapped, match with sign -1 (both swapped: +1);
// a pole (A = B or M = N) has one polarity. A reading repeated k times in both matches in the
// order of the grouped positions. Surveys of which only one holds z positions write "Error: ...
// cannot be matched" naming both and throw Stop. O(n log n) in the data.
CommonReadings common_readings(const Io& io, const SurveyData& first, const SurveyData& second,
                               std::string_view first_name, std::string_view second_name);

// The survey of the readings `kept` (0-based grouped positions, ascending) of `survey`: its groups
// and flags, each group's kept data in their order, the groups left empty dropped, the file order
// of the kept data kept (sorted_pos renumbered) and the separation statistics recomputed. Values
// and deviations are copied when the survey holds them. Linear in the data.
SurveyData select_readings(const SurveyData& survey, std::span<const std::int32_t> kept);

}  // namespace quelby
