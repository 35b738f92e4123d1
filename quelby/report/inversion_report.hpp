// The reports of an inversion's progress: the iteration history file (misfit, model norm and beta
// per iteration) and the run-log summaries of a beta choice and of the model objective's terms.
// Nothing is decided here: every value is the caller's. Iterations and terms are numbered as users
// see them (iteration 0 first, terms "Ws ", "Wx ", "Wz ", "Wxz").
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/regularization/objective.hpp"

namespace quelby {

// Writes the history file `name` (trailing blanks ignored): a header with niter, one row per
// iteration 0..niter with elements i of the three histories, the target misfit and ndat (the
// survey data store's number of data). The file is written beside its final name and renamed into
// place when complete; a failure leaves no partial file and is reported as one line on the error
// stream, then Stop. The histories need niter + 1 elements (std::invalid_argument otherwise).
void write_iteration_history(const Io& io, std::string_view name, std::int32_t niter,
                             std::span<const double> misfit_history,
                             std::span<const double> norm_history,
                             std::span<const double> beta_history, double target_misfit,
                             std::int32_t ndat);

// One iteration's choice of beta, as the caller computed it.
struct BetaChoice {
  double chosen_beta = 0;
  double target_misfit = 0;
  double achieved_misfit = 0;
  double previous_misfit = 0;
  double model_norm = 0;
  double model_norm_change = 0;
};

// The betas tried and their misfits, pair by pair (equal lengths, std::invalid_argument
// otherwise).
struct BetaTrials {
  std::span<const double> betas;
  std::span<const double> misfits;
};

// Writes to the run log the beta-versus-misfit table when `trials` are given, then the six summary
// lines between empty lines, and flushes the run log.
void report_beta_choice(const Io& io, const BetaChoice& choice,
                        const std::optional<BetaTrials>& trials = std::nullopt);

// Writes one "norm comp" line per term of `objective` with its term_norms value for m and m_ref,
// then an empty line, to the run log.
void report_term_norms(const Io& io, const ModelObjective& objective, std::span<const double> m,
                       std::span<const double> m_ref);

// Writes the "Ws ", "Wx " and "Wz " lines with the second, third and fourth of `components` (four
// elements, std::invalid_argument otherwise), then an empty line, to the run log.
void report_norm_components(const Io& io, std::span<const double> components);

}  // namespace quelby
