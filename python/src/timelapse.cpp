// The pieces of a time-lapse inversion for Python (quelby.invert_timelapse composes them with
// quelby.invert): the hold on the campaign's folder, the data of a step on the readings it shares
// with the baseline, the response of the ratio inversion's homogeneous model, and the campaign's
// summary file.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/inversion/inversion_inputs.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/inversion/timelapse.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

TimelapseMethod method_of(const std::string& name) {
  if (name == "difference") return TimelapseMethod::difference;
  if (name == "ratio") return TimelapseMethod::ratio;
  throw py::value_error("method: 'difference' or 'ratio'");
}

// The air cells per column: None (no air), nx counts, or an object with air_cells (Topography,
// ActiveCells).
std::vector<std::int32_t> air_cells_from(const Mesh& mesh, py::handle given) {
  if (given.is_none()) return std::vector<std::int32_t>(static_cast<std::size_t>(mesh.nx), 0);
  const py::object source = py::hasattr(given, "air_cells")
                                ? given.attr("air_cells")
                                : py::reinterpret_borrow<py::object>(given);
  std::vector<std::int32_t> air = source.cast<std::vector<std::int32_t>>();
  if (air.size() != static_cast<std::size_t>(mesh.nx)) {
    throw py::value_error("air_cells: expected " + std::to_string(mesh.nx) +
                          " counts, one per column");
  }
  for (const std::int32_t count : air) {
    if (count < 0 || count > mesh.nz) {
      throw py::value_error("air_cells: a count outside 0.." + std::to_string(mesh.nz));
    }
  }
  return air;
}

}  // namespace

void bind_timelapse(py::module_& module) {
  // The campaign's own lines, through the library's one helper so that their order is its order.
  module.def(
      "_write_message",
      [](const std::string& text, const std::string& order, py::object io) {
        const Order chosen = order == "console_then_log" ? Order::console_then_log
                             : order == "log_only"       ? Order::log_only
                             : order == "console_only"   ? Order::console_only
                                                         : throw py::value_error("order");
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { write_message(streams, chosen, text); });
      },
      py::arg("text"), py::arg("order") = "console_then_log", py::arg("io") = py::none());
  // The campaign's hold on its folder, the one lock of quelby-invert and quelby.invert, so that
  // a campaign and any other run refuse each other's folder; the steps hold their own folders.
  py::class_<OutputFolder>(module, "_HeldFolder")
      .def_property_readonly("held", &OutputFolder::held)
      .def("release", [](OutputFolder& folder) { folder = OutputFolder(); })
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](OutputFolder& folder, py::args) { folder = OutputFolder(); });
  module.def(
      "_hold_output_folder",
      [](const FileName& folder, py::object io) {
        OutputFolder held;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { held = hold_output_folder(streams, folder.text); });
        return held;
      },
      py::arg("folder"), py::arg("io") = py::none());
  module.def(
      "timelapse_step",
      [](const SurveyData& baseline, py::handle response, const SurveyData& step,
         const std::string& method, py::object percent, py::object floor,
         const std::string& baseline_name, const std::string& step_name, py::object io) {
        const auto values = vector_argument(response, baseline.ndat, "response");
        if (!baseline.has_values || !step.has_values) {
          throw py::value_error("timelapse_step: the baseline and the step need data values");
        }
        std::optional<DataUncertainty> uncertainty;
        if (!percent.is_none() || !floor.is_none()) {
          uncertainty = DataUncertainty{percent.is_none() ? 0.0 : percent.cast<double>(),
                                        floor.is_none() ? 0.0 : floor.cast<double>()};
        }
        const TimelapseMethod chosen = method_of(method);
        SurveyData completed = step;
        TimelapseStep result;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          complete_deviations(streams, step_name, uncertainty, completed);
          result = timelapse_step(streams, baseline,
                                  {values.data(), static_cast<std::size_t>(values.size())},
                                  completed, chosen, baseline_name, step_name);
        });
        py::dict readings;
        readings["baseline_index"] = take(std::move(result.readings.first));
        readings["step_index"] = take(std::move(result.readings.second));
        readings["sign"] = take(std::move(result.readings.sign));
        readings["dropped_from_step"] = result.dropped_from_step;
        readings["dropped_from_baseline"] = result.dropped_from_baseline;
        readings["description"] = result.description;
        return py::make_tuple(std::move(result.data), readings);
      },
      py::arg("baseline"), py::arg("response"), py::arg("step"), py::arg("method") = "difference",
      py::arg("percent") = py::none(), py::arg("floor") = py::none(),
      py::arg("baseline_name") = "the baseline", py::arg("step_name") = "the step",
      py::arg("io") = py::none(),
      "timelapse_step(baseline, response, step, method='difference', percent=None, floor=None, "
      "baseline_name='the baseline', step_name='the step', io=None) -> tuple\n\n(data, readings): "
      "the data a time-lapse step is inverted for, on the readings common to the baseline and the "
      "step (matched by their electrodes; a step's reading with A and B, or M and N, swapped "
      "counts with its sign changed). data is a SurveyData of those readings in the baseline's "
      "grouped order and polarity, its values d_t - d_0 + response (method 'difference', response "
      "the baseline model's predicted data) or d_t / d_0 * response ('ratio', response the "
      "homogeneous model's data, homogeneous_response), with the step's standard deviations "
      "(scaled by |response / d_0| for a ratio); a step without them gets percent / 100 * |d| + "
      "floor. response: ndat values of the baseline, grouped order. readings: baseline_index and "
      "step_index (0-based grouped positions of each datum), sign, dropped_from_step, "
      "dropped_from_baseline and the description line written to the console and run log. "
      "Raises quelby.Stop for a step that shares no reading, or whose data cannot be formed.");
  module.def(
      "homogeneous_response",
      [](const Mesh& mesh, const SurveyData& survey, double value, py::handle air_cells,
         const std::string& name, py::object io) {
        if (!survey.has_values && !(value > 0)) {
          throw py::value_error("homogeneous_response: a survey without values needs the value");
        }
        const std::vector<std::int32_t> air = air_cells_from(mesh, air_cells);
        std::pair<double, std::vector<double>> result;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          const py::gil_scoped_release released;
          result = quelby::homogeneous_response(streams, mesh, air, survey, name, value);
        });
        return py::make_tuple(result.first, take(std::move(result.second)));
      },
      py::arg("mesh"), py::arg("survey"), py::arg("value") = 0.0, py::arg("air_cells") = py::none(),
      py::arg("name") = "the baseline", py::arg("io") = py::none(),
      "homogeneous_response(mesh, survey, value=0.0, air_cells=None, name='the baseline', "
      "io=None) -> tuple\n\n(value, response): the homogeneous model of a ratio inversion, "
      "`value` ohm-m or for 0 the median apparent resistivity of the survey's data, and its data "
      "(ndat values in ohms, grouped order) on the ground below air_cells (None, nx counts, or a "
      "Topography or ActiveCells).");
  module.def(
      "write_timelapse_summary",
      [](const FileName& path, const std::string& method, const py::list& steps, py::object io) {
        std::vector<TimelapseSummaryLine> lines;
        for (const py::handle step : steps) {
          const py::dict fields = py::reinterpret_borrow<py::dict>(step);
          TimelapseSummaryLine line;
          line.data_name = fields["data"].cast<std::string>();
          if (fields.contains("failure") && !fields["failure"].is_none()) {
            line.failure = fields["failure"].cast<std::string>();
            lines.push_back(std::move(line));
            continue;
          }
          line.readings = fields["readings"].cast<std::int32_t>();
          line.dropped_from_step = fields["dropped_from_step"].cast<std::int32_t>();
          line.dropped_from_baseline = fields["dropped_from_baseline"].cast<std::int32_t>();
          line.iterations = fields["iterations"].cast<std::int32_t>();
          line.misfit = fields["misfit"].cast<double>();
          line.target_misfit = fields["target_misfit"].cast<double>();
          line.smallest_change = fields["smallest_change"].cast<double>();
          line.largest_change = fields["largest_change"].cast<double>();
          lines.push_back(std::move(line));
        }
        const TimelapseMethod chosen = method_of(method);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          write_timelapse_summary(streams, path.text, chosen, lines);
        });
      },
      py::arg("path"), py::arg("method"), py::arg("steps"), py::arg("io") = py::none(),
      "write_timelapse_summary(path, method, steps, io=None) -> None\n\nWrites the summary of a "
      "time-lapse inversion as quelby-invert writes timelapse.txt: per step from 0 (the "
      "baseline) a dict of data (its name), readings, dropped_from_step, dropped_from_baseline, "
      "iterations, misfit, target_misfit, smallest_change and largest_change (percent); a failed "
      "step's dict holds data and failure (why it failed, a stop's message), and its line is "
      "'K failed  data  ! reason'.");
}

}  // namespace quelby::python
