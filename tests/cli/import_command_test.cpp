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

}  // namespace
}  // namespace quelby
