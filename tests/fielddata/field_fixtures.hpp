// Field files for the import tests: a line of electrodes over a uniform half-space, whose
// readings have the flat-surface resistance rho / K exactly, written as a Syscal text export with
// the instrument's columns.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace quelby::testing {

// K = 2 pi / (1/AM - 1/AN - 1/BM + 1/BN) for four surface electrodes.
inline double flat_factor(double a, double b, double m, double n) {
  return 2 * std::numbers::pi /
         (1 / std::abs(a - m) - 1 / std::abs(a - n) - 1 / std::abs(b - m) + 1 / std::abs(b - n));
}

struct SyscalReading {
  std::array<double, 4> x;   // A, B, M, N
  double resistance;         // ohms
  double deviation = 0.1;    // %
  double chargeability = 5;  // mV/V
  double current_ma = 100;   // mA
};

// The text export: a header and one tab-separated line per reading (the readings start on line 2).
inline std::string syscal_text(const std::vector<SyscalReading>& readings) {
  std::string text = "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\tDev.\tM\tSp\tVp\tIn\n";
  char line[512];
  for (const SyscalReading& r : readings) {
    const double k = flat_factor(r.x[0], r.x[1], r.x[2], r.x[3]);
    std::snprintf(line, sizeof line,
                  "\t%.2f\t%.2f\t%.2f\t%.2f\t%.17g\t%.17g\t%.17g\t0.0\t%.17g\t%.17g\n", r.x[0],
                  r.x[1], r.x[2], r.x[3], k * r.resistance, r.deviation, r.chargeability,
                  r.resistance * r.current_ma, r.current_ma);
    text += line;
  }
  return text;
}

// Dipole-dipole readings of a line of `count` electrodes `spacing` apart (a = spacing, n = 1..3)
// over `rho` ohm-m, in the order of the current pairs.
inline std::vector<SyscalReading> dipole_dipole(int count, double spacing, double rho) {
  std::vector<SyscalReading> readings;
  for (int a = 0; a + 3 < count; ++a) {
    for (int n = 1; n <= 3 && a + n + 2 < count; ++n) {
      const double xa = a * spacing, xb = (a + 1) * spacing, xm = (a + 1 + n) * spacing,
                   xn = (a + 2 + n) * spacing;
      readings.push_back({{xa, xb, xm, xn}, rho / flat_factor(xa, xb, xm, xn)});
    }
  }
  return readings;
}

}  // namespace quelby::testing
