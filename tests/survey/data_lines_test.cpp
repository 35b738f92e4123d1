// The line of its data file every datum was read from, found again by walking the file: each data
// line of these files carries its own line number as its value, so the reader's grouped values are
// the oracle of every line found.
#include "quelby/survey/data_lines.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(DataLines, EveryDatumIsFoundOnTheLineItWasReadFrom) {
  struct Case {
    const char* what;
    std::string text;  // every data line's value is its own line number
    bool dc;
  };
  const std::vector<Case> cases = {
      {"general layout, out of grouped order, comments, blank lines and IPTYPE lines",
       "header\n! a comment\n10 15 20 25 3 1\n\n0 5 10 15 5 1\n% another\nIPTYPE=2\n"
       "10 15 30 35 8 1\n0 5 20 25 9 1\nIPTYPE=1\n   \n0 5 30 35 12 1\n",
       false},
      {"general layout without deviations", "h\n5 10 15 20 2\n0 5 10 15 3\n5 10 20 25 4\n", true},
      {"common-current layout with IPTYPE lines and comments",
       "COMMON_CURRENT\n! pairs\n3\nIPTYPE=2\n0 5 2\n10 15 6 1\n! between\n15 20 8 1\n"
       "10 15 0\nIPTYPE=1\n\n20 25 1\n30 35 13 1\n",
       false},
  };
  TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Transcript t;
    const std::string name = folder.write("lines.dat", c.text);
    SurveyData survey;
    read_data_file(t.io(), name, false, false, c.dc, survey);
    for (std::size_t i = 0; i < static_cast<std::size_t>(survey.ndat); ++i) {
      EXPECT_EQ(data_file_line(name, survey, i), static_cast<std::size_t>(survey.dobs[i]));
      EXPECT_EQ(datum_place(name + "  ", survey, i),
                name + ", line " + std::to_string(static_cast<int>(survey.dobs[i])));
    }
    // A datum the file does not hold, or a file that is not there, has no line.
    EXPECT_EQ(data_file_line(name, survey, static_cast<std::size_t>(survey.ndat)), 0u);
    EXPECT_EQ(data_file_line(folder.file("absent.dat"), survey, 0), 0u);
  }
}

// Data given in memory are named by their number in the order given.
TEST(DataLines, DataWithoutAFileAreNamedByTheirNumber) {
  Transcript t;
  const std::vector<double> a = {10, 0, 10}, b = {15, 5, 15}, m = {20, 10, 30}, n = {25, 15, 35};
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  // The pair (10, 15) comes first: the second datum given is the third in grouped order.
  EXPECT_EQ(datum_place("", survey, 2), "datum 2 of the survey");
  EXPECT_EQ(datum_place("", survey, 1), "datum 3 of the survey");
  EXPECT_EQ(datum_place("the DC data given", survey, 0), "datum 1 of the DC data given");
}

}  // namespace
}  // namespace quelby
