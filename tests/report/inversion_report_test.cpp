#include "quelby/report/inversion_report.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/regularization/objective3d.hpp"
#include "tests/regularization/objective_setup.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr const char* history_header_niter_0 =
    "    0  iter    data misfit       model norm              beta\n";

TEST(IterationHistory, OneIterationAndItsColumns) {
  TempFolder folder;
  const std::string name = folder.file("history.txt");
  Transcript transcript;
  write_iteration_history(transcript.io(), name + "   ", 0, std::vector<double>{1234.5},
                          std::vector<double>{0.0}, std::vector<double>{-2.5e-7}, 100, 250);
  const std::string expected = std::string(history_header_niter_0) +
                               "       0       1.23450E+03       0.00000E+00      -2.50000E-07\n"
                               " 1.00000E+02 target misfit\n"
                               "         250 number of data\n";
  EXPECT_EQ(testing::read_file(name), expected);
  EXPECT_EQ(transcript.log(), "");
  EXPECT_EQ(transcript.console(), "");
  // The header's words in their columns (1-based): iter 8-11, data misfit 16-26, model norm 34-43,
  // beta 58-61.
  EXPECT_EQ(expected.substr(7, 4), "iter");
  EXPECT_EQ(expected.substr(15, 11), "data misfit");
  EXPECT_EQ(expected.substr(33, 10), "model norm");
  EXPECT_EQ(expected.substr(57, 4), "beta");
}

TEST(IterationHistory, RowsWideValuesAndAsterisks) {
  TempFolder folder;
  const std::string name = folder.file("history.txt");
  Transcript transcript;
  const std::vector<double> misfit{10, 8, 1e-120};
  const std::vector<double> norm{0, 3.25, std::numeric_limits<double>::infinity()};
  const std::vector<double> beta{1e5, 5e4, std::numeric_limits<double>::quiet_NaN()};
  write_iteration_history(transcript.io(), name, 2, misfit, norm, beta, -1e300, 1234567890);
  EXPECT_EQ(testing::read_file(name),
            "    2  iter    data misfit       model norm              beta\n"
            "       0       1.00000E+01       0.00000E+00       1.00000E+05\n"
            "       1       8.00000E+00       3.25000E+00       5.00000E+04\n"
            "       2       1.00000-120          Infinity               NaN\n"
            "-1.00000+300 target misfit\n"
            "  1234567890 number of data\n");

  // A count too wide for its field; no rows for a negative niter.
  write_iteration_history(transcript.io(), name, 123456, std::vector<double>(123457, 1.0),
                          std::vector<double>(123457, 1.0), std::vector<double>(123457, 1.0), 1, 1);
  EXPECT_EQ(testing::read_file(name).substr(0, 6), "*****" + std::string(" "));
  write_iteration_history(transcript.io(), name, -1, {}, {}, {}, 1, -5);
  EXPECT_EQ(testing::read_file(name),
            "   -1  iter    data misfit       model norm              beta\n"
            " 1.00000E+00 target misfit\n"
            "          -5 number of data\n");
  EXPECT_THROW(write_iteration_history(transcript.io(), name, 1, misfit, norm, {}, 1, 1),
               std::invalid_argument);
}

// A file that cannot be written is reported on the error stream with exit status 1 and leaves
// the old file and no partial one behind.
TEST(IterationHistory, FailureIsReportedAndLeavesNoPartialFile) {
  const std::vector<double> one{1};
  const auto write = [&](const Transcript& transcript, const std::string& name) {
    try {
      write_iteration_history(transcript.io(), name, 0, one, one, one, 1, 1);
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
      return true;
    }
    return false;
  };
  TempFolder folder;
  {
    Transcript transcript;
    const std::string name = folder.file("no/such/folder/h.txt");
    EXPECT_TRUE(write(transcript, name));
    EXPECT_EQ(transcript.error(), "Error: cannot write the iteration history file " + name +
                                      ": No such file or directory\n");
    EXPECT_EQ(transcript.console(), "");
  }
  if (std::filesystem::exists("/dev/full")) {
    Transcript transcript;
    EXPECT_TRUE(write(transcript, "/dev/full"));
    EXPECT_NE(transcript.error().find("/dev/full: No space left on device"), std::string::npos);
  }
  // A folder that takes no new file: the old file stays, and no temporary file is left.
  const std::string name = folder.write("history.txt", "old\n");
  ::chmod(folder.path().c_str(), 0500);
  Transcript transcript;
  const bool stopped = write(transcript, name);
  ::chmod(folder.path().c_str(), 0700);
  if (::geteuid() != 0) {
    EXPECT_TRUE(stopped);
    EXPECT_EQ(testing::read_file(name), "old\n");
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path()))
    ++files;
  EXPECT_EQ(files, 1u);
}

// Counts flushes of the run log's buffer.
class FlushCounter : public std::stringbuf {
 public:
  int flushes = 0;

 protected:
  int sync() override {
    ++flushes;
    return 0;
  }
};

TEST(BetaChoiceReport, SummaryWithAndWithoutTrials) {
  const BetaChoice choice{.chosen_beta = 12.5,
                          .target_misfit = 100,
                          .achieved_misfit = 8,
                          .previous_misfit = 10,
                          .model_norm = 0.03125,
                          .model_norm_change = -1.5};
  const std::string summary =
      "\n"
      "      chosen beta =  1.25000E+01\n"
      "    target misfit =  1.00000E+02\n"
      "  achieved misfit =  8.00000E+00\n"
      "       model norm =  3.12500E-02\n"
      "    misfit change =  2.00000E-01\n"
      "model norm change = -1.50000E+00\n"
      "\n";
  {
    FlushCounter buffer;
    std::ostream log(&buffer);
    std::ostringstream console, error;
    const Io io{console, error, log};
    report_beta_choice(io, choice);
    EXPECT_EQ(buffer.str(), summary);
    EXPECT_EQ(console.str(), "");
    EXPECT_GE(buffer.flushes, 1);
  }
  {
    Transcript transcript;
    const std::vector<double> betas{100, 10};
    const std::vector<double> misfits{250.5, -0.0};
    report_beta_choice(transcript.io(), choice, BetaTrials{betas, misfits});
    EXPECT_EQ(transcript.log(),
              "  beta vs. misfit:\n"
              "     beta         misfit\n"
              "  1.00000E+02  2.50500E+02\n"
              "  1.00000E+01 -0.00000E+00\n" +
                  summary);
  }
  {
    Transcript transcript;
    report_beta_choice(transcript.io(), choice, BetaTrials{});
    EXPECT_EQ(transcript.log(), "  beta vs. misfit:\n     beta         misfit\n\n" + summary);
    const std::vector<double> one{1};
    EXPECT_THROW(report_beta_choice(transcript.io(), choice, BetaTrials{one, {}}),
                 std::invalid_argument);
  }
}

TEST(TermNormReports, ThreeAndFourTermsAndComponents) {
  Transcript transcript;
  ModelObjective three;
  const testing::ObjectiveSetup example =
      testing::uniform_setup({10, 20}, {5, 5}, 1.0 / 1600, 1, 1);
  build_objective_terms(transcript.io(), example.inputs(), false, {}, three);
  const std::vector<double> m{1, 2, 3, 4};
  const std::vector<double> zero(4, 0.0);
  report_term_norms(transcript.io(), three, m, zero);
  EXPECT_EQ(transcript.log(),
            "    norm comp Ws  =  1.56250E+00\n"
            "    norm comp Wx  =  1.33333E+00\n"
            "    norm comp Wz  =  4.80000E+01\n"
            "\n");

  Transcript dipped;
  ModelObjective four;
  const testing::ObjectiveSetup dip =
      testing::uniform_setup({10, 20}, {5, 5}, 1.0 / 1600, 1, 0.5, 0.5);
  build_objective_terms(dipped.io(), dip.inputs(), true, {}, four);
  ASSERT_EQ(four.n_terms, 4);
  Transcript report;
  report_term_norms(report.io(), four, m, zero);
  const std::string log = report.log();
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
  EXPECT_EQ(log.substr(3 * 33, 19), "    norm comp Wxz =");
  EXPECT_EQ(log.substr(18, 1), "=");  // column 19

  // A 3-D objective's terms are smallness, x, y and z: one column of two cells along y.
  Mesh3D column;
  column.nx = 1;
  column.ny = 2;
  column.nz = 1;
  column.dx = {1};
  column.dy = {1, 1};
  column.dz = {1};
  const std::vector<std::int32_t> cell_idx{1, 2};
  ModelObjective3D built;
  Transcript spatial;
  build_model_objective3d(spatial.io(), {column, cell_idx, 2}, {1, 1, 1, 1}, {}, false, built);
  const ModelObjective solid = as_model_objective(std::move(built));
  Transcript solid_report;
  report_term_norms(solid_report.io(), solid, std::vector<double>{1, 3}, std::vector<double>(2));
  EXPECT_EQ(solid_report.log(),
            "    norm comp Ws  =  1.00000E+01\n"
            "    norm comp Wx  =  0.00000E+00\n"
            "    norm comp Wy  =  8.00000E+00\n"
            "    norm comp Wz  =  0.00000E+00\n"
            "\n");

  Transcript components;
  report_norm_components(components.io(), std::vector<double>{9, 1.5, -2, 3e-10});
  EXPECT_EQ(components.log(),
            "     norm comp Ws =  1.50000E+00\n"
            "     norm comp Wx = -2.00000E+00\n"
            "     norm comp Wz =  3.00000E-10\n"
            "\n");
  EXPECT_THROW(report_norm_components(components.io(), std::vector<double>{1, 2, 3}),
               std::invalid_argument);
}

}  // namespace
}  // namespace quelby
