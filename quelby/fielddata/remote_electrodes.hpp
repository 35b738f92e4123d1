// Remote electrodes of a field file: those set so far apart from the line that the survey file
// writes them as poles. The rule, on the sorted distinct positions: they split into clusters
// wherever a gap exceeds 10 times the median gap; the cluster of most electrodes is the line, and a
// cluster of at most 4 electrodes farther from it than 5 times its length is remote (a line of
// fewer than 4 electrodes has none).
#pragma once

#include <vector>

#include "quelby/fielddata/field_readings.hpp"

namespace quelby {

// The x of the remote electrodes among the present electrodes of `survey` (non-finite positions
// left out), increasing. O(electrodes log electrodes).
std::vector<double> remote_positions(const FieldSurvey& survey);

}  // namespace quelby
