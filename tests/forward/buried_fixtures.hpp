// Surveys of buried electrodes (boreholes and crosshole panels, beside surface lines) and their
// potentials over a uniform half-space by the image of each source, shared by the tests of the
// forward floor, the inversion and the commands.
#pragma once

#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby::testing {

// An electrode in the section: x along the line, z its depth (0 the flat surface).
struct Point {
  double x = 0, z = 0;
  bool operator==(const Point&) const = default;
};

// A datum's four electrodes; b equal to a, or n equal to m, for a pole.
struct BuriedQuad {
  Point a, b, m, n;
};

// The survey of `quads` in their order, every electrode with its z position; with `values`
// (and `stds`, when not empty) one per quad.
inline SurveyData buried_survey(const std::vector<BuriedQuad>& quads, const Io& io,
                                const std::vector<double>& values = {},
                                const std::vector<double>& stds = {}) {
  std::vector<double> a, b, m, n, za, zb, zm, zn;
  for (const BuriedQuad& q : quads) {
    a.push_back(q.a.x);
    za.push_back(q.a.z);
    b.push_back(q.b.x);
    zb.push_back(q.b.z);
    m.push_back(q.m.x);
    zm.push_back(q.m.z);
    n.push_back(q.n.x);
    zn.push_back(q.n.z);
  }
  SurveyArrays arrays{a, b, m, n, za, zb, zm, zn, values, stds, {}};
  SurveyData survey;
  survey_from_arrays(io, arrays, survey);
  return survey;
}

// A crosshole panel: boreholes at x = `left` and x = `right`, electrodes every `step` m from
// `first` to `last` m deep in each. Bipole-bipole readings: a current dipole of neighbouring
// electrodes in one hole (every other one) with potential dipoles in the other hole up to
// `reach` m above or below it, both ways; and in each hole a current dipole with the potential
// dipoles one and two electrodes beyond it.
inline std::vector<BuriedQuad> crosshole_panel(double left, double right, double first, double last,
                                               double step, double reach) {
  std::vector<BuriedQuad> quads;
  const auto count = static_cast<int>(std::lround((last - first) / step));
  const auto depth = [&](int k) { return first + step * k; };
  for (const auto& [source, receiver] : {std::pair{left, right}, std::pair{right, left}}) {
    for (int k = 0; k + 1 <= count; k += 2) {
      for (int j = 0; j + 1 <= count; ++j) {
        if (std::abs(depth(j) - depth(k)) > reach) continue;
        quads.push_back({{source, depth(k)},
                         {source, depth(k + 1)},
                         {receiver, depth(j)},
                         {receiver, depth(j + 1)}});
      }
      for (int gap = 1; gap <= 2; ++gap) {
        if (k + 2 + gap > count) continue;
        quads.push_back({{source, depth(k)},
                         {source, depth(k + 1)},
                         {source, depth(k + 1 + gap)},
                         {source, depth(k + 2 + gap)}});
      }
    }
  }
  return quads;
}

// The potential at `receiver` of a unit current at `source` in a half-space of resistivity rho
// below z = 0: rho / (4 pi) (1 / r + 1 / r'), r' the distance from the source's image above the
// surface.
inline double image_potential(Point source, Point receiver, double rho) {
  const double r = std::hypot(receiver.x - source.x, receiver.z - source.z);
  const double image = std::hypot(receiver.x - source.x, receiver.z + source.z);
  return rho / (4 * std::numbers::pi) * (1 / r + 1 / image);
}

inline double image_datum(const BuriedQuad& q, double rho) {
  double value = image_potential(q.a, q.m, rho);
  if (!(q.n == q.m)) value -= image_potential(q.a, q.n, rho);
  if (!(q.b == q.a)) value -= image_potential(q.b, q.m, rho);
  if (!(q.b == q.a) && !(q.n == q.m)) value += image_potential(q.b, q.n, rho);
  return value;
}

// The datum i (grouped order) of a survey with z positions, as a BuriedQuad.
inline BuriedQuad grouped_buried_quad(const SurveyData& survey, std::size_t i) {
  std::size_t pair = 0;
  while (survey.data_begin(pair + 1) <= i) ++pair;
  return {{survey.xa_cur[pair], survey.za_cur[pair]},
          {survey.xb_cur[pair], survey.zb_cur[pair]},
          {survey.xm[i], survey.zm[i]},
          {survey.xn[i], survey.zn[i]}};
}

}  // namespace quelby::testing
