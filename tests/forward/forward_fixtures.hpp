// Surveys, meshes and analytic potentials shared by the forward floor's tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <sstream>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "quelby/survey/survey_data.hpp"
#include "tests/support/transcript.hpp"

namespace quelby::testing {

// A datum's four electrodes along x (b or n equal to a or m for a pole).
struct Quad {
  double a, b, m, n;
};

inline SurveyData survey_of(const std::vector<Quad>& quads, const Io& io) {
  std::vector<double> a, b, m, n;
  for (const Quad& q : quads) {
    a.push_back(q.a);
    b.push_back(q.b);
    m.push_back(q.m);
    n.push_back(q.n);
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  survey_from_arrays(io, arrays, survey);
  return survey;
}

// Dipole-dipole with `count` electrodes `spacing` apart from x = 0, n = 1..n_max.
inline std::vector<Quad> dipole_dipole(int count, double spacing, int n_max) {
  std::vector<Quad> quads;
  for (int a = 0; a < count; ++a) {
    for (int n = 1; n <= n_max; ++n) {
      if (a + 2 + n > count - 1) continue;
      quads.push_back(
          {spacing * a, spacing * (a + 1), spacing * (a + 1 + n), spacing * (a + 2 + n)});
    }
  }
  return quads;
}

// 1 / distance, 0 for a missing electrode (a pole's b or n equal to a or m).
inline double inverse_distance(double p, double q) {
  return 1 / std::abs(p - q);
}

// The surface potential difference of a unit current over a half-space of resistivity rho.
inline double half_space_datum(const Quad& q, double rho) {
  double g = inverse_distance(q.a, q.m);
  if (q.n != q.m) g -= inverse_distance(q.a, q.n);
  if (q.b != q.a) g -= inverse_distance(q.b, q.m);
  if (q.b != q.a && q.n != q.m) g += inverse_distance(q.b, q.n);
  return rho * g / (2 * std::numbers::pi);
}

// The datum of a survey in grouped order, as a Quad.
inline Quad grouped_quad(const SurveyData& survey, std::size_t pair, std::size_t i) {
  return {survey.xa_cur[pair], survey.xb_cur[pair], survey.xm[i], survey.xn[i]};
}

// A mesh whose x nodes include every electrode position, each gap between neighbouring positions
// cut into `per_gap` equal cells, padded by cells growing by `growth` to beyond `reach` on both
// sides; z nodes from `z_nodes_core` (ascending, from 0), then padded below to `reach`.
inline Mesh graded_mesh(std::vector<double> positions, int per_gap, std::vector<double> z_core,
                        double growth, double reach, const Io& io) {
  std::vector<double> x;
  for (std::size_t p = 0; p + 1 < positions.size(); ++p) {
    const double w = (positions[p + 1] - positions[p]) / per_gap;
    for (int c = 0; c < per_gap; ++c) x.push_back(positions[p] + c * w);
  }
  x.push_back(positions.back());
  const double edge_width = (positions[1] - positions[0]) / per_gap;
  const double last_width = (positions.back() - positions[positions.size() - 2]) / per_gap;
  std::vector<double> left, right;
  for (double w = edge_width * growth, at = x.front(); at > x.front() - reach; w *= growth) {
    at -= w;
    left.push_back(at);
  }
  for (double w = last_width * growth, at = x.back(); at < x.back() + reach; w *= growth) {
    at += w;
    right.push_back(at);
  }
  std::vector<double> nodes(left.rbegin(), left.rend());
  nodes.insert(nodes.end(), x.begin(), x.end());
  nodes.insert(nodes.end(), right.begin(), right.end());
  std::vector<double> z = z_core;
  double w = z[z.size() - 1] - z[z.size() - 2];
  while (z.back() < reach) {
    w *= growth;
    z.push_back(z.back() + w);
  }
  return mesh_from_nodes(io, nodes, z);
}

// Nodes through every break (ascending), each gap cut into equal cells no wider than `fraction`
// of the distance of its middle from `origin` (and no narrower than `smallest`): a mesh whose cells
// grow smoothly away from the origin and have a node at every break.
inline std::vector<double> smooth_nodes(const std::vector<double>& breaks, double origin,
                                        double fraction, double smallest) {
  std::vector<double> nodes = {breaks.front()};
  for (std::size_t b = 0; b + 1 < breaks.size(); ++b) {
    const double from = breaks[b], to = breaks[b + 1];
    const double width = std::max(smallest, fraction * std::abs((from + to) / 2 - origin));
    const int count = static_cast<int>(std::ceil((to - from) / width - 1e-9));
    for (int c = 1; c <= count; ++c)
      nodes.push_back(c == count ? to : from + (to - from) * c / count);
  }
  return nodes;
}

// Nodes continued beyond the last by cells growing by `growth` until `reach` is passed.
inline void pad_nodes(std::vector<double>& nodes, double growth, double reach) {
  double width = nodes[nodes.size() - 1] - nodes[nodes.size() - 2];
  while (nodes.back() < reach) {
    width *= growth;
    nodes.push_back(nodes.back() + width);
  }
}

// Nodes from breaks.front() through every break (ascending): the first gap in cells of
// `first_width`, each later gap in the fewest equal cells at most `growth` times as wide as the
// cells before them (runs of equal cells growing by 1.33 to 1.5 for a growth of 1.5), then padding
// cells growing by `padding_growth` until `reach` is passed.
inline std::vector<double> run_nodes(const std::vector<double>& breaks, double first_width,
                                     double growth, double padding_growth, double reach) {
  std::vector<double> nodes = {breaks.front()};
  double width = first_width;
  for (std::size_t b = 0; b + 1 < breaks.size(); ++b) {
    const double gap = breaks[b + 1] - breaks[b];
    const int count = b == 0 ? static_cast<int>(std::lround(gap / first_width))
                             : static_cast<int>(std::ceil(gap / (width * growth) - 1e-9));
    for (int c = 1; c <= count; ++c)
      nodes.push_back(c == count ? breaks[b + 1] : breaks[b] + gap * c / count);
    width = gap / count;
  }
  pad_nodes(nodes, padding_growth, reach);
  return nodes;
}

// Nodes from 0 mirrored about 0: -half[n], ..., -half[1], half[0], ..., half[n].
inline std::vector<double> mirrored(const std::vector<double>& half) {
  std::vector<double> nodes;
  for (std::size_t i = half.size(); i-- > 1;) nodes.push_back(-half[i]);
  nodes.insert(nodes.end(), half.begin(), half.end());
  return nodes;
}

// z nodes from 0 to depth in cells of width `width`.
inline std::vector<double> even_nodes(double from, double to, double width) {
  std::vector<double> nodes;
  const int count = static_cast<int>(std::lround((to - from) / width));
  for (int c = 0; c <= count; ++c) nodes.push_back(from + (to - from) * c / count);
  return nodes;
}

// A small section with a random model, a topography step and a few data of every kind.
struct SmallSection {
  Transcript t;
  Mesh mesh;
  std::vector<std::int32_t> air;
  SurveyData survey;
  std::vector<double> rho;
  SmallSection() {
    std::vector<double> x, z;
    for (int i = 0; i <= 28; ++i)
      x.push_back(-7 + 0.5 * i + (i > 20 ? 0.25 * (i - 20) * (i - 19) : 0.0));
    for (int k = 0; k <= 14; ++k) z.push_back(0.5 * k + (k > 9 ? 0.3 * (k - 9) * (k - 8) : 0.0));
    mesh = mesh_from_nodes(t.io(), x, z);
    air.assign(static_cast<std::size_t>(mesh.nx), 0);
    for (std::size_t i = 12; i < air.size(); ++i) air[i] = 1;  // a step down at x = -1
    survey = survey_of({{-5, -4, -3, -2},
                        {-5, -5, -1.5, 0.75},
                        {-4.25, 1, 2, 3.5},
                        {-3, 0.5, 3, 3},
                        {0, 0, -6, -6}},
                       t.io());
    std::mt19937 random(7);
    std::uniform_real_distribution<double> log_rho(std::log(10.0), std::log(1000.0));
    rho.resize(static_cast<std::size_t>(mesh.nx * mesh.nz));
    for (double& value : rho) value = std::exp(log_rho(random));
  }
};

}  // namespace quelby::testing
