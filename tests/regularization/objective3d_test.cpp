#include "quelby/regularization/objective3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quelby/inversion/blocky.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "tests/cells/cells_fixtures.hpp"

namespace quelby {
namespace {

using testing::mesh_with_widths;
using testing::Outcome;
using testing::run;

using Dense = std::vector<std::vector<double>>;

Mesh3D mesh_of_widths(const std::vector<double>& dx, const std::vector<double>& dy,
                      const std::vector<double>& dz) {
  Mesh3D mesh;
  mesh.nx = static_cast<std::int32_t>(dx.size());
  mesh.ny = static_cast<std::int32_t>(dy.size());
  mesh.nz = static_cast<std::int32_t>(dz.size());
  mesh.dx = dx;
  mesh.dy = dy;
  mesh.dz = dz;
  for (auto [widths, nodes, centres] : {std::tuple{&dx, &mesh.x_nodes, &mesh.x_centres},
                                        std::tuple{&dy, &mesh.y_nodes, &mesh.y_centres},
                                        std::tuple{&dz, &mesh.z_nodes, &mesh.z_centres}}) {
    nodes->assign(1, 0.0);
    for (const double width : *widths) {
      centres->push_back(nodes->back() + width / 2);
      nodes->push_back(nodes->back() + width);
    }
  }
  return mesh;
}

// A random mesh, map (parameters numbered in cell order, influence cells -1, -2, ...), weights and
// coefficients.
struct Drawn3D {
  Mesh3D mesh;
  std::vector<std::int32_t> cell_idx;
  std::int32_t npar = 0;
  CellWeights3D weights;
  AlphaCoefficients3D alpha;

  ParameterCells3D cells() const { return {mesh, cell_idx, npar}; }
};

std::vector<double> draw(std::mt19937& random, std::size_t n, double low, double high) {
  std::uniform_real_distribution<double> value(low, high);
  std::vector<double> values(n);
  for (double& v : values) v = value(random);
  return values;
}

// Flags: 1 parameter, 0 inactive, -1 influence, drawn with the given shares (at least one
// parameter).
Drawn3D random_setup(std::mt19937& random, std::int32_t max_cells, double inactive_share,
                     double influence_share, bool with_weights) {
  std::uniform_int_distribution<std::int32_t> count(1, max_cells);
  Drawn3D setup;
  const auto nx = static_cast<std::size_t>(count(random));
  const auto ny = static_cast<std::size_t>(count(random));
  const auto nz = static_cast<std::size_t>(count(random));
  setup.mesh = mesh_of_widths(draw(random, nx, 0.5, 10), draw(random, ny, 0.5, 10),
                              draw(random, nz, 0.5, 10));
  const std::size_t n_cells = nx * ny * nz;
  std::uniform_real_distribution<double> share(0, 1);
  setup.cell_idx.assign(n_cells, 0);
  std::int32_t influence = 0;
  for (std::size_t cell = 0; cell < n_cells; ++cell) {
    const double u = share(random);
    if (u < inactive_share) continue;
    setup.cell_idx[cell] = u < inactive_share + influence_share ? -(++influence) : ++setup.npar;
  }
  if (setup.npar == 0) {
    for (std::int32_t& index : setup.cell_idx) index = index > 0 ? index : 0;
    setup.cell_idx[n_cells / 2] = 1;
    setup.npar = 1;
    std::int32_t renumber = 0;
    for (std::int32_t& index : setup.cell_idx) index = index < 0 ? -(++renumber) : index;
  }
  if (with_weights) {
    setup.weights = {draw(random, n_cells, 0.1, 3), draw(random, n_cells, 0.1, 3),
                     draw(random, n_cells, 0.1, 3), draw(random, n_cells, 0.1, 3)};
  }
  const std::vector<double> alphas = draw(random, 4, 0.01, 2);
  setup.alpha = {alphas[0], alphas[1], alphas[2], alphas[3]};
  return setup;
}

Dense densify(const CsrMatrix& a, std::size_t n) {
  Dense dense(n, std::vector<double>(n, 0.0));
  for (std::size_t r = 0; r < n; ++r)
    for (std::int32_t k = a.row_start[r]; k < a.row_start[r + 1]; ++k)
      dense[r][static_cast<std::size_t>(a.columns[static_cast<std::size_t>(k)])] +=
          a.values[static_cast<std::size_t>(k)];
  return dense;
}

// The literal objective: per axis a dense difference matrix D, one row per parameter, written
// from the definitions cell by cell; the terms diag(smallness) and D^T diag(B) D, and their sum.
struct LiteralObjective {
  std::vector<Dense> terms;
  Dense WTW;
};

LiteralObjective literal_objective(const Drawn3D& setup) {
  const Mesh3D& m = setup.mesh;
  const auto n = static_cast<std::size_t>(setup.npar);
  const auto weight = [](const std::vector<double>& w, std::size_t cell) {
    return w.empty() ? 1.0 : w[cell];
  };
  const auto index = [&](std::int32_t i, std::int32_t j, std::int32_t k) {
    if (i < 0 || j < 0 || k < 0 || i >= m.nx || j >= m.ny || k >= m.nz) return 0;
    return setup.cell_idx[static_cast<std::size_t>((k * m.ny + j) * m.nx + i)];
  };
  LiteralObjective literal;
  literal.terms.assign(4, Dense(n, std::vector<double>(n, 0.0)));
  const int offsets[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int axis = 0; axis < 3; ++axis) {
    Dense D(n, std::vector<double>(n, 0.0));
    std::vector<double> B(n, 0.0);
    for (std::int32_t k = 0; k < m.nz; ++k)
      for (std::int32_t j = 0; j < m.ny; ++j)
        for (std::int32_t i = 0; i < m.nx; ++i) {
          const std::int32_t own = index(i, j, k);
          if (own <= 0) continue;
          const auto row = static_cast<std::size_t>(own - 1);
          const auto cell = static_cast<std::size_t>((k * m.ny + j) * m.nx + i);
          const int di = offsets[axis][0], dj = offsets[axis][1], dk = offsets[axis][2];
          const std::int32_t position = axis == 0 ? i : axis == 1 ? j : k;
          const std::int32_t count = axis == 0 ? m.nx : axis == 1 ? m.ny : m.nz;
          const std::vector<double>& widths = axis == 0 ? m.dx : axis == 1 ? m.dy : m.dz;
          // The face between the cell and its partner, and the distance of their centres.
          const double face = axis == 0   ? m.dy[j] * m.dz[k]
                              : axis == 1 ? m.dx[i] * m.dz[k]
                                          : m.dx[i] * m.dy[j];
          const double w = axis == 0   ? weight(setup.weights.x_weights, cell)
                           : axis == 1 ? weight(setup.weights.y_weights, cell)
                                       : weight(setup.weights.z_weights, cell);
          B[row] = w * (axis == 0   ? setup.alpha.alpha_x
                        : axis == 1 ? setup.alpha.alpha_y
                                    : setup.alpha.alpha_z);
          std::int32_t step = 0;
          const std::int32_t ahead = index(i + di, j + dj, k + dk);
          const std::int32_t behind = index(i - di, j - dj, k - dk);
          if (axis == 2) {  // along z the partner is the cell below (above in the bottom layer)
            step = count == 1 ? 0 : position + 1 < count ? 1 : -1;
          } else {  // along x and y a partner that is not inactive, ahead first
            step = ahead != 0 ? 1 : behind != 0 ? -1 : 0;
          }
          if (step == 0) continue;
          const std::int32_t partner = step > 0 ? ahead : behind;
          const double distance = (widths[static_cast<std::size_t>(position)] +
                                   widths[static_cast<std::size_t>(position + step)]) /
                                  2;
          const double v = std::sqrt(face * distance) / distance;
          // (ahead - own) or (own - behind): the cell's sign is -v ahead, +v behind.
          D[row][row] += step > 0 ? -v : v;
          if (partner > 0) D[row][static_cast<std::size_t>(partner - 1)] += step > 0 ? v : -v;
        }
    Dense& term = literal.terms[static_cast<std::size_t>(axis + 1)];
    for (std::size_t a = 0; a < n; ++a)
      for (std::size_t b = 0; b < n; ++b)
        for (std::size_t r = 0; r < n; ++r) term[a][b] += D[r][a] * B[r] * D[r][b];
  }
  for (std::int32_t k = 0; k < m.nz; ++k)
    for (std::int32_t j = 0; j < m.ny; ++j)
      for (std::int32_t i = 0; i < m.nx; ++i) {
        const std::int32_t own = index(i, j, k);
        if (own <= 0) continue;
        const auto cell = static_cast<std::size_t>((k * m.ny + j) * m.nx + i);
        const auto row = static_cast<std::size_t>(own - 1);
        literal.terms[0][row][row] = m.dx[i] * m.dy[j] * m.dz[k] *
                                     weight(setup.weights.s_weights, cell) * setup.alpha.alpha_s;
      }
  literal.WTW.assign(n, std::vector<double>(n, 0.0));
  for (const Dense& term : literal.terms)
    for (std::size_t a = 0; a < n; ++a)
      for (std::size_t b = 0; b < n; ++b) literal.WTW[a][b] += term[a][b];
  return literal;
}

double largest_magnitude(const Dense& a) {
  double largest = 0;
  for (const auto& row : a)
    for (const double v : row) largest = std::max(largest, std::fabs(v));
  return largest;
}

void expect_near_dense(const Dense& actual, const Dense& expected, const std::string& what) {
  const double tolerance = 1e-12 * std::max(largest_magnitude(expected), 1e-300);
  for (std::size_t a = 0; a < expected.size(); ++a)
    for (std::size_t b = 0; b < expected.size(); ++b)
      ASSERT_NEAR(actual[a][b], expected[a][b], tolerance) << what << " at " << a << ", " << b;
}

ModelObjective3D build(const Drawn3D& setup, bool keep_factors = false, bool ref = false) {
  Outcome outcome;
  ModelObjective3D objective;
  run(outcome, [&](const Io& io) {
    build_model_objective3d(io, setup.cells(), setup.alpha, setup.weights, ref, objective,
                            {.keep_factors = keep_factors});
  });
  EXPECT_FALSE(outcome.stopped) << outcome.error();
  return objective;
}

TEST(ModelObjective3D, MatchesTheLiteralSumOfItsTermsOnRandomMeshes) {
  // Rows: the largest axis count, the shares of inactive and influence cells, weights or ones.
  struct Case {
    std::int32_t max_cells;
    double inactive;
    double influence;
    bool weights;
    int draws;
  };
  const Case cases[] = {{1, 0.0, 0.0, false, 5},   {3, 0.0, 0.0, true, 60},
                        {4, 0.3, 0.0, true, 60},   {4, 0.2, 0.2, true, 80},
                        {5, 0.5, 0.25, false, 40}, {2, 0.6, 0.3, true, 40}};
  std::mt19937 random(20261210);
  for (const Case& c : cases) {
    for (int draw_number = 0; draw_number < c.draws; ++draw_number) {
      const Drawn3D setup = random_setup(random, c.max_cells, c.inactive, c.influence, c.weights);
      const ModelObjective3D objective = build(setup);
      const auto n = static_cast<std::size_t>(setup.npar);
      const LiteralObjective literal = literal_objective(setup);
      ASSERT_EQ(objective.n_terms, 4);
      for (std::size_t t = 0; t < 4; ++t)
        expect_near_dense(densify(objective.wtw_terms[t], n), literal.terms[t],
                          "term " + std::to_string(t + 1));
      expect_near_dense(densify(objective.WTW, n), literal.WTW, "WTW");
      // WTW rows: ascending columns within 0..npar-1, at most 7 entries.
      for (std::size_t r = 0; r < n; ++r) {
        const std::int32_t first = objective.WTW.row_start[r];
        const std::int32_t last = objective.WTW.row_start[r + 1];
        ASSERT_LE(last - first, 7);
        for (std::int32_t k = first; k < last; ++k) {
          const std::int32_t column = objective.WTW.columns[static_cast<std::size_t>(k)];
          ASSERT_TRUE(column >= 0 && static_cast<std::size_t>(column) < n);
          if (k > first) {
            ASSERT_LT(objective.WTW.columns[static_cast<std::size_t>(k - 1)], column);
          }
        }
      }
    }
  }
}

TEST(ModelObjective3D, WtwIsSymmetricPositiveDefinite) {
  std::mt19937 random(7);
  for (int draw_number = 0; draw_number < 60; ++draw_number) {
    const Drawn3D setup = random_setup(random, 4, 0.25, 0.15, draw_number % 2 == 0);
    const auto n = static_cast<std::size_t>(setup.npar);
    Dense a = densify(build(setup).WTW, n);
    const double scale = largest_magnitude(a);
    for (std::size_t r = 0; r < n; ++r)
      for (std::size_t c = 0; c < r; ++c) ASSERT_NEAR(a[r][c], a[c][r], 1e-13 * scale);
    // Dense Cholesky: every pivot positive.
    for (std::size_t c = 0; c < n; ++c) {
      for (std::size_t k = 0; k < c; ++k) a[c][c] -= a[c][k] * a[c][k];
      ASSERT_GT(a[c][c], 0.0) << "pivot " << c << " of draw " << draw_number;
      a[c][c] = std::sqrt(a[c][c]);
      for (std::size_t r = c + 1; r < n; ++r) {
        for (std::size_t k = 0; k < c; ++k) a[r][c] -= a[r][k] * a[c][k];
        a[r][c] /= a[c][c];
      }
    }
  }
}

TEST(ModelObjective3D, OneRowAlongYOfUnitWidthIsTheSectionsObjective) {
  // ny = 1 and dy = 1 m: the smallness, x and z terms and WTW are the 2-D objective's (one zone,
  // no dip) bit for bit, and the y term is zero. The 2-D build takes no influence cells, so the
  // maps have none.
  std::mt19937 random(11);
  for (int draw_number = 0; draw_number < 80; ++draw_number) {
    std::uniform_int_distribution<std::int32_t> count(1, 6);
    const auto nx = static_cast<std::size_t>(count(random));
    const auto nz = static_cast<std::size_t>(count(random));
    Drawn3D setup;
    setup.mesh = mesh_of_widths(draw(random, nx, 0.5, 10), {1.0}, draw(random, nz, 0.5, 10));
    const Drawn3D drawn = random_setup(random, 1, 0, 0, true);
    setup.alpha = drawn.alpha;
    setup.cell_idx.assign(nx * nz, 0);
    std::bernoulli_distribution active(0.75);
    for (std::int32_t& index : setup.cell_idx) index = active(random) ? ++setup.npar : 0;
    if (setup.npar == 0) setup.cell_idx[0] = setup.npar = 1;
    setup.weights = {draw(random, nx * nz, 0.1, 3), draw(random, nx * nz, 0.1, 3),
                     draw(random, nx * nz, 0.1, 3), draw(random, nx * nz, 0.1, 3)};
    const ModelObjective3D three = build(setup);

    const Mesh section = mesh_with_widths(setup.mesh.dx, setup.mesh.dz);
    const std::vector<std::int32_t> zones(nx * nz, 1);
    const std::vector<double> alpha_s{setup.alpha.alpha_s}, alpha_x{setup.alpha.alpha_x},
        alpha_z{setup.alpha.alpha_z}, dip{0.0};
    const ObjectiveInputs inputs{{section, setup.cell_idx, setup.npar},
                                 setup.weights.s_weights,
                                 setup.weights.x_weights,
                                 setup.weights.z_weights,
                                 zones,
                                 {alpha_s, alpha_x, alpha_z, dip}};
    Outcome outcome;
    ModelObjective two;
    run(outcome, [&](const Io& io) { build_objective_terms(io, inputs, false, {}, two); });
    ASSERT_FALSE(outcome.stopped) << outcome.error();
    ASSERT_EQ(two.n_terms, 3);
    const auto same = [](const CsrMatrix& a, const CsrMatrix& b) {
      return a.row_start == b.row_start && a.columns == b.columns && a.values == b.values;
    };
    EXPECT_TRUE(same(three.wtw_terms[0], two.wtw_terms[0])) << "smallness, draw " << draw_number;
    EXPECT_TRUE(same(three.wtw_terms[1], two.wtw_terms[1])) << "x term, draw " << draw_number;
    EXPECT_TRUE(same(three.wtw_terms[3], two.wtw_terms[2])) << "z term, draw " << draw_number;
    EXPECT_TRUE(same(three.WTW, two.WTW)) << "WTW, draw " << draw_number;
    for (const double value : three.wtw_terms[2].values) EXPECT_EQ(value, 0.0);
  }
}

TEST(ModelObjective3D, ConstantModelsHaveNoDerivativeNorm) {
  // Every cell a parameter: the derivative terms of a constant model (of a constant m - m_ref
  // with the reference in the derivatives) vanish, the smallness does not.
  std::mt19937 random(3);
  for (const bool ref : {false, true}) {
    for (int draw_number = 0; draw_number < 30; ++draw_number) {
      const Drawn3D setup = random_setup(random, 4, 0, 0, true);
      const ModelObjective3D objective = build(setup, false, ref);
      const auto n = static_cast<std::size_t>(setup.npar);
      const std::vector<double> reference = draw(random, n, -2, 2);
      std::vector<double> m(n, 2.5);
      if (ref)
        for (std::size_t p = 0; p < n; ++p) m[p] = reference[p] + 2.5;
      std::vector<double> phi(4);
      term_norms3d(objective, m, ref ? reference : std::vector<double>(n, 0.0), phi);
      const double scale = 6.25 * largest_magnitude(densify(objective.WTW, n)) * double(n);
      EXPECT_GT(phi[0], 0.0);
      for (std::size_t t = 1; t < 4; ++t) EXPECT_NEAR(phi[t], 0.0, 1e-12 * scale) << t;
      EXPECT_EQ(model_norm3d(objective, m, ref ? reference : std::vector<double>(n, 0.0)),
                ((phi[0] + phi[1]) + phi[2]) + phi[3]);
    }
  }
}

TEST(ModelObjective3D, TheSolversObjectiveEvaluatesAndReweightsAsTheLiteralOne) {
  std::mt19937 random(5);
  for (int draw_number = 0; draw_number < 40; ++draw_number) {
    const Drawn3D setup = random_setup(random, 4, 0.2, 0.1, true);
    const auto n = static_cast<std::size_t>(setup.npar);
    const bool ref = draw_number % 2 == 1;
    const ModelObjective3D built = build(setup, true, ref);
    const std::vector<double> m = draw(random, n, -1, 1);
    const std::vector<double> m_ref = draw(random, n, -1, 1);
    std::vector<double> phi3(4), phi(4);
    term_norms3d(built, m, m_ref, phi3);
    const ModelObjective objective = as_model_objective(built);
    EXPECT_TRUE(objective.three_dimensional);
    term_norms(objective, m, m_ref, phi);
    EXPECT_EQ(phi, phi3);

    Outcome outcome;
    // Weights of 1 give back the built terms bit for bit; others the literal terms with B times
    // the weights.
    ModelObjective same;
    run(outcome, [&](const Io& io) {
      reweight_derivative_terms(io, objective, std::vector<double>(n, 1.0), same);
    });
    ASSERT_FALSE(outcome.stopped) << outcome.error();
    EXPECT_EQ(same.WTW.values, objective.WTW.values);
    EXPECT_EQ(same.WTW.columns, objective.WTW.columns);
    EXPECT_TRUE(same.three_dimensional);

    const std::vector<double> row_weights = draw(random, n, 0.1, 2);
    ModelObjective reweighted;
    run(outcome,
        [&](const Io& io) { reweight_derivative_terms(io, objective, row_weights, reweighted); });
    ASSERT_FALSE(outcome.stopped) << outcome.error();
    // The literal objective with the cell weights of parameter p multiplied by its row weight.
    Drawn3D weighted = setup;
    for (std::size_t cell = 0; cell < setup.cell_idx.size(); ++cell) {
      const std::int32_t index = setup.cell_idx[cell];
      if (index <= 0) continue;
      const double w = row_weights[static_cast<std::size_t>(index - 1)];
      weighted.weights.x_weights[cell] *= w;
      weighted.weights.y_weights[cell] *= w;
      weighted.weights.z_weights[cell] *= w;
    }
    expect_near_dense(densify(reweighted.WTW, n), literal_objective(weighted).WTW, "reweighted");

    // The blocky reweighting takes the 3-D objective.
    BlockyObjective blocky(outcome.transcript.io(), objective);
    blocky.reweight(outcome.transcript.io(), m, m_ref);
    ASSERT_EQ(blocky.objective().n_terms, 4);
    EXPECT_EQ(csr_row_count(blocky.objective().WTW), setup.npar);
  }
}

TEST(ModelObjective3D, BlockyWeightsSeeGradientsAlongY) {
  // Every cell a parameter, unit widths: a model that changes along y only, by steps of 0, 1 and
  // 3, has gradients only in the y term, and its cells weigh differently.
  const Mesh3D mesh = mesh_of_widths({1, 1}, {1, 1, 1, 1}, {1, 1});
  Drawn3D setup{mesh, std::vector<std::int32_t>(16), 16, {}, {0.5, 1, 1, 1}};
  for (std::int32_t p = 0; p < 16; ++p) setup.cell_idx[static_cast<std::size_t>(p)] = p + 1;
  const double along_y[] = {0, 0, 1, 4};
  std::vector<double> m(16);
  for (std::size_t cell = 0; cell < 16; ++cell) m[cell] = along_y[(cell / 2) % 4];
  const ModelObjective objective = as_model_objective(build(setup, true));
  Outcome outcome;
  BlockyObjective blocky(outcome.transcript.io(), objective);
  blocky.reweight(outcome.transcript.io(), m, std::vector<double>(16, 0.0));
  const std::vector<double>& weights = blocky.row_weights();
  // Rows j = 0 and 1 difference 0 to 0 and 0 to 1; rows 2 and 3 the step of 3.
  EXPECT_EQ(weights[0], 1.0);
  EXPECT_LT(weights[2], 1.0);
  EXPECT_LT(weights[4], weights[2]);
  EXPECT_EQ(weights[4], weights[6]);
}

TEST(ModelObjective3D, InconsistentCellsStopAndLeaveTheObjectiveEmpty) {
  const Mesh3D mesh = mesh_of_widths({1, 2}, {1, 1}, {3});
  struct Case {
    std::vector<std::int32_t> cell_idx;
    std::int32_t npar;
    std::vector<double> s_weights;
    const char* text;
  };
  const Case cases[] = {
      {{1, 2, 3}, 3, {}, "size(cell_idx) /= nx*ny*nz"},
      {{2, 1, 0, 0}, 2, {}, "cell_idx not numbered 1..npar in cell order"},
      {{1, -1, 2, 0}, 3, {}, "parameters in cell_idx /= npar"},
      {{1, 2, 3, 4}, 4, {1, 1}, "size(weights) /= nx*ny*nz"},
      {{0, -1, 0, 0}, 0, {}, "npar < 1"},
  };
  for (const Case& c : cases) {
    Outcome outcome;
    ModelObjective3D objective;
    objective.n_terms = 9;
    CellWeights3D weights;
    weights.s_weights = c.s_weights;
    run(outcome, [&](const Io& io) {
      build_model_objective3d(io, {mesh, c.cell_idx, c.npar}, {1, 1, 1, 1}, weights, false,
                              objective);
    });
    EXPECT_TRUE(outcome.stopped) << c.text;
    EXPECT_NE(outcome.error().find(c.text), std::string::npos) << outcome.error();
    EXPECT_EQ(objective.n_terms, 0);
    EXPECT_TRUE(objective.WTW.row_start.empty());
  }
}

TEST(AlphaCoefficients3D, LengthScalesAndDefaults) {
  struct Case {
    std::int32_t mode;
    std::array<double, 4> alpha;
    std::array<double, 3> lengths;
    AlphaCoefficients3D expected;
    const char* log;
  };
  // Smallest widths 2 (x), 0.5 (y), 4 (z): the default length is 16.
  const Mesh3D mesh = mesh_of_widths({2, 3}, {0.5, 1}, {4, 8});
  const Case cases[] = {
      {0,
       {},
       {},
       {1.0 / 256, 1, 1, 1},
       "\nusing default length scales (Lx, Ly, Lz): ( 1.60000E+01, 1.60000E+01, 1.60000E+01)\n"
       "corresponding alpha (a_s, a_x, a_y, a_z): ( 3.90625E-03, 1.0000E+00, 1.0000E+00,"
       " 1.0000E+00)\n\n"},
      {3,
       {},
       {10, 20, 5},
       {1.0 / 400, 0.25, 1, 0.0625},
       "\nusing length scales (Lx, Ly, Lz): ( 1.00000E+01, 2.00000E+01, 5.00000E+00)\n"
       "corresponding alpha (a_s, a_x, a_y, a_z): ( 2.50000E-03, 2.5000E-01, 1.0000E+00,"
       " 6.2500E-02)\n\n"},
      {2,
       {0.01, 1, 4, 0.25},
       {},
       {0.01, 1, 4, 0.25},
       "\nusing alpha (a_s, a_x, a_y, a_z): ( 1.00000E-02, 1.0000E+00, 4.0000E+00, 2.5000E-01)\n"
       "corresponding length scales (Lx, Ly, Lz): ( 1.00000E+01, 2.00000E+01, 5.00000E+00)\n\n"},
      {1, {9, 9, 9, 9}, {9, 9, 9}, {7, 7, 7, 7}, ""},
  };
  for (const Case& c : cases) {
    Outcome outcome;
    AlphaCoefficients3D alpha{7, 7, 7, 7};
    run(outcome, [&](const Io& io) { set_alpha3d(io, mesh, c.mode, c.alpha, c.lengths, alpha); });
    EXPECT_EQ(alpha.alpha_s, c.expected.alpha_s) << c.mode;
    EXPECT_EQ(alpha.alpha_x, c.expected.alpha_x) << c.mode;
    EXPECT_EQ(alpha.alpha_y, c.expected.alpha_y) << c.mode;
    EXPECT_EQ(alpha.alpha_z, c.expected.alpha_z) << c.mode;
    EXPECT_EQ(outcome.log(), c.log);
  }
}

}  // namespace
}  // namespace quelby
