// The inversion of a survey from its files or from stores in memory: reads the mesh, the ground
// surface, the active cells and the data with the library's readers (or takes them as given),
// inverts the DC data for the resistivity (gauss_newton
// over ln rho) and then, on the final resistivity, the IP data for the chargeability, and writes
// every iteration's model, the final models, the predicted data and the iteration histories into
// an output folder, each file atomically, so that a run stopped at any point leaves complete files.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// A model for every cell: one value, a model file, values given per cell (cell order), or the
// driver's default (the median apparent resistivity of the DC data for a resistivity, 0 for a
// chargeability).
struct ModelChoice {
  enum class Kind { automatic, value, file, cells };
  Kind kind = Kind::automatic;
  double value = 0;
  std::string file;
  std::vector<double> cells = {};

  static ModelChoice automatic() { return {}; }
  static ModelChoice uniform(double value) { return {Kind::value, value, {}}; }
  static ModelChoice model_file(std::string name) { return {Kind::file, 0, std::move(name)}; }
  static ModelChoice per_cell(std::vector<double> values) {
    return {Kind::cells, 0, {}, std::move(values)};
  }
};

// Standard deviations for data read without them: percent / 100 * |value| + floor.
struct DataUncertainty {
  double percent = 0;
  double floor = 0;
};

// The arguments of set_alpha: mode 0 (lengths of 4 smallest cells), 2 (alpha = a_s, a_x, a_z) or
// 3 (lengths = Lx, Lz).
struct AlphaChoice {
  std::int32_t mode = 0;
  std::array<double, 3> alpha{};
  std::array<double, 2> lengths{};
};

enum class InversionStage { dc, ip };
// What a run inverts: DC data, IP data on a given resistivity, or DC data and then IP data on the
// resistivity found.
enum class InversionTargets { dc, ip, both };

// What the observer sees after every accepted iteration of either inversion.
struct IterationUpdate {
  InversionStage stage;
  const IterationReport& report;
  const Mesh& mesh;                   // the parameter grid's cells, which the model fills
  std::span<const double> model;      // one value per cell: ohm-m (DC) or chargeability (IP)
  std::span<const double> predicted;  // the data of the model, the survey's grouped order
  // Iterations 0..report.iteration.
  std::span<const double> misfit_history, norm_history, beta_history;
};
using RunObserver = std::function<void(const IterationUpdate&)>;

struct InversionRun {
  std::string mesh_file;
  std::string topography_file;  // "": flat ground at the first z node
  std::string active_file;      // "": every cell below the surface is a parameter
  std::string data_file;        // DC data; "": none
  std::string ip_data_file;     // IP data; "": none
  // The data files (DC, IP and a time-lapse run's steps) are in the common-current layout with a
  // z position after every x (read_data_file's use_z): buried electrodes. Stores given in memory
  // carry their own positions.
  bool use_z = false;
  // The control line `report`: the caller writes the run folder's report page once the run ends
  // (write_run_report); the run itself does not read it.
  bool report = false;
  // For data files without standard deviations; without these, the defaults (see
  // default_uncertainty in inversion_inputs.hpp), named in the run log.
  std::optional<DataUncertainty> data_uncertainty, ip_uncertainty;
  // The parameters' cells: the forward mesh's own (as the library always did), the default grid
  // or a grid of a chosen width (parameter_grid), or the grid of a mesh file whose nodes are
  // forward mesh nodes (`parameter_file`, when not empty). The active cells, weights, dipping
  // zones and every model given or written are on this grid.
  ParameterCellChoice parameter_cell;
  std::string parameter_file;
  // The lowest chargeability (0: chargeabilities are not negative; below 0 for data that are
  // phases or decays of either sign).
  double ip_lower_bound = 0;
  ModelChoice starting, reference;        // resistivity, ohm-m
  ModelChoice ip_starting, ip_reference;  // chargeability, in the unit of the IP data
  AlphaChoice alpha;
  std::optional<AlphaChoice> ip_alpha;  // none: the DC inversion's alpha
  WeightSource weights;                 // both inversions
  DipSource dipping;                    // both inversions
  bool ref_in_derivatives = false;      // the derivative terms act on m - m_ref
  InversionSettings settings;           // chifact, iteration limit and the method's constants
  // The sound range of the DC inversion's resistivities (ohm-m): a trial step beyond it is
  // rejected. Widened to hold the starting and reference models where they lie outside.
  std::array<double, 2> resistivity_bounds{1e-4, 1e8};
  // The largest change of ln(resistivity) of any cell in one DC iteration (0: unbounded).
  double max_log_change = 3;
  InversionTargets invert = InversionTargets::dc;
  std::string output_folder = ".";
  RunObserver observer;  // called after every iteration's files are written

  // Stores given in memory, each in place of its file: the mesh; the ground surface (its air cells
  // one per column of the mesh); the active cells, built for the mesh with their own air cells
  // (the surface then comes from them, and a topography given too must agree with them); the DC
  // and the IP data, whose file names, when given, only name them in the messages.
  std::optional<Mesh> mesh;
  std::optional<Topography> topography;
  std::optional<ActiveCells> active;
  std::optional<SurveyData> data, ip_data;
  // The parameter grid as a store (over `mesh` or the mesh file), in place of parameter_cell:
  // a time-lapse campaign inverts every step on its baseline's grid.
  std::optional<ParameterGrid> grid;
};

// One inversion's results.
struct StageOutcome {
  InversionResult result;
  std::vector<double> model;  // one value per cell: the final model
  std::vector<double> dobs, dstd;
};

struct InversionOutcome {
  Mesh mesh;  // the parameter grid's cells, which the models fill
  Mesh forward_mesh;
  Topography forward_ground;  // air cells per forward mesh column
  ParameterGrid grid;
  ActiveCells cells;  // on the grid
  std::optional<StageOutcome> dc, ip;
  // The DC inversion's reference model, one value per cell of `mesh` (ohm-m); NaN on the cells
  // that are no parameter. Empty without a DC inversion.
  std::vector<double> dc_reference;
};

// The file names a run writes in its output folder ("model_3.mod": iteration 3's model).
inline constexpr const char* run_log_name = "run.log";
inline constexpr const char* parameter_grid_name = "parameters.msh";  // when not the forward mesh
std::string iteration_model_name(InversionStage stage, std::int32_t iteration);
std::string final_model_name(InversionStage stage);     // model.mod, eta.mod
std::string predicted_data_name(InversionStage stage);  // predicted.dat, predicted_ip.dat
std::string history_file_name(InversionStage stage);    // history.txt, history_ip.txt

// The forward mesh and the active cells of `run` on it (one parameter per mesh cell), as
// run_inversion loads them without a parameter grid: the stores it holds, the rest read from
// their files (messages and stops as run_inversion's).
void load_run_ground(const Io& io, const InversionRun& run, Mesh& mesh, ActiveCells& cells);

// Runs the inversions of `run`: the readers' lines, the per-iteration reports and the summaries go
// to io.log, a progress line per iteration and the stop reason of each inversion to the console
// (and the log). Creates the output folder when missing and holds it for the run
// (hold_output_folder: a folder another run holds is refused); as each inversion starts, its
// inputs read and checked, removes the numbered models of that stage an earlier run left there.
// Every failure writes its message and throws Stop; the files written until then stay complete.
InversionOutcome run_inversion(const Io& io, const InversionRun& run);
// The same in the folder `folder` the caller already holds (hold_output_folder of
// run.output_folder), as quelby-invert does to write its run log there first.
InversionOutcome run_inversion(const Io& io, const InversionRun& run, const OutputFolder& folder);

}  // namespace quelby
