// Normal and reciprocal readings and the error models fitted to them. A reciprocal reading
// exchanges the current and the potential pair (in either polarity); by reciprocity it measures
// the same resistance, so the difference e = |R_n - R_r| shows the data's error. The pairs are
// binned by |R| (equal counts) and two models are fitted to the bins' mean error: e = a + b |R|
// (Slater et al. 2000) and e = a |R|^b (Koestel et al. 2008); the one whose bins lie closer in
// log10 is kept.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "quelby/fielddata/field_datum.hpp"

namespace quelby {

struct ErrorModel {
  enum class Kind { linear, power };
  Kind kind = Kind::linear;
  double a = 0, b = 0;
  // Root mean square of log10(bin error / model) over the bins; infinite for a model that is
  // not usable (it gives a standard deviation of 0 or less to a datum, or too few bins).
  double misfit = 0;
  bool usable = false;

  // a + b x, or a x^b.
  double operator()(double magnitude) const;
  // "e = 0.0012 + 0.021 |R|" or "e = 0.019 |R|^0.93", in `unit`.
  std::string formula(std::string_view variable = "|R|") const;
};

struct ErrorFit {
  std::vector<double> bin_magnitude;  // mean |R| of each bin, increasing
  std::vector<double> bin_error;      // mean e of each bin
  std::size_t per_bin = 0;            // pairs in the smaller bins
  ErrorModel linear, power;
  ErrorModel kept;  // the better usable one; kept.usable false when neither is
};

// Fits both models to the pairs' magnitudes |R| and errors e (one each per pair, any order):
// clamp(pairs / 10, 2, 20) bins of equal counts in increasing |R|, no bin with fewer than 2
// pairs; linear by least squares (through the origin, e = b |R|, where the intercept would come
// out negative), power by least squares of log10 e on log10 |R| over bins with both positive.
// `data_magnitudes` are the |R| of every datum the model will be given to: a model that gives any
// of them 0 or less is not usable. Needs at least 4 pairs (else nothing is usable). Sums in a fixed
// order. O(pairs log pairs).
ErrorFit fit_error_models(std::span<const double> magnitudes, std::span<const double> errors,
                          std::span<const double> data_magnitudes);

// Pairs every datum with its reciprocal among `data` (the first datum of each pair in the list is
// the normal one): the normal datum takes the mean resistance of the two (in its own polarity),
// the mean chargeability, e = |R_n - R_r| as reciprocal_error, |m_n - m_r| as chargeability_error,
// the reciprocal's line, and the reciprocal datum is removed. Unpaired data keep
// reciprocal_line 0. Electrodes are compared by position exactly. O(data log data).
void pair_reciprocals(std::vector<FieldDatum>& data);

// Averages data with the same four electrodes (a datum with its current pair or its potential
// pair written the other way round counts as the same, its resistance's sign turned): the first
// keeps its place and takes the mean resistance, chargeability and current; the file's standard
// deviations combine as sqrt(sum of squares) / count. Returns the number of data removed.
std::size_t average_duplicates(std::vector<FieldDatum>& data);

}  // namespace quelby
