// Plausibility checks the import runs on its data before writing them: standard deviations that
// cannot belong to their values, negative apparent resistivities and chargeabilities, large
// geometric factors, data far from their neighbours in the pseudosection (a local median test on
// log10 |rho_a|) and the electrodes whose data misfit most. Each check gives a line for the import
// log, the readings it concerns, and whether it warrants a warning on the console.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "quelby/fielddata/field_datum.hpp"

namespace quelby {

struct FieldCheckSettings {
  // |K| above it is listed: a large K multiplies the noise of R into rho_a (m).
  double geometric_factor_limit = 5000;
  // A datum is an outlier when |log10 |rho_a| - local median| exceeds this many robust standard
  // deviations (1.4826 x the local median absolute deviation) of its neighbours. Against a few
  // dozen neighbours the spread is itself uncertain: Gaussian noise passes 3.5 for about 0.4 % of
  // the data, 4 for about 0.1 %.
  double outlier_threshold = 4;
  // The least relative spread of rho_a the local test assumes (0.01: 1 %), so that a perfectly
  // uniform neighbourhood flags no rounding of the file's numbers.
  double outlier_floor = 0.01;
  // Warn above these shares of negative apparent resistivities (which a flat uniform ground never
  // gives: beyond a few, electrodes or signs are mixed up) and of negative apparent
  // chargeabilities (which some geometries give over IP contrasts).
  double negative_resistivity_share = 0.02;
  double negative_chargeability_share = 0.05;
};

// The checks, in the order FieldChecks::checks holds them.
enum class FieldCheckKind { deviations, negative_values, geometric_factors, outliers, electrodes };

struct FieldCheck {
  FieldCheckKind kind = FieldCheckKind::deviations;
  std::string name;                  // as the log names it: "standard deviations", ...
  bool fired = false;                // warrants a warning on the console
  std::string summary;               // one line for the log
  std::vector<std::string> details;  // a line for each reading or electrode it concerns
  std::vector<std::size_t> data;     // indices of the data it concerns, increasing
};

// The local median test of every datum (see local_median_test).
struct LocalMedianTest {
  std::vector<double> midpoint;  // x of the datum in the pseudosection (m)
  std::vector<double> depth;     // its pseudo-depth (m), NaN where it has none
  // |log10 |rho_a| - local median| / local spread; NaN where the datum is not judged.
  std::vector<double> score;
  std::vector<double> local_median;   // rho_a (ohm m) of its neighbours; NaN where not judged
  std::vector<std::size_t> outliers;  // score > threshold, increasing
  double spacing = 0;                 // the electrode spacing that scales the window (m)
  std::size_t judged = 0;
  std::size_t without_value = 0;       // no finite nonzero K R, or no pseudo-depth
  std::size_t without_neighbours = 0;  // fewer than 5 neighbours even in the widest window
};

// What the data of one electrode show.
struct ElectrodeMisfit {
  double x = 0;                         // m
  std::size_t data = 0;                 // judged data that use it
  std::size_t outliers = 0;             // of them, outliers
  std::size_t paired = 0;               // data that use it and have a reciprocal error
  double reciprocal_error = not_given;  // median of e / |R| over those
  bool by_outliers = false;             // named for its share of outliers
  bool by_reciprocals = false;          // named for its reciprocal errors
};

struct FieldChecks {
  std::vector<FieldCheck> checks;  // one of each FieldCheckKind, in its order
  LocalMedianTest local;
  std::vector<std::size_t> outliers;        // the local test's outliers, increasing
  std::vector<ElectrodeMisfit> electrodes;  // every electrode, in increasing x
  std::vector<ElectrodeMisfit> suspects;    // the electrodes that stand out, worst first
  double negative_resistivity_share = 0;    // of the data with a finite K R
  double negative_chargeability_share = 0;  // of the data with a finite chargeability

  const FieldCheck& of(FieldCheckKind kind) const { return checks[static_cast<std::size_t>(kind)]; }
};

// The median depth of investigation of the datum's array on a flat uniform ground (Edwards 1977):
// the depth above which lies half of the area under its depth-of-investigation characteristic
// f(z) = sum of +-z / (x^2 + 4 z^2)^(3/2) over the pairs AM, AN, BM, BN (signs + - - +, a pole's
// missing electrode's pairs left out), whose integral is closed-form. NaN where two electrodes of
// different pairs coincide or the array measures nothing on a uniform ground (1/K = 0).
double median_depth(const FieldDatum& datum);

// median_depth of every datum, computed once for each distinct geometry. O(data log data).
std::vector<double> pseudo_depths(std::span<const FieldDatum> data);

// The local median test on log10 |K R|. A datum sits at (the mean of the middles of its current
// and its potential pair, its pseudo-depth); its neighbours are the other data within 5 electrode
// spacings (the median gap between neighbouring electrodes) in x and 1.5 in pseudo-depth, the
// window widened twice (x2, x4) while it holds fewer than 12, at most about 96 of them taken at
// even steps. It is an outlier when its distance from their median exceeds
// settings.outlier_threshold x max(1.4826 MAD, log10(1 + outlier_floor)). Two passes: the second
// leaves the first's outliers out of every neighbourhood, so that the data of a faulty electrode,
// which crowd the pseudosection around it, do not shift the median of the sound data beside them.
// O(data (log data + 96)).
LocalMedianTest local_median_test(std::span<const FieldDatum> data,
                                  const FieldCheckSettings& settings);

// Every electrode position of the data, increasing, with the test's counts and the median relative
// reciprocal error of its data. O(data log data).
std::vector<ElectrodeMisfit> electrode_misfits(std::span<const FieldDatum> data,
                                               const LocalMedianTest& local);

// Runs every check on the data (see FieldCheckKind and each check's summary in the log).
// O(data log data) plus the local test's cost.
FieldChecks check_field_data(std::span<const FieldDatum> data, const FieldCheckSettings& settings);

// The "checks" section of import.log: a line per check (marked where it warrants a warning), then
// the lines of the readings or electrodes it concerns, at most 100 per check.
std::string check_section_text(const FieldChecks& checks);

// "warning: ", the check's name and its summary for each check that fired, for the console.
std::vector<std::string> check_warnings(const FieldChecks& checks);

}  // namespace quelby
