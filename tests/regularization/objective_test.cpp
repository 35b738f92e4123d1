#include "quelby/regularization/objective.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/sparse/csr.hpp"
#include "tests/regularization/objective_literal.hpp"
#include "tests/regularization/objective_setup.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::ObjectiveSetup;
using testing::Transcript;

std::vector<std::uint64_t> bits(const std::vector<double>& values) {
  std::vector<std::uint64_t> result;
  for (const double value : values) result.push_back(std::bit_cast<std::uint64_t>(value));
  return result;
}

// Same rows, columns and value bits, and arrays sized exactly to the entries.
void expect_same_matrix(const CsrMatrix& fast, const CsrMatrix& reference,
                        const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(fast.row_start, reference.row_start);
  const auto count = static_cast<std::size_t>(reference.row_start.back());
  EXPECT_EQ(fast.values.size(), count);
  EXPECT_EQ(fast.columns.size(), count);
  EXPECT_EQ(fast.columns,
            std::vector(reference.columns.begin(), reference.columns.begin() + count));
  EXPECT_EQ(bits(fast.values), bits({reference.values.begin(), reference.values.begin() + count}));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

using Dense = std::vector<std::vector<double>>;

Dense to_dense(const CsrMatrix& a, std::size_t n) {
  Dense dense(n, std::vector<double>(n, 0.0));
  for (std::size_t i = 0; i < n; ++i)
    for (auto k = a.row_start[i]; k < a.row_start[i + 1]; ++k)
      if (a.columns[k] >= 0 && static_cast<std::size_t>(a.columns[k]) < n)
        dense[i][static_cast<std::size_t>(a.columns[k])] += a.values[k];
  return dense;
}

// The worked example: 2 by 2 cells, dx = (10, 20), dz = (5, 5), alpha_s = 1/1600.
ObjectiveSetup worked_example() {
  return testing::uniform_setup({10, 20}, {5, 5}, 1.0 / 1600, 1, 1);
}

TEST(ModelObjectiveBuild, BuildsTheWorkedExample) {
  const ObjectiveSetup setup = worked_example();
  Transcript transcript;
  ModelObjective objective;
  build_objective_terms(transcript.io(), setup.inputs(), true, {.keep_factors = true}, objective);

  ASSERT_EQ(objective.n_terms, 3);
  ASSERT_EQ(objective.wtw_terms.size(), 3u);
  EXPECT_EQ(objective.wtw_terms[0].values,
            (std::vector<double>{50.0 / 1600, 100.0 / 1600, 50.0 / 1600, 100.0 / 1600}));
  const double v = std::sqrt(5.0 * 15) / 15;
  EXPECT_EQ(objective.Wx.values, (std::vector<double>{-v, v, -v, v, -v, v, -v, v}));
  EXPECT_EQ(objective.Wx.columns, (std::vector<std::int32_t>{0, 1, 0, 1, 2, 3, 2, 3}));
  EXPECT_EQ(objective.Wx.row_start, (std::vector<std::int32_t>{0, 2, 4, 6, 8}));
  EXPECT_EQ(objective.Wz.columns, (std::vector<std::int32_t>{0, 2, 1, 3, 0, 2, 1, 3}));
  EXPECT_DOUBLE_EQ(objective.Wz.values[1], std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(objective.Wz.values[3], 2.0);

  const Dense x_term = to_dense(objective.wtw_terms[1], 4);
  const Dense z_term = to_dense(objective.wtw_terms[2], 4);
  const Dense x_expected = {{2. / 3, -2. / 3, 0, 0},
                            {-2. / 3, 2. / 3, 0, 0},
                            {0, 0, 2. / 3, -2. / 3},
                            {0, 0, -2. / 3, 2. / 3}};
  const Dense z_expected = {{4, 0, -4, 0}, {0, 8, 0, -8}, {-4, 0, 4, 0}, {0, -8, 0, 8}};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(x_term[i][j], x_expected[i][j], 1e-14) << i << "," << j;
      EXPECT_NEAR(z_term[i][j], z_expected[i][j], 1e-13) << i << "," << j;
    }
  }

  const CsrMatrix& WTW = objective.WTW;
  ASSERT_EQ(WTW.row_start[1], 3);
  EXPECT_EQ(std::vector(WTW.columns.begin(), WTW.columns.begin() + 3),
            (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_NEAR(WTW.values[0], 4.697917, 5e-7);
  EXPECT_NEAR(WTW.values[1], -2.0 / 3, 1e-14);
  EXPECT_NEAR(WTW.values[2], -4.0, 1e-13);
  EXPECT_EQ(transcript.log(), "");  // no warning: every row is diagonally dominant
  EXPECT_EQ(transcript.console(), "");
  EXPECT_EQ(transcript.error(), "");

  std::vector<double> phi(4, -1.0);
  term_norms(objective, std::vector<double>{1, 2, 3, 4}, std::vector<double>(4, 0.0), phi);
  EXPECT_DOUBLE_EQ(phi[0], 1.5625);
  EXPECT_NEAR(phi[1], 4.0 / 3, 1e-14);
  EXPECT_NEAR(phi[2], 48.0, 1e-12);
  EXPECT_EQ(phi[3], 0.0);
}

// The terms, WTW, the warnings and both evaluations against the literal steps, bit for bit, on
// random set-ups of every kind, with the reference model in the derivatives or not.
TEST(ModelObjectiveBuild, MatchesTheLiteralStepsBitForBit) {
  std::mt19937 random(20261209);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  int four_terms = 0;
  int warned = 0;
  for (int trial = 0; trial < 400; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const ObjectiveSetup setup = testing::random_setup(random);
    const bool ref_in_derivatives = trial % 2 == 0;
    const literal::Objective expected = literal::build(setup.inputs());
    ASSERT_FALSE(expected.stop.has_value()) << *expected.stop;

    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), ref_in_derivatives, {}, objective);
    ASSERT_EQ(objective.n_terms, expected.n_terms);
    ASSERT_EQ(objective.wtw_terms.size(), static_cast<std::size_t>(expected.n_terms));
    for (std::int32_t k = 0; k < expected.n_terms; ++k)
      expect_same_matrix(objective.wtw_terms[k], expected.terms[k],
                         "term " + std::to_string(k + 1));
    expect_same_matrix(objective.WTW, expected.WTW, "WTW");
    EXPECT_EQ(lines_of(transcript.log()), expected.warnings);
    EXPECT_EQ(transcript.error(), "");
    EXPECT_TRUE(objective.Wx.values.empty() && objective.Bx.empty());  // factors off by default
    four_terms += expected.n_terms == 4 ? 1 : 0;
    warned += expected.warnings.empty() ? 0 : 1;

    std::vector<double> m(setup.npar), m_ref(setup.npar);
    for (std::int32_t i = 0; i < setup.npar; ++i) {
      m[i] = value(random);
      m_ref[i] = trial % 3 == 0 ? m[i] : value(random);
    }
    std::vector<double> g(setup.npar);
    wtw_times_model(objective, m, m_ref, g);
    EXPECT_EQ(bits(g), bits(literal::wtw_times_model(expected, ref_in_derivatives, m, m_ref)));
    std::vector<double> phi(4);
    term_norms(objective, m, m_ref, phi);
    EXPECT_EQ(bits(phi), bits(literal::term_norms(expected, ref_in_derivatives, m, m_ref)));
  }
  EXPECT_GT(four_terms, 100);
  EXPECT_GT(warned, 10);
}

// Rows of the difference operators as their meaning gives them: the x neighbour pair of a cell
// (forward, else backward) and the z pair (below, or above in the bottom row).
struct DifferenceRows {
  Dense wx;
  Dense wz;
};

DifferenceRows difference_rows(const ObjectiveSetup& setup) {
  const Mesh& mesh = setup.mesh;
  const auto n = static_cast<std::size_t>(setup.npar);
  DifferenceRows rows{Dense(n, std::vector<double>(n, 0.0)), Dense(n, std::vector<double>(n, 0.0))};
  const auto index = [&](std::int32_t ix, std::int32_t iz) {
    return setup.cell_idx[static_cast<std::size_t>(iz * mesh.nx + ix)];
  };
  for (std::int32_t iz = 0; iz < mesh.nz; ++iz) {
    for (std::int32_t ix = 0; ix < mesh.nx; ++ix) {
      const std::int32_t p = index(ix, iz);
      if (p == 0) continue;
      const auto row = static_cast<std::size_t>(p - 1);
      const auto put = [&](Dense& w, std::int32_t left, std::int32_t right, double distance,
                           double width) {
        const double v = std::sqrt(width * distance) / distance;
        if (left > 0) w[row][static_cast<std::size_t>(left - 1)] -= v;
        if (right > 0) w[row][static_cast<std::size_t>(right - 1)] += v;
      };
      if (ix + 1 < mesh.nx && index(ix + 1, iz) != 0) {
        put(rows.wx, p, index(ix + 1, iz), (mesh.dx[ix] + mesh.dx[ix + 1]) / 2, mesh.dz[iz]);
      } else if (ix > 0 && index(ix - 1, iz) != 0) {
        put(rows.wx, index(ix - 1, iz), p, (mesh.dx[ix - 1] + mesh.dx[ix]) / 2, mesh.dz[iz]);
      }
      if (mesh.nz == 1) continue;
      if (iz + 1 < mesh.nz) {
        put(rows.wz, p, index(ix, iz + 1), (mesh.dz[iz] + mesh.dz[iz + 1]) / 2, mesh.dx[ix]);
      } else {
        put(rows.wz, index(ix, iz - 1), p, (mesh.dz[iz - 1] + mesh.dz[iz]) / 2, mesh.dx[ix]);
      }
    }
  }
  return rows;
}

// Every term from its meaning: the smallness diagonal from the cell areas, the x term as the sum
// over parameters h of Bx(h) times the outer product of row h of Wx, the z term likewise, the cross
// term as Bxz(h) times the symmetrised outer product of the Wx and Wz rows; the rotated weights
// from the zones' coefficients and dips.
TEST(ModelObjectiveBuild, EveryTermHasItsMeaning) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 150; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const ObjectiveSetup setup = testing::random_setup(random, 6);
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), true, {.keep_factors = true}, objective);
    const auto n = static_cast<std::size_t>(setup.npar);
    const DifferenceRows rows = difference_rows(setup);

    Dense smallness(n, std::vector<double>(n, 0.0));
    Dense x_term = smallness, z_term = smallness, cross = smallness;
    std::size_t h = 0;
    for (std::size_t cell = 0; cell < setup.cell_idx.size(); ++cell) {
      if (setup.cell_idx[cell] == 0) continue;
      const std::size_t zone = static_cast<std::size_t>(setup.zone_idx[cell] - 1);
      const std::size_t ix = cell % static_cast<std::size_t>(setup.mesh.nx);
      const std::size_t iz = cell / static_cast<std::size_t>(setup.mesh.nx);
      smallness[h][h] =
          setup.mesh.dx[ix] * setup.mesh.dz[iz] * setup.s_weights[cell] * setup.alpha_s[zone];
      const double a = setup.x_weights[cell] * setup.alpha_x[zone];
      const double b = setup.z_weights[cell] * setup.alpha_z[zone];
      const double t = setup.dip[zone];
      // The rotated gradient's form: a along (cos t, sin t), b across it.
      const double bx = a * std::cos(t) * std::cos(t) + b * std::sin(t) * std::sin(t);
      const double bz = a * std::sin(t) * std::sin(t) + b * std::cos(t) * std::cos(t);
      const double bxz = (a - b) * std::sin(2 * t) / 2;
      EXPECT_NEAR(objective.Bx[h], bx, 1e-12 * (a + b));
      EXPECT_NEAR(objective.Bz[h], bz, 1e-12 * (a + b));
      EXPECT_NEAR(objective.Bxz[h], bxz, 1e-12 * (a + b));
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          x_term[i][j] += bx * rows.wx[h][i] * rows.wx[h][j];
          z_term[i][j] += bz * rows.wz[h][i] * rows.wz[h][j];
          cross[i][j] += bxz * (rows.wx[h][i] * rows.wz[h][j] + rows.wz[h][i] * rows.wx[h][j]);
        }
      }
      ++h;
    }
    std::vector<Dense> expected = {smallness, x_term, z_term};
    if (objective.n_terms == 4) expected.push_back(cross);
    ASSERT_EQ(static_cast<std::size_t>(objective.n_terms), expected.size());
    Dense total(n, std::vector<double>(n, 0.0));
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const Dense actual = to_dense(objective.wtw_terms[k], n);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          EXPECT_NEAR(actual[i][j], expected[k][i][j], 1e-9 * (1 + std::fabs(expected[k][i][j])))
              << "term " << k + 1 << " at " << i << "," << j;
          total[i][j] += expected[k][i][j];
        }
      }
    }
    const Dense wtw = to_dense(objective.WTW, n);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j)
        EXPECT_NEAR(wtw[i][j], total[i][j], 1e-9 * (1 + std::fabs(total[i][j])));
  }
}

// The kept factors rebuild the x and z terms exactly through the sparse products.
TEST(ModelObjectiveBuild, KeptFactorsGiveTheTerms) {
  std::mt19937 random(11);
  for (int trial = 0; trial < 50; ++trial) {
    const ObjectiveSetup setup = testing::random_setup(random);
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), false, {.keep_factors = true},
                          objective);
    ASSERT_EQ(objective.Bx.size(), static_cast<std::size_t>(setup.npar));
    CsrMatrix wx = objective.Wx;
    CsrMatrix x_term;
    csr_weighted_gram(wx, objective.Bx, setup.npar, x_term);
    x_term.values.resize(static_cast<std::size_t>(x_term.row_start.back()));
    x_term.columns.resize(x_term.values.size());
    expect_same_matrix(objective.wtw_terms[1], x_term, "x term");
    CsrMatrix wz = objective.Wz;
    CsrMatrix z_term;
    csr_weighted_gram(wz, objective.Bz, setup.npar, z_term);
    z_term.values.resize(static_cast<std::size_t>(z_term.row_start.back()));
    z_term.columns.resize(z_term.values.size());
    expect_same_matrix(objective.wtw_terms[2], z_term, "z term");
  }
}

// With the reference model in the derivatives, wtw_times_model is the gradient of half the sum of
// the term norms; without it too, since the derivative terms then act on m alone.
TEST(ModelObjectiveEvaluation, ProductIsTheGradientOfHalfTheNorms) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (int trial = 0; trial < 40; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const ObjectiveSetup setup = testing::random_setup(random, 5);
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), trial % 2 == 0, {}, objective);
    const auto n = static_cast<std::size_t>(setup.npar);
    std::vector<double> m(n), m_ref(n), g(n);
    for (std::size_t i = 0; i < n; ++i) {
      m[i] = value(random);
      m_ref[i] = value(random);
    }
    wtw_times_model(objective, m, m_ref, g);
    const auto half_norms = [&](const std::vector<double>& model) {
      std::vector<double> phi(4);
      term_norms(objective, model, m_ref, phi);
      return 0.5 * (phi[0] + phi[1] + phi[2] + phi[3]);
    };
    double scale = 0;
    for (const double element : g) scale = std::max(scale, std::fabs(element));
    for (std::size_t i = 0; i < n; ++i) {
      const double step = 1e-4;
      std::vector<double> up = m, down = m;
      up[i] += step;
      down[i] -= step;
      const double slope = (half_norms(up) - half_norms(down)) / (2 * step);
      EXPECT_NEAR(g[i], slope, 1e-6 * (1 + scale)) << "parameter " << i + 1;
    }
  }
}

TEST(ModelObjectiveEvaluation, NormsOfAModelEqualToItsReference) {
  const ObjectiveSetup setup = worked_example();
  Transcript transcript;
  ModelObjective objective;
  build_objective_terms(transcript.io(), setup.inputs(), false, {}, objective);
  const std::vector<double> m{1, 2, 3, 4};
  std::vector<double> phi(5, 9.0);
  term_norms(objective, m, m, phi);
  EXPECT_EQ(phi[0], 0.0);
  EXPECT_NEAR(phi[1], 4.0 / 3, 1e-14);
  EXPECT_NEAR(phi[2], 48.0, 1e-12);
  EXPECT_EQ(phi[3], 0.0);
  EXPECT_EQ(phi[4], 0.0);
  std::vector<double> g(4);
  wtw_times_model(objective, m, m, g);
  std::vector<double> expected(4);
  csr_multiply(objective.wtw_terms[1], m, expected);
  std::vector<double> z_part(4);
  csr_multiply(objective.wtw_terms[2], m, z_part);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(g[i], 0.0 + expected[i] + z_part[i]);
  std::vector<double> short_g(3);
  EXPECT_THROW(wtw_times_model(objective, m, m, short_g), std::invalid_argument);
  std::vector<double> short_phi(2);
  EXPECT_THROW(term_norms(objective, m, m, short_phi), std::invalid_argument);
}

// A dip over the whole of a mesh of 5 by 5 cells or more gives interior rows of C + C^T with 7
// columns, more than the 6 npar the sum was once given: the build must succeed.
TEST(ModelObjectiveBuild, DipOverTheWholeMeshFitsTheSymmetricSum) {
  for (const std::int32_t side : {5, 6, 9}) {
    const ObjectiveSetup setup =
        testing::uniform_setup(std::vector<double>(side, 10.0), std::vector<double>(side, 5.0),
                               1e-3, 1.0, 0.3, 30 * std::numbers::pi / 180);
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), true, {}, objective);
    ASSERT_EQ(objective.n_terms, 4);
    EXPECT_GT(objective.wtw_terms[3].row_start.back(), 6 * setup.npar);
    const literal::Objective expected = literal::build(setup.inputs());
    expect_same_matrix(objective.wtw_terms[3], expected.terms[3], "cross term");
    expect_same_matrix(objective.WTW, expected.WTW, "WTW");
    EXPECT_EQ(transcript.error(), "");
    std::int32_t widest = 0;
    for (std::int32_t i = 0; i < setup.npar; ++i)
      widest = std::max(widest, objective.WTW.row_start[i + 1] - objective.WTW.row_start[i]);
    // The cell, its four neighbours and two diagonal ones inside; one more where a backward row
    // repeats a pair. At most the nine of a full neighbourhood.
    EXPECT_GE(widest, 7);
    EXPECT_LE(widest, 9);
  }
}

// One column or one row of cells: a missing neighbour gives the one-entry zero row, so the term of
// that direction is all zero, and nothing stops.
TEST(ModelObjectiveBuild, SingleColumnAndSingleRowMeshes) {
  struct Case {
    std::vector<double> dx;
    std::vector<double> dz;
    std::size_t zero_term;  // 1: x term, 2: z term
  };
  for (const Case& c : {Case{{10}, {5, 6, 7}, 1}, Case{{10, 20, 30}, {5}, 2}, Case{{10}, {5}, 1},
                        Case{{10}, {5}, 2}}) {
    const ObjectiveSetup setup =
        testing::uniform_setup(c.dx, c.dz, 0.01, 1.0, 2.0, 20 * std::numbers::pi / 180);
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), true, {.keep_factors = true}, objective);
    EXPECT_EQ(transcript.error(), "");
    const CsrMatrix& factor = c.zero_term == 1 ? objective.Wx : objective.Wz;
    for (std::int32_t i = 0; i < setup.npar; ++i) {
      ASSERT_EQ(factor.row_start[i + 1] - factor.row_start[i], 1);
      EXPECT_EQ(factor.columns[factor.row_start[i]], 0);
      EXPECT_EQ(factor.values[factor.row_start[i]], 0.0);
    }
    for (const double value : objective.wtw_terms[c.zero_term].values) EXPECT_EQ(value, 0.0);
    const literal::Objective expected = literal::build(setup.inputs());
    for (std::int32_t k = 0; k < expected.n_terms; ++k)
      expect_same_matrix(objective.wtw_terms[k], expected.terms[k], "term " + std::to_string(k));
    expect_same_matrix(objective.WTW, expected.WTW, "WTW");
  }
}

// The operators' special rows: a lone cell in its row, the last cell of a run, and a cell above
// an inactive one.
TEST(ModelObjectiveBuild, OperatorRowsAtGapsAndEdges) {
  // 3 by 2 cells: row 1 = (1, 0, 2), row 2 = (3, 4, 5).
  ObjectiveSetup setup = testing::uniform_setup({1, 2, 3}, {4, 6}, 0.01, 1, 1);
  setup.cell_idx = {1, 0, 1, 1, 1, 1};
  setup.npar = testing::number_cells(setup.cell_idx);
  Transcript transcript;
  ModelObjective objective;
  build_objective_terms(transcript.io(), setup.inputs(), true, {.keep_factors = true}, objective);
  const CsrMatrix& wx = objective.Wx;
  EXPECT_EQ(wx.row_start, (std::vector<std::int32_t>{0, 1, 2, 4, 6, 8}));
  EXPECT_EQ(wx.columns, (std::vector<std::int32_t>{0, 0, 2, 3, 3, 4, 3, 4}));
  EXPECT_EQ(wx.values[0], 0.0);
  EXPECT_EQ(wx.values[1], 0.0);
  EXPECT_EQ(wx.values[6], -wx.values[7]);
  EXPECT_EQ(wx.values[4], wx.values[6]);  // the last cell repeats the pair before it
  const CsrMatrix& wz = objective.Wz;
  // Cell 2 lies above cell 5; cell (2, 1) is inactive, so parameter 4's bottom row names -1.
  EXPECT_EQ(wz.columns, (std::vector<std::int32_t>{0, 2, 1, 4, 0, 2, -1, 3, 1, 4}));
  // The partner column -1 is dropped: parameter 4's own row adds v^2 Bz to its diagonal only.
  const Dense z_term = to_dense(objective.wtw_terms[2], 5);
  const double v = wz.values[7];
  EXPECT_NEAR(z_term[3][3], v * v * objective.Bz[3], 1e-12);
  for (std::size_t j = 0; j < 5; ++j)
    if (j != 3) {
      EXPECT_EQ(z_term[3][j], 0.0);
    }
}

TEST(ModelObjectiveBuild, ASecondBuildReplacesTheFirst) {
  Transcript transcript;
  ModelObjective objective;
  const ObjectiveSetup dipping = testing::uniform_setup({1, 2, 3}, {1, 2, 3}, 0.01, 1, 0.5, 0.4);
  build_objective_terms(transcript.io(), dipping.inputs(), true, {.keep_factors = true}, objective);
  ASSERT_EQ(objective.n_terms, 4);
  const ObjectiveSetup example = worked_example();
  build_objective_terms(transcript.io(), example.inputs(), false, {}, objective);
  ModelObjective fresh;
  build_objective_terms(transcript.io(), example.inputs(), false, {}, fresh);
  EXPECT_EQ(objective.n_terms, 3);
  EXPECT_FALSE(objective.ref_in_derivatives);
  ASSERT_EQ(objective.wtw_terms.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k)
    expect_same_matrix(objective.wtw_terms[k], fresh.wtw_terms[k], "term");
  expect_same_matrix(objective.WTW, fresh.WTW, "WTW");
  EXPECT_TRUE(objective.Wx.row_start.empty());
  EXPECT_TRUE(objective.Bxz.empty());
}

// Each consistency stop writes its text alone on the error stream and leaves the objective empty.
TEST(ModelObjectiveBuild, ConsistencyStops) {
  struct Case {
    const char* name;
    std::vector<std::int32_t> cell_idx;
    std::int32_t npar;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"influence cell", {1, 2, -1, 3}, 3, "icount > size(WTWs)"},
      {"npar too small", {1, 2, 3, 4}, 3, "icount > size(WTWs)"},
      {"npar too large", {1, 2, 0, 3}, 4, "irow /= npar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ObjectiveSetup setup = worked_example();
    setup.cell_idx = c.cell_idx;
    setup.npar = c.npar;
    Transcript transcript;
    ModelObjective objective;
    try {
      build_objective_terms(transcript.io(), setup.inputs(), true, {}, objective);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
    }
    EXPECT_EQ(transcript.error(), std::string(c.text) + "\n");
    EXPECT_EQ(transcript.console(), "");
    EXPECT_EQ(transcript.log(), "");
    EXPECT_EQ(objective.n_terms, 0);
    EXPECT_TRUE(objective.wtw_terms.empty());
  }
}

TEST(ModelObjectiveAssembly, StopsWhenARowOrTheSumOverflows) {
  {
    // Term 2 gives row 0 eleven distinct columns besides the diagonal's.
    ModelObjective objective;
    objective.n_terms = 2;
    CsrMatrix diagonal{std::vector<double>(12, 1.0), {}, {}};
    for (std::int32_t i = 0; i < 12; ++i) diagonal.columns.push_back(i);
    for (std::int32_t i = 0; i <= 12; ++i) diagonal.row_start.push_back(i);
    CsrMatrix wide;
    for (std::int32_t j = 1; j < 12; ++j) {
      wide.columns.push_back(j);
      wide.values.push_back(1.0);
    }
    wide.row_start.assign(13, 11);
    wide.row_start[0] = 0;
    objective.wtw_terms = {diagonal, wide};
    Transcript transcript;
    EXPECT_THROW(assemble_wtw(transcript.io(), objective), Stop);
    EXPECT_EQ(transcript.error(), "icnt > size(row)\n");
  }
  {
    // A smallness term that declares no entries leaves no room for the diagonal slots.
    ModelObjective objective;
    objective.n_terms = 1;
    objective.wtw_terms = {CsrMatrix{{5.0}, {0}, {0, 0}}};
    Transcript transcript;
    EXPECT_THROW(assemble_wtw(transcript.io(), objective), Stop);
    EXPECT_EQ(transcript.error(), "ipt > size(WTW)\n");
  }
}

// Row 12 with S = 2 and D = 1.5, a row without a diagonal entry, one with a zero diagonal (both
// lines), and a dominant row (none).
TEST(ModelObjectiveAssembly, DiagonalWarningsInTheirLayout) {
  ModelObjective objective;
  CsrMatrix& WTW = objective.WTW;
  WTW.row_start.push_back(0);
  for (std::int32_t i = 0; i < 13; ++i) {
    if (i == 11) {
      WTW.columns.insert(WTW.columns.end(), {3, 11, 12});
      WTW.values.insert(WTW.values.end(), {-1.5, 1.5, 0.5});
    } else if (i == 2) {
      WTW.columns.insert(WTW.columns.end(), {1, 3});
      WTW.values.insert(WTW.values.end(), {0.25, -0.25});
    } else if (i == 5) {
      WTW.columns.insert(WTW.columns.end(), {5, 6});
      WTW.values.insert(WTW.values.end(), {-0.0, 1e-300});
    } else {
      WTW.columns.push_back(i);
      WTW.values.push_back(i % 2 == 0 ? 1.0 : -3.0);
    }
    WTW.row_start.push_back(static_cast<std::int32_t>(WTW.values.size()));
  }
  Transcript transcript;
  check_wtw_diagonal(transcript.io(), objective);
  EXPECT_EQ(transcript.log(),
            "  warning: no diagonal element in row : 3\n"
            " Warning: not diag-dominant: i,sum_j{aij},aii    3  5.00000E-01  0.00000E+00\n"
            "  warning: no diagonal element in row : 6\n"
            " Warning: not diag-dominant: i,sum_j{aij},aii    6  1.00000-300  0.00000E+00\n"
            " Warning: not diag-dominant: i,sum_j{aij},aii   12  2.00000E+00  1.50000E+00\n");
  EXPECT_EQ(transcript.console(), "");
}

TEST(ModelObjectiveAssembly, RowNumbersTooWideForTheirFieldPrintAsAsterisks) {
  ModelObjective objective;
  const std::int32_t n = 100001;
  objective.WTW.row_start.resize(n + 1);
  objective.WTW.values.assign(n, 1.0);
  for (std::int32_t i = 0; i < n; ++i) {
    objective.WTW.columns.push_back(i);
    objective.WTW.row_start[i + 1] = i + 1;
  }
  objective.WTW.values[99998] = 0.0;   // row 99999
  objective.WTW.values[100000] = 0.0;  // row 100001
  Transcript transcript;
  check_wtw_diagonal(transcript.io(), objective);
  EXPECT_EQ(transcript.log(),
            "  warning: no diagonal element in row : 99999\n"
            " Warning: not diag-dominant: i,sum_j{aij},aii99999  0.00000E+00  0.00000E+00\n"
            "  warning: no diagonal element in row : 100001\n"
            " Warning: not diag-dominant: i,sum_j{aij},aii*****  0.00000E+00  0.00000E+00\n");
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// Reweighting the derivative terms row by row: weights of one give the objective back bit for bit;
// other weights give the quadratic form sum_p r_p (Bx (Wx u)^2 + Bz (Wz u)^2 + 2 Bxz (Wx u)(Wz u))
// plus the smallness term's, computed here from the kept factors.
TEST(ModelObjectiveReweighting, OnesGiveTheObjectiveAndWeightsScaleEachRowsShare) {
  std::mt19937 random(21);
  std::uniform_real_distribution<double> uniform(0.1, 2.0);
  for (int trial = 0; trial < 40; ++trial) {
    const ObjectiveSetup setup = testing::random_setup(random);
    if (setup.npar < 1) continue;
    Transcript transcript;
    ModelObjective objective;
    build_objective_terms(transcript.io(), setup.inputs(), false, {.keep_factors = true},
                          objective);
    const auto n = static_cast<std::size_t>(setup.npar);
    ModelObjective same;
    reweight_derivative_terms(transcript.io(), objective, std::vector<double>(n, 1.0), same);
    expect_same_matrix(same.WTW, objective.WTW, "WTW");
    ASSERT_EQ(same.n_terms, objective.n_terms);

    std::vector<double> weights(n), u(n), gx(n), gz(n), product(n);
    for (double& value : weights) value = uniform(random);
    for (double& value : u) value = uniform(random) - 1;
    ModelObjective reweighted;
    reweight_derivative_terms(transcript.io(), objective, weights, reweighted);
    csr_multiply(objective.Wx, u, gx);
    csr_multiply(objective.Wz, u, gz);
    double expected = 0, scale = 0;
    for (std::size_t p = 0; p < n; ++p) {
      expected += objective.wtw_terms[0].values[p] * u[p] * u[p];
      const double share = objective.Bx[p] * gx[p] * gx[p] + objective.Bz[p] * gz[p] * gz[p] +
                           2 * objective.Bxz[p] * gx[p] * gz[p];
      expected += weights[p] * share;
      scale += std::abs(objective.wtw_terms[0].values[p] * u[p] * u[p]) +
               weights[p] * (std::abs(objective.Bx[p]) * gx[p] * gx[p] +
                             std::abs(objective.Bz[p]) * gz[p] * gz[p] +
                             2 * std::abs(objective.Bxz[p] * gx[p] * gz[p]));
    }
    csr_multiply(reweighted.WTW, u, product);
    double form = 0;
    for (std::size_t p = 0; p < n; ++p) form += u[p] * product[p];
    EXPECT_NEAR(form, expected, 1e-12 * scale + 1e-300) << trial;
  }
}

}  // namespace
}  // namespace quelby
