// The command line of the forward-modelling commands: options first, each beginning with "--"
// (a value after a blank or an equals sign; "--" ends them; -h is --help), then a fixed number of
// positional arguments. Help and version are answered at once; a usage error names the bad option
// on the error stream, then prints the usage message on the console.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby {

struct OptionSpec {
  std::string_view name;  // "--topography"
  // What its value is, for the message of an option given without one ("a file name"); empty for
  // an option that takes no value.
  std::string_view value;
};

struct CommandText {
  std::string_view program;  // "quelby-forward": names the command in messages and the version
  std::string_view usage;    // the usage message, written to the console after a usage error
  std::string_view help;     // the answer to --help and -h
};

struct ScannedLine {
  std::map<std::string, std::string, std::less<>> values;  // option name -> its last value
  std::vector<std::pair<std::string, std::string>> given;  // every option and value, in order
  std::vector<std::string> positional;
  bool has(std::string_view option) const { return values.find(option) != values.end(); }
  std::optional<std::string> value(std::string_view option) const {
    const auto found = values.find(option);
    if (found == values.end()) return std::nullopt;
    return found->second;
  }
  // Every value of an option given more than once, in order.
  std::vector<std::string> all(std::string_view option) const {
    std::vector<std::string> result;
    for (const auto& [name, value] : given) {
      if (name == option) result.push_back(value);
    }
    return result;
  }
};

// Scans argv[1..argc-1] for `options`, then expects exactly `positional_count` positional
// arguments (with `most_positional` above it: from positional_count to most_positional). Throws
// Stop with status 0 after the help or the version (console), 2 after a usage error. An option
// repeated takes its last value; a flag's value is empty.
ScannedLine scan_command_line(const Io& io, const CommandText& text,
                              std::span<const OptionSpec> options, std::size_t positional_count,
                              int argc, const char* const* argv, std::size_t most_positional = 0);

// A usage error found after scanning: `line` on the error stream, then the usage message; throws
// Stop with status 2.
[[noreturn]] void command_usage_error(const Io& io, const CommandText& text, std::string_view line);

}  // namespace quelby
