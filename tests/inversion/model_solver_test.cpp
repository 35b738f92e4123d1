// The model objective's solver against its definitions, with either factor layout: solves give
// WTW^-1 b, and half solves give b1^T WTW^-1 b2 as the sum of products of their rows.
#include "quelby/inversion/model_solver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "quelby/forward/survey_mesh.hpp"
#include "tests/inversion/inversion_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

TEST(ModelSolver, SolvesAndHalfSolvesAgreeWithWtwForBothLayouts) {
  testing::Transcript t;
  std::vector<double> x_nodes, z_nodes;
  for (int i = 0; i <= 130; ++i) x_nodes.push_back(i * (1 + 0.01 * i));
  for (int k = 0; k <= 90; ++k) z_nodes.push_back(k * (1 + 0.02 * k));
  const Mesh mesh = mesh_from_nodes(t.io(), x_nodes, z_nodes);
  const testing::DefaultObjective setup(t.io(), mesh);
  const std::size_t n = static_cast<std::size_t>(setup.cells.npar);
  ASSERT_GT(n, 10000u);
  std::mt19937 random(3);
  std::normal_distribution<double> normal(0, 1);
  for (const std::size_t count : {std::size_t{1}, std::size_t{11}, std::size_t{300}}) {
    std::vector<double> b(n * count);
    for (double& value : b) value = normal(random);
    for (const CholeskyKind kind : {CholeskyKind::simplicial, CholeskyKind::supernodal}) {
      SCOPED_TRACE(kind == CholeskyKind::simplicial ? "simplicial" : "supernodal");
      SCOPED_TRACE(count);
      const ModelSolver solver(t.io(), setup.objective, n, {}, 0, kind);
      // WTW x = b for every right-hand side.
      std::vector<double> x(b);
      solver.solve(x, count);
      for (std::size_t c = 0; c < count; ++c) {
        std::vector<double> column(n), product(n);
        for (std::size_t p = 0; p < n; ++p) column[p] = x[p * count + c];
        csr_multiply(setup.objective.WTW, column, product);
        double worst = 0, scale = 0;
        for (std::size_t p = 0; p < n; ++p) {
          worst = std::max(worst, std::abs(product[p] - b[p * count + c]));
          scale = std::max(scale, std::abs(b[p * count + c]));
        }
        EXPECT_LT(worst, 1e-8 * scale) << c;
      }
      // y_1^T y_2 = b_1^T x_2.
      std::vector<double> y(n * count);
      solver.half_solve(b, count, y);
      for (std::size_t c1 = 0; c1 < count; c1 += 3) {
        for (std::size_t c2 = 0; c2 < count; c2 += 4) {
          double half = 0, whole = 0;
          for (std::size_t j = 0; j < n; ++j) half += y[j * count + c1] * y[j * count + c2];
          for (std::size_t p = 0; p < n; ++p) whole += b[p * count + c1] * x[p * count + c2];
          EXPECT_NEAR(half, whole, 1e-8 * std::abs(whole) + 1e-8) << c1 << " " << c2;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quelby
