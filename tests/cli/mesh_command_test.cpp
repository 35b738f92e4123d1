// quelby-mesh run as a process: its usage errors with their statuses, and the mesh file it writes
// against the library's mesh_for_survey and write_mesh for the same survey and options.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/version.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

const std::string usage =
    "\nUsage: quelby-mesh [--cell W] [--depth D] [--depth-growth G] [--padding N] [--z]\n"
    "                   [--topography FILE] [--parameters FILE [--parameter-cell W]]\n"
    "                   SURVEY MESHFILE\n";

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_MESH_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

TEST(MeshCommand, UsageErrorsHelpAndVersion) {
  TempFolder folder;
  folder.write("bad.dat", "h\n0 5 x 15\n");
  folder.write("mixed.dat", "h\nIPTYPE=1\n0 5 10 15\nIPTYPE=0\n0 5 15 20\n");
  folder.write("s15.dat", "15 m of electrodes\n0 3 6 9\n3 6 12 15\n");
  const auto too_large = [](const std::string& cell, const std::string& depth,
                            const std::string& cells) {
    return "\nError: a core cell of " + cell + " m over 15 m of electrodes and a core depth of " +
           depth + " m make a mesh of " + cells +
           " cells, more than a mesh for a survey may have (1000000 cells along x or z, 2147483647 "
           "nodes in all); choose a larger cell width or a smaller core depth\n";
  };
  const auto refused = [](const std::string& option, const std::string& what,
                          const std::string& given) {
    return "quelby-mesh: option '" + option + "' needs " + what + ", not '" + given + "'\n";
  };
  const std::string metres = "a positive number of metres";
  const std::string cells = "a whole number of cells from 1 to 100";
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // "help" for the help text
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, 2, usage, ""},
      {{"s.dat"}, 2, usage, ""},
      {{"s.dat", "m.msh", "x"}, 2, usage, ""},
      {{"--grid", "s.dat", "m.msh"}, 2, usage, "quelby-mesh: unknown option '--grid'\n"},
      {{"--cell"}, 2, usage, "quelby-mesh: option '--cell' needs a width in metres\n"},
      {{"--cell", "abc", "s.dat", "m.msh"}, 2, usage, refused("--cell", metres, "abc")},
      {{"--cell=0", "s.dat", "m.msh"}, 2, usage, refused("--cell", metres, "0")},
      {{"--cell", "-1", "s.dat", "m.msh"}, 2, usage, refused("--cell", metres, "-1")},
      {{"--cell", "1m", "s.dat", "m.msh"}, 2, usage, refused("--cell", metres, "1m")},
      {{"--depth", "inf", "s.dat", "m.msh"}, 2, usage, refused("--depth", metres, "inf")},
      {{"--padding", "0", "s.dat", "m.msh"}, 2, usage, refused("--padding", cells, "0")},
      {{"--padding", "101", "s.dat", "m.msh"}, 2, usage, refused("--padding", cells, "101")},
      {{"--padding", "2.5", "s.dat", "m.msh"}, 2, usage, refused("--padding", cells, "2.5")},
      {{"--z=1", "s.dat", "m.msh"}, 2, usage, "quelby-mesh: option '--z' takes no value\n"},
      {{"-h"}, 0, "help", ""},
      {{"--cell", "2", "--help", "s.dat"}, 0, "help", ""},
      {{"--version"}, 0, "quelby-mesh " + std::string(version) + "\n", ""},
      {{"absent.dat", "m.msh"},
       1,
       "\n ERROR: data location file not found: absent.dat\n",
       "absent.dat: cannot be opened\n"},
      // A survey file's stop is shown once, whichever kind of data the file was read as.
      {{"bad.dat", "m.msh"},
       1,
       "\n0 5 x 15\nError reading data file.\nbad.dat\n",
       "bad.dat:2: 'x' is not a number\n"},
      {{"mixed.dat", "m.msh"},
       1,
       "\nError: for IP data, IPTYPE should be 1 or 2.\n0 5 15 20\nmixed.dat\n",
       "mixed.dat:5: IP type 0\n"},
      // Meshes a mesh file cannot hold are refused before anything is allocated or written.
      {{"--cell", "1e-9", "s15.dat", "m.msh"}, 1, too_large("1e-09", "9", "15000000188 x 310"), ""},
      {{"--cell", "1e-7", "s15.dat", "m.msh"}, 1, too_large("1e-07", "9", "150000154 x 245"), ""},
      {{"--depth", "1e300", "s15.dat", "m.msh"},
       1,
       too_large("0.75", "1e+300", "428 x 1.3333333333333334e+300"),
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.front());
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    if (c.out == "help") {
      EXPECT_TRUE(result.out.starts_with("Usage: quelby-mesh [--cell W]")) << result.out;
    } else {
      EXPECT_EQ(result.out, c.out);
    }
    EXPECT_FALSE(std::filesystem::exists(folder.file("m.msh")));
  }
}

// The written file is the library's mesh for the survey, byte for byte, for files of DC and IP
// data, buried electrodes, and the options given or left to their defaults.
TEST(MeshCommand, WritesTheLibrarysMeshForTheSurvey) {
  TempFolder folder;
  folder.write("dc.dat", "dc\n0 5 10 15\n5 10 15 20\n0 5 15 20\n");
  folder.write("ip.dat", "ip\nIPTYPE=2\n-10 0 20 30\nIPTYPE=1\n0 10 20 30\n");
  folder.write("cc.dat", "COMMON_CURRENT\n1\n0 0 10 0 2\n20 6 30 6\n30 12.5 40 12.5\n");
  folder.write("hill.topo", "3 50\n-100 50\n10 54\n100 50\n");
  struct Case {
    std::string survey;
    bool use_z;
    std::vector<std::string> options;
    SurveyMeshOptions expected;
    std::string topography = "";
  };
  const std::vector<Case> cases = {
      {"dc.dat", false, {}, {}},
      {"dc.dat", false, {"--cell", "0.625", "--depth=7.5", "--padding", "9"}, {0.625, 7.5, 9}},
      {"ip.dat", false, {"--padding=1"}, {.padding_cells = 1}},
      {"cc.dat", true, {"--z", "--cell", "2.5"}, {.cell_width = 2.5}},
      {"dc.dat", false, {"--topography", "hill.topo", "--cell=1"}, {.cell_width = 1}, "hill.topo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.survey + " " + std::to_string(c.options.size()));
    std::vector<std::string> arguments = c.options;
    arguments.push_back(c.survey);
    arguments.push_back("m.msh");
    const RunResult result = run_in(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");

    std::ostringstream sink;
    const Io io{sink, sink, sink};
    SurveyData survey;
    read_data_file(io, folder.file(c.survey), true, c.use_z, c.survey != "ip.dat", survey);
    write_mesh(io, folder.file("library.msh"),
               c.topography.empty() ? mesh_for_survey(io, survey, c.expected)
                                    : mesh_for_survey_under_ground(
                                          io, survey, folder.file(c.topography), c.expected));
    EXPECT_EQ(read_file(folder.file("m.msh")), read_file(folder.file("library.msh")));
    Mesh mesh;
    load_mesh(io, folder.file("m.msh"), mesh);
    if (c.expected.cell_width > 0 && !c.use_z) {
      EXPECT_EQ(mesh.dz.front(), c.expected.cell_width);
    }
    if (c.use_z) {
      // The buried electrodes, 6.5 m apart, stand on rows of cells under a quarter of that.
      for (const double z : {6.0, 12.5}) {
        const auto k = std::find(mesh.z_nodes.begin(), mesh.z_nodes.end(), z);
        ASSERT_NE(k, mesh.z_nodes.end()) << z;
        const auto row = static_cast<std::size_t>(k - mesh.z_nodes.begin());
        EXPECT_LE(std::max(mesh.dz[row - 1], mesh.dz[row]), 6.5 / 4) << z;
      }
      EXPECT_GE(mesh.z_nodes.back(), 12.5 + 4 * 2.5);
    }
    if (!c.topography.empty()) {
      EXPECT_DOUBLE_EQ(mesh.z_nodes.front(), -4);  // the hill's top stands 4 m above z = 0
    }
  }
}

}  // namespace
}  // namespace quelby
