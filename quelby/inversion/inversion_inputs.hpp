// The inputs of an inversion that its files leave open: standard deviations for data read without
// them, the median apparent resistivity that stands for a starting or reference model nobody gave,
// and a model for every cell from a value or a model file, checked where it becomes a parameter.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// The standard deviations of data that hold none and were given none: DC data
// default_dc_percent % of |datum| plus a floor of default_dc_percent % of the 5th percentile of
// |datum| over the data (so readings near zero cannot take the weight of the rest; the data files
// carry no currents to make a voltage floor of); IP data default_ip_percent % plus
// default_ip_floor in their unit.
inline constexpr double default_dc_percent = 3, default_ip_percent = 5, default_ip_floor = 1;
DataUncertainty default_uncertainty(const SurveyData& survey, bool dc);

// Leaves standard deviations read from the file alone; otherwise fills them from `uncertainty`
// (percent / 100 * |dobs| + floor), or without one from default_uncertainty (`dc`: DC or IP data),
// which it names on the console and in the run log. An uncertainty that gives a deviation that is
// not positive writes its message naming `file_name` and throws Stop.
void complete_deviations(const Io& io, std::string_view file_name,
                         const std::optional<DataUncertainty>& uncertainty, SurveyData& survey,
                         bool dc = true);

// The median over the data of K_i dobs_i, K_i = 1 / d_i of a uniform 1 ohm-m earth on `forward`
// (the numeric geometric factors of geometric_factors, on the forward model already built). One
// forward run; a median that is not a positive number writes its message and throws Stop.
double median_apparent_resistivity(const Io& io, ForwardModel& forward, const Mesh& mesh,
                                   const SurveyData& survey, std::string_view file_name);

// The largest magnitude of a datum, a standard deviation or a chargeability an inversion takes,
// and the smallest standard deviation: within these, every normalised datum, its square and the
// sums of the misfit stay far inside the range of doubles.
inline constexpr double largest_magnitude = 1e50;
inline constexpr double smallest_deviation = 1e-50;

// Every datum's value must be a finite number of magnitude largest_magnitude or less, and its
// standard deviation a number from smallest_deviation to largest_magnitude; the first that is not
// writes "Error: <file>, line <n>: ..." (the datum named by its line when `from_file`, the data
// having been read from `file_name`; else by its number in the order given) and throws Stop.
void check_data_values(const Io& io, std::string_view file_name, bool from_file,
                       const SurveyData& survey);

// What a model's parameters must hold: positive (a resistivity, inverted in its logarithm), not
// negative (a starting chargeability) or merely finite (a reference chargeability); a
// chargeability also of magnitude largest_magnitude or less.
enum class ParameterRange { positive, not_negative, finite };

// One value per cell (cell order) from `choice`: `automatic` everywhere for Kind::automatic, the
// value everywhere, the model file read with `label` ("starting" gives "starting was read from
// file: ..."), or the values given (a count other than the mesh's cells writes its message and
// throws Stop). A parameter cell of `cells` whose value is out of `range` writes
// "Error: the <label> model holds <value> in cell (i, k), a parameter" and throws Stop.
std::vector<double> model_of_choice(const Io& io, const Mesh& mesh, const ActiveCells& cells,
                                    const ModelChoice& choice, std::string_view label,
                                    double automatic, ParameterRange range);

}  // namespace quelby
