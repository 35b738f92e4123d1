// The unified data format of the ERT community (.ohm, .dat, .shm): the electrode count and one
// line of positions per electrode (x; x z; or x y z with y = 0, as a "# x z" token line says),
// the data count, a "# a b m n ..." token line naming the columns (units after a slash), one line
// per datum with 1-based electrode numbers (0 for the missing electrode of a pole), optionally a
// topography count and its points; "#" starts a comment anywhere.
#pragma once

#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Reads `name`. Columns: a b m n (also c1 c2 p1 p2); rhoa (rho_a, ra) in ohm-m; r (rho, z) in
// ohms; u (v) in V, mV or uV; i in A, mA or uA; k in m; err (error, std) relative (unit 1, the
// default), in % or absolute in Ohm; ip in mrad (the default), mV/V, %, ms or another unit kept
// as it is; iperr in the unit of ip; valid (0 marks a datum invalid); other columns are noted and
// not read. Without a token line the columns are a b m n rhoa err. A line that cannot be read
// stops with its line number and what was expected. Linear in the file.
FieldSurvey read_unified_file(const Io& io, std::string_view name);
FieldSurvey read_unified_file(const Io& io, const FieldSource& source);

}  // namespace quelby
