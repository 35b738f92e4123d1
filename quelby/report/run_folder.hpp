// What a run's folder tells beside its models: the iteration history files, the run log's reading
// lines, stop reasons, timings and robust and depth-of-investigation summaries, a time-lapse
// campaign's summary (timelapse.txt), and the reciprocal-error models of an import log. Readers of
// text only; the report decides what to draw.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby {

// history.txt: one row per iteration 0..niter.
struct IterationHistory {
  std::vector<std::int32_t> iteration;
  std::vector<double> misfit, norm, beta;
  double target_misfit = 0;
  std::int32_t ndat = 0;
};

// Reads the history file `name`. A file that cannot be read or does not hold what
// write_iteration_history writes (its header count, that many rows plus one, the target and the
// number of data) writes "Error: the history file <name> is damaged: <why>" (console, then log)
// and throws Stop (status 1).
IterationHistory read_iteration_history(const Io& io, const std::string& name);

// The lines of a run log the report shows, each without its line end; file names as written.
struct RunLogSummary {
  std::string control_file;             // "control file was read from: "
  std::string mesh_file;                // "mesh was read from: " (2-D)
  std::string topography_file;          // "topography was read from: "
  std::vector<std::string> data_files;  // "data were read from: ", in order (DC first, then IP)
  std::string survey3d_file;            // the first "3-D survey data were read from file: "
  std::string mesh3d_file;              // "3-D mesh was read from file: "
  std::vector<std::string> outcomes;    // "DC inversion: ...", "IP inversion: ..." stop lines
  std::vector<std::string> errors;      // lines starting with "Error", "ERROR" or "Warning"
  std::vector<std::string> timings;     // "... inversion time: ..."
  std::vector<std::string> robust;      // the robust misfit's count and its datum lines
  std::vector<std::string> doi;         // the depth of investigation's lines
  std::vector<std::string> steps;       // a campaign's "step K ..." lines
};

// Picks the report's lines out of a run log's text. Linear in the text.
RunLogSummary summarise_run_log(std::string_view text);

// One row of timelapse.txt.
struct TimelapseSummaryRow {
  std::int32_t step = 0;
  bool failed = false;
  std::int32_t readings = 0, dropped_step = 0, dropped_baseline = 0, iterations = 0;
  double misfit = 0, target_misfit = 0, smallest_change = 0, largest_change = 0;
  std::string data_file;
  std::string reason;  // of a failed step
};

// Reads timelapse.txt; a line that is neither a comment nor a step's writes "Error: the time-lapse
// summary <name> is damaged: line <k>" (console, then log) and throws Stop.
std::vector<TimelapseSummaryRow> read_timelapse_summary(const Io& io, const std::string& name);

// A reciprocal-error model of an import log: the bins' mean |R| and mean error and the two fits,
// e = a + b |R| and e = a |R|^b, with the one kept.
struct ErrorModelFit {
  std::string title;  // the log's line: "error model of the resistances, fitted to ..."
  std::string unit;   // of e: "ohm", "mV/V"
  std::vector<double> mean_resistance, mean_error;
  double linear_a = 0, linear_b = 0, power_a = 0, power_b = 0;
  bool has_linear = false, has_power = false;
  bool power_kept = false;
};

// The error models of an import log's text, in order; none when it fitted none.
std::vector<ErrorModelFit> error_models_of_import_log(std::string_view text);

// The lines of `text` (without line ends).
std::vector<std::string> text_lines(std::string_view text);

// The whole file `name`, or false when it cannot be read.
bool read_whole_file(const std::string& name, std::string& text);

}  // namespace quelby
