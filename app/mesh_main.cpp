// quelby-mesh [options] SURVEY MESHFILE: a mesh file for the electrodes of a survey data file,
// square core cells under the electrodes and padding cells growing towards the sides and the
// bottom (mesh_for_survey; under a topography's ground with --topography), written by write_mesh.
#include <cerrno>
#include <cstring>
#include <iostream>

#include "app/command_exit.hpp"
#include "app/mesh_command_line.hpp"
#include "app/run_log.hpp"
#include "app/survey_positions.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/survey_data.hpp"

namespace {

// A reader's stop is followed by its detail line: this command has no older form to keep.
const bool print_details = true;

int run(const quelby::MeshArguments& arguments) {
  quelby::TemporaryRunLog log;
  if (!log.is_open()) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  const quelby::Io io{std::cout, std::cerr, log.stream()};
  quelby::SurveyData survey;
  quelby::read_survey_positions(io, arguments.survey_name, arguments.use_z, survey);
  const quelby::Mesh mesh =
      arguments.topography
          ? quelby::mesh_for_survey_under_ground(io, survey, *arguments.topography, arguments.mesh)
          : quelby::mesh_for_survey(io, survey, arguments.mesh);
  quelby::write_mesh(io, arguments.mesh_name, mesh);
  if (arguments.parameters) {
    // The grid as quelby-invert makes it: under the highest ground, over the survey's electrodes.
    quelby::Topography ground;
    quelby::read_topography(io, arguments.topography.has_value(), arguments.topography.value_or(""),
                            mesh.x_nodes, mesh.z_nodes, ground);
    const quelby::ParameterGrid grid =
        quelby::parameter_grid(io, mesh, quelby::survey_electrode_x(survey),
                               quelby::highest_ground(mesh, ground.air_cells),
                               arguments.parameter_cell, quelby::survey_electrode_z(survey));
    quelby::write_mesh(io, *arguments.parameters, grid.mesh);
  }
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  return quelby::exit_status_of(
      [&] {
        // No run log before the arguments are known.
        std::ostream no_log(nullptr);
        return run(quelby::parse_mesh_command_line({std::cout, std::cerr, no_log}, argc, argv));
      },
      print_details);
}
