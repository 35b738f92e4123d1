// Dense algebra against its definitions: the eigen-decomposition reconstructs rank-deficient,
// repeated and widely scaled matrices with orthonormal vectors; the tiled Gram product and the
// parallel products match plain loops and give the same bits on one thread as on the pool.
#include "quelby/forward/dense.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "quelby/base/parallel.hpp"

namespace quelby {
namespace {

// A symmetric positive semi-definite n x n matrix (column-major, both triangles) of the kind the
// inversion meets: H^T diag(scale) H with `rank` rows of H, the last rows repeating the first.
std::vector<double> gram_matrix(std::size_t n, std::size_t rank, double decades,
                                std::mt19937& random) {
  std::normal_distribution<double> normal(0, 1);
  std::vector<double> h(rank * n);
  for (double& value : h) value = normal(random);
  for (std::size_t j = n / 2; j < n; j += 3) {
    for (std::size_t r = 0; r < rank; ++r) h[r * n + j] = h[r * n + j - n / 2];
  }
  std::vector<double> a(n * n, 0.0);
  for (std::size_t r = 0; r < rank; ++r) {
    const double scale =
        std::pow(10.0, -decades * static_cast<double>(r) /
                           static_cast<double>(std::max<std::size_t>(rank - 1, 1)));
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) a[i + j * n] += scale * h[r * n + i] * h[r * n + j];
    }
  }
  return a;
}

TEST(SymmetricEigen, DecomposesRankDeficientRepeatedAndWidelyScaledMatrices) {
  std::mt19937 random(5);
  struct Case {
    std::size_t n, rank;
    double decades;
  };
  for (const Case c : {Case{1, 1, 0}, Case{2, 1, 0}, Case{9, 9, 3}, Case{60, 20, 16},
                       Case{300, 230, 16}, Case{300, 300, 0}, Case{120, 1, 0}}) {
    const std::vector<double> a = gram_matrix(c.n, c.rank, c.decades, random);
    double norm = 0;
    for (const double value : a) norm = std::max(norm, std::abs(value));
    std::vector<double> work(a);
    dense::SymmetricEigen eigen;
    eigen.decompose(work, c.n);
    const std::vector<double>& lambda = eigen.values();
    ASSERT_EQ(lambda.size(), c.n);
    for (std::size_t j = 0; j + 1 < c.n; ++j) EXPECT_LE(lambda[j], lambda[j + 1]);
    // Semi-definite: no eigenvalue below rounding of the largest.
    EXPECT_GE(lambda.front(), -1e-12 * norm) << c.n;
    const std::vector<double> v = eigen.vectors();
    double worst_reconstruction = 0, worst_orthogonality = 0;
    for (std::size_t i = 0; i < c.n; ++i) {
      for (std::size_t j = 0; j < c.n; ++j) {
        double sum = 0, dot = 0;
        for (std::size_t k = 0; k < c.n; ++k) {
          sum += v[i + k * c.n] * lambda[k] * v[j + k * c.n];
          dot += v[k + i * c.n] * v[k + j * c.n];
        }
        worst_reconstruction = std::max(worst_reconstruction, std::abs(sum - a[i + j * c.n]));
        worst_orthogonality = std::max(worst_orthogonality, std::abs(dot - (i == j ? 1.0 : 0.0)));
      }
    }
    EXPECT_LE(worst_reconstruction, 1e-12 * norm * static_cast<double>(c.n)) << c.n;
    EXPECT_LE(worst_orthogonality, 1e-12 * static_cast<double>(c.n)) << c.n;
    // The basis maps agree with the vectors and undo each other.
    std::vector<double> x(c.n), components(c.n), back(c.n);
    std::normal_distribution<double> normal(0, 1);
    for (double& value : x) value = normal(random);
    eigen.to_eigenbasis(x, components);
    eigen.from_eigenbasis(components, back);
    for (std::size_t k = 0; k < c.n; ++k) {
      double dot = 0;
      for (std::size_t i = 0; i < c.n; ++i) dot += v[i + k * c.n] * x[i];
      EXPECT_NEAR(components[k], dot, 1e-12 * c.n);
      EXPECT_NEAR(back[k], x[k], 1e-12 * c.n);
    }
  }
}

TEST(DenseProducts, MatchPlainLoopsAndGiveTheSameBitsOnOneThread) {
  std::mt19937 random(9);
  std::normal_distribution<double> normal(0, 1);
  for (const std::size_t n : {1u, 3u, 255u, 256u, 257u, 700u}) {
    const std::size_t k = 37 + n / 3, lda = n + 2;
    std::vector<double> a(lda * k);
    for (double& value : a) value = normal(random);
    std::vector<double> gram(n * n, -7.0);
    dense::lower_gram(n, k, a.data(), lda, gram.data(), n);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t i = 0; i < n; ++i) {
        if (i < j) {
          EXPECT_EQ(gram[i + j * n], -7.0) << "the upper triangle is left as it was";
          continue;
        }
        double sum = 0;
        for (std::size_t t = 0; t < k; ++t) sum += a[i + t * lda] * a[j + t * lda];
        EXPECT_NEAR(gram[i + j * n], sum, 1e-12 * static_cast<double>(k));
      }
    }
    std::vector<double> x(k), y(n), z(n), w(k), expected_y(n, 0.0), expected_w(k, 0.0);
    for (double& value : x) value = normal(random);
    for (double& value : z) value = normal(random);
    dense::parallel_gemv(false, n, k, a.data(), lda, x, y);
    dense::parallel_gemv(true, n, k, a.data(), lda, z, w);
    for (std::size_t t = 0; t < k; ++t) {
      for (std::size_t i = 0; i < n; ++i) {
        expected_y[i] += a[i + t * lda] * x[t];
        expected_w[t] += a[i + t * lda] * z[i];
      }
    }
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(y[i], expected_y[i], 1e-12 * k);
    for (std::size_t t = 0; t < k; ++t) EXPECT_NEAR(w[t], expected_w[t], 1e-12 * n);

    // A loop inside a parallel loop runs on its caller's thread alone.
    std::vector<double> gram_alone(n * n, -7.0), y_alone(n), w_alone(k);
    parallel_for(2, 1, [&](std::int64_t begin, std::int64_t) {
      if (begin != 0) return;
      dense::lower_gram(n, k, a.data(), lda, gram_alone.data(), n);
      dense::parallel_gemv(false, n, k, a.data(), lda, x, y_alone);
      dense::parallel_gemv(true, n, k, a.data(), lda, z, w_alone);
    });
    EXPECT_EQ(gram_alone, gram);
    EXPECT_EQ(y_alone, y);
    EXPECT_EQ(w_alone, w);
  }
}

TEST(DenseProducts, SymmetricRankKUpdatesTheLowerTriangleAlone) {
  std::mt19937 random(31);
  std::normal_distribution<double> normal(0, 1);
  const std::size_t n = 37, k = 11, ld = 40;
  std::vector<double> a(ld * k), c(ld * n);
  for (double& value : a) value = normal(random);
  for (double& value : c) value = normal(random);
  std::vector<double> updated = c;
  dense::syrk(n, k, -0.5, a.data(), ld, 2.0, updated.data(), ld);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i < j) {
        EXPECT_EQ(updated[i + j * ld], c[i + j * ld]);  // the upper triangle is not touched
        continue;
      }
      double sum = 0, scale = 0;
      for (std::size_t t = 0; t < k; ++t) {
        sum += a[i + t * ld] * a[j + t * ld];
        scale += std::abs(a[i + t * ld] * a[j + t * ld]);
      }
      EXPECT_NEAR(updated[i + j * ld], 2.0 * c[i + j * ld] - 0.5 * sum, 1e-14 * (scale + 4));
    }
  }
}

}  // namespace
}  // namespace quelby
