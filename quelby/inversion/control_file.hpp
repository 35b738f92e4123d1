// The control file of an inversion: one item per line in a fixed order (mesh, DC data, IP data,
// topography, active cells, starting model, reference model, alpha, weights, dipping, chifact,
// iteration limit, what to invert, output folder), then optional keyword lines (data_std, ip_std,
// ip_starting, ip_reference, ip_alpha, use_z, ...; for a time-lapse inversion timelapse_step, once
// per later step in time order, and timelapse_method; doi and doi_factor for the depth of
// investigation). Comment lines ("!" or "%" first), blank
// lines and end-of-line comments after "!" are skipped. The syntax of every line is in
// doc/formats.md.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/inversion/depth_of_investigation.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/inversion/timelapse.hpp"

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

// The time-lapse lines of a control file: the later steps' data files in time order (the data line
// holds the baseline's), the method and, for the ratio, the homogeneous model's resistivity (0:
// the baseline's median apparent resistivity). No step: an ordinary inversion.
struct TimelapseControl {
  std::vector<std::string> step_files;
  TimelapseMethod method = TimelapseMethod::difference;
  double homogeneous = 0;
};

// The depth-of-investigation lines of a control file: `doi` asks for the index, `doi_factor F` (F >
// 1) sets how far apart its references lie and asks for it too.
struct DoiControl {
  bool on = false;
  double factor = default_doi_factor;
};

// An input file named on a line of a control file, where it is written: the line (from 1), the
// column its name starts at (from 0), the name as written and the reader's label of the item
// ("mesh", "data", "IP data", "topography", "active cell", "starting model", "weighting", ...).
struct ControlInputName {
  std::int32_t line = 0;
  std::size_t column = 0;
  std::string name;
  std::string label;
};

// Reads the control file `name` (trailing blanks ignored) into a run description and writes
// "control file was read from: <name>" to the run log. Input files named on its lines must exist
// (read_input_file_name checks them). A line that is missing or wrong writes
// "Error: control file <name>, line <n>: <what was expected>" (console, then run log), after the
// message of read_input_file_name for a file that does not exist, and throws Stop with a detail
// line that shows what the line held. Lines are read up to their 500th character. The time-lapse
// lines are read into `timelapse`, the depth-of-investigation lines into `doi`; without them they
// are refused as unknown keywords. Every input file the file names (those of the lines the
// overrides replace aside) goes to `inputs` when given, in the file's order.
InversionRun read_control_file(const Io& io, std::string_view name,
                               const ControlOverrides& overrides = {},
                               TimelapseControl* timelapse = nullptr, DoiControl* doi = nullptr,
                               std::vector<ControlInputName>* inputs = nullptr);

}  // namespace quelby
