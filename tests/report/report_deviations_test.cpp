#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "quelby/report/run_report.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

void put(const TempFolder& folder, const std::string& name, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(folder.file(name)).parent_path());
  folder.write(name, text);
}

constexpr const char* history =
    "    1  iter    data misfit       model norm              beta\n"
    "       0       4.00000E+02       0.00000E+00       1.00000E+02\n"
    "       1       1.50000E+00       2.00000E+00       1.00000E+01\n"
    " 2.00000E+00 target misfit\n"
    "           2 number of data\n";

// An older folder keeps no copy of its data: the report reads the file its run log names, which
// holds no deviations. The run inverted it with default errors, and its predicted file records
// them: the misfit is (d - p) over those, not over 1 ohm, nor left out.
TEST(ReportDeviations, DataWithoutDeviationsTakeThoseThePredictedFileRecords) {
  struct Case {
    const char* name;
    bool three_dimensional;
  };
  for (const Case& c : {Case{"line", false}, Case{"grid", true}}) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::string run = std::string(c.name) + "_run";
    if (c.three_dimensional) {
      put(folder, run + "/mesh.msh", "1\n0 30 3\n1\n0 30 3\n1\n0 20 2\n");
      std::string model = "    3    3    2\n";
      for (int k = 0; k < 18; ++k) model += " 1.0E+02";
      put(folder, run + "/model.mod", model + "\n");
      put(folder, "survey.dat",
          "GENERAL_3D\n0 0 0 30 0 0 10 0 0 20 0 0 1.25\n0 0 0 0 0 0 10 10 0 20 10 0 0.75\n");
      put(folder, run + "/predicted.dat",
          "GENERAL_3D\n0 0 0 30 0 0 10 0 0 20 0 0 1.20 0.025\n"
          "0 0 0 0 0 0 10 10 0 20 10 0 0.80 0.1\n");
      put(folder, run + "/run.log",
          "3-D survey data were read from file: survey.dat\n"
          "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
    } else {
      put(folder, run + "/mesh.msh", "1\n0 20 2\n1\n0 20 2\n");
      put(folder, run + "/model.mod", "    2    2\n 1.0E+02 1.0E+02\n 1.0E+02 1.0E+02\n");
      put(folder, "survey.dat", "! no deviations\n0 30 10 20 1.25\n10 40 20 30 0.75\n");
      put(folder, run + "/predicted.dat",
          "! predicted\n0 30 10 20 1.20 0.025\n10 40 20 30 0.80 0.1\n");
      put(folder, run + "/run.log",
          "mesh was read from: line.msh\ndata were read from: survey.dat\n"
          "DC inversion: reached the target misfit after 1 iteration, misfit 1.5E+00\n");
    }
    put(folder, run + "/history.txt", history);
    Transcript transcript;
    std::string page;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    try {
      page = run_report_html(transcript.io(), run);
    } catch (...) {
      std::filesystem::current_path(before);
      throw;
    }
    std::filesystem::current_path(before);
    // (1.25 - 1.20) / 0.025 = 2 and (0.75 - 0.80) / 0.1 = -0.5.
    EXPECT_NE(page.find("misfit (d - p) / sigma 2</title>"), std::string::npos) << page;
    EXPECT_NE(page.find("misfit (d - p) / sigma -0.5</title>"), std::string::npos);
  }
}

}  // namespace
}  // namespace quelby
