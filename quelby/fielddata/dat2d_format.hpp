// The 2-D .dat format with array codes that the commercial 2-D inversion programs read: a title,
// the unit electrode spacing, the array code (1 Wenner, 2 pole-pole, 3 dipole-dipole, 4 Wenner
// beta, 5 Wenner gamma, 6 pole-dipole, 7 Wenner-Schlumberger: one line per datum of x, a, [n,]
// value; 11 the general array with its sub-type: one line per datum of the electrode count and
// the x and z of each electrode), whether the values are apparent resistivities or resistances,
// an optional IP block and an optional topography block after the data.
#pragma once

#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Reads `name`. Index arrays: x is the leftmost electrode (x-location type 0) or the array's
// midpoint (type 1); a and x in metres; n negative for the reverse pole-dipole. Electrodes, left
// to right: Wenner C1 P1 P2 C2; pole-pole C1 P1; dipole-dipole C2 C1 P1 P2 (n a between C1 and
// P1); Wenner beta C2 C1 P1 P2; Wenner gamma C1 P1 C2 P2; pole-dipole C1 P1 P2 (reverse P2 P1 C1);
// Wenner-Schlumberger C1 P1 P2 C2 (n a between C1 and P1). General array lines: 2, 3 or 4, then x
// z of C1 [C2] P1 [P2] (C1 P1 / C1 P1 P2 / C1 C2 P1 P2). The IP block: "Chargeability" (any
// word), the unit (mV/V, msec, %, mrad, ...), then the delay and integration time in s; every data
// line then ends with its IP value. The topography block: 1 (x true horizontal) or 2 (x along the
// ground surface), the point count, the points (x, elevation), the number of the first electrode.
// A line that cannot be read stops with its line number and what was expected.
FieldSurvey read_dat2d_file(const Io& io, std::string_view name);
FieldSurvey read_dat2d_file(const Io& io, const FieldSource& source);

}  // namespace quelby
