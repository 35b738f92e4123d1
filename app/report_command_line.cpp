#include "app/report_command_line.hpp"

#include <string_view>

#include "quelby/base/blanks.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"

namespace quelby {
namespace {

constexpr std::string_view usage_text = "\nUsage: quelby-report [--out FILE] OUTDIR\n";

constexpr std::string_view help_text =
    "Usage: quelby-report [--out FILE] OUTDIR\n"
    "       quelby-report -h | --help | --version\n"
    "\n"
    "Writes the report of the finished run folder OUTDIR of quelby-invert (a 2-D run, a 2-D\n"
    "time-lapse campaign or a 3-D run, with IP and the depth of investigation where the run\n"
    "made them) as one self-contained web page: the survey and its pseudosections of the\n"
    "observed data, the predicted data and the misfit, the import's error model, the sections,\n"
    "the convergence and how to run it again. Every picture is inside the page; it needs no\n"
    "network.\n"
    "\n"
    "Options:\n"
    "  --out FILE   the page's file (default: OUTDIR/report.html)\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "A folder of an older run without its copies of the mesh, the observed data and the\n"
    "topography is read through the file names of its run.log (relative to the folder's\n"
    "parent, then to the current folder).\n"
    "Exit status: 0 written, 1 an error message was printed (no such folder, not a run folder,\n"
    "a file the report needs is missing or damaged), 2 a usage error.\n"
    "The manual page: man 1 quelby-report\n";

[[noreturn]] void usage_error(const Io& io, std::string_view line) {
  write_message(io, Order::error_only, "quelby-report: " + std::string(line) + '\n');
  stop_with(io, Order::console_only, usage_text, exit_usage);
}

}  // namespace

ReportArguments parse_report_command_line(const Io& io, int argc, const char* const* argv) {
  ReportArguments arguments;
  bool options_ended = false, has_folder = false, has_out = false;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (!options_ended && argument == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || !argument.starts_with("-") || argument == "-") {
      if (has_folder) usage_error(io, "one run folder at most");
      arguments.folder = std::string(trim_trailing_blanks(argument));
      has_folder = true;
      continue;
    }
    if (argument == "-h" || argument == "--help")
      stop_with(io, Order::console_only, help_text, exit_success);
    if (argument == "--version")
      stop_with(io, Order::console_only, "quelby-report " + std::string(version) + '\n',
                exit_success);
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name != "--out") usage_error(io, "unknown option '" + std::string(argument) + "'");
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
    } else if (index + 1 < argc) {
      value = argv[++index];
    }
    value = trim_trailing_blanks(value);
    if (value.empty()) usage_error(io, "option '--out' needs a file name");
    if (has_out) usage_error(io, "option '--out' given twice");
    arguments.out = std::string(value);
    has_out = true;
  }
  if (!has_folder || arguments.folder.empty()) usage_error(io, "the run folder OUTDIR is needed");
  return arguments;
}

}  // namespace quelby
