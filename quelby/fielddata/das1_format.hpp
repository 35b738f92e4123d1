// The MPT DAS-1 export (.data, the ERTLab data layout): tags that give the column of each quantity
// ("#data_res_col= 10"), an electrode list (#elec_start ... #elec_end) of "cable,electrode" labels
// with X, Y, Z, and data blocks (#data_start ... #data_end) of readings named by their labels.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no DAS-1 export; empty when one of its first 400 lines is
// #elec_start or #data_start. Never throws.
std::string das1_mismatch(const FieldSource& source);

// Reads a DAS-1 export: V/I, its error (ohms or %), Appres, Amp. (the voltage) and the current in
// the units of the block's units line; the chargeability is the width-weighted mean of the IP
// windows (in mV/V, or in ohms divided by V/I). Rows with the instrument's message stay as invalid
// readings; rows cut short are dropped and counted.
FieldSurvey read_das1_file(const Io& io, const FieldSource& source);

}  // namespace quelby
