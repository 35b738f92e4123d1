// The reader of the OhmPi resistivity meter's CSV files: a header line of named columns with the
// unit in brackets ("Vmn [mV]", "r_[Ohm]"), then one comma-separated line per reading. The names of
// every OhmPi version are read; full-waveform columns (i0 u0 t0 ...) and the instrument's other
// columns are listed in the notes and left.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no OhmPi file ("line 1 is no comma-separated header with ...");
// empty when its first line with text names the columns A, B, M, N (without a unit) and R, or Vmn
// and I. Never stops, never throws.
std::string ohmpi_mismatch(const FieldSource& source);

// Reads an OhmPi file: electrode numbers A B M N (plain or in brackets, "[4]"), R (ohm) as R [ohm],
// R [Ohm] or r_[Ohm]; its standard deviation R_std [%], r_std_[%] or R std (%) (taken by its
// magnitude as the stacking deviation and the relative error); Vmn [mV] or vmn_[mV]; I [mA] or
// iab_[mA]. Every failure names the file and the line and throws Stop.
FieldSurvey read_ohmpi_file(const Io& io, const FieldSource& source);

}  // namespace quelby
