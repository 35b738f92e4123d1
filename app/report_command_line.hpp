// The command line of quelby-report: the run folder OUTDIR, --out FILE (the page's name; default
// OUTDIR/report.html), --help or -h, --version; "--" ends the options.
#pragma once

#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

struct ReportArguments {
  std::string folder;
  std::string out;  // "" for OUTDIR/report.html
};

// The arguments of a run, or writes its answer or message and throws Stop: status 0 after the
// help or the version, 2 after a usage error (no folder, two folders, an unknown option, --out
// without a name or given twice). Writes nothing to the run log.
ReportArguments parse_report_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
