// The command's command line: options first, each beginning with "--" (--topography FILE,
// --active FILE, --details, --phases FILE, --help, --version; "--" ends them), then the four
// positional arguments. Parsing writes nothing; answer_without_running prints help, version and
// usage.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

// Each argument is taken in a field of 200 characters: a longer one is cut.
std::string_view argument_field(std::string_view argument);

struct CommandOptions {
  std::optional<std::string> topography;  // --topography FILE (field rules, trailing blanks off)
  std::optional<std::string> active;      // --active FILE
  std::optional<std::string> phases;      // --phases FILE: where the phase timer's report goes
  bool details = false;  // print a stop's detail line; implied by the two options above
  bool fixes_cells() const { return topography.has_value() || active.has_value(); }
};

struct CommandLine {
  enum class Action { run, help, version, usage_error };
  Action action = Action::run;
  CommandOptions options;
  std::vector<const char*> positional;  // exactly 4 when the action is run
  std::string error;                    // for usage_error: the line naming the bad option, or empty
};

CommandLine parse_command_line(int argc, const char* const* argv);

// Help and version on `out`, status 0; a usage error: its line (if any) on `err`, then the usage
// message on `out` as the four-argument command prints it, status 2. nullopt when the command is
// to run.
std::optional<int> answer_without_running(const CommandLine& line, std::ostream& out,
                                          std::ostream& err);

}  // namespace quelby
