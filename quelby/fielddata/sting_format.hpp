// The AGI SuperSting data file (.stg): an optional header naming the instrument, the record count
// and the length unit, then one comma-separated record per reading: record number, user, date,
// time, V/I (ohm), its error in tenths of a percent, current (mA), apparent resistivity, command
// file, the x, y, z of A, B, M and N, optionally "IP:" with the time slot (ms), time constant, six
// slot readings and the total IP, and optionally the settings (Cmd=, HV=, Cyk=, MTime=, ...).
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no SuperSting file ("line 1 is no SuperSting header or record");
// empty when the first lines hold a SuperSting header followed by a record, or start with a record.
// Reads the first lines only; never stops.
std::string sting_mismatch(const FieldSource& source);

// Reads the whole file: positions (y kept, z as elevations; feet turned into metres), V/I as the
// resistance, the error as a relative error (tenths of a percent), the current, the apparent
// resistivity and, where records hold IP, the total IP (in s by AGI's column list: an integral
// chargeability, turned into ms). Remote electrodes keep the coordinates the file gives; an empty
// x, y, z triplet of B or N marks the electrode absent. A last record cut short is dropped and
// noted. Every other failure stops with the file's name and the line.
FieldSurvey read_sting_file(const Io& io, const FieldSource& source);

}  // namespace quelby
