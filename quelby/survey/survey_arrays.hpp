// A survey store from arrays, for a program that computed its survey rather than read it: the data
// grouped by current pair in the order the pairs first appear, each pair's data in the given
// order, with the given order kept as the file order (sorted_pos), as the general layout keeps it.
#pragma once

#include <cstdint>
#include <span>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// Per datum, in the caller's order (0-based). z, values, standard deviations and IP types may be
// empty (no z positions; positions only; no standard deviations; every datum DC).
struct SurveyArrays {
  std::span<const double> a, b, m, n;
  std::span<const double> za, zb, zm, zn;
  std::span<const double> values, stds;
  std::span<const std::int32_t> iptype;
};

// Replaces what `data` held. Sizes that differ from a's, no datum, a position that is not finite,
// a standard deviation that is not positive or an IP type outside 0..2 write "Error: survey
// arrays: <what>" to the console, then the run log, and throw Stop. O(ndat log ndat).
void survey_from_arrays(const Io& io, const SurveyArrays& arrays, SurveyData& data);

}  // namespace quelby
