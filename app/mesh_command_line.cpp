#include "app/mesh_command_line.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "app/option_scanner.hpp"

namespace quelby {

namespace {

constexpr std::string_view usage_text =
    "\nUsage: quelby-mesh [--cell W] [--depth D] [--depth-growth G] [--padding N] [--z]\n"
    "                   [--topography FILE] [--parameters FILE [--parameter-cell W]]\n"
    "                   SURVEY MESHFILE\n";

constexpr std::string_view help_text =
    "Usage: quelby-mesh [--cell W] [--depth D] [--depth-growth G] [--padding N] [--z]\n"
    "                   [--topography FILE] [--parameters FILE [--parameter-cell W]]\n"
    "                   [--cells N] SURVEY MESHFILE\n"
    "       quelby-mesh -h | --help | --version\n"
    "\n"
    "Writes a mesh file for the electrodes of a survey data file (either layout): square core\n"
    "cells under the electrodes and 4 cells beyond the first and the last, rows of core cells\n"
    "through the ground's relief and 4 below it, then rows growing by 1.1 to a core depth, then\n"
    "padding cells growing by a factor of 1.3 towards both sides and the bottom. MESHFILE is\n"
    "replaced if it exists.\n"
    "\n"
    "A 3-D survey file (first line GENERAL_3D) gets a 3-D mesh file, the mesh quelby-invert makes\n"
    "for it: every electrode coordinate a node along x and y, core cells of half the smallest\n"
    "spacing and two beyond the outermost electrodes, padding cells growing by 1.3 to four times\n"
    "the survey's extent, layers thin at the ground thickening with depth; by default scaled to\n"
    "about 100000 cells. --cell, --depth, --depth-growth, --cells, --topography (a 3-D\n"
    "topography file), --parameters and --parameter-cell apply; the cell counts are printed.\n"
    "\n"
    "Options:\n"
    "  --cell W       core cell width in m (default: a quarter of the smallest spacing between\n"
    "                 electrodes along x); the width is adjusted so that whole cells span the\n"
    "                 electrodes\n"
    "  --depth D      core depth in m (default: three quarters of the survey's largest electrode\n"
    "                 separation, at least 4 cells, and at least 4 cells below the deepest\n"
    "                 electrode)\n"
    "  --depth-growth G  height ratio of neighbouring core rows below the fine rows, 1 to 2\n"
    "                 (default 1.1; 1: every core row a core cell; buried electrodes keep\n"
    "                 rows graded around them)\n"
    "  --parameters FILE  also writes the parameter grid quelby-invert inverts on: cells of\n"
    "                 forward cells, half the smallest electrode spacing wide under the\n"
    "                 electrodes and growing outside them, layers a quarter of the spacing\n"
    "                 thick at the ground, each 1.1 times the one above\n"
    "  --parameter-cell W  the parameter grid's cell width in m under the electrodes (default:\n"
    "                 half the smallest spacing)\n"
    "  --padding N    padding cells on each side and below, 1 to 100 (default: as many as reach\n"
    "                 five times the larger of the line length and the core depth)\n"
    "  --cells N      3-D surveys: scale the core cells and layers to a mesh of about N cells\n"
    "                 (default 100000 unless --cell is given)\n"
    "  --z            the survey file, in the common-current layout, carries a z position after\n"
    "                 every x (buried electrodes); cells around every electrode are then no\n"
    "                 wider than a quarter of the distance to its nearest other electrode\n"
    "  --topography FILE\n"
    "                 the ground surface: the mesh starts at the highest ground and its core\n"
    "                 reaches the core depth below the lowest ground under the electrodes\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby-mesh\n";

constexpr std::array<OptionSpec, 9> options = {{{"--cell", "a width in metres"},
                                                {"--cells", "a number of cells"},
                                                {"--depth", "a depth in metres"},
                                                {"--depth-growth", "a ratio"},
                                                {"--parameters", "a file name"},
                                                {"--parameter-cell", "a width in metres"},
                                                {"--padding", "a number of cells"},
                                                {"--z", ""},
                                                {"--topography", "a file name"}}};

constexpr int most_padding_cells = 100;

// The whole of `text` as a number of type T, or false.
template <typename T>
bool parse_whole(std::string_view text, T& value) {
  const char* const end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

MeshArguments parse_mesh_command_line(const Io& io, int argc, const char* const* argv) {
  const CommandText text{"quelby-mesh", usage_text, help_text};
  const ScannedLine line = scan_command_line(io, text, options, 2, argc, argv);
  const auto refuse = [&](std::string_view option, std::string_view what, std::string_view given) {
    command_usage_error(io, text,
                        "quelby-mesh: option '" + std::string(option) + "' needs " +
                            std::string(what) + ", not '" + std::string(given) + "'");
  };
  MeshArguments arguments;
  for (const auto& [option, field] : {std::pair{"--cell", &SurveyMeshOptions::cell_width},
                                      std::pair{"--depth", &SurveyMeshOptions::core_depth}}) {
    const auto given = line.value(option);
    if (!given) continue;
    double value = 0;
    if (!parse_whole(*given, value) || !(value > 0) || !std::isfinite(value))
      refuse(option, "a positive number of metres", *given);
    arguments.mesh.*field = value;
  }
  if (const auto given = line.value("--padding")) {
    int count = 0;
    if (!parse_whole(*given, count) || count < 1 || count > most_padding_cells)
      refuse("--padding", "a whole number of cells from 1 to 100", *given);
    arguments.mesh.padding_cells = count;
  }
  if (const auto given = line.value("--cells")) {
    std::int64_t count = 0;
    if (!parse_whole(*given, count) || count < 1)
      refuse("--cells", "a whole number of cells, at least 1", *given);
    arguments.cell_budget = count;
  }
  if (const auto given = line.value("--depth-growth")) {
    double value = 0;
    if (!parse_whole(*given, value) || !(value >= 1) || !(value <= 2))
      refuse("--depth-growth", "a ratio from 1 to 2", *given);
    arguments.mesh.depth_growth = value;
  }
  if (const auto given = line.value("--parameters")) arguments.parameters = std::string(*given);
  if (const auto given = line.value("--parameter-cell")) {
    double value = 0;
    if (!parse_whole(*given, value) || !(value > 0) || !std::isfinite(value))
      refuse("--parameter-cell", "a positive number of metres", *given);
    if (!arguments.parameters) {
      command_usage_error(io, text, "quelby-mesh: option '--parameter-cell' needs --parameters");
    }
    arguments.parameter_cell = {ParameterCellChoice::Kind::width, value};
  }
  arguments.use_z = line.has("--z");
  if (const auto given = line.value("--topography")) arguments.topography = std::string(*given);
  arguments.survey_name = line.positional[0];
  arguments.mesh_name = line.positional[1];
  return arguments;
}

}  // namespace quelby
