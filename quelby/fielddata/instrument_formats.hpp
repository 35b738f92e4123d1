// The readers of instruments' exports and of the four-electrode protocol file: the Syscal Pro
// text or CSV export, the ABEM Terrameter LS exported text (both tables of named columns, see
// instrument_table.hpp), and protocol.dat (a count, then per measurement its number, four
// electrode numbers and optionally the resistance and its error).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

// Syscal Pro export. Columns read: the x of A, B, M, N (Spa.1 to Spa.4, or xA xB xM xN), their
// z (zA ... zN, elevations) when given, Rho (apparent resistivity, ohm-m), Dev. or Dev. Rho
// (stacking deviation, %), M (chargeability, mV/V), Vp or VMN (mV) and In or IAB (mA), Coef. k
// (the geometric factor, m). The x columns and either Rho or Vp and In are needed.
FieldSurvey read_syscal_file(const Io& io, std::string_view name);
FieldSurvey read_syscal_file(const Io& io, const FieldSource& source);

// ABEM Terrameter LS exported text. Columns read: A(x) B(x) M(x) N(x) and their (y) (which must
// be 0) and (z) (elevations); R(Ohm); App.R(Ohmm) (or AppRes); I(mA) or I(A); U(V), U(mV) or
// Voltage(V); Var(%) (stacking deviation); App.Ch.(ms) or App.Ch.(mV/V) (chargeability) with
// IntTime (the integration window, s or ms) for integral chargeabilities. The x columns and one
// of R, App.R or U and I are needed.
FieldSurvey read_terrameter_file(const Io& io, std::string_view name);
FieldSurvey read_terrameter_file(const Io& io, const FieldSource& source);

// protocol.dat: the number of measurements, then per measurement its number, the electrode
// numbers of A, B, M and N (1-based, electrode k at x = (k - 1) * spacing, its number kept), then
// values named by `columns` (r resistance, err its error, rhoa apparent resistivity, ip phase or
// chargeability, iperr its error, skip), or without them by their count: R; R and its error; R,
// the phase (mrad), R's error and the phase's error. A last measurement cut short is dropped. By
// reciprocity a file that lists the potential pair first gives the same resistances.
FieldSurvey read_protocol_file(const Io& io, std::string_view name, double spacing,
                               const std::vector<std::string>& columns = {});
FieldSurvey read_protocol_file(const Io& io, const FieldSource& source, double spacing,
                               const std::vector<std::string>& columns = {});

}  // namespace quelby
