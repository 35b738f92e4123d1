// The readings of a field data file as its reader leaves them: per reading the positions of its
// four electrodes (a missing or remote one flagged), the values the file gives in SI units
// (resistance, apparent resistivity, geometric factor, current, voltage, stacking deviation,
// standard deviation, chargeability) and the 1-based line it came from; the format's extra
// topography points and what the reader noted for the import log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// The formats quelby-import reads.
enum class FieldFormat {
  unified,
  dat2d,
  syscal,
  terrameter,
  protocol,
  syscal_binary,  // Syscal Pro binary (.bin, .binx)
  sting,          // SuperSting (.stg)
  lund,           // ABEM Lund (.ohm, .OHM)
  lippmann,       // Lippmann (.tx0)
  ares,           // ARES II (.2dm)
  das1,           // DAS-1 (.data)
  electra,        // Electra (.ele)
  prime,          // BGS PRIME (.dat, .tab)
  ohmpi,          // OhmPi (.csv)
};

// The name --format takes ("unified", "dat2d", "syscal", "terrameter", "protocol",
// "syscal-binary", "sting", "lund", "lippmann", "ares", "das1", "electra", "prime", "ohmpi").
std::string_view format_name(FieldFormat format);
// What the import log calls it ("the unified data format (.ohm, .dat, .shm)", ...).
std::string_view format_title(FieldFormat format);
// The format of a --format name, or nothing.
std::optional<FieldFormat> format_from_name(std::string_view name);
// Every format, in the order detection tries them.
// Formats with a signature of their own come before the general layouts, whose signatures are
// loose (a count on line 1, a number on line 2).
inline constexpr std::array<FieldFormat, 14> all_field_formats = {
    FieldFormat::syscal_binary, FieldFormat::prime,   FieldFormat::ohmpi, FieldFormat::sting,
    FieldFormat::lippmann,      FieldFormat::ares,    FieldFormat::das1,  FieldFormat::electra,
    FieldFormat::unified,       FieldFormat::dat2d,   FieldFormat::lund,  FieldFormat::syscal,
    FieldFormat::terrameter,    FieldFormat::protocol};

inline constexpr double not_given = std::numeric_limits<double>::quiet_NaN();

// The electrodes of a reading, in this order.
enum ElectrodeRole : std::size_t {
  electrode_a = 0,
  electrode_b = 1,
  electrode_m = 2,
  electrode_n = 3
};

// One electrode of a reading: x along the line (m), y across it (m; 0 on a 2-D line), its
// elevation (m, up; not_given when the file gives none) and the file's number of it (1-based; 0
// where the file gives positions only), by which an electrode table (--electrodes) places it.
// `present` is false for the electrode a pole does not use (the file leaves it out or marks it
// remote): the datum is then that of the other electrode of its pair alone. `buried` marks an
// electrode below the ground (a borehole, a river bed), its elevation its own, not the ground's.
struct FieldElectrode {
  double x = 0;
  double elevation = not_given;
  bool present = true;
  double y = 0;
  std::int32_t number = 0;
  bool buried = false;
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
  // False where the file holds IP values but does not say their unit: the import then takes
  // --ip-unit, or its default, and says so.
  bool chargeability_unit_stated = true;
  // True where the file records x as the distance along the ground (the 2-D .dat format's
  // topography block of type 2): the import computes geometric factors from these distances and
  // turns them into horizontal positions with the ground's elevations.
  bool x_along_ground = false;
  // The smallest current the instrument resolves (A); readings below it carry no datum.
  double current_resolution = not_given;
  // Where the file places its remote current and potential electrodes (x, y, z, m), and whether
  // its apparent resistivities were computed with them there (else as poles at infinity).
  std::optional<std::array<double, 3>> remote_current, remote_potential;
  bool remote_in_factor = false;
  // How the messages name the column of the standard deviations ("column 7 (err)"); empty: "the
  // file's error column".
  std::string error_column;
};

// A file whose IP values are all zero (or absent) holds no IP: its chargeabilities become
// not_given, its unit none, and `note` goes into its notes. True where it did. Linear in readings.
bool clear_zero_chargeabilities(FieldSurvey& survey, std::string_view note);

}  // namespace quelby
