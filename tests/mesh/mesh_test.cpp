#include "quelby/mesh/mesh.hpp"
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

struct Loaded {
  bool stopped = false;
  Transcript transcript;
  Mesh mesh;
};

void load(const std::string& path, Loaded& result) {
  try {
    load_mesh(result.transcript.io(), path, result.mesh);
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    result.stopped = true;
  }
}

TEST(Mesh, LoadsTheWorkedExample) {
  TempFolder folder;
  const std::string path = folder.write("a.msh", "2\n0 100 4\n150 1\n1\n0 30 3\n");
  Loaded loaded;
  load(path, loaded);
  ASSERT_FALSE(loaded.stopped) << loaded.transcript.console();
  const Mesh& mesh = loaded.mesh;
  EXPECT_EQ(mesh.nx, 5);
  EXPECT_EQ(mesh.nz, 3);
  EXPECT_EQ(mesh.dx, (std::vector<double>{25, 25, 25, 25, 50}));
  EXPECT_EQ(mesh.x_nodes, (std::vector<double>{0, 25, 50, 75, 100, 150}));
  EXPECT_EQ(mesh.dz, (std::vector<double>{10, 10, 10}));
  EXPECT_EQ(mesh.z_nodes, (std::vector<double>{0, 10, 20, 30}));
  EXPECT_EQ(mesh.x_centres, (std::vector<double>{12.5, 37.5, 62.5, 87.5, 125}));
  EXPECT_EQ(mesh.z_centres, (std::vector<double>{5, 15, 25}));
  EXPECT_EQ(mesh.x_mid, 75);
  EXPECT_EQ(mesh.z_first, 0);
  EXPECT_EQ(mesh.node_count, 24);
  EXPECT_EQ(mesh.z_node_count_plus_one, 5);
  EXPECT_EQ(loaded.transcript.console(), "");
  EXPECT_EQ(loaded.transcript.log(), "\nmesh was read from: " + path + "\n");
}

TEST(Mesh, NodesAreRunningSumsAndWidthsComeFromTheWrittenEnds) {
  TempFolder folder;
  // 0 to 100 in 3 cells, then a segment whose width is computed from 100 as written; a segment of
  // 0 cells adds nothing but its end still starts the next one; the count may sit on the next
  // line and notes after the values are ignored.
  const std::string path =
      folder.write("b.msh", "3 notes\n0 100\n 3 more notes\n130 0\n160 2 9 9\n1\n-5 5 1\n");
  Loaded loaded;
  load(path, loaded);
  ASSERT_FALSE(loaded.stopped) << loaded.transcript.console();
  const Mesh& mesh = loaded.mesh;
  ASSERT_EQ(mesh.nx, 5);
  const double third = 100.0 / 3.0;
  EXPECT_EQ(mesh.dx[0], third);
  EXPECT_EQ(mesh.dx[2], third);
  EXPECT_EQ(mesh.x_nodes[3], (third + third) + third);
  EXPECT_EQ(mesh.dx[3], (160.0 - 130.0) / 2.0);
  EXPECT_EQ(mesh.x_nodes[4], mesh.x_nodes[3] + 15.0);
  EXPECT_EQ(mesh.nz, 1);
  EXPECT_EQ(mesh.dz[0], 10);
  EXPECT_EQ(mesh.z_first, -5);
}

TEST(Mesh, OneByOne) {
  TempFolder folder;
  Loaded loaded;
  load(folder.write("c.msh", "1\n0 1 1\n1\n0 2 1\n"), loaded);
  ASSERT_FALSE(loaded.stopped);
  EXPECT_EQ(loaded.mesh.nx, 1);
  EXPECT_EQ(loaded.mesh.nz, 1);
  EXPECT_EQ(loaded.mesh.node_count, 4);
  EXPECT_EQ(loaded.mesh.z_node_count_plus_one, 3);
}

TEST(Mesh, EveryFailureWritesItsMessageInItsOrder) {
  const std::vector<std::string> console_then_log = {"console", "log"};
  const std::vector<std::string> log_then_console = {"log", "console"};
  const struct {
    std::string what;
    std::string content;
    std::string text;  // with NAME for the file name
    std::vector<std::string> order;
  } cases[] = {
      {"empty file", "", "\nError reading the mesh file: NAME\n", log_then_console},
      {"ends inside z, x decreasing", "1\n10 0 2\n2\n0 5 1\n",
       "\nError reading the mesh file: NAME\n", log_then_console},
      {"count written 4.0", "1\n0 100 4.0\n1\n0 1 1\n", "\nError reading the mesh file: NAME\n",
       log_then_console},
      {"letters", "one\n", "\nError reading the mesh file: NAME\n", log_then_console},
      {"Sx = 0", "0\n1\n0 10 2\n", "\nError: # of cells in the mesh should be positive.\nNAME\n",
       console_then_log},
      {"Sz = -1", "1\n0 10 2\n-1\n", "\nError: # of cells in the mesh should be positive.\nNAME\n",
       console_then_log},
      {"zero cells", "1\n0 10 0\n1\n0 10 2\n",
       "\nError: # of cells in the mesh should be positive.\nNAME\n", console_then_log},
      {"repeated end", "2\n0 100 4\n100 1\n1\n0 1 1\n",
       "\nError: X nodes should be in increasing order in the mesh.\nNAME\n", console_then_log},
      {"x decreasing, z bad too", "1\n10 0 2\n1\n5 0 1\n",
       "\nError: X nodes should be in increasing order in the mesh.\nNAME\n", console_then_log},
      {"z decreasing", "1\n0 10 2\n1\n5 0 1\n",
       "\nError: Z nodes should be in increasing order in the mesh.\nNAME\n", console_then_log},
      {"negative count", "2\n0 100 4\n150 -2\n1\n0 1 1\n",
       "\nError: negative number of cells in a segment of the mesh.\nNAME\n", console_then_log},
      // Positions that are not finite numbers are failed reads, wherever they stand.
      {"infinite start", "1\n -inf 1 4\n1\n0 1 1\n", "\nError reading the mesh file: NAME\n",
       log_then_console},
      {"NaN end of a later segment", "2\n0 1 1\nNaN 1\n1\n0 1 1\n",
       "\nError reading the mesh file: NAME\n", log_then_console},
      {"infinite z end, x decreasing", "1\n10 0 1\n1\n0 Infinity 1\n",
       "\nError reading the mesh file: NAME\n", log_then_console},
      {"value beyond the range", "1\n0 1e999 1\n1\n0 1 1\n",
       "\nError reading the mesh file: NAME\n", log_then_console},
      // Finite positions whose width, nodes or midpoint leave the double range.
      {"x width overflows", "1\n-1e308 1.7e308 2\n1\n0 1 1\n",
       "\nError: X nodes of the mesh exceed the range of real numbers.\nNAME\n", console_then_log},
      {"x midpoint overflows", "1\n1e308 1.5e308 1\n1\n0 1 1\n",
       "\nError: X nodes of the mesh exceed the range of real numbers.\nNAME\n", console_then_log},
      {"z width overflows", "1\n0 1 1\n1\n-1.7e308 1.7e308 1\n",
       "\nError: Z nodes of the mesh exceed the range of real numbers.\nNAME\n", console_then_log},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    const std::string path = folder.write("m.msh", c.content);
    Loaded loaded;
    load(path + "   ", loaded);  // trailing blanks of the name are not part of it
    std::string expected = c.text;
    expected.replace(expected.find("NAME"), 4, path);
    EXPECT_TRUE(loaded.stopped) << c.what;
    EXPECT_EQ(loaded.transcript.console(), expected) << c.what;
    EXPECT_EQ(loaded.transcript.log(), expected) << c.what;
    EXPECT_EQ(loaded.transcript.order(), c.order) << c.what;
  }
}

TEST(Mesh, MissingFilesAndDirectoriesAreNotFound) {
  TempFolder folder;
  for (const std::string& name : {folder.file("absent.msh"), folder.path().string()}) {
    Loaded loaded;
    load(name, loaded);
    EXPECT_TRUE(loaded.stopped);
    EXPECT_EQ(loaded.transcript.console(), "\n ERROR: mesh file not found: " + name + "\n");
    EXPECT_EQ(loaded.transcript.log(), loaded.transcript.console());
    EXPECT_EQ(loaded.transcript.order(), (std::vector<std::string>{"console", "log"}));
  }
}

TEST(Mesh, MeshesBeyondTheCountsEndInTheMemoryStop) {
  const std::string memory = "\nERROR: Not enough memory, program terminated!\n\n";
  for (const std::string content : {
           "2\n0 1 2000000000\n2 2000000000\n1\n0 1 1\n",  // node count beyond 32 bits
           "1\n0 1 100000\n1\n0 1 100000\n",               // node total beyond 32 bits
       }) {
    TempFolder folder;
    Loaded loaded;
    load(folder.write("big.msh", content), loaded);
    EXPECT_TRUE(loaded.stopped) << content;
    EXPECT_EQ(loaded.transcript.console(), memory) << content;
    EXPECT_EQ(loaded.transcript.log(), memory) << content;
  }
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// Null values and slashes leave items as the read before left them, in both passes alike.
TEST(Mesh, NullValuesKeepTheItemsOfThePreviousRead) {
  TempFolder folder;
  Loaded loaded;
  load(folder.write("n.msh", "2\n0 100 4\n150 ,,\n1\n/\n"), loaded);
  ASSERT_FALSE(loaded.stopped) << loaded.transcript.console();
  // The second x segment keeps the count 4; the z segment keeps 0, 150 (the last end) and 4.
  EXPECT_EQ(loaded.mesh.dx, (std::vector<double>{25, 25, 25, 25, 12.5, 12.5, 12.5, 12.5}));
  EXPECT_EQ(loaded.mesh.dz, (std::vector<double>{37.5, 37.5, 37.5, 37.5}));
  EXPECT_EQ(loaded.mesh.z_first, 0);
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(Mesh, StopsCarryTheirDetail) {
  testing::check_details(
      {
          {"letters in a count", "1\n0 30 3\n1\n0 20 x2\n", "f.txt:4: 'x2' is not an integer"},
          {"a count with a point", "1\n0 30 3.0\n", "f.txt:2: '3.0' is not an integer"},
          {"letters in a position", "1\n0 3O 3\n", "f.txt:2: '3O' is not a number"},
          {"ends inside a segment", "1\n0 30 3\n1\n0 20\n", "f.txt:4: 2 values, 3 expected"},
          {"empty", "", "f.txt: the file is empty"},
          {"beyond 32 bits", "1\n0 30 3000000000\n",
           "f.txt:2: '3000000000' is beyond the 32-bit integer range"},
          {"a bad repeat count", "1\n0 30 0*3\n",
           "f.txt:2: '0*3' does not start with a repeat count"},
          {"a bad repeated value", "1\n0 30 2*x\n", "f.txt:2: '2*x' is not an integer"},
          {"not finite", "1\n0 inf 3\n", "f.txt:2: a position that is not a finite number"},
          {"a negative count", "2\n0 30 3\n40 -1\n1\n0 20 2\n", "f.txt:3: a segment of -1 cells"},
          {"no cells", "0\n1\n0 20 2\n", "f.txt: 0 x 2 cells"},
          {"decreasing x", "2\n0 30 3\n20 1\n1\n0 20 2\n",
           "f.txt:3: a segment from 30 to 20 makes cells -10 wide"},
          {"decreasing z", "1\n0 30 3\n1\n5 0 2\n",
           "f.txt:4: a segment from 5 to 0 makes cells -2.5 wide"},
          {"control characters in a count", std::string("1\n0 30 \x1b[2J\r\0x\n", 15),
           "f.txt:2: '\\x1B[2J\\x0D\\x00x' is not an integer"},
      },
      [](const Io& io, const std::string& path) {
        Mesh mesh;
        load_mesh(io, path, mesh);
      });
}

}  // namespace
}  // namespace quelby
