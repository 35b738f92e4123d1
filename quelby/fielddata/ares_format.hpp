// The ARES II 2-D data file (.2dm): a header of the instrument's settings, one
// "Name: value" a line (Method, Electrode distance, Pulse length, IP windows,
// ...), then "Measured data:", a row of column names with their units in
// brackets ("C1[el]", "I[mA]", "AppRes[Ohmm]", "IP1[%]") and one tab-separated
// line per reading.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no .2dm file (its first line a "Name: value"
// setting, and a "Device: ARES" line, "Method:" with "Electrode distance:", or
// "Measured data:" among the first lines); empty when it fits. Never stops.
std::string ares_mismatch(const FieldSource& source);

// Reads a .2dm file. C1 C2 P1 P2 are electrode numbers from 0 ([el]: electrode
// k at x = k * the electrode distance, `number` k + 1; a "*g" after a current
// electrode's number is noted) or positions ([m]); "-" marks a remote
// electrode. Columns read: I (mA), U (mV), AppRes (ohm-m), St-dev (the stacking
// deviation, %) and the IP windows IP1, IP2, ... ([%], [mV/V] or [ms]): the
// chargeability is their mean weighted by the windows' lengths of the "IP
// windows:" line (in ms their sum, over the windows' whole length). A reading
// with no current and no voltage, or with the instrument's message in place of
// its values, is marked invalid; a line shorter than the header is a truncated
// reading, dropped and counted. Stops naming the file and the line.
FieldSurvey read_ares_file(const Io& io, const FieldSource& source);

}  // namespace quelby
