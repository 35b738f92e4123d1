#include "quelby/inversion/depth_of_investigation.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/mesh/model.hpp"

namespace quelby {
namespace {

std::string in_folder(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

// A factor in 4 significant digits ("3.162").
std::string factor_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

std::string exponent_text(double value) {
  char field[16];
  format_exponent(value, 12, 5, field);
  return std::string(field, 12);
}

// One further inversion: `run` on DC data alone with `reference` as its starting and reference
// model, in `folder` with its own run log, its console kept apart. A stop is announced on the
// run's console and log, naming the run, with the stop's message, and thrown on.
StageOutcome further_run(const Io& io, const InversionRun& run, std::vector<double> reference,
                         const std::string& folder, const std::string& label) {
  InversionRun further = run;
  further.invert = InversionTargets::dc;
  further.ip_data.reset();
  further.ip_data_file.clear();
  further.output_folder = folder;
  further.starting = ModelChoice::per_cell(reference);
  further.reference = ModelChoice::per_cell(std::move(reference));
  make_output_folder(io, folder);
  const std::string log_name = in_folder(folder, run_log_name);
  std::ofstream log(log_name, std::ios::out | std::ios::trunc);
  if (!log) {
    stop_with(io, Order::console_then_log, "\nError: cannot create the run log " + log_name + "\n");
  }
  std::ostringstream console;
  try {
    const InversionOutcome outcome = run_inversion({console, io.error, log}, further);
    log.flush();
    if (!log) write_failed(io, "run log", log_name, errno);
    return *outcome.dc;
  } catch (const Stop& stop) {
    write_message(io, Order::console_then_log,
                  "\nError: the depth-of-investigation inversion with the " + label +
                      " stopped (its files and run log are in " + folder + "):" + stop.what());
    throw;
  }
}

std::string run_line(const std::string& label, const std::string& folder,
                     const StageOutcome& outcome) {
  const InversionResult& result = outcome.result;
  return "  " + label + " (" + folder + "): " + stop_reason_text(result.stop) + " after " +
         std::to_string(result.iterations) +
         (result.iterations == 1 ? " iteration" : " iterations") + ", misfit" +
         exponent_text(result.misfit_history.back()) + ", target" +
         exponent_text(result.target_misfit) + "\n";
}

}  // namespace

std::vector<double> doi_index(std::span<const double> low_model, std::span<const double> high_model,
                              std::span<const double> low_reference,
                              std::span<const double> high_reference, double* largest) {
  const std::size_t count = low_model.size();
  std::vector<double> index(count, doi_no_parameter);
  double most = 0;
  for (std::size_t cell = 0; cell < count; ++cell) {
    if (std::isnan(low_reference[cell]) || std::isnan(high_reference[cell])) continue;
    const double change = std::log10(low_model[cell]) - std::log10(high_model[cell]);
    const double apart = std::log10(low_reference[cell]) - std::log10(high_reference[cell]);
    index[cell] = std::abs(change / apart);
    most = std::max(most, index[cell]);
  }
  if (largest != nullptr) *largest = most;
  // A few cells beside the line's ends overshoot (their models lie further apart than their
  // references): as unconstrained as a cell can be, they count as 1 and do not shrink the scale of
  // every other cell. Dividing by the largest value left lifts the index to 1 where a weak
  // reference term lets R stay below 1 even where the data see nothing.
  const double scale = std::min(most, 1.0);
  if (scale > 0) {
    for (double& value : index) {
      if (value != doi_no_parameter) value = std::min(value, 1.0) / scale;
    }
  }
  return index;
}

void check_depth_of_investigation(const Io& io, const InversionRun& run, double factor) {
  if (run.invert == InversionTargets::ip) {
    stop_with(io, Order::console_then_log,
              "\nError: the depth of investigation comes from DC inversions: an IP inversion alone "
              "has none (what to invert: DC or both).\n");
  }
  if (!(factor > 1) || !std::isfinite(factor)) {
    stop_with(io, Order::console_then_log,
              "\nError: the depth of investigation needs references a factor above 1 apart, not " +
                  (std::isnan(factor) ? std::string("NaN") : shortest(factor)) + ".\n");
  }
}

DepthOfInvestigation depth_of_investigation(const Io& io, const InversionRun& run,
                                            const InversionOutcome& first, double factor) {
  check_depth_of_investigation(io, run, factor);
  const std::size_t count = static_cast<std::size_t>(first.mesh.nx) * first.mesh.nz;
  if (!first.dc || first.dc->model.size() != count || first.dc_reference.size() != count) {
    internal_check_failed(io, "depth_of_investigation: the first run has no DC model on its mesh");
  }
  DepthOfInvestigation result;
  result.factor = factor;
  const double root = std::sqrt(factor);
  // The parameters start from and are drawn towards their reference; every other cell keeps what
  // the first run gave it, so the three runs differ in the reference alone.
  std::vector<double> low_reference(count), high_reference(count);
  std::vector<double> low_values(count), high_values(count);
  for (std::size_t cell = 0; cell < count; ++cell) {
    const double reference = first.dc_reference[cell];
    low_reference[cell] = reference / root;
    high_reference[cell] = reference * root;
    const bool parameter = !std::isnan(reference);
    low_values[cell] = parameter ? low_reference[cell] : first.dc->model[cell];
    high_values[cell] = parameter ? high_reference[cell] : first.dc->model[cell];
  }
  const std::string root_text = factor_text(root);
  const std::string low_label = "reference / " + root_text;
  const std::string high_label = "reference * " + root_text;
  write_message(io, Order::log_only,
                "\ndepth of investigation: two more DC inversions, the reference / " + root_text +
                    " and * " + root_text + " (a factor " + factor_text(factor) + " apart)\n");
  const std::string low_folder = in_folder(run.output_folder, doi_low_folder);
  const std::string high_folder = in_folder(run.output_folder, doi_high_folder);
  result.low = further_run(io, run, std::move(low_values), low_folder, low_label);
  result.high = further_run(io, run, std::move(high_values), high_folder, high_label);

  result.index = doi_index(result.low.model, result.high.model, low_reference, high_reference,
                           &result.largest);
  Model model(first.mesh.nx, first.mesh.nz);
  std::copy(result.index.begin(), result.index.end(), model.values().begin());
  const std::string name = in_folder(run.output_folder, doi_model_name);
  write_model(io, first.mesh, name, model);

  std::size_t parameters = 0, constrained = 0;
  for (const double value : result.index) {
    if (value == doi_no_parameter) continue;
    ++parameters;
    if (value < 0.2) ++constrained;
  }
  const bool reached = result.low.result.stop == StopReason::target_reached &&
                       result.high.result.stop == StopReason::target_reached;
  write_message(
      io, Order::log_only,
      "depth of investigation, the further runs:\n" + run_line(low_label, low_folder, result.low) +
          run_line(high_label, high_folder, result.high) + "  largest |R| over the parameters:" +
          exponent_text(result.largest) + "; doi.mod holds min(|R|, 1) / min(largest, 1), " +
          shortest(doi_no_parameter) + " on the cells that are no parameter\n" +
          (reached ? ""
                   : "  a further run that missed its target misfit leaves an index that tells of "
                     "that run more than of the data: read it with care\n"));
  const auto misfit = [](const StageOutcome& outcome) {
    return exponent_text(outcome.result.misfit_history.back());
  };
  write_message(io, Order::console_then_log,
                "Depth of investigation: " + name + ", index below 0.2 in " +
                    std::to_string(constrained) + " of " + std::to_string(parameters) +
                    " parameters; misfits" + misfit(result.low) + " and" + misfit(result.high) +
                    (reached ? ", both at the target\n"
                             : " (" + std::string(stop_reason_text(result.low.result.stop)) + "; " +
                                   stop_reason_text(result.high.result.stop) +
                                   ": read the index with care)\n"));
  return result;
}

}  // namespace quelby
