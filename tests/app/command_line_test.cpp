// The command line in process: the typed arguments of a run (names cut to their fields and
// trimmed, the cycles read by the free-format rules, the options). Its stops and their texts are
// checked through the built command in tests/cli.
#include "app/command_line.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

TEST(CommandLine, ARunGetsItsNamesTrimmedAndItsCyclesRead) {
  const std::string long_name = std::string(200, 'n') + "cut";
  using Names = std::vector<std::string>;  // mesh, input, output
  struct Case {
    std::vector<std::string> words;
    Names names;
    std::int32_t cycles;
    CommandOptions options;
  };
  const std::vector<Case> cases = {
      {{"m.msh  ", " a.mod", "out.mod\t", "  7 words"}, {"m.msh", " a.mod", "out.mod"}, 7, {}},
      {{long_name, "a", "b", "1*4"}, {std::string(200, 'n'), "a", "b"}, 4, {}},
      {{"--", "-h", "a", "b", "2,3"}, {"-h", "a", "b"}, 2, {}},
      {{"-hx", "a", "b", "1"}, {"-hx", "a", "b"}, 1, {}},
      {{"--topography", "t.topo  ", "--active=c.act", "m", "a", "b", "1"},
       {"m", "a", "b"},
       1,
       {"t.topo", "c.act", std::nullopt, true}},
      {{"--phases=p.txt", "m", "a", "b", "9"}, {"m", "a", "b"}, 9, {{}, {}, "p.txt", false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    std::vector<const char*> argv = {"quelby"};
    for (const std::string& word : c.words) argv.push_back(word.c_str());
    testing::Transcript transcript;
    const CommandArguments got =
        parse_command_line(transcript.io(), static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ((Names{got.mesh_name, got.input_name, got.output_name}), c.names);
    EXPECT_EQ(got.cycles, c.cycles);
    EXPECT_EQ(got.options.topography, c.options.topography);
    EXPECT_EQ(got.options.active, c.options.active);
    EXPECT_EQ(got.options.phases, c.options.phases);
    EXPECT_EQ(got.options.details, c.options.details);
    EXPECT_EQ(transcript.console() + transcript.error() + transcript.log(), "");
  }
}

}  // namespace
}  // namespace quelby
