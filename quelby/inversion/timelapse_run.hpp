// A time-lapse inversion of a monitoring line: the baseline's DC data inverted as run_inversion
// inverts any survey, then each later step's data on the readings common to both (timelapse_step),
// from and towards the baseline's model (difference) or a homogeneous model (ratio), each step into
// its own folder with its own run log, its change in percent, and the campaign's summary; a step
// that fails is reported there and the others go on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/inversion/timelapse.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

struct TimelapseRun {
  // The baseline's data (file or store) and everything the inversions share (mesh, ground,
  // objective, settings, data_std); DC data only. Its output folder holds the steps' folders.
  InversionRun inversion;
  // The later steps' data in time order: files, or stores (step_files, when given, name them).
  std::vector<std::string> step_files;
  std::vector<SurveyData> step_data;
  TimelapseMethod method = TimelapseMethod::difference;
  // Ratio: the homogeneous model's resistivity; 0 for the baseline's median apparent resistivity.
  double homogeneous = 0;
  // False: the outcome keeps no step's outcome, only the summary's numbers, so that a campaign of
  // many steps grows by no more than those per step (the command's choice).
  bool keep_steps = true;
};

struct TimelapseStepOutcome {
  std::string data_name;
  // Empty for a step inverted; else why it failed (failure_reason of its stop), the fields below
  // holding what the step reached.
  std::string failure;
  TimelapseStep step;             // the data fitted, the matched readings, the dropped counts
  StageOutcome inversion;         // its dobs and dstd: the data fitted
  std::vector<double> reference;  // per cell: the model the change is taken against
  std::vector<double> change;     // per cell, percent (change_percent)
};

struct TimelapseOutcome {
  Mesh mesh;  // the parameter grid's cells, which the models fill
  Mesh forward_mesh;
  Topography forward_ground;
  StageOutcome baseline;
  double homogeneous = 0;  // ratio: the homogeneous model's resistivity
  // The lines of timelapse.txt: the baseline's, then every later step's, failed ones too.
  std::vector<TimelapseSummaryLine> summary;
  // Every later step's outcome in time order with keep_steps, else none.
  std::vector<TimelapseStepOutcome> steps;
  std::int32_t failed_steps = 0;
};

// The files of a time-lapse run: in the output folder the summary and one folder per step ("step_0"
// the baseline's), each holding what run_inversion writes (with its own run.log); in the later
// steps' folders also the change in percent (a model file) and the data fitted (general layout).
inline constexpr const char* timelapse_summary_name = "timelapse.txt";
inline constexpr const char* change_model_name = "change.mod";
inline constexpr const char* step_data_name = "data.dat";
std::string timelapse_step_folder(std::size_t step);  // "step_K", K from 0

// Runs the baseline's inversion and then each step's, writing the common readings of each step and
// its change (console, then run log), and the summary after every step; io.log is the campaign's
// run log, each inversion's log is its folder's run.log. The starting and reference models of the
// run serve the baseline; a difference step starts from the baseline's final model and is
// regularised towards it with the derivative terms acting on m - m_0 (the change is smoothed), a
// ratio step starts from and is regularised towards the homogeneous model. The observer of the
// run sees every inversion's iterations in turn. The campaign holds its output folder throughout
// (hold_output_folder: a folder another run holds is refused before anything is written), and
// each step its own folder before it writes there. A later step that stops (its data unreadable,
// no reading common with the baseline, a datum that is not finite, its folder held, its
// inversion's failure) fails alone: "step K failed: <reason>" (console, then run log and its
// folder's run log), a failed line in the summary, and the next step goes on; after the last, a
// campaign with failed steps writes how many (console, then run log). A run that asks for IP, has
// no step or a homogeneous resistivity below 0, or a baseline that fails writes its message and
// throws Stop; the files written until then stay complete.
TimelapseOutcome run_timelapse(const Io& io, const TimelapseRun& run);
// The same in the folder `folder` the caller already holds (hold_output_folder of
// run.inversion.output_folder), as quelby-invert does to write its run log there first.
TimelapseOutcome run_timelapse(const Io& io, const TimelapseRun& run, const OutputFolder& folder);

}  // namespace quelby
