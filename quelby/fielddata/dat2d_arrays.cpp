#include "quelby/fielddata/dat2d_arrays.hpp"

#include <cmath>
#include <string>

namespace quelby {

namespace {

// The length of an index array along the line, from its leftmost to its rightmost electrode.
double array_length(std::int32_t code, double a, double n) {
  switch (code) {
    case 1:
    case 4:
    case 5:
      return 3 * a;
    case 2:
    case 8:
      return a;
    case 3:
      return (n + 2) * a;
    case 6:
    case 10:
      return (std::abs(n) + 1) * a;
    default:  // 7
      return (2 * n + 1) * a;
  }
}

}  // namespace

std::string_view dat2d_array_name(std::int32_t code) {
  switch (code) {
    case 1:
      return "Wenner";
    case 2:
      return "pole-pole";
    case 3:
      return "dipole-dipole";
    case 4:
      return "Wenner beta";
    case 5:
      return "Wenner gamma";
    case 6:
      return "pole-dipole";
    case 7:
      return "Wenner-Schlumberger";
    case 8:
      return "equatorial dipole-dipole";
    case 10:
      return "offset pole-dipole";
    case 11:
      return "general array";
    default:
      return "";
  }
}

std::string dat2d_array_refusal(std::int32_t code) {
  const std::string lead = "array code " + std::to_string(code);
  if (code == 12 || code == 13) {
    return lead + " is a cross-borehole survey, whose borehole block quelby does not read: " +
           "give its data as the general array (code 11) with each electrode's x and z";
  }
  if (code == 15) {
    return lead + " (gradient) has no layout of its own that quelby knows: give it as the " +
           "general array (code 11, sub-type 15)";
  }
  if (!dat2d_array_name(code).empty()) return {};
  return lead + " is not one of the arrays quelby reads (1 to 8, 10 and 11)";
}

bool dat2d_array_has_n(std::int32_t code) {
  return code == 3 || code == 6 || code == 7 || code == 10;
}

bool dat2d_array_has_offset(std::int32_t code) {
  return code == 8 || code == 10;
}

std::array<FieldElectrode, 4> dat2d_index_electrodes(std::int32_t code, std::int32_t location_type,
                                                     double x, double a, double n, double offset) {
  const double left = location_type == 1 ? x - array_length(code, a, n) / 2 : x;
  const double none = not_given;
  std::array<double, 4> at{};  // x of A, B, M, N
  switch (code) {
    case 1:  // C1 P1 P2 C2
      at = {left, left + 3 * a, left + a, left + 2 * a};
      break;
    case 2:  // C1 P1
      at = {left, none, left + a, none};
      break;
    case 3:  // C2 C1 P1 P2
      at = {left + a, left, left + a + n * a, left + 2 * a + n * a};
      break;
    case 4:  // C2 C1 P1 P2, n = 1
      at = {left + a, left, left + 2 * a, left + 3 * a};
      break;
    case 5:  // C1 P1 C2 P2
      at = {left, left + 2 * a, left + a, left + 3 * a};
      break;
    case 8:  // C1 and C2 across the lines at x, P1 and P2 a further
      at = {left, left, left + a, left + a};
      break;
    case 6:
    case 10:  // C1 P1 P2, or P2 P1 C1 for n < 0
      at = n > 0 ? std::array<double, 4>{left, none, left + n * a, left + n * a + a}
                 : std::array<double, 4>{left + a - n * a, none, left + a, left};
      break;
    default:  // 7: C1 P1 P2 C2
      at = {left, left + 2 * n * a + a, left + n * a, left + n * a + a};
      break;
  }
  std::array<FieldElectrode, 4> electrodes;
  for (std::size_t role = 0; role < 4; ++role) {
    electrodes[role].present = !std::isnan(at[role]);
    electrodes[role].x = electrodes[role].present ? at[role] : 0.0;
  }
  if (code == 8) {
    electrodes[electrode_b].y = offset;
    electrodes[electrode_n].y = offset;
  }
  if (code == 10) electrodes[electrode_a].y = offset;
  return electrodes;
}

}  // namespace quelby
