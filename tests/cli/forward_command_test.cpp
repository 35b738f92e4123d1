// quelby-forward run as a process: its usage errors and stops with their statuses, and its output
// files against the library's own results for the same inputs (data, apparent chargeabilities and
// sensitivities, bit for bit), in the order of the survey file's lines.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

const std::string usage =
    "\nUsage: quelby-forward [--topography FILE] [--active FILE] [--ip ETAFILE] "
    "[--sensitivity JFILE] [--z] MESH MODEL SURVEY OUT\n";

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_FORWARD_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

// 20 columns (2 of 20 m, 16 of 2.5 m, 2 of 20 m) and 7 rows (4 of 2.5 m, 3 of 10 m).
const std::string mesh_text = "3\n-60 -20 2\n20 16\n60 2\n2\n0 10 4\n40 3\n";
constexpr int nx = 20, nz = 7;

// A model file of 100 ohm-m holding a block of `block` ohm-m under x = 0..5, rows 2 to 4.
std::string model_text(double background, double block) {
  std::ostringstream text;
  text << nx << ' ' << nz << '\n';
  for (int k = 0; k < nz; ++k) {
    for (int i = 0; i < nx; ++i)
      text << ((i >= 10 && i < 12 && k >= 1 && k < 4) ? block : background) << ' ';
    text << '\n';
  }
  return text.str();
}

// Dipole-dipole, pole-dipole and dipole-pole data, the lines far from the grouped order; both IP
// types, so that the same file serves DC (read as IP data) and IP runs.
const std::string survey_text =
    "a survey whose lines are not in grouped order\n"
    "IPTYPE=2\n"
    "5 7.5 0 2.5 99 1\n"
    "IPTYPE=1\n"
    "-5 -2.5 0 2.5\n"
    "5 7.5 -5 -2.5\n"
    "-5 -2.5 2.5 5\n"
    "IPTYPE=2\n"
    "0 0 5 7.5\n"
    "IPTYPE=1\n"
    "-7.5 -5 2.5 2.5\n";

// The ground 5 m lower left of x = -10: the first six columns hold two air cells.
const std::string topography_text = "4 10\n-60 5\n-12.5 5\n-10 10\n60 10\n";
// The bottom row inactive, one influence cell.
std::string active_text() {
  std::string text = "20 7\n";
  for (int k = 0; k < nz; ++k) {
    for (int i = 0; i < nx; ++i) text += k == nz - 1 ? "0 " : (k == 3 && i == 7 ? "-1 " : "1 ");
    text += '\n';
  }
  return text;
}

// What the library makes of the same files.
struct Expected {
  std::vector<double> data;      // grouped order
  std::vector<double> ip;        // apparent chargeability (grouped order)
  std::vector<double> jacobian;  // grouped rows, npar columns
  std::int32_t npar = 0;
  SurveyData survey;
};

Expected library_results(const TempFolder& folder, bool topography, bool active) {
  std::ostringstream sink;
  const Io io{sink, sink, sink};
  Expected expected;
  Mesh mesh;
  Topography ground;
  load_mesh_and_topography(io, folder.file("m.msh"), folder.file("t.topo"), topography, mesh,
                           ground);
  ActiveCells cells;
  read_active_cells(io, mesh, ground, active ? folder.file("c.act") : "", cells);
  Model model(nx, nz), eta(nx, nz);
  read_model(io, mesh, folder.file("block.mod"), "model", model);
  read_model(io, mesh, folder.file("eta.mod"), "chargeability", eta);
  read_data_file(io, folder.file("s.dat"), true, false, false, expected.survey);
  ForwardModel forward(io, mesh, ground.air_cells, expected.survey);
  expected.data = forward.data(io, model.values());
  const std::vector<std::int32_t> parameters = parameter_cells(cells);
  expected.npar = cells.npar;
  expected.jacobian.resize(expected.data.size() * parameters.size());
  std::vector<double> data(expected.data.size());
  forward.sensitivity(io, model.values(), parameters, expected.jacobian, data);
  expected.ip = forward.apparent_chargeability(io, model.values(), eta.values());
  return expected;
}

void put_inputs(const TempFolder& folder) {
  folder.write("m.msh", mesh_text);
  folder.write("block.mod", model_text(100, 10));
  folder.write("eta.mod", model_text(0.01, 0.2));
  folder.write("s.dat", survey_text);
  folder.write("t.topo", topography_text);
  folder.write("c.act", active_text());
}

// The data lines of a written data file: positions as written and the values read back.
struct Line {
  std::string positions;
  double value = 0;
};
std::vector<Line> data_lines(const std::string& text, std::vector<std::string>& iptype_lines) {
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);  // the header
  std::vector<Line> lines;
  while (std::getline(in, line)) {
    if (line.starts_with("IPTYPE=")) {
      iptype_lines.push_back(line);
      continue;
    }
    const std::size_t last = line.rfind(' ');
    lines.push_back({line.substr(0, last), std::stod(line.substr(last + 1))});
  }
  return lines;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The sensitivity file's header fields and values, decoded byte by byte.
struct Sensitivities {
  std::uint32_t version = 0, ndat = 0, npar = 0, padding = 1;
  std::vector<double> values;
};
Sensitivities read_sensitivities(const std::string& bytes) {
  Sensitivities file;
  EXPECT_GE(bytes.size(), 24u);
  if (bytes.size() < 24) return file;
  EXPECT_EQ(bytes.substr(0, 8), std::string("QUELBYJ\0", 8));
  auto u32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (int b = 3; b >= 0; --b)
      value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(b)]);
    return value;
  };
  file.version = u32(8);
  file.ndat = u32(12);
  file.npar = u32(16);
  file.padding = u32(20);
  EXPECT_EQ(bytes.size(), 24 + std::size_t{8} * file.ndat * file.npar);
  for (std::size_t at = 24; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word = 0;
    for (int b = 7; b >= 0; --b)
      word = (word << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(b)]);
    double value = 0;
    std::memcpy(&value, &word, sizeof value);
    file.values.push_back(value);
  }
  return file;
}

TEST(ForwardCommand, UsageErrorsHelpAndVersion) {
  TempFolder folder;
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // "help" for the help text
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, 2, usage, ""},
      {{"m.msh", "a.mod", "s.dat"}, 2, usage, ""},
      {{"m.msh", "a.mod", "s.dat", "o.dat", "extra"}, 2, usage, ""},
      {{"--bogus", "m", "a", "s", "o"}, 2, usage, "quelby-forward: unknown option '--bogus'\n"},
      {{"m", "a", "s", "o", "--ip"}, 2, usage, ""},  // options come first: five positional ones
      {{"--ip"}, 2, usage, "quelby-forward: option '--ip' needs a file name\n"},
      {{"--z=yes", "m", "a", "s", "o"}, 2, usage, "quelby-forward: option '--z' takes no value\n"},
      {{"--help=x"}, 2, usage, "quelby-forward: option '--help' takes no value\n"},
      {{"--help"}, 0, "help", ""},
      {{"-h", "--bogus"}, 0, "help", ""},
      {{"--sensitivity", "j", "--version"}, 0, "quelby-forward " + std::string(version) + "\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.front());
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    if (c.out == "help") {
      EXPECT_TRUE(result.out.starts_with("Usage: quelby-forward [--topography FILE]"))
          << result.out;
      EXPECT_NE(result.out.find("man 1 quelby-forward\n"), std::string::npos);
    } else {
      EXPECT_EQ(result.out, c.out);
    }
  }
}

TEST(ForwardCommand, StopsPrintTheirMessageAndDetailAndWriteNothing) {
  TempFolder folder;
  put_inputs(folder);
  folder.write("zero.mod", "20 7\n5*100 0 134*100\n");
  folder.write("short.mod", "20 6\n120*100\n");
  folder.write("far.dat", "electrode beyond the mesh\n0 2.5 5 7.5\n0 2.5 60.5 70\n");
  folder.write("nan.mod", "20 7\n5*0.01 nan 134*0.01\n");
  folder.write("inf.mod", "20 7\n30*0.01 -Infinity 109*0.01\n");
  folder.write("huge.mod", "20 7\n140*1.7e308\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"absent.msh", "block.mod", "s.dat", "o.dat"},
       "\n ERROR: mesh file not found: absent.msh\n",
       "absent.msh: cannot be opened\n"},
      {{"m.msh", "short.mod", "s.dat", "o.dat"},
       "\nError: inconsistent dimension in short.mod\n",
       "short.mod:1: 20 x 6 cells, the mesh has 20 x 7\n"},
      {{"--ip", "absent.mod", "m.msh", "block.mod", "s.dat", "o.dat"},
       "\n ERROR: chargeability file not found: absent.mod\n",
       "absent.mod: cannot be opened\n"},
      {{"m.msh", "zero.mod", "s.dat", "o.dat"},
       "\nError: the resistivity of cell (6, 1) is not a positive number: 0\n",
       ""},
      {{"--z", "m.msh", "block.mod", "s.dat", "o.dat"},
       "\nThe Z locations in the data file can only be used with the\ncommon current format.\n"
       "s.dat\n",
       ""},
      // Chargeabilities that are not finite numbers.
      {{"--ip", "nan.mod", "m.msh", "block.mod", "s.dat", "o.dat"},
       "\nError: the chargeability of cell (6, 1) is not a finite number: nan\nnan.mod\n",
       "nan.mod: cell (6, 1) holds nan\n"},
      {{"--ip", "inf.mod", "m.msh", "block.mod", "s.dat", "o.dat"},
       "\nError: the chargeability of cell (11, 2) is not a finite number: -inf\ninf.mod\n",
       "inf.mod: cell (11, 2) holds -inf\n"},
      {{"m.msh", "block.mod", "s.dat", "absent/o.dat"},
       "",
       "Error: cannot write the data file absent/o.dat: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[c.arguments.size() - 3]);
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(std::filesystem::exists(folder.file("o.dat")));
  }
  // An electrode beyond the mesh: the message names the datum.
  const RunResult far = run_in(folder, {"m.msh", "block.mod", "far.dat", "o.dat"});
  EXPECT_EQ(far.status, 1);
  EXPECT_TRUE(far.out.starts_with("\nError: electrode M of datum 2 at x = 60.5")) << far.out;
  EXPECT_FALSE(std::filesystem::exists(folder.file("o.dat")));
  // Chargeabilities whose IP responses overflow: the first datum in grouped order is named by
  // its line of the survey file.
  const RunResult huge =
      run_in(folder, {"--ip", "huge.mod", "m.msh", "block.mod", "s.dat", "o.dat"});
  EXPECT_EQ(huge.status, 1);
  EXPECT_TRUE(
      huge.out.starts_with("\nError: s.dat, line 11: the IP response is not a finite "
                           "number: "))
      << huge.out;
  EXPECT_TRUE(huge.err.starts_with("s.dat, line 11: IP response ")) << huge.err;
  EXPECT_FALSE(std::filesystem::exists(folder.file("o.dat")));
}

// What the solver cannot take ends with status 1 and a message naming the datum, the row or the
// cell to mend, before anything is written: a potential electrode on a current electrode (or all
// four at one point), a row 2e-15 m thick, a resistivity of 4e-308 ohm-m. Electrodes 1 mm apart
// are taken.
TEST(ForwardCommand, InputsTheSolverCannotTakeAreNamedAndElectrodesAMillimetreApartAreTaken) {
  TempFolder folder;
  put_inputs(folder);
  folder.write("on_a.dat", "a potential electrode on a current one\n0 2.5 5 7.5\n0 5 0 5\n");
  folder.write("one_point.dat", "all four at one point\n2.5 2.5 2.5 2.5\n");
  folder.write("thin.msh", "3\n-60 -20 2\n20 16\n60 2\n3\n0 10 4\n10.000000000000002 1\n40 3\n");
  folder.write("thin.mod", "20 8\n160*100\n");
  folder.write("tiny.mod", "20 7\n5*100 4e-308 134*100\n");
  folder.write("close.dat", "a millimetre apart\n0 2.5 2.501 5\n-10 -7.5 5 7.5\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"m.msh", "block.mod", "on_a.dat", "o.dat"},
       "\nError: electrode M of datum 2 at x = 0 stands on current electrode A: the potential "
       "there is infinite\n"},
      {{"m.msh", "block.mod", "one_point.dat", "o.dat"},
       "\nError: electrode M of datum 1 at x = 2.5 stands on current electrode A: the potential "
       "there is infinite\n"},
      {{"thin.msh", "thin.mod", "s.dat", "o.dat"},
       "\nError: row 5 of the mesh is 1.7763568394002505e-15 m thick where column 1 is 20 m wide: "
       "the forward model takes cells at most 1e+12 times wider than they are thick; make row 5 "
       "thicker\n"},
      {{"m.msh", "tiny.mod", "s.dat", "o.dat"},
       "\nError: the resistivity of cell (6, 1) is " + shortest(1 / (1 / 4e-308)) +
           " ohm-m: the forward model takes resistivities from 1e-100 to 1e+100 ohm-m\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[2]);
    const RunResult result = run_in(folder, c.arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, c.out);
    EXPECT_FALSE(std::filesystem::exists(folder.file("o.dat")));
  }
  const RunResult close = run_in(folder, {"m.msh", "block.mod", "close.dat", "o.dat"});
  EXPECT_EQ(close.status, 0) << close.out << close.err;
  std::string written = read_file(folder.file("o.dat"));
  for (char& c : written) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(written.find("nan"), std::string::npos) << written;
  EXPECT_EQ(written.find("inf"), std::string::npos) << written;
}

// DC data, IP data and sensitivities of one survey, with and without topography and active
// cells: the values are the library's, bit for bit, in the survey file's line order.
TEST(ForwardCommand, OutputsAreTheLibrarysInTheSurveyFilesOrder) {
  TempFolder folder;
  put_inputs(folder);
  // The survey's lines in file order, as the command must write them.
  const std::vector<std::string> file_positions = {"5 7.5 0 2.5",   "-5 -2.5 0 2.5",
                                                   "5 7.5 -5 -2.5", "-5 -2.5 2.5 5",
                                                   "0 0 5 7.5",     "-7.5 -5 2.5 2.5"};
  struct Case {
    std::vector<std::string> options;
    bool topography, active;
  };
  const std::vector<Case> cases = {
      {{}, false, false},
      {{"--topography", "t.topo"}, true, false},
      {{"--topography=t.topo", "--active", "c.act"}, true, true},
      {{"--active", "c.act"}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "(no option)" : c.options.back());
    const Expected expected = library_results(folder, c.topography, c.active);
    const std::size_t ndat = expected.data.size();
    ASSERT_EQ(ndat, 6u);
    std::vector<std::string> arguments = c.options;
    for (const char* word : {"--sensitivity", "j.bin", "m.msh", "block.mod", "s.dat", "dc.dat"})
      arguments.emplace_back(word);
    const RunResult dc = run_in(folder, arguments);
    ASSERT_EQ(dc.status, 0) << dc.out << dc.err;
    EXPECT_EQ(dc.out + dc.err, "");
    arguments = c.options;
    for (const char* word : {"--ip", "eta.mod", "m.msh", "block.mod", "s.dat", "ip.dat"})
      arguments.emplace_back(word);
    const RunResult ip = run_in(folder, arguments);
    ASSERT_EQ(ip.status, 0) << ip.out << ip.err;

    const std::string dc_text = read_file(folder.file("dc.dat"));
    EXPECT_TRUE(dc_text.starts_with("quelby-forward: DC data in ohms")) << dc_text;
    std::vector<std::string> dc_types, ip_types;
    const std::vector<Line> dc_lines = data_lines(dc_text, dc_types);
    const std::vector<Line> ip_lines = data_lines(read_file(folder.file("ip.dat")), ip_types);
    EXPECT_TRUE(dc_types.empty());
    EXPECT_EQ(ip_types, (std::vector<std::string>{"IPTYPE=2", "IPTYPE=1", "IPTYPE=2", "IPTYPE=1"}));
    const Sensitivities j = read_sensitivities(read_file(folder.file("j.bin")));
    EXPECT_EQ(j.version, 1u);
    EXPECT_EQ(j.ndat, ndat);
    EXPECT_EQ(j.npar, static_cast<std::uint32_t>(expected.npar));
    EXPECT_EQ(j.padding, 0u);
    ASSERT_EQ(dc_lines.size(), ndat);
    ASSERT_EQ(ip_lines.size(), ndat);
    ASSERT_EQ(j.values.size(), ndat * static_cast<std::size_t>(expected.npar));
    const SurveyData& survey = expected.survey;
    for (std::size_t line = 0; line < ndat; ++line) {
      const std::size_t grouped = survey.grouped_position(line);
      EXPECT_EQ(dc_lines[line].positions, file_positions[line]);
      EXPECT_EQ(ip_lines[line].positions, file_positions[line]);
      EXPECT_TRUE(same_bits(dc_lines[line].value, expected.data[grouped])) << line;
      const double eta_a = expected.ip[grouped];
      const double ip_value = survey.iptype[grouped] == 2 ? eta_a * expected.data[grouped] : eta_a;
      EXPECT_TRUE(same_bits(ip_lines[line].value, ip_value)) << line;
      const auto columns = static_cast<std::size_t>(expected.npar);
      for (std::size_t p = 0; p < columns; ++p) {
        ASSERT_TRUE(
            same_bits(j.values[line * columns + p], expected.jacobian[grouped * columns + p]))
            << line << ", " << p;
      }
    }
  }
}

// Buried electrodes from a common-current file with z positions: the output is in the same layout,
// keeps the file's order and z positions (--z reads it back), and the values are the library's.
TEST(ForwardCommand, BuriedElectrodesOfACommonCurrentFile) {
  TempFolder folder;
  put_inputs(folder);
  folder.write("cc.dat",
               "COMMON_CURRENT\n2\n"
               "5 1 7.5 0 2\n-5 3 -2.5 3\n0 0 2.5 0\n"
               "-7.5 0 -5 0 1\n2.5 6 5 6\n");
  const RunResult result = run_in(folder, {"--z", "m.msh", "block.mod", "cc.dat", "o.dat"});
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  std::ostringstream sink;
  const Io io{sink, sink, sink};
  Mesh mesh;
  load_mesh(io, folder.file("m.msh"), mesh);
  Model model(nx, nz);
  read_model(io, mesh, folder.file("block.mod"), "model", model);
  SurveyData survey;
  read_data_file(io, folder.file("cc.dat"), true, true, true, survey);
  ForwardModel forward(io, mesh, std::vector<std::int32_t>(nx, 0), survey);
  const std::vector<double> data = forward.data(io, model.values());
  const std::string written = read_file(folder.file("o.dat"));
  EXPECT_TRUE(
      written.starts_with("COMMON_CURRENT\n! quelby-forward: DC data in ohms (V/A for a "
                          "unit current) of model block.mod\n2\n5 1 7.5 0 2\n-5 3 -2.5 3 "))
      << written;
  SurveyData back;
  read_data_file(io, folder.file("o.dat"), false, true, true, back);
  EXPECT_EQ(back.xa_cur, survey.xa_cur);
  EXPECT_EQ(back.za_cur, survey.za_cur);
  EXPECT_EQ(back.xb_cur, survey.xb_cur);
  EXPECT_EQ(back.zb_cur, survey.zb_cur);
  EXPECT_EQ(back.xm, survey.xm);
  EXPECT_EQ(back.zm, survey.zm);
  EXPECT_EQ(back.xn, survey.xn);
  EXPECT_EQ(back.zn, survey.zn);
  ASSERT_EQ(back.dobs.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_bits(back.dobs[i], data[i])) << i;
}

}  // namespace
}  // namespace quelby
