// quelby-forward [options] MESH MODEL SURVEY OUT: the data of a resistivity model for the
// electrodes of a survey (ohms for a unit current), or with --ip the linearised IP response of a
// chargeability model, written as a general-layout data file in the survey file's order (with --z
// in the common-current layout with z, which holds the positions); with --sensitivity also the
// sensitivities of the DC data to the logarithms of the parameters.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/command_exit.hpp"
#include "app/forward_command_line.hpp"
#include "app/run_log.hpp"
#include "app/sensitivity_file.hpp"
#include "app/survey_positions.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/model_checks.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/data_writer.hpp"
#include "quelby/survey/survey_data.hpp"

namespace {

// A reader's stop is followed by its detail line: these commands have no older form to keep.
const bool print_details = true;

// The grouped position of every line of the survey file, in file order.
std::vector<std::size_t> grouped_rows(const quelby::SurveyData& survey) {
  std::vector<std::size_t> rows(static_cast<std::size_t>(survey.ndat));
  for (std::size_t line = 0; line < rows.size(); ++line)
    rows[line] = survey.has_file_order ? survey.grouped_position(line) : line;
  return rows;
}

// The model file `name` for the mesh, with `label` in its messages.
quelby::Model read_cells(const quelby::Io& io, const quelby::Mesh& mesh, const std::string& name,
                         const char* label) {
  quelby::Model model(mesh.nx, mesh.nz);
  quelby::read_model(io, mesh, name, label, model);
  return model;
}

int run(const quelby::ForwardArguments& arguments) {
  quelby::TemporaryRunLog log;
  if (!log.is_open()) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  const quelby::Io io{std::cout, std::cerr, log.stream()};

  quelby::Mesh mesh;
  quelby::Topography topography;
  quelby::load_mesh_and_topography(io, arguments.mesh_name, arguments.topography.value_or(""),
                                   arguments.topography.has_value(), mesh, topography);
  quelby::ActiveCells cells;
  const bool needs_cells = arguments.active.has_value() || arguments.sensitivity.has_value();
  if (needs_cells) {
    quelby::read_active_cells(io, mesh, topography, arguments.active.value_or(""), cells);
  }
  const quelby::Model resistivity = read_cells(io, mesh, arguments.model_name, "model");
  const bool ip = arguments.chargeability.has_value();
  const quelby::Model chargeability =
      ip ? read_cells(io, mesh, *arguments.chargeability, "chargeability") : quelby::Model{};
  quelby::SurveyData survey;
  quelby::read_survey_positions(io, arguments.survey_name, arguments.use_z, survey);

  quelby::ForwardModel forward(io, mesh, topography.air_cells, survey);
  if (ip) {
    quelby::check_chargeabilities(io, mesh, forward.ground_cells(), chargeability.values(),
                                  *arguments.chargeability);
  }
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  std::vector<double> data(ndat);
  std::vector<double> jacobian;
  std::vector<std::int32_t> parameters;
  if (arguments.sensitivity) {
    parameters = quelby::parameter_cells(cells);
    // Compared with the memory available now, and without overflowing the product.
    if (!parameters.empty() && ndat > SIZE_MAX / sizeof(double) / parameters.size())
      quelby::out_of_memory_stop(io);
    if (!quelby::fits_in_memory(ndat * parameters.size() * sizeof(double)))
      quelby::out_of_memory_stop(io);
    jacobian.resize(ndat * parameters.size());
    forward.sensitivity(io, resistivity.values(), parameters, jacobian, data);
    quelby::check_finite_sensitivities(io, survey, arguments.survey_name, jacobian,
                                       parameters.size());
  }
  std::vector<double> values;
  std::string header;
  if (ip) {
    values = forward.apparent_chargeability(io, resistivity.values(), chargeability.values(), data);
    // Data read as DC data ask for apparent chargeabilities; a secondary potential is the
    // apparent chargeability times the datum.
    for (std::size_t i = 0; i < ndat; ++i) {
      if (survey.iptype[i] == 2) {
        values[i] *= data[i];
      } else {
        survey.iptype[i] = 1;
      }
    }
    quelby::check_finite_data(io, survey, arguments.survey_name, values, "IP response");
    header =
        "quelby-forward: IP data (IPTYPE 1 apparent chargeability, 2 secondary potential) of "
        "model " +
        arguments.model_name + ", chargeabilities " + *arguments.chargeability;
  } else {
    values = arguments.sensitivity ? data : forward.data(io, resistivity.values());
    quelby::check_finite_data(io, survey, arguments.survey_name, values, "DC value");
    survey.iptype.assign(ndat, 0);
    header =
        "quelby-forward: DC data in ohms (V/A for a unit current) of model " + arguments.model_name;
  }
  // The general layout holds no z: a survey of buried electrodes is written in its own layout.
  quelby::write_data_file(io, arguments.output_name, header, survey, values);
  if (arguments.sensitivity) {
    quelby::write_sensitivity_file(io, *arguments.sensitivity, static_cast<std::uint32_t>(ndat),
                                   static_cast<std::uint32_t>(parameters.size()), jacobian,
                                   grouped_rows(survey));
  }
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  return quelby::exit_status_of(
      [&] {
        // No run log before the arguments are known.
        std::ostream no_log(nullptr);
        return run(quelby::parse_forward_command_line({std::cout, std::cerr, no_log}, argc, argv));
      },
      print_details);
}
