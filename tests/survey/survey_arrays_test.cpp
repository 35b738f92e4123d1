// A survey store from arrays: grouped by current pair in order of first appearance, the given
// order kept as the file order, and every size and value checked.
#include "quelby/survey/survey_arrays.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

TEST(SurveyArrays, GroupsByPairInOrderOfFirstAppearanceAndKeepsTheGivenOrder) {
  Transcript t;
  const std::vector<double> a = {0, 5, 0, 5, 0}, b = {1, 6, 1, 6, 0}, m = {2, 7, 3, 8, 4},
                            n = {3, 8, 4, 9, 4};
  const std::vector<double> values = {1, 2, 3, 4, 5}, stds = {0.1, 0.2, 0.3, 0.4, 0.5};
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  arrays.values = values;
  arrays.stds = stds;
  SurveyData data;
  survey_from_arrays(t.io(), arrays, data);
  EXPECT_EQ(data.ndat, 5);
  EXPECT_EQ(data.ncur, 3);  // (0,1), (5,6), then the pole (0,0)
  EXPECT_EQ(data.xa_cur, (std::vector<double>{0, 5, 0}));
  EXPECT_EQ(data.xb_cur, (std::vector<double>{1, 6, 0}));
  EXPECT_EQ(data.idat_idx, (std::vector<std::int32_t>{1, 3, 5, 6}));
  EXPECT_EQ(data.xm, (std::vector<double>{2, 3, 7, 8, 4}));
  EXPECT_EQ(data.dobs, (std::vector<double>{1, 3, 2, 4, 5}));
  EXPECT_EQ(data.sorted_pos, (std::vector<std::int32_t>{1, 3, 2, 4, 5}));
  EXPECT_TRUE(data.has_values && data.dstd_read && data.has_file_order && !data.has_z);
  for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ(data.dobs[data.grouped_position(j)], values[j]);
  EXPECT_DOUBLE_EQ(data.sep_max, 4);
  EXPECT_DOUBLE_EQ(data.sep_min, 1);
}

TEST(SurveyArrays, RefusesWhatNoFileCouldHold) {
  const std::vector<double> one = {0}, two = {0, 1}, bad_std = {0}, nan = {std::nan("")};
  struct Case {
    SurveyArrays arrays;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}}, "Error: survey arrays: no datum"},
      {{one, one, two, one, {}, {}, {}, {}, {}, {}, {}},
       "Error: survey arrays: m holds 2 values, 1 expected"},
      {{one, one, one, nan, {}, {}, {}, {}, {}, {}, {}},
       "Error: survey arrays: datum 1: a position is not a finite number"},
      {{one, one, one, one, {}, {}, {}, {}, one, bad_std, {}},
       "Error: survey arrays: datum 1: the standard deviation should be positive"},
  };
  for (const Case& c : cases) {
    Transcript t;
    SurveyData data;
    EXPECT_THROW(survey_from_arrays(t.io(), c.arrays, data), Stop);
    EXPECT_NE(t.console().find(c.message), std::string::npos) << t.console();
  }
}

}  // namespace
}  // namespace quelby
