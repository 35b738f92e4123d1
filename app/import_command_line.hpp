// The command line of quelby-import: options (the format, the error model, the filters; --help
// or -h, --version; "--" ends them), then the two positional arguments INPUT and OUTDIR.
#pragma once

#include <string>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_import.hpp"

namespace quelby {

struct ImportArguments {
  ImportOptions options;
  std::string input;
  std::string folder;
  bool quiet_checks = false;  // --quiet-checks: the checks' warnings only in import.log
};

// The arguments of a run, or writes its answer or message and throws Stop: status 0 after the
// help or the version, 2 after a usage error (an unknown format, a value that is not a number of
// the range its option takes, an option given twice).
ImportArguments parse_import_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
