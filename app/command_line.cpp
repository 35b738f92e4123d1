#include "app/command_line.hpp"

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"

namespace quelby {

namespace {

constexpr std::string_view usage_text = "\nUsage: quelby  mesh inmodel outmodel cycles\n";

constexpr std::string_view help_text =
    "Usage: quelby [--topography FILE] [--active FILE] [--details] mesh inmodel outmodel cycles\n"
    "       quelby --help | --version\n"
    "\n"
    "Smooths a 2-D model on a tensor mesh: takes the natural logarithm of every value, replaces\n"
    "every cell, once per cycle, by the area-weighted mean of its 3 by 3 neighbourhood, takes the\n"
    "exponential and writes the result to outmodel (replaced if it exists).\n"
    "\n"
    "Options:\n"
    "  --topography FILE  fix the cells above the ground surface of this topography file\n"
    "  --active FILE      fix the inactive and influence cells of this active-cell file\n"
    "  --details          after an error message, print where the input is wrong (standard error)\n"
    "  --phases FILE      append the time of each phase of the run to FILE (for benchmarks)\n"
    "  --help             print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "A fixed cell keeps its value and takes no part in any neighbourhood. --topography and\n"
    "--active combine as the library builds its parameter map, and imply --details.\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby\n";

}  // namespace

std::string_view argument_field(std::string_view argument) {
  constexpr std::size_t field_length = 200;
  return argument.substr(0, field_length);
}

namespace {

// A file name given to an option: a 200-character field like the positional names.
std::string option_value(std::string_view value) {
  return std::string(trim_trailing_blanks(argument_field(value)));
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine line;
  int index = 1;
  for (; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (!argument.starts_with("--")) break;
    if (argument == "--") {
      ++index;
      break;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name == "--help" || name == "--version" || name == "--details") {
      if (equals != std::string_view::npos) {
        line.action = CommandLine::Action::usage_error;
        line.error = "quelby: option '" + std::string(name) + "' takes no value";
        return line;
      }
      if (name == "--help") line.action = CommandLine::Action::help;
      if (name == "--version") line.action = CommandLine::Action::version;
      if (name == "--help" || name == "--version") return line;
      line.options.details = true;
      continue;
    }
    if (name == "--topography" || name == "--active" || name == "--phases") {
      std::string_view value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (index + 1 < argc) {
        value = argv[++index];
      } else {
        line.action = CommandLine::Action::usage_error;
        line.error = "quelby: option '" + std::string(name) + "' needs a file name";
        return line;
      }
      if (name == "--phases") {
        line.options.phases = option_value(value);
        continue;
      }
      (name == "--topography" ? line.options.topography : line.options.active) =
          option_value(value);
      line.options.details = true;
      continue;
    }
    line.action = CommandLine::Action::usage_error;
    line.error = "quelby: unknown option '" + std::string(argument) + "'";
    return line;
  }
  for (; index < argc; ++index) line.positional.push_back(argv[index]);
  if (line.positional.size() != 4) line.action = CommandLine::Action::usage_error;
  return line;
}

std::optional<int> answer_without_running(const CommandLine& line, std::ostream& out,
                                          std::ostream& err) {
  switch (line.action) {
    case CommandLine::Action::help:
      out << help_text << std::flush;
      return exit_success;
    case CommandLine::Action::version:
      out << "quelby " << version << '\n' << std::flush;
      return exit_success;
    case CommandLine::Action::usage_error:
      if (!line.error.empty()) err << line.error << '\n' << std::flush;
      out << usage_text << std::flush;
      return exit_usage;
    case CommandLine::Action::run:
      break;
  }
  return std::nullopt;
}

}  // namespace quelby
