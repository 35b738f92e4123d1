#include "quelby/regularization/alpha.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tests/cells/cells_fixtures.hpp"

namespace quelby {
namespace {

using testing::mesh_with_widths;
using testing::Outcome;
using testing::run;

TEST(AlphaCoefficients, DefaultsComeFromTheSmallestCells) {
  // Smallest x width 10, smallest z width 5: L = 4 * 10 = 40.
  const Mesh mesh = mesh_with_widths({20, 10, 30}, {5, 7});
  Outcome outcome;
  AlphaCoefficients alpha;
  run(outcome, [&](const Io& io) { set_alpha(io, mesh, 0, {9, 9, 9}, {9, 9}, alpha); });
  EXPECT_EQ(alpha.alpha_s, 1.0 / 1600);
  EXPECT_EQ(alpha.alpha_x, 1.0);
  EXPECT_EQ(alpha.alpha_z, 1.0);
  EXPECT_EQ(outcome.log(),
            "\n"
            "using default length scales (Lx, Lz): ( 4.00000E+01, 4.00000E+01)\n"
            "corresponding alpha (a_s, a_x, a_z): ( 6.25000E-04, 1.0000E+00, 1.0000E+00)\n"
            "\n");
  EXPECT_EQ(outcome.console(), "");
}

TEST(AlphaCoefficients, LengthScalesAreNormalisedToTheLarger) {
  const Mesh mesh;  // not needed in mode 3
  Outcome outcome;
  AlphaCoefficients alpha;
  run(outcome, [&](const Io& io) { set_alpha(io, mesh, 3, {}, {100, 50}, alpha); });
  EXPECT_EQ(alpha.alpha_s, 1.0E-04);
  EXPECT_EQ(alpha.alpha_x, 1.0);
  EXPECT_EQ(alpha.alpha_z, 0.25);
  EXPECT_EQ(outcome.log(),
            "\n"
            "using length scales (Lx, Lz): ( 1.00000E+02, 5.00000E+01)\n"
            "corresponding alpha (a_s, a_x, a_z): ( 1.00000E-04, 1.0000E+00, 2.5000E-01)\n"
            "\n");
}

TEST(AlphaCoefficients, GivenCoefficientsAreKeptAsTheyAre) {
  const Mesh mesh;
  const struct {
    std::array<double, 3> given;
    const char* log;
  } cases[] = {
      {{0.001, 2.5, 0.4},
       "\nusing alpha (a_s, a_x, a_z): ( 1.00000E-03, 2.5000E+00, 4.0000E-01)\n"
       "corresponding length scales (Lx, Lz): ( 5.00000E+01, 2.00000E+01)\n\n"},
      // a_s = 0: the length scales are infinite, and nothing checks it.
      {{0, 1, 1},
       "\nusing alpha (a_s, a_x, a_z): ( 0.00000E+00, 1.0000E+00, 1.0000E+00)\n"
       "corresponding length scales (Lx, Lz): (    Infinity,    Infinity)\n\n"},
      // Three-digit exponents take the place of the letter E.
      {{1E-200, -1E+150, 1E-200},
       "\nusing alpha (a_s, a_x, a_z): ( 1.00000-200,-1.0000+150, 1.0000-200)\n"
       "corresponding length scales (Lx, Lz): (         NaN, 1.00000E+00)\n\n"},
  };
  for (const auto& c : cases) {
    Outcome outcome;
    AlphaCoefficients alpha;
    run(outcome, [&](const Io& io) { set_alpha(io, mesh, 2, c.given, {}, alpha); });
    EXPECT_EQ(alpha.alpha_s, c.given[0]);
    EXPECT_EQ(alpha.alpha_x, c.given[1]);
    EXPECT_EQ(alpha.alpha_z, c.given[2]);
    EXPECT_EQ(outcome.log(), c.log);
  }
}

TEST(AlphaCoefficients, OtherModesChangeNothing) {
  const Mesh mesh = mesh_with_widths({1}, {1});
  for (const std::int32_t mode : {1, -1, 4, 7, std::numeric_limits<std::int32_t>::min()}) {
    Outcome outcome;
    AlphaCoefficients alpha{0.5, 0.25, 0.125};
    run(outcome, [&](const Io& io) { set_alpha(io, mesh, mode, {1, 2, 3}, {4, 5}, alpha); });
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(alpha.alpha_s, 0.5);
    EXPECT_EQ(alpha.alpha_x, 0.25);
    EXPECT_EQ(alpha.alpha_z, 0.125);
    EXPECT_EQ(outcome.log() + outcome.console() + outcome.error(), "") << mode;
  }
}

TEST(AlphaCoefficients, CallingAgainOverwrites) {
  const Mesh mesh = mesh_with_widths({2.5, 3}, {1, 1});
  Outcome outcome;
  AlphaCoefficients alpha;
  run(outcome, [&](const Io& io) {
    set_alpha(io, mesh, 2, {1, 2, 3}, {}, alpha);
    set_alpha(io, mesh, 0, {}, {}, alpha);
  });
  EXPECT_EQ(alpha.alpha_s, 1.0 / 100);  // L = 4 * 2.5 = 10
  EXPECT_EQ(alpha.alpha_x, 1.0);
  EXPECT_EQ(alpha.alpha_z, 1.0);
}

}  // namespace
}  // namespace quelby
