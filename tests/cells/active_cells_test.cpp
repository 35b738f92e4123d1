#include "quelby/cells/active_cells.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/cells/cells_fixtures.hpp"
#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::console_then_log;
using testing::Outcome;
using testing::run;
using testing::TempFolder;
using testing::Transcript;
using testing::unit_mesh;

Topography no_topography(const std::int32_t nx) {
  Topography topography;
  topography.air_cells.assign(static_cast<std::size_t>(nx), 0);
  topography.surface_z.assign(static_cast<std::size_t>(nx) + 1, 0.0);
  return topography;
}

Topography with_air_cells(const std::vector<std::int32_t>& air_cells) {
  Topography topography;
  topography.has_topography = true;
  topography.air_cells = air_cells;
  topography.surface_z.assign(air_cells.size() + 1, 0.0);
  return topography;
}

void read(Outcome& outcome, const Mesh& mesh, const Topography& topography, const std::string& name,
          ActiveCells& cells) {
  run(outcome, [&](const Io& io) { read_active_cells(io, mesh, topography, name, cells); });
}

TEST(ActiveCellMap, NumbersParametersAndInfluenceCellsInCellOrder) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "3 2\n1 0 1\n-1 1 1\n");
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(3, 2), no_topography(3), path + "   ", cells);
  ASSERT_FALSE(outcome.stopped) << outcome.console();
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{1, 0, 2, -1, 3, 4}));
  EXPECT_EQ(cells.npar, 4);
  EXPECT_EQ(cells.ninfl, 1);
  EXPECT_EQ(cells.ninact, 1);
  EXPECT_EQ(cells.ncell, 6);
  EXPECT_EQ(cells.nx, 3);
  EXPECT_EQ(cells.nz, 2);
  EXPECT_EQ(outcome.console(), "");
  EXPECT_EQ(outcome.log(), "active cells were read from file: " + path +
                               "\n"
                               "                      # of cells:    3 x    2\n"
                               "                total # of cells:     6\n"
                               "               # of active cells:     4\n"
                               " # of inactive cells (influence):     1\n"
                               "             # of inactive cells:     1\n"
                               "\n");
}

TEST(ActiveCellMap, BlankNameMakesEveryCellBelowTheSurfaceActive) {
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(3, 3), with_air_cells({0, 2, 3}), "    ", cells);
  ASSERT_FALSE(outcome.stopped);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{1, 0, 0, 2, 0, 0, 3, 4, 0}));
  EXPECT_EQ(cells.npar, 4);
  EXPECT_EQ(cells.ninfl, 0);
  EXPECT_EQ(cells.ninact, 5);
  EXPECT_EQ(outcome.log(),
            "                      # of cells:    3 x    3\n"
            "                total # of cells:     9\n"
            "               # of active cells:     4\n"
            "             # of inactive cells:     5\n"
            "\n");
}

TEST(ActiveCellMap, TopographyOverridesTheFlags) {
  TempFolder folder;
  // Flags 1 and -1 in air cells count as inactive; without a topography store nothing is air.
  const std::string path = folder.write("a.act", "2 3 notes here\n-1 1\n1 -1\n1 1\n");
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(2, 3), with_air_cells({2, 1}), path, cells);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{0, 0, 0, -1, 1, 2}));
  EXPECT_EQ(cells.npar, 2);
  EXPECT_EQ(cells.ninfl, 1);
  EXPECT_EQ(cells.ninact, 3);

  Outcome plain;
  read(plain, unit_mesh(2, 3), no_topography(2), path, cells);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{-1, 1, 2, -2, 3, 4}));
  EXPECT_EQ(cells.ninact, 0);
  EXPECT_EQ(plain.log().find("# of inactive cells:"), std::string::npos);
}

TEST(ActiveCellMap, AcceptsValuesInAnyLayout) {
  const std::string layouts[] = {
      "3\n2\n1 0 1 -1 1 1\n",
      "3,2\n1\n0\n\n1,-1\t1  1 5 7 9 extra text\n",  // values after the last flag are not read
      "3 2 9 9\n2*1,,1,2*\n",                        // the work array starts at 0: a null is 0
      "3 2\n1 0 1 -1 1 1/ ignored\n",
  };
  const std::vector<std::int32_t> expected[] = {
      {1, 0, 2, -1, 3, 4}, {1, 0, 2, -1, 3, 4}, {1, 2, 0, 3, 0, 0}, {1, 0, 2, -1, 3, 4}};
  for (std::size_t n = 0; n < std::size(layouts); ++n) {
    TempFolder folder;
    const std::string path = folder.write("a.act", layouts[n]);
    ActiveCells cells;
    Outcome outcome;
    read(outcome, unit_mesh(3, 2), no_topography(3), path, cells);
    ASSERT_FALSE(outcome.stopped) << layouts[n] << outcome.console();
    EXPECT_EQ(cells.cell_idx, expected[n]) << layouts[n];
  }
}

TEST(ActiveCellMap, EveryFailureWritesItsMessage) {
  TempFolder folder;
  const struct {
    const char* content;  // nullptr: no such file
    std::string console;
  } cases[] = {
      {nullptr, "\n ERROR: active cells file not found: NAME\n"},
      {"", "\nError reading active cell file NAME\n"},
      {"3\n", "\nError reading active cell file NAME\n"},
      {"3 x\n", "\nError reading active cell file NAME\n"},
      {"3 2\n1 1 1 1 1\n", "\nError reading active cell file NAME\n"},
      {"3 2\n1 1 1 1 1 1.0\n", "\nError reading active cell file NAME\n"},
      {"2 3\n1 1 1 1 1 1\n", "\nError: inconsistent dimension in NAME\n"},
      {"3 2\n1 1 1 1 2 1\n",
       "\nError: values in the active cell file should be -1, 0 or 1.\nNAME\n"},
      {"3 2\n1 1 1 -2 1 1\n",
       "\nError: values in the active cell file should be -1, 0 or 1.\nNAME\n"},
  };
  for (const auto& c : cases) {
    const std::string path =
        c.content == nullptr ? folder.file("missing.act") : folder.write("a.act", c.content);
    std::string expected = c.console;
    expected.replace(expected.find("NAME"), 4, path);
    ActiveCells cells;
    cells.npar = 77;
    Outcome outcome;
    read(outcome, unit_mesh(3, 2), no_topography(3), path + "  ", cells);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.console(), expected) << (c.content ? c.content : "missing");
    EXPECT_EQ(outcome.log(), expected);
    EXPECT_EQ(outcome.order(), console_then_log);
    EXPECT_EQ(cells.npar, 77) << "a failed read leaves the store as it was";
  }
}

TEST(ActiveCellMap, AllInactiveStopsAfterTheCountLines) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "2 1\n0 1\n");
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(2, 1), with_air_cells({0, 1}), path, cells);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(outcome.console(), "\nError: all cells are inactive.\n");
  EXPECT_EQ(outcome.log(), "active cells were read from file: " + path +
                               "\n"
                               "                      # of cells:    2 x    1\n"
                               "                total # of cells:     2\n"
                               "               # of active cells:     0\n"
                               "             # of inactive cells:     2\n"
                               "\nError: all cells are inactive.\n");
  EXPECT_EQ(cells.npar, 0);
  EXPECT_EQ(cells.ninact, 2);
}

TEST(ActiveCellMap, NoTopographyHasTheOneFormTheReaderLeaves) {
  // read_topography without a file gives the form the map accepts; a store never read does not.
  const Mesh mesh = unit_mesh(2, 2);
  Topography flat;
  Outcome reading;
  run(reading,
      [&](const Io& io) { read_topography(io, false, "", mesh.x_nodes, mesh.z_nodes, flat); });
  ActiveCells cells;
  Outcome outcome;
  read(outcome, mesh, flat, "", cells);
  EXPECT_EQ(cells.npar, 4);
  EXPECT_EQ(cells.air_cells, (std::vector<std::int32_t>{0, 0}));
  Outcome unread;
  read(unread, mesh, Topography{}, "", cells);
  EXPECT_TRUE(unread.stopped);
  EXPECT_EQ(unread.error(), "size(air_cells) /= nx\n");
}

TEST(ActiveCellMap, CountsTooWideForTheirFieldsAreAsterisks) {
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(100000, 10), no_topography(100000), "", cells);
  ASSERT_FALSE(outcome.stopped);
  EXPECT_EQ(outcome.log(),
            "                      # of cells:***** x   10\n"
            "                total # of cells:******\n"
            "               # of active cells:******\n"
            "\n");
  EXPECT_EQ(cells.npar, 1000000);
}

TEST(ActiveCellMap, SecondReadReplacesTheStore) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "2 2\n1 -1 0 1\n");
  ActiveCells cells;
  Outcome first;
  read(first, unit_mesh(2, 2), no_topography(2), path, cells);
  run(first, [&](const Io& io) {
    Model model(2, 2);
    store_inactive_values(io, model, false, cells);
  });
  set_all_active(true, cells);
  ASSERT_EQ(cells.infl_val.size(), 1u);

  Outcome second;
  read(second, unit_mesh(3, 1), no_topography(3), "", cells);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(cells.npar, 3);
  EXPECT_EQ(cells.ninfl, 0);
  EXPECT_EQ(cells.ninact, 0);
  EXPECT_EQ(cells.ncell, 3);
  EXPECT_TRUE(cells.cell_idx_save.empty());
  EXPECT_EQ(cells.npar_save, 0);
  EXPECT_FALSE(cells.all_active);
  EXPECT_TRUE(cells.inact_val.empty());
  EXPECT_TRUE(cells.infl_val.empty());
}

TEST(ActiveCellFile, FillsTheCallersFlagsOnly) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "3 2\n1 0 1\n-1 1 1\n");
  std::vector<std::int32_t> flags(6, 9);
  Outcome outcome;
  run(outcome, [&](const Io& io) { read_active_cell_file(io, unit_mesh(3, 2), path, flags); });
  ASSERT_FALSE(outcome.stopped);
  EXPECT_EQ(flags, (std::vector<std::int32_t>{1, 0, 1, -1, 1, 1}));
  EXPECT_EQ(outcome.log(), "active cells were read from file: " + path + "\n");

  // A null value keeps the caller's element, and the value check covers it.
  const std::string nulls = folder.write("n.act", "3 2\n1,,1 0 0 0\n");
  std::vector<std::int32_t> kept(6, 5);
  Outcome checked;
  run(checked, [&](const Io& io) { read_active_cell_file(io, unit_mesh(3, 2), nulls, kept); });
  EXPECT_TRUE(checked.stopped);
  EXPECT_EQ(checked.console(),
            "\nError: values in the active cell file should be -1, 0 or 1.\n" + nulls + "\n");

  // No default for a blank name: the open fails.
  Outcome blank;
  run(blank, [&](const Io& io) { read_active_cell_file(io, unit_mesh(3, 2), "  ", flags); });
  EXPECT_EQ(blank.console(), "\n ERROR: active cells file not found: \n");
}

// Flags given in memory build the store the file of the same flags builds, with the same log
// lines but the one that names the file, on random flags and surfaces (all-inactive maps too).
TEST(ActiveCellFlags, BuildTheMapTheFileOfTheSameFlagsBuilds) {
  std::mt19937 random(20260412);
  int stopped = 0;
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const std::int32_t nx = 1 + static_cast<std::int32_t>(random() % 6);
    const std::int32_t nz = 1 + static_cast<std::int32_t>(random() % 5);
    std::vector<std::int32_t> flags(static_cast<std::size_t>(nx * nz));
    // Mostly active cells; every tenth trial none, so the all-inactive stop is met.
    for (std::int32_t& flag : flags) {
      flag = trial % 10 == 9 ? 0 : static_cast<std::int32_t>(random() % 4) - 1;
      if (flag == 2) flag = 1;
    }
    std::vector<std::int32_t> air(static_cast<std::size_t>(nx));
    for (std::int32_t& count : air) count = static_cast<std::int32_t>(random() % (nz + 1));
    const Topography topography = trial % 3 == 0 ? no_topography(nx) : with_air_cells(air);
    std::string text = std::to_string(nx) + " " + std::to_string(nz) + "\n";
    for (const std::int32_t flag : flags) text += std::to_string(flag) + " ";
    TempFolder folder;
    const std::string path = folder.write("a.act", text + "\n");

    ActiveCells from_file;
    Outcome file;
    read(file, unit_mesh(nx, nz), topography, path, from_file);
    ActiveCells from_flags;
    Outcome given;
    run(given, [&](const Io& io) {
      active_cells_from_flags(io, unit_mesh(nx, nz), topography, flags, from_flags);
    });
    ASSERT_EQ(given.stopped, file.stopped);
    stopped += given.stopped ? 1 : 0;
    EXPECT_EQ(from_flags.cell_idx, from_file.cell_idx);
    EXPECT_EQ(from_flags.air_cells, from_file.air_cells);
    EXPECT_EQ((std::vector{from_flags.nx, from_flags.nz, from_flags.npar, from_flags.ninfl,
                           from_flags.ninact, from_flags.ncell}),
              (std::vector{from_file.nx, from_file.nz, from_file.npar, from_file.ninfl,
                           from_file.ninact, from_file.ncell}));
    EXPECT_EQ("active cells were read from file: " + path + "\n" + given.log(), file.log());
    EXPECT_EQ(given.console(), file.console());
    EXPECT_EQ(given.order(), file.order());
  }
  EXPECT_GE(stopped, 6);
}

TEST(ActiveCellFlags, RefusesFlagsOutOfRangeAndOfTheWrongSize) {
  const Mesh mesh = unit_mesh(3, 2);
  const struct {
    std::vector<std::int32_t> flags;
    std::string detail;
  } cases[] = {
      {{1, 1, 1, 1, 2, 1}, "the flag of column 2, row 2 is 2"},
      {{1, -2, 1, 1, 1, 7}, "the flag of column 2, row 1 is -2"},
  };
  for (const auto& c : cases) {
    ActiveCells cells;
    cells.npar = 77;
    Transcript transcript;
    try {
      active_cells_from_flags(transcript.io(), mesh, no_topography(3), c.flags, cells);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), c.detail);
    }
    const std::string message = "\nError: values of the active cell flags should be -1, 0 or 1.\n";
    EXPECT_EQ(transcript.console(), message);
    EXPECT_EQ(transcript.log(), message);
    EXPECT_EQ(transcript.order(), console_then_log);
    EXPECT_EQ(cells.npar, 77) << "a refusal leaves the store as it was";
  }
  for (const std::size_t size : {5u, 7u}) {
    ActiveCells cells;
    Outcome outcome;
    run(outcome, [&](const Io& io) {
      active_cells_from_flags(io, mesh, no_topography(3), std::vector<std::int32_t>(size, 1),
                              cells);
    });
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.error(), "size(flags) /= ncell\n");
  }
  Outcome unread;
  ActiveCells cells;
  run(unread, [&](const Io& io) {
    active_cells_from_flags(io, mesh, Topography{}, std::vector<std::int32_t>(6, 1), cells);
  });
  EXPECT_EQ(unread.error(), "size(air_cells) /= nx\n");
}

TEST(InactiveValues, TakesInactiveAndInfluenceValuesInCellOrder) {
  TempFolder folder;
  // Column 0 has one air cell.
  const std::string path = folder.write("a.act", "3 2\n1 0 -1\n0 -1 1\n");
  const Topography topography = with_air_cells({1, 0, 0});
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(3, 2), topography, path, cells);
  ASSERT_EQ(cells.cell_idx, (std::vector<std::int32_t>{0, 0, -1, 0, -2, 1}));
  Model model(3, 2);
  for (std::size_t n = 0; n < 6; ++n) model.data()[n] = 10.0 * static_cast<double>(n + 1);

  run(outcome, [&](const Io& io) { store_inactive_values(io, model, false, cells); });
  EXPECT_EQ(cells.inact_val, (std::vector<double>{0.0, 20.0, 40.0}));  // the air cell holds 0
  EXPECT_EQ(cells.infl_val, (std::vector<double>{30.0, 50.0}));
  // The 0-based positions beside the 1-based numbers of the map.
  const std::vector<std::int32_t> parameters{-1, -1, -1, -1, -1, 0};
  const std::vector<std::int32_t> influences{-1, -1, 0, -1, 1, -1};
  for (std::size_t cell = 0; cell < 6; ++cell) {
    EXPECT_EQ(cells.parameter(cell), parameters[cell]) << cell;
    EXPECT_EQ(cells.influence(cell), influences[cell]) << cell;
  }

  run(outcome, [&](const Io& io) { store_inactive_values(io, model, true, cells); });
  ASSERT_EQ(cells.inact_val.size(), 3u);
  EXPECT_EQ(cells.inact_val[0], -std::log(1.0E-8));
  EXPECT_NEAR(cells.inact_val[0], 18.42, 0.005);
  EXPECT_EQ(cells.inact_val[1], -std::log(20.0));
  EXPECT_EQ(cells.inact_val[2], -std::log(40.0));
  EXPECT_EQ(cells.infl_val, (std::vector<double>{-std::log(30.0), -std::log(50.0)}));
  EXPECT_FALSE(outcome.stopped);
}

TEST(InactiveValues, NothingToStoreWhenEveryCellIsActive) {
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(2, 2), no_topography(2), "", cells);
  Model model(2, 2);
  run(outcome, [&](const Io& io) { store_inactive_values(io, model, true, cells); });
  EXPECT_TRUE(cells.inact_val.empty());
  EXPECT_TRUE(cells.infl_val.empty());
}

TEST(InactiveValues, UsesTheSavedMapWhileEveryCellIsActive) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "2 1\n0 1\n");
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(2, 1), no_topography(2), path, cells);
  set_all_active(true, cells);
  Model model(2, 1);
  model.data()[0] = 3.5;
  run(outcome, [&](const Io& io) { store_inactive_values(io, model, false, cells); });
  EXPECT_EQ(cells.inact_val, (std::vector<double>{3.5}));
}

TEST(AllActive, SavesAndRestoresTheMap) {
  TempFolder folder;
  const std::string path = folder.write("a.act", "3 2\n1 0 1\n-1 1 1\n");
  ActiveCells cells;
  Outcome outcome;
  read(outcome, unit_mesh(3, 2), no_topography(3), path, cells);
  const std::vector<std::int32_t> map = cells.cell_idx;

  // Off with nothing saved changes nothing.
  set_all_active(false, cells);
  EXPECT_EQ(cells.cell_idx, map);
  EXPECT_EQ(cells.npar, 4);

  set_all_active(true, cells);
  EXPECT_EQ(cells.cell_idx, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(cells.npar, 6);
  EXPECT_EQ(cells.cell_idx_save, map);
  EXPECT_EQ(cells.npar_save, 4);
  EXPECT_TRUE(cells.all_active);

  // A second on keeps the map saved first.
  set_all_active(true, cells);
  EXPECT_EQ(cells.cell_idx_save, map);
  EXPECT_EQ(cells.npar_save, 4);

  set_all_active(false, cells);
  EXPECT_EQ(cells.cell_idx, map);
  EXPECT_EQ(cells.npar, 4);
  EXPECT_TRUE(cells.cell_idx_save.empty());
  EXPECT_EQ(cells.npar_save, 0);
  EXPECT_FALSE(cells.all_active);

  set_all_active(false, cells);
  EXPECT_EQ(cells.cell_idx, map);
  EXPECT_EQ(cells.npar, 4);
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(ActiveCellFile, StopsCarryTheirDetail) {
  const Mesh mesh = testing::mesh_with_widths({10, 10, 10}, {10, 10});
  testing::check_details(
      {
          {"other dimensions", "3 3\n9*1\n", "f.txt:1: 3 x 3 cells, the mesh has 3 x 2"},
          {"too few flags", "3 2\n1 1 1\n1 1\n", "f.txt:3: 5 values, 6 expected"},
          {"a bad flag", "3 2\n1 1 1\n1 y 1\n", "f.txt:3: 'y' is not an integer"},
          {"a flag out of range", "3 2\n1 1 1\n1 1 2\n", "f.txt: the flag of column 3, row 2 is 2"},
      },
      [&](const Io& io, const std::string& path) {
        ActiveCells cells;
        read_active_cells(io, mesh, no_topography(3), path, cells);
      });
}

}  // namespace
}  // namespace quelby
