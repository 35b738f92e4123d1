// Where a datum of a surface survey is drawn in a pseudosection and its flat-ground apparent
// resistivity: the midpoint of its dipoles' centres, the median depth of investigation of its four
// electrodes (Edwards 1977) as pseudo-depth, and the flat-surface geometric factor. Poles are
// written as in the survey files: B = A for a current pole, N = M for a potential pole.
#pragma once

#include <span>
#include <vector>

#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// One term of a datum seen as a sum of pole-pole data: its electrodes' distance and sign (+1 for
// AM and BN, -1 for BM and AN).
struct PolePoleTerm {
  double distance = 0;
  double sign = 1;
};

// The pole-pole terms of electrodes at x positions a, b, m, n on a line: AM always, BM for a
// current dipole (b != a), AN for a potential dipole (n != m), BN for both.
std::vector<PolePoleTerm> pole_pole_terms(double a, double b, double m, double n);

// The flat-surface geometric factor 2 pi / sum(sign / distance); NaN where an electrode pair of a
// term coincides or the sum is 0.
double flat_geometric_factor(std::span<const PolePoleTerm> terms);

// The median depth of investigation over a uniform half-space: the smallest depth Z at which the
// terms' layer integrals sum(sign (1/r - 1/sqrt(r^2 + 4 Z^2))) reach half of their total
// sum(sign / r) (0.519 a for Wenner, 0.416 a for dipole-dipole n = 1, 0.867 a for pole-pole); NaN
// where the total is 0 or a distance is 0. About 220 evaluations of the terms.
double median_depth(std::span<const PolePoleTerm> terms);

// A datum's place in a pseudosection (metres; depth grows downwards).
struct PseudoPosition {
  double x = 0;
  double depth = 0;
};

// Per datum of `survey` in grouped order: x midway between the centres of the current pair and of
// the potential pair, the median depth as pseudo-depth; with z positions (has_z) a datum with an
// electrode below z = 0 stands at its electrodes' mean z.
std::vector<PseudoPosition> pseudo_positions(const SurveyData& survey);

// Per datum in grouped order, the x positions of A, B, M and N.
struct DatumElectrodes {
  double a = 0, b = 0, m = 0, n = 0;
};
std::vector<DatumElectrodes> datum_electrodes(const SurveyData& survey);

// Per datum of `survey` in grouped order the flat-surface geometric factor (NaN where undefined,
// and for a survey with z positions, whose buried electrodes the flat formula does not hold).
std::vector<double> flat_geometric_factors(const SurveyData& survey);

// Per datum of a 3-D survey, the median depth of its electrodes' pole-pole terms over their
// distances in space (a surface survey's pseudo-depth).
std::vector<double> median_depths3d(const Survey3D& survey);

}  // namespace quelby
