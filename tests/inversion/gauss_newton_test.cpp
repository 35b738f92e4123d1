// The Gauss-Newton step against the regularised least-squares solution it stands for, solved
// densely in model space (also with the robust misfit's weights), the beta choice against its
// aim, dependent data, and steps that a problem cannot take: rejected, never a stop.
#include "quelby/inversion/gauss_newton.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/inversion/robust_misfit.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/regularization/objective3d.hpp"
#include "tests/inversion/inversion_fixtures.hpp"
#include "tests/inversion/memory_budget_table.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// d = G m for a fixed random G; with `repeats`, the rows after the first ndat - repeats repeat
// earlier rows (dependent readings), every third one scaled by 1e-9.
class LinearProblem : public InversionProblem {
 public:
  LinearProblem(std::size_t ndat, std::size_t npar, unsigned seed, std::size_t repeats = 0)
      : ndat_(ndat), npar_(npar), g_(ndat * npar) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0, 1);
    for (double& value : g_) value = normal(random);
    for (std::size_t i = 0; i < ndat; ++i) classes_.push_back(static_cast<std::int32_t>(i));
    for (std::size_t i = ndat - repeats; i < ndat; ++i) {
      const std::size_t source = (i * 7) % (ndat - repeats);
      for (std::size_t p = 0; p < npar; ++p)
        g_[i * npar + p] = g_[source * npar + p] * (i % 3 == 0 ? 1e-9 : 1.0);
      if (i % 3 != 0) classes_[i] = classes_[source];
    }
    // Numbered 0, 1, ... in the order of their first datum.
    std::vector<std::int32_t> number(ndat, -1);
    std::int32_t next = 0;
    for (std::int32_t& value : classes_) {
      if (number[static_cast<std::size_t>(value)] < 0)
        number[static_cast<std::size_t>(value)] = next++;
      value = number[static_cast<std::size_t>(value)];
    }
  }
  std::vector<std::int32_t> sensitivity_classes() const override {
    return with_classes ? classes_ : std::vector<std::int32_t>{};
  }
  bool with_classes = false;
  std::size_t data_count() const override { return ndat_; }
  std::size_t parameter_count() const override { return npar_; }
  void predict(const Io&, std::span<const double> m, std::span<double> d) override {
    for (std::size_t i = 0; i < ndat_; ++i) {
      double sum = 0;
      for (std::size_t p = 0; p < npar_; ++p) sum += g_[i * npar_ + p] * m[p];
      d[i] = sum;
    }
  }
  void jacobian(const Io& io, std::span<const double> m, std::span<double> j,
                std::span<double> d) override {
    std::copy(g_.begin(), g_.end(), j.begin());
    predict(io, m, d);
  }
  const std::vector<double>& matrix() const { return g_; }
  bool has_jacobian_products() const override { return products; }
  void jacobian_times(const Io&, std::span<const double>, std::span<const double> v,
                      std::span<double> out) override {
    for (std::size_t i = 0; i < ndat_; ++i) {
      double sum = 0;
      for (std::size_t p = 0; p < npar_; ++p) sum += g_[i * npar_ + p] * v[p];
      out[i] = sum;
    }
  }
  void jacobian_transpose_times(const Io&, std::span<const double>, std::span<const double> w,
                                std::span<double> out) override {
    std::fill(out.begin(), out.end(), 0.0);
    for (std::size_t i = 0; i < ndat_; ++i)
      for (std::size_t p = 0; p < npar_; ++p) out[p] += g_[i * npar_ + p] * w[i];
  }
  bool products = false;

 private:
  std::vector<std::int32_t> classes_;

 public:
 private:
  std::size_t ndat_, npar_;
  std::vector<double> g_;
};

// A linear problem that cannot take a parameter beyond `bound` (inadmissible) and whose data are
// not finite beyond `blow_up`, and whose sensitivities can be given with the wrong sign.
class FragileProblem : public LinearProblem {
 public:
  FragileProblem(std::size_t ndat, std::size_t npar, unsigned seed, double bound, double blow_up)
      : LinearProblem(ndat, npar, seed), bound_(bound), blow_up_(blow_up) {}
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override {
    LinearProblem::predict(io, m, d);
    for (const double value : m) {
      if (std::abs(value) > blow_up_) d[d.size() / 2] = std::numeric_limits<double>::infinity();
    }
  }
  void jacobian(const Io& io, std::span<const double> m, std::span<double> j,
                std::span<double> d) override {
    LinearProblem::jacobian(io, m, j, d);
    if (wrong_sign) {
      for (double& value : j) value = -value;
    }
    predict(io, m, d);
  }
  std::string inadmissible(std::span<const double> m) const override {
    for (std::size_t p = 0; p < m.size(); ++p) {
      if (m[p] > bound_) return "parameter " + std::to_string(p + 1) + " beyond the bound";
    }
    return {};
  }
  bool wrong_sign = false;

 private:
  double bound_, blow_up_;
};

// Solves the dense symmetric positive definite system a x = b (n x n) by Cholesky.
std::vector<double> dense_spd_solve(std::vector<double> a, std::vector<double> b, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    a[j * n + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / a[j * n + j];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < i; ++k) b[i] -= a[i * n + k] * b[k];
    b[i] /= a[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t k = i + 1; k < n; ++k) b[i] -= a[k * n + i] * b[k];
    b[i] /= a[i * n + i];
  }
  return b;
}

// One iteration from m0 against the dense solution of
// (G^T Wd G + beta WTW) dm = -(G^T Wd r + beta g), Wd = diag(w / dstd^2) with the robust
// misfit's weights w of the residuals r of m0 (all 1 for least squares).
void expect_one_dense_step(bool robust, std::size_t spoiled, std::size_t repeats = 0) {
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4.5, 6, 8, 10},
                                    std::vector<double>{0, 1, 2, 3.5, 5, 7});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar);
  const std::size_t ndat = 12 + repeats;
  LinearProblem problem(ndat, npar, 5, repeats);
  std::mt19937 random(9);
  std::normal_distribution<double> normal(0, 1);
  std::vector<double> truth(npar), m0(npar, 0.3), m_ref(npar, 0.1), dobs(ndat), dstd(ndat);
  for (double& value : truth) value = normal(random);
  problem.predict(t.io(), truth, dobs);
  for (std::size_t i = 0; i < ndat; ++i) dstd[i] = 0.05 + 0.01 * static_cast<double>(i);
  for (std::size_t k = 0; k < spoiled; ++k) dobs[3 * k + 1] *= k % 2 ? 10.0 : -1.0;
  InversionSettings settings;
  settings.max_iterations = 1;
  settings.robust = robust;
  IterationReport report;
  const InversionResult result =
      gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m_ref, settings,
                   [&](const IterationReport& r, std::span<const double>, std::span<const double>) {
                     report = r;
                   });
  ASSERT_EQ(result.iterations, 1);
  EXPECT_EQ(report.step_length, 1);  // a linear problem takes the whole step
  EXPECT_EQ(t.log().find(": steps from its low-rank factor") != std::string::npos, repeats > 0);
  std::vector<double> a(npar * npar, 0.0), b(npar, 0.0), g(npar), d0(ndat), r(ndat);
  problem.predict(t.io(), m0, d0);
  for (std::size_t i = 0; i < ndat; ++i) r[i] = (d0[i] - dobs[i]) / dstd[i];
  const DataWeights weights = data_weights(r, robust, settings.robust_threshold);
  if (spoiled > 0) {
    EXPECT_GT(weights.down_weighted, 0u);
  }
  wtw_times_model(setup.objective, m0, m_ref, g);
  const std::vector<double>& gm = problem.matrix();
  for (std::size_t i = 0; i < ndat; ++i) {
    const double w2 = weights.weights[i] / (dstd[i] * dstd[i]);
    for (std::size_t p = 0; p < npar; ++p) {
      b[p] -= gm[i * npar + p] * w2 * (d0[i] - dobs[i]);
      for (std::size_t q = 0; q < npar; ++q)
        a[p * npar + q] += gm[i * npar + p] * w2 * gm[i * npar + q];
    }
  }
  const CsrMatrix& wtw = setup.objective.WTW;
  for (std::size_t p = 0; p < npar; ++p) {
    b[p] -= report.beta * g[p];
    for (std::int32_t at = wtw.row_start[p]; at < wtw.row_start[p + 1]; ++at) {
      a[p * npar + static_cast<std::size_t>(wtw.columns[static_cast<std::size_t>(at)])] +=
          report.beta * wtw.values[static_cast<std::size_t>(at)];
    }
  }
  const std::vector<double> step = dense_spd_solve(a, b, npar);
  for (std::size_t p = 0; p < npar; ++p)
    EXPECT_NEAR(result.m[p], m0[p] + step[p], 1e-9 * (1 + std::abs(step[p])));
  // The linear problem's true misfit is the linearised one; least squares, the beta chosen makes
  // it the aim: a fraction of the way from the present misfit down to the least the step can
  // reach (at the smallest beta of the grid), or a hair under the target.
  EXPECT_NEAR(report.misfit / report.predicted_misfit, 1, 1e-8);
  if (!robust) {
    const double present = result.misfit_history[0];
    const double floor = std::min(report.tried_misfits[20], present);
    const double aim =
        std::max(0.99 * result.target_misfit, floor + settings.misfit_fraction * (present - floor));
    EXPECT_NEAR(report.predicted_misfit / aim, 1, 1e-6);
  }
  EXPECT_EQ(report.tried_betas.size(), static_cast<std::size_t>(settings.beta_trials) + 1);
  EXPECT_NE(t.log().find("chosen beta ="), std::string::npos);
  EXPECT_NE(t.log().find("norm comp Ws"), std::string::npos);
}

TEST(GaussNewton, OneStepIsTheRegularisedLeastSquaresSolutionForTheChosenBeta) {
  expect_one_dense_step(false, 0);
  expect_one_dense_step(true, 0);
  expect_one_dense_step(true, 3);
  // 12 readings and 20 repeating them: the data-space matrix's rank is at most 12 of 32, and the
  // step comes from its low-rank factor (the log says so).
  expect_one_dense_step(false, 0, 20);
  expect_one_dense_step(true, 3, 20);
}

TEST(GaussNewton, TheFirstBetaIsTheLargestRatioOfTheCurvatures) {
  // The largest eigenvalue of G WTW^-1 G^T, densely: the power iteration of WTW^-1 G^T G.
  Transcript t;
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 5}, std::vector<double>{0, 1, 3});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 5;
  LinearProblem problem(ndat, npar, 3);
  std::vector<double> m0(npar, 0.0), dobs(ndat, 1.0), dstd(ndat, 0.5);
  InversionSettings settings;
  settings.max_iterations = 1;
  const InversionResult result =
      gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
  std::vector<double> wtw(npar * npar, 0.0);
  const CsrMatrix& sparse = setup.objective.WTW;
  for (std::size_t p = 0; p < npar; ++p) {
    for (std::int32_t at = sparse.row_start[p]; at < sparse.row_start[p + 1]; ++at)
      wtw[p * npar + static_cast<std::size_t>(sparse.columns[static_cast<std::size_t>(at)])] =
          sparse.values[static_cast<std::size_t>(at)];
  }
  const std::vector<double>& gm = problem.matrix();
  std::vector<double> x(npar, 1.0);
  double lambda = 0;
  for (int step = 0; step < 500; ++step) {
    std::vector<double> gx(ndat, 0.0), y(npar, 0.0);
    for (std::size_t i = 0; i < ndat; ++i)
      for (std::size_t p = 0; p < npar; ++p) gx[i] += gm[i * npar + p] * x[p] / 0.25;
    for (std::size_t i = 0; i < ndat; ++i)
      for (std::size_t p = 0; p < npar; ++p) y[p] += gm[i * npar + p] * gx[i];
    y = dense_spd_solve(wtw, y, npar);
    double norm = 0, dot = 0, wnorm = 0;
    for (std::size_t p = 0; p < npar; ++p) norm = std::max(norm, std::abs(y[p]));
    for (std::size_t p = 0; p < npar; ++p) dot += x[p] * y[p], wnorm += x[p] * x[p];
    lambda = dot / wnorm;
    for (std::size_t p = 0; p < npar; ++p) x[p] = y[p] / norm;
  }
  EXPECT_NEAR(result.beta_history[0] / lambda, 1, 1e-9);
}

TEST(GaussNewton, DependentReadingsInvertToTheTarget) {
  // 60 readings of 24 parameters, 30 of them repeating others (a third of those 1e-9 as large):
  // the data-space matrix has rank 24 at most, 36 eigenvalues zero to rounding, as field surveys
  // make it.
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4, 5, 6},
                                    std::vector<double>{0, 1, 2, 3, 4.5});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 60;
  LinearProblem problem(ndat, npar, 8, 30);
  std::vector<double> truth(npar), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.01);
  for (std::size_t p = 0; p < npar; ++p) truth[p] = std::sin(static_cast<double>(p));
  problem.predict(t.io(), truth, dobs);
  const InversionResult result =
      gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, InversionSettings{});
  EXPECT_EQ(result.stop, StopReason::target_reached);
  EXPECT_NE(t.log().find("data-space matrix: 36 of 60 eigenvalues below 1e-12 of the largest"),
            std::string::npos)
      << t.log();
  // The readings that repeat others exactly, seen once each by the step: the same inversion, least
  // squares and robust, with repeats that disagree, to the rounding of the eigenvalues that vanish
  // in one form and not in the other (compared while the misfit still falls: where it lies on its
  // floor, the beta chosen is ill-determined in either form).
  for (const bool robust : {false, true}) {
    std::vector<double> observed(dobs);
    for (std::size_t i = 31; i < ndat; i += 4) observed[i] *= 1.03;
    InversionSettings settings;
    settings.robust = robust;
    problem.with_classes = false;
    const InversionResult apart =
        gauss_newton(t.io(), problem, setup.objective, observed, dstd, m0, m0, settings);
    problem.with_classes = true;
    Transcript merged;
    const InversionResult together =
        gauss_newton(merged.io(), problem, setup.objective, observed, dstd, m0, m0, settings);
    EXPECT_NE(merged.log().find("60 data in 40 classes of the same sensitivities"),
              std::string::npos);
    ASSERT_GE(together.misfit_history.size(), 4u);
    ASSERT_GE(apart.misfit_history.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_NEAR(together.misfit_history[k] / apart.misfit_history[k], 1, 1e-5) << k;
      EXPECT_NEAR(together.beta_history[k] / apart.beta_history[k], 1, 1e-5) << k;
    }
    EXPECT_NEAR(together.misfit_history.back() / apart.misfit_history.back(), 1, 1e-3);
  }
}

TEST(GaussNewton, AThreeDimensionalObjectiveInvertsToTheTarget) {
  // 3 x 4 x 3 cells, the top layer's corner inactive: the solver takes the 3-D objective as it
  // takes a 2-D one, least squares and blocky, and reports its y term.
  Transcript t;
  const Mesh3D mesh = make_mesh3d(t.io(), {0, 1, 2.5, 4}, {0, 1, 2, 3, 4}, {0, 1, 2, 3.5});
  std::vector<std::int32_t> cell_idx(36);
  std::int32_t npar = 0;
  for (std::size_t cell = 0; cell < cell_idx.size(); ++cell)
    cell_idx[cell] = cell == 0 ? 0 : ++npar;
  ModelObjective3D built;
  build_model_objective3d(t.io(), {mesh, cell_idx, npar}, alpha_from_lengths3d({4, 4, 2}), {},
                          false, built, {.keep_factors = true});
  const ModelObjective objective = as_model_objective(std::move(built));
  const auto n = static_cast<std::size_t>(npar);
  const std::size_t ndat = 50;
  LinearProblem problem(ndat, n, 21);
  std::vector<double> truth(n), m0(n, 0.0), dobs(ndat), dstd(ndat, 0.01);
  for (std::size_t p = 0; p < n; ++p) truth[p] = p % 7 < 3 ? 1.0 : -0.5;
  problem.predict(t.io(), truth, dobs);
  for (const bool blocky : {false, true}) {
    Transcript run;
    InversionSettings settings;
    settings.blocky = blocky;
    const InversionResult result =
        gauss_newton(run.io(), problem, objective, dobs, dstd, m0, m0, settings);
    EXPECT_EQ(result.stop, StopReason::target_reached) << blocky;
    EXPECT_NE(run.log().find("norm comp Wy  ="), std::string::npos) << blocky;
  }
}

TEST(GaussNewton, StepsTheProblemCannotTakeAreRejectedAndBounded) {
  struct Case {
    double bound, blow_up, max_step;
    const char* rejection;  // in the run log
  };
  for (const Case c : {Case{0.3, 1e9, 0, "rejected: parameter "},
                       Case{1e9, 0.3, 0, "rejected: the predicted datum 5 is inf"},
                       Case{1e9, 1e9, 0.05, "step bounded"}}) {
    Transcript t;
    const Mesh mesh =
        mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4}, std::vector<double>{0, 1, 2});
    const testing::DefaultObjective setup(t.io(), mesh);
    const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 8;
    FragileProblem problem(ndat, npar, 4, c.bound, c.blow_up);
    std::vector<double> truth(npar, 2.0), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.01);
    problem.LinearProblem::predict(t.io(), truth, dobs);
    InversionSettings settings;
    settings.max_step = c.max_step;
    settings.max_iterations = 4;
    std::vector<double> previous(m0);
    double largest_change = 0;
    const InversionResult result = gauss_newton(
        t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings,
        [&](const IterationReport&, std::span<const double> m, std::span<const double> d) {
          for (std::size_t p = 0; p < npar; ++p) {
            largest_change = std::max(largest_change, std::abs(m[p] - previous[p]));
            previous[p] = m[p];
          }
          for (const double value : d) EXPECT_TRUE(std::isfinite(value));
          EXPECT_TRUE(problem.inadmissible(m).empty());
        });
    EXPECT_GE(result.iterations, 1) << c.rejection;
    EXPECT_NE(t.log().find(c.rejection), std::string::npos) << t.log();
    if (c.max_step > 0) {
      EXPECT_LE(largest_change, c.max_step * (1 + 1e-12));
    }
    for (const double value : result.m) EXPECT_TRUE(std::isfinite(value));
  }
}

TEST(GaussNewton, StallsOnlyOnAcceptedIterationsAndStopsWhenNoStepLowersPhi) {
  Transcript t;
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4}, std::vector<double>{0, 1, 2});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 6;
  // Sensitivities of the wrong sign: every step raises phi, with every beta tried.
  FragileProblem wrong(ndat, npar, 6, 1e9, 1e9);
  wrong.wrong_sign = true;
  std::vector<double> truth(npar, 1.0), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.01);
  wrong.LinearProblem::predict(t.io(), truth, dobs);
  const InversionResult none =
      gauss_newton(t.io(), wrong, setup.objective, dobs, dstd, m0, m0, InversionSettings{});
  EXPECT_EQ(none.stop, StopReason::no_descent);
  EXPECT_EQ(none.iterations, 0);
  EXPECT_STREQ(stop_reason_text(none.stop), "no step lowers the objective function");
  EXPECT_NE(t.log().find("no step lowers the objective function; the last trial: trial of step"),
            std::string::npos)
      << t.log();
  EXPECT_NE(t.log().find("the step of beta"), std::string::npos);

  // Readings repeated with other values: the misfit has a floor far above the target. The run
  // goes on while accepted iterations lower it, and stops after the second in a row that lowers
  // it by less than the stall fraction.
  LinearProblem repeated(ndat, npar, 6, 3);
  repeated.predict(t.io(), truth, dobs);
  dobs[4] += 1;
  dobs[5] += 1;
  const InversionResult stalled =
      gauss_newton(t.io(), repeated, setup.objective, dobs, dstd, m0, m0, InversionSettings{});
  EXPECT_EQ(stalled.stop, StopReason::misfit_stalled);
  const std::vector<double>& h = stalled.misfit_history;
  ASSERT_GE(h.size(), 3u);
  const std::size_t n = h.size();
  EXPECT_LT(h[n - 3] - h[n - 2], 0.01 * h[n - 3]);
  EXPECT_LT(h[n - 2] - h[n - 1], 0.01 * h[n - 2]);
  EXPECT_GT(h[n - 1], 1000 * stalled.target_misfit);
}

TEST(GaussNewton, StopsAtTheTargetAndSaysWhy) {
  Transcript t;
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4}, std::vector<double>{0, 1, 2, 3});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar);
  LinearProblem problem(6, npar, 2);
  std::vector<double> truth(npar, 0.5), m0(npar, 0.0), dobs(6), dstd(6, 0.01);
  problem.predict(t.io(), truth, dobs);
  const InversionResult result =
      gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, InversionSettings{});
  EXPECT_EQ(result.stop, StopReason::target_reached);
  EXPECT_LE(result.misfit_history.back(), result.target_misfit);
  EXPECT_EQ(result.misfit_history.size(), static_cast<std::size_t>(result.iterations) + 1);
  EXPECT_GT(result.beta_history[0], 0);  // the first beta from the curvatures
  EXPECT_STREQ(stop_reason_text(result.stop), "reached the target misfit");
  EXPECT_EQ(result.kept_iteration, result.iterations);  // the last, which reached the target
  EXPECT_EQ(t.console().find("is kept"), std::string::npos);
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// Without J: the Krylov step from products with J and J^T, which a memory budget too small for J
// brings about, matches the data-space step iteration by iteration once its space holds the data
// (and to the tolerance at which it settles before that), the robust misfit and dependent data
// alike.
TEST(GaussNewton, TheStepWithoutJMatchesTheDataSpaceStep) {
  struct Case {
    std::size_t ndat, repeats;
    bool robust;
    std::int32_t krylov_steps;
    double tolerance;
  };
  for (const Case c : {Case{12, 0, false, 200, 1e-8}, Case{30, 10, false, 200, 1e-8},
                       Case{20, 0, true, 200, 1e-8}, Case{60, 0, false, 200, 5e-3}}) {
    Transcript t;
    const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4.5, 6, 8, 10},
                                      std::vector<double>{0, 1, 2, 3.5, 5, 7});
    const testing::DefaultObjective setup(t.io(), mesh);
    const std::size_t npar = static_cast<std::size_t>(setup.cells.npar);
    LinearProblem problem(c.ndat, npar, 13, c.repeats);
    std::vector<double> truth(npar), m0(npar, 0.2), dobs(c.ndat), dstd(c.ndat, 0.02);
    for (std::size_t p = 0; p < npar; ++p) truth[p] = std::cos(0.7 * static_cast<double>(p));
    problem.predict(t.io(), truth, dobs);
    if (c.robust) dobs[3] *= -1;
    InversionSettings settings;
    settings.max_iterations = 3;
    settings.robust = c.robust;
    const InversionResult dense =
        gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
    problem.products = true;
    settings.memory_budget = 1;
    settings.krylov_steps = c.krylov_steps;
    Transcript krylov_log;
    const InversionResult krylov =
        gauss_newton(krylov_log.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
    EXPECT_NE(krylov_log.log().find("from products with the sensitivities"), std::string::npos);
    EXPECT_NE(krylov_log.log().find("Krylov steps: "), std::string::npos);
    ASSERT_EQ(krylov.iterations, dense.iterations) << c.ndat;
    for (std::size_t k = 0; k < dense.misfit_history.size(); ++k) {
      EXPECT_NEAR(krylov.misfit_history[k] / dense.misfit_history[k], 1, c.tolerance) << k;
      EXPECT_NEAR(krylov.beta_history[k] / dense.beta_history[k], 1, c.tolerance) << k;
    }
    double largest = 0;
    for (std::size_t p = 0; p < npar; ++p) largest = std::max(largest, std::abs(dense.m[p]));
    for (std::size_t p = 0; p < npar; ++p)
      EXPECT_NEAR(krylov.m[p], dense.m[p], c.tolerance * largest) << p;
  }
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// The robust misfit compared with the target is honest for every threshold of its range and
// every chifact: on readings with Gaussian errors, none spoiled, a run that says it reached the
// target fits all but a few of them (an L1-like step fits some exactly and leaves others far off,
// which a capped measure took for a fit), and no misfit is ever NaN.
TEST(GaussNewton, ARobustRunReachesTheTargetOnlyWhenItsDataFit) {
  struct Case {
    double threshold, chifact;
  };
  for (const Case c : {Case{0.1, 1}, Case{0.5, 2}, Case{1.5, 3}, Case{100, 1}}) {
    Transcript t;
    const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4.5, 6, 8, 10},
                                      std::vector<double>{0, 1, 2, 3.5, 5, 7});
    const testing::DefaultObjective setup(t.io(), mesh);
    const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 40;
    LinearProblem problem(ndat, npar, 21);
    std::mt19937 random(4);
    std::normal_distribution<double> normal(0, 1);
    std::vector<double> truth(npar), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.05);
    for (std::size_t p = 0; p < npar; ++p) truth[p] = 2 * std::sin(0.9 * static_cast<double>(p));
    problem.predict(t.io(), truth, dobs);
    for (std::size_t i = 0; i < ndat; ++i) dobs[i] += dstd[i] * normal(random);
    InversionSettings settings;
    settings.robust = true;
    settings.robust_threshold = c.threshold;
    settings.chifact = c.chifact;
    const InversionResult result =
        gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
    for (const double misfit : result.misfit_history) EXPECT_TRUE(std::isfinite(misfit));
    EXPECT_EQ(result.stop, StopReason::target_reached) << c.threshold;
    // Beyond 4 sqrt(chifact) standard deviations, at most the twentieth that the misfit may take
    // for spoiled; the least-squares misfit of all within a few times the target.
    std::size_t far = 0;
    double least_squares = 0;
    for (std::size_t i = 0; i < ndat; ++i) {
      const double r = (result.predicted[i] - dobs[i]) / dstd[i];
      far += std::abs(r) > 4 * std::sqrt(c.chifact);
      least_squares += r * r;
    }
    EXPECT_LT(least_squares, 3 * result.target_misfit) << c.threshold << " " << c.chifact;
    EXPECT_LE(far, 2u) << c.threshold << " " << c.chifact;
  }
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// A robust threshold out of its range stops the run before anything is computed, saying the range.
TEST(GaussNewton, ARobustThresholdOutOfItsRangeStops) {
  for (const double threshold :
       {0.001, 0.0999, 100.5, 1e155, 0.0, -2.0, std::numeric_limits<double>::quiet_NaN()}) {
    Transcript t;
    const Mesh mesh =
        mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3}, std::vector<double>{0, 1, 2});
    const testing::DefaultObjective setup(t.io(), mesh);
    const std::size_t npar = static_cast<std::size_t>(setup.cells.npar);
    LinearProblem problem(4, npar, 1);
    std::vector<double> m0(npar, 0.0), dobs(4, 1.0), dstd(4, 0.1);
    InversionSettings settings;
    settings.robust = true;
    settings.robust_threshold = threshold;
    EXPECT_THROW(gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings),
                 Stop);
    EXPECT_NE(t.console().find(" is out of its range: from 0.1 to 100 standard deviations\n"),
              std::string::npos)
        << threshold;
  }
}

TEST(GaussNewton, AMemoryBudgetIsReadAsMiBInItsRange) {
  for (const testing::MemoryBudgetCase& c : testing::memory_budget_table()) {
    EXPECT_EQ(parse_memory_budget(c.text), c.bytes) << c.text;
  }
  EXPECT_EQ(parse_memory_budget(""), std::nullopt);
  EXPECT_EQ(parse_memory_budget("1 2"), std::nullopt);
  EXPECT_EQ(parse_memory_budget("1d3"), std::size_t{1000} << 20);  // the free format's exponent
  EXPECT_EQ(memory_budget_bytes(1e-30), std::size_t{1});           // never 0, the default
  EXPECT_EQ(memory_budget_bytes(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
  EXPECT_EQ(memory_budget_range(), "a number of MiB above 0 and at most 1099511627776 (2^40)");
}

// Before the first iteration the run states what the dense step would take against the budget
// and the step it takes; a budget too small for it takes the step from products with J, says so
// on the console with the budget that would take the dense step and, after the first Krylov step,
// how long the steps may take. That budget does take the dense step.
TEST(GaussNewton, TheMemoryOfTheDenseStepAndTheStepTakenAreStated) {
  Transcript setup_log;
  std::vector<double> x_nodes, z_nodes;
  for (int i = 0; i <= 40; ++i) x_nodes.push_back(i);
  for (int k = 0; k <= 20; ++k) z_nodes.push_back(k);
  const Mesh mesh = mesh_from_nodes(setup_log.io(), x_nodes, z_nodes);
  const testing::DefaultObjective setup(setup_log.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 100;
  ASSERT_EQ(npar, 800u);
  LinearProblem problem(ndat, npar, 17);
  problem.products = true;
  std::vector<double> truth(npar), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.05);
  for (std::size_t p = 0; p < npar; ++p) truth[p] = std::sin(0.3 * static_cast<double>(p));
  problem.predict(setup_log.io(), truth, dobs);
  // J and the scaled sensitivities 100 x 800 each, the data-space matrix and its decomposition
  // three 100 x 100: 1.52 MiB, which a budget of 2 MiB holds.
  struct Case {
    double mib;
    bool dense;
    std::string statement;
  };
  for (const Case& c :
       {Case{2, true,
             " data-space step: dense, the sensitivities held: J 0.61 MiB, the scaled "
             "sensitivities 0.61 MiB, the data-space matrix and its decomposition 0.229 MiB: 1.45 "
             "MiB in all, within the memory budget of 2 MiB (given)\n"},
        Case{1.4, false,
             "data-space step: from products with the sensitivities (matrix-free: at most 200 "
             "Krylov steps an iteration, each a product with J and one with J^T), as the dense "
             "step would take J 0.61 MiB, the scaled sensitivities 0.61 MiB, the data-space "
             "matrix and its decomposition 0.229 MiB: 1.45 MiB in all, beyond the memory budget "
             "of 1.4 MiB (given)\na memory budget of 2 MiB or more takes the dense step "
             "(--memory-budget 2, the control line memory_budget 2, or memory_budget=2 in "
             "Python)\n"}}) {
    Transcript t;
    InversionSettings settings;
    settings.max_iterations = 2;
    settings.memory_budget = *memory_budget_bytes(c.mib);
    gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
    EXPECT_NE(t.log().find(c.statement), std::string::npos) << t.log();
    const std::string& console = t.console();
    const std::size_t estimate = console.find(
        "matrix-free step: its first Krylov step (a product with J^T, a solve with WTW and a "
        "product with J) took ");
    if (c.dense) {
      EXPECT_EQ(console, "");
      EXPECT_EQ(t.log().find("Krylov steps: "), std::string::npos);
    } else {
      EXPECT_TRUE(console.starts_with(c.statement)) << console;
      ASSERT_NE(estimate, std::string::npos) << console;
      EXPECT_NE(console.find("; at most 200 Krylov steps in each of at most 2 iterations may take ",
                             estimate),
                std::string::npos)
          << console;
      EXPECT_EQ(console.find("matrix-free step:", estimate + 1), std::string::npos);  // once
    }
  }
  // Without products with J the sensitivities are held, whatever the budget.
  problem.products = false;
  Transcript t;
  InversionSettings settings;
  settings.max_iterations = 1;
  settings.memory_budget = 1;
  gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings);
  EXPECT_NE(t.log().find(", beyond the memory budget of 9.54e-07 MiB (given), held all the same: "
                         "the problem gives no products with J\n"),
            std::string::npos)
      << t.log();
}

// A linear problem whose data drift with every set of sensitivities it gives (a datum's drift
// alternates in sign): the misfit falls, then rises as the drift outgrows what the steps fit.
class DriftingProblem : public LinearProblem {
 public:
  DriftingProblem(std::size_t ndat, std::size_t npar, unsigned seed, double drift)
      : LinearProblem(ndat, npar, seed), drift_(drift) {}
  void predict(const Io& io, std::span<const double> m, std::span<double> d) override {
    LinearProblem::predict(io, m, d);
    for (std::size_t i = 0; i < d.size(); ++i)
      d[i] += (i % 2 == 0 ? 1 : -1) * drift_ * static_cast<double>(calls_ * calls_);
  }
  void jacobian(const Io& io, std::span<const double> m, std::span<double> j,
                std::span<double> d) override {
    ++calls_;
    LinearProblem::jacobian(io, m, j, d);
    predict(io, m, d);
  }

 private:
  double drift_;
  std::int64_t calls_ = 0;
};

// The result is the iteration of the lowest misfit, with its data; a later, worse one is said to
// be passed over, on the console and in the run log.
TEST(GaussNewton, TheIterationOfTheLowestMisfitIsKept) {
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4.5, 6, 8, 10},
                                    std::vector<double>{0, 1, 2, 3.5, 5, 7});
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar), ndat = 20;
  DriftingProblem problem(ndat, npar, 3, 0.01);
  std::vector<double> truth(npar), m0(npar, 0.0), dobs(ndat), dstd(ndat, 0.01);
  for (std::size_t p = 0; p < npar; ++p) truth[p] = std::cos(static_cast<double>(p));
  problem.LinearProblem::predict(t.io(), truth, dobs);
  std::vector<std::vector<double>> models(1, m0), data(1);
  InversionSettings settings;
  settings.max_iterations = 8;
  const InversionResult result = gauss_newton(
      t.io(), problem, setup.objective, dobs, dstd, m0, m0, settings,
      [&](const IterationReport&, std::span<const double> m, std::span<const double> d) {
        models.emplace_back(m.begin(), m.end());
        data.emplace_back(d.begin(), d.end());
      });
  const std::vector<double>& h = result.misfit_history;
  ASSERT_EQ(h.size(), static_cast<std::size_t>(result.iterations) + 1);
  const auto lowest = static_cast<std::int32_t>(std::min_element(h.begin(), h.end()) - h.begin());
  ASSERT_GT(lowest, 0);
  ASSERT_LT(lowest, result.iterations) << "the drift must raise the misfit at the end";
  EXPECT_EQ(result.stop, StopReason::misfit_stalled);
  EXPECT_EQ(result.kept_iteration, lowest);
  EXPECT_EQ(result.m, models[static_cast<std::size_t>(lowest)]);
  EXPECT_EQ(result.predicted, data[static_cast<std::size_t>(lowest)]);
  char misfits[128];
  std::snprintf(misfits, sizeof misfits,
                "the model of iteration %d, misfit %.5E, is kept: the last iteration's misfit "
                "%.5E is larger\n",
                lowest, h[static_cast<std::size_t>(lowest)], h.back());
  EXPECT_NE(t.console().find(misfits), std::string::npos) << t.console();
  EXPECT_NE(t.log().find(misfits), std::string::npos);
}

}  // namespace
}  // namespace quelby
