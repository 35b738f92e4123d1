// The readings of a field data file as its reader leaves them: per reading the positions of its
// four electrodes (a missing or remote one flagged), the values the file gives in SI units
// (resistance, apparent resistivity, geometric factor, current, voltage, stacking deviation,
// standard deviation, chargeability) and the 1-based line it came from; the format's extra
// topography points and what the reader noted for the import log.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// The formats quelby-import reads.
enum class FieldFormat { unified, dat2d, syscal, terrameter, protocol };

// The name --format takes ("unified", "dat2d", "syscal", "terrameter", "protocol").
std::string_view format_name(FieldFormat format);
// What the import log calls it ("the unified data format (.ohm, .dat, .shm)", ...).
std::string_view format_title(FieldFormat format);
// The format of a --format name, or nothing.
std::optional<FieldFormat> format_from_name(std::string_view name);
// Every format, in the order detection tries them.
inline constexpr std::array<FieldFormat, 5> all_field_formats = {
    FieldFormat::unified, FieldFormat::dat2d, FieldFormat::syscal, FieldFormat::terrameter,
    FieldFormat::protocol};

inline constexpr double not_given = std::numeric_limits<double>::quiet_NaN();

// The electrodes of a reading, in this order.
enum ElectrodeRole : std::size_t {
  electrode_a = 0,
  electrode_b = 1,
  electrode_m = 2,
  electrode_n = 3
};

// One electrode of a reading: x along the line (m) and its elevation (m, up; not_given when the
// file gives none). `present` is false for the electrode a pole does not use (the file leaves it
// out or marks it remote): the datum is then that of the other electrode of its pair alone.
struct FieldElectrode {
  double x = 0;
  double elevation = not_given;
  bool present = true;
};

// The unit of the chargeabilities a file holds.
enum class ChargeabilityUnit {
  none,                // the file holds no IP
  millivolt_per_volt,  // mV/V, what quelby inverts
  percent,             // %, 10 mV/V each
  milliseconds,        // an integral chargeability over a window (ms)
  milliradians,        // a phase (mrad), kept as it is
  other,               // a unit quelby does not convert, kept as it is
};

// One reading. Values the file does not give stay not_given; the units are SI whatever the file
// used (the readers convert mA, mV and % of standard deviations).
struct FieldReading {
  std::array<FieldElectrode, 4> electrodes;  // A, B, M, N
  std::size_t line = 0;                      // 1-based line of the file
  double resistance = not_given;             // R = V / I, ohms, signed
  double apparent_resistivity = not_given;   // ohm-m
  double geometric_factor = not_given;       // the file's K, m: rho_a = K R
  double current = not_given;                // A
  double voltage = not_given;                // V
  double deviation = not_given;              // the instrument's stacking deviation, percent
  double relative_error = not_given;         // the file's error as a fraction of the value
  double std = not_given;                    // the file's absolute standard deviation, ohms
  double chargeability = not_given;          // in FieldSurvey::chargeability_unit
  double chargeability_std = not_given;      // same unit
  bool valid = true;                         // false where the file marks the reading invalid
};

// What a reader leaves.
struct FieldSurvey {
  FieldFormat format = FieldFormat::unified;
  std::vector<FieldReading> readings;
  // Points (x, elevation) of the ground surface that the file gives beside its electrodes.
  std::vector<std::array<double, 2>> topography;
  ChargeabilityUnit chargeability_unit = ChargeabilityUnit::none;
  std::string chargeability_unit_text;  // as the file writes it ("mV/V", "msec", "mrad", ...)
  // The integration window of an integral chargeability, s (not_given when the file states none).
  double chargeability_window = not_given;
  // Lines for the import log: what the reader found and how it read the values.
  std::vector<std::string> notes;
};

}  // namespace quelby
