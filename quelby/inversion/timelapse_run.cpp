#include "quelby/inversion/timelapse_run.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/inversion/inversion_inputs.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_writer.hpp"

namespace quelby {
namespace {

std::string in_folder(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

// A step's folder, held (made when missing), and then its run log opened there: a run that holds
// the folder keeps its log.
OutputFolder hold_step_folder(const Io& io, const std::string& output, std::size_t step,
                              std::ofstream& log) {
  OutputFolder held = hold_output_folder(io, in_folder(output, timelapse_step_folder(step)));
  const std::string log_name = in_folder(held.path(), run_log_name);
  log.open(log_name, std::ios::out | std::ios::trunc);
  if (!log) {
    stop_with(io, Order::console_then_log, "\nError: cannot create the run log " + log_name + "\n");
  }
  return held;
}

// A survey's data: the store given (with values), else read from its file; deviations completed.
SurveyData load_data(const Io& io, const SurveyData* given, const std::string& name, bool use_z,
                     const std::optional<DataUncertainty>& uncertainty) {
  SurveyData survey;
  if (given != nullptr) {
    survey = *given;
    if (!survey.has_values || survey.dobs.size() != static_cast<std::size_t>(survey.ndat)) {
      stop_with(io, Order::console_then_log,
                "\nError: the data given as " + name + " hold no values.\n");
    }
  } else {
    read_data_file(io, name, false, use_z, true, survey);
  }
  complete_deviations(io, name, uncertainty, survey);
  return survey;
}

void check_run(const Io& io, const TimelapseRun& run) {
  if (run.inversion.invert != InversionTargets::dc || run.inversion.ip_data ||
      !trim_trailing_blanks(run.inversion.ip_data_file).empty()) {
    stop_with(io, Order::console_then_log,
              "\nError: a time-lapse inversion inverts DC data: what to invert must be DC, "
              "without IP data.\n");
  }
  if (!run.inversion.data && trim_trailing_blanks(run.inversion.data_file).empty()) {
    stop_with(io, Order::console_then_log,
              "\nError: a time-lapse inversion needs the baseline's DC data file.\n");
  }
  if (run.step_files.empty() && run.step_data.empty()) {
    stop_with(io, Order::console_then_log,
              "\nError: a time-lapse inversion needs the data of at least one step after the "
              "baseline.\n");
  }
  if (!(run.homogeneous >= 0) || !std::isfinite(run.homogeneous)) {
    stop_with(io, Order::console_then_log,
              "\nError: the homogeneous model of a ratio inversion needs a positive resistivity, "
              "not " +
                  shortest(run.homogeneous) + "\n");
  }
  if (!run.step_files.empty() && !run.step_data.empty() &&
      run.step_files.size() != run.step_data.size()) {
    internal_check_failed(io, "run_timelapse: step_files do not name every store of step_data");
  }
}

std::string data_name(const std::string& file, bool given, const std::string& otherwise) {
  const std::string name(trim_trailing_blanks(file));
  return given && name.empty() ? otherwise : name;
}

TimelapseSummaryLine summary_line(const std::string& name, const StageOutcome& outcome,
                                  std::span<const double> change) {
  TimelapseSummaryLine line;
  line.data_name = name;
  line.readings = static_cast<std::int32_t>(outcome.dobs.size());
  line.iterations = outcome.result.iterations;
  line.misfit = outcome.result.misfit_history.back();
  line.target_misfit = outcome.result.target_misfit;
  if (!change.empty()) {
    const auto [smallest, largest] = std::minmax_element(change.begin(), change.end());
    line.smallest_change = *smallest;
    line.largest_change = *largest;
  }
  return line;
}

// What every later step shares: the run, the description of its inversions, the baseline's data,
// their response (grouped order) and the baseline's outcome.
struct Campaign {
  const TimelapseRun& run;
  const InversionRun& shared;
  const SurveyData& baseline;
  const std::string& baseline_name;
  std::span<const double> response;
  const StageOutcome& base;
  double homogeneous = 0;
  const Mesh& mesh;
};

// Inverts step k into `step` (data_name set): its common readings and their description on the
// campaign's io, the data fitted, the inversion and the change in its held folder, whose run log
// step_io writes.
void invert_step(const Io& io, const Io& step_io, const Campaign& campaign, std::size_t k,
                 const OutputFolder& folder, TimelapseStepOutcome& step) {
  const TimelapseRun& run = campaign.run;
  const bool given = !run.step_data.empty();
  const SurveyData data = load_data(io, given ? &run.step_data[k - 1] : nullptr, step.data_name,
                                    run.inversion.use_z, run.inversion.data_uncertainty);
  step.step = timelapse_step(io, campaign.baseline, campaign.response, data, run.method,
                             campaign.baseline_name, step.data_name);

  InversionRun inversion = campaign.shared;
  inversion.data = step.step.data;
  inversion.data_file = step.data_name;
  inversion.output_folder = folder.path();
  if (run.method == TimelapseMethod::difference) {
    step.reference = campaign.base.model;
    inversion.starting = inversion.reference = ModelChoice::per_cell(step.reference);
    inversion.ref_in_derivatives = true;
  } else {
    step.reference.assign(campaign.base.model.size(), campaign.homogeneous);
    inversion.starting = inversion.reference = ModelChoice::uniform(campaign.homogeneous);
  }
  const std::string header =
      "! " + std::string(timelapse_method_name(run.method)) + " data of " + step.step.description;
  write_data_file(step_io, in_folder(folder.path(), step_data_name), header, step.step.data,
                  step.step.data.dobs, step.step.data.dstd);
  step.inversion = *run_inversion(step_io, inversion, folder).dc;
  step.change = change_percent(step.inversion.model, step.reference);
  Model change(campaign.mesh.nx, campaign.mesh.nz);
  std::copy(step.change.begin(), step.change.end(), change.values().begin());
  write_model(step_io, campaign.mesh, in_folder(folder.path(), change_model_name), change);
}

// "N of M steps after the baseline failed (step 2, step 5); the others were inverted."
std::string failed_steps_text(const std::vector<TimelapseSummaryLine>& summary,
                              std::int32_t failed) {
  std::string text = "\nError: " + std::to_string(failed) + " of " +
                     std::to_string(summary.size() - 1) + " steps after the baseline failed (";
  bool first = true;
  for (std::size_t k = 1; k < summary.size(); ++k) {
    if (summary[k].failure.empty()) continue;
    text += (first ? "step " : ", step ") + std::to_string(k);
    first = false;
  }
  return text + "); the others were inverted.\n";
}

// A change in percent in 12 columns, 4 decimals.
std::string percent_text(double value) {
  char field[16];
  format_exponent(value, 12, 4, field);
  return std::string(field, 12);
}

}  // namespace

std::string timelapse_step_folder(std::size_t step) {
  return "step_" + std::to_string(step);
}

TimelapseOutcome run_timelapse(const Io& io, const TimelapseRun& run) {
  // A run refused for its description makes no folder.
  check_run(io, run);
  const OutputFolder folder = hold_output_folder(io, run.inversion.output_folder);
  return run_timelapse(io, run, folder);
}

TimelapseOutcome run_timelapse(const Io& io, const TimelapseRun& run, const OutputFolder& folder) {
  check_run(io, run);
  if (folder.path() != run.inversion.output_folder) {
    internal_check_failed(io, "run_timelapse: the folder held is not the run's output folder");
  }
  const std::string& output = run.inversion.output_folder;
  TimelapseOutcome outcome;
  // The baseline reads the mesh, the ground and the grid; every step then takes them as stores.
  InversionRun shared = run.inversion;
  const std::string baseline_name =
      data_name(run.inversion.data_file, run.inversion.data.has_value(), "the DC data given");
  const SurveyData baseline =
      load_data(io, run.inversion.data ? &*run.inversion.data : nullptr, baseline_name,
                run.inversion.use_z, run.inversion.data_uncertainty);
  std::vector<TimelapseSummaryLine>& summary = outcome.summary;
  const std::string summary_name = in_folder(output, timelapse_summary_name);
  {
    write_message(io, Order::console_then_log, "\nstep 0, the baseline: " + baseline_name + "\n");
    std::ofstream log;
    const OutputFolder base_folder = hold_step_folder(io, output, 0, log);
    InversionRun base = shared;
    base.data = baseline;
    base.data_file = baseline_name;
    base.output_folder = base_folder.path();
    const InversionOutcome inverted = run_inversion({io.console, io.error, log}, base, base_folder);
    outcome.baseline = *inverted.dc;
    outcome.mesh = inverted.mesh;
    outcome.forward_mesh = inverted.forward_mesh;
    outcome.forward_ground = inverted.forward_ground;
    shared.mesh = inverted.forward_mesh;
    shared.topography = inverted.forward_ground;
    shared.grid = inverted.grid;
    shared.active = inverted.cells;
    shared.mesh_file.clear();
    shared.topography_file.clear();
    shared.active_file.clear();
    shared.parameter_file.clear();
    summary.push_back(summary_line(baseline_name, outcome.baseline, {}));
    write_timelapse_summary(io, summary_name, run.method, summary);
  }
  const Mesh& mesh = outcome.mesh;

  std::vector<double> response = outcome.baseline.result.predicted;
  if (run.method == TimelapseMethod::ratio) {
    std::tie(outcome.homogeneous, response) =
        homogeneous_response(io, outcome.forward_mesh, outcome.forward_ground.air_cells, baseline,
                             baseline_name, run.homogeneous);
  }
  const Campaign campaign{
      run, shared, baseline, baseline_name, response, outcome.baseline, outcome.homogeneous, mesh};
  const std::size_t step_count = std::max(run.step_files.size(), run.step_data.size());
  for (std::size_t k = 1; k <= step_count; ++k) {
    TimelapseStepOutcome step;
    step.data_name =
        data_name(run.step_files.empty() ? std::string() : run.step_files[k - 1],
                  !run.step_data.empty(), "the data given of step " + std::to_string(k));
    const std::string number = "step " + std::to_string(k);
    write_message(io, Order::console_then_log, "\n" + number + ": " + step.data_name + "\n");
    // Held till the step's last line is written in its run log.
    OutputFolder step_folder;
    std::ofstream log;
    try {
      step_folder = hold_step_folder(io, output, k, log);
      invert_step(io, {io.console, io.error, log}, campaign, k, step_folder, step);
    } catch (const Stop& stop) {
      // The message is written; its detail line would otherwise be lost with the stop.
      if (!stop.detail().empty()) io.error << stop.detail() << '\n';
      step.failure = failure_reason(stop.what());
      if (step.failure.empty()) step.failure = "stopped";
    }
    if (step.failure.empty()) {
      summary.push_back(summary_line(step.data_name, step.inversion, step.change));
      summary.back().dropped_from_step = step.step.dropped_from_step;
      summary.back().dropped_from_baseline = step.step.dropped_from_baseline;
      write_message(io, Order::console_then_log,
                    number + ": change from" + percent_text(summary.back().smallest_change) +
                        " % to" + percent_text(summary.back().largest_change) + " %\n");
    } else {
      ++outcome.failed_steps;
      TimelapseSummaryLine failed;
      failed.data_name = step.data_name;
      failed.failure = step.failure;
      summary.push_back(std::move(failed));
      const std::string line = number + " failed: " + step.failure + "\n";
      write_message(io, Order::console_then_log, line);
      if (log.is_open()) log << line;
    }
    write_timelapse_summary(io, summary_name, run.method, summary);
    if (run.keep_steps) outcome.steps.push_back(std::move(step));
  }
  if (outcome.failed_steps > 0) {
    write_message(io, Order::console_then_log, failed_steps_text(summary, outcome.failed_steps));
  }
  return outcome;
}

}  // namespace quelby
