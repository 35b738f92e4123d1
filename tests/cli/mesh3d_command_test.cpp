// quelby-mesh run as a process on 3-D survey files: the 3-D mesh and parameter grid it writes
// against the library's survey_mesh3d and parameter_grid3d for the same options, the counts it
// prints, and the options it refuses for a 3-D survey.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/parameter_grid3d.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_MESH_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

// Electrodes 1 m apart on a 4 x 3 grid at the surface, two dipoles and a pole.
const char* const survey_text =
    "GENERAL_3D\n"
    "0 0 0  3 0 0  1 0 0  2 0 0\n"
    "0 0 0  0 0 0  1 1 0  2 1 0\n"
    "0 1 0  3 2 0  1 1 0  2 2 0\n";

// The same electrodes as IP data, which the command takes as well.
const char* const ip_survey_text =
    "GENERAL_3D\n"
    "IPTYPE=2\n"
    "0 0 0  3 0 0  1 0 0  2 0 0\n"
    "0 0 0  0 0 0  1 1 0  2 1 0\n"
    "IPTYPE=1\n"
    "0 1 0  3 2 0  1 1 0  2 2 0\n";

// A plane rising 1 m towards +y, its elevations 100 m above the reference at y = -50.
const char* const topography_text =
    "4 100\n"
    "-50 -50 100\n"
    "50 -50 100\n"
    "-50 50 101\n"
    "50 50 101\n";

std::string counts(const Mesh3D& mesh) {
  return std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) + " x " +
         std::to_string(mesh.nz) + " = " + std::to_string(mesh.cell_count()) + " cells";
}

TEST(Mesh3DCommand, WritesTheLibrarysMeshAndGridForA3DSurvey) {
  TempFolder folder;
  folder.write("s.dat", survey_text);
  folder.write("ip.dat", ip_survey_text);
  folder.write("rise.topo", topography_text);
  struct Case {
    std::string survey;
    std::vector<std::string> options;
    SurveyMesh3DOptions expected;
    bool topography = false;
    double parameter_width = 0;  // 0: no --parameters; the grid's cell width otherwise
  };
  const std::vector<Case> cases = {
      // The default is the mesh quelby-invert makes: about 100,000 cells.
      {"s.dat", {}, {.cell_budget = 100000}},
      {"ip.dat", {"--cells", "20000"}, {.cell_budget = 20000}},
      // A chosen cell width is kept unless a budget is asked for as well.
      {"s.dat", {"--cell", "0.5"}, {.cell_width = 0.5}},
      {"s.dat",
       {"--cell=0.25", "--cells=5000", "--depth", "3", "--depth-growth", "1.2"},
       {.cell_width = 0.25, .depth_growth = 1.2, .core_depth = 3, .cell_budget = 5000}},
      // The mesh starts at the highest ground (1 m above z = 0) and its layers stay thin
      // through the 1 m of relief.
      {"s.dat",
       {"--cells", "20000", "--topography", "rise.topo"},
       {.cell_budget = 20000, .top = -1, .relief = 1},
       true},
      // The grid's default cell is the smallest electrode spacing, 1 m.
      {"s.dat", {"--cells", "20000", "--parameters", "p.msh"}, {.cell_budget = 20000}, false, 1},
      {"s.dat",
       {"--cells", "20000", "--topography=rise.topo", "--parameters", "p.msh", "--parameter-cell",
        "2"},
       {.cell_budget = 20000, .top = -1, .relief = 1},
       true,
       2},
  };
  for (const Case& c : cases) {
    std::string trace = c.survey;
    for (const std::string& option : c.options) trace += " " + option;
    SCOPED_TRACE(trace);
    std::filesystem::remove(folder.file("p.msh"));
    std::vector<std::string> arguments = c.options;
    arguments.push_back(c.survey);
    arguments.push_back("m.msh");
    const RunResult result = run_in(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");

    std::ostringstream sink;
    const Io io{sink, sink, sink};
    Survey3D survey;
    read_survey3d(io, folder.file(c.survey), true, survey, c.survey != "ip.dat");
    const Mesh3D expected = survey_mesh3d(io, survey, c.expected);
    EXPECT_EQ(read_file(folder.file("m.msh")), mesh3d_text(expected));
    Mesh3D mesh;
    load_mesh3d(io, folder.file("m.msh"), mesh);
    EXPECT_EQ(mesh.x_nodes, expected.x_nodes);
    EXPECT_EQ(mesh.y_nodes, expected.y_nodes);
    EXPECT_EQ(mesh.z_nodes, expected.z_nodes);
    EXPECT_EQ(mesh.z_nodes.front(), c.expected.top);
    if (c.expected.cell_width > 0 && c.expected.cell_budget == 0) {
      // Every electrode coordinate is a node, with core cells of the chosen width between.
      const auto at = std::find(mesh.x_nodes.begin(), mesh.x_nodes.end(), 0.0);
      ASSERT_NE(at, mesh.x_nodes.end());
      EXPECT_EQ(*(at + 1), c.expected.cell_width);
    }
    std::string out = "3-D mesh: " + counts(mesh) + "\n";
    if (c.parameter_width > 0) {
      Topography3D topography;
      std::vector<std::int32_t> air(static_cast<std::size_t>(mesh.nx) * mesh.ny, 0);
      if (c.topography) {
        read_topography3d(io, true, folder.file("rise.topo"), topography);
        topography.flat_z = mesh.z_nodes[0];
        air = air_cells_3d(io, mesh, topography);
      }
      double ground_top = std::numeric_limits<double>::infinity();
      for (const std::int32_t a : air) ground_top = std::min(ground_top, mesh.z_nodes[a]);
      const ParameterGrid3D grid =
          parameter_grid3d(io, mesh, survey.electrodes, ground_top, c.parameter_width);
      EXPECT_EQ(read_file(folder.file("p.msh")), mesh3d_text(grid.mesh));
      out += "parameter grid: " + counts(grid.mesh) + "\n";
    } else {
      EXPECT_FALSE(std::filesystem::exists(folder.file("p.msh")));
    }
    EXPECT_EQ(result.out, out);
    if (c.expected.cell_budget > 0) {
      EXPECT_LE(mesh.cell_count(), c.expected.cell_budget);
    }
  }
}

TEST(Mesh3DCommand, RefusesOptionsThatDoNotFitTheSurvey) {
  TempFolder folder;
  folder.write("s.dat", survey_text);
  folder.write("s2.dat", "2-D line\n0 5 10 15\n");
  const std::string usage =
      "\nUsage: quelby-mesh [--cell W] [--depth D] [--depth-growth G] [--padding N] [--z]\n"
      "                   [--topography FILE] [--parameters FILE [--parameter-cell W]]\n"
      "                   SURVEY MESHFILE\n";
  const auto cells_refused = [](const std::string& given) {
    return "quelby-mesh: option '--cells' needs a whole number of cells, at least 1, not '" +
           given + "'\n";
  };
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--cells", "0", "s.dat", "m.msh"}, 2, usage, cells_refused("0")},
      {{"--cells=1e5", "s.dat", "m.msh"}, 2, usage, cells_refused("1e5")},
      {{"--cells", "-20", "s.dat", "m.msh"}, 2, usage, cells_refused("-20")},
      {{"--padding", "3", "s.dat", "m.msh"},
       1,
       "\nError: --padding applies to 2-D survey files, and s.dat is a 3-D survey file.\n",
       ""},
      {{"--z", "s.dat", "m.msh"},
       1,
       "\nError: --z applies to 2-D survey files, and s.dat is a 3-D survey file.\n",
       ""},
      {{"--cells", "1000", "s2.dat", "m.msh"},
       1,
       "\nError: --cells applies to 3-D survey files, and s2.dat is not one.\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments[1]);
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(std::filesystem::exists(folder.file("m.msh")));
  }
}

}  // namespace
}  // namespace quelby
