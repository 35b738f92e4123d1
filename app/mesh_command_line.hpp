// The command line of quelby-mesh: options (--cell W, --depth D, --depth-growth G, --padding N,
// --cells N, --z, --topography FILE, --parameters FILE, --parameter-cell W, --help or -h,
// --version; "--" ends them), then the two positional arguments SURVEY and MESHFILE.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quelby/base/io.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/survey_mesh.hpp"

namespace quelby {

struct MeshArguments {
  // The core cell width, core depth and padding count (0 where the option is not given: the
  // defaults of mesh_for_survey).
  SurveyMeshOptions mesh;
  std::int64_t cell_budget = 0;           // --cells N (3-D surveys): about N cells; 0 not given
  bool use_z = false;                     // --z: the survey file carries z positions
  std::optional<std::string> topography;  // --topography FILE
  std::optional<std::string> parameters;  // --parameters FILE: the parameter grid's file
  ParameterCellChoice parameter_cell{ParameterCellChoice::Kind::automatic, 0};
  std::string survey_name;
  std::string mesh_name;
};

// The arguments of a run, or writes its answer or message and throws Stop: status 0 after the
// help or the version, 2 after a usage error (a width or depth that is not a positive number, a
// padding count that is not a whole number from 1 to 100 among them).
MeshArguments parse_mesh_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
