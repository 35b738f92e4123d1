// The command's options, run as a process: --help, --version, usage errors, fixed cells from
// --topography and --active, and the detail line that an option-form run prints after a stop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/version.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "tests/smoothing/masked_literal.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

const std::string usage = "\nUsage: quelby  mesh inmodel outmodel cycles\n";

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

std::string field_13(const double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%13.5E", value);
  return text;
}

// A model file as the command writes it (two-digit exponents only).
std::string model_text(const std::vector<double>& values, const int nx, const int nz) {
  char header[16];
  std::snprintf(header, sizeof header, "%5d%5d\n", nx, nz);
  std::string text = header;
  for (int k = 0; k < nz; ++k) {
    for (int i = 0; i < nx; ++i) text += field_13(values[static_cast<std::size_t>(k) * nx + i]);
    text += '\n';
  }
  return text;
}

// The command's work with fixed cells done literally: ln of the free cells, the literal masked
// passes, exp of the free cells.
std::string literal_masked_smooth(const std::vector<double>& dx, const std::vector<double>& dz,
                                  const std::vector<std::uint8_t>& fixed,
                                  std::vector<double> values, const int cycles) {
  const int nx = static_cast<int>(dx.size());
  const int nz = static_cast<int>(dz.size());
  std::vector<bool> kept(values.size());
  for (int cell = 0; cell < nx * nz; ++cell) {
    kept[cell] = fixed[cell] != 0 || masked_literal::lone(fixed, nx, nz, cell);
    if (!kept[cell]) values[cell] = std::log(values[cell]);
  }
  for (int cycle = 0; cycle < cycles; ++cycle) values = masked_literal::pass(dx, dz, fixed, values);
  for (int cell = 0; cell < nx * nz; ++cell) {
    if (!kept[cell]) values[cell] = std::exp(values[cell]);
  }
  return model_text(values, nx, nz);
}

TEST(CommandOptions, PhasesReportEveryPhaseAndLeaveTheOutputAlone) {
  TempFolder folder;
  folder.write("m.msh", "1\n0 30 3\n1\n0 20 2\n");
  folder.write("m.mod", "3 2\n1 10 100\n1000 1 10\n");
  const RunResult plain = run_in(folder, {"m.msh", "m.mod", "plain.mod", "3"});
  const RunResult timed =
      run_in(folder, {"--phases", "phases.txt", "m.msh", "m.mod", "timed.mod", "3"});
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(timed.status, 0);
  EXPECT_EQ(timed.out + timed.err, "");
  EXPECT_EQ(read_file(folder.file("timed.mod")), read_file(folder.file("plain.mod")));
  const std::string report = read_file(folder.file("phases.txt"));
  for (const char* phase : {"startup", "mesh", "allocate", "read", "ln", "passes", "exp", "format",
                            "write", "rename", "teardown"}) {
    EXPECT_NE(report.find(std::string("\nphase ") + phase + " "), std::string::npos) << phase;
  }
  EXPECT_TRUE(report.starts_with("stamp main ")) << report;
  EXPECT_NE(report.find("\nstamp exit "), std::string::npos);
}

TEST(CommandOptions, HelpAndVersionAnswerOnStandardOutput) {
  TempFolder folder;
  const std::string version_line = "quelby " + std::string(quelby::version) + "\n";
  EXPECT_EQ(std::count(quelby::version.begin(), quelby::version.end(), '.'), 2);
  struct Case {
    std::vector<std::string> arguments;
    bool help;
  };
  const std::vector<Case> cases = {
      {{"--help"}, true},
      {{"-h"}, true},
      {{"-h", "m.msh", "a.mod", "out.mod", "1"}, true},
      {{"--details", "-h", "--bogus"}, true},
      {{"--help", "m.msh", "a.mod", "out.mod", "1"}, true},
      {{"--topography", "t.topo", "--help"}, true},
      {{"--version"}, false},
      {{"--details", "--version", "--bogus"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " ... (" + std::to_string(c.arguments.size()) + ")");
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    if (!c.help) {
      EXPECT_EQ(result.out, version_line);
      continue;
    }
    EXPECT_TRUE(result.out.starts_with(
        "Usage: quelby [--topography FILE] [--active FILE] [--details] mesh inmodel outmodel "
        "cycles\n"));
    // One line for each option.
    const std::size_t options = result.out.find("Options:\n");
    ASSERT_NE(options, std::string::npos);
    const std::string block =
        result.out.substr(options + 9, result.out.find("\n\n", options) - options - 9);
    EXPECT_EQ(std::count(block.begin(), block.end(), '\n'), 5) << block;
    for (const std::string option :
         {"\n  --topography FILE  ", "\n  --active FILE      ", "\n  --details          ",
          "\n  --phases FILE      ", "\n  -h, --help         ", "\n  --version          ",
          "man 1 quelby"}) {
      EXPECT_NE(result.out.find(option), std::string::npos) << option;
    }
  }
  EXPECT_EQ(fs::directory_iterator(folder.path()), fs::directory_iterator());
}

TEST(CommandOptions, UsageErrorsNameTheOptionThenPrintTheUsage) {
  TempFolder folder;
  folder.write("m.msh", "1\n0 3 3\n1\n0 2 2\n");
  folder.write("a.mod", "3 2\n1 2 3 4 5 6\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--bogus", "m.msh", "a.mod", "out.mod", "1"}, "quelby: unknown option '--bogus'\n"},
      {{"--Topography", "t", "m.msh", "a.mod", "out.mod", "1"},
       "quelby: unknown option '--Topography'\n"},
      {{"--topography"}, "quelby: option '--topography' needs a file name\n"},
      {{"--topography", "t.topo", "--active"}, "quelby: option '--active' needs a file name\n"},
      {{"--help=yes"}, "quelby: option '--help' takes no value\n"},
      {{"--details=1", "m.msh", "a.mod", "out.mod", "1"},
       "quelby: option '--details' takes no value\n"},
      // Options first: after the first positional argument nothing is an option.
      {{"m.msh", "--topography", "t.topo", "a.mod", "out.mod", "1"}, ""},
      {{"--topography", "t.topo", "m.msh", "a.mod", "out.mod"}, ""},
      {{"--details", "m.msh", "a.mod", "out.mod", "1", "2"}, ""},
      {{"--", "m.msh", "a.mod", "out.mod"}, ""},
      // -h is an option only where options stand, and only alone.
      {{"--", "-h"}, ""},
      {{"m.msh", "-h"}, ""},
      {{"-hx"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " (" + std::to_string(c.arguments.size()) + ")");
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, usage);
    EXPECT_FALSE(fs::exists(folder.path() / "out.mod"));
  }
}

// 4 columns of 10 m over 3 rows of air and 4 rows of ground; the surface lies exactly on z = 30.
const std::string air_mesh = "1\n0 40 4\n2\n0 30 3\n70 4\n";
const std::string ground_mesh = "1\n0 40 4\n1\n30 70 4\n";
const std::string flat_topography = "2 100\n-10 70\n50 70\n";

TEST(CommandOptions, GroundUnderAirHoldingAPlaceholderSmoothsAsTheGroundAlone) {
  TempFolder folder;
  folder.write("air.msh", air_mesh);
  folder.write("ground.msh", ground_mesh);
  folder.write("flat.topo", flat_topography);
  const std::string ground_values =
      "12 300 45 7\n"
      "1000 2.5 80 640\n"
      "33 9 5000 120\n"
      "0.5 71 19 260\n";
  folder.write("ground.mod", "4 4\n" + ground_values);
  folder.write("air.mod", "4 7\n12*1.0E-8\n" + ground_values);

  for (const std::string cycles : {"1", "3"}) {
    SCOPED_TRACE(cycles + " cycles");
    const RunResult alone = run_in(folder, {"ground.msh", "ground.mod", "alone.mod", cycles});
    ASSERT_EQ(alone.status, 0) << alone.out << alone.err;
    const RunResult masked =
        run_in(folder, {"--topography", "flat.topo", "air.msh", "air.mod", "masked.mod", cycles});
    ASSERT_EQ(masked.status, 0) << masked.out << masked.err;
    EXPECT_EQ(masked.out + masked.err, "");
    const std::string air_row = std::string(4 * 13, ' ');
    std::string expected = "    4    7\n";
    for (int row = 0; row < 3; ++row) {
      for (int i = 0; i < 4; ++i) expected += "  1.00000E-08";
      expected += '\n';
    }
    const std::string alone_text = read_file(folder.file("alone.mod"));
    expected += alone_text.substr(alone_text.find('\n') + 1);
    EXPECT_EQ(read_file(folder.file("masked.mod")), expected);
    // Without the topography the placeholder drags the ground down.
    ASSERT_EQ(run_in(folder, {"air.msh", "air.mod", "plain.mod", cycles}).status, 0);
    EXPECT_NE(read_file(folder.file("plain.mod")), expected);
  }
}

TEST(CommandOptions, FixedCellsOfTheParameterMapKeepTheirValues) {
  TempFolder folder;
  // 5 by 3 cells of unequal sizes under a sloping surface.
  const std::string mesh_name = folder.write("m.msh", "2\n0 30 3\n70 2\n2\n0 10 1\n40 2\n");
  const std::string topography_name = folder.write("slope.topo", "2 100\n0 95\n70 85\n");
  // A zero and a negative placeholder where cells are fixed: no harm done.
  const std::vector<double> values = {0,    -1, 25,  7.5, 420,  9000, 2,  640,
                                      1e-8, 13, 1.5, 55,  8100, 3.25, 700};
  std::string model = "5 3\n";
  for (const double value : values) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g\n", value);
    model += text;
  }
  folder.write("a.mod", model);
  // Inactive (0) and influence (-1) cells are fixed alike.
  folder.write("cells.act", "5 3\n0 0 1 1 1\n1 1 1 -1 1\n0 1 1 1 1\n");
  const std::vector<std::uint8_t> from_file = {1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0};

  // The air cells as the library's reader finds them (its own tests check them).
  std::ostringstream console, error, log;
  const Io io{console, error, log};
  Mesh mesh;
  Topography topography;
  load_mesh_and_topography(io, mesh_name, topography_name, true, mesh, topography);
  std::vector<std::uint8_t> air(15, 0);
  for (int i = 0; i < 5; ++i) {
    for (int k = 0; k < topography.air_cells[i]; ++k) air[k * 5 + i] = 1;
  }
  ASSERT_NE(air, std::vector<std::uint8_t>(15, 0));
  std::vector<std::uint8_t> both(15);
  for (int cell = 0; cell < 15; ++cell) both[cell] = air[cell] | from_file[cell];

  struct Case {
    std::vector<std::string> options;
    std::vector<std::uint8_t> fixed;
  };
  const std::vector<Case> cases = {
      {{"--active", "cells.act"}, from_file},
      {{"--topography", "slope.topo"}, air},
      {{"--topography", "slope.topo", "--active", "cells.act"}, both},
      {{"--active=cells.act", "--topography=slope.topo"}, both},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.front() + " ... (" + std::to_string(c.options.size()) + ")");
    std::vector<std::string> arguments = c.options;
    for (const std::string argument : {"m.msh", "a.mod", "out.mod", "2"}) {
      arguments.push_back(argument);
    }
    const RunResult result = run_in(folder, arguments);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(read_file(folder.file("out.mod")),
              literal_masked_smooth(mesh.dx, mesh.dz, c.fixed, values, 2));
  }
}

TEST(CommandOptions, StopsOfTheOptionFilesPrintTheirMessageAndADetailLine) {
  TempFolder folder;
  folder.write("m.msh", air_mesh);
  folder.write("a.mod", "4 7\n28*1\n");
  folder.write("sky.topo", "1 100\n0 0\n");  // the surface below the mesh: every cell in the air
  folder.write("short.topo", "3 100\n0 70\n10 70\n");
  folder.write("wrong.act", "4 6\n24*1\n");
  folder.write("bad.msh", "1\n0 40 4\n2\n0 30 x3\n70 4\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--topography", "absent.topo", "m.msh", "a.mod", "out.mod", "1"},
       "\n ERROR: topography file not found: absent.topo\n",
       "absent.topo: cannot be opened\n"},
      {{"--topography", "sky.topo", "m.msh", "a.mod", "out.mod", "1"},
       "\nError: all cells are inactive.\n",
       ""},
      {{"--active", "absent.act", "m.msh", "a.mod", "out.mod", "1"},
       "\n ERROR: active cells file not found: absent.act\n",
       "absent.act: cannot be opened\n"},
      {{"--topography", "short.topo", "m.msh", "a.mod", "out.mod", "1"},
       "\nError reading the topography file: short.topo\n",
       "short.topo:3: 0 values, 2 expected\n"},
      {{"--active", "wrong.act", "m.msh", "a.mod", "out.mod", "1"},
       "\nError: inconsistent dimension in wrong.act\n",
       "wrong.act:1: 4 x 6 cells, the mesh has 4 x 7\n"},
      {{"--details", "bad.msh", "a.mod", "out.mod", "1"},
       "\nError reading the mesh file: bad.msh\n",
       "bad.msh:4: 'x3' is not an integer\n"},
      {{"bad.msh", "a.mod", "out.mod", "1"}, "\nError reading the mesh file: bad.msh\n", ""},
      // Without an option the same stops print no detail line.
      {{"absent.msh", "a.mod", "out.mod", "1"}, "\n ERROR: mesh file not found: absent.msh\n", ""},
      {{"--details", "absent.msh", "a.mod", "out.mod", "1"},
       "\n ERROR: mesh file not found: absent.msh\n",
       "absent.msh: cannot be opened\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[1]);
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(fs::exists(folder.path() / "out.mod"));
  }
}

}  // namespace
}  // namespace quelby
