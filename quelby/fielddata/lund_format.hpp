// The data file of the ABEM Lund imaging system (.ohm, .OHM): a title line, the first station
// coordinate, the date and program version, the electrode take-out spacing, the number of protocol
// files and per protocol its name and array code; then per station and protocol a block: the
// protocol file (.ORG, .UP, .DWN), the number of data with the type of their value (0 apparent
// resistivity, 1 resistance), the station coordinate, the date, and per datum the positions of A,
// B, M and N, the value, its variation coefficient (%) and two counts.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no Lund file ("line 3 holds no date and time"); empty when lines 2
// to 5 hold a station coordinate, a date and time, a take-out spacing and a protocol count. Reads
// the first lines only; never stops.
std::string lund_mismatch(const FieldSource& source);

// Reads the whole file. Positions are metres along the line from each block's station coordinate;
// with array code 12 (tomography) they are electrode numbers, electrode k placed at x = (k - 1)
// times the take-out spacing (an electrode table places them otherwise). A position of 1e38 or more
// (0 for a number) is a remote electrode: absent. The variation coefficient is read as the stacking
// deviation. A last datum cut short is dropped and noted; every other failure stops with the file's
// name and the line.
FieldSurvey read_lund_file(const Io& io, const FieldSource& source);

}  // namespace quelby
