// A time-lapse inversion of a monitoring line: the baseline's DC data inverted as run_inversion
// inverts any survey, then each later step's data on the readings common to both (timelapse_step),
// from and towards the baseline's model (difference) or a homogeneous model (ratio), each step into
// its own folder with its own run log, its change in percent, and the campaign's summary.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/inversion/inversion_run.hpp"
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
};

struct TimelapseStepOutcome {
  std::string data_name;
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
  std::vector<TimelapseStepOutcome> steps;
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
// run sees every inversion's iterations in turn. A run that asks for IP, has no step or a
// homogeneous resistivity below 0, or any failure of a step writes its message and throws Stop;
// the files written until then stay complete.
TimelapseOutcome run_timelapse(const Io& io, const TimelapseRun& run);

}  // namespace quelby
