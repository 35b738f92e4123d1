#include "app/option_scanner.hpp"

#include <algorithm>
#include <string>

#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"

namespace quelby {

void command_usage_error(const Io& io, const CommandText& text, std::string_view line) {
  if (!line.empty()) write_message(io, Order::error_only, std::string(line) + '\n');
  stop_with(io, Order::console_only, text.usage, exit_usage);
}

ScannedLine scan_command_line(const Io& io, const CommandText& text,
                              std::span<const OptionSpec> options, std::size_t positional_count,
                              int argc, const char* const* argv, std::size_t most_positional) {
  const auto usage_error = [&](std::string_view option, std::string_view what) {
    command_usage_error(
        io, text,
        std::string(text.program) + ": option '" + std::string(option) + "' " + std::string(what));
  };
  ScannedLine line;
  int index = 1;
  for (; index < argc; ++index) {
    const std::string_view argument(argv[index]);
    if (argument == "-h") stop_with(io, Order::console_only, text.help, exit_success);
    if (!argument.starts_with("--")) break;
    if (argument == "--") {
      ++index;
      break;
    }
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    const bool has_value = equals != std::string_view::npos;
    if (name == "--help" || name == "--version") {
      if (has_value) usage_error(name, "takes no value");
      if (name == "--help") stop_with(io, Order::console_only, text.help, exit_success);
      stop_with(io, Order::console_only,
                std::string(text.program) + " " + std::string(version) + '\n', exit_success);
    }
    const auto spec = std::find_if(options.begin(), options.end(),
                                   [&](const OptionSpec& option) { return option.name == name; });
    if (spec == options.end()) {
      command_usage_error(
          io, text, std::string(text.program) + ": unknown option '" + std::string(argument) + "'");
    }
    std::string value;
    if (spec->value.empty()) {
      if (has_value) usage_error(name, "takes no value");
    } else if (has_value) {
      value = argument.substr(equals + 1);
    } else if (index + 1 < argc) {
      value = argv[++index];
    } else {
      usage_error(name, "needs " + std::string(spec->value));
    }
    line.given.emplace_back(std::string(name), value);
    line.values.insert_or_assign(std::string(name), std::move(value));
  }
  for (; index < argc; ++index) line.positional.emplace_back(argv[index]);
  if (line.positional.size() < positional_count ||
      line.positional.size() > std::max(positional_count, most_positional)) {
    command_usage_error(io, text, {});
  }
  return line;
}

}  // namespace quelby
