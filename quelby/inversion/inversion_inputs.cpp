#include "quelby/inversion/inversion_inputs.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_lines.hpp"

namespace quelby {

DataUncertainty default_uncertainty(const SurveyData& survey, bool dc) {
  if (!dc) return {default_ip_percent, default_ip_floor};
  std::vector<double> magnitudes;
  for (const double value : survey.dobs) {
    if (std::abs(value) > 0 && std::isfinite(value)) magnitudes.push_back(std::abs(value));
  }
  if (magnitudes.empty()) return {default_dc_percent, 0};
  const std::size_t at = magnitudes.size() / 20;  // the 5th percentile
  std::nth_element(magnitudes.begin(), magnitudes.begin() + static_cast<std::ptrdiff_t>(at),
                   magnitudes.end());
  return {default_dc_percent, default_dc_percent / 100 * magnitudes[at]};
}

void complete_deviations(const Io& io, std::string_view file_name,
                         const std::optional<DataUncertainty>& given, SurveyData& survey, bool dc) {
  if (survey.dstd_read) return;
  const std::string name(trim_trailing_blanks(file_name));
  const DataUncertainty uncertainty_value = given ? *given : default_uncertainty(survey, dc);
  const DataUncertainty* const uncertainty = &uncertainty_value;
  if (!given) {
    write_message(
        io, Order::console_then_log,
        std::string("Note: ") + name + " holds no standard deviations: the default " +
            shortest(uncertainty->percent) + " % of |datum| plus " +
            format_significant(uncertainty->floor, 3) +
            (dc ? " ohm (3 % of the 5th percentile of |datum|)" : " (in the unit of the IP data)") +
            " is taken; " +
            (dc ? "--error and --error-floor (or the control line data_std)"
                : "--ip-error and --ip-error-floor (or the control line ip_std)") +
            " set others\n");
  }
  survey.dstd.resize(static_cast<std::size_t>(survey.ndat));
  for (std::size_t i = 0; i < survey.dstd.size(); ++i) {
    const double deviation =
        uncertainty->percent / 100 * std::abs(survey.dobs[i]) + uncertainty->floor;
    if (!(deviation > 0) || !std::isfinite(deviation)) {
      stop_with(
          io, Order::console_then_log,
          "\nError: a percentage of " + shortest(uncertainty->percent) + " and a floor of " +
              shortest(uncertainty->floor) +
              " give a standard deviation that is not positive to a datum of " + name + "\n",
          exit_failure,
          line_detail(name, 0,
                      "the datum " + shortest(survey.dobs[i]) + " gets " + shortest(deviation)));
    }
    survey.dstd[i] = deviation;
  }
}

void check_data_values(const Io& io, std::string_view file_name, bool from_file,
                       const SurveyData& survey) {
  const std::string name(trim_trailing_blanks(file_name));
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  for (std::size_t i = 0; i < ndat && i < survey.dobs.size() && i < survey.dstd.size(); ++i) {
    const double value = survey.dobs[i];
    const double deviation = survey.dstd[i];
    std::string what;
    if (!(std::abs(value) <= largest_magnitude)) {
      what = "the value " + shortest(value) + " is not a finite number of magnitude " +
             shortest(largest_magnitude) + " or less";
    } else if (!(deviation >= smallest_deviation && deviation <= largest_magnitude)) {
      what = "the standard deviation " + shortest(deviation) +
             (survey.dstd_read ? "" : " that the percentage and floor give") +
             " is not a number from " + shortest(smallest_deviation) + " to " +
             shortest(largest_magnitude);
    } else {
      continue;
    }
    const std::string place = datum_place(name, survey, i, from_file);
    const std::size_t line = from_file ? data_file_line(name, survey, i) : 0;
    const std::string values =
        "value " + shortest(value) + ", standard deviation " + shortest(deviation);
    stop_with(io, Order::console_then_log, "\nError: " + place + ": " + what + "\n", exit_failure,
              line > 0 ? line_detail(name, line, values) : place + ": " + values);
  }
}

double median_apparent_resistivity(const Io& io, ForwardModel& forward, const Mesh& mesh,
                                   const SurveyData& survey, std::string_view file_name) {
  const std::vector<double> uniform(
      static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz), 1.0);
  const std::vector<double> unit = forward.data(io, uniform);
  std::vector<double> apparent(unit.size());
  for (std::size_t i = 0; i < unit.size(); ++i) apparent[i] = (1 / unit[i]) * survey.dobs[i];
  std::sort(apparent.begin(), apparent.end());
  const std::size_t middle = apparent.size() / 2;
  const double median =
      apparent.size() % 2 == 1 ? apparent[middle] : (apparent[middle - 1] + apparent[middle]) / 2;
  if (!(median > 0) || !std::isfinite(median)) {
    const std::string name(trim_trailing_blanks(file_name));
    stop_with(io, Order::console_then_log,
              "\nError: the median apparent resistivity of the data is not positive: " +
                  shortest(median) + "\n" + name + "\nGive a starting and a reference model.\n",
              exit_failure,
              line_detail(name, 0, "median apparent resistivity " + shortest(median)));
  }
  return median;
}

std::vector<double> model_of_choice(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                                    const ModelChoice& choice, std::string_view label,
                                    double automatic, ParameterRange range) {
  const std::size_t count = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  std::vector<double> values;
  std::string source;
  if (choice.kind == ModelChoice::Kind::file) {
    Model model(mesh.nx, mesh.nz);
    read_model(io, mesh, choice.file, label, model);
    values.assign(model.values().begin(), model.values().end());
    source = std::string(trim_trailing_blanks(choice.file));
  } else if (choice.kind == ModelChoice::Kind::cells) {
    if (choice.cells.size() != count) {
      stop_with(io, Order::console_then_log,
                "\nError: the " + std::string(trim_trailing_blanks(label)) + " model holds " +
                    std::to_string(choice.cells.size()) + " values, the mesh has " +
                    std::to_string(count) + " cells.\n");
    }
    values = choice.cells;
  } else {
    values.assign(count, choice.kind == ModelChoice::Kind::value ? choice.value : automatic);
  }
  for (std::size_t cell = 0; cell < count; ++cell) {
    if (cells.parameter(cell) < 0) continue;
    const double value = values[cell];
    const bool admissible = range == ParameterRange::positive
                                ? value > 0
                                : std::abs(value) <= largest_magnitude &&
                                      (range == ParameterRange::finite || value >= 0);
    if (admissible && std::isfinite(value)) continue;
    const std::size_t column = cell % static_cast<std::size_t>(mesh.nx) + 1;
    const std::size_t row = cell / static_cast<std::size_t>(mesh.nx) + 1;
    std::string where = "(";  // 1-based, as shown
    where += std::to_string(column);
    where += ", ";
    where += std::to_string(row);
    where += ')';
    const std::string largest = shortest(largest_magnitude);
    const std::string expected = range == ParameterRange::positive ? "a positive value"
                                 : range == ParameterRange::not_negative
                                     ? "a value from 0 to " + largest
                                     : "a value from -" + largest + " to " + largest;
    stop_with(io, Order::console_then_log,
              "\nError: the " + std::string(trim_trailing_blanks(label)) + " model holds " +
                  shortest(value) + " in cell " + where + ", a parameter: " + expected +
                  " is needed\n",
              exit_failure,
              line_detail(source.empty() ? std::string(trim_trailing_blanks(label)) : source, 0,
                          "cell " + where + " holds " + shortest(value)));
  }
  return values;
}

}  // namespace quelby
