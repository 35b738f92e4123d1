// A time-lapse step's data: the difference and ratio data of the common readings computed
// independently, value by value, in the baseline's polarity; the steps refused; the change in
// percent; the summary file read back column by column, a failed step's line with its reason.
#include "quelby/inversion/timelapse.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;
using Reading = std::array<double, 4>;

SurveyData survey_of(const std::vector<Reading>& readings, const std::vector<double>& values,
                     const std::vector<double>& stds) {
  std::vector<double> positions[4];
  for (const Reading& reading : readings) {
    for (std::size_t e = 0; e < 4; ++e) positions[e].push_back(reading[e]);
  }
  SurveyArrays arrays;
  arrays.a = positions[0];
  arrays.b = positions[1];
  arrays.m = positions[2];
  arrays.n = positions[3];
  arrays.values = values;
  arrays.stds = stds;
  Transcript t;
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  return survey;
}

// Three baseline readings in one group (grouped order = line order); the step lost the second,
// swapped the third's M and N and gained one.
const SurveyData baseline =
    survey_of({{0, 5, 10, 15}, {0, 5, 15, 20}, {0, 5, 20, 25}}, {0.4, 0.2, 0.1}, {1, 1, 1});
const SurveyData step = survey_of({{0, 5, 10, 15}, {0, 5, 25, 20}, {5, 10, 15, 20}},
                                  {0.3, -0.12, 0.5}, {0.006, 0.003, 0.01});
const std::vector<double> response = {0.41, 0.19, 0.095};

TEST(Timelapse, DifferenceAndRatioDataOfTheCommonReadings) {
  struct Case {
    TimelapseMethod method;
    std::vector<double> values, stds;
  };
  const std::vector<Case> cases = {
      {TimelapseMethod::difference, {(0.3 - 0.4) + 0.41, (0.12 - 0.1) + 0.095}, {0.006, 0.003}},
      {TimelapseMethod::ratio,
       {(0.3 / 0.4) * 0.41, (0.12 / 0.1) * 0.095},
       {0.006 * (0.41 / 0.4), 0.003 * (0.095 / 0.1)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(timelapse_method_name(c.method));
    Transcript t;
    const TimelapseStep result =
        timelapse_step(t.io(), baseline, response, step, c.method, "base.dat", "step.dat");
    EXPECT_EQ(result.data.ndat, 2);
    EXPECT_EQ(result.data.xm, (std::vector<double>{10, 20}));  // the baseline's polarity
    EXPECT_EQ(result.data.xn, (std::vector<double>{15, 25}));
    EXPECT_EQ(result.data.dobs, c.values);
    EXPECT_EQ(result.data.dstd, c.stds);
    EXPECT_TRUE(result.data.dstd_read);
    EXPECT_EQ(result.readings.first, (std::vector<std::int32_t>{0, 2}));
    EXPECT_EQ(result.dropped_from_step, 1);
    EXPECT_EQ(result.dropped_from_baseline, 1);
    const std::string line =
        "step.dat: 2 readings common with the baseline base.dat; dropped: 1 of the step's 3 "
        "readings, 1 of the baseline's 3";
    EXPECT_EQ(result.description, line);
    EXPECT_EQ(t.console(), line + "\n");
    EXPECT_EQ(t.log(), line + "\n");
  }
}

TEST(Timelapse, StepsWithoutAUsableReadingAreRefused) {
  struct Case {
    const char* what;
    SurveyData baseline, step;
    TimelapseMethod method;
    std::string message;
  };
  const SurveyData elsewhere = survey_of({{40, 45, 50, 55}}, {1}, {0.1});
  const SurveyData zero_baseline = survey_of({{0, 5, 10, 15}}, {0}, {1});
  const SurveyData one = survey_of({{0, 5, 10, 15}}, {0.3}, {0.01});
  const std::vector<Case> cases = {
      {"no common reading", baseline, elsewhere, TimelapseMethod::difference,
       "\nError: the time-lapse step step.dat shares no reading with the baseline base.dat\n"},
      {"a ratio to 0", zero_baseline, one, TimelapseMethod::ratio,
       "\nError: the reading A=0 B=5 M=10 N=15 of the baseline base.dat is 0: no ratio of the "
       "step step.dat to it\n"},
      {"a datum that overflows", survey_of({{0, 5, 10, 15}}, {1e-300}, {1}),
       survey_of({{0, 5, 10, 15}}, {1e300}, {1}), TimelapseMethod::ratio,
       "\nError: the reading A=0 B=5 M=10 N=15 of the step step.dat gives the ratio datum inf "
       "with the standard deviation 9.999999999999999e+299\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Transcript t;
    const std::vector<double> ones(static_cast<std::size_t>(c.baseline.ndat), 1.0);
    EXPECT_THROW(timelapse_step(t.io(), c.baseline, ones, c.step, c.method, "base.dat", "step.dat"),
                 Stop);
    const std::string console = t.console();
    EXPECT_EQ(console.substr(console.find("\nError")), c.message);
  }
}

TEST(Timelapse, ChangeInPercent) {
  const std::vector<double> model = {2, 1, 7, 0, 0.7, 1e-300};
  const std::vector<double> reference = {1, 2, 7, 0, 1, 1e-300};
  const std::vector<double> change = change_percent(model, reference);
  EXPECT_EQ(change, (std::vector<double>{100, -50, 0, 0, 100 * (0.7 - 1), 0}));
}

TEST(Timelapse, TheSummaryReadsBackLineByLine) {
  TempFolder folder;
  Transcript t;
  const std::vector<TimelapseSummaryLine> lines = {
      {"base.dat", 35, 0, 0, 4, 34.5, 35, 0, 0},
      {"step 1.dat", 33, 1, 2, 3, 30.25, 33, -31.5, 4.25},
      {"step 2.dat", 0, 0, 0, 0, 0, 0, 0, 0, "\nError: no reading\n  in common\n"},
      {"step 3.dat", 34, 1, 1, 2, 31.5, 34, -2.5, 1.5},
  };
  const std::string name = folder.file("timelapse.txt");
  write_timelapse_summary(t.io(), name, TimelapseMethod::ratio, lines);
  std::istringstream text(testing::read_file(name));
  std::string line;
  std::getline(text, line);
  EXPECT_EQ(line.rfind("! time-lapse inversion (ratio)", 0), 0u);
  std::getline(text, line);
  EXPECT_EQ(line.rfind("! step readings", 0), 0u);
  for (std::size_t step = 0; step < lines.size(); ++step) {
    ASSERT_TRUE(std::getline(text, line));
    if (step == 2) {
      EXPECT_EQ(line, "    2   failed  step 2.dat  ! no reading in common");
      continue;
    }
    std::istringstream fields(line);
    std::size_t number = 0;
    std::int32_t readings = 0, dropped_step = 0, dropped_baseline = 0, iterations = 0;
    double misfit = 0, target = 0, smallest = 0, largest = 0;
    fields >> number >> readings >> dropped_step >> dropped_baseline >> iterations >> misfit >>
        target >> smallest >> largest;
    std::string rest;
    std::getline(fields >> std::ws, rest);
    const TimelapseSummaryLine& expected = lines[step];
    EXPECT_EQ(number, step);
    EXPECT_EQ(readings, expected.readings);
    EXPECT_EQ(dropped_step, expected.dropped_from_step);
    EXPECT_EQ(dropped_baseline, expected.dropped_from_baseline);
    EXPECT_EQ(iterations, expected.iterations);
    EXPECT_EQ(misfit, expected.misfit);
    EXPECT_EQ(target, expected.target_misfit);
    EXPECT_EQ(smallest, expected.smallest_change);
    EXPECT_EQ(largest, expected.largest_change);
    EXPECT_EQ(rest, expected.data_name);
  }
  EXPECT_FALSE(std::getline(text, line));
}

TEST(Timelapse, AFailureIsOneLineWithoutItsErrorPrefix) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\nError: the step s.dat shares no reading\n", "the step s.dat shares no reading"},
      {"\nERROR: Not enough memory, program terminated!\n\n",
       "Not enough memory, program terminated!"},
      {"  two\tlines,\r\n  of  words \n", "two lines, of words"},
      {"an Error: inside stays", "an Error: inside stays"},
      {"\n \n", ""},
  };
  for (const auto& [message, reason] : cases) EXPECT_EQ(failure_reason(message), reason) << message;
}

}  // namespace
}  // namespace quelby
