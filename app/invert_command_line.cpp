#include "app/invert_command_line.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "quelby/base/blanks.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/robust_misfit.hpp"

namespace quelby {
namespace {

constexpr std::string_view usage_text =
    "\nUsage: quelby-invert [--mesh FILE] [--data FILE] [--ip-data FILE] [--topography FILE]\n"
    "                     [--error PCT] [--error-floor OHMS] [--ip-error PCT]\n"
    "                     [--ip-error-floor FLOOR] [--out DIR] [--robust[=THRESHOLD]] [--blocky]\n"
    "                     [--memory-budget MIB] [--z] [--doi[=F]] [--parameter-cell mesh|auto|W]\n"
    "                     [--parameters FILE] [--ip-lower-bound V] [--report] [CONTROL]\n";

constexpr std::string_view help_text =
    "Usage: quelby-invert [--mesh FILE] [--data FILE] [--ip-data FILE] [--topography FILE]\n"
    "                     [--error PCT] [--error-floor OHMS] [--ip-error PCT]\n"
    "                     [--ip-error-floor FLOOR] [--out DIR] [--robust[=THRESHOLD]] [--blocky]\n"
    "                     [--memory-budget MIB] [--z] [--doi[=F]] [--parameter-cell mesh|auto|W]\n"
    "                     [--parameters FILE] [--ip-lower-bound V] [--report] [CONTROL]\n"
    "       quelby-invert -h | --help | --version\n"
    "\n"
    "Inverts DC resistivity data for the resistivity of a 2-D section (Gauss-Newton on ln rho),\n"
    "and IP data, on the resistivity found, for the chargeability.\n"
    "\n"
    "Options:\n"
    "  --mesh FILE        the mesh file; without it and without CONTROL, a mesh is made for the\n"
    "                     survey's electrodes and written to DIR/mesh.msh\n"
    "  --data FILE        the DC data file (general or common-current layout)\n"
    "  --ip-data FILE     the IP data file; without a control file, IP is inverted after DC\n"
    "  --topography FILE  the topography file (cells above the ground are no parameters)\n"
    "  --out DIR          the output folder, made when missing (default: .)\n"
    "  --error PCT        standard deviations PCT % of |datum| ...\n"
    "  --error-floor OHMS ... plus OHMS, for a DC data file without them (as data_std;\n"
    "                     default 3 % plus 3 % of the 5th percentile of |datum|)\n"
    "  --ip-error PCT, --ip-error-floor FLOOR\n"
    "                     the same for the IP data file, FLOOR in its unit (as ip_std;\n"
    "                     default 5 % plus 1)\n"
    "  --parameter-cell mesh|auto|W\n"
    "                     the parameters' cells: 'auto' (the default without CONTROL) groups\n"
    "                     the mesh's cells into cells half the electrode spacing wide under\n"
    "                     the electrodes, in layers thickening with depth, written to\n"
    "                     DIR/parameters.msh; W the same W m wide; 'mesh' one parameter per\n"
    "                     mesh cell (as parameter_cell)\n"
    "  --parameters FILE  the parameters' cells from a mesh file whose nodes are mesh nodes\n"
    "                     (as the parameters line; quelby-mesh --parameters writes one)\n"
    "  --ip-lower-bound V the lowest chargeability (default 0; below 0 for IP data that are\n"
    "                     phases or decays of either sign; as ip_lower_bound)\n"
    "  --robust[=T]       a robust data misfit: readings more than T standard deviations (1.5;\n"
    "                     0.1 to 100) off the fit lose weight (Huber's weights), so a few\n"
    "                     spoiled values cannot pull the model\n"
    "  --blocky           a blocky model: sharp boundaries cost less than smooth ones\n"
    "  --memory-budget MIB  the memory in MiB the sensitivities may take (above 0, at most\n"
    "                     2^40; default: half of what is available, which varies from run to\n"
    "                     run); beyond it each step comes from products with them\n"
    "  --z                the data files, in the common-current layout, carry a z position\n"
    "                     after every x (buried electrodes; as use_z)\n"
    "  --doi[=F]          the depth of investigation (as doi, doi_factor F): after the run, the\n"
    "                     DC data inverted twice more with the reference / sqrt(F) and\n"
    "                     * sqrt(F) (F 10 when not given), in DIR/doi_low/ and DIR/doi_high/;\n"
    "                     DIR/doi.mod holds their index per cell, 0 where the data fix the\n"
    "                     model to 1 where the reference does (-1: no parameter; 0.2 the\n"
    "                     usual threshold); not for a time-lapse run or IP alone\n"
    "  --report           at the end of the run, also after one that stopped, DIR/report.html:\n"
    "                     the run's report as one self-contained web page (as the control\n"
    "                     line report; quelby-report DIR writes it for a finished folder)\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "Without CONTROL, --data is needed and every other choice takes its default: the mesh\n"
    "quelby-mesh makes for the survey (under the topography's ground), the default parameter\n"
    "grid, its length scales, the median apparent resistivity as starting and reference model,\n"
    "chifact 1, at most 20 iterations. CONTROL sets everything (see doc/formats.md); an option\n"
    "given beside it replaces its line. Its lines 'timelapse_step FILE' (one per later step, in\n"
    "time order) make a time-lapse inversion of the data file (the baseline) and the steps:\n"
    "DIR/step_K/ holds each step's files, change.mod its change in percent, DIR/timelapse.txt\n"
    "the summary; a step that fails is reported and the others go on (then exit status 1).\n"
    "\n"
    "Written in DIR: model_K.mod per iteration, model.mod, predicted.dat, history.txt and the\n"
    "run log run.log (for IP also eta_K.mod, eta.mod, predicted_ip.dat, history_ip.txt; the\n"
    "mesh made for the survey mesh.msh; with --doi doi.mod, doi_low/ and doi_high/). The run\n"
    "keeps its inputs there too: mesh.msh (the forward mesh), observed.dat and observed_ip.dat\n"
    "(the data as inverted), topography.topo, import.log (beside the data file), control.inv,\n"
    "command.txt (the command as given), and the control file's other input files in inputs/\n"
    "with rerun.inv, the control file that names them there.\n"
    "Exit status: 0 inverted, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby-invert\n";

[[noreturn]] void usage_error(const Io& io, std::string_view line) {
  write_message(io, Order::error_only, "quelby-invert: " + std::string(line) + '\n');
  stop_with(io, Order::console_only, usage_text, exit_usage);
}

}  // namespace

InvertArguments parse_invert_command_line(const Io& io, int argc, const char* const* argv) {
  InvertArguments arguments;
  bool options_ended = false;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (!options_ended && argument == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || !argument.starts_with("-")) {
      if (arguments.control) usage_error(io, "one control file at most");
      arguments.control = std::string(trim_trailing_blanks(argument));
      continue;
    }
    if (argument == "-h") stop_with(io, Order::console_only, help_text, exit_success);
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name == "--help" || name == "--version") {
      if (equals != std::string_view::npos)
        usage_error(io, "option '" + std::string(name) + "' takes no value");
      if (name == "--help") stop_with(io, Order::console_only, help_text, exit_success);
      stop_with(io, Order::console_only, "quelby-invert " + std::string(version) + '\n',
                exit_success);
    }
    std::optional<double>* amount = name == "--error"            ? &arguments.error_percent
                                    : name == "--error-floor"    ? &arguments.error_floor
                                    : name == "--ip-error"       ? &arguments.ip_error_percent
                                    : name == "--ip-error-floor" ? &arguments.ip_error_floor
                                                                 : nullptr;
    if (amount != nullptr) {
      std::string_view value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (index + 1 < argc) {
        value = argv[++index];
      }
      double number = 0;
      const char* const end = value.data() + value.size();
      const auto parsed = std::from_chars(value.data(), end, number);
      if (value.empty() || parsed.ec != std::errc() || parsed.ptr != end || !(number >= 0) ||
          !std::isfinite(number)) {
        usage_error(io, "option '" + std::string(name) + "' needs a number of 0 or more, not '" +
                            std::string(value) + "'");
      }
      if (amount->has_value()) usage_error(io, "option '" + std::string(name) + "' given twice");
      *amount = number;
      continue;
    }
    if (name == "--ip-lower-bound" || name == "--memory-budget") {
      std::string_view value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (index + 1 < argc) {
        value = argv[++index];
      }
      if (name == "--memory-budget") {
        const std::optional<std::size_t> bytes = parse_memory_budget(value);
        if (!bytes) {
          usage_error(io, "option '--memory-budget' needs " + memory_budget_range() + ", not '" +
                              std::string(value) + "'");
        }
        if (arguments.memory_budget) usage_error(io, "option '--memory-budget' given twice");
        arguments.memory_budget = *bytes;
        continue;
      }
      double number = 1;
      const char* const end = value.data() + value.size();
      const auto parsed = std::from_chars(value.data(), end, number);
      if (value.empty() || parsed.ec != std::errc() || parsed.ptr != end || !(number <= 0) ||
          !std::isfinite(number)) {
        usage_error(io, "option '--ip-lower-bound' needs a number of 0 or less, not '" +
                            std::string(value) + "'");
      }
      if (arguments.ip_lower_bound) usage_error(io, "option '--ip-lower-bound' given twice");
      arguments.ip_lower_bound = number;
      continue;
    }
    if (name == "--blocky" || name == "--z" || name == "--report") {
      if (equals != std::string_view::npos)
        usage_error(io, "option '" + std::string(name) + "' takes no value");
      (name == "--z"        ? arguments.use_z
       : name == "--report" ? arguments.report
                            : arguments.blocky) = true;
      continue;
    }
    if (name == "--doi") {
      arguments.doi = true;
      if (equals != std::string_view::npos) {
        const std::string text(trim_trailing_blanks(argument.substr(equals + 1)));
        char* end = nullptr;
        const double factor = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(factor > 1) || !std::isfinite(factor)) {
          usage_error(io, "option '--doi' takes a factor above 1: '" + text + "'");
        }
        arguments.doi_factor = factor;
      }
      continue;
    }
    if (name == "--robust") {
      arguments.robust = true;
      if (equals != std::string_view::npos) {
        const std::string text(trim_trailing_blanks(argument.substr(equals + 1)));
        char* end = nullptr;
        const double threshold = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !sound_robust_threshold(threshold)) {
          usage_error(io, "option '--robust' takes a threshold " + robust_threshold_range() +
                              ": '" + text + "'");
        }
        arguments.robust_threshold = threshold;
      }
      continue;
    }
    std::optional<std::string>* target = name == "--mesh"             ? &arguments.mesh
                                         : name == "--data"           ? &arguments.data
                                         : name == "--ip-data"        ? &arguments.ip_data
                                         : name == "--topography"     ? &arguments.topography
                                         : name == "--out"            ? &arguments.out
                                         : name == "--parameters"     ? &arguments.parameters
                                         : name == "--parameter-cell" ? &arguments.parameter_cell
                                                                      : nullptr;
    if (target == nullptr) usage_error(io, "unknown option '" + std::string(argument) + "'");
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
    } else if (index + 1 < argc) {
      value = argv[++index];
    }
    value = trim_trailing_blanks(value);
    if (value.empty()) {
      usage_error(io, "option '" + std::string(name) +
                          (name == "--out" ? "' needs a folder" : "' needs a file name"));
    }
    if (target->has_value()) usage_error(io, "option '" + std::string(name) + "' given twice");
    *target = std::string(value);
  }
  if (arguments.parameter_cell) {
    const std::string_view given = *arguments.parameter_cell;
    double width = 0;
    const auto parsed = std::from_chars(given.data(), given.data() + given.size(), width);
    if (given != "mesh" && given != "auto" &&
        (parsed.ec != std::errc() || parsed.ptr != given.data() + given.size() || !(width > 0) ||
         !std::isfinite(width))) {
      usage_error(io, "option '--parameter-cell' needs mesh, auto or a positive width, not '" +
                          std::string(given) + "'");
    }
    if (arguments.parameters)
      usage_error(io, "--parameter-cell and --parameters exclude each other");
  }
  if (!arguments.control && !arguments.data) {
    usage_error(io, "without a control file, --data is needed");
  }
  if (arguments.error_percent.value_or(0) == 0 && arguments.error_floor.value_or(0) == 0 &&
      (arguments.error_percent || arguments.error_floor)) {
    usage_error(io, "--error and --error-floor must not both be 0");
  }
  if (arguments.ip_error_percent.value_or(0) == 0 && arguments.ip_error_floor.value_or(0) == 0 &&
      (arguments.ip_error_percent || arguments.ip_error_floor)) {
    usage_error(io, "--ip-error and --ip-error-floor must not both be 0");
  }
  return arguments;
}

}  // namespace quelby
