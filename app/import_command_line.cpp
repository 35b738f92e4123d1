#include "app/import_command_line.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "app/option_scanner.hpp"

namespace quelby {

namespace {

constexpr std::string_view usage_text =
    "\nUsage: quelby-import [--format NAME] [--spacing M] [--reciprocal] [--error PCT]\n"
    "                     [--error-floor OHMS] [--error-voltage VOLTS] [options] INPUT OUTDIR\n"
    "       quelby-import [--3d] [--line-offset DY] [options] INPUT... OUTDIR\n";

constexpr std::string_view help_text =
    "Usage: quelby-import [options] INPUT OUTDIR\n"
    "       quelby-import [--3d] [--line-offset DY] [options] INPUT... OUTDIR\n"
    "       quelby-import -h | --help | --version\n"
    "\n"
    "Reads a field data file, tells its format from its content, and writes into OUTDIR:\n"
    "data.dat (the DC data in the general layout: A B M N, the signed resistance in ohms and,\n"
    "where known, its standard deviation), ip.dat (apparent chargeabilities in mV/V) when the\n"
    "file holds IP, topography.topo when the electrodes' elevations differ, and import.log\n"
    "(what was read, every reading dropped and why, the error model).\n"
    "Electrodes spread across the ground in x and y (a grid, parallel lines), several INPUT\n"
    "files, or --3d make a 3-D survey instead: survey3d.dat (GENERAL_3D: per datum x y z of\n"
    "A, B, M and N, z = highest elevation - elevation, the resistance and its standard\n"
    "deviation), ip3d.dat when the files hold IP, and import.log.\n"
    "\n"
    "Formats:\n"
    "  unified     the unified data format (.ohm, .dat, .shm)\n"
    "  dat2d       the 2-D .dat format with array codes 1 to 7 and 11 (title, spacing, code)\n"
    "  syscal      a Syscal Pro text or CSV export (Spa.1 ... or xA ..., Rho, Dev., M, Vp, In)\n"
    "  syscal-binary  a Syscal Pro binary file (.bin, .binx)\n"
    "  terrameter  an ABEM Terrameter LS exported text (A(x) ..., R(Ohm), I(mA), Var(%))\n"
    "  protocol    a four-electrode protocol.dat (count; number, A, B, M, N, values)\n"
    "  sting       a SuperSting file (.stg)\n"
    "  lund        an ABEM Lund file (.ohm)\n"
    "  lippmann    a Lippmann file (.tx0)\n"
    "  ares        an ARES II file (.2dm)\n"
    "  das1        a DAS-1 file (.data)\n"
    "  electra     an Electra file (.ele)\n"
    "  prime       a BGS PRIME file (.dat, .tab)\n"
    "  ohmpi       an OhmPi file (.csv)\n"
    "\n"
    "Options:\n"
    "  --format NAME           read INPUT as this format (default: told from its content)\n"
    "  --electrodes FILE       a table of the electrodes (label or number, x, [y,] z, [buried,\n"
    "                          [remote]]) that places the file's electrodes and gives the ground\n"
    "  --spacing M             electrode spacing of a protocol file, m (default 1)\n"
    "  --columns LIST          the values of a protocol file after its electrodes, among r, err,\n"
    "                          rhoa, ip, iperr, skip (default by their count: r; r,err;\n"
    "                          r,ip,err,iperr)\n"
    "  --ip-unit UNIT          the unit of IP values whose file does not state it: mV/V, %, ms\n"
    "                          or mrad (default mrad, a phase, said in the log)\n"
    "  --ignore-file-errors    leave out the file's standard deviations\n"
    "  --geometric-factor K    flat (default, as auto) or numeric: the K of the checks' apparent\n"
    "                          resistivities; resistances are always made with the file's own\n"
    "                          convention (its K, else the flat-surface K of its positions)\n"
    "  --error PCT             standard deviation PCT % of |R| ...\n"
    "  --error-floor OHMS      ... plus OHMS ...\n"
    "  --error-voltage VOLTS   ... plus VOLTS / |I| where the file gives the current\n"
    "  --ip-error PCT          IP standard deviation PCT % of |m| ...\n"
    "  --ip-error-floor MVV    ... plus MVV (mV/V)\n"
    "  --reciprocal            pair normal and reciprocal readings: the pair's mean is the datum,\n"
    "                          e = |Rn - Rr| its error; fit e = a + b|R| and e = a|R|^b over bins\n"
    "                          of pairs, keep the better, give every datum its standard\n"
    "                          deviation (the larger of the model and --error's, when given)\n"
    "  --drop-unpaired         with --reciprocal: drop data without a reciprocal (default: kept)\n"
    "  --max-reciprocal-error PCT\n"
    "                          drop pairs whose |Rn - Rr| is more than PCT % of their mean\n"
    "  --drop-electrode X      drop every reading that uses the electrode at x = X m\n"
    "                          (repeatable)\n"
    "  --max-deviation PCT     drop readings whose stacking deviation is above PCT %\n"
    "  --min-current A         drop readings whose current is below A amperes\n"
    "  --min-voltage V         drop readings whose voltage is below V volts\n"
    "  --keep-negative         keep negative apparent resistivities (default: dropped)\n"
    "  --keep-zero-current     keep readings with no current or one below the instrument's\n"
    "                          resolution (default: dropped)\n"
    "  --max-geometric-factor K\n"
    "                          drop data whose |K| is above K metres\n"
    "  --ip-range MIN,MAX      drop IP values outside MIN..MAX (in the unit of ip.dat); the DC\n"
    "                          datum stays\n"
    "  --drop-outliers         drop the data the local median test of the pseudosection finds\n"
    "  --outlier-threshold T   that test's threshold in robust deviations (default 4)\n"
    "  --quiet-checks          do not print the checks' warnings (import.log keeps them)\n"
    "  --3d                    write a 3-D survey file even where the electrodes stand on a line\n"
    "  --2d                    import a 2-D line only (electrodes spread in y are refused)\n"
    "  --survey-name NAME      the 3-D survey file's name in OUTDIR (default survey3d.dat)\n"
    "  --line-offset DY        with several INPUT files: the k-th (from 0) placed at y + k DY m\n"
    "                          (parallel 2-D lines, one a file; default 0)\n"
    "  -h, --help              print this help and exit\n"
    "  --version               print the version and exit\n"
    "\n"
    "Apparent resistivities become resistances by the file's own K, else by the flat-surface K\n"
    "of the positions the file records (distances along the ground where it records them so).\n"
    "Checks (standard deviations, negative values, large K, outliers, bad electrodes) go into\n"
    "import.log; each that fires prints a warning line.\n"
    "Duplicate readings are averaged. Remote electrodes (the file's, or electrodes set apart\n"
    "from the line by more than 5 times its length) are written as poles: B = A, N = M.\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby-import\n";

constexpr std::array<OptionSpec, 31> options = {{{"--format", "a format name"},
                                                 {"--3d", ""},
                                                 {"--2d", ""},
                                                 {"--survey-name", "a file name"},
                                                 {"--line-offset", "a distance in metres"},
                                                 {"--electrodes", "a file name"},
                                                 {"--columns", "a list of column names"},
                                                 {"--ip-unit", "mV/V, %, ms or mrad"},
                                                 {"--ignore-file-errors", ""},
                                                 {"--keep-zero-current", ""},
                                                 {"--max-geometric-factor", "a factor in metres"},
                                                 {"--ip-range", "MIN,MAX"},
                                                 {"--drop-outliers", ""},
                                                 {"--outlier-threshold", "a number"},
                                                 {"--quiet-checks", ""},
                                                 {"--spacing", "a spacing in metres"},
                                                 {"--geometric-factor", "flat, numeric or auto"},
                                                 {"--error", "a percentage"},
                                                 {"--error-floor", "a resistance in ohms"},
                                                 {"--error-voltage", "a voltage in volts"},
                                                 {"--ip-error", "a percentage"},
                                                 {"--ip-error-floor", "a chargeability"},
                                                 {"--reciprocal", ""},
                                                 {"--drop-unpaired", ""},
                                                 {"--max-reciprocal-error", "a percentage"},
                                                 {"--drop-electrode", "a position in metres"},
                                                 {"--max-deviation", "a percentage"},
                                                 {"--min-current", "a current in amperes"},
                                                 {"--min-voltage", "a voltage in volts"},
                                                 {"--keep-negative", ""}}};

bool parse_whole(std::string_view text, double& value) {
  const char* const end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end && std::isfinite(value);
}

}  // namespace

ImportArguments parse_import_command_line(const Io& io, int argc, const char* const* argv) {
  const CommandText text{"quelby-import", usage_text, help_text};
  const ScannedLine line = scan_command_line(io, text, options, 2, argc, argv,
                                             static_cast<std::size_t>(std::max(argc, 2)));
  const auto refuse = [&](std::string_view option, std::string_view what, std::string_view given) {
    command_usage_error(io, text,
                        "quelby-import: option '" + std::string(option) + "' needs " +
                            std::string(what) + ", not '" + std::string(given) + "'");
  };
  // A number of the option, which must be positive (or, with `zero`, 0 or more).
  const auto value_of = [&](std::string_view option, std::string_view what, bool zero,
                            const std::string& given) {
    double value = 0;
    if (!parse_whole(given, value) || value < 0 || (!zero && value == 0)) {
      refuse(option, what, given);
    }
    return value;
  };
  // An option given twice is a mistake, not a choice of the last one (--drop-electrode aside).
  for (std::size_t i = 0; i < line.given.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (line.given[i].first == line.given[j].first && line.given[i].first != "--drop-electrode") {
        command_usage_error(io, text,
                            "quelby-import: option '" + line.given[i].first + "' is given twice");
      }
    }
  }
  ImportArguments arguments;
  ImportOptions& chosen = arguments.options;
  if (const auto given = line.value("--electrodes")) chosen.electrodes = *given;
  if (const auto given = line.value("--columns")) {
    std::string name;
    for (const char c : *given + ",") {
      if (c == ',' || c == ' ') {
        if (name.empty()) continue;
        if (name != "r" && name != "err" && name != "rhoa" && name != "ip" && name != "iperr" &&
            name != "skip") {
          refuse("--columns", "names among r, err, rhoa, ip, iperr, skip", *given);
        }
        chosen.columns.push_back(name);
        name.clear();
      } else {
        name += c;
      }
    }
    if (chosen.columns.empty())
      refuse("--columns", "names among r, err, rhoa, ip, iperr, skip", *given);
  }
  if (const auto given = line.value("--ip-unit")) {
    const std::string unit = *given;
    if (unit == "mV/V" || unit == "mv/v") {
      chosen.ip_unit = ChargeabilityUnit::millivolt_per_volt;
    } else if (unit == "%") {
      chosen.ip_unit = ChargeabilityUnit::percent;
    } else if (unit == "ms" || unit == "msec") {
      chosen.ip_unit = ChargeabilityUnit::milliseconds;
    } else if (unit == "mrad") {
      chosen.ip_unit = ChargeabilityUnit::milliradians;
    } else {
      refuse("--ip-unit", "mV/V, %, ms or mrad", unit);
    }
  }
  chosen.ignore_file_errors = line.has("--ignore-file-errors");
  chosen.keep_zero_current = line.has("--keep-zero-current");
  chosen.drop_outliers = line.has("--drop-outliers");
  arguments.quiet_checks = line.has("--quiet-checks");
  if (const auto given = line.value("--max-geometric-factor")) {
    chosen.max_geometric_factor =
        value_of("--max-geometric-factor", "a positive number of metres", false, *given);
  }
  if (const auto given = line.value("--outlier-threshold")) {
    chosen.outlier_threshold = value_of("--outlier-threshold", "a positive number", false, *given);
  }
  if (const auto given = line.value("--ip-range")) {
    const std::size_t comma = given->find(',');
    double low = 0, high = 0;
    if (comma == std::string::npos || !parse_whole(given->substr(0, comma), low) ||
        !parse_whole(given->substr(comma + 1), high) || !(low < high)) {
      refuse("--ip-range", "MIN,MAX with MIN below MAX", *given);
    }
    chosen.ip_range = std::make_pair(low, high);
  }
  if (const auto given = line.value("--format")) {
    chosen.format = format_from_name(*given);
    if (!chosen.format) {
      refuse("--format",
             "one of unified, dat2d, syscal, terrameter, protocol, syscal-binary, sting, lund, "
             "lippmann, ares, das1, electra, prime, ohmpi",
             *given);
    }
  }
  if (const auto given = line.value("--spacing")) {
    chosen.spacing = value_of("--spacing", "a positive number of metres", false, *given);
    // Electrodes closer than a micrometre cannot be told apart by any mesh.
    if (chosen.spacing < 1e-6) refuse("--spacing", "a spacing of 1e-6 m or more", *given);
  }
  if (const auto given = line.value("--geometric-factor")) {
    if (*given == "flat") {
      chosen.geometric_factors = GeometricFactorChoice::flat;
    } else if (*given == "numeric") {
      chosen.geometric_factors = GeometricFactorChoice::numeric;
    } else if (*given != "auto") {
      refuse("--geometric-factor", "flat, numeric or auto", *given);
    }
  }
  const std::pair<const char*, double ImportOptions::*> amounts[] = {
      {"--error", &ImportOptions::error_percent},
      {"--error-floor", &ImportOptions::error_floor},
      {"--error-voltage", &ImportOptions::error_voltage},
      {"--ip-error", &ImportOptions::ip_error_percent},
      {"--ip-error-floor", &ImportOptions::ip_error_floor}};
  for (const auto& [option, field] : amounts) {
    if (const auto given = line.value(option)) {
      chosen.*field = value_of(option, "a number of 0 or more", true, *given);
    }
  }
  const std::pair<const char*, std::optional<double> ImportOptions::*> limits[] = {
      {"--max-reciprocal-error", &ImportOptions::max_reciprocal_error},
      {"--max-deviation", &ImportOptions::max_deviation},
      {"--min-current", &ImportOptions::min_current},
      {"--min-voltage", &ImportOptions::min_voltage}};
  for (const auto& [option, field] : limits) {
    if (const auto given = line.value(option)) {
      chosen.*field = value_of(option, "a positive number", false, *given);
    }
  }
  for (const std::string& given : line.all("--drop-electrode")) {
    double x = 0;
    if (!parse_whole(given, x)) refuse("--drop-electrode", "a position in metres", given);
    chosen.drop_electrodes.push_back(x);
  }
  chosen.reciprocal = line.has("--reciprocal");
  chosen.drop_unpaired = line.has("--drop-unpaired");
  chosen.keep_negative = line.has("--keep-negative");
  if (chosen.drop_unpaired && !chosen.reciprocal) {
    command_usage_error(io, text, "quelby-import: --drop-unpaired needs --reciprocal");
  }
  if (line.has("--3d") && line.has("--2d")) {
    command_usage_error(io, text, "quelby-import: --3d and --2d exclude each other");
  }
  if (line.has("--3d")) arguments.dimension = ImportArguments::Dimension::three;
  if (line.has("--2d")) arguments.dimension = ImportArguments::Dimension::two;
  if (const auto given = line.value("--survey-name")) {
    if (given->empty() || given->find('/') != std::string::npos) {
      refuse("--survey-name", "a file name without a folder", *given);
    }
    arguments.survey_name = *given;
  }
  if (const auto given = line.value("--line-offset")) {
    if (!parse_whole(*given, arguments.line_offset)) {
      refuse("--line-offset", "a distance in metres", *given);
    }
  }
  arguments.input = line.positional[0];
  arguments.more_inputs.assign(line.positional.begin() + 1, line.positional.end() - 1);
  arguments.folder = line.positional.back();
  if (!arguments.more_inputs.empty() && arguments.dimension == ImportArguments::Dimension::two) {
    command_usage_error(io, text, "quelby-import: several inputs make a 3-D survey, not --2d");
  }
  return arguments;
}

}  // namespace quelby
