#include "quelby/cells/active_cells3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

Mesh3D mesh_2x2x3(const Io& io) {
  return make_mesh3d(io, {0, 1, 2}, {0, 1, 2}, {0, 1, 2, 3});
}

TEST(ActiveCells3D, NumbersFlaggedGroundCellsInCellOrder) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = mesh_2x2x3(transcript.io());
  // Layer 1: all active; layer 2: one inactive, one influence; layer 3: all active. Column
  // (1, 0) has one layer of air, column (0, 1) two.
  const std::string path = folder.write("a.act", "2 2 3\n4*1\n1 0 -1 1\n4*1\n");
  const std::vector<std::int32_t> air{0, 1, 2, 0};
  ActiveCells3D cells;
  read_active_cells3d(transcript.io(), mesh, air, path, cells);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{1, 0, 0, 2, 3, 0, 0, 4, 5, 6, 7, 8}));
  EXPECT_EQ(cells.npar, 8);
  EXPECT_EQ(cells.ninfl, 0);  // the influence cell lies in the air
  EXPECT_EQ(cells.ninact, 4);
  EXPECT_EQ(cells.nx, 2);
  EXPECT_EQ(cells.ny, 2);
  EXPECT_EQ(cells.nz, 3);
  EXPECT_EQ(transcript.log().rfind("active cells were read from file: " + path + "\n", 0), 0u);
  EXPECT_NE(transcript.log().find("# of active cells:        8\n"), std::string::npos)
      << transcript.log();

  // Without a file every ground cell is a parameter; an influence flag below ground counts.
  read_active_cells3d(transcript.io(), mesh, air, "   ", cells);
  EXPECT_EQ(cells.npar, 9);
  EXPECT_EQ(cells.ninact, 3);
  const std::string influence = folder.write("b.act", "2 2 3\n1 -1 10*1\n");
  read_active_cells3d(transcript.io(), mesh, std::vector<std::int32_t>(4, 0), influence, cells);
  EXPECT_EQ(cells.cell_idx[1], -1);
  EXPECT_EQ(cells.cell_idx[2], 2);
  EXPECT_EQ(cells.ninfl, 1);
}

TEST(ActiveCells3D, RefusesBadFiles) {
  struct Case {
    const char* what;
    const char* content;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"a flag of 2", "2 2 3\n5*1 2 6*1\n",
       "Error: values in the active cell file should be -1, 0 or 1."},
      {"a flag of -2", "2 2 3\n11*1 -2\n",
       "Error: values in the active cell file should be -1, 0 or 1."},
      {"counts of another mesh", "2 3 2\n12*1\n", "Error: inconsistent dimension in "},
      {"a 2-D file's counts", "2 2\n12*1\n", "Error: inconsistent dimension in "},
      {"a flag missing", "2 2 3\n11*1\n", "Error reading active cell file "},
      {"a real flag", "2 2 3\n11*1 1.0\n", "Error reading active cell file "},
      {"every cell inactive", "2 2 3\n12*0\n", "Error: all cells are inactive."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    Transcript transcript;
    const Mesh3D mesh = mesh_2x2x3(transcript.io());
    const std::string path = folder.write("bad.act", c.content);
    ActiveCells3D cells;
    EXPECT_THROW(
        read_active_cells3d(transcript.io(), mesh, std::vector<std::int32_t>(4, 0), path, cells),
        Stop);
    EXPECT_NE(transcript.console().find(c.message), std::string::npos) << transcript.console();
  }
  // Air cells of another mesh are a caller's mistake, on the error stream.
  Transcript transcript;
  const Mesh3D mesh = mesh_2x2x3(transcript.io());
  ActiveCells3D cells;
  EXPECT_THROW(
      read_active_cells3d(transcript.io(), mesh, std::vector<std::int32_t>(2, 0), "", cells), Stop);
  EXPECT_NE(transcript.error().find("size(air_cells) /= nx * ny"), std::string::npos);
}

TEST(ActiveCells3D, DamagedFilesGiveAMapOrAMessage) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = mesh_2x2x3(transcript.io());
  const std::vector<std::int32_t> air{0, 1, 2, 0};
  for (const std::string& text : testing::mutations("2 2 3\n4*1\n1 0 -1 1\n4*1\n", 300, 6)) {
    const std::string path = folder.write("a.act", text);
    ActiveCells3D cells;
    if (!testing::read_or_message(
            text, [&](const Io& io) { read_active_cells3d(io, mesh, air, path, cells); })) {
      continue;
    }
    ASSERT_EQ(cells.cell_idx.size(), 12u);
    EXPECT_EQ(cells.npar + cells.ninfl + cells.ninact, 12) << text;
    EXPECT_EQ(*std::max_element(cells.cell_idx.begin(), cells.cell_idx.end()), cells.npar);
  }
}

}  // namespace
}  // namespace quelby
