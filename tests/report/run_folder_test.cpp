#include "quelby/report/run_folder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(RunFolder, HistoryFilesAreReadAndDamagedOnesRefused) {
  TempFolder folder;
  const std::string sound =
      "    1  iter    data misfit       model norm              beta\n"
      "       0       9.60622E+05      -1.86531E-13       7.51471E+04\n"
      "       1       1.76337E+05       7.05761E+00       2.52179E+04\n"
      " 2.04000E+02 target misfit\n"
      "         204 number of data\n";
  Transcript transcript;
  const IterationHistory history =
      read_iteration_history(transcript.io(), folder.write("history.txt", sound));
  EXPECT_EQ(history.iteration, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(history.misfit, (std::vector<double>{9.60622e5, 1.76337e5}));
  EXPECT_EQ(history.beta[1], 2.52179e4);
  EXPECT_EQ(history.target_misfit, 204);
  EXPECT_EQ(history.ndat, 204);

  struct Damaged {
    std::string text, why;
  };
  const std::vector<Damaged> damaged = {
      {"", "it is empty"},
      {"garbage\n", "line 1 is not its header"},
      {"    3  iter    data misfit\n       0       1.0E+00       0       1\n",
       "it ends before its 4 rows"},
      // The largest count a header can hold: its rows are counted beyond 32 bits.
      {"2147483647 iter\n", "it ends before its 2147483648 rows"},
      {"    0  iter    data misfit       model norm              beta\n"
       "       0       1.0E+00       x       1\n 1 target misfit\n 2 number of data\n",
       "line 2 is not an iteration's row"},
  };
  for (const Damaged& d : damaged) {
    Transcript failed;
    const std::string name = folder.write("bad.txt", d.text);
    try {
      read_iteration_history(failed.io(), name);
      ADD_FAILURE() << d.why;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
      EXPECT_EQ(failed.console(),
                "\nError: the history file " + name + " is damaged: " + d.why + "\n");
    }
  }
}

TEST(RunFolder, TheRunLogsLinesAreSortedOut) {
  const RunLogSummary summary = summarise_run_log(
      "control file was read from: block.inv\n\nmesh was read from: block.msh\n"
      "topography was read from: block.topo\ndata were read from: block_dc.dat\n"
      "data were read from: block_ip.dat\n"
      "DC inversion of 204 data from block_dc.dat for 7992 parameters, target misfit 2.04E+02\n"
      "DC inversion time: sensitivities 1.015 s, steps 0.172 s\n"
      "DC robust misfit: 2 of 204 data weighted down; the most:\n"
      "  datum 7 of block_dc.dat: weight 1.0E-01\n  datum 9 of block_dc.dat: weight 5.0E-01\n"
      "DC inversion: reached the iteration limit after 3 iterations, misfit 3.0E+02\n"
      "Error: something\n");
  EXPECT_EQ(summary.control_file, "block.inv");
  EXPECT_EQ(summary.mesh_file, "block.msh");
  EXPECT_EQ(summary.topography_file, "block.topo");
  EXPECT_EQ(summary.data_files, (std::vector<std::string>{"block_dc.dat", "block_ip.dat"}));
  EXPECT_EQ(summary.outcomes, (std::vector<std::string>{
                                  "DC inversion: reached the iteration limit after 3 iterations, "
                                  "misfit 3.0E+02"}));
  EXPECT_EQ(summary.timings.size(), 1u);
  EXPECT_EQ(summary.robust.size(), 3u);
  EXPECT_EQ(summary.errors, (std::vector<std::string>{"Error: something"}));
}

TEST(RunFolder, ErrorModelsOfAnImportLog) {
  const std::vector<ErrorModelFit> models = error_models_of_import_log(
      "reciprocal pairs: 378\n"
      "error model of the resistances, fitted to 2 bins of 18 or more pairs by |R|:\n"
      "  bin mean |R| (ohm), mean e (ohm): 0.0170196 0.00181187; 0.0342435 0.00346454;\n"
      "  linear: e = 0 + 0.06874 |R|, rms log10 misfit 0.267568\n"
      "  power:  e = 0.05392 |R|^0.8882, rms log10 misfit 0.237411  (kept)\n"
      "error model of the chargeabilities, fitted to 1 bins of 18 or more pairs by |R|:\n"
      "  bin mean |R| (ohm), mean e (mV/V): 0.0170196 0.87;\n"
      "  linear: e = 1.132 - 0.01933 |R|, rms log10 misfit 0.201393  (kept)\n"
      "  power:  e = 0.9584 |R|^-0.06793, rms log10 misfit 0.190335\n");
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0].mean_resistance, (std::vector<double>{0.0170196, 0.0342435}));
  EXPECT_EQ(models[0].mean_error, (std::vector<double>{0.00181187, 0.00346454}));
  EXPECT_EQ(models[0].unit, "ohm");
  EXPECT_TRUE(models[0].power_kept);
  EXPECT_EQ(models[0].power_a, 0.05392);
  EXPECT_EQ(models[0].power_b, 0.8882);
  EXPECT_EQ(models[0].linear_b, 0.06874);
  EXPECT_EQ(models[1].unit, "mV/V");
  EXPECT_FALSE(models[1].power_kept);
  EXPECT_EQ(models[1].linear_a, 1.132);
  EXPECT_EQ(models[1].linear_b, -0.01933);
  EXPECT_EQ(models[1].power_b, -0.06793);
}

TEST(RunFolder, TimelapseSummaryRowsAndFailedSteps) {
  TempFolder folder;
  Transcript transcript;
  const std::vector<TimelapseSummaryRow> steps = read_timelapse_summary(
      transcript.io(),
      folder.write("timelapse.txt",
                   "! time-lapse inversion (difference)\n! step readings ...\n"
                   "    0       35        0        0     4  3.45969E+01  3.50000E+01  "
                   "0.00000E+00  0.00000E+00  day 0.dat\n"
                   "    2   failed  day2.dat  ! the step shares no reading\n"));
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].readings, 35);
  EXPECT_EQ(steps[0].misfit, 34.5969);
  EXPECT_EQ(steps[0].data_file, "day 0.dat");
  EXPECT_TRUE(steps[1].failed);
  EXPECT_EQ(steps[1].reason, "the step shares no reading");
  Transcript failed;
  EXPECT_THROW(read_timelapse_summary(failed.io(), folder.write("bad.txt", "    1 2 3\n")), Stop);
  EXPECT_NE(failed.console().find("is damaged: line 1"), std::string::npos);
}

}  // namespace
}  // namespace quelby
