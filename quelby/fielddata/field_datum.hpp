// A datum as the import builds it from one or more readings: its electrodes on the line in the
// survey file's pole convention (the missing electrode of a pole at the place of the other of its
// pair: B = A, N = M), its signed resistance and what the error models and filters need.
#pragma once

#include <cstddef>

#include "quelby/fielddata/field_readings.hpp"

namespace quelby {

struct FieldDatum {
  double a = 0, b = 0, m = 0, n = 0;  // x, m; b == a and n == m for poles
  // Depths below the ground surface (m) of buried electrodes; 0 for electrodes on the ground.
  // Electrodes are told apart by x and depth (two electrodes of one borehole share their x).
  double depth_a = 0, depth_b = 0, depth_m = 0, depth_n = 0;
  double resistance = not_given;           // ohms
  double geometric_factor = not_given;     // K, m: rho_a = K R, by the file's convention
  double ground_factor = not_given;        // the forward model's K over the ground, where asked
  double current = not_given;              // A, magnitude as measured
  double chargeability = not_given;        // in the import's chargeability unit
  double std = not_given;                  // the file's standard deviation, ohms
  double chargeability_std = not_given;    // the file's, in the chargeability unit
  std::size_t line = 0;                    // 1-based line of its first reading
  std::size_t readings = 1;                // readings averaged into it
  std::size_t reciprocal_line = 0;         // 1-based line of its reciprocal; 0 when unpaired
  double reciprocal_error = not_given;     // |R_normal - R_reciprocal|, ohms
  double chargeability_error = not_given;  // |m_normal - m_reciprocal|
};

}  // namespace quelby
