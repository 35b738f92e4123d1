// Matching the readings of two surveys of one line: exact and swapped electrodes (with their
// signs), poles, repeated, missing and extra readings, z positions; the survey of some readings
// against the store survey_from_arrays makes of the same readings.
#include "quelby/survey/common_readings.hpp"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;
using Reading = std::array<double, 4>;  // A B M N

SurveyData survey_of(const std::vector<Reading>& readings, const std::vector<double>& values = {},
                     bool with_z = false) {
  std::vector<double> positions[4], z;
  for (const Reading& reading : readings) {
    for (std::size_t e = 0; e < 4; ++e) positions[e].push_back(reading[e]);
    z.push_back(0);
  }
  SurveyArrays arrays;
  arrays.a = positions[0];
  arrays.b = positions[1];
  arrays.m = positions[2];
  arrays.n = positions[3];
  if (with_z) arrays.za = arrays.zb = arrays.zm = arrays.zn = z;
  arrays.values = values;
  Transcript t;
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  return survey;
}

// Lines 0 and 4 repeat one reading; line 3 is a pole-dipole reading.
const std::vector<Reading> baseline_readings = {
    {0, 5, 10, 15}, {0, 5, 15, 20}, {5, 10, 15, 20}, {0, 0, 10, 15}, {0, 5, 10, 15}};

TEST(CommonReadings, MatchesByElectrodesWithTheSignOfTheirPolarity) {
  struct Case {
    const char* what;
    std::vector<Reading> step;
    // (baseline line, step line, sign), in the order of the baseline's grouped positions.
    std::vector<std::tuple<int, int, double>> expected;
  };
  const std::vector<Case> cases = {
      {"the same readings",
       baseline_readings,
       {{0, 0, 1}, {1, 1, 1}, {4, 4, 1}, {2, 2, 1}, {3, 3, 1}}},
      {"M and N swapped", {{0, 5, 15, 10}}, {{0, 0, -1}}},
      {"A and B swapped", {{5, 0, 10, 15}}, {{0, 0, -1}}},
      {"both dipoles swapped", {{5, 0, 15, 10}}, {{0, 0, 1}}},
      {"a pole's dipole swapped", {{0, 0, 15, 10}}, {{3, 0, -1}}},
      {"a repeated reading once: the baseline's first", {{0, 5, 10, 15}}, {{0, 0, 1}}},
      {"twice, once swapped", {{0, 5, 15, 10}, {0, 5, 10, 15}}, {{0, 0, -1}, {4, 1, 1}}},
      {"missing and extra readings",
       {{5, 10, 15, 20}, {10, 15, 20, 25}, {0, 5, 10, 16}},
       {{2, 0, 1}}},
      {"a reciprocal reading is another reading", {{10, 15, 0, 5}}, {}},
  };
  const SurveyData baseline = survey_of(baseline_readings);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const SurveyData step = survey_of(c.step);
    Transcript t;
    const CommonReadings common = common_readings(t.io(), baseline, step, "base.dat", "step.dat");
    ASSERT_EQ(common.first.size(), c.expected.size());
    ASSERT_EQ(common.second.size(), c.expected.size());
    ASSERT_EQ(common.sign.size(), c.expected.size());
    for (std::size_t j = 0; j < c.expected.size(); ++j) {
      const auto [line, step_line, sign] = c.expected[j];
      EXPECT_EQ(common.first[j], baseline.sorted_pos[static_cast<std::size_t>(line)] - 1) << j;
      EXPECT_EQ(common.second[j], step.sorted_pos[static_cast<std::size_t>(step_line)] - 1) << j;
      EXPECT_EQ(common.sign[j], sign) << j;
    }
    EXPECT_EQ(t.console(), "");
  }
}

TEST(CommonReadings, SurveysOfWhichOneHoldsZCannotBeMatched) {
  const SurveyData flat = survey_of(baseline_readings);
  const SurveyData buried = survey_of(baseline_readings, {}, true);
  Transcript t;
  EXPECT_EQ(common_readings(t.io(), buried, buried, "a", "b").first.size(), 5u);
  EXPECT_THROW(common_readings(t.io(), flat, buried, "base.dat", "step.dat"), Stop);
  EXPECT_EQ(t.console(),
            "\nError: step.dat holds z positions of its electrodes and base.dat does not: their "
            "readings cannot be matched\n");
}

// Readings whose file lines keep each current pair together: the survey of the kept readings is
// the store survey_from_arrays makes of them, in every field.
TEST(CommonReadings, TheSurveyOfSomeReadingsIsTheStoreOfThoseReadings) {
  std::vector<Reading> readings;
  std::vector<double> values;
  for (int a = 0; a < 8; ++a) {
    for (int level = 1; level <= 4; ++level) {
      readings.push_back({5.0 * a, 5.0 * a + 5, 5.0 * (a + level + 1), 5.0 * (a + level + 2)});
      values.push_back(1.0 / (a + 7 * level));
    }
  }
  const SurveyData survey = survey_of(readings, values);
  std::mt19937 engine(3);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<std::int32_t> kept;
    std::vector<Reading> kept_readings;
    std::vector<double> kept_values;
    for (std::size_t line = 0; line < readings.size(); ++line) {
      if (trial > 0 && engine() % 3 == 0) continue;
      kept.push_back(survey.sorted_pos[line] - 1);
      kept_readings.push_back(readings[line]);
      kept_values.push_back(values[line]);
    }
    const SurveyData expected = survey_of(kept_readings, kept_values);
    const SurveyData selected = select_readings(survey, kept);
    EXPECT_EQ(selected.ndat, expected.ndat);
    EXPECT_EQ(selected.ncur, expected.ncur);
    EXPECT_EQ(selected.idat_idx, expected.idat_idx);
    EXPECT_EQ(selected.ndat_cur, expected.ndat_cur);
    EXPECT_EQ(selected.xa_cur, expected.xa_cur);
    EXPECT_EQ(selected.xb_cur, expected.xb_cur);
    EXPECT_EQ(selected.xm, expected.xm);
    EXPECT_EQ(selected.xn, expected.xn);
    EXPECT_EQ(selected.iptype, expected.iptype);
    EXPECT_EQ(selected.dobs, expected.dobs);
    EXPECT_EQ(selected.xa_file, expected.xa_file);
    EXPECT_EQ(selected.xn_file, expected.xn_file);
    EXPECT_EQ(selected.sorted_pos, expected.sorted_pos);
    EXPECT_EQ(selected.sep_max, expected.sep_max);
    EXPECT_EQ(selected.sep_min, expected.sep_min);
    EXPECT_DOUBLE_EQ(selected.sep_mean, expected.sep_mean);
    EXPECT_EQ(selected.has_file_order, expected.has_file_order);
  }
}

// Pairs interleaved in the file: the kept data keep the survey's grouped order, and each kept
// file line still leads to its datum.
TEST(CommonReadings, TheKeptLinesStillLeadToTheirData) {
  const std::vector<Reading> readings = {
      {0, 5, 10, 15}, {5, 10, 15, 20}, {0, 5, 15, 20}, {5, 10, 20, 25}, {0, 5, 20, 25}};
  const std::vector<double> values = {1, 2, 3, 4, 5};
  const SurveyData survey = survey_of(readings, values);
  // Grouped order: lines 0, 2, 4 (pair 0 5), then 1, 3 (pair 5 10). Keep grouped positions 1, 2
  // and 4: lines 2, 4 and 3.
  const std::vector<std::int32_t> kept = {1, 2, 4};
  const SurveyData selected = select_readings(survey, kept);
  EXPECT_EQ(selected.ncur, 2);
  EXPECT_EQ(selected.dobs, (std::vector<double>{3, 5, 4}));
  EXPECT_EQ(selected.xm_file, (std::vector<double>{15, 20, 20}));
  for (std::size_t line = 0; line < 3; ++line) {
    EXPECT_EQ(selected.dobs[selected.grouped_position(line)], values[line + 2]);
  }
}

}  // namespace
}  // namespace quelby
