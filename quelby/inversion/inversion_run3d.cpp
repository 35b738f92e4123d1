#include "quelby/inversion/inversion_run3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <string>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells3d.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/inversion/inversion_inputs.hpp"
#include "quelby/inversion/kept_inputs.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/inversion/survey_problems3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/regularization/alpha3d.hpp"
#include "quelby/regularization/objective3d.hpp"
#include "quelby/report/inversion_report.hpp"
#include "quelby/report/vtk_model.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "quelby/survey/survey3d_writer.hpp"

namespace quelby {

namespace {

constexpr std::int64_t default_cell_budget = 100000;

std::string in_folder(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

std::string exponent_text(double value) {
  char field[16];
  format_exponent(value, 12, 5, field);
  return std::string(field, 12);
}

const char* stage_name(InversionStage stage) {
  return stage == InversionStage::dc ? "DC" : "IP";
}

bool same_electrodes(const Survey3D& a, const Survey3D& b) {
  return a.electrodes == b.electrodes && a.a == b.a && a.b == b.b && a.m == b.m && a.n == b.n;
}

// Fills the standard deviations of data read without them: `given`, else the defaults of the 2-D
// inversion (DC 3 % + 3 % of the 5th percentile of |datum|, IP 5 % + 1), named on the console.
void complete_deviations3d(const Io& io, const std::string& file_name,
                           const std::optional<DataUncertainty>& given, Survey3D& survey, bool dc) {
  if (!survey.std_missing && !survey.dstd.empty()) return;
  DataUncertainty uncertainty;
  if (given) {
    uncertainty = *given;
  } else if (dc) {
    std::vector<double> magnitudes;
    for (const double d : survey.dobs) magnitudes.push_back(std::fabs(d));
    std::sort(magnitudes.begin(), magnitudes.end());
    const double low = magnitudes.empty() ? 0 : magnitudes[magnitudes.size() / 20];
    uncertainty = {default_dc_percent, default_dc_percent / 100 * low};
  } else {
    uncertainty = {default_ip_percent, default_ip_floor};
  }
  if (!given) {
    write_message(io, Order::console_then_log,
                  file_name + " holds no standard deviations: taken as " +
                      exponent_text(uncertainty.percent) + " % of |datum| +" +
                      exponent_text(uncertainty.floor) + "\n");
  }
  survey.dstd.resize(survey.dobs.size());
  for (std::size_t i = 0; i < survey.dobs.size(); ++i) {
    survey.dstd[i] = uncertainty.percent / 100 * std::fabs(survey.dobs[i]) + uncertainty.floor;
    if (!(survey.dstd[i] > 0) || !std::isfinite(survey.dstd[i])) {
      stop_with(io, Order::console_then_log,
                "Error: " + file_name + ", datum " + std::to_string(i + 1) +
                    ": the error model gives it no positive standard deviation\n");
    }
  }
  survey.std_missing = false;
}

void check_values(const Io& io, const std::string& file_name, const Survey3D& survey) {
  for (std::size_t i = 0; i < survey.dobs.size(); ++i) {
    if (!std::isfinite(survey.dobs[i]) || std::fabs(survey.dobs[i]) > largest_magnitude ||
        !(survey.dstd[i] >= smallest_deviation) || survey.dstd[i] > largest_magnitude) {
      stop_with(io, Order::console_then_log,
                "Error: " + file_name + ", datum " + std::to_string(i + 1) +
                    ": a value or standard deviation out of range\n");
    }
  }
}

Survey3D load_survey(const Io& io, const std::optional<Survey3D>& given, const std::string& name,
                     bool dc) {
  if (given) return *given;
  Survey3D survey;
  read_survey3d(io, name, false, survey, dc);
  return survey;
}

// The smallest distance between two distinct electrodes.
double smallest_spacing(const Survey3D& survey) {
  double best = std::numeric_limits<double>::infinity();
  const auto& e = survey.electrodes;
  for (std::size_t i = 0; i < e.size(); ++i) {
    for (std::size_t j = i + 1; j < e.size(); ++j) {
      const double d = std::hypot(e[i].x - e[j].x, e[i].y - e[j].y, e[i].z - e[j].z);
      if (d > 0) best = std::min(best, d);
    }
  }
  return best;
}

std::vector<double> model_choice3d(const Io& io, const Mesh3D& grid, const ModelChoice& choice,
                                   const char* label, double automatic) {
  const auto cells = static_cast<std::size_t>(grid.cell_count());
  switch (choice.kind) {
    case ModelChoice::Kind::automatic:
      return std::vector<double>(cells, automatic);
    case ModelChoice::Kind::value:
      return std::vector<double>(cells, choice.value);
    case ModelChoice::Kind::file: {
      std::vector<double> values;
      read_model3d(io, grid, choice.file, label, values);
      return values;
    }
    case ModelChoice::Kind::cells:
      if (choice.cells.size() != cells) {
        stop_with(io, Order::console_then_log,
                  std::string("Error: the ") + label + " model holds " +
                      std::to_string(choice.cells.size()) + " values for " + std::to_string(cells) +
                      " cells of the parameter grid\n");
      }
      return choice.cells;
  }
  return {};
}

struct Setup {
  Mesh3D mesh;
  std::vector<std::int32_t> air;
  ParameterGrid3D grid;
  std::vector<std::int32_t> cell_idx;  // per grid cell
  std::int32_t npar = 0;
  ParameterForwardCells parameters;
};

struct Stage3D {
  InversionStage stage;
  const Setup& setup;
  const Survey3D& survey;
  std::string data_file;
  const ModelObjective& objective;
  std::vector<double> m0, m_ref;
  InversionSettings settings;
};

StageOutcome3D run_stage(
    const Io& io, const Stage3D& stage, InversionProblem& problem, const std::string& folder,
    const std::function<std::vector<double>(std::span<const double>)>& grid_model) {
  const auto ndat = static_cast<std::int32_t>(stage.survey.ndat);
  const double target = stage.settings.chifact * ndat;
  write_message(io, Order::console_then_log,
                std::string(stage_name(stage.stage)) + " inversion: " + std::to_string(ndat) +
                    " data, " + std::to_string(problem.parameter_count()) +
                    " parameters, target misfit" + exponent_text(target) + "\n");
  const std::string history_name = in_folder(folder, history_file_name(stage.stage));
  std::vector<double> start(stage.m0);
  problem.project(start);
  const double first_norm = model_norm(stage.objective, start, stage.m_ref);
  std::vector<double> misfits, norms, betas;
  const IterationObserver observer = [&](const IterationReport& report, std::span<const double> m,
                                         std::span<const double>) {
    if (misfits.empty()) {
      misfits.push_back(report.previous_misfit);
      norms.push_back(first_norm);
      betas.push_back(report.first_beta);
    }
    misfits.push_back(report.misfit);
    norms.push_back(report.model_norm);
    betas.push_back(report.beta);
    write_model3d(io, stage.setup.grid.mesh,
                  in_folder(folder, iteration_model_name(stage.stage, report.iteration)),
                  grid_model(m));
    write_iteration_history(io, history_name, report.iteration, misfits, norms, betas, target,
                            ndat);
    write_message(io, Order::console_only,
                  std::string(stage_name(stage.stage)) + " iteration " +
                      std::to_string(report.iteration) + ": misfit" + exponent_text(report.misfit) +
                      ", beta" + exponent_text(report.beta) + ", model norm" +
                      exponent_text(report.model_norm) + "\n");
  };
  StageOutcome3D outcome;
  outcome.dobs = stage.survey.dobs;
  outcome.dstd = stage.survey.dstd;
  outcome.result = gauss_newton(io, problem, stage.objective, outcome.dobs, outcome.dstd, stage.m0,
                                stage.m_ref, stage.settings, observer);
  const InversionResult& result = outcome.result;
  {
    const InversionResult::Seconds& seconds = result.seconds;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s inversion time: sensitivities %.3f s, half solves %.3f s, Gram product "
                  "%.3f s, decomposition %.3f s, steps %.3f s, line search %.3f s\n",
                  stage_name(stage.stage), seconds.sensitivities, seconds.half_solves,
                  seconds.data_space_matrix, seconds.decomposition, seconds.steps,
                  seconds.line_search);
    write_message(io, Order::log_only, text);
  }
  outcome.model = grid_model(result.m);
  write_model3d(io, stage.setup.grid.mesh, in_folder(folder, final_model_name(stage.stage)),
                outcome.model);
  const bool dc = stage.stage == InversionStage::dc;
  std::vector<double> shown = outcome.model;
  std::vector<NamedCellArray> arrays;
  std::vector<double> logs;
  if (dc) {
    logs.resize(shown.size());
    for (std::size_t c = 0; c < shown.size(); ++c) logs[c] = std::log10(shown[c]);
    arrays.push_back({"resistivity", shown});
    arrays.push_back({"log10_resistivity", logs});
  } else {
    arrays.push_back({"chargeability", shown});
  }
  const std::string vtk_name = dc ? "model.vtr" : "eta.vtr";
  write_vtk_rectilinear(io, in_folder(folder, vtk_name), stage.setup.grid.mesh, arrays);
  write_survey3d(io, in_folder(folder, predicted_data_name(stage.stage)), stage.survey,
                 result.predicted, outcome.dstd, "predicted by quelby-invert");
  write_iteration_history(io, history_name, result.iterations, result.misfit_history,
                          result.norm_history, result.beta_history, result.target_misfit, ndat);
  const auto kept = static_cast<std::size_t>(std::clamp<std::int32_t>(
      result.kept_iteration, 0, static_cast<std::int32_t>(result.misfit_history.size()) - 1));
  write_message(io, Order::console_then_log,
                std::string(stage_name(stage.stage)) + " inversion: " +
                    stop_reason_text(result.stop) + " after " + std::to_string(result.iterations) +
                    (result.iterations == 1 ? " iteration" : " iterations") + ", misfit" +
                    exponent_text(result.misfit_history[kept]) + "\n");
  return outcome;
}

Setup set_up(const Io& io, const InversionRun3D& run, const Survey3D& survey,
             const std::string& folder) {
  Setup s;
  Topography3D topography;
  const bool has_topography = !run.topography_file.empty();
  if (has_topography) read_topography3d(io, true, run.topography_file, topography);
  // The folder keeps the mesh and the topography file too, so that it runs again from itself.
  if (has_topography) keep_file_copy(io, run.topography_file, folder, kept_topography_name);
  if (run.mesh) {
    s.mesh = *run.mesh;
    write_mesh3d(io, in_folder(folder, kept_mesh_name), s.mesh);
  } else if (!run.mesh_file.empty()) {
    load_mesh3d(io, run.mesh_file, s.mesh);
    keep_file_copy(io, run.mesh_file, folder, kept_mesh_name);
  } else {
    SurveyMesh3DOptions options;
    options.cell_budget = run.cell_budget > 0 ? run.cell_budget : default_cell_budget;
    if (has_topography) {
      double top = std::numeric_limits<double>::infinity(), bottom = -top;
      for (const double elevation : topography.elevation) {
        const double z = topography.reference_elevation - elevation;
        top = std::min(top, z);
        bottom = std::max(bottom, z);
      }
      options.top = top;
      options.relief = bottom - top;
    }
    s.mesh = survey_mesh3d(io, survey, options);
    write_mesh3d(io, in_folder(folder, kept_mesh_name), s.mesh);
  }
  if (!run.air_cells.empty()) {
    s.air = run.air_cells;
  } else if (has_topography) {
    topography.flat_z = s.mesh.z_nodes[0];
    s.air = air_cells_3d(io, s.mesh, topography);
  } else {
    s.air.assign(static_cast<std::size_t>(s.mesh.nx) * static_cast<std::size_t>(s.mesh.ny), 0);
  }
  write_message(io, Order::console_then_log,
                "3-D forward mesh: " + std::to_string(s.mesh.nx) + " x " +
                    std::to_string(s.mesh.ny) + " x " + std::to_string(s.mesh.nz) + " = " +
                    std::to_string(s.mesh.cell_count()) + " cells\n");
  // The parameter grid.
  if (run.parameter_cell.kind == ParameterCellChoice::Kind::forward_mesh) {
    s.grid = forward_mesh_grid3d(s.mesh);
  } else {
    double ground_top = std::numeric_limits<double>::infinity();
    for (const std::int32_t a : s.air) ground_top = std::min(ground_top, s.mesh.z_nodes[a]);
    const double width = run.parameter_cell.kind == ParameterCellChoice::Kind::width
                             ? run.parameter_cell.width
                             : smallest_spacing(survey);
    s.grid = parameter_grid3d(io, s.mesh, survey.electrodes, ground_top,
                              std::isfinite(width) ? width : 0.0);
    write_mesh3d(io, in_folder(folder, parameter_grid_name), s.grid.mesh);
  }
  // Grid cells holding no ground cell are air; the active cells are the rest (or the file's).
  const ParameterForwardCells all = forward_cells_of_parameters3d(s.grid, s.air);
  const Mesh3D& g = s.grid.mesh;
  std::vector<std::int32_t> grid_air(static_cast<std::size_t>(g.nx) * g.ny, 0);
  for (std::int32_t j = 0; j < g.ny; ++j) {
    for (std::int32_t i = 0; i < g.nx; ++i) {
      std::int32_t k = 0;
      while (k < g.nz - 1) {
        const auto c = static_cast<std::size_t>(g.cell(i, j, k));
        if (all.starts[c + 1] > all.starts[c]) break;
        ++k;
      }
      grid_air[static_cast<std::size_t>(j) * g.nx + i] = k;
    }
  }
  ActiveCells3D active;
  read_active_cells3d(io, g, grid_air, run.active_file, active);
  s.cell_idx.assign(active.cell_idx.size(), 0);
  for (std::size_t c = 0; c < active.cell_idx.size(); ++c) {
    const bool holds = all.starts[c + 1] > all.starts[c];
    if (active.cell_idx[c] > 0 && holds) {
      s.cell_idx[c] = ++s.npar;
      for (std::int32_t at = all.starts[c]; at < all.starts[c + 1]; ++at) {
        s.parameters.cells.push_back(all.cells[at]);
      }
      s.parameters.starts.push_back(static_cast<std::int32_t>(s.parameters.cells.size()));
    }
  }
  if (s.npar == 0) {
    stop_with(io, Order::console_then_log, "Error: the 3-D inversion has no active cell\n");
  }
  write_message(io, Order::console_then_log,
                "parameter grid: " + std::to_string(g.nx) + " x " + std::to_string(g.ny) + " x " +
                    std::to_string(g.nz) + " cells, " + std::to_string(s.npar) + " parameters\n");
  return s;
}

}  // namespace

bool is_survey3d_file(const std::string& file_name) {
  // Only the first line's first bytes are read: a file that never ends (a device, a pipe) is
  // the data reader's to refuse.
  std::ifstream in(file_name, std::ios::binary);
  char head[64] = {};
  in.read(head, sizeof head);
  const std::string text(head, static_cast<std::size_t>(in.gcount()));
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
    line.pop_back();
  }
  return line == "GENERAL_3D";
}

InversionRun3D run3d_of(const InversionRun& run) {
  InversionRun3D r;
  r.data_file = run.data_file;
  r.ip_data_file = run.ip_data_file;
  r.mesh_file = run.mesh_file;
  r.topography_file = run.topography_file;
  r.active_file = run.active_file;
  r.parameter_cell = run.parameter_cell;
  r.data_uncertainty = run.data_uncertainty;
  r.ip_uncertainty = run.ip_uncertainty;
  r.starting = run.starting;
  r.reference = run.reference;
  r.ip_starting = run.ip_starting;
  r.ip_reference = run.ip_reference;
  if (run.alpha.mode == 3) {
    r.lengths = {run.alpha.lengths[0], run.alpha.lengths[0], run.alpha.lengths[1]};
  }
  r.ref_in_derivatives = run.ref_in_derivatives;
  r.settings = run.settings;
  r.max_log_change = run.max_log_change;
  r.ip_lower_bound = run.ip_lower_bound;
  r.invert = run.invert;
  r.output_folder = run.output_folder;
  return r;
}

InversionOutcome3D run_inversion3d(const Io& io, const InversionRun3D& run,
                                   const OutputFolder* held) {
  const bool dc = run.invert != InversionTargets::ip;
  const bool ip = run.invert != InversionTargets::dc;
  if (dc && !run.data && run.data_file.empty()) {
    stop_with(io, Order::console_then_log, "\nError: a DC inversion needs a DC data file.\n");
  }
  if (ip && !run.ip_data && run.ip_data_file.empty()) {
    stop_with(io, Order::console_then_log, "\nError: an IP inversion needs an IP data file.\n");
  }
  std::optional<OutputFolder> own_hold;
  if (!held) own_hold.emplace(hold_output_folder(io, run.output_folder));
  const std::string& folder = run.output_folder;
  InversionOutcome3D outcome;
  Survey3D dc_data, ip_data;
  if (dc) {
    dc_data = load_survey(io, run.data, run.data_file, true);
    complete_deviations3d(io, run.data_file, run.data_uncertainty, dc_data, true);
    check_values(io, run.data_file, dc_data);
  }
  if (ip) {
    ip_data = load_survey(io, run.ip_data, run.ip_data_file, false);
    complete_deviations3d(io, run.ip_data_file, run.ip_uncertainty, ip_data, false);
    check_values(io, run.ip_data_file, ip_data);
    if (dc && !same_electrodes(dc_data, ip_data)) {
      stop_with(io, Order::console_then_log,
                "\nError: the IP data must be read on the DC data's electrodes, datum by datum.\n");
    }
  }
  // The data as inverted (standard deviations completed) and their import log stay with the run.
  if (dc) {
    write_survey3d(io, in_folder(folder, observed_data_name), dc_data, dc_data.dobs, dc_data.dstd,
                   "observed data as inverted by quelby-invert");
  }
  if (ip) {
    write_survey3d(io, in_folder(folder, observed_ip_data_name), ip_data, ip_data.dobs,
                   ip_data.dstd, "observed data as inverted by quelby-invert");
  }
  keep_file_copy(io, import_log_beside(dc ? run.data_file : run.ip_data_file), folder,
                 kept_import_log_name);
  const Survey3D& survey = dc ? dc_data : ip_data;
  Setup setup = set_up(io, run, survey, folder);
  ForwardModel3D forward(io, setup.mesh, setup.air, survey, run.forward);

  // The objective on the grid.
  AlphaCoefficients3D alpha;
  const bool lengths_given = run.lengths[0] > 0 && run.lengths[1] > 0 && run.lengths[2] > 0;
  set_alpha3d(io, setup.grid.mesh, lengths_given ? 3 : 0, {0, 0, 0, 0}, run.lengths, alpha);
  ModelObjective3D built;
  ObjectiveOptions objective_options;
  objective_options.keep_factors = run.settings.blocky;
  build_model_objective3d(io, ParameterCells3D{setup.grid.mesh, setup.cell_idx, setup.npar}, alpha,
                          CellWeights3D{}, run.ref_in_derivatives, built, objective_options);
  const ModelObjective objective = as_model_objective(std::move(built));

  const auto grid_cells = static_cast<std::size_t>(setup.grid.mesh.cell_count());
  auto parameters_of = [&](const std::vector<double>& grid_values) {
    std::vector<double> p;
    for (std::size_t c = 0; c < grid_cells; ++c) {
      if (setup.cell_idx[c] > 0) p.push_back(grid_values[c]);
    }
    return p;
  };
  auto spread = [&](std::span<const double> m, bool logarithm) {
    std::vector<double> values(grid_cells, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t c = 0; c < grid_cells; ++c) {
      if (setup.cell_idx[c] > 0) {
        const double v = m[static_cast<std::size_t>(setup.cell_idx[c] - 1)];
        values[c] = logarithm ? std::exp(v) : v;
      }
    }
    return values;
  };

  std::vector<double> resistivity_grid;
  if (dc) {
    // The median apparent resistivity: K of a uniform 1 ohm-m ground on this mesh.
    double median = 0;
    if (run.starting.kind == ModelChoice::Kind::automatic ||
        run.reference.kind == ModelChoice::Kind::automatic) {
      const auto unit = forward.data(io, std::vector<double>(setup.mesh.cell_count(), 1.0));
      std::vector<double> apparent;
      for (std::size_t i = 0; i < unit.size(); ++i) {
        const double value = dc_data.dobs[i] / unit[i];
        if (value > 0 && std::isfinite(value)) apparent.push_back(value);
      }
      std::sort(apparent.begin(), apparent.end());
      median = apparent.empty() ? 0 : apparent[apparent.size() / 2];
      if (!(median > 0)) {
        stop_with(io, Order::console_then_log,
                  "Error: " + run.data_file + ": no datum gives a positive apparent resistivity\n");
      }
      write_message(io, Order::console_then_log,
                    "median apparent resistivity" + exponent_text(median) + " ohm-m\n");
    }
    const auto start = model_choice3d(io, setup.grid.mesh, run.starting, "starting", median);
    const auto reference = model_choice3d(io, setup.grid.mesh, run.reference, "reference", median);
    std::vector<double> m0 = parameters_of(start), m_ref = parameters_of(reference);
    for (double& v : m0) v = std::log(v);
    for (double& v : m_ref) v = std::log(v);
    // The forward cells of no parameter keep the starting model of their grid cell.
    std::vector<double> rho = forward_model_of_grid3d(setup.grid, start);
    ResistivityProblem3D problem(forward, setup.parameters, rho);
    InversionSettings settings = run.settings;
    if (settings.max_step == 0) settings.max_step = run.max_log_change;
    Stage3D stage{InversionStage::dc, setup, dc_data, run.data_file,
                  objective,          m0,    m_ref,   settings};
    outcome.dc = run_stage(io, stage, problem, folder,
                           [&](std::span<const double> m) { return spread(m, true); });
    resistivity_grid = outcome.dc->model;
    for (std::size_t c = 0; c < grid_cells; ++c) {
      if (!(resistivity_grid[c] > 0)) resistivity_grid[c] = start[c];
    }
  } else {
    resistivity_grid = model_choice3d(io, setup.grid.mesh, run.starting, "starting", 0);
  }
  if (ip) {
    const std::vector<double> rho = forward_model_of_grid3d(setup.grid, resistivity_grid);
    const auto eta_start = model_choice3d(io, setup.grid.mesh, run.ip_starting, "IP starting", 0);
    const auto eta_ref = model_choice3d(io, setup.grid.mesh, run.ip_reference, "IP reference", 0);
    const std::vector<double> eta_cells = forward_model_of_grid3d(setup.grid, eta_start);
    ChargeabilityProblem3D problem(io, forward, setup.parameters, rho, eta_cells, ip_data.iptype,
                                   run.ip_lower_bound);
    Stage3D stage{InversionStage::ip,     setup,       ip_data,
                  run.ip_data_file,       objective,   parameters_of(eta_start),
                  parameters_of(eta_ref), run.settings};
    outcome.ip = run_stage(io, stage, problem, folder,
                           [&](std::span<const double> m) { return spread(m, false); });
  }
  {
    const Forward3DStatistics& stats = forward.statistics();
    char text[320];
    std::snprintf(text, sizeof text,
                  "3-D forward model: %lld nodes, %.3g factor entries; factorisations %.3f s, "
                  "right-hand sides %.3f s, solves %.3f s, sensitivity passes %.3f s\n",
                  static_cast<long long>(stats.nodes), stats.factor_entries, stats.factor_seconds,
                  stats.assembly_seconds, stats.solve_seconds, stats.sensitivity_seconds);
    write_message(io, Order::log_only, text);
  }
  outcome.forward_mesh = setup.mesh;
  outcome.grid = setup.grid;
  outcome.air_cells = setup.air;
  outcome.cell_idx = setup.cell_idx;
  outcome.survey = survey;
  return outcome;
}

}  // namespace quelby
