// The 2-D .dat format with array codes that the commercial 2-D inversion programs read: a title,
// the unit electrode spacing, the array code (dat2d_arrays.hpp), the header of a data block (remote
// electrodes, the type of measurement, the number of data, the x-location type, the IP block, the
// error block), its data lines, then topography, global coordinates, further data blocks and the
// zeros that end the file. Values are separated by blanks, tabs or commas, or written with decimal
// commas and separated by blanks and tabs.
#pragma once

#include <string>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is not a .dat file: "line 2 holds no electrode spacing" or "line 3
// holds no array code"; empty when it fits. Looks at the first lines only; never stops.
std::string dat2d_mismatch(const FieldSource& source);

// Reads `source` whole. Index arrays: x the leftmost electrode (x-location type 0) or the middle of
// the array (1); a remote-electrode block ("Remote electrodes included", then each remote
// electrode's label and x, y, z) is noted, the remote electrodes absent from the readings. General
// array lines: 2, 3 or 4, then x z of C1 [C2] P1 [P2]. A data line ends with its value (apparent
// resistivity, or resistance after a "Type of measurement" flag 1), its error where an error block
// says so, and its IP value(s) where the IP block ("Chargeability" or another quantity, the unit,
// the delay and integration time in s) says so. Topography type 1 gives horizontal x, type 2
// distances along the ground: x is kept as the file records it and the survey marked
// x_along_ground. Every block after the data is read or noted with its line; a truncated last data
// line is dropped with a note. A line that cannot be read stops with its line number and what was
// expected.
FieldSurvey read_dat2d_file(const Io& io, std::string_view name);
FieldSurvey read_dat2d_file(const Io& io, const FieldSource& source);

}  // namespace quelby
