// The command line of quelby-import: options (the format, the error model, the filters; --help
// or -h, --version; "--" ends them), then the positional arguments INPUT (one or more) and
// OUTDIR.
#pragma once

#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_import.hpp"

namespace quelby {

struct ImportArguments {
  ImportOptions options;
  std::string input;
  std::vector<std::string> more_inputs;  // the inputs after the first (a 3-D survey)
  std::string folder;
  // --2d, --3d, or told from the electrodes (3-D where they spread across the ground, or with
  // several inputs).
  enum class Dimension { automatic, two, three };
  Dimension dimension = Dimension::automatic;
  std::string survey_name = "survey3d.dat";  // --survey-name: the 3-D survey file's name
  double line_offset = 0;                    // --line-offset: m in y between the inputs' lines
  bool quiet_checks = false;  // --quiet-checks: the checks' warnings only in import.log
};

// The arguments of a run, or writes its answer or message and throws Stop: status 0 after the
// help or the version, 2 after a usage error (an unknown format, a value that is not a number of
// the range its option takes, an option given twice).
ImportArguments parse_import_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
