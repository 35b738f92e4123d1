#include "quelby/regularization/alpha3d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/fixed_format.hpp"

namespace quelby {
namespace {

// A length scale and a_s take 12 columns with 5 decimals; the derivative coefficients 11 with 4,
// as the 2-D records do.
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

std::string lengths_line(std::string_view text, const std::array<double, 3>& lengths) {
  std::string line(text);
  append_wide(line, lengths[0]);
  line += ',';
  append_wide(line, lengths[1]);
  line += ',';
  append_wide(line, lengths[2]);
  line += ")\n";
  return line;
}

std::string alpha_line(std::string_view text, const AlphaCoefficients3D& alpha) {
  std::string line(text);
  append_wide(line, alpha.alpha_s);
  for (const double value : {alpha.alpha_x, alpha.alpha_y, alpha.alpha_z}) {
    line += ',';
    append_narrow(line, value);
  }
  line += ")\n";
  return line;
}

void log_descriptions(const Io& io, const std::string& given, const std::string& derived) {
  write_message(io, Order::log_only, "\n" + given + derived + "\n");
}

double smallest(const std::vector<double>& widths) {
  double least = std::numeric_limits<double>::infinity();
  for (const double width : widths) least = std::min(least, width);
  return least;
}

}  // namespace

AlphaCoefficients3D alpha_from_lengths3d(const std::array<double, 3>& lengths) {
  const double x_squared = lengths[0] * lengths[0];
  const double y_squared = lengths[1] * lengths[1];
  const double z_squared = lengths[2] * lengths[2];
  const double larger = std::max({x_squared, y_squared, z_squared});
  return {1 / larger, x_squared / larger, y_squared / larger, z_squared / larger};
}

double default_length3d(const Mesh3D& mesh) {
  return 4 * std::max({smallest(mesh.dx), smallest(mesh.dy), smallest(mesh.dz)});
}

void set_alpha3d(const Io& io, const Mesh3D& mesh, const std::int32_t mode,
                 const std::array<double, 4>& alpha, const std::array<double, 3>& lengths,
                 AlphaCoefficients3D& coefficients) {
  const char* const lengths_text = "length scales (Lx, Ly, Lz): (";
  const char* const alpha_text = "alpha (a_s, a_x, a_y, a_z): (";
  switch (mode) {
    case 0: {
      const double length = default_length3d(mesh);
      const std::array<double, 3> defaults{length, length, length};
      coefficients = alpha_from_lengths3d(defaults);
      log_descriptions(io, lengths_line(std::string("using default ") + lengths_text, defaults),
                       alpha_line(std::string("corresponding ") + alpha_text, coefficients));
      return;
    }
    case 2: {
      coefficients = {alpha[0], alpha[1], alpha[2], alpha[3]};
      const std::array<double, 3> derived{std::sqrt(alpha[1] / alpha[0]),
                                          std::sqrt(alpha[2] / alpha[0]),
                                          std::sqrt(alpha[3] / alpha[0])};
      log_descriptions(io, alpha_line(std::string("using ") + alpha_text, coefficients),
                       lengths_line(std::string("corresponding ") + lengths_text, derived));
      return;
    }
    case 3: {
      coefficients = alpha_from_lengths3d(lengths);
      log_descriptions(io, lengths_line(std::string("using ") + lengths_text, lengths),
                       alpha_line(std::string("corresponding ") + alpha_text, coefficients));
      return;
    }
    default:
      return;  // any other mode: the coefficients stay as they are
  }
}

}  // namespace quelby
