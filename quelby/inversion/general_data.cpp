#include "quelby/inversion/general_data.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

void append_shortest(std::string& text, double value) {
  char field[32];
  const auto result = std::to_chars(field, field + sizeof field, value);
  text.append(field, result.ptr);
}

// 10 significant digits: more than enough for data read at the precision of their noise, and
// short enough to stay readable.
void append_value(std::string& text, double value) {
  char field[40];
  const auto result =
      std::to_chars(field, field + sizeof field, value, std::chars_format::scientific, 9);
  text.append(field, result.ptr);
}

[[noreturn]] void write_failed(const Io& io, const std::string& name, int error) {
  const std::string message =
      "Error: cannot write the data file " + name + ": " + std::strerror(error) + "\n";
  io.error << message << std::flush;
  throw Stop(message, exit_failure);
}

}  // namespace

void write_general_data(const Io& io, std::string_view name, const SurveyData& survey,
                        std::span<const double> values, std::span<const double> stds) {
  const std::size_t ndat = static_cast<std::size_t>(survey.ndat);
  if (values.size() != ndat || stds.size() != ndat || survey.iptype.size() != ndat) {
    internal_check_failed(io, "write_general_data: one value and one deviation per datum");
  }
  // The current pair of every datum in grouped order.
  std::vector<std::size_t> pair_of(ndat);
  for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
    std::fill(pair_of.begin() + static_cast<std::ptrdiff_t>(survey.data_begin(k)),
              pair_of.begin() + static_cast<std::ptrdiff_t>(survey.data_begin(k + 1)), k);
  }
  const bool ip = std::any_of(survey.iptype.begin(), survey.iptype.end(),
                              [](std::int32_t type) { return type != 0; });
  std::int32_t current_type = ip ? 1 : 0;

  std::string text = "! xA xB xM xN value std\n";
  text.reserve(text.size() + 96 * ndat);
  for (std::size_t line = 0; line < ndat; ++line) {
    const std::size_t i = survey.has_file_order ? survey.grouped_position(line) : line;
    double a = 0, b = 0, m = 0, n = 0;
    if (survey.has_file_order) {
      a = survey.xa_file[line];
      b = survey.xb_file[line];
      m = survey.xm_file[line];
      n = survey.xn_file[line];
    } else {
      a = survey.xa_cur[pair_of[i]];
      b = survey.xb_cur[pair_of[i]];
      m = survey.xm[i];
      n = survey.xn[i];
    }
    if (survey.iptype[i] != current_type) {
      current_type = survey.iptype[i];
      text += "IPTYPE=" + std::to_string(current_type) + '\n';
    }
    for (const double position : {a, b, m, n}) {
      append_shortest(text, position);
      text += ' ';
    }
    append_value(text, values[i]);
    text += ' ';
    append_value(text, stds[i]);
    text += '\n';
  }

  const std::string file_name(trim_trailing_blanks(name));
  AtomicOutput output(file_name);
  if (const int error = output.create()) write_failed(io, file_name, error);
  if (const int error = output.write(text.data(), text.size())) write_failed(io, file_name, error);
  if (const int error = output.commit()) write_failed(io, file_name, error);
}

}  // namespace quelby
