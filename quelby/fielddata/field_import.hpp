// The import of a field data file: its readings read (field_file.hpp), remote electrodes turned
// into the survey file's poles, resistances made from what the file gives (R; V / I; rho_a / K),
// the readings filtered (each reason counted), duplicates averaged, normal and reciprocal
// readings paired and an error model fitted, standard deviations given, chargeabilities brought
// to mV/V, and the results as survey stores in memory, a ground surface and the import log; then
// written as data.dat, ip.dat, topography.topo and import.log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_readings.hpp"
#include "quelby/fielddata/reciprocal_errors.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// The geometric factors of the import's checks (the sign of the apparent resistivities, the
// outlier test): the file's convention (flat, and automatic), or the forward model's numeric
// factor over the ground (numeric). Resistances are always made with the file's own convention:
// its K column, else the flat-surface K of the positions it records.
enum class GeometricFactorChoice { automatic, flat, numeric };

struct ImportOptions {
  std::optional<FieldFormat> format;  // none: told from the content
  double spacing = 1;                 // m between numbered electrodes of a protocol file
  std::vector<std::string> columns;   // the values of a protocol file (read_protocol_file)
  GeometricFactorChoice geometric_factors = GeometricFactorChoice::automatic;
  // A table of electrodes (electrode_table.hpp) that places the file's electrodes; empty: none.
  std::string electrodes;
  // The unit of IP values whose file does not state it (default: a phase in mrad).
  std::optional<ChargeabilityUnit> ip_unit;
  bool ignore_file_errors = false;  // leave out the file's standard deviations

  // Standard deviations: percent / 100 |R| + floor (ohms) + voltage floor (V) / |I| (where the
  // current is known); for IP percent / 100 |m| + floor (mV/V). Zero: not used.
  double error_percent = 0, error_floor = 0, error_voltage = 0;
  double ip_error_percent = 0, ip_error_floor = 0;
  // Pair normal and reciprocal readings and fit an error model to them.
  bool reciprocal = false;
  bool drop_unpaired = false;  // with reciprocal: drop data without a reciprocal

  // Filters; none where not given.
  std::optional<double> max_reciprocal_error;  // percent of the pair's mean |R|
  std::vector<double> drop_electrodes;         // x (m) of electrodes whose readings are dropped
  std::optional<double> max_deviation;         // stacking deviation, percent
  std::optional<double> min_current;           // A
  std::optional<double> min_voltage;           // V
  bool keep_negative = false;                  // keep negative apparent resistivities
  bool keep_zero_current = false;  // keep readings with no current (or below the resolution)
  std::optional<double> max_geometric_factor;         // m: drop data whose |K| is larger
  std::optional<std::pair<double, double>> ip_range;  // drop IP values outside, output unit
  bool drop_outliers = false;                         // drop the data the local median test finds
  double outlier_threshold = 4;  // the local median test's threshold, in robust deviations
};

// Normal and reciprocal readings of the pairs (in the order of the data), for the pictures.
struct ReciprocalPairs {
  std::vector<double> mean;       // the datum, ohms
  std::vector<double> error;      // |R_n - R_r|, ohms
  std::vector<std::size_t> line;  // 1-based lines of the normal and of the reciprocal reading
  std::vector<std::size_t> reciprocal_line;
  std::vector<double> chargeability_error;  // |m_n - m_r|, NaN without IP
  ErrorFit fit, chargeability_fit;
};

struct ImportResult {
  FieldFormat format = FieldFormat::unified;
  SurveyData data;  // DC: signed resistances, ohms, in the order of their first readings
  bool data_stds = false;
  std::optional<SurveyData> ip;  // apparent chargeabilities (IPTYPE 1) where the file gives them
  bool ip_stds = false;
  std::string chargeability_unit;  // "mV/V", or the file's unit where none converts it
  // The ground under the electrodes, when their elevations differ: points in increasing x.
  std::vector<double> topography_x, topography_elevation;
  double reference_elevation = 0;  // the highest elevation (z = reference - elevation)
  ReciprocalPairs pairs;
  // Readings dropped, by reason, in the order each reason first occurred.
  std::vector<std::pair<std::string, std::size_t>> dropped;
  std::string log;              // the import log's text
  std::string source;           // the input file's name
  std::string electrode_table;  // the electrode table's name, or empty
  // Buried electrodes: the stores then hold z positions (z = reference_elevation - elevation, m,
  // down) and data.dat and ip.dat are written in the common-current layout with z after every x,
  // for quelby-mesh --z and quelby-invert --z.
  bool buried = false;
  // One line per check that fired, as the command prints them.
  std::vector<std::string> warnings;
};

// Imports `input`. Writes the import log's text to io.log as well; every failure writes its
// message and throws Stop. Linear in readings, plus one forward run for numeric geometric factors.
ImportResult import_field_data(const Io& io, std::string_view input, const ImportOptions& options);

// Writes the files of an import into `folder` (made when missing): data.dat, ip.dat when there is
// IP, topography.topo when there is a ground, import.log; each atomically. A folder that holds the
// input file or the electrode table is refused. A file of an earlier import that this one does
// not write (ip.dat, topography.topo) is removed only when it was written by an import; any other
// file of that name is left as it is and the log says so.
void write_import(const Io& io, std::string_view folder, const ImportResult& result);

}  // namespace quelby
