// The command's command line: options first, each beginning with "--" (--topography FILE,
// --active FILE, --details, --phases FILE, --help or -h, --version; "--" ends them), then the four
// positional arguments mesh, inmodel, outmodel and cycles. parse_command_line turns it into the
// typed arguments of a run, or writes its answer or its message and throws Stop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quelby/base/io.hpp"

namespace quelby {

struct CommandOptions {
  std::optional<std::string> topography;  // --topography FILE (field rules, trailing blanks off)
  std::optional<std::string> active;      // --active FILE
  std::optional<std::string> phases;      // --phases FILE: where the phase timer's report goes
  bool details = false;  // print a stop's detail line; implied by the two options above
  bool fixes_cells() const { return topography.has_value() || active.has_value(); }
};

// A run: each name is its argument in a field of 200 characters (a longer one is cut), without
// its trailing blanks; cycles is read from the fourth argument by the free-format rules.
struct CommandArguments {
  CommandOptions options;
  std::string mesh_name;
  std::string input_name;
  std::string output_name;
  std::int32_t cycles = 0;  // at least 1
};

// The arguments of a run. Otherwise writes through write_message and throws Stop with the exit
// status: 0 after the help or the version on the console; 2 after a usage error (the line naming a
// bad option, if any, on the error stream, then the usage message on the console); 1 after a
// cycles field that cannot be read (error stream) or a count below 1 (console). Writes nothing to
// the run log.
CommandArguments parse_command_line(const Io& io, int argc, const char* const* argv);

}  // namespace quelby
