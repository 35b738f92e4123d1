#include "app/import_command_line.hpp"

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
    "                     [--error-floor OHMS] [--error-voltage VOLTS] [options] INPUT OUTDIR\n";

constexpr std::string_view help_text =
    "Usage: quelby-import [options] INPUT OUTDIR\n"
    "       quelby-import -h | --help | --version\n"
    "\n"
    "Reads a field data file, tells its format from its content, and writes into OUTDIR:\n"
    "data.dat (the DC data in the general layout: A B M N, the signed resistance in ohms and,\n"
    "where known, its standard deviation), ip.dat (apparent chargeabilities in mV/V) when the\n"
    "file holds IP, topography.topo when the electrodes' elevations differ, and import.log\n"
    "(what was read, every reading dropped and why, the error model).\n"
    "\n"
    "Formats:\n"
    "  unified     the unified data format (.ohm, .dat, .shm)\n"
    "  dat2d       the 2-D .dat format with array codes 1 to 7 and 11 (title, spacing, code)\n"
    "  syscal      a Syscal Pro text or CSV export (Spa.1 ... or xA ..., Rho, Dev., M, Vp, In)\n"
    "  terrameter  an ABEM Terrameter LS exported text (A(x) ..., R(Ohm), I(mA), Var(%))\n"
    "  protocol    a four-electrode protocol.dat (count; number, A, B, M, N, R, error)\n"
    "\n"
    "Options:\n"
    "  --format NAME           read INPUT as this format (default: told from its content)\n"
    "  --spacing M             electrode spacing of a protocol file, m (default 1)\n"
    "  --geometric-factor K    flat, numeric or auto (default): the K that turns apparent\n"
    "                          resistivities into resistances where the file gives none; auto\n"
    "                          is flat on flat ground, the forward model's over topography\n"
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
    "  -h, --help              print this help and exit\n"
    "  --version               print the version and exit\n"
    "\n"
    "Duplicate readings are averaged. Remote electrodes (the file's, or electrodes set apart\n"
    "from the line by more than 5 times its length) are written as poles: B = A, N = M.\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby-import\n";

constexpr std::array<OptionSpec, 16> options = {{{"--format", "a format name"},
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
  const ScannedLine line = scan_command_line(io, text, options, 2, argc, argv);
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
  ImportArguments arguments;
  ImportOptions& chosen = arguments.options;
  if (const auto given = line.value("--format")) {
    chosen.format = format_from_name(*given);
    if (!chosen.format) {
      refuse("--format", "one of unified, dat2d, syscal, terrameter, protocol", *given);
    }
  }
  if (const auto given = line.value("--spacing")) {
    chosen.spacing = value_of("--spacing", "a positive number of metres", false, *given);
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
  arguments.input = line.positional[0];
  arguments.folder = line.positional[1];
  return arguments;
}

}  // namespace quelby
