// The command lines of quelby-forward and quelby-mesh in process: the typed arguments of a run
// (values after a blank or an equals sign, the last of a repeated option, "--" ending the options).
// Their stops and texts are checked through the built commands in tests/cli.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/forward_command_line.hpp"
#include "app/mesh_command_line.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

std::vector<const char*> argv_of(const char* program, const std::vector<std::string>& words) {
  std::vector<const char*> argv = {program};
  for (const std::string& word : words) argv.push_back(word.c_str());
  return argv;
}

TEST(ForwardCommandLine, ARunGetsItsOptionsAndNames) {
  using Names = std::vector<std::string>;  // mesh, model, survey, out
  using Text = std::optional<std::string>;
  struct Case {
    std::vector<std::string> words;
    Names names;
    Text topography, active, chargeability, sensitivity;
    bool use_z;
  };
  const std::vector<Case> cases = {
      {{"m", "a", "s", "o"}, {"m", "a", "s", "o"}, {}, {}, {}, {}, false},
      {{"--ip=e.mod", "--z", "--sensitivity", "j", "m", "a", "s", "o"},
       {"m", "a", "s", "o"},
       {},
       {},
       "e.mod",
       "j",
       true},
      {{"--topography", "t1", "--topography=t2", "--active=", "m", "a", "s", "o"},
       {"m", "a", "s", "o"},
       "t2",
       "",
       {},
       {},
       false},
      {{"--", "--z", "-h", "s", "o"}, {"--z", "-h", "s", "o"}, {}, {}, {}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    const std::vector<const char*> argv = argv_of("quelby-forward", c.words);
    testing::Transcript transcript;
    const ForwardArguments got =
        parse_forward_command_line(transcript.io(), static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ((Names{got.mesh_name, got.model_name, got.survey_name, got.output_name}), c.names);
    EXPECT_EQ(got.topography, c.topography);
    EXPECT_EQ(got.active, c.active);
    EXPECT_EQ(got.chargeability, c.chargeability);
    EXPECT_EQ(got.sensitivity, c.sensitivity);
    EXPECT_EQ(got.use_z, c.use_z);
    EXPECT_EQ(transcript.console() + transcript.error() + transcript.log(), "");
  }
}

TEST(MeshCommandLine, ARunGetsItsNumbersAndNames) {
  struct Case {
    std::vector<std::string> words;
    double cell, depth;
    int padding;
    bool use_z;
  };
  const std::vector<Case> cases = {
      {{"s", "m"}, 0, 0, 0, false},
      {{"--cell", "0.625", "--depth=1e1", "--padding", "100", "--z", "s", "m"},
       0.625,
       10,
       100,
       true},
      {{"--cell=2", "--cell", "3", "--", "s", "m"}, 3, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    const std::vector<const char*> argv = argv_of("quelby-mesh", c.words);
    testing::Transcript transcript;
    const MeshArguments got =
        parse_mesh_command_line(transcript.io(), static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(got.survey_name, "s");
    EXPECT_EQ(got.mesh_name, "m");
    EXPECT_EQ(got.mesh.cell_width, c.cell);
    EXPECT_EQ(got.mesh.core_depth, c.depth);
    EXPECT_EQ(got.mesh.padding_cells, c.padding);
    EXPECT_EQ(got.use_z, c.use_z);
  }
}

}  // namespace
}  // namespace quelby
