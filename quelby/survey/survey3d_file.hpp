// Reading the 3-D survey data file into Survey3D: line 1 `GENERAL_3D`, then one line per datum of
// the x, y and z of A, B, M and N, the observed value and (optionally) its standard deviation,
// with IPTYPE lines, comment lines and blank lines by the 2-D general layout's rules. The data stay
// in file order; the electrodes are collected in order of first appearance.
#pragma once

#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

// The first line of every 3-D survey data file.
inline constexpr std::string_view survey3d_header = "GENERAL_3D";

// Reads `name` (trailing blanks ignored) into `survey`, replacing what it held. `locations_only`:
// positions only (dobs and dstd stay empty). `dc_data`: DC data (IP type 0), else IP data (types 1
// and 2, 1 without an IPTYPE line). A current electrode at the place of a potential electrode is
// refused naming the line, but for the poles' B = A and N = M. Writes "3-D survey data were read
// from file: <name>" and the counts to the run log; any failure writes its message and throws Stop.
// Linear in the data (electrodes are found through a hash table).
void read_survey3d(const Io& io, std::string_view name, bool locations_only, Survey3D& survey,
                   bool dc_data = true);

}  // namespace quelby
