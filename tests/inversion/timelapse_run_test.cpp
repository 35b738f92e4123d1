// The time-lapse inversion of a synthetic monitoring line whose block falls from 50 to 35 ohm-m (by
// 30 %) and then comes back: the change recovered on the block and nowhere else, by the difference
// and the ratio inversion; a step identical to the baseline changes nothing; every step's files and
// the summary; the campaign's hold on its folder and each step's on its own; a step that fails
// reported while the others go on; the runs it refuses.
#include "quelby/inversion/timelapse_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/inversion/timelapse_fixture.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::Transcript;

std::vector<double> read_back(const Mesh& mesh, const std::string& name) {
  Transcript t;
  Model model(mesh.nx, mesh.nz);
  read_model(t.io(), mesh, name, "written", model);
  return {model.values().begin(), model.values().end()};
}

class TimelapseRunTest : public ::testing::Test {
 protected:
  // Step 1: the block 30 % lower with noise of its own; step 2: the baseline's very file.
  TimelapseRunTest()
      : line(testing::write_monitoring_line(transcript.io(), folder, {50, 35, 50}, {11, 12, 11})) {
    off_block.resize(line.core.size());
    for (std::size_t cell = 0; cell < off_block.size(); ++cell) {
      off_block[cell] = line.core[cell] && !line.near_block[cell];
    }
  }

  TimelapseRun run_of(TimelapseMethod method) const {
    TimelapseRun run;
    run.inversion.mesh_file = line.mesh_file;
    run.inversion.data_file = line.data_files[0];
    run.inversion.output_folder = folder.file(timelapse_method_name(method));
    run.step_files = {line.data_files[1], line.data_files[2]};
    run.method = method;
    return run;
  }

  Transcript transcript;
  TempFolder folder;
  testing::MonitoringLine line;
  std::vector<bool> off_block;
};

TEST_F(TimelapseRunTest, TheBlocksChangeIsRecoveredWhereItHappened) {
  for (const TimelapseMethod method : {TimelapseMethod::difference, TimelapseMethod::ratio}) {
    SCOPED_TRACE(timelapse_method_name(method));
    Transcript t;
    const TimelapseOutcome outcome = run_timelapse(t.io(), run_of(method));
    ASSERT_EQ(outcome.steps.size(), 2u);
    const TimelapseStepOutcome& fallen = outcome.steps[0];
    EXPECT_EQ(fallen.inversion.result.stop, StopReason::target_reached);
    const double on_block = testing::mean_over(fallen.change, line.in_block);
    const double elsewhere = testing::mean_over(fallen.change, off_block);
    EXPECT_GT(on_block, -40);
    EXPECT_LT(on_block, -20);
    EXPECT_LT(std::abs(elsewhere), 1.5);
    // The very data of the baseline: the start fits them, nothing changes.
    const TimelapseStepOutcome& same = outcome.steps[1];
    EXPECT_EQ(same.inversion.result.iterations, 0);
    for (const double change : same.change) ASSERT_LT(std::abs(change), 1e-10);
    if (method == TimelapseMethod::ratio) {
      EXPECT_GT(outcome.homogeneous, 50);
      EXPECT_LT(outcome.homogeneous, 100);
      EXPECT_EQ(fallen.reference, std::vector<double>(fallen.change.size(), outcome.homogeneous));
    } else {
      EXPECT_EQ(fallen.reference, outcome.baseline.model);
    }
  }
}

TEST_F(TimelapseRunTest, EveryStepWritesItsFilesAndTheSummaryNamesThem) {
  Transcript t;
  const TimelapseRun run = run_of(TimelapseMethod::difference);
  const TimelapseOutcome outcome = run_timelapse(t.io(), run);
  const std::string out = run.inversion.output_folder;
  for (std::size_t step = 0; step <= 2; ++step) {
    const std::string folder_name = out + "/step_" + std::to_string(step);
    for (const char* name : {"model.mod", "predicted.dat", "history.txt", "run.log"}) {
      EXPECT_TRUE(fs::exists(folder_name + "/" + name)) << folder_name << " " << name;
    }
    EXPECT_EQ(fs::exists(folder_name + "/change.mod"), step > 0);
    EXPECT_EQ(fs::exists(folder_name + "/data.dat"), step > 0);
    const std::string log = testing::read_file(folder_name + "/run.log");
    EXPECT_NE(log.find("DC inversion: reached the target misfit"), std::string::npos) << step;
  }
  const TimelapseStepOutcome& fallen = outcome.steps[0];
  const std::vector<double> change = read_back(outcome.mesh, out + "/step_1/change.mod");
  for (std::size_t cell = 0; cell < change.size(); ++cell) {
    ASSERT_NEAR(change[cell], fallen.change[cell], 5e-6 * std::abs(fallen.change[cell]) + 1e-12);
  }
  // The data fitted read back as the survey they are: the difference data of every reading.
  SurveyData fitted;
  read_data_file(t.io(), out + "/step_1/data.dat", false, false, true, fitted);
  EXPECT_EQ(fitted.dobs, fallen.inversion.dobs);
  EXPECT_EQ(fitted.dstd, fallen.inversion.dstd);
  EXPECT_EQ(fitted.ndat, line.survey.ndat);
  const std::string summary = testing::read_file(out + "/timelapse.txt");
  EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 5);
  for (const std::string& file : line.data_files) {
    EXPECT_NE(summary.find("  " + file + "\n"), std::string::npos) << file;
  }
  // The campaign's log: each step's readings and change.
  EXPECT_NE(t.log().find(line.data_files[1] + ": 35 readings common with the baseline " +
                         line.data_files[0] +
                         "; dropped: 0 of the step's 35 readings, 0 of "
                         "the baseline's 35\n"),
            std::string::npos);
  EXPECT_NE(t.console().find("step 2: change from  0.0000E+00 % to  0.0000E+00 %\n"),
            std::string::npos);
}

// Data given as stores run as their files, to the bit; steps that lost readings are inverted on
// the readings left.
TEST_F(TimelapseRunTest, StoresRunAsTheirFilesAndLostReadingsAreDropped) {
  Transcript t;
  const TimelapseOutcome by_files = run_timelapse(t.io(), run_of(TimelapseMethod::difference));
  TimelapseRun run = run_of(TimelapseMethod::difference);
  run.inversion.output_folder = folder.file("stores");
  SurveyData baseline;
  read_data_file(t.io(), line.data_files[0], false, false, true, baseline);
  run.inversion.data = baseline;
  run.inversion.data_file.clear();
  run.step_files.clear();
  for (std::size_t step = 1; step <= 2; ++step) {
    run.step_data.emplace_back();
    read_data_file(t.io(), line.data_files[step], false, false, true, run.step_data.back());
  }
  const TimelapseOutcome by_stores = run_timelapse(t.io(), run);
  for (std::size_t step = 0; step < 2; ++step) {
    EXPECT_EQ(by_stores.steps[step].inversion.model, by_files.steps[step].inversion.model);
    EXPECT_EQ(by_stores.steps[step].change, by_files.steps[step].change);
  }
  EXPECT_NE(t.console().find("the data given of step 1: 35 readings common with the baseline the "
                             "DC data given"),
            std::string::npos);

  // Step 1 without its first three readings (in the grouped order): 32 readings inverted.
  SurveyData fewer = run.step_data[0];
  std::vector<std::int32_t> kept;
  for (std::int32_t datum = 3; datum < fewer.ndat; ++datum) kept.push_back(datum);
  run.step_data = {select_readings(fewer, kept)};
  run.inversion.output_folder = folder.file("fewer");
  const TimelapseOutcome dropped = run_timelapse(t.io(), run);
  EXPECT_EQ(dropped.steps[0].step.dropped_from_baseline, 3);
  EXPECT_EQ(dropped.steps[0].step.dropped_from_step, 0);
  EXPECT_EQ(dropped.steps[0].inversion.dobs.size(), 32u);
  const std::vector<double> all = by_files.steps[0].inversion.dobs;
  EXPECT_EQ(dropped.steps[0].inversion.dobs, std::vector<double>(all.begin() + 3, all.end()));
}

// A campaign into a folder another run holds writes nothing there; a step whose folder another
// run holds fails before it writes in it, and the campaign goes on; a campaign whose folder the
// caller holds inverts every step in its own folder.
TEST_F(TimelapseRunTest, TheCampaignHoldsItsFolderAndEachStepItsOwn) {
  const TimelapseRun run = run_of(TimelapseMethod::difference);
  const std::string out = run.inversion.output_folder;
  {
    Transcript other;
    const OutputFolder held = hold_output_folder(other.io(), out);
    Transcript t;
    EXPECT_THROW(run_timelapse(t.io(), run), Stop);
    EXPECT_EQ(t.console(), "\nError: the output folder " + out +
                               " is in use by another run: wait for it to end, or choose another "
                               "folder.\n");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{output_lock_name});
  }
  {
    fs::create_directories(out + "/step_1");
    folder.write("difference/step_1/run.log", "the log of another run\n");
    Transcript other;
    const OutputFolder held = hold_output_folder(other.io(), out + "/step_1");
    Transcript t;
    const TimelapseOutcome outcome = run_timelapse(t.io(), run);
    EXPECT_EQ(outcome.failed_steps, 1);
    EXPECT_EQ(outcome.steps[0].failure, "the output folder " + out +
                                            "/step_1 is in use by another run: wait for it to "
                                            "end, or choose another folder.");
    EXPECT_TRUE(outcome.steps[1].failure.empty());
    EXPECT_EQ(testing::read_file(out + "/step_1/run.log"), "the log of another run\n");
    EXPECT_FALSE(fs::exists(out + "/step_1/data.dat"));
    EXPECT_TRUE(fs::exists(out + "/step_2/change.mod"));
  }
  Transcript t;
  const OutputFolder held = hold_output_folder(t.io(), out);
  const TimelapseOutcome outcome = run_timelapse(t.io(), run, held);
  EXPECT_EQ(outcome.failed_steps, 0);
  EXPECT_NE(testing::read_file(out + "/step_1/run.log").find("DC inversion: reached the target"),
            std::string::npos);
}

// A step with a datum that is not finite and one that shares no reading with the baseline fail
// alone, each with its reason on the console, in the campaign's log, in its folder's log and in
// the summary; the step after them is inverted, and the campaign closes by counting them. Without
// keep_steps the outcome keeps the summary alone.
TEST_F(TimelapseRunTest, AFailedStepIsReportedAndTheOthersGoOn) {
  TimelapseRun run = run_of(TimelapseMethod::difference);
  run.keep_steps = false;
  run.step_files = {"nan.dat", "elsewhere.dat", line.data_files[0]};
  Transcript reader;
  run.step_data.resize(3);
  read_data_file(reader.io(), line.data_files[1], false, false, true, run.step_data[0]);
  run.step_data[0].dobs[4] = std::nan("");
  const std::string elsewhere =
      folder.write("elsewhere.dat", "! xA xB xM xN value std\n100 105 110 115 1 0.1\n");
  run.step_data[1] = SurveyData();
  read_data_file(reader.io(), elsewhere, false, false, true, run.step_data[1]);
  read_data_file(reader.io(), line.data_files[0], false, false, true, run.step_data[2]);

  Transcript t;
  const TimelapseOutcome outcome = run_timelapse(t.io(), run);
  EXPECT_TRUE(outcome.steps.empty());
  ASSERT_EQ(outcome.summary.size(), 4u);
  EXPECT_EQ(outcome.failed_steps, 2);
  const std::string nan_reason = outcome.summary[1].failure;
  EXPECT_TRUE(nan_reason.starts_with("the reading A=")) << nan_reason;
  EXPECT_NE(nan_reason.find("of the step nan.dat gives the difference datum nan"),
            std::string::npos)
      << nan_reason;
  EXPECT_EQ(outcome.summary[2].failure,
            "the time-lapse step elsewhere.dat shares no reading with the baseline " +
                line.data_files[0]);
  EXPECT_TRUE(outcome.summary[3].failure.empty());
  EXPECT_EQ(outcome.summary[3].readings, 35);
  EXPECT_EQ(outcome.summary[3].iterations, 0);

  const std::string out = run.inversion.output_folder;
  const std::string closing =
      "\nError: 2 of 3 steps after the baseline failed (step 1, step 2); the others were "
      "inverted.\n";
  for (const std::string& text : {t.console(), t.log()}) {
    EXPECT_NE(text.find("step 1 failed: " + nan_reason + "\n"), std::string::npos);
    EXPECT_NE(text.find("step 2 failed: " + outcome.summary[2].failure + "\n"), std::string::npos);
    EXPECT_NE(text.find("step 3: change from  0.0000E+00 % to  0.0000E+00 %\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with(closing)) << text;
  }
  EXPECT_TRUE(testing::read_file(out + "/step_2/run.log")
                  .ends_with("step 2 failed: " + outcome.summary[2].failure + "\n"));
  EXPECT_FALSE(fs::exists(out + "/step_1/change.mod"));
  const std::string summary = testing::read_file(out + "/timelapse.txt");
  EXPECT_NE(summary.find("\n    1   failed  nan.dat  ! " + nan_reason + "\n"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("\n    2   failed  elsewhere.dat  ! the time-lapse step elsewhere.dat "
                         "shares no reading"),
            std::string::npos);
  EXPECT_NE(summary.find("\n    3       35        0        0     0"), std::string::npos);
}

TEST_F(TimelapseRunTest, RunsItCannotDoAreRefused) {
  struct Case {
    const char* what;
    std::function<void(TimelapseRun&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"IP", [](TimelapseRun& run) { run.inversion.invert = InversionTargets::both; },
       "\nError: a time-lapse inversion inverts DC data: what to invert must be DC, without IP "
       "data.\n"},
      {"no step", [](TimelapseRun& run) { run.step_files.clear(); },
       "\nError: a time-lapse inversion needs the data of at least one step after the "
       "baseline.\n"},
      {"a negative homogeneous model",
       [](TimelapseRun& run) {
         run.method = TimelapseMethod::ratio;
         run.homogeneous = -1;
       },
       "\nError: the homogeneous model of a ratio inversion needs a positive resistivity, not "
       "-1\n"},
      {"no baseline", [](TimelapseRun& run) { run.inversion.data_file.clear(); },
       "\nError: a time-lapse inversion needs the baseline's DC data file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TimelapseRun run = run_of(TimelapseMethod::difference);
    c.change(run);
    Transcript t;
    EXPECT_THROW(run_timelapse(t.io(), run), Stop);
    EXPECT_EQ(t.console(), c.message);
    EXPECT_FALSE(fs::exists(run.inversion.output_folder + "/step_0"));
  }
}

}  // namespace
}  // namespace quelby
