// The factor's own solves, simplicial and supernodal, against a dense solve of the same matrix
// (forward solves and their dot products give b1^T A^-1 b2, the backward solve A^-1 b) on random
// grid Laplacians with a positive shift, against residuals on large grids, and two factorisations
// at once on two threads against one after the other.
#include "quelby/forward/cholesky.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <span>
#include <vector>

#include "quelby/base/parallel.hpp"

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

const CholeskyKind both_kinds[] = {CholeskyKind::simplicial, CholeskyKind::supernodal};

TEST(Cholesky, SolvesMatchADenseSolveOnRandomGrids) {
  for (const CholeskyKind kind : both_kinds) {
    for (const unsigned seed : {1u, 2u, 3u}) {
      const Grid g = random_grid(9 + static_cast<int>(seed), 7, seed);
      const std::size_t n = static_cast<std::size_t>(g.n);
      CholeskyPattern pattern(g.n, g.starts, g.rows, kind);
      EXPECT_EQ(pattern.supernodal(), kind == CholeskyKind::supernodal);
      EXPECT_GT(pattern.factor_entries(), static_cast<double>(n));
      CholeskyFactor factor(pattern, g.values);
      // Right-hand sides of one, two and four entries, like electrodes on and between nodes.
      const std::vector<std::vector<std::int32_t>> rows = {
          {5}, {0, 1}, {20, 21, 30, 31}, {static_cast<std::int32_t>(n - 1)}};
      const std::vector<std::vector<double>> values = {
          {1}, {0.25, 0.75}, {0.1, 0.2, 0.3, 0.4}, {2}};
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
      std::vector<double> full(n * rows.size(), std::nan(""));
      factor.backward(forward, full);
      const std::span<const std::int32_t> at = pattern.factor_row();
      for (std::size_t c = 0; c < rows.size(); ++c) {
        for (std::size_t i = 0; i < n; ++i) {
          EXPECT_NEAR(full[static_cast<std::size_t>(at[i]) * rows.size() + c], exact[c][i],
                      1e-10 * std::abs(exact[c][i]) + 1e-13);
        }
      }
      // b1^T A^-1 b2 from the dense forward solve and the pivots.
      std::vector<double> b(n * 2, 0.0), y(n * 2);
      b[5 * 2] = 1;
      b[(n - 1) * 2 + 1] = 2;
      factor.forward_dense(b, 2, y);
      double sum = 0;
      for (std::size_t j = 0; j < n; ++j) sum += y[j * 2] * y[j * 2 + 1] / factor.pivot(j);
      EXPECT_NEAR(sum, 2 * exact[0][n - 1], 1e-10 * std::abs(exact[0][n - 1]));
    }
  }
}

// r = A x - b for the grid's upper triangle (symmetric), `count` columns node by node.
double worst_residual(const Grid& g, const std::vector<double>& x, const std::vector<double>& b,
                      std::size_t count) {
  std::vector<double> r(b.size());
  for (std::size_t i = 0; i < b.size(); ++i) r[i] = -b[i];
  for (std::size_t j = 0; j < static_cast<std::size_t>(g.n); ++j) {
    for (std::int32_t at = g.starts[j]; at < g.starts[j + 1]; ++at) {
      const std::size_t i = static_cast<std::size_t>(g.rows[static_cast<std::size_t>(at)]);
      const double a = g.values[static_cast<std::size_t>(at)];
      for (std::size_t c = 0; c < count; ++c) {
        r[i * count + c] += a * x[j * count + c];
        if (i != j) r[j * count + c] += a * x[i * count + c];
      }
    }
  }
  double worst = 0, scale = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    worst = std::max(worst, std::abs(r[i]));
    scale = std::max(scale, std::abs(b[i]));
  }
  return worst / scale;
}

TEST(Cholesky, BothKindsSolveLargeGridsToRounding) {
  // Large enough for supernodes whose blocks go through the BLAS.
  const Grid g = random_grid(60, 45, 11);
  const std::size_t n = static_cast<std::size_t>(g.n);
  const std::size_t count = 24;
  std::vector<double> b(n * count);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = std::cos(0.37 * static_cast<double>(i));
  std::vector<std::vector<double>> solutions, fields;
  for (const CholeskyKind kind : both_kinds) {
    CholeskyPattern pattern(g.n, g.starts, g.rows, kind);
    CholeskyFactor factor(pattern, g.values);
    std::vector<double> x = b;
    factor.solve(x, count);
    EXPECT_LT(worst_residual(g, x, b, count), 1e-12);
    solutions.push_back(x);
    // Fields of point sources at every 97th node from the sparse forward solves.
    std::vector<ForwardColumn> forward(count);
    for (std::size_t c = 0; c < count; ++c) {
      const std::int32_t node = static_cast<std::int32_t>((97 * c + 13) % n);
      const double one = 1;
      factor.forward(std::span(&node, 1), std::span(&one, 1), forward[c]);
    }
    std::vector<double> by_factor_row(n * count), field(n * count);
    factor.backward(forward, by_factor_row);
    for (std::size_t i = 0; i < n; ++i) {
      const double* from =
          by_factor_row.data() + static_cast<std::size_t>(pattern.factor_row()[i]) * count;
      std::copy(from, from + count, field.begin() + static_cast<std::ptrdiff_t>(i * count));
    }
    std::vector<double> sources(n * count, 0.0);
    for (std::size_t c = 0; c < count; ++c) sources[((97 * c + 13) % n) * count + c] = 1;
    EXPECT_LT(worst_residual(g, field, sources, count), 1e-12);
    fields.push_back(field);
  }
  for (std::size_t i = 0; i < solutions[0].size(); ++i) {
    EXPECT_NEAR(solutions[1][i], solutions[0][i], 1e-11 * (std::abs(solutions[0][i]) + 1));
    EXPECT_NEAR(fields[1][i], fields[0][i], 1e-11 * (std::abs(fields[0][i]) + 1));
  }
}

TEST(Cholesky, RefactorisingInPlaceGivesTheFreshFactorsBits) {
  for (const CholeskyKind kind : both_kinds) {
    const Grid first = random_grid(12, 9, 5);
    const Grid second = random_grid(12, 9, 6);  // the same pattern, other values
    CholeskyPattern pattern(first.n, first.starts, first.rows, kind);
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
}

TEST(Cholesky, TwoSupernodalFactorisationsAtOnceGiveTheBitsOfOneAfterTheOther) {
  // Each thread factorises its own values (the BLAS inside CHOLMOD runs on both threads at once)
  // and solves with them; every factor must be the one a single thread makes.
  const Grid g = random_grid(50, 40, 21);
  const std::size_t n = static_cast<std::size_t>(g.n);
  CholeskyPattern pattern(g.n, g.starts, g.rows, CholeskyKind::supernodal);
  auto scaled = [&](int which) {
    std::vector<double> values = g.values;
    for (std::size_t j = 0; j < values.size(); ++j)
      values[j] *= 1 + 0.01 * which * std::sin(static_cast<double>(j));
    return values;
  };
  std::vector<double> rhs(n * 4);
  for (std::size_t i = 0; i < rhs.size(); ++i) rhs[i] = std::cos(static_cast<double>(i));
  std::vector<std::vector<double>> alone(4);
  for (int which = 0; which < 4; ++which) {
    CholeskyFactor factor(pattern, scaled(which));
    alone[static_cast<std::size_t>(which)] = rhs;
    factor.solve(alone[static_cast<std::size_t>(which)], 4);
  }
  for (int round = 0; round < 5; ++round) {
    std::vector<std::vector<double>> together(4, rhs);
    parallel_for(4, 2, [&](std::int64_t begin, std::int64_t end) {
      for (std::int64_t which = begin; which < end; ++which) {
        CholeskyFactor factor(pattern, scaled(static_cast<int>(which)));
        factor.refactor(scaled(static_cast<int>(3 - which)));
        factor.refactor(scaled(static_cast<int>(which)));
        factor.solve(together[static_cast<std::size_t>(which)], 4);
      }
    });
    EXPECT_EQ(together, alone) << "round " << round;
  }
}

TEST(Cholesky, RefusesAMatrixThatIsNotPositiveDefinite) {
  for (const CholeskyKind kind : both_kinds) {
    Grid g = random_grid(5, 5, 4);
    for (std::size_t j = 0; j < g.values.size(); ++j) g.values[j] = -g.values[j];
    CholeskyPattern pattern(g.n, g.starts, g.rows, kind);
    EXPECT_THROW(CholeskyFactor(pattern, g.values), std::runtime_error);
  }
}

}  // namespace
}  // namespace quelby
