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
#include <vector>

namespace quelby {

struct DataWeights {
  std::vector<double> weights;  // per datum: 1 within the threshold, t / |r - centre| beyond it
  double threshold = 0;         // t, in standard deviations; infinite for least squares
  double centre = 0;            // the residuals' median
  std::size_t down_weighted = 0;
};

// The weights of the normalised residuals r (least squares: all 1, infinite threshold).
DataWeights data_weights(std::span<const double> r, bool robust, double threshold);

// The misfit that is reported and compared with the target: least squares sum r^2; robust
// sum min(r^2, t^2) / kappa(t), with kappa the expectation of min(r^2, t^2) for a standard
// normal r, so that data with Gaussian errors of their standard deviations give the number of
// data on average either way, and a spoiled reading counts no more than one at the threshold.
double reported_misfit(std::span<const double> r, const DataWeights& weights, double threshold);

// The measure one iteration lowers, its weights held: sum w r^2 (least squares sum r^2).
double weighted_misfit(std::span<const double> r, const DataWeights& weights);

// E[min(r^2, c^2)] for a standard normal r: 1 - 2 c phi(c) - (1 - c^2) erfc(c / sqrt 2).
double capped_square_expectation(double c);

}  // namespace quelby
