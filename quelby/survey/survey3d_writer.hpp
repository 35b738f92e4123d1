// Writing a 3-D survey as a 3-D survey data file: line 1 "GENERAL_3D", an optional comment line,
// then one line "xA yA zA xB yB zB xM yM zM xN yN zN value [std]" per datum in the store's order,
// with IPTYPE lines where the data's IP types need them; numbers in the shortest text that reads
// back to the same double.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

// The whole text write_survey3d writes (see there). Linear in data.
std::string survey3d_text(const Io& io, const Survey3D& survey, std::span<const double> values = {},
                          std::span<const double> stds = {}, std::string_view comment = {});

// Writes `survey` to the file `name`: its data with `values` (ndat, the store's order; empty: the
// store's dobs) and standard deviations `stds` (ndat; empty: the store's dstd unless std_missing,
// and no standard deviation column when there are none or every one is NaN). `comment`, unless
// empty, becomes line 2 ("! " before it unless it starts with "!" or "%"; a line break ends it).
// An "IPTYPE=t" line stands before the first datum and wherever the type changes, unless every
// datum is DC. Electrode numbers out of range, or values that do not match ndat, are an internal
// check failure. Written atomically; a failure writes one line naming the file and the cause on
// the error stream and throws Stop. Linear in data.
void write_survey3d(const Io& io, std::string_view name, const Survey3D& survey,
                    std::span<const double> values = {}, std::span<const double> stds = {},
                    std::string_view comment = {});

}  // namespace quelby
