// The 3-D survey writer's text byte for byte, and its refusals of stores that do not hold together.
#include "quelby/survey/survey3d_writer.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

// Three surface electrodes on two lines and one buried: a dipole-dipole, a pole-dipole (B = A)
// and a pole-pole (B = A, N = M).
Survey3D small_survey() {
  Survey3D survey;
  survey.ndat = 3;
  survey.electrodes = {{0, 0, 0}, {0.2, 0, 0}, {0.4, 1.5, 0}, {0.1, 0.25, 1.0 / 3}};
  survey.a = {0, 1, 3};
  survey.b = {1, 1, 3};
  survey.m = {2, 2, 0};
  survey.n = {3, 0, 0};
  survey.iptype = {0, 0, 0};
  survey.has_values = true;
  survey.dobs = {0.125, -2.5e-05, 1e300};
  survey.dstd = {0.01, 1e-06, 3};
  return survey;
}

TEST(Survey3DWriter, WritesEveryDatumInShortestText) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<std::int32_t> iptype;
    bool std_missing;
    std::vector<double> stds;  // given to the writer
    const char* comment;
    std::string expected;
  };
  const std::string dd = "0 0 0 0.2 0 0 0.4 1.5 0 0.1 0.25 0.3333333333333333 ";
  const std::string pd = "0.2 0 0 0.2 0 0 0.4 1.5 0 0 0 0 ";
  const std::string pp = "0.1 0.25 0.3333333333333333 0.1 0.25 0.3333333333333333 0 0 0 0 0 0 ";
  const std::vector<Case> cases = {
      {"dc",
       {0, 0, 0},
       false,
       {},
       "",
       "GENERAL_3D\n" + dd + "0.125 0.01\n" + pd + "-2.5e-05 1e-06\n" + pp + "1e+300 3\n"},
      {"no std",
       {0, 0, 0},
       true,
       {},
       "grid 1",
       "GENERAL_3D\n! grid 1\n" + dd + "0.125\n" + pd + "-2.5e-05\n" + pp + "1e+300\n"},
      {"all std NaN",
       {0, 0, 0},
       false,
       {nan, nan, nan},
       "% kept\nnot this",
       "GENERAL_3D\n% kept\n" + dd + "0.125\n" + pd + "-2.5e-05\n" + pp + "1e+300\n"},
      {"ip types change",
       {1, 1, 2},
       false,
       {},
       "",
       "GENERAL_3D\nIPTYPE=1\n" + dd + "0.125 0.01\n" + pd + "-2.5e-05 1e-06\nIPTYPE=2\n" + pp +
           "1e+300 3\n"},
      {"dc after ip",
       {2, 0, 0},
       false,
       {},
       "",
       "GENERAL_3D\nIPTYPE=2\n" + dd + "0.125 0.01\nIPTYPE=0\n" + pd + "-2.5e-05 1e-06\n" + pp +
           "1e+300 3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Survey3D survey = small_survey();
    survey.iptype = c.iptype;
    survey.std_missing = c.std_missing;
    TempFolder folder;
    const std::string path = folder.file("survey3d.dat");
    Transcript transcript;
    write_survey3d(transcript.io(), path, survey, {}, c.stds, c.comment);
    EXPECT_EQ(read_file(path), c.expected);
  }
}

TEST(Survey3DWriter, RefusesStoresThatDoNotHoldTogether) {
  struct Case {
    const char* name;
    void (*spoil)(Survey3D&);
  };
  const std::vector<Case> cases = {
      {"electrode number too large", [](Survey3D& s) { s.n[0] = 4; }},
      {"negative electrode number", [](Survey3D& s) { s.a[2] = -1; }},
      {"too few values", [](Survey3D& s) { s.dobs.pop_back(); }},
      {"too many data", [](Survey3D& s) { s.ndat = 4; }},
      {"stds of another length", [](Survey3D& s) { s.dstd.push_back(1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Survey3D survey = small_survey();
    c.spoil(survey);
    TempFolder folder;
    const std::string path = folder.file("survey3d.dat");
    Transcript transcript;
    EXPECT_THROW(write_survey3d(transcript.io(), path, survey), Stop);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST(Survey3DWriter, ReportsAFileThatCannotBeWritten) {
  TempFolder folder;
  Transcript transcript;
  EXPECT_THROW(write_survey3d(transcript.io(), folder.file("missing/survey3d.dat"), small_survey()),
               Stop);
  EXPECT_NE(transcript.error().find("missing/survey3d.dat"), std::string::npos);
}

}  // namespace
}  // namespace quelby
