// The eigen-decomposition against its definition: A V = V diag(lambda), V^T V = I, ascending
// eigenvalues, on random, repeated-eigenvalue and tiny matrices.
#include "quelby/inversion/symmetric_eigen.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quelby {
namespace {

void expect_decomposition(const std::vector<double>& a, std::size_t n) {
  std::vector<double> values, vectors;
  symmetric_eigen(a, n, values, vectors);
  double scale = 0;
  for (const double value : a) scale = std::max(scale, std::abs(value));
  for (std::size_t j = 0; j + 1 < n; ++j) EXPECT_LE(values[j], values[j + 1]);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double av = 0, vv = 0;
      for (std::size_t k = 0; k < n; ++k) {
        av += a[i * n + k] * vectors[k * n + j];
        vv += vectors[k * n + i] * vectors[k * n + j];
      }
      EXPECT_NEAR(av, values[j] * vectors[i * n + j], 1e-12 * (scale + 1)) << i << "," << j;
      EXPECT_NEAR(vv, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
    }
  }
}

TEST(SymmetricEigen, DecomposesRandomRepeatedAndTinyMatrices) {
  std::mt19937 random(3);
  std::normal_distribution<double> normal(0, 1);
  for (const std::size_t n : {1u, 2u, 7u, 40u}) {
    std::vector<double> a(n * n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = normal(random);
    }
    expect_decomposition(a, n);
  }
  // The identity plus a rank-one term: n - 1 equal eigenvalues.
  const std::size_t n = 12;
  std::vector<double> a(n * n), u(n);
  for (double& value : u) value = normal(random);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) a[i * n + j] = (i == j ? 2.0 : 0.0) + u[i] * u[j];
  }
  expect_decomposition(a, n);
  std::vector<double> values, vectors;
  symmetric_eigen(a, n, values, vectors);
  EXPECT_NEAR(values[0], 2, 1e-12);
  EXPECT_NEAR(values[n - 2], 2, 1e-12);
  double norm = 0;
  for (const double value : u) norm += value * value;
  EXPECT_NEAR(values[n - 1], 2 + norm, 1e-11);
}

}  // namespace
}  // namespace quelby
