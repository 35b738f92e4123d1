// The Lippmann 4-Point Light data file (.tx0): sections that each open with a
// line "* Title ****"; "Electrode positions" lists "* Electrode [k] x y z (m) =
// x y z", and "Data" holds a header row of column names ("* num A B M N I U dU
// ... rho phi f ..."), a row of their units under them and one line per reading
// with the electrode numbers of A, B, M and N ("-" for a remote electrode).
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no .tx0 file (its first line a "* Data file"
// line, or a section line "* Title ****" among the first lines); empty when it
// fits. Never stops.
std::string lippmann_mismatch(const FieldSource& source);

// Reads a .tx0 file. Electrodes are placed from the electrode table (x, y, z as
// elevation, `number` k). Columns read: A B M N, I (mA), U (mV), dU (the
// stacking deviation, %), rho (ohm-m) and phi (the phase, mrad), each in the
// unit its units row gives; every other column, the averaged data and the
// contact resistances are noted and left. A reading line shorter than the
// header is a truncated reading: dropped and counted. Stops naming the file and
// the line.
FieldSurvey read_lippmann_file(const Io& io, const FieldSource& source);

}  // namespace quelby
