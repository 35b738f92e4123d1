// The Gauss-Newton step against the regularised least-squares solution it stands for, solved
// densely in model space, and the beta choice against its aim.
#include "quelby/inversion/gauss_newton.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "quelby/forward/survey_mesh.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "tests/inversion/inversion_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// d = G m for a fixed random G.
class LinearProblem : public InversionProblem {
 public:
  LinearProblem(std::size_t ndat, std::size_t npar, unsigned seed)
      : ndat_(ndat), npar_(npar), g_(ndat * npar) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0, 1);
    for (double& value : g_) value = normal(random);
  }
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

 private:
  std::size_t ndat_, npar_;
  std::vector<double> g_;
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

TEST(GaussNewton, OneStepIsTheRegularisedLeastSquaresSolutionForTheChosenBeta) {
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4.5, 6, 8, 10},
                                    std::vector<double>{0, 1, 2, 3.5, 5, 7});
  const testing::ObjectiveSetup setup(t.io(), mesh);
  const std::size_t npar = static_cast<std::size_t>(setup.cells.npar);
  const std::size_t ndat = 12;
  LinearProblem problem(ndat, npar, 5);
  std::mt19937 random(9);
  std::normal_distribution<double> normal(0, 1);
  std::vector<double> truth(npar), m0(npar, 0.3), m_ref(npar, 0.1), dobs(ndat), dstd(ndat);
  for (double& value : truth) value = normal(random);
  problem.predict(t.io(), truth, dobs);
  for (std::size_t i = 0; i < ndat; ++i) dstd[i] = 0.05 + 0.01 * static_cast<double>(i);
  InversionSettings settings;
  settings.max_iterations = 1;
  IterationReport report;
  const InversionResult result =
      gauss_newton(t.io(), problem, setup.objective, dobs, dstd, m0, m_ref, settings,
                   [&](const IterationReport& r, std::span<const double>, std::span<const double>) {
                     report = r;
                   });
  ASSERT_EQ(result.iterations, 1);
  EXPECT_EQ(report.step_length, 1);  // a linear problem takes the whole step
  // (G^T Wd^2 G + beta WTW) dm = -(G^T Wd^2 r + beta g), densely.
  std::vector<double> a(npar * npar, 0.0), b(npar, 0.0), g(npar), d0(ndat);
  problem.predict(t.io(), m0, d0);
  wtw_times_model(setup.objective, m0, m_ref, g);
  const std::vector<double>& gm = problem.matrix();
  for (std::size_t i = 0; i < ndat; ++i) {
    const double w2 = 1 / (dstd[i] * dstd[i]);
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
  // The beta chosen makes the linearised misfit the aim, and the linear problem's true misfit is
  // the linearised one.
  const double aim =
      std::max(0.99 * result.target_misfit, settings.misfit_fraction * result.misfit_history[0]);
  EXPECT_NEAR(report.predicted_misfit / aim, 1, 1e-6);
  EXPECT_NEAR(report.misfit / report.predicted_misfit, 1, 1e-8);
  EXPECT_EQ(report.tried_betas.size(), static_cast<std::size_t>(settings.beta_trials) + 1);
  EXPECT_NE(t.log().find("chosen beta ="), std::string::npos);
  EXPECT_NE(t.log().find("norm comp Ws"), std::string::npos);
}

TEST(GaussNewton, StopsAtTheTargetAndSaysWhy) {
  Transcript t;
  const Mesh mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4}, std::vector<double>{0, 1, 2, 3});
  const testing::ObjectiveSetup setup(t.io(), mesh);
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
}

}  // namespace
}  // namespace quelby
