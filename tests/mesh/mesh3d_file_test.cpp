#include "quelby/mesh/mesh3d_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/mutations.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

// Loads `path`; true when it stopped (with status 1), the transcript holding the message.
bool load_stops(const std::string& path, Transcript& transcript, Mesh3D& mesh) {
  try {
    load_mesh3d(transcript.io(), path, mesh);
    return false;
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    return true;
  }
}

TEST(Mesh3DFile, ReadsTheThreeBlocksAsTheTwoDimensionalFileReadsOne) {
  TempFolder folder;
  const std::string path = folder.write("a.msh",
                                        "2 x\n0 100 4\n150 1\n1 y\n-20 20 2\n"
                                        "2 z\n0 30 3\n50 1 notes\n");
  Transcript transcript;
  Mesh3D mesh;
  ASSERT_FALSE(load_stops(path, transcript, mesh)) << transcript.console();
  EXPECT_EQ(mesh.nx, 5);
  EXPECT_EQ(mesh.ny, 2);
  EXPECT_EQ(mesh.nz, 4);
  EXPECT_EQ(mesh.x_nodes, (std::vector<double>{0, 25, 50, 75, 100, 150}));
  EXPECT_EQ(mesh.y_nodes, (std::vector<double>{-20, 0, 20}));
  EXPECT_EQ(mesh.z_nodes, (std::vector<double>{0, 10, 20, 30, 50}));
  EXPECT_EQ(mesh.y_centres, (std::vector<double>{-10, 10}));
  EXPECT_EQ(transcript.console(), "");
  EXPECT_EQ(transcript.log(), "\n3-D mesh was read from file: " + path + "\n");
}

TEST(Mesh3DFile, RefusesEveryBadFileWithItsMessage) {
  struct Case {
    const char* what;
    const char* content;
    const char* message;  // a line of the console
  };
  const std::vector<Case> cases = {
      {"a 2-D mesh file (no z block)", "1\n0 30 3\n1\n0 20 2\n",
       "Error reading the 3-D mesh file: "},
      {"a value that is no number", "1\n0 30 3\n1\n0 2O 2\n1\n0 5 1\n",
       "Error reading the 3-D mesh file: "},
      {"a position that is not finite", "1\n0 30 3\n1\n0 inf 2\n1\n0 5 1\n",
       "Error reading the 3-D mesh file: "},
      {"a negative cell count", "1\n0 30 3\n1\n0 20 -2\n1\n0 5 1\n",
       "Error: negative number of cells in a segment of the 3-D mesh (y)."},
      {"no cells along y", "1\n0 30 3\n1\n0 20 0\n1\n0 5 1\n",
       "Error: # of cells along y in the 3-D mesh should be positive."},
      {"no segments along z", "1\n0 30 3\n1\n0 20 2\n0\n",
       "Error: # of cells along z in the 3-D mesh should be positive."},
      {"a segment going back", "2\n0 30 3\n20 1\n1\n0 20 2\n1\n0 5 1\n",
       "Error: x nodes should be in increasing order in the 3-D mesh."},
      {"a segment of no width", "1\n0 30 3\n1\n0 20 2\n2\n0 5 1\n5 1\n",
       "Error: z nodes should be in increasing order in the 3-D mesh."},
      {"nodes beyond the doubles", "2\n0 1e308 1\n-1.7e308 1\n1\n0 20 2\n1\n0 5 1\n",
       "Error: x nodes should be in increasing order in the 3-D mesh."},
      {"a sum beyond the doubles", "1\n-1.7e308 1.7e308 2\n1\n0 20 2\n1\n0 5 1\n",
       "Error: x nodes of the 3-D mesh exceed the range of real numbers or do not increase."},
      {"more nodes than can be numbered", "1\n0 1 2000\n1\n0 1 2000\n1\n0 1 2000\n",
       "ERROR: Not enough memory, program terminated!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.write("bad.msh", c.content);
    Transcript transcript;
    Mesh3D mesh;
    ASSERT_TRUE(load_stops(path, transcript, mesh));
    EXPECT_NE(transcript.console().find(c.message), std::string::npos) << transcript.console();
  }
}

TEST(Mesh3DFile, WrittenMeshesReadBackBitForBit) {
  // Nodes of several kinds: equal cells (one segment), widening padding, widths that are not
  // binary fractions, a run whose running sums drift from its written end, and a node near zero
  // after a negative one.
  std::vector<double> graded{0};
  for (int i = 0; i < 12; ++i) graded.push_back(graded.back() + 2.5 * std::pow(1.3, i));
  std::vector<double> tenths{-0.3};
  for (int i = 0; i < 40; ++i) tenths.push_back(tenths.back() + 0.1);
  std::vector<double> thirds;
  for (int i = 0; i <= 30; ++i) thirds.push_back(i / 3.0 - 5);
  const std::vector<std::vector<double>> axes = {
      {0, 10, 20, 30, 40}, graded, tenths, thirds, {-1, -0.5, 1e-17, 0.25, 7}};
  TempFolder folder;
  for (std::size_t a = 0; a < axes.size(); ++a) {
    for (std::size_t b = 0; b < axes.size(); ++b) {
      SCOPED_TRACE(std::to_string(a) + " " + std::to_string(b));
      Transcript transcript;
      const Mesh3D mesh =
          make_mesh3d(transcript.io(), axes[a], axes[b], axes[(a + b) % axes.size()]);
      const std::string path = folder.file("round.msh");
      write_mesh3d(transcript.io(), path, mesh);
      Mesh3D back;
      ASSERT_FALSE(load_stops(path, transcript, back)) << transcript.console();
      EXPECT_EQ(back.x_nodes, mesh.x_nodes);
      EXPECT_EQ(back.y_nodes, mesh.y_nodes);
      EXPECT_EQ(back.z_nodes, mesh.z_nodes);
    }
  }
}

TEST(Mesh3DFile, EqualCellsAreWrittenAsOneSegment) {
  Transcript transcript;
  const Mesh3D mesh =
      make_mesh3d(transcript.io(), {0, 5, 10, 15, 20}, {-2, 0, 2, 6}, {0, 1.5, 3, 4.5});
  EXPECT_EQ(mesh3d_text(mesh), "1\n0 20 4\n2\n-2 2 2\n6 1\n1\n0 4.5 3\n");
}

TEST(Mesh3DFile, AFailedWriteLeavesNoFileAndStops) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = make_mesh3d(transcript.io(), {0, 1}, {0, 1}, {0, 1});
  const std::string path = folder.file("missing/a.msh");
  EXPECT_THROW(write_mesh3d(transcript.io(), path, mesh), Stop);
  EXPECT_NE(transcript.error().find("cannot write the 3-D mesh file " + path), std::string::npos)
      << transcript.error();
}

TEST(Mesh3DFile, DamagedFilesGiveAMeshThatWritesBackOrAMessage) {
  TempFolder folder;
  const std::string seed = "2 x\n0 100 4\n150 1\n1 y\n-20 20 2\n2 z\n0 30 3\n50 1\n";
  int meshes = 0;
  for (const std::string& text : testing::mutations(seed, 300, 3)) {
    const std::string path = folder.write("m.msh", text);
    Mesh3D mesh;
    if (!testing::read_or_message(text, [&](const Io& io) { load_mesh3d(io, path, mesh); })) {
      continue;
    }
    ++meshes;
    if (mesh.node_count() > 100000) continue;
    Transcript transcript;
    Mesh3D back;
    write_mesh3d(transcript.io(), folder.file("w.msh"), mesh);
    ASSERT_FALSE(load_stops(folder.file("w.msh"), transcript, back)) << text;
    EXPECT_EQ(back.x_nodes, mesh.x_nodes) << text;
    EXPECT_EQ(back.y_nodes, mesh.y_nodes) << text;
    EXPECT_EQ(back.z_nodes, mesh.z_nodes) << text;
  }
  EXPECT_GT(meshes, 10);
}

}  // namespace
}  // namespace quelby
