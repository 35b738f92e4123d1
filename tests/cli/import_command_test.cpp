// quelby-import run as a process: a Syscal export with reciprocals imported into a folder (its
// files, its one-line summary, the import log's error model), an unknown format refused with
// what each format recognised and the detail on standard error, a missing input, and the help.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "tests/fielddata/field_fixtures.hpp"
#include "tests/support/run_command.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::RunResult;
using testing::TempFolder;

RunResult run_in(const TempFolder& folder, const std::vector<std::string>& arguments) {
  return testing::run_command(QUELBY_IMPORT_BINARY, folder.path(), arguments,
                              folder.file("stdout.capture"), folder.file("stderr.capture"));
}

TEST(ImportCommand, ImportsASyscalExportWithReciprocals) {
  TempFolder folder;
  auto readings = testing::dipole_dipole(12, 1.0, 50.0);
  const std::size_t normals = readings.size();
  for (std::size_t i = 0; i < normals; ++i) {
    testing::SyscalReading r = readings[i];
    r.x = {r.x[2], r.x[3], r.x[0], r.x[1]};
    r.resistance *= i % 2 == 0 ? 1.03 : 0.98;
    readings.push_back(r);
  }
  folder.write("line.txt", testing::syscal_text(readings));
  const RunResult run = run_in(folder, {"--reciprocal", "line.txt", "out"});
  ASSERT_EQ(run.status, exit_success) << run.out << run.err;
  EXPECT_EQ(run.out, "Imported " + std::to_string(normals) +
                         " data with IP into out (see "
                         "import.log)\n");
  EXPECT_EQ(run.err, "");
  for (const char* name : {"data.dat", "ip.dat", "import.log"}) {
    EXPECT_TRUE(std::filesystem::exists(folder.file("out/") + name)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(folder.file("out/topography.topo")));
  const std::string log = read_file(folder.file("out/import.log"));
  EXPECT_TRUE(log.starts_with("quelby-import " + std::string(version) + "\ninput: line.txt\n"));
  EXPECT_NE(log.find("reciprocal pairs: " + std::to_string(normals)), std::string::npos) << log;
  EXPECT_NE(log.find("standard deviations: the error model, e = "), std::string::npos) << log;
  EXPECT_TRUE(read_file(folder.file("out/data.dat"))
                  .starts_with("quelby-import: DC data, signed resistance in ohms (V/A), from "
                               "line.txt\n"));
}

TEST(ImportCommand, RefusalsEndWithTheirStatusAndDetail) {
  TempFolder folder;
  folder.write("notes.txt", "field notes\n");
  const RunResult unknown = run_in(folder, {"notes.txt", "out"});
  EXPECT_EQ(unknown.status, exit_failure);
  EXPECT_TRUE(unknown.out.starts_with("\nError: the format of notes.txt is not recognised:\n"))
      << unknown.out;
  EXPECT_EQ(unknown.err, "notes.txt: no import format reads it\n");
  EXPECT_FALSE(std::filesystem::exists(folder.file("out")));

  const RunResult forced = run_in(folder, {"--format", "dat2d", "notes.txt", "out"});
  EXPECT_EQ(forced.status, exit_failure);
  EXPECT_EQ(forced.out,
            "\nError reading the field data file notes.txt: the file ends where the "
            "electrode spacing was expected\n");

  const RunResult missing = run_in(folder, {"absent.csv", "out"});
  EXPECT_EQ(missing.status, exit_failure);
  EXPECT_NE(missing.out.find("absent.csv"), std::string::npos) << missing.out;

  const RunResult help = run_in(folder, {"--help"});
  EXPECT_EQ(help.status, exit_success);
  EXPECT_TRUE(help.out.starts_with("Usage: quelby-import [options] INPUT OUTDIR\n"));
  EXPECT_NE(help.out.find("man 1 quelby-import"), std::string::npos);
  const RunResult usage = run_in(folder, {"only-one"});
  EXPECT_EQ(usage.status, exit_usage);
}

TEST(ImportCommand, ElectrodesAcrossTheGroundOrSeveralInputsMakeA3DSurvey) {
  TempFolder folder;
  folder.write("grid.ohm",
               "4\n# x y z\n0 0 5\n1 0 5\n0 1 5\n1 1 4.5\n1\n# a b m n r\n"
               "1 2 3 4 0.5\n");
  folder.write("line.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r\n1 2 3 4 -2\n");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string written;  // the file written into out/, or "" for none
    std::string data;     // its data lines
  };
  const std::vector<Case> cases = {
      {"a grid, told from its electrodes",
       {"grid.ohm", "out"},
       exit_success,
       "Imported 1 datum as a 3-D survey into out/survey3d.dat (see import.log)\n",
       "survey3d.dat",
       "0 0 0 1 0 0 0 1 0 1 1 0.5 0.5\n"},
      {"a line made 3-D, under another name",
       {"--3d", "--survey-name", "line3d.dat", "line.ohm", "out"},
       exit_success,
       "Imported 1 datum as a 3-D survey into out/line3d.dat (see import.log)\n",
       "line3d.dat",
       "0 0 0 1 0 0 2 0 0 3 0 0 -2\n"},
      {"two lines, one a file",
       {"--line-offset", "4", "line.ohm", "line.ohm", "out"},
       exit_success,
       "Imported 2 data as a 3-D survey into out/survey3d.dat (see import.log)\n",
       "survey3d.dat",
       "0 0 0 1 0 0 2 0 0 3 0 0 -2\n0 4 0 1 4 0 2 4 0 3 4 0 -2\n"},
      {"a line stays a line",
       {"line.ohm", "out"},
       exit_success,
       "Imported 1 datum into out (see import.log)\n",
       "data.dat",
       ""},
      {"a grid as a line",
       {"--2d", "grid.ohm", "out"},
       exit_failure,
       "\nError: electrode B of the reading of line 9 of grid.ohm at x = 1, y = 0 stands 0.707107 "
       "m "
       "off the line of the others: electrodes spread in y make a 3-D survey, which "
       "quelby-import writes without --2d (import_field_data3d)\n",
       "",
       ""},
      {"both", {"--2d", "--3d", "grid.ohm", "out"}, exit_usage, "", "", ""},
      {"several inputs as a line", {"--2d", "line.ohm", "line.ohm", "out"}, exit_usage, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(folder.file("out"));
    const RunResult run = run_in(folder, c.arguments);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    if (c.status != exit_success) {
      if (!c.out.empty()) {
        EXPECT_EQ(run.out, c.out);
      }
      EXPECT_FALSE(std::filesystem::exists(folder.file("out/survey3d.dat")));
      continue;
    }
    EXPECT_EQ(run.out, c.out);
    const std::string text = read_file(folder.file("out/" + c.written));
    if (c.written == "data.dat") {
      EXPECT_FALSE(std::filesystem::exists(folder.file("out/survey3d.dat")));
      continue;
    }
    ASSERT_TRUE(text.starts_with("GENERAL_3D\n! quelby-import: ")) << text;
    EXPECT_EQ(text.substr(text.find('\n', text.find('\n') + 1) + 1), c.data);
    EXPECT_NE(read_file(folder.file("out/import.log")).find("3-D survey"), std::string::npos);
  }
}

}  // namespace
}  // namespace quelby
