// The export of the Electra resistivity meter (MoHo, .ele): "#" titles each followed by their
// value, the electrode positions after "#X Y Z", then a "#Meas. A B M N ..." table with a line of
// units in brackets; the layout with a Status column and the older one with the recorded waveform.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no Electra export; empty when its first 16 lines hold the
// "#Created by Electra Manager" title, or "#Original file" followed by an .electra name. Never
// throws.
std::string electra_mismatch(const FieldSource& source);

// Reads an Electra export: electrode k is the k-th position (0 the missing electrode of a pole),
// I(AB), V(MN), K/(2pi), rhoa and Status (D, N: invalid readings), and IP, Dev or Std where a file
// has them. Rows cut short are dropped and counted; "-" is a value the file does not give.
FieldSurvey read_electra_file(const Io& io, const FieldSource& source);

}  // namespace quelby
