// The reader of the BGS PRIME system's exports (.dat and .tab share one layout): a banner "# Prime:
// ...", settings "name: value [unit]", a "#Units" row, "data:", then a tab-separated table whose
// columns are named pt_...: (electrode numbers of C1 C2 P1 P2, the resistance and its error, the
// mean voltage, the current, the phase), one line per reading.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Why the start of `source` is no PRIME export ("line 1 is no '# Prime:' banner ..."); empty when
// line 1 is the banner or one of the first 64 lines names pt_c1_no:, pt_p1_no: and pt_calc_res:.
// Never stops, never throws.
std::string prime_mismatch(const FieldSource& source);

// Reads a PRIME export: C1 C2 P1 P2 as A B M N by their numbers (placed by the file's electrode
// table where the header has one), pt_calc_res: (ohm), pt_calc_res_error: (stacking deviation),
// pt_meas_voltage_mean:, pt_meas_current_mag: and pt_calc_phase_mag: (kept in mrad) with their
// units from the #Units row. Every failure names the file and the line and throws Stop.
FieldSurvey read_prime_file(const Io& io, const FieldSource& source);

}  // namespace quelby
