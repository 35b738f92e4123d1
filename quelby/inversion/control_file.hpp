// The control file of an inversion: one item per line in a fixed order (mesh, DC data, IP data,
// topography, active cells, starting model, reference model, alpha, weights, dipping, chifact,
// iteration limit, what to invert, output folder), then optional keyword lines (data_std, ip_std,
// ip_starting, ip_reference, ip_alpha). Comment lines ("!" or "%" first), blank lines and
// end-of-line comments after "!" are skipped. The syntax of every line is in doc/formats.md.
#pragma once

#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/inversion/inversion_run.hpp"

namespace quelby {

// Lines that the caller fills itself (the command's options): such a line must be there, and
// nothing on it is read or checked.
struct ControlOverrides {
  bool mesh = false;
  bool data = false;
  bool ip_data = false;
  bool topography = false;
  bool output_folder = false;
};

// Reads the control file `name` (trailing blanks ignored) into a run description and writes
// "control file was read from: <name>" to the run log. Input files named on its lines must exist
// (read_input_file_name checks them). A line that is missing or wrong writes
// "Error: control file <name>, line <n>: <what was expected>" (console, then run log), after the
// message of read_input_file_name for a file that does not exist, and throws Stop with a detail
// line that shows what the line held. Lines are read up to their 500th character.
InversionRun read_control_file(const Io& io, std::string_view name,
                               const ControlOverrides& overrides = {});

}  // namespace quelby
