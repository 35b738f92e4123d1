#include "app/forward_command_line.hpp"

#include <array>
#include <string_view>

#include "app/option_scanner.hpp"

namespace quelby {

namespace {

constexpr std::string_view usage_text =
    "\nUsage: quelby-forward [--topography FILE] [--active FILE] [--ip ETAFILE] "
    "[--sensitivity JFILE] [--z] MESH MODEL SURVEY OUT\n";

constexpr std::string_view help_text =
    "Usage: quelby-forward [--topography FILE] [--active FILE] [--ip ETAFILE]\n"
    "                      [--sensitivity JFILE] [--z] MESH MODEL SURVEY OUT\n"
    "       quelby-forward -h | --help | --version\n"
    "\n"
    "Computes the data of a 2-D resistivity model for the electrodes of a survey: for every datum\n"
    "the potential difference between M and N of a unit current entering at A and leaving at B,\n"
    "in ohms (V/A), from the 2.5-D finite-element solution on the mesh. MESH is a mesh file, "
    "MODEL\n"
    "a model file of resistivities in ohm-m, SURVEY a survey data file of either layout (its\n"
    "values, if any, are ignored). OUT is written as a data file in the general layout: a header\n"
    "line, then \"A B M N value\" for every datum in the survey file's order (replaced if it\n"
    "exists); with --z in the common-current layout with z positions, which --z reads back.\n"
    "\n"
    "A 3-D survey file (first line GENERAL_3D) is modelled in 3-D: MESH a 3-D mesh file (as\n"
    "quelby-mesh writes for the survey), MODEL and ETAFILE 3-D model files, --topography and\n"
    "--active 3-D files; OUT is written as a 3-D survey file, and the mesh's counts, the nodes,\n"
    "the factor's entries and the times are printed.\n"
    "\n"
    "Options:\n"
    "  --topography FILE    the cells above this topography's ground surface are air; an\n"
    "                       electrode given by x alone stands on the surface\n"
    "  --active FILE        inactive and influence cells of this active-cell file conduct with\n"
    "                       their model values and are no parameters of --sensitivity\n"
    "  --ip ETAFILE         write the linearised IP response of this model file of\n"
    "                       chargeabilities instead: apparent chargeabilities (secondary\n"
    "                       potentials for data of IPTYPE 2)\n"
    "  --sensitivity JFILE  also write d(datum)/d(ln resistivity) of every datum for every\n"
    "                       parameter, in ohms, as a binary file (see the manual page)\n"
    "  --z                  the survey file, in the common-current layout, carries a z position\n"
    "                       after every x (buried electrodes)\n"
    "  -h, --help           print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby-forward\n";

constexpr std::array<OptionSpec, 5> options = {{{"--topography", "a file name"},
                                                {"--active", "a file name"},
                                                {"--ip", "a file name"},
                                                {"--sensitivity", "a file name"},
                                                {"--z", ""}}};

}  // namespace

ForwardArguments parse_forward_command_line(const Io& io, int argc, const char* const* argv) {
  const CommandText text{"quelby-forward", usage_text, help_text};
  const ScannedLine line = scan_command_line(io, text, options, 4, argc, argv);
  ForwardArguments arguments;
  arguments.topography = line.value("--topography");
  arguments.active = line.value("--active");
  arguments.chargeability = line.value("--ip");
  arguments.sensitivity = line.value("--sensitivity");
  arguments.use_z = line.has("--z");
  arguments.mesh_name = line.positional[0];
  arguments.model_name = line.positional[1];
  arguments.survey_name = line.positional[2];
  arguments.output_name = line.positional[3];
  return arguments;
}

}  // namespace quelby
