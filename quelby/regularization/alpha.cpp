#include "quelby/regularization/alpha.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "quelby/base/fixed_format.hpp"

namespace quelby {

namespace {

// A length scale and a_s take 12 columns with 5 decimals; a_x and a_z 11 columns with 4.
void append_wide(std::string& line, const double value) {
  char field[12];
  format_exponent(value, 12, 5, field);
  line.append(field, sizeof field);
}

void append_narrow(std::string& line, const double value) {
  char field[11];
  format_exponent(value, 11, 4, field);
  line.append(field, sizeof field);
}

std::string lengths_line(std::string_view text, const double lx, const double lz) {
  std::string line(text);
  append_wide(line, lx);
  line += ',';
  append_wide(line, lz);
  line += ")\n";
  return line;
}

std::string alpha_line(std::string_view text, const AlphaCoefficients& alpha) {
  std::string line(text);
  append_wide(line, alpha.alpha_s);
  line += ',';
  append_narrow(line, alpha.alpha_x);
  line += ',';
  append_narrow(line, alpha.alpha_z);
  line += ")\n";
  return line;
}

// The four records of a mode: an empty line, the given description, the derived one, an empty
// line.
void log_descriptions(const Io& io, const std::string& given, const std::string& derived) {
  write_message(io, Order::log_only, "\n" + given + derived + "\n");
}

double smallest(const std::vector<double>& widths) {
  double least = std::numeric_limits<double>::infinity();
  for (const double width : widths) least = std::min(least, width);
  return least;
}

}  // namespace

void set_alpha(const Io& io, const Mesh& mesh, const std::int32_t mode,
               const std::array<double, 3>& alpha, const std::array<double, 2>& lengths,
               AlphaCoefficients& coefficients) {
  switch (mode) {
    case 0: {
      const double length = 4 * std::max(smallest(mesh.dx), smallest(mesh.dz));
      const double squared = length * length;
      coefficients.alpha_s = 1 / squared;
      coefficients.alpha_x = squared / squared;
      coefficients.alpha_z = squared / squared;
      log_descriptions(io, lengths_line("using default length scales (Lx, Lz): (", length, length),
                       alpha_line("corresponding alpha (a_s, a_x, a_z): (", coefficients));
      return;
    }
    case 2: {
      coefficients.alpha_s = alpha[0];
      coefficients.alpha_x = alpha[1];
      coefficients.alpha_z = alpha[2];
      log_descriptions(
          io, alpha_line("using alpha (a_s, a_x, a_z): (", coefficients),
          lengths_line("corresponding length scales (Lx, Lz): (", std::sqrt(alpha[1] / alpha[0]),
                       std::sqrt(alpha[2] / alpha[0])));
      return;
    }
    case 3: {
      const double lx_squared = lengths[0] * lengths[0];
      const double lz_squared = lengths[1] * lengths[1];
      const double larger = std::max(lx_squared, lz_squared);
      coefficients.alpha_s = 1 / larger;
      coefficients.alpha_x = lx_squared / larger;
      coefficients.alpha_z = lz_squared / larger;
      log_descriptions(io, lengths_line("using length scales (Lx, Lz): (", lengths[0], lengths[1]),
                       alpha_line("corresponding alpha (a_s, a_x, a_z): (", coefficients));
      return;
    }
    default:
      return;  // mode 1 and any other: the coefficients stay as they are
  }
}

}  // namespace quelby
