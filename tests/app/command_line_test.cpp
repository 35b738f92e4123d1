// The command line in process: the typed arguments of a run (names cut to their fields and
// trimmed, the cycles read by the free-format rules, the options), and for every other command
// line the status of its Stop and exactly what went to the console and the error stream.
#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

struct Parsed {
  bool stopped = false;
  int status = -1;
  CommandArguments arguments;
};

Parsed parse(const Transcript& transcript, std::vector<std::string> words) {
  words.insert(words.begin(), "quelby");
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  Parsed parsed;
  try {
    parsed.arguments =
        parse_command_line(transcript.io(), static_cast<int>(argv.size()), argv.data());
  } catch (const Stop& stop) {
    parsed.stopped = true;
    parsed.status = stop.status();
  }
  return parsed;
}

TEST(CommandLine, ARunGetsItsNamesTrimmedAndItsCyclesRead) {
  const std::string long_name = std::string(200, 'n') + "cut";
  struct Case {
    std::vector<std::string> words;
    std::string mesh, input, output;
    std::int32_t cycles;
    CommandOptions options;
  };
  const std::vector<Case> cases = {
      {{"m.msh", "a.mod", "out.mod", "3"}, "m.msh", "a.mod", "out.mod", 3, {}},
      {{"m.msh  ", " a.mod", "out.mod\t", "  7 words"}, "m.msh", " a.mod", "out.mod", 7, {}},
      {{long_name, "a", "b", "1*4"}, std::string(200, 'n'), "a", "b", 4, {}},
      {{"--", "-h", "a", "b", "2,3"}, "-h", "a", "b", 2, {}},
      {{"-hx", "a", "b", "1"}, "-hx", "a", "b", 1, {}},
      {{"--topography", "t.topo  ", "--active=c.act", "m", "a", "b", "1"},
       "m",
       "a",
       "b",
       1,
       {"t.topo", "c.act", std::nullopt, true}},
      {{"--phases", "p.txt", "--details", "m", "a", "b", "9"},
       "m",
       "a",
       "b",
       9,
       {std::nullopt, std::nullopt, "p.txt", true}},
      {{"--phases=p.txt", "m", "a", "b", "1"}, "m", "a", "b", 1, {{}, {}, "p.txt", false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    Transcript transcript;
    const Parsed parsed = parse(transcript, c.words);
    ASSERT_FALSE(parsed.stopped);
    const CommandArguments& got = parsed.arguments;
    EXPECT_EQ(got.mesh_name, c.mesh);
    EXPECT_EQ(got.input_name, c.input);
    EXPECT_EQ(got.output_name, c.output);
    EXPECT_EQ(got.cycles, c.cycles);
    EXPECT_EQ(got.options.topography, c.options.topography);
    EXPECT_EQ(got.options.active, c.options.active);
    EXPECT_EQ(got.options.phases, c.options.phases);
    EXPECT_EQ(got.options.details, c.options.details);
    EXPECT_EQ(transcript.console() + transcript.error() + transcript.log(), "");
  }
}

TEST(CommandLine, EveryOtherLineStopsWithItsStatusAndItsText) {
  const std::string usage = "\nUsage: quelby  mesh inmodel outmodel cycles\n";
  const std::string help_start = "Usage: quelby [--topography FILE]";
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string console;  // the whole console text, or for help its beginning
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"-h"}, exit_success, help_start, ""},
      {{"--help", "m", "a", "b", "0"}, exit_success, help_start, ""},
      {{"--details", "-h", "--bogus"}, exit_success, help_start, ""},
      {{"--version"}, exit_success, "quelby " + std::string(version) + "\n", ""},
      {{}, exit_usage, usage, ""},
      {{"m", "a", "b"}, exit_usage, usage, ""},
      {{"--bogus"}, exit_usage, usage, "quelby: unknown option '--bogus'\n"},
      {{"--active"}, exit_usage, usage, "quelby: option '--active' needs a file name\n"},
      {{"--version=2"}, exit_usage, usage, "quelby: option '--version' takes no value\n"},
      {{"m", "a", "b", "0"}, exit_failure, "\nError: number of cycles should be positive.\n", ""},
      {{"m", "a", "b", "/"}, exit_failure, "\nError: number of cycles should be positive.\n", ""},
      {{"m", "a", "b", "2.5"},
       exit_failure,
       "",
       "Error: cannot read the number of cycles (syntax error): 2.5\n"},
      {{"m", "a", "b", "  "},
       exit_failure,
       "",
       "Error: cannot read the number of cycles (end of file): \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "(none)" : c.words.front() + " ... " + c.words.back());
    Transcript transcript;
    const Parsed parsed = parse(transcript, c.words);
    ASSERT_TRUE(parsed.stopped);
    EXPECT_EQ(parsed.status, c.status);
    if (c.console == help_start) {
      EXPECT_TRUE(transcript.console().starts_with(help_start)) << transcript.console();
      EXPECT_NE(transcript.console().find("\n  -h, --help "), std::string::npos);
    } else {
      EXPECT_EQ(transcript.console(), c.console);
    }
    EXPECT_EQ(transcript.error(), c.error);
    EXPECT_EQ(transcript.log(), "");
  }
}

}  // namespace
}  // namespace quelby
