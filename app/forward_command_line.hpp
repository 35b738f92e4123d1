// The command line of quelby-forward: options (--topography FILE, --active FILE, --ip ETAFILE,
// --sensitivity JFILE, --z, --help or -h, --version; "--" ends them), then the four positional
// arguments MESH, MODEL, SURVEY and OUT.
#pragma once

#include <optional>
#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

struct ForwardArguments {
  std::optional<std::string> topography;     // --topography FILE
  std::optional<std::string> active;         // --active FILE
  std::optional<std::string> chargeability;  // --ip ETAFILE
  std::optional<std::string> sensitivity;    // --sensitivity JFILE
  bool use_z = false;                        // --z: the survey file carries z positions
  std::string mesh_name;
  std::string model_name;
  std::string survey_name;
  std::string output_name;
};

// The arguments of a run, or writes its answer or message and throws Stop: status 0 after the
// help or the version, 2 after a usage error. Writes nothing to the run log.
ForwardArguments parse_forward_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
