#include "quelby/survey/survey3d_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/support/mutations.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr const char* example =
    "GENERAL_3D   \n"
    "! xA yA zA  xB yB zB  xM yM zM  xN yN zN  value std\n"
    "0 0 0   30 0 0   10 0 0   20 0 0   12.5 0.5\n"
    "\n"
    "% a pole-dipole reading: B = A\n"
    "0 0 0   0 0 0   10 0 0   10 10 2.5   3.25 0.1\n"
    "IPTYPE=0\n"
    "-0 0 0  30 0 0   10 10 2.5   10 10 2.5   0.5 0.05 extra\n";

TEST(Survey3DFile, ReadsElectrodesInOrderOfFirstAppearanceAndDataInFileOrder) {
  TempFolder folder;
  const std::string path = folder.write("a.dat", example);
  Transcript transcript;
  Survey3D survey;
  read_survey3d(transcript.io(), path, false, survey);
  EXPECT_EQ(survey.ndat, 3);
  EXPECT_EQ(survey.header_line, "GENERAL_3D");
  ASSERT_EQ(survey.electrodes.size(), 5u);
  EXPECT_EQ(survey.electrodes[1], (ElectrodePosition{30, 0, 0}));
  EXPECT_EQ(survey.electrodes[4], (ElectrodePosition{10, 10, 2.5}));
  // -0 is the position 0: the third datum's A is electrode 0.
  EXPECT_EQ(survey.a, (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(survey.b, (std::vector<std::int32_t>{1, 0, 1}));
  EXPECT_EQ(survey.m, (std::vector<std::int32_t>{2, 2, 4}));
  EXPECT_EQ(survey.n, (std::vector<std::int32_t>{3, 4, 4}));
  EXPECT_EQ(survey.dobs, (std::vector<double>{12.5, 3.25, 0.5}));
  EXPECT_EQ(survey.dstd, (std::vector<double>{0.5, 0.1, 0.05}));
  EXPECT_EQ(survey.iptype, (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_TRUE(survey.has_values);
  EXPECT_FALSE(survey.std_missing);
  EXPECT_EQ(transcript.console(), "");
  EXPECT_EQ(transcript.log(),
            "3-D survey data were read from file: " + path +
                "\n    # of electrodes:         5\n          # of data:         3\n");

  // Positions only: the same electrodes, no values.
  Survey3D locations;
  read_survey3d(transcript.io(), path, true, locations);
  EXPECT_EQ(locations.electrodes, survey.electrodes);
  EXPECT_EQ(locations.n, survey.n);
  EXPECT_FALSE(locations.has_values);
  EXPECT_TRUE(locations.dobs.empty());
}

TEST(Survey3DFile, TheFirstDataLineDecidesWhetherDeviationsAreThere) {
  TempFolder folder;
  const std::string path = folder.write(
      "b.dat", "GENERAL_3D\n0 0 0 1 0 0 2 0 0 3 0 0 7.5\nIPTYPE=2\n0 0 0 1 0 0 2 0 0 4 0 0 8 9\n");
  Transcript transcript;
  Survey3D survey;
  read_survey3d(transcript.io(), path, false, survey, false);
  EXPECT_TRUE(survey.std_missing);
  EXPECT_EQ(survey.dobs, (std::vector<double>{7.5, 8}));
  ASSERT_EQ(survey.dstd.size(), 2u);
  EXPECT_TRUE(std::isnan(survey.dstd[0]) && std::isnan(survey.dstd[1]));
  // IP data: type 1 until the IPTYPE line.
  EXPECT_EQ(survey.iptype, (std::vector<std::int32_t>{1, 2}));
  EXPECT_NE(transcript.log().find("IP data is made up of:\n"), std::string::npos);
}

TEST(Survey3DFile, LinesAreReadUpToTheir500thCharacter) {
  // The standard deviation starts at column 501: the line is read without it.
  std::string line = "0 0 0 30 0 0 10 0 0 20 0 0 2.5";
  line += std::string(500 - line.size(), ' ') + "0.1\n";
  TempFolder folder;
  const std::string path = folder.write("long.dat", "GENERAL_3D\n" + line);
  Transcript transcript;
  Survey3D survey;
  read_survey3d(transcript.io(), path, false, survey);
  EXPECT_TRUE(survey.std_missing);
  EXPECT_EQ(survey.dobs, (std::vector<double>{2.5}));
}

TEST(Survey3DFile, RefusesBadFilesNamingWhatWasExpected) {
  struct Case {
    const char* what;
    std::string content;
    std::string message;  // a line of the console (the file's path follows where it ends in ' ')
    bool dc_data = true;
  };
  const std::string line = "0 0 0 30 0 0 10 0 0 20 0 0 ";
  const std::vector<Case> cases = {
      {"an empty file", "",
       "Error: the 3-D data file is empty; its first line must be GENERAL_3D."},
      {"a 2-D general file", "Line 3\n0 30 10 20 12.5 0.5\n",
       "Error: the first line of a 3-D data file must be GENERAL_3D."},
      {"a 2-D common-current file", "COMMON_CURRENT\n1\n0 30 1\n10 20 1 1\n",
       "Error: the first line of a 3-D data file must be GENERAL_3D."},
      {"the header in lower case", "general_3d\n" + line + "1 1\n",
       "Error: the first line of a 3-D data file must be GENERAL_3D."},
      {"the header after a blank", " GENERAL_3D\n" + line + "1 1\n",
       "Error: the first line of a 3-D data file must be GENERAL_3D."},
      {"a 2-D data line", "GENERAL_3D\n0 30 10 20 12.5 0.5\n", "Error reading data file."},
      {"a standard deviation of 0", "GENERAL_3D\n" + line + "1 0\n",
       "Standard deviation must be greater than zero."},
      {"a negative standard deviation", "GENERAL_3D\n" + line + "1 1\n" + line + "1 -1\n",
       "Standard deviation must be greater than zero."},
      {"a value missing after a datum with one", "GENERAL_3D\n" + line + "1 1\n" + line + "\n",
       "Error reading data file."},
      {"a position that is not finite", "GENERAL_3D\n0 0 inf 30 0 0 10 0 0 20 0 0 1 1\n",
       "Error reading data file."},
      {"A at M", "GENERAL_3D\n0 0 0 30 0 0 0 0 0 20 0 0 1 1\n",
       "Error: a current electrode lies at a potential electrode (A lies at M) in "},
      {"B at N", "GENERAL_3D\n" + line + "1 1\n5 0 0 20 0 0 10 0 0 20 0 0 1 1\n",
       "Error: a current electrode lies at a potential electrode (B lies at N) in "},
      {"IPTYPE 1 in DC data", "GENERAL_3D\nIPTYPE=1\n" + line + "1 1\n",
       "Error: for DC data, IPTYPE should be 0."},
      {"IPTYPE 0 in IP data", "GENERAL_3D\nIPTYPE=0\n" + line + "1 1\n",
       "Error: for IP data, IPTYPE should be 1 or 2.", false},
      {"an IPTYPE line last", "GENERAL_3D\n" + line + "1 1\nIPTYPE=0\n",
       "Error reading data file."},
      {"no data", "GENERAL_3D\n! nothing\n", "Error: there is no data."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const std::string path = folder.write("bad.dat", c.content);
    Transcript transcript;
    Survey3D survey;
    try {
      read_survey3d(transcript.io(), path, false, survey, c.dc_data);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
    }
    const std::string expected = c.message.back() == ' ' ? c.message + path : c.message + "\n";
    EXPECT_NE(transcript.console().find(expected), std::string::npos) << transcript.console();
  }
}

TEST(Survey3DFile, ACoincidenceMessageNamesItsLine) {
  TempFolder folder;
  const std::string path = folder.write(
      "c.dat",
      "GENERAL_3D\n! note\n\n0 0 0 30 0 0 10 0 0 20 0 0 1 1\n5 5 5 5 5 5 9 9 9 5 5 5 1 1\n");
  Transcript transcript;
  Survey3D survey;
  EXPECT_THROW(read_survey3d(transcript.io(), path, false, survey), Stop);
  EXPECT_EQ(transcript.console(),
            "\n5 5 5 5 5 5 9 9 9 5 5 5 1 1\nError: a current electrode lies at a potential "
            "electrode (A lies at N) in " +
                path + ", line 5.\n");
}

TEST(Survey3DFile, DamagedFilesGiveASurveyOrAMessage) {
  TempFolder folder;
  for (const std::string& text : testing::mutations(example, 400, 7)) {
    const std::string path = folder.write("d.dat", text);
    Survey3D survey;
    if (!testing::read_or_message(text,
                                  [&](const Io& io) { read_survey3d(io, path, false, survey); })) {
      continue;
    }
    const auto electrodes = static_cast<std::int32_t>(survey.electrodes.size());
    ASSERT_EQ(survey.a.size(), static_cast<std::size_t>(survey.ndat));
    for (std::size_t d = 0; d < survey.a.size(); ++d) {
      for (const std::int32_t e : {survey.a[d], survey.b[d], survey.m[d], survey.n[d]}) {
        EXPECT_TRUE(e >= 0 && e < electrodes) << text;
      }
      EXPECT_NE(survey.a[d], survey.m[d]) << text;
      EXPECT_NE(survey.b[d], survey.n[d]) << text;
    }
  }
}

}  // namespace
}  // namespace quelby
