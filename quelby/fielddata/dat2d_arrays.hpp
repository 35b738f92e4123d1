// The arrays of the 2-D .dat format by their codes, and where the electrodes of an index-array
// datum stand. Index arrays give per datum x, a [, n]: 1 Wenner, 2 pole-pole, 3 dipole-dipole, 4
// Wenner beta, 5 Wenner gamma, 6 pole-dipole, 7 Wenner-Schlumberger, 8 equatorial dipole-dipole, 10
// offset pole-dipole; 11, the general array, gives each electrode's x and z instead.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "quelby/fielddata/field_readings.hpp"

namespace quelby {

// The name of array `code` ("Wenner", ...); empty for a code quelby does not read.
std::string_view dat2d_array_name(std::int32_t code);

// Why quelby does not read array `code`, naming what it lacks; empty for a code it reads.
std::string dat2d_array_refusal(std::int32_t code);

// Whether a datum line of index array `code` gives n after x and a.
bool dat2d_array_has_n(std::int32_t code);

// Whether index array `code` has a second line of electrodes `offset` metres from the first (8: C2
// and P2 there; 10: C1 there), which its header gives before the number of data.
bool dat2d_array_has_offset(std::int32_t code);

// The electrodes A, B, M, N of a datum of index array `code`: `x` is the leftmost electrode
// (location type 0) or the middle of the array (1); a, n as the line gives them (n negative for a
// reverse pole-dipole); an electrode the array does not use is not present. Left to right: Wenner
// C1 P1 P2 C2; pole-pole C1 P1; dipole-dipole C2 C1 P1 P2 (n a between C1 and P1); Wenner beta C2
// C1 P1 P2; Wenner gamma C1 P1 C2 P2; pole-dipole C1 P1 P2 (reverse P2 P1 C1); Wenner-Schlumberger
// C1 P1 P2 C2 (n a between C1 and P1); equatorial dipole-dipole C1 and C2 at x, P1 and P2 a
// further, C2 and P2 at y = offset; offset pole-dipole as pole-dipole with C1 at y = offset.
std::array<FieldElectrode, 4> dat2d_index_electrodes(std::int32_t code, std::int32_t location_type,
                                                     double x, double a, double n, double offset);

}  // namespace quelby
