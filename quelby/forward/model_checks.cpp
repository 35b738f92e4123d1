#include "quelby/forward/model_checks.hpp"

#include <cmath>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_lines.hpp"

namespace quelby {

void check_chargeabilities(const Io& io, const Mesh& mesh,
                           std::span<const std::int32_t> ground_cells,
                           std::span<const double> chargeability, std::string_view source) {
  const auto nx = static_cast<std::size_t>(mesh.nx);
  for (const std::int32_t cell : ground_cells) {
    const auto at = static_cast<std::size_t>(cell);
    if (at >= chargeability.size()) {
      internal_check_failed(io, "forward model: the chargeability model does not match the mesh");
    }
    const double value = chargeability[at];
    if (std::isfinite(value)) continue;
    // Column and row shown 1-based.
    std::string where = "(";
    where += std::to_string(at % nx + 1);
    where += ", ";
    where += std::to_string(at / nx + 1);
    where += ')';
    const std::string name(trim_trailing_blanks(source));
    stop_with(io, Order::console_then_log,
              "\nError: the chargeability of cell " + where +
                  " is not a finite number: " + shortest(value) + "\n" + name + "\n",
              exit_failure, line_detail(name, 0, "cell " + where + " holds " + shortest(value)));
  }
}

void check_finite_data(const Io& io, const SurveyData& survey, std::string_view survey_name,
                       std::span<const double> values, std::string_view what) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isfinite(values[i])) continue;
    const std::string place = datum_place(survey_name, survey, i);
    stop_with(io, Order::console_then_log,
              "\nError: " + place + ": the " + std::string(what) +
                  " is not a finite number: " + shortest(values[i]) + "\n",
              exit_failure, place + ": " + std::string(what) + " " + shortest(values[i]));
  }
}

void check_finite_sensitivities(const Io& io, const SurveyData& survey,
                                std::string_view survey_name, std::span<const double> jacobian,
                                std::size_t columns) {
  for (std::size_t entry = 0; entry < jacobian.size(); ++entry) {
    if (std::isfinite(jacobian[entry])) continue;
    const std::string place = datum_place(survey_name, survey, entry / columns);
    // The parameter shown 1-based.
    const std::string parameter = std::to_string(entry % columns + 1);
    stop_with(io, Order::console_then_log,
              "\nError: " + place + ": the sensitivity to parameter " + parameter +
                  " is not a finite number: " + shortest(jacobian[entry]) + "\n",
              exit_failure,
              place + ": sensitivity to parameter " + parameter + " " + shortest(jacobian[entry]));
  }
}

}  // namespace quelby
