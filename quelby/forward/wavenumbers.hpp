// The cosine transform along y of the 2.5-D problem: a potential u = (2/pi) sum_j w_j u~(k_j) from
// the solutions u~ of a few 2-D problems, one per wavenumber k_j. The rule (k_j, w_j) is fitted so
// that sum_j w_j K0(k_j r) reproduces pi / (2 r) (the transform of 1 / r) over the distances a
// survey and its mesh span, and, where given, the combinations of such terms its data are made of.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quelby/forward/bessel.hpp"

namespace quelby {

// One term coefficient * K0(k * distance) of a datum's transform kernel; its exact transform is
// coefficient * pi / (2 * distance).
struct TransformTerm {
  double coefficient = 0;
  double distance = 0;
};

// The terms of one datum (for four surface electrodes: +AM, -AN, -BM, +BN).
using DatumKernel = std::vector<TransformTerm>;

struct WavenumberRule {
  std::vector<double> k;       // wavenumbers in 1/m, ascending
  std::vector<double> weight;  // their weights, in 1/m
  double r_min = 0;            // the distances the rule was fitted over, in m
  double r_max = 0;
  // Largest relative error of sum_j w_j K0(k_j r) against pi / (2 r) for r in [r_min, r_max],
  // measured on 2000 distances spaced evenly in log r.
  double pole_error = 0;
  // Largest relative error of the fitted data kernels against their exact transforms, and of a few
  // of them seen at image depths (their terms at sqrt(r^2 + d^2), as layered ground makes them),
  // relative to the datum's own transform (0 when no datum was fitted).
  double data_error = 0;
};

// Accuracy the automatic rule is built to: pole_error at most 2.5e-4, data_error at most 1e-4.
inline constexpr double rule_pole_tolerance = 2.5e-4;
inline constexpr double rule_data_tolerance = 1e-4;

// Fits a rule for distances r_min..r_max (0 < r_min < r_max) and the data kernels `data` (may be
// empty; kernels whose exact transform is nearly zero against their terms are not fitted), up to
// 40 of them also at six image depths from a quarter of their shortest distance to four times
// their longest. The wavenumbers are spaced evenly in log k; their weights are the least-squares
// fit of the relative errors. With `count` 0 the count is the smallest that meets both tolerances
// (at most 40, else the best found); otherwise it is `count` (1..64). Cost: a few hundred K0
// evaluations per fitted row.
WavenumberRule design_wavenumber_rule(double r_min, double r_max, std::span<const DatumKernel> data,
                                      int count = 0);

}  // namespace quelby
