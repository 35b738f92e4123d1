// quelby-mesh [options] SURVEY MESHFILE: a mesh file for the electrodes of a survey data file,
// square core cells under the electrodes and padding cells growing towards the sides and the
// bottom (mesh_for_survey; under a topography's ground with --topography), written by write_mesh.
// A 3-D survey file gets the 3-D mesh quelby-invert makes for it (survey_mesh3d, write_mesh3d).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "app/command_exit.hpp"
#include "app/forward_survey3d.hpp"
#include "app/mesh_command_line.hpp"
#include "app/run_log.hpp"
#include "app/survey_positions.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/parameter_grid3d.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/inversion/inversion_run3d.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/survey_data.hpp"

namespace {

// A reader's stop is followed by its detail line: this command has no older form to keep.
const bool print_details = true;

// The mesh quelby-invert makes for a 3-D survey when it is given no mesh file.
constexpr std::int64_t default_cell_budget3d = 100000;

std::string counts_text(const quelby::Mesh3D& mesh) {
  return std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) + " x " +
         std::to_string(mesh.nz) + " = " + std::to_string(mesh.cell_count()) + " cells";
}

// The smallest distance between two distinct electrodes: the parameter cell quelby-invert takes
// for a 3-D survey by default (infinite for a single electrode). Quadratic in electrodes.
double smallest_spacing(const quelby::Survey3D& survey) {
  double best = std::numeric_limits<double>::infinity();
  const auto& e = survey.electrodes;
  for (std::size_t i = 0; i < e.size(); ++i) {
    for (std::size_t j = i + 1; j < e.size(); ++j) {
      const double d = std::hypot(e[i].x - e[j].x, e[i].y - e[j].y, e[i].z - e[j].z);
      if (d > 0) best = std::min(best, d);
    }
  }
  return best;
}

int run3d(const quelby::Io& io, const quelby::MeshArguments& arguments) {
  using quelby::Order;
  // Options of a section that a 3-D mesh has no use for are refused rather than ignored.
  for (const auto& [given, option] : {std::pair{arguments.use_z, "--z"},
                                      std::pair{arguments.mesh.padding_cells > 0, "--padding"}}) {
    if (given) {
      quelby::stop_with(io, Order::console_then_log,
                        "\nError: " + std::string(option) + " applies to 2-D survey files, and " +
                            arguments.survey_name + " is a 3-D survey file.\n");
    }
  }
  quelby::Survey3D survey;
  quelby::read_survey3d_positions(io, arguments.survey_name, survey);
  quelby::SurveyMesh3DOptions options;
  options.cell_width = arguments.mesh.cell_width;
  options.core_depth = arguments.mesh.core_depth;
  options.depth_growth = arguments.mesh.depth_growth;
  // A chosen cell width is kept as it is unless a budget is asked for as well.
  options.cell_budget = arguments.cell_budget > 0       ? arguments.cell_budget
                        : arguments.mesh.cell_width > 0 ? 0
                                                        : default_cell_budget3d;
  quelby::Topography3D topography;
  if (arguments.topography) {
    quelby::read_topography3d(io, true, *arguments.topography, topography);
    // The mesh starts at the highest ground, its layers thin through the relief below it.
    double top = std::numeric_limits<double>::infinity(), bottom = -top;
    for (const double elevation : topography.elevation) {
      const double z = topography.reference_elevation - elevation;
      top = std::min(top, z);
      bottom = std::max(bottom, z);
    }
    options.top = top;
    options.relief = bottom - top;
  }
  const quelby::Mesh3D mesh = quelby::survey_mesh3d(io, survey, options);
  quelby::write_mesh3d(io, arguments.mesh_name, mesh);
  quelby::write_message(io, Order::console_then_log, "3-D mesh: " + counts_text(mesh) + "\n");
  if (arguments.parameters) {
    // The grid as quelby-invert makes it: under the highest ground, over the survey's electrodes.
    std::vector<std::int32_t> air(static_cast<std::size_t>(mesh.nx) * mesh.ny, 0);
    if (arguments.topography) {
      topography.flat_z = mesh.z_nodes[0];
      air = quelby::air_cells_3d(io, mesh, topography);
    }
    double ground_top = std::numeric_limits<double>::infinity();
    for (const std::int32_t a : air) ground_top = std::min(ground_top, mesh.z_nodes[a]);
    const double width = arguments.parameter_cell.kind == quelby::ParameterCellChoice::Kind::width
                             ? arguments.parameter_cell.width
                             : smallest_spacing(survey);
    const quelby::ParameterGrid3D grid = quelby::parameter_grid3d(
        io, mesh, survey.electrodes, ground_top, std::isfinite(width) ? width : 0.0);
    quelby::write_mesh3d(io, *arguments.parameters, grid.mesh);
    quelby::write_message(io, Order::console_then_log,
                          "parameter grid: " + counts_text(grid.mesh) + "\n");
  }
  return quelby::exit_success;
}

int run(const quelby::MeshArguments& arguments) {
  quelby::TemporaryRunLog log;
  if (!log.is_open()) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  const quelby::Io io{std::cout, std::cerr, log.stream()};
  if (quelby::is_survey3d_file(arguments.survey_name)) return run3d(io, arguments);
  if (arguments.cell_budget > 0) {
    quelby::stop_with(io, quelby::Order::console_then_log,
                      "\nError: --cells applies to 3-D survey files, and " + arguments.survey_name +
                          " is not one.\n");
  }
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
