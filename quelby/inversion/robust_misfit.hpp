// The data misfit of an inversion, least-squares or robust. The robust misfit gives a reading
// that stands out from the rest (a spoiled value, a bad electrode) a bounded pull: Huber's
// weights, 1 within a threshold t standard deviations and t / distance beyond it, by iteratively
// reweighted least squares (Farquharson and Oldenburg 1998). A reading's distance is its
// residual's from the residuals' median, so that a model too high or too low everywhere (a
// uniform start) weighs every reading alike; near a fit the median is nought. Far from a fit
// nearly every reading is beyond t, and the step fits them all with the pull of each bounded (an
// L1 measure); as the fit nears the noise, only the readings that stand out keep small weights.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace quelby {

// The sound range of the robust threshold t, in standard deviations. Below 0.1 nearly every
// reading of a fit to the noise is beyond t (92 % of Gaussian residuals are beyond 0.1): the
// step is already the L1 step, and a smaller t only shrinks every weight t / distance alike, the
// data term against the model term, until the weights leave the doubles. Above 100 no reading
// with Gaussian errors is beyond t (erfc(100 / sqrt 2) is 0 in doubles): the step is least
// squares, and only readings spoiled by hundreds of standard deviations would lose weight.
inline constexpr double lowest_robust_threshold = 0.1;
inline constexpr double highest_robust_threshold = 100;

// True when t lies in [lowest_robust_threshold, highest_robust_threshold].
bool sound_robust_threshold(double t) noexcept;

// "from 0.1 to 100 standard deviations": the range, as messages give it.
std::string robust_threshold_range();

struct DataWeights {
  std::vector<double> weights;  // per datum: 1 within the threshold, t / |r - centre| beyond it
  double threshold = 0;         // t, in standard deviations; infinite for least squares
  double centre = 0;            // the residuals' median
  std::size_t down_weighted = 0;
};

// The weights of the normalised residuals r (least squares: all 1, infinite threshold).
DataWeights data_weights(std::span<const double> r, bool robust, double threshold);

// The robust misfit leaves out readings taken for spoiled: at most this fraction of the data,
// the farthest, and only those beyond max(t, spoiled_distance) standard deviations. Gaussian
// errors put 6e-5 of the readings beyond 4 (and they carry 1e-3 of the expected misfit), so the
// measure is least squares for readings of their standard deviations; a twentieth holds the
// readings of a bad electrode in a dipole-dipole line of 64 (about 3 %) with room.
inline constexpr double spoiled_fraction = 0.05;
inline constexpr double spoiled_distance = 4;

// The misfit that is reported and compared with the target. Least squares: sum r^2. Robust: the
// same sum over the readings not taken for spoiled, times ndat / (the readings summed), so that
// the target keeps its meaning: a reading of one standard deviation counts 1 as in least
// squares, a model whose residuals are large counts as least squares counts it but for a
// twentieth of its readings (never fitted while it is not), and spoiled readings, however far
// off, count nothing. O(ndat), a sort of the readings beyond the distance when there are more
// than a twentieth.
double reported_misfit(std::span<const double> r, const DataWeights& weights, double threshold);

// The measure one iteration lowers, its weights held: sum w r^2 (least squares sum r^2).
double weighted_misfit(std::span<const double> r, const DataWeights& weights);

}  // namespace quelby
