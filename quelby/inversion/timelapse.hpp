// The data of a time-lapse step and what it changed: on the readings common to the baseline and the
// step, the difference data d_t - d_0 + d(m_0) (LaBrecque and Yang 2001, inverted from m_0 and
// regularised towards it) or the ratio data d_t / d_0 times the response of a homogeneous model
// (Daily et al. 1992); the change of a model against its reference in percent; the campaign's
// summary file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/common_readings.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

enum class TimelapseMethod { difference, ratio };

// "difference" or "ratio".
const char* timelapse_method_name(TimelapseMethod method);

// One step's data as inverted.
struct TimelapseStep {
  // The readings common to the baseline and the step, in the baseline's grouped order, electrodes
  // and polarity (select_readings of the baseline); dobs the data to fit, dstd their deviations.
  SurveyData data;
  CommonReadings readings;  // first: the baseline's datum, second: the step's
  std::int32_t dropped_from_step = 0, dropped_from_baseline = 0;
  // "<step>: N readings common with the baseline <baseline>; dropped: a of the step's n, b of the
  // baseline's m": the console's and run log's line, and the header of the data file written.
  std::string description;
};

// The data of step `step` (values and deviations complete) against the baseline (values
// complete): with s d_t the step's reading in the baseline's polarity, the difference method fits
// (s d_t - d_0) + response (response = d(m_0), the baseline model's data, grouped order) with the
// step's deviations; the ratio method fits (s d_t / d_0) * response (response = the homogeneous
// model's data) with the step's deviation scaled alike (dstd_t |response / d_0|). Writes the
// description (console, then run log). No common reading, a baseline datum of 0 for a ratio or a
// value that is not finite writes its message naming the step and the reading's electrodes and
// throws Stop.
TimelapseStep timelapse_step(const Io& io, const SurveyData& baseline,
                             std::span<const double> response, const SurveyData& step,
                             TimelapseMethod method, std::string_view baseline_name,
                             std::string_view step_name);

// The homogeneous model of a ratio inversion and its data (grouped order, ohms): `value` ohm-m, or
// for a value of 0 the median apparent resistivity of `survey` (median_apparent_resistivity), on
// the ground below `air_cells`. One forward model; writes the value used (console, then run log).
// A value that is not 0 or a positive number writes its message and throws Stop.
std::pair<double, std::vector<double>> homogeneous_response(const Io& io, const Mesh& mesh,
                                                            std::span<const std::int32_t> air_cells,
                                                            const SurveyData& survey,
                                                            std::string_view name, double value);

// The change of `model` against `reference` per cell, in percent: 100 (model / reference - 1),
// and 0 exactly where the two are equal (the cells an inversion does not change).
std::vector<double> change_percent(std::span<const double> model,
                                   std::span<const double> reference);

// One line of the campaign's summary.
struct TimelapseSummaryLine {
  std::string data_name;
  std::int32_t readings = 0, dropped_from_step = 0, dropped_from_baseline = 0;
  std::int32_t iterations = 0;
  double misfit = 0, target_misfit = 0;
  double smallest_change = 0, largest_change = 0;  // percent; 0 for the baseline
  // Empty for a step inverted; else why it failed (failure_reason of its stop), and the numbers
  // above mean nothing. Initialised, so that a line listing only the numbers need not name it.
  std::string failure = {};
};

// A stop's message as one line: its words joined by single blanks, without a leading "Error: ".
std::string failure_reason(std::string_view message);

// Writes the summary file `name` atomically: two comment lines ("!"), then per step from 0 (the
// baseline) "K readings dropped_step dropped_baseline iterations misfit target smallest largest
// file", the reals in 13-column exponent form; a failed step's line is "K failed  file  ! reason"
// (K in 5 columns, "failed" in 9; the reason as failure_reason gives it). A failure to write
// writes its message and throws Stop.
void write_timelapse_summary(const Io& io, std::string_view name, TimelapseMethod method,
                             std::span<const TimelapseSummaryLine> lines);

}  // namespace quelby
