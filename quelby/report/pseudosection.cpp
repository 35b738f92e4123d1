#include "quelby/report/pseudosection.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quelby {
namespace {

std::vector<PolePoleTerm> terms_of_distances(double am, double bm, double an, double bn,
                                             bool current_dipole, bool potential_dipole) {
  std::vector<PolePoleTerm> terms{{am, 1}};
  if (current_dipole) terms.push_back({bm, -1});
  if (potential_dipole) terms.push_back({an, -1});
  if (current_dipole && potential_dipole) terms.push_back({bn, 1});
  return terms;
}

double distance(const ElectrodePosition& p, const ElectrodePosition& q) {
  return std::hypot(p.x - q.x, p.y - q.y, p.z - q.z);
}

}  // namespace

std::vector<PolePoleTerm> pole_pole_terms(double a, double b, double m, double n) {
  return terms_of_distances(std::abs(a - m), std::abs(b - m), std::abs(a - n), std::abs(b - n),
                            a != b, m != n);
}

double flat_geometric_factor(std::span<const PolePoleTerm> terms) {
  double sum = 0;
  for (const PolePoleTerm& term : terms) {
    if (!(term.distance > 0)) return std::nan("");
    sum += term.sign / term.distance;
  }
  if (sum == 0 || !std::isfinite(sum)) return std::nan("");
  return 2 * std::numbers::pi / sum;
}

double median_depth(std::span<const PolePoleTerm> terms) {
  double total = 0, scale = 0;
  for (const PolePoleTerm& term : terms) {
    if (!(term.distance > 0)) return std::nan("");
    total += term.sign / term.distance;
    scale = std::max(scale, term.distance);
  }
  if (total == 0 || !std::isfinite(total)) return std::nan("");
  const double direction = total > 0 ? 1 : -1;
  // sign(total) (integral from 0 to depth - total / 2): increasing from -|total| / 2 to |total|
  // / 2.
  const auto reached = [&](double depth) {
    double tail = 0;
    for (const PolePoleTerm& term : terms)
      tail += term.sign / std::sqrt(term.distance * term.distance + 4 * depth * depth);
    return direction * ((total - tail) - total / 2);
  };
  // A geometric grid of depths brackets the first crossing; bisection narrows it.
  constexpr int grid_points = 160;
  double low = 0, high = 0;
  bool found = false;
  for (int i = 0; i < grid_points && !found; ++i) {
    const double depth = scale * 1e-4 * std::pow(1e7, static_cast<double>(i) / (grid_points - 1));
    if (reached(depth) >= 0) {
      high = depth;
      found = true;
    } else {
      low = depth;
    }
  }
  if (!found) return std::nan("");
  for (int step = 0; step < 60; ++step) {
    const double middle = 0.5 * (low + high);
    (reached(middle) < 0 ? low : high) = middle;
  }
  return 0.5 * (low + high);
}

std::vector<DatumElectrodes> datum_electrodes(const SurveyData& survey) {
  std::vector<DatumElectrodes> electrodes(static_cast<std::size_t>(survey.ndat));
  for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
    for (std::size_t i = survey.data_begin(k); i < survey.data_begin(k + 1); ++i) {
      electrodes[i] = {survey.xa_cur[k], survey.xb_cur[k], survey.xm[i], survey.xn[i]};
    }
  }
  return electrodes;
}

std::vector<PseudoPosition> pseudo_positions(const SurveyData& survey) {
  const std::vector<DatumElectrodes> electrodes = datum_electrodes(survey);
  std::vector<PseudoPosition> positions(electrodes.size());
  for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
    for (std::size_t i = survey.data_begin(k); i < survey.data_begin(k + 1); ++i) {
      const DatumElectrodes& e = electrodes[i];
      positions[i].x = 0.25 * (e.a + e.b + e.m + e.n);
      positions[i].depth = median_depth(pole_pole_terms(e.a, e.b, e.m, e.n));
      if (survey.has_z) {
        // A borehole's electrodes share x: their depth tells where the datum looks.
        const double za = survey.za_cur[k], zb = survey.zb_cur[k];
        const double zm = survey.zm[i], zn = survey.zn[i];
        if (za != 0 || zb != 0 || zm != 0 || zn != 0)
          positions[i].depth = 0.25 * (za + zb + zm + zn);
      }
    }
  }
  return positions;
}

std::vector<double> flat_geometric_factors(const SurveyData& survey) {
  std::vector<double> factors;
  factors.reserve(static_cast<std::size_t>(survey.ndat));
  for (const DatumElectrodes& e : datum_electrodes(survey)) {
    factors.push_back(survey.has_z ? std::nan("")
                                   : flat_geometric_factor(pole_pole_terms(e.a, e.b, e.m, e.n)));
  }
  return factors;
}

std::vector<double> median_depths3d(const Survey3D& survey) {
  std::vector<double> depths;
  depths.reserve(static_cast<std::size_t>(survey.ndat));
  for (std::size_t i = 0; i < static_cast<std::size_t>(survey.ndat); ++i) {
    const ElectrodePosition& a = survey.electrodes[static_cast<std::size_t>(survey.a[i])];
    const ElectrodePosition& b = survey.electrodes[static_cast<std::size_t>(survey.b[i])];
    const ElectrodePosition& m = survey.electrodes[static_cast<std::size_t>(survey.m[i])];
    const ElectrodePosition& n = survey.electrodes[static_cast<std::size_t>(survey.n[i])];
    depths.push_back(median_depth(terms_of_distances(distance(a, m), distance(b, m), distance(a, n),
                                                     distance(b, n), survey.a[i] != survey.b[i],
                                                     survey.m[i] != survey.n[i])));
  }
  return depths;
}

}  // namespace quelby
