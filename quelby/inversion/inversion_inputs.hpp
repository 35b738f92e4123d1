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

// Leaves standard deviations read from the file alone; otherwise fills them from `uncertainty`
// (percent / 100 * |dobs| + floor). Without an uncertainty, or when one gives a deviation that is
// not positive, writes its message naming `file_name` and throws Stop.
void complete_deviations(const Io& io, std::string_view file_name,
                         const std::optional<DataUncertainty>& uncertainty, SurveyData& survey);

// The median over the data of K_i dobs_i, K_i = 1 / d_i of a uniform 1 ohm-m earth on `forward`
// (the numeric geometric factors of geometric_factors, on the forward model already built). One
// forward run; a median that is not a positive number writes its message and throws Stop.
double median_apparent_resistivity(const Io& io, ForwardModel& forward, const Mesh& mesh,
                                   const SurveyData& survey, std::string_view file_name);

// What a model's parameters must hold: positive (a resistivity, inverted in its logarithm), not
// negative (a starting chargeability) or merely finite (a reference chargeability).
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
