#include "quelby/inversion/inversion_run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/inversion/inversion_inputs.hpp"
#include "quelby/inversion/kept_inputs.hpp"
#include "quelby/inversion/survey_problems.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/report/inversion_report.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_writer.hpp"

namespace quelby {
namespace {

const char* stage_name(InversionStage stage) {
  return stage == InversionStage::dc ? "DC" : "IP";
}

std::string in_folder(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

void append_exponent(std::string& text, double value) {
  char field[16];
  format_exponent(value, 12, 5, field);
  text.append(field, 12);
}

std::string exponent_text(double value) {
  std::string text;
  append_exponent(text, value);
  return text;
}

void write_cell_model(const Io& io, const Mesh& mesh, const std::string& name,
                      std::span<const double> values) {
  Model model(mesh.nx, mesh.nz);
  std::copy(values.begin(), values.end(), model.values().begin());
  write_model(io, mesh, name, model);
}

// Everything one inversion needs beside its problem.
struct Stage {
  InversionStage stage;
  const Mesh& mesh;
  const SurveyData& survey;
  std::string data_file;
  const ModelObjective& objective;
  std::vector<double> m0, m_ref;
  InversionSettings settings;
};

// The data lines (1-based among the file's data) of the survey's data in grouped order.
std::vector<std::size_t> datum_lines(const SurveyData& survey) {
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  std::vector<std::size_t> line(ndat);
  for (std::size_t i = 0; i < ndat; ++i) line[i] = i + 1;
  if (survey.has_file_order) {
    for (std::size_t j = 0; j < ndat; ++j) line[survey.grouped_position(j)] = j + 1;
  }
  return line;
}

// The run log's list of the data the robust misfit weighted down most, by their data line.
void report_down_weighted(const Io& io, const Stage& stage, const InversionResult& result) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < result.data_weights.size(); ++i) {
    if (result.data_weights[i] < 1) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return result.data_weights[x] < result.data_weights[y];
  });
  std::string text = std::string(stage_name(stage.stage)) +
                     " robust misfit: " + std::to_string(order.size()) + " of " +
                     std::to_string(result.data_weights.size()) + " data weighted down" +
                     (order.empty() ? "" : "; the most:") + "\n";
  const std::vector<std::size_t> lines = datum_lines(stage.survey);
  for (std::size_t k = 0; k < order.size() && k < 10; ++k) {
    const std::size_t i = order[k];
    const double residual = (result.predicted[i] - stage.survey.dobs[i]) / stage.survey.dstd[i];
    text += "  datum " + std::to_string(lines[i]) + " of " + stage.data_file + ": weight" +
            exponent_text(result.data_weights[i]) + ", observed" +
            exponent_text(stage.survey.dobs[i]) + ", predicted" +
            exponent_text(result.predicted[i]) + " (" + exponent_text(residual) +
            " standard deviations)\n";
  }
  write_message(io, Order::log_only, text);
}

// Why an IP inversion stopped short of its target, from its data (console, then run log): the
// share of negative apparent chargeabilities and the misfit they leave a model whose responses are
// not negative (at best 0 for them), the readings that misfit most, and what helps.
void report_ip_stall(const Io& io, const Stage& stage, const InversionResult& result,
                     double lower_bound) {
  const std::vector<double>& dobs = stage.survey.dobs;
  const std::vector<double>& dstd = stage.survey.dstd;
  const std::size_t ndat = dobs.size();
  std::size_t negative = 0;
  double negative_floor = 0, negative_misfit = 0, misfit = 0;
  std::vector<std::size_t> order(ndat);
  std::vector<double> residual(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    order[i] = i;
    residual[i] = (result.predicted[i] - dobs[i]) / dstd[i];
    misfit += residual[i] * residual[i];
    if (dobs[i] < 0) {
      ++negative;
      negative_floor += (dobs[i] / dstd[i]) * (dobs[i] / dstd[i]);
      negative_misfit += residual[i] * residual[i];
    }
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::abs(residual[a]) > std::abs(residual[b]);
  });
  const auto percent = [](double part, double whole) {
    return format_significant(whole > 0 ? 100 * part / whole : 0, 3) + " %";
  };
  std::string text = "\nIP inversion stopped short of its target misfit" +
                     exponent_text(result.target_misfit) + ": the data, not the solver, hold it";
  text += negative > 0 ? ":\n" : ".\n";
  if (negative > 0) {
    text += "  " + std::to_string(negative) + " of " + std::to_string(ndat) + " readings (" +
            percent(static_cast<double>(negative), static_cast<double>(ndat)) +
            ") are negative apparent chargeabilities; " +
            (lower_bound < 0 ? "answered with 0 they"
                             : "chargeabilities of 0 or more answer them with responses of 0 or "
                               "more (but where sensitivities are negative); answered with 0 "
                               "they") +
            " leave a misfit of" + exponent_text(negative_floor) + " by themselves, " +
            percent(negative_floor, result.target_misfit) + " of the target; the model found " +
            "leaves" + exponent_text(negative_misfit) + " on them (" +
            percent(negative_misfit, misfit) + " of its misfit)\n";
  }
  const std::vector<std::size_t> lines = datum_lines(stage.survey);
  text += "  the readings that misfit most:\n";
  for (std::size_t k = 0; k < order.size() && k < 5; ++k) {
    const std::size_t i = order[k];
    text += "    datum " + std::to_string(lines[i]) + " of " + stage.data_file + ": observed" +
            exponent_text(dobs[i]) + ", predicted" + exponent_text(result.predicted[i]) + " (" +
            exponent_text(residual[i]) + " standard deviations)\n";
  }
  text += "  what helps: --robust (a few readings far off lose weight), a larger IP error floor "
          "(--ip-error-floor, or the control line ip_std), dropping implausible readings at the "
          "import (quelby-import --ip-range LOW HIGH)";
  text += negative > 0 && !(lower_bound < 0)
              ? ", or for data that are phases or decays of either sign a negative lower bound "
                "(--ip-lower-bound, or the control line ip_lower_bound)\n"
              : "\n";
  write_message(io, Order::console_then_log, text);
}

// Runs gauss_newton on `problem`, writing after every iteration its model, the history so far and
// a progress line, and at the end the final model, the predicted data, the whole history and the
// stop reason. `model_of` gives the model of every cell for parameters m.
template <typename ModelOf>
StageOutcome invert(const Io& io, const InversionRun& run, const Stage& stage,
                    InversionProblem& problem, ModelOf&& model_of) {
  const std::string& folder = run.output_folder;
  const auto ndat = static_cast<std::int32_t>(problem.data_count());
  const double target = stage.settings.chifact * ndat;
  {
    std::string text = "\n";
    text += stage_name(stage.stage);
    text += " inversion of " + std::to_string(ndat) + " data from " + stage.data_file + " for " +
            std::to_string(problem.parameter_count()) + " parameters, target misfit";
    append_exponent(text, target);
    text += "\n";
    write_message(io, Order::console_then_log, text);
  }
  std::vector<double> start(stage.m0);
  problem.project(start);
  const double first_norm = model_norm(stage.objective, start, stage.m_ref);
  std::vector<double> misfits, norms, betas;
  const std::string history_name = in_folder(folder, history_file_name(stage.stage));

  const IterationObserver observer = [&](const IterationReport& report, std::span<const double> m,
                                         std::span<const double> predicted) {
    if (misfits.empty()) {
      misfits.push_back(report.previous_misfit);
      norms.push_back(first_norm);
      betas.push_back(report.first_beta);
    }
    misfits.push_back(report.misfit);
    norms.push_back(report.model_norm);
    betas.push_back(report.beta);
    const std::vector<double> model = model_of(m);
    write_cell_model(io, stage.mesh,
                     in_folder(folder, iteration_model_name(stage.stage, report.iteration)), model);
    write_iteration_history(io, history_name, report.iteration, misfits, norms, betas, target,
                            ndat);
    std::string text = stage_name(stage.stage);
    text += " iteration " + std::to_string(report.iteration) + ": misfit";
    append_exponent(text, report.misfit);
    text += ", beta";
    append_exponent(text, report.beta);
    text += ", model norm";
    append_exponent(text, report.model_norm);
    text += "\n";
    write_message(io, Order::console_only, text);
    if (run.observer) {
      run.observer(IterationUpdate{stage.stage, report, stage.mesh, model, predicted, misfits,
                                   norms, betas});
    }
  };
  StageOutcome outcome;
  outcome.dobs = stage.survey.dobs;
  outcome.dstd = stage.survey.dstd;
  outcome.result = gauss_newton(io, problem, stage.objective, outcome.dobs, outcome.dstd, stage.m0,
                                stage.m_ref, stage.settings, observer);
  const InversionResult& result = outcome.result;
  if (stage.settings.robust) report_down_weighted(io, stage, result);
  if (stage.stage == InversionStage::ip &&
      (result.stop == StopReason::no_descent || result.stop == StopReason::misfit_stalled)) {
    report_ip_stall(io, stage, result, run.ip_lower_bound);
  }
  {
    const InversionResult::Seconds& seconds = result.seconds;
    const auto part = [](const char* name, double value) {
      char text[64];
      std::snprintf(text, sizeof text, " %s %.3f s", name, value);
      return std::string(text);
    };
    write_message(io, Order::log_only,
                  std::string(stage_name(stage.stage)) +
                      " inversion time:" + part("sensitivities", seconds.sensitivities) + "," +
                      part("half solves", seconds.half_solves) + "," +
                      part("Gram product", seconds.data_space_matrix) + "," +
                      part("decomposition", seconds.decomposition) + "," +
                      part("steps", seconds.steps) + "," +
                      part("line search", seconds.line_search) + "\n");
  }
  outcome.model = model_of(result.m);
  write_cell_model(io, stage.mesh, in_folder(folder, final_model_name(stage.stage)), outcome.model);
  write_data_file(
      io, in_folder(folder, predicted_data_name(stage.stage)),
      stage.survey.has_z
          ? "! predicted by quelby-invert: xA zA xB zB count, then xM zM xN zN value std"
          : "! predicted by quelby-invert: xA xB xM xN value std",
      stage.survey, result.predicted, outcome.dstd);
  write_iteration_history(io, history_name, result.iterations, result.misfit_history,
                          result.norm_history, result.beta_history, result.target_misfit, ndat);
  std::string text = stage_name(stage.stage);
  text += " inversion: ";
  text += stop_reason_text(result.stop);
  text += " after " + std::to_string(result.iterations) +
          (result.iterations == 1 ? " iteration" : " iterations") + ", misfit";
  // The misfit of the model written (the iteration kept).
  append_exponent(text, result.misfit_history[static_cast<std::size_t>(
                            std::clamp<std::int32_t>(result.kept_iteration, 0,
                                                     static_cast<std::int32_t>(
                                                         result.misfit_history.size()) - 1))]);
  text += "\n";
  write_message(io, Order::console_then_log, text);
  return outcome;
}

// True when two surveys have the same electrodes datum by datum in grouped order, so that one
// forward model serves both.
bool same_electrodes(const SurveyData& first, const SurveyData& second) {
  return first.idat_idx == second.idat_idx && first.xa_cur == second.xa_cur &&
         first.xb_cur == second.xb_cur && first.xm == second.xm && first.xn == second.xn &&
         first.zm == second.zm && first.zn == second.zn && first.za_cur == second.za_cur &&
         first.zb_cur == second.zb_cur;
}

bool has_dc_data(const InversionRun& run) {
  return run.data || !trim_trailing_blanks(run.data_file).empty();
}

// The folder keeps the forward mesh, the data as inverted (standard deviations completed), the
// topography file and the data's import log, so that it is enough for its report and a rerun.
void keep_inputs(const Io& io, const InversionRun& run, const Mesh& forward_mesh,
                 const SurveyData* dc_survey, const SurveyData* ip_survey) {
  const std::string& folder = run.output_folder;
  const std::string mesh_file(trim_trailing_blanks(run.mesh_file));
  if (run.mesh || mesh_file.empty() || !is_kept_already(mesh_file, folder, kept_mesh_name))
    write_mesh(io, in_folder(folder, kept_mesh_name), forward_mesh);
  const std::string header = "! observed data as inverted by quelby-invert: xA xB xM xN value std";
  const std::string header_z =
      "! observed data as inverted by quelby-invert: xA zA xB zB count, then xM zM xN zN value std";
  for (const SurveyData* survey : {dc_survey, ip_survey}) {
    if (survey == nullptr) continue;
    write_data_file(io, in_folder(folder, survey == dc_survey ? observed_data_name
                                                              : observed_ip_data_name),
                    survey->has_z ? header_z : header, *survey, survey->dobs, survey->dstd);
  }
  if (!run.topography) {
    keep_file_copy(io, std::string(trim_trailing_blanks(run.topography_file)), folder,
                   kept_topography_name);
  }
  const std::string data_file(trim_trailing_blanks(dc_survey != nullptr ? run.data_file
                                                                        : run.ip_data_file));
  keep_file_copy(io, import_log_beside(data_file), folder, kept_import_log_name);
}

void check_run(const Io& io, const InversionRun& run) {
  const bool dc = run.invert != InversionTargets::ip;
  const bool ip = run.invert != InversionTargets::dc;
  if (dc && !has_dc_data(run)) {
    stop_with(io, Order::console_then_log, "\nError: a DC inversion needs a DC data file.\n");
  }
  if (ip && !run.ip_data && trim_trailing_blanks(run.ip_data_file).empty()) {
    stop_with(io, Order::console_then_log, "\nError: an IP inversion needs an IP data file.\n");
  }
  if (!dc && !has_dc_data(run) &&
      (run.starting.kind == ModelChoice::Kind::automatic ||
       run.reference.kind == ModelChoice::Kind::automatic)) {
    stop_with(io, Order::console_then_log,
              "\nError: an IP inversion without DC data needs the resistivity as its starting and "
              "reference models (a value or a model file).\n");
  }
  for (const AlphaChoice* alpha : {&run.alpha, run.ip_alpha ? &*run.ip_alpha : nullptr}) {
    if (alpha != nullptr && alpha->mode != 0 && alpha->mode != 2 && alpha->mode != 3) {
      stop_with(io, Order::console_then_log,
                "\nError: alpha mode " + std::to_string(alpha->mode) + ": 0, 2 or 3 expected.\n");
    }
  }
  if (!(run.settings.chifact > 0) || run.settings.max_iterations < 0) {
    stop_with(io, Order::console_then_log,
              "\nError: chifact must be positive and the iteration limit 0 or more.\n");
  }
}

// The forward mesh and the ground surface of `run`: the stores it holds, the rest read from their
// files.
void load_forward_ground(const Io& io, const InversionRun& run, Mesh& mesh,
                         Topography& topography) {
  const bool use_topography = !trim_trailing_blanks(run.topography_file).empty();
  if (run.mesh) {
    mesh = *run.mesh;
  } else if (!run.topography) {
    load_mesh_and_topography(io, run.mesh_file, run.topography_file, use_topography, mesh,
                             topography);
  } else {
    load_mesh(io, run.mesh_file, mesh);
  }
  if (run.topography) {
    topography = *run.topography;
    if (topography.air_cells.size() != static_cast<std::size_t>(mesh.nx)) {
      stop_with(io, Order::console_then_log,
                "\nError: the topography given holds " +
                    std::to_string(topography.air_cells.size()) + " columns, the mesh has " +
                    std::to_string(mesh.nx) + ".\n");
    }
  } else if (run.mesh) {
    read_topography(io, use_topography, run.topography_file, mesh.x_nodes, mesh.z_nodes,
                    topography);
  }
  if (topography.air_cells.size() != static_cast<std::size_t>(mesh.nx))
    topography.air_cells.assign(static_cast<std::size_t>(mesh.nx), 0);
}

// The parameter grid of `run` over the forward mesh, for the electrodes of `survey`.
ParameterGrid grid_of_run(const Io& io, const InversionRun& run, const Mesh& mesh,
                          const Topography& ground, const SurveyData& survey) {
  if (run.grid) {
    if (run.grid->column_nodes.empty() || run.grid->layer_nodes.empty() ||
        run.grid->column_nodes.back() != mesh.nx || run.grid->layer_nodes.back() != mesh.nz) {
      internal_check_failed(io, "run_inversion: the grid given is not over the mesh");
    }
    return *run.grid;
  }
  if (!trim_trailing_blanks(run.parameter_file).empty()) {
    Mesh cells;
    load_mesh(io, trim_trailing_blanks(run.parameter_file), cells);
    return parameter_grid_of_mesh(io, mesh, cells, run.parameter_file);
  }
  return parameter_grid(io, mesh, survey_electrode_x(survey),
                        highest_ground(mesh, ground.air_cells), run.parameter_cell,
                        survey_electrode_z(survey));
}

// The active cells of `run` on the grid: the store it holds, else read from its file, under the
// grid's share of the ground (a grid cell cut by the ground is a ground cell).
void load_grid_cells(const Io& io, const InversionRun& run, const ParameterGrid& grid,
                     const Topography& ground, ActiveCells& cells) {
  const Mesh& mesh = grid.mesh;
  Topography grid_ground = ground;
  grid_ground.air_cells = grid.air_cells(ground.air_cells);
  grid_ground.surface_z.clear();
  for (const std::int32_t i : grid.column_nodes) {
    if (static_cast<std::size_t>(i) < ground.surface_z.size())
      grid_ground.surface_z.push_back(ground.surface_z[static_cast<std::size_t>(i)]);
  }
  const bool use_topography =
      run.topography.has_value() || !trim_trailing_blanks(run.topography_file).empty();
  if (!run.active) {
    read_active_cells(io, mesh, grid_ground, run.active_file, cells);
    return;
  }
  cells = *run.active;
  if (cells.nx != mesh.nx || cells.nz != mesh.nz ||
      cells.cell_idx.size() != static_cast<std::size_t>(mesh.nx) * mesh.nz ||
      cells.air_cells.size() != static_cast<std::size_t>(mesh.nx)) {
    stop_with(io, Order::console_then_log,
              "\nError: the active cells given were built for " + std::to_string(cells.nx) + " x " +
                  std::to_string(cells.nz) + " cells, the " +
                  (grid.is_forward_mesh() ? "mesh" : "parameter grid") + " has " +
                  std::to_string(mesh.nx) + " x " + std::to_string(mesh.nz) + ".\n");
  }
  if (use_topography && cells.air_cells != grid_ground.air_cells) {
    stop_with(io, Order::console_then_log,
              "\nError: the active cells given were built with another ground surface than the "
              "topography's.\n");
  }
}

// The survey of `run`'s DC or IP data: the store it holds, else read from its file.
void load_survey(const Io& io, const std::optional<SurveyData>& given, const std::string& file,
                 bool use_z, bool dc, SurveyData& survey) {
  if (!given) {
    read_data_file(io, file, false, use_z, dc, survey);
    return;
  }
  survey = *given;
  if (!survey.has_values || survey.dobs.size() != static_cast<std::size_t>(survey.ndat)) {
    stop_with(io, Order::console_then_log,
              "\nError: the " + std::string(dc ? "DC" : "IP") + " data given hold no values.\n");
  }
}

// The problem's resistivity bounds: the run's, widened to hold the starting and reference models.
void set_resistivity_bounds(const Io& io, const InversionRun& run, const Stage& stage,
                            ResistivityProblem& problem) {
  double lowest = run.resistivity_bounds[0], highest = run.resistivity_bounds[1];
  for (const std::vector<double>* m : {&stage.m0, &stage.m_ref}) {
    for (const double value : *m) {
      lowest = std::min(lowest, std::exp(value));
      highest = std::max(highest, std::exp(value));
    }
  }
  if (lowest < run.resistivity_bounds[0] || highest > run.resistivity_bounds[1]) {
    write_message(io, Order::log_only,
                  "resistivity bounds widened to the starting and reference models:" +
                      exponent_text(lowest) + exponent_text(highest) + " ohm-m\n");
  }
  problem.set_bounds(lowest, highest);
}

// The coefficients of a choice; ones that are not finite (length scales so small or large that
// their squares leave the doubles) are refused, saying which.
AlphaCoefficients coefficients_of(const Io& io, const Mesh& mesh, const AlphaChoice& choice) {
  AlphaCoefficients coefficients;
  set_alpha(io, mesh, choice.mode, choice.alpha, choice.lengths, coefficients);
  const double values[3] = {coefficients.alpha_s, coefficients.alpha_x, coefficients.alpha_z};
  const auto text = [](double value) { return std::isnan(value) ? "NaN" : shortest(value); };
  for (const double value : values) {
    if (std::isfinite(value) && value >= 0) continue;
    stop_with(io, Order::console_then_log,
              "\nError: the alpha coefficients a_s = " + text(values[0]) +
                  ", a_x = " + text(values[1]) + ", a_z = " + text(values[2]) +
                  " are not finite numbers of 0 or more: the " +
                  (choice.mode == 3 ? "length scales" : "alpha values") +
                  " given are too small or too large\n");
  }
  return coefficients;
}

}  // namespace

std::string iteration_model_name(InversionStage stage, std::int32_t iteration) {
  return (stage == InversionStage::dc ? "model_" : "eta_") + std::to_string(iteration) + ".mod";
}

std::string final_model_name(InversionStage stage) {
  return stage == InversionStage::dc ? "model.mod" : "eta.mod";
}

std::string predicted_data_name(InversionStage stage) {
  return stage == InversionStage::dc ? "predicted.dat" : "predicted_ip.dat";
}

std::string history_file_name(InversionStage stage) {
  return stage == InversionStage::dc ? "history.txt" : "history_ip.txt";
}

void load_run_ground(const Io& io, const InversionRun& run, Mesh& mesh, ActiveCells& cells) {
  Topography ground;
  load_forward_ground(io, run, mesh, ground);
  const ParameterGrid grid = parameter_grid(io, mesh, {}, 0, ParameterCellChoice{});
  load_grid_cells(io, run, grid, ground, cells);
}

InversionOutcome run_inversion(const Io& io, const InversionRun& run) {
  check_run(io, run);
  const OutputFolder folder = hold_output_folder(io, run.output_folder);
  return run_inversion(io, run, folder);
}

InversionOutcome run_inversion(const Io& io, const InversionRun& run, const OutputFolder& folder) {
  check_run(io, run);
  if (folder.path() != run.output_folder) {
    internal_check_failed(io, "run_inversion: the folder held is not the run's output folder");
  }
  InversionOutcome outcome;
  Mesh& forward_mesh = outcome.forward_mesh;
  Topography& ground = outcome.forward_ground;
  load_forward_ground(io, run, forward_mesh, ground);

  // Data given in memory are named by their file name when there is one.
  const std::string dc_file = run.data && trim_trailing_blanks(run.data_file).empty()
                                  ? std::string("the DC data given")
                                  : std::string(trim_trailing_blanks(run.data_file));
  const std::string ip_file = run.ip_data && trim_trailing_blanks(run.ip_data_file).empty()
                                  ? std::string("the IP data given")
                                  : std::string(trim_trailing_blanks(run.ip_data_file));
  const bool dc = run.invert != InversionTargets::ip;
  const bool ip = run.invert != InversionTargets::dc;
  SurveyData dc_survey, ip_survey;
  if (has_dc_data(run)) load_survey(io, run.data, dc_file, run.use_z, true, dc_survey);
  if (ip) load_survey(io, run.ip_data, ip_file, run.use_z, false, ip_survey);

  // The parameter grid and its active cells; the forward model's ground is the forward mesh's.
  outcome.grid =
      grid_of_run(io, run, forward_mesh, ground, has_dc_data(run) ? dc_survey : ip_survey);
  const ParameterGrid& grid = outcome.grid;
  ActiveCells& cells = outcome.cells;
  load_grid_cells(io, run, grid, ground, cells);
  const bool use_topography =
      run.topography.has_value() || !trim_trailing_blanks(run.topography_file).empty();
  if (grid.is_forward_mesh() && run.active && !use_topography) ground.air_cells = cells.air_cells;
  outcome.mesh = grid.mesh;
  const Mesh& mesh = outcome.mesh;
  if (cells.npar < 1) {
    stop_with(io, Order::console_then_log, "\nError: no cell of the mesh is a parameter.\n");
  }
  const ParameterForwardCells parameters =
      grid.is_forward_mesh() ? forward_cells_of_parameters(cells)
                             : forward_cells_of_parameters(grid, cells, ground.air_cells);
  if (!grid.is_forward_mesh()) {
    write_mesh(io, in_folder(run.output_folder, parameter_grid_name), mesh);
    write_message(io, Order::log_only,
                  "parameter grid: " + std::to_string(mesh.nx) + " x " + std::to_string(mesh.nz) +
                      " cells over the forward mesh's " + std::to_string(forward_mesh.nx) + " x " +
                      std::to_string(forward_mesh.nz) + ", " + std::to_string(cells.npar) +
                      " parameters holding " + std::to_string(parameters.cells.size()) +
                      " forward cells, written to " +
                      in_folder(run.output_folder, parameter_grid_name) + "\n");
  }

  std::unique_ptr<ForwardModel> dc_forward, ip_forward;
  if (has_dc_data(run)) {
    complete_deviations(io, dc_file, run.data_uncertainty, dc_survey);
    check_data_values(io, dc_file, !run.data, dc_survey);
    dc_forward = std::make_unique<ForwardModel>(io, forward_mesh, ground.air_cells, dc_survey);
    write_message(io, Order::log_only, close_electrodes_note(dc_forward->electrodes(), dc_file));
  }
  if (ip) {
    complete_deviations(io, ip_file, run.ip_uncertainty, ip_survey, false);
    check_data_values(io, ip_file, !run.ip_data, ip_survey);
  }
  keep_inputs(io, run, forward_mesh, has_dc_data(run) ? &dc_survey : nullptr,
              ip ? &ip_survey : nullptr);

  // The median apparent resistivity stands for a model left open.
  double median = 0;
  if (run.starting.kind == ModelChoice::Kind::automatic ||
      run.reference.kind == ModelChoice::Kind::automatic) {
    median = median_apparent_resistivity(io, *dc_forward, forward_mesh, dc_survey, dc_file);
    std::string text = "median apparent resistivity:";
    append_exponent(text, median);
    text += " ohm-m\n";
    write_message(io, Order::log_only, text);
  }
  const std::vector<double> starting =
      model_of_choice(io, mesh, cells, run.starting, "starting", median, ParameterRange::positive);
  const std::vector<double> reference = model_of_choice(io, mesh, cells, run.reference, "reference",
                                                        median, ParameterRange::positive);

  ModelObjective objective;
  const ObjectiveOptions objective_options{.keep_factors = run.settings.blocky};
  build_model_objective(io, mesh, cells, coefficients_of(io, mesh, run.alpha), run.weights,
                        run.dipping, run.ref_in_derivatives, objective, objective_options);

  // A model of every grid cell: `base` with each parameter's cell set to value(m_p).
  const std::vector<std::int32_t> parameter_cell = parameter_cells(cells);
  const auto grid_model = [&](const std::vector<double>& base, std::span<const double> m,
                              auto&& value) {
    std::vector<double> model(base);
    for (std::size_t p = 0; p < parameter_cell.size(); ++p)
      model[static_cast<std::size_t>(parameter_cell[p])] = value(m[p]);
    return model;
  };
  std::vector<double> resistivity = starting;
  if (dc) {
    ResistivityProblem problem(*dc_forward, parameters, forward_model_of_grid(grid, starting));
    Stage stage{InversionStage::dc,
                mesh,
                dc_survey,
                dc_file,
                objective,
                log_parameters(cells, starting),
                log_parameters(cells, reference),
                run.settings};
    stage.settings.max_step = run.max_log_change;
    set_resistivity_bounds(io, run, stage, problem);
    // An earlier run's models go once this one has its inputs and starts to write its own.
    remove_numbered_models(io, folder, true, false);
    outcome.dc = invert(io, run, stage, problem, [&](std::span<const double> m) {
      return grid_model(starting, m, [](double value) { return std::exp(value); });
    });
    resistivity = outcome.dc->model;
    outcome.dc_reference = reference;
    for (std::size_t cell = 0; cell < reference.size(); ++cell) {
      if (cells.parameter(cell) < 0) outcome.dc_reference[cell] = std::nan("");
    }
  }
  if (!ip) return outcome;

  // The DC forward model keeps its factors of the final resistivity: it serves the IP data when
  // they were measured with the same electrodes.
  ForwardModel* forward = dc_forward.get();
  if (forward == nullptr || !same_electrodes(dc_survey, ip_survey)) {
    ip_forward = std::make_unique<ForwardModel>(io, forward_mesh, ground.air_cells, ip_survey);
    write_message(io, Order::log_only, close_electrodes_note(ip_forward->electrodes(), ip_file));
    forward = ip_forward.get();
  }
  const bool signed_eta = run.ip_lower_bound < 0;
  const std::vector<double> eta_start =
      model_of_choice(io, mesh, cells, run.ip_starting, "starting chargeability", 0,
                      signed_eta ? ParameterRange::finite : ParameterRange::not_negative);
  const std::vector<double> eta_reference = model_of_choice(
      io, mesh, cells, run.ip_reference, "reference chargeability", 0, ParameterRange::finite);
  ModelObjective ip_objective;
  if (run.ip_alpha) {
    build_model_objective(io, mesh, cells, coefficients_of(io, mesh, *run.ip_alpha), run.weights,
                          run.dipping, run.ref_in_derivatives, ip_objective, objective_options);
  }
  ChargeabilityProblem problem(io, *forward, parameters, forward_model_of_grid(grid, resistivity),
                               forward_model_of_grid(grid, eta_start), ip_survey.iptype,
                               run.settings.memory_budget, run.ip_lower_bound);
  Stage stage{InversionStage::ip,
              mesh,
              ip_survey,
              ip_file,
              run.ip_alpha ? ip_objective : objective,
              parameter_values(cells, eta_start),
              parameter_values(cells, eta_reference),
              run.settings};
  stage.settings.max_step = 0;
  remove_numbered_models(io, folder, false, true);
  outcome.ip = invert(io, run, stage, problem, [&](std::span<const double> m) {
    return grid_model(eta_start, m, [](double value) { return value; });
  });
  return outcome;
}

}  // namespace quelby
