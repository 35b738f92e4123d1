// Regularised Gauss-Newton inversion in data space: minimises phi(m) = phi_d + beta phi_m with
// phi_d = sum_i ((d_i(m) - dobs_i) / dstd_i)^2 (or its robust form) and phi_m the model objective
// (WTW and the reference model). Each step solves (G^T G + beta WTW) dm = -(G^T b + beta g)
// through the small system G WTW^-1 G^T + beta I of the data (G the sensitivities scaled by
// 1 / dstd); one eigen-decomposition of it (LAPACK) gives the linearised misfit of every beta, so
// each iteration tries many and keeps the one that reaches max(0.99 target, fraction * current
// misfit). The step is bounded (a trust region on every parameter's change), and a line search on
// the true phi follows, in which a trial the problem cannot take (a parameter beyond its bounds,
// data that are not finite) is rejected and the step shortened. Deterministic: the same bits on
// any number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/regularization/objective.hpp"

namespace quelby {

struct InversionSettings {
  double chifact = 1;                // target misfit = chifact * ndat
  std::int32_t max_iterations = 20;  // iteration limit
  // Each step aims at max(0.99 target, misfit_fraction * current misfit).
  double misfit_fraction = 0.1;
  std::int32_t beta_trials = 21;  // betas tried per iteration on a log grid (then refined)
  // Stop when an iteration lowers the misfit by less than this fraction of it.
  double stall_fraction = 0.01;
  std::int32_t max_step_halvings = 6;  // line search
  // The largest change of any parameter in one iteration (a trust region); 0: unbounded. A longer
  // step is scaled down to it before the line search.
  double max_step = 0;
  // A robust data misfit (Huber's weights by iteratively reweighted least squares), its threshold
  // in standard deviations, from lowest_robust_threshold to highest_robust_threshold (see
  // robust_misfit.hpp).
  bool robust = false;
  double robust_threshold = 1.5;
  // A blocky model: the derivative terms reweighted every iteration towards the sum of the
  // gradients' magnitudes (an L1 measure) instead of their squares.
  bool blocky = false;
  // Bytes that the sensitivities and the data-space matrices may take (0: half the memory the
  // system has available, which varies from run to run). Beyond it, for a problem that gives
  // products with its sensitivities, each step comes from a Krylov space of at most
  // `krylov_steps` products with J and J^T. The two steps agree to rounding, not bit for bit: a
  // budget given makes the choice, and so the run, the same every time.
  std::size_t memory_budget = 0;
  std::int32_t krylov_steps = 200;
};

// The largest memory budget in MiB, 2^40: its bytes (2^60) fit a 64-bit size with room to spare,
// and it is far more than a machine holds.
inline constexpr std::uint64_t largest_memory_budget_mib = std::uint64_t{1} << 40;

// The bytes of a memory budget of `mib` MiB, rounded up to a whole byte; nothing unless mib is a
// number above 0 and at most largest_memory_budget_mib (0, NaN, a negative or too large value).
std::optional<std::size_t> memory_budget_bytes(double mib) noexcept;

// The bytes of the memory budget that `text` gives in MiB: one number, as memory_budget_bytes
// takes it; nothing for any other text. The command line, the control file and Python read a
// budget through it.
std::optional<std::size_t> parse_memory_budget(std::string_view text) noexcept;

// "a number of MiB above 0 and at most 1099511627776 (2^40)": the range, as messages give it.
std::string memory_budget_range();

// What is inverted: predicted data and sensitivities of a parameter vector m.
class InversionProblem {
 public:
  virtual ~InversionProblem() = default;
  virtual std::size_t data_count() const = 0;
  virtual std::size_t parameter_count() const = 0;
  // d = the predicted data of m (data_count values).
  virtual void predict(const Io& io, std::span<const double> m, std::span<double> d) = 0;
  // J[i * npar + p] = d d_i / d m_p (row-major) and d, both of m.
  virtual void jacobian(const Io& io, std::span<const double> m, std::span<double> jacobian,
                        std::span<double> d) = 0;
  // Moves m into the admissible set (nothing by default).
  virtual void project(std::span<double> m) const { (void)m; }
  // A lower bound of every parameter, which project() keeps: a parameter on it that phi would push
  // below it is held for the step (the model objective's matrix then carries a large penalty on
  // it, refactorised for that iteration).
  virtual bool has_lower_bound() const { return false; }
  virtual double lower_bound() const { return 0; }
  // Products with the sensitivities of m without forming them: out = J v (data_count values) and
  // out = J^T w (parameter_count values), for problems whose J does not fit in memory. A problem
  // that gives them says so with has_jacobian_products.
  virtual bool has_jacobian_products() const { return false; }
  virtual void jacobian_times(const Io& io, std::span<const double> m, std::span<const double> v,
                              std::span<double> out) {
    (void)io, (void)m, (void)v, (void)out;
  }
  virtual void jacobian_transpose_times(const Io& io, std::span<const double> m,
                                        std::span<const double> w, std::span<double> out) {
    (void)io, (void)m, (void)w, (void)out;
  }
  // Per datum its class (0, 1, ...): data of one class have the same sensitivities (a reading and
  // its reciprocal, a reading repeated), and each step sees a class once. Empty: every datum its
  // own class.
  virtual std::vector<std::int32_t> sensitivity_classes() const { return {}; }
  // Why the problem cannot take m (a parameter beyond its bounds), or "" when it can. A trial step
  // that it cannot take is rejected by the line search.
  virtual std::string inadmissible(std::span<const double> m) const {
    (void)m;
    return {};
  }
};

enum class StopReason { target_reached, iteration_limit, misfit_stalled, no_descent };

// "reached the target misfit", "reached the iteration limit", "the misfit no longer falls" (two
// accepted iterations in a row lowered it by less than the stall fraction), "no step lowers the
// objective function" (every trial of the line search, also with larger betas, was rejected).
const char* stop_reason_text(StopReason reason);

// One iteration as reported: the beta chosen, the betas tried with their linearised misfits, and
// the misfit and model norm of the model accepted by the line search.
struct IterationReport {
  std::int32_t iteration = 0;  // 1-based
  double beta = 0;
  double first_beta = 0;  // iteration 0's beta (beta_history[0] of the result)
  double predicted_misfit = 0;
  double misfit = 0;
  double previous_misfit = 0;
  double model_norm = 0;
  double model_norm_change = 0;
  double step_length = 1;
  std::vector<double> tried_betas, tried_misfits;
  double least_squares_misfit = 0;   // sum of squared normalised residuals of the accepted model
  std::int32_t rejected_trials = 0;  // trials of the line search rejected this iteration
  std::size_t down_weighted = 0;     // data the robust misfit weighted down this iteration
};

struct InversionResult {
  // The parameters kept and their data: those of the iteration of the lowest misfit (the last on
  // ties, and the last always when it reached the target), which need not be the last iteration
  // when the misfit rose at the end (a blocky or robust reweighting, a stall).
  std::vector<double> m;
  std::vector<double> predicted;
  std::int32_t kept_iteration = 0;  // the iteration of m (0: the starting model)
  // Per iteration from 0 (the starting model): misfit, model norm, beta (iteration 0: the first
  // beta, from the ratio of the curvatures of phi_d and phi_m).
  std::vector<double> misfit_history, norm_history, beta_history;
  std::int32_t iterations = 0;
  double target_misfit = 0;
  StopReason stop = StopReason::iteration_limit;
  // The robust misfit's weights of the kept model's data (all 1 for least squares).
  std::vector<double> data_weights;
  // Wall-clock seconds of each phase over the whole run: the sensitivities (with their data), the
  // half solves with WTW and the Gram product that make the data-space matrix, its decomposition
  // (or the Krylov space), the steps of the betas (solves and products), and the line searches
  // (the trials' data) with the starting model's data.
  struct Seconds {
    double sensitivities = 0, half_solves = 0, data_space_matrix = 0, decomposition = 0, steps = 0,
           line_search = 0;
  } seconds;
};

// Called after every accepted iteration with the report, the parameters and their data.
using IterationObserver = std::function<void(const IterationReport&, std::span<const double> m,
                                             std::span<const double> predicted)>;

// Inverts `dobs` (with standard deviations `dstd`, all > 0) from m0 with the reference m_ref,
// both npar values. Before the first iteration it states the memory of the dense step against the
// budget and the step taken (run log; on the console too for the step from products, with the
// budget that takes the dense step, and after its first Krylov step how long the steps may take).
// Each iteration writes report_beta_choice (with the tried betas), report_term_norms and every
// rejected trial of its line search to the run log before the observer is called. When an earlier
// iteration than the last is kept, it says so (console, then run log). Failures of the problem
// stop as it stops; a robust threshold out of its range, a WTW that is not positive definite,
// data or standard deviations that are not finite, and a starting model the problem cannot take
// write their message and throw Stop.
InversionResult gauss_newton(const Io& io, InversionProblem& problem,
                             const ModelObjective& objective, std::span<const double> dobs,
                             std::span<const double> dstd, std::span<const double> m0,
                             std::span<const double> m_ref, const InversionSettings& settings,
                             const IterationObserver& observer = {});

// phi_m(m) = the sum of the objective's term norms for m and m_ref.
double model_norm(const ModelObjective& objective, std::span<const double> m,
                  std::span<const double> m_ref);

}  // namespace quelby
