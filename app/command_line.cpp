#include "app/command_line.hpp"

#include <string_view>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"

namespace quelby {

namespace {

constexpr std::string_view usage_text = "\nUsage: quelby  mesh inmodel outmodel cycles\n";

constexpr std::string_view help_text =
    "Usage: quelby [--topography FILE] [--active FILE] [--details] mesh inmodel outmodel cycles\n"
    "       quelby -h | --help | --version\n"
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
    "  -h, --help         print this help and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "A fixed cell keeps its value and takes no part in any neighbourhood. --topography and\n"
    "--active combine as the library builds its parameter map, and imply --details.\n"
    "Exit status: 0 written, 1 an error message was printed, 2 a usage error.\n"
    "The manual page: man 1 quelby\n";

// Each argument is taken in a field of 200 characters: a longer one is cut.
std::string_view argument_field(std::string_view argument) {
  constexpr std::size_t field_length = 200;
  return argument.substr(0, field_length);
}

// A file name: its field without the trailing blanks.
std::string file_name(std::string_view argument) {
  return std::string(trim_trailing_blanks(argument_field(argument)));
}

// A usage error: the line naming the bad option, if any, then the usage message.
[[noreturn]] void usage_error(const Io& io, std::string_view line) {
  if (!line.empty()) write_message(io, Order::error_only, std::string(line) + '\n');
  stop_with(io, Order::console_only, usage_text, exit_usage);
}

// The options before the positional arguments, which are left in `positional`. Help and version
// are answered at once, whatever follows them.
CommandOptions parse_options(const Io& io, int argc, const char* const* argv,
                             std::vector<std::string_view>& positional) {
  CommandOptions options;
  int index = 1;
  for (; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (argument == "-h") stop_with(io, Order::console_only, help_text, exit_success);
    if (!argument.starts_with("--")) break;
    if (argument == "--") {
      ++index;
      break;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    if (name == "--help" || name == "--version" || name == "--details") {
      if (equals != std::string_view::npos)
        usage_error(io, "quelby: option '" + std::string(name) + "' takes no value");
      if (name == "--help") stop_with(io, Order::console_only, help_text, exit_success);
      if (name == "--version") {
        stop_with(io, Order::console_only, "quelby " + std::string(version) + '\n', exit_success);
      }
      options.details = true;
      continue;
    }
    if (name == "--topography" || name == "--active" || name == "--phases") {
      std::string_view value;
      if (equals != std::string_view::npos) {
        value = argument.substr(equals + 1);
      } else if (index + 1 < argc) {
        value = argv[++index];
      } else {
        usage_error(io, "quelby: option '" + std::string(name) + "' needs a file name");
      }
      if (name == "--phases") {
        options.phases = file_name(value);
        continue;
      }
      (name == "--topography" ? options.topography : options.active) = file_name(value);
      options.details = true;
      continue;
    }
    usage_error(io, "quelby: unknown option '" + std::string(argument) + "'");
  }
  for (; index < argc; ++index) positional.emplace_back(argv[index]);
  return options;
}

// The cycles count of its field (padded with blanks to its full length, which a free-format read
// ignores). A field that yields no value (a lone comma or slash) leaves the count at 0.
std::int32_t read_cycles(const Io& io, std::string_view argument) {
  const std::string_view field = argument_field(argument);
  std::int32_t cycles = 0;
  const ReadStatus status = read_text(field, {cycles});
  if (!status.ok()) {
    std::string text = "Error: cannot read the number of cycles (";
    text += status.condition();
    text += "): ";
    text += trim_trailing_blanks(field);
    text += '\n';
    stop_with(io, Order::error_only, text, exit_failure);
  }
  if (cycles < 1) {
    stop_with(io, Order::console_only, "\nError: number of cycles should be positive.\n",
              exit_failure);
  }
  return cycles;
}

}  // namespace

CommandArguments parse_command_line(const Io& io, int argc, const char* const* argv) {
  std::vector<std::string_view> positional;
  CommandArguments arguments;
  arguments.options = parse_options(io, argc, argv, positional);
  if (positional.size() != 4) usage_error(io, {});
  arguments.mesh_name = file_name(positional[0]);
  arguments.input_name = file_name(positional[1]);
  arguments.output_name = file_name(positional[2]);
  arguments.cycles = read_cycles(io, positional[3]);
  return arguments;
}

}  // namespace quelby
