// The forward floor's element-wise kernels against their literal formulas, bit for bit: whichever
// vector unit the run-time dispatch picks, every element is computed in the documented order.
#include "quelby/forward/kernels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace quelby {
namespace {

std::vector<double> random_values(std::size_t count, std::mt19937& random) {
  std::uniform_real_distribution<double> value(-3, 3);
  std::vector<double> values(count);
  for (double& x : values) x = std::ldexp(value(random), static_cast<int>(random() % 40) - 20);
  return values;
}

TEST(ForwardKernels, LaneDotAndFeaturesGiveTheLiteralOrdersBits) {
  std::mt19937 random(17);
  for (const std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 13u, 32u, 64u, 67u}) {
    const std::vector<double> x = random_values(n, random), y = random_values(n, random);
    double lane[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) lane[i % 4] += x[i] * y[i];
    const double literal = (lane[0] + lane[1]) + (lane[2] + lane[3]);
    EXPECT_EQ(lane_dot(x.data(), y.data(), n), literal) << "n = " << n;

    std::vector<std::vector<double>> u(4);
    for (auto& values : u) values = random_values(n, random);
    const std::vector<double> r = random_values(10, random);
    std::vector<std::vector<double>> out(4, std::vector<double>(n, std::nan("")));
    electrode_features(u[0].data(), u[1].data(), u[2].data(), u[3].data(), r.data(), out[0].data(),
                       out[1].data(), out[2].data(), out[3].data(), n);
    for (std::size_t e = 0; e < n; ++e) {
      EXPECT_EQ(out[0][e], ((r[0] * u[0][e] + r[1] * u[1][e]) + r[2] * u[2][e]) + r[3] * u[3][e]);
      EXPECT_EQ(out[1][e], (r[4] * u[1][e] + r[5] * u[2][e]) + r[6] * u[3][e]);
      EXPECT_EQ(out[2][e], r[7] * u[2][e] + r[8] * u[3][e]);
      EXPECT_EQ(out[3][e], r[9] * u[3][e]);
    }
  }
}

}  // namespace
}  // namespace quelby
