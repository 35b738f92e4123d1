// Syscal Pro binary files, little-endian both: the .bin file (a version word 0x8000000N, the
// instrument type and a 1024-byte comment, then records of 4-byte floats, 280 to 304 bytes each)
// and the .binx file of newer Prosys versions (a header with its comment and the record count, then
// records of 8-byte values whose size follows their layout version and the texts they hold).
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is not a Syscal Pro binary file (a short phrase); empty when its first
// bytes are the version word of a .bin or of a .binx header. Never throws.
std::string syscal_binary_mismatch(const FieldSource& source);

// Reads the whole file. Per record: x, y, z of A, B, M, N (m, as stored; a .binx file also gives
// electrode numbers and depths, a buried electrode's elevation being z minus its depth), Vp (mV)
// and In (mA) as volts and amperes, Rho (ohm-m), the stacking deviation (%), the chargeability M
// (mV/V; none when every M of the file is 0), the instrument's validity flags and, from a .binx
// file, its geometric factor. The header, the IP windows, stacks and dates go into the notes. A
// record cut by the end of the file is dropped and noted; a header or record that cannot be read
// stops with "Error reading the field data file NAME, record N: ...".
FieldSurvey read_syscal_binary_file(const Io& io, const FieldSource& source);

}  // namespace quelby
