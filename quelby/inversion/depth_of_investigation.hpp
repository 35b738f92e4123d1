// The depth of investigation of a DC inversion by the index of Oldenburg and Li (1999, Geophysics
// 64:403): the data inverted twice more with everything the same but the reference model, the
// run's reference divided and multiplied by sqrt(F), each run started from its own reference. Per
// cell R = (m1 - m2) / (mr1 - mr2) with m = log10(resistivity): near 0 where the data fix the
// model, near 1 where the reference does.
#pragma once

#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/inversion/inversion_run.hpp"

namespace quelby {

// The two references lie this factor apart unless the run asks for another (F > 1).
inline constexpr double default_doi_factor = 10;
// The files and folders the index adds to the run's output folder.
inline constexpr const char* doi_model_name = "doi.mod";
inline constexpr const char* doi_low_folder = "doi_low";    // the run with the reference / sqrt(F)
inline constexpr const char* doi_high_folder = "doi_high";  // the run with the reference * sqrt(F)
// The index of a cell that is no parameter (air, inactive, influence): the data say nothing of
// it, and no index value (0 to 1) stands for that.
inline constexpr double doi_no_parameter = -1;

struct DepthOfInvestigation {
  double factor = default_doi_factor;
  // One value per cell of the outcome's mesh: min(|R|, 1) divided by its largest value over the
  // parameters (0 to 1), doi_no_parameter on the cells that are no parameter.
  std::vector<double> index;
  double largest = 0;      // the largest |R| over the parameters (before the clip at 1)
  StageOutcome low, high;  // the two further DC inversions
};

// The normalised index of every cell from the two further runs' final models and references
// (ohm-m, one value per cell): min(|R|, 1) / min(max |R|, 1), the largest taken over the cells
// whose references are numbers, which are the parameters; doi_no_parameter where a reference is
// NaN. With every R zero the index is zero. `largest`, when given, receives max |R|. Linear in
// cells.
std::vector<double> doi_index(std::span<const double> low_model, std::span<const double> high_model,
                              std::span<const double> low_reference,
                              std::span<const double> high_reference, double* largest = nullptr);

// Refuses a run that cannot give the index, before it starts: one without a DC inversion (IP only)
// and a factor that is not a number above 1. Writes the message (console, then run log) and throws
// Stop.
void check_depth_of_investigation(const Io& io, const InversionRun& run, double factor);

// After run_inversion(run) gave `first`: runs the two further DC inversions of `run` (IP data left
// out), each in its folder under the run's output folder (doi_low, doi_high) with its own run.log
// and files as run_inversion writes them, their progress kept from the console. The parameters'
// references and starting models are first.dc_reference / sqrt(F) and * sqrt(F); the other cells
// keep first's final DC model. Writes doi.mod in the output folder, the two runs' stop reasons and
// misfits to io.log and one summary line to the console (and the log). The run's observer sees the
// further runs' iterations too. A failure of a further run writes a line naming it before its
// message (console, then run log) and throws its Stop on.
DepthOfInvestigation depth_of_investigation(const Io& io, const InversionRun& run,
                                            const InversionOutcome& first,
                                            double factor = default_doi_factor);

}  // namespace quelby
