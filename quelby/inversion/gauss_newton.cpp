#include "quelby/inversion/gauss_newton.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>

#include "quelby/base/parallel.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/cholesky.hpp"
#include "quelby/forward/kernels.hpp"
#include "quelby/inversion/symmetric_eigen.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/report/inversion_report.hpp"

namespace quelby {
namespace {

// body(begin, end) over contiguous parts of [0, count) on the pool; the first exception of a part
// is rethrown here.
template <typename Body>
void split(std::size_t count, Body&& body) {
  parallel_for_rethrowing(static_cast<std::int64_t>(count), 2,
                          [&](std::int64_t begin, std::int64_t end) {
                            body(static_cast<std::size_t>(begin), static_cast<std::size_t>(end));
                          });
}

// WTW factorised: its upper triangle in compressed columns (WTW is symmetric with each row's
// columns ascending, so column j of the upper triangle is row j up to the diagonal). Parameters
// marked `held` get `penalty` added to their diagonal, which keeps their step at nothing.
struct ModelSolver {
  std::unique_ptr<CholeskyPattern> pattern;
  std::unique_ptr<CholeskyFactor> factor;
  std::size_t n = 0;

  ModelSolver(const Io& io, const CsrMatrix& wtw, std::size_t npar, std::span<const char> held = {},
              double penalty = 0)
      : n(npar) {
    std::vector<std::int32_t> starts, rows;
    std::vector<double> values;
    for (std::size_t j = 0; j < npar; ++j) {
      starts.push_back(static_cast<std::int32_t>(rows.size()));
      for (std::int32_t at = wtw.row_start[j]; at < wtw.row_start[j + 1]; ++at) {
        const std::int32_t column = wtw.columns[static_cast<std::size_t>(at)];
        if (column < 0 || static_cast<std::size_t>(column) > j) continue;
        rows.push_back(column);
        values.push_back(
            wtw.values[static_cast<std::size_t>(at)] +
            (static_cast<std::size_t>(column) == j && !held.empty() && held[j] ? penalty : 0.0));
      }
    }
    starts.push_back(static_cast<std::int32_t>(rows.size()));
    try {
      pattern = std::make_unique<CholeskyPattern>(static_cast<std::int32_t>(npar), starts, rows);
      factor = std::make_unique<CholeskyFactor>(*pattern, values);
    } catch (const std::bad_alloc&) {
      out_of_memory_stop(io);
    } catch (const std::exception&) {
      stop_with(io, Order::console_then_log,
                "\nError: the model objective's matrix WTW is not positive definite\n");
    }
  }
  // y = L^-1 P b for `count` right-hand sides stored parameter by parameter, in two halves of the
  // right-hand sides on the pool.
  void forward(std::span<const double> rhs, std::size_t count, std::span<double> y) const {
    const std::size_t half = count / 2;
    const std::size_t widths[2] = {half, count - half};
    const std::size_t offsets[2] = {0, half};
    std::vector<double> parts[2];
    split(2, [&](std::size_t begin, std::size_t end) {
      for (std::size_t part = begin; part < end; ++part) {
        if (widths[part] == 0) continue;
        std::vector<double> in(n * widths[part]);
        for (std::size_t p = 0; p < n; ++p) {
          std::copy_n(rhs.data() + p * count + offsets[part], widths[part],
                      in.data() + p * widths[part]);
        }
        parts[part].resize(n * widths[part]);
        factor->forward_dense(in, widths[part], parts[part]);
      }
    });
    for (std::size_t part = 0; part < 2; ++part) {
      if (widths[part] == 0) continue;
      for (std::size_t p = 0; p < n; ++p) {
        std::copy_n(parts[part].data() + p * widths[part], widths[part],
                    y.data() + p * count + offsets[part]);
      }
    }
  }
  // x = WTW^-1 b for `count` right-hand sides stored parameter by parameter, in two halves of the
  // right-hand sides on the pool (each column is solved alike in either half).
  void solve(std::span<double> rhs, std::size_t count) const {
    if (count < 8) {
      factor->solve(rhs, count);
      return;
    }
    const std::size_t half = count / 2;
    std::vector<double> parts[2] = {std::vector<double>(n * half),
                                    std::vector<double>(n * (count - half))};
    const std::size_t widths[2] = {half, count - half};
    const std::size_t offsets[2] = {0, half};
    split(2, [&](std::size_t begin, std::size_t end) {
      for (std::size_t part = begin; part < end; ++part) {
        for (std::size_t p = 0; p < n; ++p) {
          std::copy_n(rhs.data() + p * count + offsets[part], widths[part],
                      parts[part].data() + p * widths[part]);
        }
        factor->solve(parts[part], widths[part]);
      }
    });
    for (std::size_t part = 0; part < 2; ++part) {
      for (std::size_t p = 0; p < n; ++p) {
        std::copy_n(parts[part].data() + p * widths[part], widths[part],
                    rhs.data() + p * count + offsets[part]);
      }
    }
  }
};

double data_misfit(std::span<const double> d, std::span<const double> dobs,
                   std::span<const double> dstd) {
  double sum = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double r = (d[i] - dobs[i]) / dstd[i];
    sum += r * r;
  }
  return sum;
}

// The largest eigenvalue of a symmetric positive semi-definite operator by power iteration from a
// fixed start (30 steps: a curvature scale, not a precise value).
template <typename Apply>
double largest_eigenvalue(std::size_t n, Apply&& apply) {
  std::vector<double> x(n), y(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = 1 + 0.5 * std::sin(static_cast<double>(i));
  double lambda = 0;
  for (int step = 0; step < 30; ++step) {
    const double norm = std::sqrt(std::inner_product(x.begin(), x.end(), x.begin(), 0.0));
    if (norm == 0) return 0;
    for (double& value : x) value /= norm;
    apply(x, y);
    lambda = std::inner_product(x.begin(), x.end(), y.begin(), 0.0);
    x.swap(y);
  }
  return lambda;
}

// The linearised misfit of beta: sum_i (beta / (lambda_i + beta))^2 c_i^2.
double predicted_misfit(std::span<const double> lambda, std::span<const double> c, double beta) {
  double sum = 0;
  for (std::size_t i = 0; i < lambda.size(); ++i) {
    const double f = beta / (std::max(lambda[i], 0.0) + beta);
    sum += f * f * c[i] * c[i];
  }
  return sum;
}

}  // namespace

const char* stop_reason_text(StopReason reason) {
  switch (reason) {
    case StopReason::target_reached:
      return "reached the target misfit";
    case StopReason::iteration_limit:
      return "reached the iteration limit";
    case StopReason::misfit_stalled:
      return "the misfit no longer falls";
  }
  return "";
}

double model_norm(const ModelObjective& objective, std::span<const double> m,
                  std::span<const double> m_ref) {
  double phi[4] = {0, 0, 0, 0};
  term_norms(objective, m, m_ref, phi);
  return ((phi[0] + phi[1]) + phi[2]) + phi[3];
}

InversionResult gauss_newton(const Io& io, InversionProblem& problem,
                             const ModelObjective& objective, std::span<const double> dobs,
                             std::span<const double> dstd, std::span<const double> m0,
                             std::span<const double> m_ref, const InversionSettings& settings,
                             const IterationObserver& observer) {
  const std::size_t ndat = problem.data_count();
  const std::size_t npar = problem.parameter_count();
  if (dobs.size() != ndat || dstd.size() != ndat || m0.size() != npar || m_ref.size() != npar ||
      static_cast<std::size_t>(csr_row_count(objective.WTW)) != npar) {
    internal_check_failed(io, "gauss_newton: data, models and objective differ in size");
  }
  const ModelSolver unbounded(io, objective.WTW, npar);
  InversionResult result;
  result.target_misfit = settings.chifact * static_cast<double>(ndat);
  result.m.assign(m0.begin(), m0.end());
  problem.project(result.m);
  result.predicted.resize(ndat);
  problem.predict(io, result.m, result.predicted);
  double misfit = data_misfit(result.predicted, dobs, dstd);
  double norm = model_norm(objective, result.m, m_ref);
  result.misfit_history.push_back(misfit);
  result.norm_history.push_back(norm);
  result.beta_history.push_back(0);

  std::vector<double> jacobian(ndat * npar), d(ndat), g(npar), step0(npar), gt(npar * ndat),
      y(npar * ndat);
  std::vector<double> kernel(ndat * ndat), lambda, q, c(ndat), ct(ndat), z(ndat), step(npar),
      trial(npar), trial_data(ndat);
  double beta = 0;
  result.stop = StopReason::iteration_limit;
  for (std::int32_t iteration = 1;; ++iteration) {
    if (misfit <= result.target_misfit) {
      result.stop = StopReason::target_reached;
      break;
    }
    if (iteration > settings.max_iterations) break;
    problem.jacobian(io, result.m, jacobian, d);
    // G = diag(1 / dstd) J, kept transposed (parameter by parameter) for the solves.
    for (std::size_t i = 0; i < ndat; ++i) {
      const double w = 1 / dstd[i];
      for (std::size_t p = 0; p < npar; ++p) gt[p * ndat + i] = jacobian[i * npar + p] * w;
    }
    wtw_times_model(objective, result.m, m_ref, g);
    if (iteration == 1) {
      // The first beta: the ratio of the largest curvatures of phi_d (G^T G) and phi_m (WTW).
      const double data_curvature =
          largest_eigenvalue(npar, [&](const std::vector<double>& x, std::vector<double>& out) {
            std::vector<double> gx(ndat, 0.0);
            for (std::size_t p = 0; p < npar; ++p) {
              if (x[p] != 0) add_scaled(gx.data(), x[p], gt.data() + p * ndat, ndat);
            }
            for (std::size_t p = 0; p < npar; ++p) {
              double sum = 0;
              for (std::size_t i = 0; i < ndat; ++i) sum += gt[p * ndat + i] * gx[i];
              out[p] = sum;
            }
          });
      const double model_curvature =
          largest_eigenvalue(npar, [&](const std::vector<double>& x, std::vector<double>& out) {
            csr_multiply(objective.WTW, x, out);
          });
      beta = model_curvature > 0 ? data_curvature / model_curvature : 1.0;
      if (!(beta > 0) || !std::isfinite(beta)) beta = 1.0;
      result.beta_history[0] = beta;
    }
    // With a lower bound, the parameters on it that phi would push below it are held this step.
    std::unique_ptr<ModelSolver> bounded;
    if (problem.has_lower_bound()) {
      std::vector<char> held(npar, 0);
      bool any = false;
      const double bound = problem.lower_bound();
      for (std::size_t p = 0; p < npar; ++p) {
        if (result.m[p] > bound) continue;
        double gradient = beta * g[p];
        for (std::size_t i = 0; i < ndat; ++i)
          gradient += gt[p * ndat + i] * (d[i] - dobs[i]) / dstd[i];
        if (gradient > 0) held[p] = any = 1;
      }
      if (any) {
        double largest = 0;
        for (std::size_t p = 0; p < npar; ++p) {
          for (std::int32_t at = objective.WTW.row_start[p]; at < objective.WTW.row_start[p + 1];
               ++at) {
            if (objective.WTW.columns[static_cast<std::size_t>(at)] ==
                static_cast<std::int32_t>(p)) {
              largest = std::max(largest, objective.WTW.values[static_cast<std::size_t>(at)]);
            }
          }
        }
        bounded = std::make_unique<ModelSolver>(io, objective.WTW, npar, held, 1e8 * largest);
      }
    }
    const ModelSolver& solver = bounded ? *bounded : unbounded;
    for (std::size_t p = 0; p < npar; ++p) step0[p] = -g[p];
    solver.solve(step0, 1);  // dm0 = -WTW^-1 g: the step of the model term alone
    // K = G WTW^-1 G^T = H^T D^-1 H with H = L^-1 P G^T (WTW = P^T L D L^T P): forward solves
    // only, then the lower triangle of K accumulated factor row by row in ascending order.
    solver.forward(gt, ndat, y);
    std::fill(kernel.begin(), kernel.end(), 0.0);
    // Four factor rows at a time, each kernel row updated once per four (a fixed grouping).
    split(ndat, [&](std::size_t begin, std::size_t end) {
      std::size_t p = 0;
      for (; p + 4 <= npar; p += 4) {
        const double* y0 = y.data() + p * ndat;
        const double* y1 = y0 + ndat;
        const double* y2 = y1 + ndat;
        const double* y3 = y2 + ndat;
        const double i0 = 1 / solver.factor->pivot(p), i1 = 1 / solver.factor->pivot(p + 1);
        const double i2 = 1 / solver.factor->pivot(p + 2), i3 = 1 / solver.factor->pivot(p + 3);
        for (std::size_t i = begin; i < end; ++i) {
          add_scaled4(kernel.data() + i * ndat, y0[i] * i0, y0, y1[i] * i1, y1, y2[i] * i2, y2,
                      y3[i] * i3, y3, i + 1);
        }
      }
      for (; p < npar; ++p) {
        const double* yp = y.data() + p * ndat;
        const double inverse = 1 / solver.factor->pivot(p);
        for (std::size_t i = begin; i < end; ++i)
          add_scaled(kernel.data() + i * ndat, yp[i] * inverse, yp, i + 1);
      }
    });
    symmetric_eigen(kernel, ndat, lambda, q);
    // c = b + G dm0, b the scaled residual; its components along the eigenvectors.
    for (std::size_t i = 0; i < ndat; ++i) c[i] = (d[i] - dobs[i]) / dstd[i];
    for (std::size_t p = 0; p < npar; ++p) {
      if (step0[p] != 0) add_scaled(c.data(), step0[p], gt.data() + p * ndat, ndat);
    }
    for (std::size_t j = 0; j < ndat; ++j) {
      double sum = 0;
      for (std::size_t i = 0; i < ndat; ++i) sum += q[i * ndat + j] * c[i];
      ct[j] = sum;
    }
    // Betas on a log grid from 1e3 above the last to 1e-4 below it; then the one whose linearised
    // misfit is the aim, by bisection in log beta between the grid's neighbours.
    // A hair below the target, so that a step that lands on its aim ends the inversion.
    const double aim = std::max(0.99 * result.target_misfit, settings.misfit_fraction * misfit);
    IterationReport report;
    report.iteration = iteration;
    report.first_beta = result.beta_history[0];
    report.previous_misfit = misfit;
    const std::int32_t trials = std::max(settings.beta_trials, 2);
    for (std::int32_t t = 0; t < trials; ++t) {
      const double exponent = 3.0 - 7.0 * t / (trials - 1);
      const double tried = beta * std::pow(10.0, exponent);
      report.tried_betas.push_back(tried);
      report.tried_misfits.push_back(predicted_misfit(lambda, ct, tried));
    }
    // The linearised misfit grows with beta: bracket the aim on the grid (descending betas).
    std::size_t above = 0;
    while (above + 1 < report.tried_betas.size() && report.tried_misfits[above + 1] >= aim) ++above;
    double chosen;
    if (report.tried_misfits.front() <= aim) {
      chosen = report.tried_betas.front();
    } else if (report.tried_misfits.back() >= aim) {
      chosen = report.tried_betas.back();
    } else {
      double high = std::log(report.tried_betas[above]),
             low = std::log(report.tried_betas[above + 1]);
      for (int bisection = 0; bisection < 60; ++bisection) {
        const double middle = (high + low) / 2;
        if (predicted_misfit(lambda, ct, std::exp(middle)) > aim) {
          high = middle;
        } else {
          low = middle;
        }
      }
      chosen = std::exp((high + low) / 2);
      report.tried_betas.push_back(chosen);
      report.tried_misfits.push_back(predicted_misfit(lambda, ct, chosen));
    }
    beta = chosen;
    report.beta = beta;
    report.predicted_misfit = predicted_misfit(lambda, ct, beta);
    // z = Q (Lambda + beta)^-1 Q^T c.
    for (std::size_t j = 0; j < ndat; ++j) ct[j] /= std::max(lambda[j], 0.0) + beta;
    for (std::size_t i = 0; i < ndat; ++i) {
      double sum = 0;
      for (std::size_t j = 0; j < ndat; ++j) sum += q[i * ndat + j] * ct[j];
      z[i] = sum;
    }
    // dm = dm0 - WTW^-1 G^T z: one more solve.
    for (std::size_t p = 0; p < npar; ++p) {
      double sum = 0;
      const double* gp = gt.data() + p * ndat;
      for (std::size_t i = 0; i < ndat; ++i) sum += gp[i] * z[i];
      step[p] = sum;
    }
    solver.solve(step, 1);
    for (std::size_t p = 0; p < npar; ++p) step[p] = step0[p] - step[p];
    // Line search on phi = phi_d + beta phi_m, halving the step until phi falls.
    const double phi = misfit + beta * norm;
    double length = 1;
    bool accepted = false;
    double trial_misfit = 0, trial_norm = 0;
    for (std::int32_t halving = 0; halving <= settings.max_step_halvings; ++halving, length /= 2) {
      for (std::size_t p = 0; p < npar; ++p) trial[p] = result.m[p] + length * step[p];
      problem.project(trial);
      problem.predict(io, trial, trial_data);
      trial_misfit = data_misfit(trial_data, dobs, dstd);
      trial_norm = model_norm(objective, trial, m_ref);
      if (trial_misfit + beta * trial_norm < phi) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      result.stop = StopReason::misfit_stalled;
      break;
    }
    const double previous = misfit;
    result.m.swap(trial);
    result.predicted.swap(trial_data);
    misfit = trial_misfit;
    report.model_norm_change = trial_norm - norm;
    norm = trial_norm;
    report.misfit = misfit;
    report.model_norm = norm;
    report.step_length = length;
    result.iterations = iteration;
    result.misfit_history.push_back(misfit);
    result.norm_history.push_back(norm);
    result.beta_history.push_back(beta);
    BetaChoice choice{beta, result.target_misfit, misfit, previous, norm, report.model_norm_change};
    report_beta_choice(io, choice, BetaTrials{report.tried_betas, report.tried_misfits});
    report_term_norms(io, objective, result.m, m_ref);
    if (observer) observer(report, result.m, result.predicted);
    if (misfit > result.target_misfit && previous - misfit < settings.stall_fraction * previous) {
      result.stop = StopReason::misfit_stalled;
      break;
    }
  }
  return result;
}

}  // namespace quelby
