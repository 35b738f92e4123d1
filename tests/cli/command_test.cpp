// Runs the built quelby command in a fresh folder per test and compares its console text, error
// stream, exit status and output file byte for byte. Expected model files come from committed
// golden files worked out by hand, or from a literal smoothing computed here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "tests/support/run_command.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;

const std::string usage = "\nUsage: quelby  mesh inmodel outmodel cycles\n";
const std::string cycles_message = "\nError: number of cycles should be positive.\n";
const std::string existing_output = "an output file that a failed run must leave alone\n";

// A 3 by 2 mesh of unit cells, and a model for it.
const std::string mesh_3x2 = "1\n0 3 3\n1\n0 2 2\n";
const std::string model_3x2 = "    3    2\n1 2 3\n4 5 6\n";

// 5 by 3 cells of unequal sizes and a model spread over four decades, so that every extra cycle
// still changes the written digits.
const std::string mesh_5x3 = "2\n0 30 3\n70 2\n2\n0 10 1\n40 2\n";
const std::string model_5x3 =
    "5 3\n"
    "1.0 3000 25 7.5 420\n"
    "9000 2 640 13 1.5\n"
    "55 8100 3.25 700 11\n";

std::string read_file(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream stream(path, std::ios::binary);
  stream << content;
}

std::string count_lines(const std::string& text) {
  return std::to_string(std::count(text.begin(), text.end(), '\n'));
}

// One field of a written model, from printf; values here stay within two-digit exponents.
std::string field_13(const double value) {
  if (std::isnan(value)) return "          NaN";
  char text[32];
  std::snprintf(text, sizeof text, "%13.5E", value);
  return text;
}

// The command's work done literally: ln, `cycles` passes of the area-weighted 3 by 3 mean with a
// copy back after each, exp, then the model file's text.
std::string literal_smooth(const std::vector<double>& dx, const std::vector<double>& dz,
                           std::vector<double> values, const int cycles) {
  const std::size_t nx = dx.size();
  const std::size_t nz = dz.size();
  for (double& value : values) value = std::log(value);
  std::vector<double> smoothed(values.size());
  for (int cycle = 0; cycle < cycles; ++cycle) {
    for (std::size_t k = 0; k < nz; ++k) {
      for (std::size_t i = 0; i < nx; ++i) {
        double sum = 0;
        double weights = 0;
        for (std::size_t kk = k == 0 ? 0 : k - 1; kk <= std::min(k + 1, nz - 1); ++kk) {
          for (std::size_t ii = i == 0 ? 0 : i - 1; ii <= std::min(i + 1, nx - 1); ++ii) {
            const double weight = dx[ii] * dz[kk];
            sum = sum + values[kk * nx + ii] * weight;
            weights = weights + weight;
          }
        }
        smoothed[k * nx + i] = sum / weights;
      }
    }
    values = smoothed;
  }
  char header[16];
  std::snprintf(header, sizeof header, "%5zu%5zu\n", nx, nz);
  std::string text = header;
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t i = 0; i < nx; ++i) text += field_13(std::exp(values[k * nx + i]));
    text += '\n';
  }
  return text;
}

// The 5 by 3 case above, smoothed literally.
std::string literal_5x3(const int cycles) {
  return literal_smooth({10, 10, 10, 20, 20}, {10, 15, 15},
                        {1.0, 3000, 25, 7.5, 420, 9000, 2, 640, 13, 1.5, 55, 8100, 3.25, 700, 11},
                        cycles);
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quelby-command-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    work_ = root_ / "work";
    fs::create_directory(work_);
    fs::create_directory(root_ / "capture");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Runs the command with `arguments` (program name excluded) in the work folder.
  RunResult run(const std::vector<std::string>& arguments) const {
    return testing::run_command(QUELBY_BINARY, work_, arguments,
                                (root_ / "capture" / "stdout").string(),
                                (root_ / "capture" / "stderr").string());
  }

  void put(const std::string& name, const std::string& content) const {
    write_file(work_ / name, content);
  }
  std::string get(const std::string& name) const { return read_file(work_ / name); }
  void put_fixture(const std::string& name, const std::string& fixture) const {
    put(name, read_file(fs::path(QUELBY_SOURCE_DIR) / "tests" / "data" / fixture));
  }

  // Every entry of the work folder (recursively), as relative paths; the run log or a temporary
  // output would show up here.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(work_)) {
      names.insert(fs::relative(entry.path(), work_).string());
    }
    return names;
  }

  // Runs a case that must fail and leave the folder as it was. Every other call puts an existing
  // output file in place first, which must stay byte for byte; the others check that no output
  // appears. (Each table so covers both with one run a case, which keeps the suite fast.)
  RunResult run_failing(const std::vector<std::string>& arguments, const std::string& output,
                        const int expected_status = exit_failure) {
    const bool with_output =
        (++failing_runs_ % 2 == 0) && !output.empty() && !fs::exists(work_ / output);
    if (with_output) put(output, existing_output);
    const std::set<std::string> before = listing();
    const RunResult result = run(arguments);
    EXPECT_EQ(result.status, expected_status);
    EXPECT_EQ(listing(), before) << "files appeared or vanished";
    if (with_output) {
      EXPECT_EQ(get(output), existing_output) << "an existing output was touched";
      fs::remove(work_ / output);
    }
    return result;
  }

  // Runs a case that must succeed silently; returns the output file's bytes.
  std::string run_succeeding(const std::vector<std::string>& arguments, const std::string& output) {
    std::set<std::string> expected_files = listing();
    expected_files.insert(output);
    const RunResult result = run(arguments);
    EXPECT_EQ(result.status, exit_success);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(listing(), expected_files);
    std::string bytes = get(output);
    fs::remove(work_ / output);
    return bytes;
  }

  fs::path root_;
  fs::path work_;
  int failing_runs_ = 0;
};

TEST_F(CommandTest, WrongArgumentCountPrintsUsageAndTouchesNothing) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"m.msh"},
      {"m.msh", "a.mod", "out.mod"},
      {"m.msh", "a.mod", "out.mod", "1", "extra"},
      {"m.msh", "a.mod", "out.mod", "1", "", "", ""},
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::Message() << arguments.size() << " arguments");
    const RunResult result = run_failing(arguments, "out.mod", exit_usage);
    EXPECT_EQ(result.out, usage);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandTest, CyclesBelowOneStopBeforeTheMeshIsOpened) {
  // The mesh does not exist: its message would show if it were opened.
  for (const std::string cycles :
       {"0", "-3", "-2147483648", ",", "/", "  ,  9", " / 9", "3*", "0 words", "-0"}) {
    SCOPED_TRACE("cycles '" + cycles + "'");
    const RunResult result =
        run_failing({"absent.msh", "absent.mod", "out.mod", cycles}, "out.mod");
    EXPECT_EQ(result.out, cycles_message);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandTest, UnreadableCyclesEndWithOneLineNamingTheCondition) {
  struct Case {
    std::string cycles;
    std::string condition;
    std::string text;  // what the line must quote
  };
  const std::vector<Case> cases = {
      {"abc", "syntax error", "abc"},
      {"2.5", "syntax error", "2.5"},
      {"1e3", "syntax error", "1e3"},
      {"+", "syntax error", "+"},
      {"7abc", "syntax error", "7abc"},
      {"0*5", "syntax error", "0*5"},
      {"", "end of file", ""},
      {"     ", "end of file", ""},
      {"99999999999", "conversion error", "99999999999"},
      {"2147483648", "conversion error", "2147483648"},
      // Only the first 200 characters are the field: the 7 lies beyond it.
      {std::string(200, ' ') + "7", "end of file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("cycles '" + c.cycles + "'");
    const RunResult result =
        run_failing({"absent.msh", "absent.mod", "out.mod", c.cycles}, "out.mod");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(count_lines(result.err), "1") << result.err;
    EXPECT_NE(result.err.find(c.condition), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.text), std::string::npos) << result.err;
  }
}

TEST_F(CommandTest, CyclesFieldReadsItsFirstInteger) {
  put("m.msh", mesh_5x3);
  put("a.mod", model_5x3);
  const std::string seven = literal_5x3(7);
  ASSERT_NE(seven, literal_5x3(6));
  ASSERT_NE(seven, literal_5x3(8));
  for (const std::string& cycles :
       std::vector<std::string>{"7", "  7", "7 words", "7,8", "7/", "\t7\t", "+7", "1*7",
                                std::string(199, ' ') + "7abc"}) {
    SCOPED_TRACE("cycles '" + cycles + "'");
    EXPECT_EQ(run_succeeding({"m.msh", "a.mod", "out.mod", cycles}, "out.mod"), seven);
  }
}

TEST_F(CommandTest, FilesThatCannotBeOpenedAreNamed) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  fs::create_directory(work_ / "folder.msh");
  fs::create_directory(work_ / "folder.mod");
  const std::string long_name(200, 'q');
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"absent.msh", "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: absent.msh\n"},
      {{"absent.msh  ", "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: absent.msh\n"},
      {{"folder.msh", "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: folder.msh\n"},
      {{"", "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: \n"},
      {{long_name, "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: " + long_name + "\n"},
      {{long_name + "rest", "a.mod", "out.mod", "1"},
       "\n ERROR: mesh file not found: " + long_name + "\n"},
      {{"m.msh", "absent.mod", "out.mod", "1"}, "\n ERROR: model file not found: absent.mod\n"},
      {{"m.msh", "absent.mod   ", "out.mod", "1"}, "\n ERROR: model file not found: absent.mod\n"},
      {{"m.msh", "folder.mod", "out.mod", "1"}, "\n ERROR: model file not found: folder.mod\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mesh '" + c.arguments[0] + "', model '" + c.arguments[1] + "'");
    const RunResult result = run_failing(c.arguments, "out.mod");
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandTest, BadMeshFilesStopWithTheirMessage) {
  put("a.mod", model_3x2);
  const std::string read_error = "\nError reading the mesh file: bad.msh\n";
  const std::string no_cells = "\nError: # of cells in the mesh should be positive.\nbad.msh\n";
  const std::string x_order =
      "\nError: X nodes should be in increasing order in the mesh.\nbad.msh\n";
  const std::string z_order =
      "\nError: Z nodes should be in increasing order in the mesh.\nbad.msh\n";
  const std::string negative =
      "\nError: negative number of cells in a segment of the mesh.\nbad.msh\n";
  const std::string memory = "\nERROR: Not enough memory, program terminated!\n\n";
  const std::string x_range =
      "\nError: X nodes of the mesh exceed the range of real numbers.\nbad.msh\n";
  struct Case {
    std::string mesh;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", read_error},
      {"\n\n  \n", read_error},
      {"one\n0 3 3\n1\n0 2 2\n", read_error},
      {"1\n0 3 3\n", read_error},                          // no z part
      {"1\n0 3 3\n1\n0 2\n", read_error},                  // ends inside the z segment
      {"1\n0 3 3\n2\n0 1 1\n", read_error},                // ends before the second z segment
      {"1\n3 0 3\n1\n0 2\n", read_error},                  // the counting pass runs before any test
      {"1\n0 3 4.0\n1\n0 2 2\n", read_error},              // a count with a decimal point
      {"1\n0 3 3\n1.0\n0 2 2\n", read_error},              // a segment count with a decimal point
      {"1\n0 3 3e0\n1\n0 2 2\n", read_error},              // a count with an exponent
      {"1\n0 3 x\n1\n0 2 2\n", read_error},                // letters in a count
      {"1\n0 abc 3\n1\n0 2 2\n", read_error},              // letters in a position
      {"1\n0 3 3000000000\n1\n0 2 2\n", read_error},       // a count beyond 32 bits
      {"0\n1\n0 2 2\n", no_cells},                         // Sx = 0, z part correct
      {"1\n0 3 3\n0\n", no_cells},                         // Sz = 0
      {"-2\n1\n0 2 2\n", no_cells},                        // a negative segment count
      {"1\n0 3 0\n1\n0 2 2\n", no_cells},                  // a segment of no cells only
      {"1\n3 0 3\n1\n0 2 2\n", x_order},                   // decreasing x
      {"2\n0 3 3\n3 1\n1\n0 2 2\n", x_order},              // a second segment of width 0
      {"1\n0 0 1\n1\n0 2 2\n", x_order},                   // zero width
      {"1\n3 0 3\n1\n2 0 2\n", x_order},                   // x is tested before z is read
      {"1\n0 3 3\n1\n2 0 2\n", z_order},                   // decreasing z
      {"1\n0 3 3\n2\n0 2 2\n1 1\n", z_order},              // a z segment going back
      {"2\n0 3 3\n5 -1\n1\n0 2 2\n", negative},            // total still positive
      {"2\n0 3 -1\n6 4\n1\n0 2 2\n", negative},            // the first segment negative
      {"1\n0 3 3\n2\n0 2 3\n3 -2\n", negative},            // in z
      {"1\n0 1 -2147483648\n1\n0 2 2\n", negative},        // the smallest count
      {"1\n0 1 2147483647\n1\n0 1 2147483647\n", memory},  // more nodes than 32 bits hold
      {"1\n0 1 50000\n1\n0 1 50000\n", memory},            // a node total beyond 32 bits
      {"2\n0 1 2147483647\n2 2147483647\n1\n0 1 1\n", memory},
      {"1\n -inf 1 4\n1\n0 1 1\n", read_error},      // a position that is not finite
      {"1\n0 3 3\n1\n0 nan 2\n", read_error},        // in z
      {"1\n-1e308 1.7e308 3\n1\n0 2 2\n", x_range},  // finite ends, infinite width
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mesh file:\n" + c.mesh);
    put("bad.msh", c.mesh);
    const RunResult result = run_failing({"bad.msh", "a.mod", "out.mod", "1"}, "out.mod");
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandTest, BadModelFilesStopWithTheirMessage) {
  put("m.msh", mesh_3x2);
  const std::string read_error = "\nError reading model model file bad.mod\n";
  const std::string dimension = "\nError: inconsistent dimension in bad.mod\n";
  struct Case {
    std::string model;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", read_error},
      {"\n \n", read_error},
      {"3\n", read_error},                     // one header count
      {"3 2\n", read_error},                   // no values
      {"3 2\n1 2 3 4 5\n", read_error},        // too few values
      {"3 2 1 2 3 4 5 6\n", read_error},       // values on the header line are skipped
      {"3 2\n1 2 x 4 5 6\n", read_error},      // letters
      {"3 2\n1 2 - 4 5 6\n", read_error},      // a lone sign
      {"3 2\n1 2 3 4 5 6e\n", read_error},     // an exponent without digits
      {"3 2\n1 2 3 4 5 1.2.3\n", read_error},  // two points
      {"3.0 2\n1 2 3 4 5 6\n", read_error},    // a header count with a point
      {"three 2\n1 2 3 4 5 6\n", read_error},
      {"3 2147483648\n1 2 3 4 5 6\n", read_error},  // a header count beyond 32 bits
      {"2 3\n1 2 3 4 5 6\n", dimension},
      {"3 3\n1 2 3 4 5 6 7 8 9\n", dimension},
      {"4 2\n", dimension},  // no value has been read yet
      {"0 0\n", dimension},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("model file:\n" + c.model);
    put("bad.mod", c.model);
    const RunResult result = run_failing({"m.msh", "bad.mod", "out.mod", "1"}, "out.mod");
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(CommandTest, OutputThatCannotBeWrittenIsReportedOnOneLine) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  fs::create_directory(work_ / "folder.out");
  fs::create_directory(work_ / "full");
  put("full/inside", "keeps the folder from being replaced\n");
  for (const std::string output :
       {"absent/out.mod", "folder.out", "full", "a.mod/out.mod", "", "   "}) {
    SCOPED_TRACE("output '" + output + "'");
    const RunResult result = run_failing({"m.msh", "a.mod", output, "1"}, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(count_lines(result.err), "1") << result.err;
    EXPECT_EQ(result.err.back(), '\n');
    const std::string name = output.substr(0, output.find_last_not_of(' ') + 1);
    EXPECT_NE(result.err.find("file " + name), std::string::npos) << result.err;
    EXPECT_EQ(get("a.mod"), model_3x2);
  }
}

TEST_F(CommandTest, SmoothsToTheGoldenFiles) {
  // Fixtures in tests/data, each expected file worked out by hand.
  struct Case {
    std::string mesh;
    std::string model;
    std::string cycles;
    std::string expected;
  };
  const std::vector<Case> cases = {
      // A constant stays constant on unequal cells.
      {"cli_3x2_unequal.msh", "cli_constant_3x2.mod", "4", "cli_constant_3x2.expected"},
      // 1 by 1: the value comes back, also with three-digit exponents.
      {"cli_1x1.msh", "cli_1x1.mod", "3", "cli_1x1.expected"},
      {"cli_1x1.msh", "cli_1x1_huge.mod", "1", "cli_1x1_huge.expected"},
      {"cli_1x1.msh", "cli_1x1_tiny.mod", "1", "cli_1x1_tiny.expected"},
      // ln 0 spreads to the neighbourhood (x index fastest in the file), one cell further a cycle.
      {"cli_3x2.msh", "cli_zero_3x2.mod", "1", "cli_zero_3x2.expected"},
      {"cli_3x2.msh", "cli_zero_3x2.mod", "2", "cli_zero_3x2_twice.expected"},
      // A negative value spreads NaN.
      {"cli_3x2.msh", "cli_negative_3x2.mod", "1", "cli_negative_3x2.expected"},
      // Widths 1 and 3: (0 + 3 ln 10^4) / 4 = ln 10^3 in both cells.
      {"cli_2x1_unequal.msh", "cli_2x1.mod", "1", "cli_2x1.expected"},
      // A 0-cell segment ending at 7: the next segment's width is from 7 to 10, so again 1 and 3.
      {"cli_2x1_empty_segment.msh", "cli_2x1.mod", "1", "cli_2x1.expected"},
      // The same in z, a single column: thicknesses 1 and 3.
      {"cli_1x2_unequal.msh", "cli_1x2.mod", "2", "cli_1x2.expected"},
      // A single row: the zero reaches two cells further in two cycles.
      {"cli_5x1.msh", "cli_5x1.mod", "2", "cli_5x1.expected"},
  };
  const fs::path data = fs::path(QUELBY_SOURCE_DIR) / "tests" / "data";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    put_fixture("m.msh", c.mesh);
    put_fixture("a.mod", c.model);
    const std::string expected = read_file(data / c.expected);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(run_succeeding({"m.msh", "a.mod", "out.mod", c.cycles}, "out.mod"), expected);
  }
}

TEST_F(CommandTest, ValuesBeyondTheDoubleRangeReadAsTheirRoundedValue) {
  put("m.msh", "1\n0 1 1\n1\n0 1 1\n");
  struct Case {
    std::string value;
    std::string field;
  };
  const std::vector<Case> cases = {
      {"1e400", "     Infinity"},
      {std::string("1").append(400, '0'), "     Infinity"},
      {"-1e400", "          NaN"},  // ln of a negative value
      {"1e-400", "  0.00000E+00"},
      {std::string("0.").append(400, '0').append("1e400"), "  1.00000E-01"},
      {"1e99999999999", "     Infinity"},
      // Ten million digits after the point do not bring an exponent of 10^11 back into range.
      {std::string("0.").append(9'999'990, '0').append("1e99999999999"), "     Infinity"},
      {"inf", "     Infinity"},
      {"-NaN", "          NaN"},
      {"2.50000-120", "  2.50000-120"},  // a written three-digit exponent reads back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("value " + c.value.substr(0, 40) + " (" + std::to_string(c.value.size()) +
                 " characters)");
    put("a.mod", "1 1\n" + c.value + "\n");
    EXPECT_EQ(run_succeeding({"m.msh", "a.mod", "out.mod", "1"}, "out.mod"),
              "    1    1\n" + c.field + "\n");
  }
}

// A count of 100000 or more is written in full after a blank, and the output is a model file that
// another run reads (compared whole: a diff of a megabyte would flood the log).
TEST_F(CommandTest, CountsBeyondFiveDigitsAreWrittenInFullAndReadBack) {
  const std::string ones = "100000*1\n";
  std::string row;
  for (int i = 0; i < 100000; ++i) row += "  1.00000E+00";
  std::string column;
  for (int k = 0; k < 100000; ++k) column += "  1.00000E+00\n";
  const struct {
    std::string mesh;
    std::string model;
    std::string expected;
  } cases[] = {
      {"1\n0 100000 100000\n1\n0 1 1\n", "100000 1\n" + ones, " 100000    1\n" + row + "\n"},
      {"1\n0 1 1\n1\n0 100000 100000\n", "1 100000\n" + ones, "    1 100000\n" + column}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.substr(0, c.expected.find('\n')));
    put("m.msh", c.mesh);
    put("a.mod", c.model);
    const std::string written = run_succeeding({"m.msh", "a.mod", "out.mod", "1"}, "out.mod");
    EXPECT_TRUE(written == c.expected) << written.substr(0, 40);
    put("again.mod", written);
    EXPECT_TRUE(run_succeeding({"m.msh", "again.mod", "out.mod", "2"}, "out.mod") == c.expected);
  }
}

TEST_F(CommandTest, InputLayoutsReadAlike) {
  const std::string expected = literal_smooth({1, 1, 1}, {1, 1}, {1, 2, 3, 4, 5, 6}, 2);
  struct Case {
    std::string mesh;
    std::string model;
  };
  const std::vector<Case> cases = {
      {mesh_3x2, model_3x2},
      {"1 ! x\n0 3 3 three cells\n1 ! z\n0 2 2\n", "3 2\n1\n2\n3\n4\n5\n6\n"},
      {"1\r\n0 3 3\r\n1\r\n0 2 2\r\n", "3 2\r\n1 2 3\r\n4 5 6\r\n"},
      {"1\n0 3\n3\n1\n0\n2\n2\n", "3\n2\n1 2 3 4 5 6\n"},            // items spread over lines
      {"\n1\n\n0,3,3\n1\n0\t2\t2", "3,2 words\n\n1,2,3\n4 , 5 ,6"},  // no final line feed
      {"1\n0d0 3D0 3\n1\n0e0 .2e1 2\n", "3 2\n1.0D0 2e0 3 4.0d+00 5E0 60e-1\n"},
      {"1\n0 3 3 4 5\n1\n0 2 2 / 9\n", "3 2 1 1 1\n1 2 3 4 5 6 7 8 9\n"},  // surplus ignored
      {"1\n0 3 3\n1\n0 2 2\nnot read\n", "3 2\n1 2 3\n4 5 6\nnot read\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mesh:\n" + c.mesh + "\nmodel:\n" + c.model);
    put("m.msh", c.mesh);
    put("a.mod", c.model);
    EXPECT_EQ(run_succeeding({"m.msh", "a.mod", "out.mod", "2"}, "out.mod"), expected);
  }
}

TEST_F(CommandTest, FileNamesAreFieldsOf200Characters) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  const std::string expected = literal_smooth({1, 1, 1}, {1, 1}, {1, 2, 3, 4, 5, 6}, 1);
  const std::string mesh_200 = std::string(196, 'm') + ".msh";
  const std::string model_200 = std::string(196, 'a') + ".mod";
  const std::string output_200 = std::string(196, 'o') + ".mod";
  put(mesh_200, mesh_3x2);
  put(model_200, model_3x2);
  put("with blanks.msh", mesh_3x2);
  struct Case {
    std::vector<std::string> arguments;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"m.msh   ", "a.mod  ", "out.mod    ", "1"}, "out.mod"},
      {{mesh_200, model_200, output_200, "1"}, output_200},
      {{mesh_200 + "cut", model_200 + " cut", output_200 + "cut", "1"}, output_200},
      {{"with blanks.msh", "a.mod", "out with blanks.mod ", "1"}, "out with blanks.mod"},
      {{"m.msh", "a.mod", "./out.mod", "1"}, "out.mod"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("output '" + c.output + "'");
    EXPECT_EQ(run_succeeding(c.arguments, c.output), expected);
  }
}

TEST_F(CommandTest, OutputReplacesAnExistingFile) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  put("out.mod", existing_output);
  // Over the input itself: the model is read before anything is written.
  const RunResult over_input = run({"m.msh", "a.mod", "a.mod", "1"});
  EXPECT_EQ(over_input.status, exit_success);
  EXPECT_EQ(over_input.out + over_input.err, "");
  const std::string expected = literal_smooth({1, 1, 1}, {1, 1}, {1, 2, 3, 4, 5, 6}, 1);
  EXPECT_EQ(get("a.mod"), expected);

  const RunResult over_output = run({"m.msh", "a.mod", "out.mod", "1"});
  EXPECT_EQ(over_output.status, exit_success);
  EXPECT_EQ(over_output.out + over_output.err, "");
  // The second run smooths the first run's written values, rounded to 6 digits.
  std::istringstream written(expected);
  int nx = 0;
  int nz = 0;
  written >> nx >> nz;
  std::vector<double> rounded(6);
  for (double& value : rounded) written >> value;
  ASSERT_TRUE(written && nx == 3 && nz == 2);
  EXPECT_EQ(get("out.mod"), literal_smooth({1, 1, 1}, {1, 1}, rounded, 1));
  EXPECT_EQ(listing(), (std::set<std::string>{"m.msh", "a.mod", "out.mod"}));
}

// An output name that is a symbolic link: to a file, which is replaced under the link; to nothing
// yet, where the file is made, as the shell's redirection would make it. The links stay links and
// no other file appears.
TEST_F(CommandTest, OutputThroughASymbolicLinkLandsWhereItPoints) {
  put("m.msh", mesh_3x2);
  put("a.mod", model_3x2);
  fs::create_directory(work_ / "results");
  put("results/old.mod", existing_output);
  fs::create_symlink("results/old.mod", work_ / "to_file.mod");
  fs::create_symlink("results/new.mod", work_ / "to_nothing.mod");
  for (const std::string output : {"to_file.mod", "to_nothing.mod"}) {
    SCOPED_TRACE(output);
    const RunResult result = run({"m.msh", "a.mod", output, "1"});
    EXPECT_EQ(result.status, exit_success);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(fs::is_symlink(work_ / output));
  }
  const std::string expected = literal_smooth({1, 1, 1}, {1, 1}, {1, 2, 3, 4, 5, 6}, 1);
  EXPECT_EQ(get("results/old.mod"), expected);
  EXPECT_EQ(get("results/new.mod"), expected);
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(work_)) {
    names.insert(entry.path().lexically_relative(work_).string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"m.msh", "a.mod", "results", "results/old.mod",
                                          "results/new.mod", "to_file.mod", "to_nothing.mod"}));
}

TEST_F(CommandTest, SmoothsTheBundledExample) {
  const fs::path examples = fs::path(QUELBY_SOURCE_DIR) / "examples";
  const std::string output =
      run_succeeding({(examples / "section.msh").string(), (examples / "section.mod").string(),
                      "smoothed.mod", "5"},
                     "smoothed.mod");

  // The expectation: the library's readers (tested on their own) with a literal smoothing.
  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const Io io{console, error, log};
  Mesh mesh;
  load_mesh(io, (examples / "section.msh").string(), mesh);
  Model model(mesh.nx, mesh.nz);
  read_model(io, mesh, (examples / "section.mod").string(), "model", model);
  const std::vector<double> values(model.values().begin(), model.values().end());
  EXPECT_EQ(output, literal_smooth(mesh.dx, mesh.dz, values, 5));
  EXPECT_EQ(output.substr(0, 11), "   80   30\n");
}

}  // namespace
}  // namespace quelby
