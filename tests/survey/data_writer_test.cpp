// The data writers against the library's own reader: what they write reads back to the same
// positions, values (every bit), IP types and file order, from either layout, z positions too.
#include "quelby/survey/data_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

SurveyData read_survey(const std::string& path, bool locations_only, bool use_z, bool dc_data) {
  Transcript transcript;
  SurveyData data;
  try {
    read_data_file(transcript.io(), path, locations_only, use_z, dc_data, data);
  } catch (const Stop&) {
    ADD_FAILURE() << transcript.console();
  }
  return data;
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Significant digits of a written mantissa: its digits without the sign and the point.
int mantissa_digits(const std::string& text) {
  int digits = 0;
  for (const char c : text.substr(0, text.find('E'))) digits += c >= '0' && c <= '9';
  return digits;
}

TEST(DataWriter, ValuesKeepEveryBitAndAtLeastEightDigits) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::string text;  // empty: only the round trip and the digits are checked
  };
  const std::vector<Case> cases = {
      {0.5, "5.0000000E-01"},
      {-1.25e-3, "-1.2500000E-03"},
      {12345678, "1.2345678E+07"},
      {123456789, "1.23456789E+08"},
      {0.0, "0.0000000E+00"},
      {-0.0, "-0.0000000E+00"},
      {1e300, "1.0000000E+300"},
      {std::numeric_limits<double>::denorm_min(), "5.0000000E-324"},
      {std::nan(""), "NaN"},
      {inf, "Infinity"},
      {-inf, "-Infinity"},
      {1.0 / 3.0, "3.333333333333333E-01"},
      {std::numeric_limits<double>::max(), ""},
      {std::numeric_limits<double>::min(), ""},
      {-2.0 / 7.0 * 1e-150, ""},
      {0.1, "1.0000000E-01"},
  };
  for (const Case& c : cases) {
    const std::string text = data_value_text(c.value);
    SCOPED_TRACE(text);
    if (!c.text.empty()) {
      EXPECT_EQ(text, c.text);
    }
    double back = 0;
    ASSERT_TRUE(read_text(text, {back}).ok());
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(back));
    } else {
      EXPECT_TRUE(same_bits(back, c.value)) << back;
    }
    if (std::isfinite(c.value)) {
      EXPECT_GE(mantissa_digits(text), 8);
    }
  }
}

// A general-layout file whose lines are far from grouped order, with both IP types: the written
// file lists the data in the same order, with the given values, and reads back to the same store.
TEST(DataWriter, GeneralLayoutReadsBackInFileOrder) {
  TempFolder folder;
  const std::string survey_text =
      "IP survey\n"
      "IPTYPE=2\n"
      "40 50 10 20 1 1\n"
      "0 10 20 30 1 1\n"
      "IPTYPE=1\n"
      "40 50 0 10 1 1\n"
      "-10 0 20 30 1 1\n"
      "0 10 30 40 1 1\n"
      "IPTYPE=2\n"
      "0 10 20 20 1 1\n";
  const std::string path = folder.write("survey.dat", survey_text);
  const SurveyData survey = read_survey(path, true, false, false);
  ASSERT_EQ(survey.ndat, 6);
  // In file order, one value per line; the writer takes them in grouped order.
  const std::vector<double> by_line = {1.5, -2.0 / 3.0, 1e-30, 7, 0.001, -4.25e12};
  std::vector<double> grouped(6);
  for (std::size_t line = 0; line < 6; ++line)
    grouped[survey.grouped_position(line)] = by_line[line];
  Transcript transcript;
  const std::string written = folder.file("written.dat");
  write_general_data(transcript.io(), written, "written by the test", survey, grouped);
  EXPECT_EQ(transcript.console() + transcript.error() + transcript.log(), "");
  EXPECT_EQ(read_file(written),
            "written by the test\n"
            "IPTYPE=2\n"
            "40 50 10 20 1.5000000E+00\n"
            "0 10 20 30 -6.666666666666666E-01\n"
            "IPTYPE=1\n"
            "40 50 0 10 1.0000000E-30\n"
            "-10 0 20 30 7.0000000E+00\n"
            "0 10 30 40 1.0000000E-03\n"
            "IPTYPE=2\n"
            "0 10 20 20 -4.2500000E+12\n");

  const SurveyData back = read_survey(written, false, false, false);
  EXPECT_EQ(back.sorted_pos, survey.sorted_pos);
  EXPECT_EQ(back.iptype, survey.iptype);
  EXPECT_EQ(back.xa_file, survey.xa_file);
  EXPECT_EQ(back.xb_file, survey.xb_file);
  EXPECT_EQ(back.xm_file, survey.xm_file);
  EXPECT_EQ(back.xn_file, survey.xn_file);
  EXPECT_TRUE(back.std_missing);
  ASSERT_EQ(back.dobs.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_TRUE(same_bits(back.dobs[i], grouped[i])) << i;
}

// The common-current layout keeps its data in file order; z positions are not written (the general
// layout has none), and DC data need no IPTYPE line.
TEST(DataWriter, CommonCurrentLayoutIsWrittenInItsOwnOrder) {
  TempFolder folder;
  const std::string path = folder.write("cc.dat",
                                        "COMMON_CURRENT\n2\n"
                                        "30 1 0 1 2\n10 2 20 2\n0 3 5 3\n"
                                        "0 0 10 0 1\n20 4 25 4\n");
  const SurveyData survey = read_survey(path, true, true, true);
  ASSERT_EQ(survey.ndat, 3);
  Transcript transcript;
  const std::string written = folder.file("written.dat");
  write_general_data(transcript.io(), written, "COMMON_CURRENT  ", survey, {{0.25, 100, -3}});
  EXPECT_EQ(read_file(written),
            "! COMMON_CURRENT  \n"
            "30 0 10 20 2.5000000E-01\n"
            "30 0 0 5 1.0000000E+02\n"
            "0 10 20 25 -3.0000000E+00\n");
  const SurveyData back = read_survey(written, false, false, true);
  EXPECT_FALSE(back.common_current);
  // Grouped: pair (0, 10), then pair (30, 0) as the exchange passes leave its lines (2nd, 1st).
  EXPECT_EQ(back.xm, (std::vector<double>{20, 0, 10}));
}

// A survey with z positions is written in the common-current layout with z: one current line per
// run of data of one pair and one IP type in file order, so that it reads back with use_z to the
// same positions, values, deviations, IP types and order. Without z positions the writer is the
// general layout's.
TEST(DataWriter, ZPositionsAreWrittenInTheCommonCurrentLayout) {
  TempFolder folder;
  struct Case {
    std::string name;
    std::vector<double> a, za, b, zb, m, zm, n, zn;
    std::vector<std::int32_t> iptype;  // empty: DC
    std::string expected;
  };
  const std::vector<Case> cases = {
      // The first pair comes back after the second: a current line of its own again.
      {"crosshole",
       {0, 0, 0, 0},
       {1, 1, 2, 1},
       {0, 0, 0, 0},
       {2, 2, 3, 2},
       {10, 10, 10, 0},
       {1, 2, 1, 4},
       {10, 10, 10, 0},
       {2, 3, 2, 5},
       {},
       "COMMON_CURRENT\n! the header\n3\n"
       "0 1 0 2 2\n10 1 10 2 1.5000000E+00 1.0000000E-01\n"
       "10 2 10 3 -2.0000000E+00 2.0000000E-01\n"
       "0 2 0 3 1\n10 1 10 2 3.0000000E+00 3.0000000E-01\n"
       "0 1 0 2 1\n0 4 0 5 4.0000000E+00 4.0000000E-01\n"},
      {"IP of mixed types",
       {0, 0, 0},
       {0, 0, 0},
       {5, 5, 5},
       {0, 0, 0},
       {10, 12.5, 15},
       {3, 3, 3},
       {12.5, 15, 17.5},
       {3, 3, 3},
       {1, 2, 1},
       "COMMON_CURRENT\n! the header\n3\n"
       "IPTYPE=1\n0 0 5 0 1\n10 3 12.5 3 1.5000000E+00 1.0000000E-01\n"
       "IPTYPE=2\n0 0 5 0 1\n12.5 3 15 3 -2.0000000E+00 2.0000000E-01\n"
       "IPTYPE=1\n0 0 5 0 1\n15 3 17.5 3 3.0000000E+00 3.0000000E-01\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<double> values = {1.5, -2, 3, 4}, stds = {0.1, 0.2, 0.3, 0.4};
    const std::size_t ndat = c.a.size();
    SurveyArrays arrays{c.a,
                        c.b,
                        c.m,
                        c.n,
                        c.za,
                        c.zb,
                        c.zm,
                        c.zn,
                        std::span(values).first(ndat),
                        std::span(stds).first(ndat),
                        c.iptype};
    Transcript transcript;
    SurveyData survey;
    survey_from_arrays(transcript.io(), arrays, survey);
    // The writer takes the values in grouped order.
    std::vector<double> grouped(ndat), grouped_stds(ndat);
    for (std::size_t line = 0; line < ndat; ++line) {
      grouped[survey.grouped_position(line)] = values[line];
      grouped_stds[survey.grouped_position(line)] = stds[line];
    }
    const std::string written = folder.file("z.dat");
    write_data_file(transcript.io(), written, "the header", survey, grouped, grouped_stds);
    EXPECT_EQ(read_file(written), c.expected);
    const SurveyData back = read_survey(written, false, true, c.iptype.empty());
    ASSERT_EQ(back.ndat, static_cast<std::int32_t>(ndat));
    // The common-current layout keeps the file's order: datum j is line j of the arrays.
    for (std::size_t line = 0; line < ndat; ++line) {
      std::size_t pair = 0;
      while (back.data_begin(pair + 1) <= line) ++pair;
      EXPECT_EQ(back.xa_cur[pair], c.a[line]);
      EXPECT_EQ(back.za_cur[pair], c.za[line]);
      EXPECT_EQ(back.xb_cur[pair], c.b[line]);
      EXPECT_EQ(back.zb_cur[pair], c.zb[line]);
      EXPECT_EQ(back.xm[line], c.m[line]);
      EXPECT_EQ(back.zm[line], c.zm[line]);
      EXPECT_EQ(back.xn[line], c.n[line]);
      EXPECT_EQ(back.zn[line], c.zn[line]);
      EXPECT_TRUE(same_bits(back.dobs[line], values[line]));
      EXPECT_TRUE(same_bits(back.dstd[line], stds[line]));
      EXPECT_EQ(back.iptype[line], c.iptype.empty() ? 0 : c.iptype[line]);
    }
  }
  // Without z positions: the general layout, byte for byte.
  const SurveyData flat =
      read_survey(folder.write("flat.dat", "h\n0 5 10 15\n"), true, false, true);
  Transcript transcript;
  write_data_file(transcript.io(), folder.file("one.dat"), "h", flat, {{2.5}});
  write_general_data(transcript.io(), folder.file("two.dat"), "h", flat, {{2.5}});
  EXPECT_EQ(read_file(folder.file("one.dat")), read_file(folder.file("two.dat")));
}

TEST(DataWriter, AFailedWriteLeavesNothingAndSaysWhy) {
  TempFolder folder;
  const SurveyData survey = read_survey(folder.write("s.dat", "h\n0 1 2 3\n"), true, false, true);
  const std::string path = folder.file("missing/out.dat");
  Transcript transcript;
  EXPECT_THROW(write_general_data(transcript.io(), path, "h", survey, {{1.0}}), Stop);
  EXPECT_EQ(transcript.error(),
            "Error: cannot write the data file " + path + ": No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace quelby
