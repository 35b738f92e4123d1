// The factor's own solves against a dense solve of the same matrix: forward solves and their dot
// products give b1^T A^-1 b2, and the backward solve gives A^-1 b, on random grid Laplacians with
// a positive shift.
#include "quelby/forward/cholesky.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quelby {
namespace {

struct Grid {
  std::int32_t n = 0;
  std::vector<std::int32_t> starts, rows;
  std::vector<double> values;
  std::vector<double> dense;  // n x n
};

// A 9-point grid matrix of w x h nodes with random positive couplings and a positive diagonal
// shift: symmetric positive definite.
Grid random_grid(int w, int h, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> coupling(0.1, 2.0);
  Grid g;
  g.n = w * h;
  const std::size_t n = static_cast<std::size_t>(g.n);
  g.dense.assign(n * n, 0.0);
  for (int j = 0; j < g.n; ++j) {
    const int x = j % w, y = j / w;
    for (int dy = -1; dy <= 0; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        if (dy == 0 && dx >= 0) continue;
        const int xi = x + dx, yi = y + dy;
        if (xi < 0 || xi >= w || yi < 0) continue;
        const std::size_t i = static_cast<std::size_t>(yi * w + xi);
        const double c = coupling(random);
        g.dense[i * n + static_cast<std::size_t>(j)] -= c;
        g.dense[static_cast<std::size_t>(j) * n + i] -= c;
        g.dense[i * n + i] += c;
        g.dense[static_cast<std::size_t>(j) * n + static_cast<std::size_t>(j)] += c;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) g.dense[i * n + i] += 0.01 + 0.1 * coupling(random);
  for (std::size_t j = 0; j < n; ++j) {
    g.starts.push_back(static_cast<std::int32_t>(g.rows.size()));
    for (std::size_t i = 0; i <= j; ++i) {
      if (g.dense[i * n + j] != 0) {
        g.rows.push_back(static_cast<std::int32_t>(i));
        g.values.push_back(g.dense[i * n + j]);
      }
    }
  }
  g.starts.push_back(static_cast<std::int32_t>(g.rows.size()));
  return g;
}

// x = A^-1 b by Gaussian elimination on a copy (A symmetric positive definite: no pivoting).
std::vector<double> dense_solve(std::vector<double> a, std::vector<double> b) {
  const std::size_t n = b.size();
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t i = k + 1; i < n; ++i) {
      const double factor = a[i * n + k] / a[k * n + k];
      if (factor == 0) continue;
      for (std::size_t j = k; j < n; ++j) a[i * n + j] -= factor * a[k * n + j];
      b[i] -= factor * b[k];
    }
  }
  for (std::size_t k = n; k-- > 0;) {
    for (std::size_t j = k + 1; j < n; ++j) b[k] -= a[k * n + j] * b[j];
    b[k] /= a[k * n + k];
  }
  return b;
}

TEST(Cholesky, SolvesMatchADenseSolveOnRandomGrids) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    const Grid g = random_grid(9 + static_cast<int>(seed), 7, seed);
    const std::size_t n = static_cast<std::size_t>(g.n);
    CholeskyPattern pattern(g.n, g.starts, g.rows);
    EXPECT_GT(pattern.factor_entries(), static_cast<double>(n));
    CholeskyFactor factor(pattern, g.values);
    // Right-hand sides of one, two and four entries, like electrodes on and between nodes.
    const std::vector<std::vector<std::int32_t>> rows = {
        {5}, {0, 1}, {20, 21, 30, 31}, {static_cast<std::int32_t>(n - 1)}};
    const std::vector<std::vector<double>> values = {{1}, {0.25, 0.75}, {0.1, 0.2, 0.3, 0.4}, {2}};
    std::vector<ForwardColumn> forward(rows.size());
    std::vector<std::vector<double>> exact;
    for (std::size_t c = 0; c < rows.size(); ++c) {
      factor.forward(rows[c], values[c], forward[c]);
      std::vector<double> b(n, 0.0);
      for (std::size_t e = 0; e < rows[c].size(); ++e)
        b[static_cast<std::size_t>(rows[c][e])] += values[c][e];
      exact.push_back(dense_solve(g.dense, b));
    }
    for (std::size_t p = 0; p < rows.size(); ++p) {
      for (std::size_t q = 0; q < rows.size(); ++q) {
        double expected = 0;
        for (std::size_t e = 0; e < rows[q].size(); ++e)
          expected += values[q][e] * exact[p][static_cast<std::size_t>(rows[q][e])];
        EXPECT_NEAR(factor.dot(forward[p], forward[q]), expected,
                    1e-10 * std::abs(expected) + 1e-14);
      }
    }
    std::vector<double> full(n * rows.size());
    factor.backward(forward, full);
    for (std::size_t c = 0; c < rows.size(); ++c) {
      for (std::size_t i = 0; i < n; ++i)
        EXPECT_NEAR(full[i * rows.size() + c], exact[c][i], 1e-10 * std::abs(exact[c][i]) + 1e-13);
    }
  }
}

TEST(Cholesky, RefactorisingInPlaceGivesTheFreshFactorsBits) {
  const Grid first = random_grid(12, 9, 5);
  const Grid second = random_grid(12, 9, 6);  // the same pattern, other values
  CholeskyPattern pattern(first.n, first.starts, first.rows);
  CholeskyFactor reused(pattern, first.values);
  reused.refactor(second.values);
  CholeskyFactor fresh(pattern, second.values);
  const std::size_t n = static_cast<std::size_t>(first.n);
  std::vector<double> rhs(n * 3);
  for (std::size_t i = 0; i < rhs.size(); ++i) rhs[i] = std::sin(static_cast<double>(i));
  std::vector<double> a = rhs, b = rhs;
  reused.solve(a, 3);
  fresh.solve(b, 3);
  EXPECT_EQ(a, b);
  // A refactorisation that fails leaves a factor that refuses, and a good one after it works.
  Grid negative = second;
  for (double& value : negative.values) value = -value;
  EXPECT_THROW(reused.refactor(negative.values), std::runtime_error);
  reused.refactor(second.values);
  a = rhs;
  reused.solve(a, 3);
  EXPECT_EQ(a, b);
}

TEST(Cholesky, RefusesAMatrixThatIsNotPositiveDefinite) {
  Grid g = random_grid(5, 5, 4);
  for (std::size_t j = 0; j < g.values.size(); ++j) g.values[j] = -g.values[j];
  CholeskyPattern pattern(g.n, g.starts, g.rows);
  EXPECT_THROW(CholeskyFactor(pattern, g.values), std::runtime_error);
}

}  // namespace
}  // namespace quelby
