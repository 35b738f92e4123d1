// The command line of quelby-invert: options (--mesh FILE, --data FILE, --ip-data FILE,
// --topography FILE, --out DIR, --error PCT, --error-floor OHMS, --ip-error PCT,
// --ip-error-floor FLOOR, --robust[=THRESHOLD], --blocky, --memory-budget MIB, --z, --doi[=F],
// --parameter-cell mesh|auto|W, --parameters FILE, --ip-lower-bound V, --report, --help or -h,
// --version; "--" ends them) and at most one control file, in any order. parse_invert_command_line
// turns it into the typed arguments of a run, or writes its answer or its message and throws Stop.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

// Each name without its trailing blanks.
struct InvertArguments {
  std::optional<std::string> mesh;        // --mesh FILE
  std::optional<std::string> data;        // --data FILE: DC data
  std::optional<std::string> ip_data;     // --ip-data FILE
  std::optional<std::string> topography;  // --topography FILE
  std::optional<std::string> out;         // --out DIR
  std::optional<std::string> control;     // the control file
  // --error PCT, --error-floor OHMS, --ip-error PCT, --ip-error-floor FLOOR: standard deviations
  // for data files without them (0 where one of a pair is not given).
  std::optional<double> error_percent, error_floor, ip_error_percent, ip_error_floor;
  bool robust = false;                       // --robust[=THRESHOLD]: a robust data misfit
  std::optional<double> robust_threshold;    // in its range (sound_robust_threshold)
  bool blocky = false;                       // --blocky: a blocky model
  bool use_z = false;                        // --z: data files with z positions (buried electrodes)
  std::optional<std::size_t> memory_budget;  // --memory-budget MIB, in bytes (parse_memory_budget)
  // --parameter-cell mesh|auto|W: the parameter grid (without a control file the default grid).
  std::optional<std::string> parameter_cell;
  std::optional<std::string> parameters;  // --parameters FILE: a parameter grid's mesh file
  std::optional<double> ip_lower_bound;   // --ip-lower-bound V: the lowest chargeability (<= 0)
  bool doi = false;                       // --doi[=F]: the depth of investigation
  std::optional<double> doi_factor;       // F > 1, how far apart its references lie
  bool report = false;                    // --report: DIR/report.html at the end of the run
};

// The arguments of a run. Otherwise writes through write_message and throws Stop with the exit
// status: 0 after the help or the version on the console; 2 after a usage error (a line saying
// what is wrong on the error stream, then the usage message on the console). Without a control
// file --data is needed. Writes nothing to the run log.
InvertArguments parse_invert_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
