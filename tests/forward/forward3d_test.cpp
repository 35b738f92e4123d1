// The 3-D forward model against solutions derived by hand (a half-space with surface and buried
// electrodes, two layers by images) and against itself (central differences of its own data,
// homogeneity of degree 1, reciprocity, the products with J against J, a uniform chargeability);
// the primary field's exact box integrals against plain quadrature.
#include "quelby/forward/forward3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/primary3d.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

// Nodes with cells of `core` from lo to hi and `pads` cells growing by `growth` on each side
// (only below for `down`).
std::vector<double> axis(double lo, double hi, double core, int pads, double growth,
                         bool down = false) {
  std::vector<double> nodes;
  const int count = static_cast<int>(std::lround((hi - lo) / core));
  for (int i = 0; i <= count; ++i) nodes.push_back(lo + i * core);
  double width = core;
  for (int p = 0; p < pads; ++p) {
    width *= growth;
    nodes.push_back(nodes.back() + width);
    if (!down) nodes.insert(nodes.begin(), nodes.front() - width);
  }
  return nodes;
}

Survey3D survey_of(const std::vector<ElectrodePosition>& electrodes,
                   const std::vector<std::array<std::int32_t, 4>>& quads) {
  Survey3D survey;
  survey.electrodes = electrodes;
  survey.ndat = static_cast<std::int32_t>(quads.size());
  for (const auto& q : quads) {
    survey.a.push_back(q[0]);
    survey.b.push_back(q[1]);
    survey.m.push_back(q[2]);
    survey.n.push_back(q[3]);
    survey.iptype.push_back(0);
  }
  return survey;
}

// Pole potential of a unit current over two layers (rho1 of thickness h over rho2) at distance r
// on the surface, by images.
double two_layer_pole(double rho1, double rho2, double h, double r) {
  const double k = (rho2 - rho1) / (rho2 + rho1);
  double sum = 1 / r;
  double kn = 1;
  for (int n = 1; n < 2000; ++n) {
    kn *= k;
    sum += 2 * kn / std::sqrt(r * r + 4.0 * n * n * h * h);
    if (std::fabs(kn) < 1e-16) break;
  }
  return rho1 * sum / (2 * std::numbers::pi);
}

double distance(const ElectrodePosition& a, const ElectrodePosition& b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                   (a.z - b.z) * (a.z - b.z));
}

// The datum of pole potentials `pole(s, r)` for quad (a, b, m, n) with the pole conventions.
template <typename Pole>
double quad_value(const std::array<std::int32_t, 4>& q, Pole&& pole) {
  double value = pole(q[0], q[2]);
  if (q[3] != q[2]) value -= pole(q[0], q[3]);
  if (q[1] != q[0]) {
    value -= pole(q[1], q[2]);
    if (q[3] != q[2]) value += pole(q[1], q[3]);
  }
  return value;
}

// Twelve surface electrodes on two lines 2 m apart, 1 m spacing, and a mix of readings.
struct LineSurvey {
  std::vector<ElectrodePosition> electrodes;
  std::vector<std::array<std::int32_t, 4>> quads;
  LineSurvey() {
    for (int line = 0; line < 2; ++line) {
      for (int i = 0; i < 6; ++i) electrodes.push_back({i * 1.0, line * 2.0, 0});
    }
    quads = {{0, 1, 2, 3}, {0, 1, 3, 4},  {1, 2, 4, 5},  {0, 0, 2, 2},  {6, 7, 8, 9},
             {0, 6, 1, 7}, {2, 8, 4, 10}, {0, 11, 5, 6}, {3, 3, 9, 10}, {5, 4, 1, 0}};
  }
};

TEST(PrimaryField3D, BoxIntegralsMatchQuadratureAwayFromAndAtTheSource) {
  // Gauss-Legendre of order 12 on 4^3 sub-boxes, for grad p . grad phi_l.
  auto quadrature = [](const PointSource& s, const double lo[3], const double hi[3], int split) {
    std::vector<double> x(12), w(12);
    // Nodes and weights by Newton on the Legendre polynomial.
    for (int i = 0; i < 12; ++i) {
      double z = std::cos(std::numbers::pi * (i + 0.75) / 12.5);
      for (int it = 0; it < 100; ++it) {
        double p0 = 1, p1 = z;
        for (int k = 2; k <= 12; ++k) {
          const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
          p0 = p1;
          p1 = p2;
        }
        const double dp = 12 * (z * p1 - p0) / (z * z - 1);
        z -= p1 / dp;
        if (it == 99) {
          x[i] = 0.5 * (z + 1);
          w[i] = 1 / ((1 - z * z) * dp * dp);
        }
      }
    }
    std::array<double, 8> a{};
    const double h[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    for (int bx = 0; bx < split; ++bx)
      for (int by = 0; by < split; ++by)
        for (int bz = 0; bz < split; ++bz)
          for (int i = 0; i < 12; ++i)
            for (int j = 0; j < 12; ++j)
              for (int k = 0; k < 12; ++k) {
                const double t[3] = {(bx + x[i]) / split, (by + x[j]) / split, (bz + x[k]) / split};
                const double weight =
                    w[i] * w[j] * w[k] * h[0] * h[1] * h[2] / (split * split * split);
                const auto g =
                    s.gradient(lo[0] + t[0] * h[0], lo[1] + t[1] * h[1], lo[2] + t[2] * h[2]);
                for (int l = 0; l < 8; ++l) {
                  const int c[3] = {l & 1, (l >> 1) & 1, (l >> 2) & 1};
                  double f[3], df[3];
                  for (int d = 0; d < 3; ++d) {
                    f[d] = c[d] ? t[d] : 1 - t[d];
                    df[d] = (c[d] ? 1.0 : -1.0) / h[d];
                  }
                  a[l] += weight * (g[0] * df[0] * f[1] * f[2] + g[1] * f[0] * df[1] * f[2] +
                                    g[2] * f[0] * f[1] * df[2]);
                }
              }
    return a;
  };
  struct Case {
    PointSource source;
    double lo[3], hi[3];
    int split;
    double tolerance;  // relative to the largest |a_l|
  };
  const Case cases[] = {
      {{0, 0, 0, 0, false, true}, {2, 1, 0}, {3, 1.5, 0.7}, 1, 1e-10},
      {{0.2, -0.3, 1.5, 0, true, true}, {1, -1, 0}, {1.6, 0.2, 0.9}, 1, 1e-9},
      {{0.2, -0.3, 1.5, 0, true, false}, {-2, 1, 2}, {-1, 2, 3}, 1, 1e-10},
      // The source at a corner and on an edge of the box: singular, quadrature converges slowly.
      {{0, 0, 0, 0, false, true}, {0, 0, 0}, {1, 0.5, 0.25}, 8, 2e-3},
      {{0.5, 0, 0, 0, false, true}, {0, 0, 0}, {1, 1, 1}, 8, 2e-3},
  };
  for (const Case& c : cases) {
    const auto exact =
        box_gradient_integrals(c.source, c.lo[0], c.hi[0], c.lo[1], c.hi[1], c.lo[2], c.hi[2]);
    const auto numeric = quadrature(c.source, c.lo, c.hi, c.split);
    double scale = 0, sum = 0;
    for (int l = 0; l < 8; ++l) scale = std::max(scale, std::fabs(numeric[l])), sum += exact[l];
    for (int l = 0; l < 8; ++l) EXPECT_NEAR(exact[l], numeric[l], c.tolerance * scale) << l;
    // The shape functions sum to one: their gradients' integrals sum to zero.
    EXPECT_NEAR(sum, 0, 1e-12 * scale);
  }
}

TEST(Forward3D, HalfSpaceWithSurfaceAndBuriedElectrodesIsExact) {
  Transcript t;
  const Mesh3D mesh = make_mesh3d(t.io(), axis(-2, 7, 0.5, 8, 1.5), axis(-2, 4, 0.5, 8, 1.5),
                                  axis(0, 3, 0.5, 8, 1.5, true));
  LineSurvey line;
  // Buried electrodes 1 m and 1.5 m down, one off the nodes.
  line.electrodes.push_back({2.0, 1.0, 1.0});
  line.electrodes.push_back({3.3, 0.7, 1.5});
  line.quads.push_back({12, 13, 0, 5});
  line.quads.push_back({0, 5, 12, 13});
  line.quads.push_back({12, 12, 13, 13});
  const Survey3D survey = survey_of(line.electrodes, line.quads);
  ForwardModel3D model(t.io(), mesh, {}, survey);
  const double rho = 40;
  const auto data = model.data(t.io(), std::vector<double>(mesh.cell_count(), rho));
  for (std::size_t i = 0; i < line.quads.size(); ++i) {
    const double expected = quad_value(line.quads[i], [&](int s, int r) {
      const auto& a = line.electrodes[s];
      const auto& b = line.electrodes[r];
      if (a.z == 0 && b.z == 0) return rho / (2 * std::numbers::pi * distance(a, b));
      ElectrodePosition image = a;
      image.z = -a.z;
      return rho / (4 * std::numbers::pi) * (1 / distance(a, b) + 1 / distance(image, b));
    });
    EXPECT_NEAR(data[i], expected, 1e-10 * std::fabs(expected)) << i;
  }
}

TEST(Forward3D, TwoLayersAgreeWithTheirImages) {
  Transcript t;
  // Electrodes on 0..5 along x; the layer boundary on a node at 1 m.
  const Mesh3D mesh = make_mesh3d(t.io(), axis(-2, 7, 0.5, 12, 1.5), axis(-2, 4, 0.5, 12, 1.5),
                                  axis(0, 3, 0.25, 14, 1.5, true));
  LineSurvey line;
  const Survey3D survey = survey_of(line.electrodes, line.quads);
  for (const auto& [rho1, rho2] : {std::pair{100.0, 10.0}, std::pair{10.0, 100.0}}) {
    std::vector<double> model_values(mesh.cell_count());
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int64_t c = 0; c < std::int64_t{mesh.nx} * mesh.ny; ++c) {
        model_values[k * std::int64_t{mesh.nx} * mesh.ny + c] = mesh.z_centres[k] < 1 ? rho1 : rho2;
      }
    }
    ForwardModel3D model(t.io(), mesh, {}, survey);
    const auto data = model.data(t.io(), model_values);
    for (std::size_t i = 0; i < line.quads.size(); ++i) {
      const double expected = quad_value(line.quads[i], [&](int s, int r) {
        return two_layer_pole(rho1, rho2, 1.0, distance(line.electrodes[s], line.electrodes[r]));
      });
      // Two cells per electrode spacing across, four in the layer: within 1.5 %.
      EXPECT_NEAR(data[i], expected, 0.015 * std::fabs(expected)) << rho1 << " " << i;
    }
  }
}

struct RandomModel {
  Mesh3D mesh;
  std::vector<double> rho;
  Survey3D survey;
  std::vector<std::array<std::int32_t, 4>> quads;
};

RandomModel random_model(const Io& io) {
  RandomModel r;
  r.mesh =
      make_mesh3d(io, axis(-1, 6, 0.5, 3, 2), axis(-1, 3, 0.5, 3, 2), axis(0, 2, 0.5, 3, 2, true));
  std::mt19937 random(7);
  std::uniform_real_distribution<double> log_rho(1, 3);
  r.rho.resize(r.mesh.cell_count());
  for (double& v : r.rho) v = std::pow(10.0, log_rho(random));
  LineSurvey line;
  line.electrodes.push_back({2.5, 1.0, 1.0});  // buried
  line.quads.push_back({12, 0, 5, 3});
  line.quads.push_back({5, 3, 12, 0});  // the reciprocal of the one before
  r.quads = line.quads;
  r.survey = survey_of(line.electrodes, line.quads);
  return r;
}

TEST(Forward3D, SensitivitiesAreTheDerivativesOfTheData) {
  Transcript t;
  const RandomModel r = random_model(t.io());
  ForwardModel3D model(t.io(), r.mesh, {}, r.survey);
  const auto cells = model.ground_cells();
  std::vector<std::int32_t> starts(cells.size() + 1);
  for (std::size_t c = 0; c <= cells.size(); ++c) starts[c] = static_cast<std::int32_t>(c);
  const std::size_t ndat = r.quads.size();
  std::vector<double> jacobian(ndat * cells.size()), data(ndat);
  model.sensitivity(t.io(), r.rho, cells, starts, jacobian, data);

  // Homogeneity of degree 1: each row sums to its datum.
  for (std::size_t i = 0; i < ndat; ++i) {
    double sum = 0, scale = 0;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      sum += jacobian[i * cells.size() + c];
      scale = std::max(scale, std::fabs(jacobian[i * cells.size() + c]));
    }
    EXPECT_NEAR(sum, data[i], 1e-9 * std::max(std::fabs(data[i]), scale)) << i;
  }
  // Reciprocity: the reading with current and potential pairs exchanged.
  EXPECT_NEAR(data[ndat - 1], data[ndat - 2], 1e-10 * std::fabs(data[ndat - 1]));

  // Central differences in ln rho, on cells around the electrodes and elsewhere.
  std::vector<std::size_t> probe;
  for (std::size_t c = 0; c < cells.size(); c += 211) probe.push_back(c);
  for (const double x : {0.0, 2.0, 2.5}) {
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const std::int64_t cell = cells[c];
      const std::int32_t i = static_cast<std::int32_t>(cell % r.mesh.nx);
      const std::int32_t k = static_cast<std::int32_t>(cell / (r.mesh.nx * r.mesh.ny));
      const std::int32_t j = static_cast<std::int32_t>((cell / r.mesh.nx) % r.mesh.ny);
      if (r.mesh.x_nodes[i] == x && k <= 1 && (j == 3 || j == 5)) probe.push_back(c);
    }
  }
  const double step = 1e-4;
  ForwardModel3D fresh(t.io(), r.mesh, {}, r.survey);
  for (const std::size_t c : probe) {
    std::vector<double> up = r.rho, down = r.rho;
    up[cells[c]] *= std::exp(step);
    down[cells[c]] *= std::exp(-step);
    const auto d_up = fresh.data(t.io(), up);
    const auto d_down = fresh.data(t.io(), down);
    for (std::size_t i = 0; i < ndat; ++i) {
      double scale = 0;
      for (std::size_t c2 = 0; c2 < cells.size(); ++c2) {
        scale = std::max(scale, std::fabs(jacobian[i * cells.size() + c2]));
      }
      EXPECT_NEAR(jacobian[i * cells.size() + c], (d_up[i] - d_down[i]) / (2 * step), 1e-4 * scale)
          << "datum " << i << " cell " << cells[c];
    }
  }

  // The products agree with J, also over columns that group several cells.
  std::vector<std::int32_t> grouped_starts;
  for (std::size_t c = 0; c < cells.size(); c += 5)
    grouped_starts.push_back(static_cast<std::int32_t>(c));
  grouped_starts.push_back(static_cast<std::int32_t>(cells.size()));
  const std::size_t columns = grouped_starts.size() - 1;
  std::vector<double> grouped(ndat * columns);
  model.sensitivity(t.io(), r.rho, cells, grouped_starts, grouped, {});
  std::mt19937 random(3);
  std::normal_distribution<double> normal;
  std::vector<double> v(columns), w(ndat), jv(ndat), jtw(columns);
  for (double& x : v) x = normal(random);
  for (double& x : w) x = normal(random);
  model.jacobian_times(t.io(), r.rho, cells, grouped_starts, v, jv);
  model.jacobian_transpose_times(t.io(), r.rho, cells, grouped_starts, w, jtw);
  for (std::size_t i = 0; i < ndat; ++i) {
    double expected = 0, scale = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      double column = 0;
      for (std::int32_t at = grouped_starts[c]; at < grouped_starts[c + 1]; ++at) {
        column += jacobian[i * cells.size() + static_cast<std::size_t>(at)];
      }
      EXPECT_NEAR(grouped[i * columns + c], column,
                  1e-12 * std::fabs(data[i]) + 1e-9 * std::fabs(column));
      expected += grouped[i * columns + c] * v[c];
      scale += std::fabs(grouped[i * columns + c] * v[c]);
    }
    EXPECT_NEAR(jv[i], expected, 1e-12 * scale);
  }
  for (std::size_t c = 0; c < columns; ++c) {
    double expected = 0, scale = 0;
    for (std::size_t i = 0; i < ndat; ++i) {
      expected += grouped[i * columns + c] * w[i];
      scale += std::fabs(grouped[i * columns + c] * w[i]);
    }
    EXPECT_NEAR(jtw[c], expected, 1e-12 * scale + 1e-300);
  }

  // A uniform chargeability is its own apparent chargeability.
  const auto eta =
      model.apparent_chargeability(t.io(), r.rho, std::vector<double>(r.mesh.cell_count(), 25.0));
  for (const double value : eta) EXPECT_NEAR(value, 25.0, 1e-8);
}

TEST(Forward3D, ATwoDimensionalBlockAgreesWithTheSectionsForwardModel) {
  // A conductive block infinite along y, one electrode spacing below a line at y = 0: the 3-D
  // model on a mesh of quarter-spacing cells, y padded far out, against the 2.5-D model of the
  // section on cells of a twentieth of the spacing.
  Transcript t;
  const Mesh section =
      mesh_from_nodes(t.io(), axis(-2, 8, 0.05, 20, 1.3), axis(0, 3, 0.05, 20, 1.3, true));
  const Mesh3D mesh = make_mesh3d(t.io(), axis(-2, 8, 0.25, 12, 1.5), axis(-1, 1, 0.5, 12, 1.5),
                                  axis(0, 3, 0.25, 12, 1.5, true));
  auto block = [](double cx, double cz) {
    return (cx > 2 && cx < 4 && cz > 1 && cz < 2) ? 10.0 : 100.0;
  };
  std::vector<double> rho2(static_cast<std::size_t>(section.nx) * section.nz);
  for (std::int32_t k = 0; k < section.nz; ++k) {
    for (std::int32_t i = 0; i < section.nx; ++i) {
      rho2[k * section.nx + i] = block(section.x_centres[i], section.z_centres[k]);
    }
  }
  std::vector<double> rho3(mesh.cell_count());
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t j = 0; j < mesh.ny; ++j) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        rho3[mesh.cell(i, j, k)] = block(mesh.x_centres[i], mesh.z_centres[k]);
      }
    }
  }
  const auto quads = testing::dipole_dipole(7, 1.0, 4);
  const SurveyData line = testing::survey_of(quads, t.io());
  ForwardModel model2(t.io(), section, std::vector<std::int32_t>(section.nx, 0), line);
  const auto data2 = model2.data(t.io(), rho2);
  std::vector<ElectrodePosition> electrodes;
  for (int e = 0; e < 7; ++e) electrodes.push_back({e * 1.0, 0, 0});
  std::vector<std::array<std::int32_t, 4>> quads3;
  for (std::int32_t pair = 0; pair < line.ncur; ++pair) {
    for (std::size_t i = line.data_begin(pair); i < line.data_begin(pair + 1); ++i) {
      const auto q = testing::grouped_quad(line, static_cast<std::size_t>(pair), i);
      quads3.push_back({static_cast<std::int32_t>(q.a), static_cast<std::int32_t>(q.b),
                        static_cast<std::int32_t>(q.m), static_cast<std::int32_t>(q.n)});
    }
  }
  ForwardModel3D model3(t.io(), mesh, {}, survey_of(electrodes, quads3));
  const auto data3 = model3.data(t.io(), rho3);
  ASSERT_EQ(data3.size(), data2.size());
  for (std::size_t i = 0; i < data2.size(); ++i) {
    EXPECT_NEAR(data3[i], data2[i], 0.01 * std::fabs(data2[i])) << i;
  }
}

TEST(Forward3D, AStepInTheGroundAgreesWithTheSectionsForwardModel) {
  // Ground 0.5 m lower beyond x = `edge`, infinite along y, over a uniform 100 ohm-m: the 3-D model
  // (air cells above the lower ground; electrodes there given at its depth) against the 2.5-D
  // model of the section. With the step between two electrodes the two agree within 3.3 % on
  // quarter-spacing cells; with an electrode on the step's edge (a quarter of the space around
  // it is ground) within 4.3 %; without the solid angle at the edge, 20 to 90 %.
  Transcript t;
  const Mesh section =
      mesh_from_nodes(t.io(), axis(-2, 8, 0.05, 20, 1.3), axis(0, 3, 0.05, 20, 1.3, true));
  const Mesh3D mesh = make_mesh3d(t.io(), axis(-2, 8, 0.25, 12, 1.5), axis(-1, 1, 0.5, 12, 1.5),
                                  axis(0, 3, 0.25, 12, 1.5, true));
  auto air_above = [](const std::vector<double>& z_nodes) {
    std::int32_t k = 0;
    while (z_nodes[k] < 0.5 - 1e-9) ++k;
    return k;
  };
  const auto quads = testing::dipole_dipole(7, 1.0, 4);
  const SurveyData line = testing::survey_of(quads, t.io());
  for (const auto& [edge, tolerance] : {std::pair{2.5, 0.05}, std::pair{3.0, 0.06}}) {
    std::vector<std::int32_t> air2(static_cast<std::size_t>(section.nx), 0);
    for (std::int32_t i = 0; i < section.nx; ++i) {
      if (section.x_centres[i] > edge) air2[i] = air_above(section.z_nodes);
    }
    std::vector<std::int32_t> air3(static_cast<std::size_t>(mesh.nx) * mesh.ny, 0);
    for (std::int32_t j = 0; j < mesh.ny; ++j) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        if (mesh.x_centres[i] > edge) air3[j * mesh.nx + i] = air_above(mesh.z_nodes);
      }
    }
    ForwardModel model2(t.io(), section, air2, line);
    const auto data2 = model2.data(
        t.io(), std::vector<double>(static_cast<std::size_t>(section.nx) * section.nz, 100.0));
    std::vector<ElectrodePosition> electrodes;
    for (int e = 0; e < 7; ++e) electrodes.push_back({e * 1.0, 0, e > edge ? 0.5 : 0.0});
    std::vector<std::array<std::int32_t, 4>> quads3;
    for (std::int32_t pair = 0; pair < line.ncur; ++pair) {
      for (std::size_t i = line.data_begin(pair); i < line.data_begin(pair + 1); ++i) {
        const auto q = testing::grouped_quad(line, static_cast<std::size_t>(pair), i);
        quads3.push_back({static_cast<std::int32_t>(q.a), static_cast<std::int32_t>(q.b),
                          static_cast<std::int32_t>(q.m), static_cast<std::int32_t>(q.n)});
      }
    }
    ForwardModel3D model3(t.io(), mesh, air3, survey_of(electrodes, quads3));
    const auto data3 = model3.data(t.io(), std::vector<double>(mesh.cell_count(), 100.0));
    for (std::size_t i = 0; i < data2.size(); ++i) {
      EXPECT_NEAR(data3[i], data2[i], tolerance * std::fabs(data2[i])) << edge << " " << i;
    }
  }
}

TEST(Forward3D, TheIterativeSolverGivesTheDirectSolversData) {
  // Conjugate gradients with algebraic multigrid in place of the factor: the same data to the
  // solver's tolerance, every solve counted.
  Transcript t;
  const RandomModel r = random_model(t.io());
  ForwardModel3D direct(t.io(), r.mesh, {}, r.survey);
  Forward3DOptions options;
  options.solver.kind = SpdSolverKind::multigrid;
  options.solver.relative_tolerance = 1e-10;
  ForwardModel3D iterative(t.io(), r.mesh, {}, r.survey, options);
  const auto expected = direct.data(t.io(), r.rho);
  const auto data = iterative.data(t.io(), r.rho);
  for (std::size_t i = 0; i < data.size(); ++i) {
    EXPECT_NEAR(data[i], expected[i], 1e-8 * std::fabs(expected[i])) << i;
  }
  EXPECT_TRUE(iterative.statistics().multigrid);
  EXPECT_GT(iterative.statistics().iterations, 0);
  EXPECT_FALSE(direct.statistics().multigrid);
}

TEST(Forward3D, AirLayersAboveAFlatGroundChangeNothing) {
  Transcript t;
  const Mesh3D plain = make_mesh3d(t.io(), axis(-1, 6, 0.5, 4, 1.6), axis(-1, 3, 0.5, 4, 1.6),
                                   axis(0, 2, 0.5, 4, 1.6, true));
  std::vector<double> z = plain.z_nodes;
  z.insert(z.begin(), {-1.0, -0.5});
  const Mesh3D with_air = make_mesh3d(t.io(), plain.x_nodes, plain.y_nodes, z);
  LineSurvey line;
  const Survey3D survey = survey_of(line.electrodes, line.quads);
  std::mt19937 random(11);
  std::uniform_real_distribution<double> log_rho(1, 2);
  std::vector<double> rho(plain.cell_count());
  for (double& v : rho) v = std::pow(10.0, log_rho(random));
  std::vector<double> rho_air(static_cast<std::size_t>(plain.nx) * plain.ny * 2, 1e8);
  rho_air.insert(rho_air.end(), rho.begin(), rho.end());
  ForwardModel3D a(t.io(), plain, {}, survey);
  ForwardModel3D b(t.io(), with_air,
                   std::vector<std::int32_t>(static_cast<std::size_t>(plain.nx) * plain.ny, 2),
                   survey);
  const auto da = a.data(t.io(), rho);
  const auto db = b.data(t.io(), rho_air);
  for (std::size_t i = 0; i < da.size(); ++i) EXPECT_NEAR(da[i], db[i], 1e-9 * std::fabs(da[i]));
}

TEST(Forward3D, RefusesElectrodesItCannotPlace) {
  Transcript t;
  const Mesh3D mesh =
      make_mesh3d(t.io(), axis(0, 4, 1, 0, 1), axis(0, 4, 1, 0, 1), axis(0, 4, 1, 0, 1, true));
  const std::vector<std::pair<ElectrodePosition, const char*>> cases = {
      {{5, 1, 0}, "lies outside the mesh"},
      {{1, 1, -2}, "lies above the ground"},
      {{1, 1, 9}, "lies below the mesh"},
  };
  for (const auto& [position, text] : cases) {
    Transcript local;
    const Survey3D survey = survey_of({{0, 0, 0}, position}, {{0, 0, 1, 1}});
    EXPECT_THROW(ForwardModel3D(local.io(), mesh, {}, survey), Stop);
    EXPECT_NE(local.console().find(text), std::string::npos) << local.console();
  }
  // Half a cell above the ground stands on it.
  const Survey3D survey = survey_of({{0, 0, 0}, {2, 2, -0.5}}, {{0, 0, 1, 1}});
  ForwardModel3D model(t.io(), mesh, {}, survey);
  EXPECT_EQ(model.ndat(), 1);
}

}  // namespace
}  // namespace quelby
