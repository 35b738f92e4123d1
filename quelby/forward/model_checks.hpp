// Checks of what the forward model is given beside its resistivities and of what it gives back,
// shared by quelby-forward and the Python module: chargeabilities of ground cells that are not
// finite numbers, and data, IP responses or sensitivities that are not, are refused naming the
// cell or the datum, so that no result holding such a number is ever written or returned.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// Every value of `chargeability` (one per mesh cell) at `ground_cells` (0-based mesh cells, as
// ForwardModel::ground_cells gives them) must be a finite number; the first that is not writes
// "Error: the chargeability of cell (i, k) is not a finite number: <value>" (1-based column and
// row), naming `source` (a model file, or a text such as "the chargeabilities given"), and throws
// Stop. Air cells are never read, so whatever they hold is let be. Linear in the ground cells.
void check_chargeabilities(const Io& io, const Mesh& mesh,
                           std::span<const std::int32_t> ground_cells,
                           std::span<const double> chargeability, std::string_view source);

// Every value (one per datum, grouped order) must be a finite number; the first that is not writes
// "Error: <datum>: the <what> is not a finite number: <value>", the datum named by its line of
// `survey_name` (datum_place), and throws Stop.
void check_finite_data(const Io& io, const SurveyData& survey, std::string_view survey_name,
                       std::span<const double> values, std::string_view what);

// The same for a sensitivity matrix (row-major, one row per datum, `columns` parameters); the
// message names the datum and the 1-based parameter.
void check_finite_sensitivities(const Io& io, const SurveyData& survey,
                                std::string_view survey_name, std::span<const double> jacobian,
                                std::size_t columns);

}  // namespace quelby
