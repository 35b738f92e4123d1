#include "quelby/cells/weights.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/cells/cells_fixtures.hpp"
#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::console_then_log;
using testing::log_then_console;
using testing::Outcome;
using testing::run;
using testing::TempFolder;
using testing::Transcript;
using testing::unit_mesh;

CellArray filled(const std::int32_t nx, const std::int32_t nz, const double value) {
  CellArray model(nx, nz);
  for (double& element : model.values()) element = value;
  return model;
}

std::vector<double> values_of(const CellArray& model) {
  return {model.values().begin(), model.values().end()};
}

struct Weights {
  CellArray s;
  CellArray x;
  CellArray z;
  Weights(const std::int32_t nx, const std::int32_t nz)
      : s(filled(nx, nz, -1)), x(filled(nx, nz, -2)), z(filled(nx, nz, -3)) {}
};

TEST(CellWeights, NoInputSetsEveryWeightToOne) {
  Weights weights(3, 2);
  Outcome outcome;
  run(outcome, [&](const Io& io) {
    set_weights(io, unit_mesh(3, 2), 0, {"no", "such", "files"}, weights.s, weights.x, weights.z);
  });
  EXPECT_FALSE(outcome.stopped);
  for (const CellArray* model : {&weights.s, &weights.x, &weights.z}) {
    EXPECT_EQ(values_of(*model), std::vector<double>(6, 1.0));
  }
  EXPECT_EQ(outcome.log() + outcome.console() + outcome.error(), "");
}

TEST(CellWeights, BadSelectorStopsOnTheErrorStream) {
  for (const std::int32_t input : {-1, 3, 100}) {
    Weights weights(2, 2);
    Outcome outcome;
    run(outcome, [&](const Io& io) {
      set_weights(io, unit_mesh(2, 2), input, {}, weights.s, weights.x, weights.z);
    });
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.error(), "bad weight_input\n");
    EXPECT_EQ(outcome.console() + outcome.log(), "");
  }
}

TEST(WeightingFile, ReadsThreeBlocksEachFromANewLine) {
  TempFolder folder;
  // The s block ends in the middle of a line: the rest of that line is lost and the x block
  // starts on the next one.
  const std::string path = folder.write("w.txt",
                                        "3 2 header notes\n"
                                        "1 2 3 4\n5 6 99 99\n"
                                        "11 12\n13 14\n"
                                        "21 22 23\n");
  Weights weights(3, 2);
  Outcome outcome;
  run(outcome, [&](const Io& io) {
    set_weights(io, unit_mesh(3, 2), 1, {path + "  ", "", ""}, weights.s, weights.x, weights.z);
  });
  ASSERT_FALSE(outcome.stopped) << outcome.console();
  EXPECT_EQ(values_of(weights.s), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  // Column nx of x_weights and row nz of z_weights are left as they were.
  EXPECT_EQ(values_of(weights.x), (std::vector<double>{11, 12, -2, 13, 14, -2}));
  EXPECT_EQ(values_of(weights.z), (std::vector<double>{21, 22, 23, -3, -3, -3}));
  EXPECT_EQ(outcome.log(), "weights were read from: " + path + "\n");
  EXPECT_EQ(outcome.console(), "");
}

TEST(WeightingFile, ANumberAfterTheLastBlockIsRefused) {
  const struct {
    const char* tail;
    bool accepted;
  } cases[] = {
      {"", true},                // ends right after the z block
      {"\n\n   \n", true},       // blank lines only
      {"next section\n", true},  // the next item is not a number
      {"4 4 4\n", false},        // a fourth block of an older layout
      {"\n\n0.5\n", false},      // a number further down
      {"5 5 5 on the line\n", false},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    const std::string path =
        folder.write("w.txt", std::string("2 2\n1 2 3 4\n5 6\n7 8 7 8\n") + c.tail);
    Weights weights(2, 2);
    Outcome outcome;
    run(outcome, [&](const Io& io) {
      read_weights_file(io, unit_mesh(2, 2), path, weights.s, weights.x, weights.z);
    });
    EXPECT_EQ(outcome.stopped, !c.accepted) << c.tail;
    if (c.accepted) {
      EXPECT_EQ(outcome.log(), "weights were read from: " + path + "\n");
      EXPECT_EQ(values_of(weights.z), (std::vector<double>{7, 8, -3, -3}));
      continue;
    }
    const std::string message = "\nError: too many values in the weighting file: " + path +
                                "\nThe file could be a for a previous version of the code.\n\n";
    EXPECT_EQ(outcome.console(), message);
    EXPECT_EQ(outcome.log(), message);
    EXPECT_EQ(outcome.order(), console_then_log);
  }
}

TEST(WeightingFile, EveryFailureWritesItsMessage) {
  TempFolder folder;
  const std::string read_error = "\nError reading the weighting file: NAME\n";
  const struct {
    const char* content;  // nullptr: no such file
    std::string message;
    bool log_first;
  } cases[] = {
      {nullptr, "\n ERROR: weights file not found: NAME\n", false},
      {"", read_error, true},
      {"2\n", read_error, true},
      {"2 two\n", read_error, true},
      {"2 2\n1 2 3\n", read_error, true},
      {"2 2\n1 2 3 4\n5\n", read_error, true},
      {"2 2\n1 2 3 4\n5 6\n7\n", read_error, true},
      {"2 2\n1 2 3 4\n5 6\n7 x\n", read_error, true},
      {"2 3\n1 2 3 4\n5 6\n7 8\n", "\nErorr: Incorrect dimension in weighting file \nNAME\n", true},
  };
  for (const auto& c : cases) {
    const std::string path =
        c.content == nullptr ? folder.file("missing.txt") : folder.write("w.txt", c.content);
    std::string expected = c.message;
    expected.replace(expected.find("NAME"), 4, path);
    Weights weights(2, 2);
    Outcome outcome;
    run(outcome, [&](const Io& io) {
      read_weights_file(io, unit_mesh(2, 2), path + " ", weights.s, weights.x, weights.z);
    });
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.console(), expected) << (c.content ? c.content : "missing");
    EXPECT_EQ(outcome.log(), expected);
    EXPECT_EQ(outcome.order(), c.log_first ? log_then_console : console_then_log);
  }
}

// A block of no values (the x block with one column, the z block with one row) reads no line:
// the next block starts on the line after the one before.
TEST(WeightingFile, EmptyBlocksReadNoLine) {
  TempFolder folder;
  const std::string one_column = folder.write("c.txt", "1 3\n1 2 3\n7 8\n");
  Weights column(1, 3);
  Outcome outcome;
  run(outcome, [&](const Io& io) {
    read_weights_file(io, unit_mesh(1, 3), one_column, column.s, column.x, column.z);
  });
  ASSERT_FALSE(outcome.stopped) << outcome.console();
  EXPECT_EQ(values_of(column.s), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(values_of(column.x), (std::vector<double>{-2, -2, -2}));
  EXPECT_EQ(values_of(column.z), (std::vector<double>{7, 8, -3}));

  const std::string one_cell = folder.write("one.txt", "1 1\n4.5\n");
  Weights cell(1, 1);
  Outcome single;
  run(single, [&](const Io& io) {
    read_weights_file(io, unit_mesh(1, 1), one_cell, cell.s, cell.x, cell.z);
  });
  ASSERT_FALSE(single.stopped) << single.console();
  EXPECT_EQ(values_of(cell.s), (std::vector<double>{4.5}));
  EXPECT_EQ(values_of(cell.x), (std::vector<double>{-2}));
}

// The three blocks given as arrays fill the arrays exactly as a weighting file holding the same
// values does (column nx of x and row nz of z kept), on meshes down to one column or one row.
TEST(WeightArrays, FillTheArraysAsTheWeightingFileOfTheSameValues) {
  std::mt19937 random(20260413);
  std::uniform_real_distribution<double> value(-1e3, 1e3);
  for (const auto& [nx, nz] :
       {std::pair{3, 2}, std::pair{1, 4}, std::pair{5, 1}, std::pair{1, 1}, std::pair{7, 6}}) {
    SCOPED_TRACE(std::to_string(nx) + " x " + std::to_string(nz));
    std::string text = std::to_string(nx) + " " + std::to_string(nz) + "\n";
    const auto block = [&](std::int32_t columns, std::int32_t rows) {
      std::vector<double> values(static_cast<std::size_t>(columns * rows));
      for (double& v : values) {
        v = value(random);
        char field[32];
        std::snprintf(field, sizeof field, "%.17g ", v);
        text += field;
      }
      if (!values.empty()) text += "\n";
      return values;
    };
    const std::vector<double> s = block(nx, nz);
    const std::vector<double> x = block(nx - 1, nz);
    const std::vector<double> z = block(nx, nz - 1);
    TempFolder folder;
    const std::string path = folder.write("w.txt", text);
    Weights read(nx, nz);
    Outcome file;
    run(file, [&](const Io& io) {
      read_weights_file(io, unit_mesh(nx, nz), path, read.s, read.x, read.z);
    });
    ASSERT_FALSE(file.stopped) << file.console();
    Weights given(nx, nz);
    Outcome arrays;
    run(arrays, [&](const Io& io) {
      weights_from_arrays(io, unit_mesh(nx, nz), s, x, z, given.s, given.x, given.z);
    });
    ASSERT_FALSE(arrays.stopped);
    EXPECT_EQ(values_of(given.s), values_of(read.s));
    EXPECT_EQ(values_of(given.x), values_of(read.x));
    EXPECT_EQ(values_of(given.z), values_of(read.z));
    EXPECT_EQ(arrays.log() + arrays.console() + arrays.error(), "");
  }
}

TEST(WeightArrays, ABlockOfAnotherSizeStopsBeforeAnyArrayIsTouched) {
  const std::vector<double> six(6, 5.0), four(4, 5.0), three(3, 5.0);
  const struct {
    std::vector<double> s, x, z;
    std::string message;
    std::string detail;
  } cases[] = {
      {four, four, three, "\nError: the S weights array holds 4 values, 6 expected.\n",
       "3 x 2 values for a mesh of 3 x 2 cells"},
      {six, six, three, "\nError: the X weights array holds 6 values, 4 expected.\n",
       "2 x 2 values for a mesh of 3 x 2 cells"},
      {six, four, six, "\nError: the Z weights array holds 6 values, 3 expected.\n",
       "3 x 1 values for a mesh of 3 x 2 cells"},
  };
  for (const auto& c : cases) {
    Weights weights(3, 2);
    Transcript transcript;
    try {
      weights_from_arrays(transcript.io(), unit_mesh(3, 2), c.s, c.x, c.z, weights.s, weights.x,
                          weights.z);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), c.detail);
    }
    EXPECT_EQ(transcript.console(), c.message);
    EXPECT_EQ(transcript.log(), c.message);
    EXPECT_EQ(transcript.order(), log_then_console);
    EXPECT_EQ(values_of(weights.s), std::vector<double>(6, -1));
    EXPECT_EQ(values_of(weights.x), std::vector<double>(6, -2));
  }
  Weights small(2, 2);
  Outcome outcome;
  run(outcome, [&](const Io& io) {
    weights_from_arrays(io, unit_mesh(3, 2), six, four, three, small.s, small.x, small.z);
  });
  EXPECT_EQ(outcome.error(), "size(weights) /= (nx, nz)\n");
}

TEST(SingleWeightFile, FillsTheTopLeftBlockOnly) {
  TempFolder folder;
  const struct {
    const char* content;
    std::vector<double> expected;
  } cases[] = {
      {"2 1\n1 2 3 4\n", {1, 2, -1, -1, -1, -1}},  // values after the block are ignored
      {"3 2\n1 2 3\n4 5 6\n", {1, 2, 3, 4, 5, 6}},
      {"2 2 x\n1 2\n3 4\n", {1, 2, -1, 3, 4, -1}},
      {"1 2\n1,,\n", {1, -1, -1, -1, -1, -1}},  // a null keeps the caller's value
      {"3 1\n1 /\n", {1, -1, -1, -1, -1, -1}},
      {"0 2\n", {-1, -1, -1, -1, -1, -1}},  // no values: no line read, nothing fails
      {"3 0", {-1, -1, -1, -1, -1, -1}},
      {"-4 2\n", {-1, -1, -1, -1, -1, -1}},  // a negative count counts as 0
  };
  for (const auto& c : cases) {
    const std::string path = folder.write("s.txt", c.content);
    CellArray weights = filled(3, 2, -1);
    Outcome outcome;
    run(outcome, [&](const Io& io) { read_weight_file(io, path, "S weights", weights); });
    ASSERT_FALSE(outcome.stopped) << c.content << outcome.console();
    EXPECT_EQ(values_of(weights), c.expected) << c.content;
    EXPECT_EQ(outcome.log(), "S weights were read from: " + path + "\n");
  }
}

TEST(SingleWeightFile, EveryFailureWritesItsMessage) {
  TempFolder folder;
  const std::string read_error = "\nError reading the X weights file: \nNAME\n";
  const std::string dimension = "\nErorr: Incorrect dimension in X weights file\nNAME\n";
  const struct {
    const char* content;
    std::string message;
  } cases[] = {
      {nullptr, "\n ERROR: X weights file not found: NAME\n"},
      {"", read_error},
      {"3\n", read_error},
      {"3 2\n1 2 3 4 5\n", read_error},
      {"3 2\n1 2 3 4 5 six\n", read_error},
      {"1 1\n", read_error},
      {"4 2\n1 2 3 4 5 6 7 8\n", dimension},
      {"3 3\n1 2 3 4 5 6 7 8 9\n", dimension},
  };
  for (const auto& c : cases) {
    const std::string path =
        c.content == nullptr ? folder.file("missing.txt") : folder.write("x.txt", c.content);
    std::string expected = c.message;
    expected.replace(expected.find("NAME"), 4, path);
    CellArray weights = filled(3, 2, -1);
    Outcome outcome;
    run(outcome, [&](const Io& io) { read_weight_file(io, path, "X weights  ", weights); });
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.console(), expected) << (c.content ? c.content : "missing");
    EXPECT_EQ(outcome.log(), expected);
    EXPECT_EQ(outcome.order(), c.content == nullptr ? console_then_log : log_then_console);
  }
}

TEST(SingleWeightFile, ThreeFilesWithABlankName) {
  TempFolder folder;
  const std::string s = folder.write("s.txt", "2 2\n1 2 3 4\n");
  const std::string z = folder.write("z.txt", "2 1\n5 6\n");
  Weights weights(2, 2);
  Outcome outcome;
  run(outcome, [&](const Io& io) {
    set_weights(io, unit_mesh(2, 2), 2, {s, "   ", z}, weights.s, weights.x, weights.z);
  });
  ASSERT_FALSE(outcome.stopped) << outcome.console();
  EXPECT_EQ(values_of(weights.s), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(values_of(weights.x), (std::vector<double>{1, 1, 1, 1}));
  EXPECT_EQ(values_of(weights.z), (std::vector<double>{5, 6, -3, -3}));
  EXPECT_EQ(outcome.log(),
            "S weights were read from: " + s + "\nZ weights were read from: " + z + "\n");
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(WeightingFile, StopsCarryTheirDetail) {
  const Mesh mesh = testing::mesh_with_widths({10, 10, 10}, {10, 10});
  testing::check_details(
      {
          {"other dimensions", "2 2\n", "f.txt:1: 2 x 2 cells, the mesh has 3 x 2"},
          {"a short x block", "3 2\n6*1\n3*1\n", "f.txt:3: 3 values, 4 expected"},
          {"a bad value", "3 2\n6*1\n4*1\n1 1 w 1\n", "f.txt:4: 'w' is not a number"},
          {"an older layout", "3 2\n6*1\n4*1\n3*1\n6*1\n",
           "f.txt:5: the value 1 after the z weights block"},
      },
      [&](const Io& io, const std::string& path) {
        CellArray s(3, 2), x(3, 2), z(3, 2);
        read_weights_file(io, mesh, path, s, x, z);
      });
  testing::check_details(
      {
          {"a block too wide", "4 2\n8*1\n", "f.txt:1: 4 x 2 cells, the array holds 3 x 2"},
          {"a short block", "2 2\n1 2 3\n", "f.txt:2: 3 values, 4 expected"},
      },
      [](const Io& io, const std::string& path) {
        CellArray s(3, 2);
        read_weight_file(io, path, "S weights", s);
      });
}

}  // namespace
}  // namespace quelby
