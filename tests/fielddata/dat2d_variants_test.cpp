// The variants of the 2-D .dat format read value by value from files written here: remote-electrode
// blocks, every block after the data, distances along the ground, decimal commas, truncated last
// lines, the arrays 8 and 10, IP units and windows; the refusals name the file and the line.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/dat2d_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr double none = not_given;
constexpr double absent = -1e300;  // an electrode the reading does not use

struct Expected {
  std::size_t line;
  std::array<double, 4> x;  // A, B, M, N
  double resistance = none, apparent = none, chargeability = none;
  std::array<double, 4> y = {0, 0, 0, 0};
  std::array<double, 4> elevation = {none, none, none, none};
  double relative = none, std = none, chargeability_std = none;
};

void expect_value(double expected, double found, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(found)) << what << " should be absent, is " << found;
  } else {
    EXPECT_NEAR(found, expected, 1e-12 * std::max(1.0, std::abs(expected))) << what;
  }
}

void expect_readings(const FieldSurvey& survey, const std::vector<Expected>& expected) {
  ASSERT_EQ(survey.readings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const FieldReading& r = survey.readings[i];
    const Expected& e = expected[i];
    const std::string at = "reading " + std::to_string(i + 1);
    EXPECT_EQ(r.line, e.line) << at;
    for (std::size_t role = 0; role < 4; ++role) {
      const std::string electrode = at + ", electrode " + std::string(1, "ABMN"[role]);
      EXPECT_EQ(r.electrodes[role].present, e.x[role] != absent) << electrode;
      if (e.x[role] == absent) continue;
      expect_value(e.x[role], r.electrodes[role].x, electrode + " x");
      expect_value(e.y[role], r.electrodes[role].y, electrode + " y");
      expect_value(e.elevation[role], r.electrodes[role].elevation, electrode + " elevation");
    }
    expect_value(e.resistance, r.resistance, at + " resistance");
    expect_value(e.apparent, r.apparent_resistivity, at + " apparent resistivity");
    expect_value(e.chargeability, r.chargeability, at + " chargeability");
    expect_value(e.chargeability_std, r.chargeability_std, at + " chargeability std");
    expect_value(e.relative, r.relative_error, at + " relative error");
    expect_value(e.std, r.std, at + " std");
  }
}

// Whether some note holds `needle`.
bool noted(const FieldSurvey& survey, const std::string& needle) {
  for (const std::string& note : survey.notes) {
    if (note.find(needle) != std::string::npos) return true;
  }
  return false;
}

FieldSurvey read(const std::string& content, const std::string& name = "line.dat") {
  TempFolder folder;
  Transcript transcript;
  return read_dat2d_file(transcript.io(), folder.write(name, content));
}

// The detail of the stop reading `content` gives, without the folder; "" if it reads.
std::string refusal(const std::string& content) {
  TempFolder folder;
  Transcript transcript;
  try {
    read_dat2d_file(transcript.io(), folder.write("line.dat", content));
  } catch (const Stop& stop) {
    return stop.detail().substr(folder.file("").size());
  }
  return "";
}

TEST(Dat2dVariants, RemoteElectrodeBlocksAreNotedAndTheirElectrodesLeftOut) {
  const struct {
    const char* name;
    std::string content;
    std::vector<Expected> expected;
    const char* note;
  } cases[] = {
      {"pole-pole, midpoints",
       "pp\r\n1.00\r\n2\r\nRemote electrodes included\r\nC2 remote electrode X, Y and Z "
       "location\r\n"
       "-25.000,10.000,0.0\r\nP2 remote electrode X, Y and Z location\r\n60.000,0.000,0.0\r\n"
       "Exact Geometric factor used\r\n2\r\n1\r\n0\r\n  0.50  1.00  10.13\r\n  2.00  2.00  "
       "10.25\r\n"
       "0\r\n0\r\n",
       {{13, {0, absent, 1, absent}, none, 10.13}, {14, {1, absent, 3, absent}, none, 10.25}},
       "remote electrodes (lines 4 to 8): C2 at x -25, y 10, z 0 m; P2 at x 60, y 0, z 0 m"},
      {"pole-dipole, lower case, forward and reverse",
       "pd\n7.0\n6\nremote electrodes included\nc2 remote electrode x, y and z location\n"
       "-700,0,0\n2\n0\n0\n0,63,1,0.8277\n0, 7,-2, 102.4\n0\n",
       {{10, {0, absent, 63, 126}, none, 0.8277}, {11, {21, absent, 7, 0}, none, 102.4}},
       "C2 at x -700, y 0, z 0 m; the readings leave them out"},
      {"resistances after the block",
       "pd\n1\n6\nRemote electrodes included\nC2 remote electrode X, Y and Z location\n-50\n"
       "Type of measurement (0=app. resistivity,1=resistance)\n1\n1\n0\n0\n2 1 1 0.5\n",
       {{12, {2, absent, 3, 4}, 0.5}},
       "C2 at x -50 m"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSurvey survey = read(test.content);
    expect_readings(survey, test.expected);
    EXPECT_TRUE(noted(survey, test.note));
  }
  EXPECT_TRUE(noted(read(cases[0].content), "line 9: 'Exact Geometric factor used'"));
}

TEST(Dat2dVariants, EveryBlockAfterTheDataIsReadOrNotedWithItsLine) {
  const std::string head = "w\n1\n1\n1\n0\n0\n0 1 10\n";  // one Wenner datum on line 7
  const struct {
    const char* name;
    std::string content;
    std::vector<std::size_t> lines;  // of the readings
    std::vector<std::string> notes;
  } cases[] = {
      {"a second block, then topography",
       head + "Type of measurement (0=app. resistivity,1=resistance)\n1\n2\n0\n0\n"
              "1 1 0.5\n2 1 0.25\n1\n2\n0,100\n9,109\n1\n0\n",
       {7, 13, 14},
       {"data block 2 (lines 13 to 14): 2 readings of the 2 it states, resistances",
        "topography (lines 15 to 19): 2 points, x horizontal"}},
      {"a second block after the topography",
       head + "1\n2\n0 100\n9 109\n1\ntype of data\n0\n1\n0\n0\n3 1 12\n0\n0\n",
       {7, 18},
       {"data block 2 (line 18): 1 readings of the 1 it states"}},
      {"data lines past the count",
       head + "1 1 11\n2 1 12\n0\n",
       {7},
       {"lines 8 to 9: 2 data lines after the 1 that data block 1 states are not read"}},
      {"a block after the topography",
       head + "2\n2\n0 100\n9 109\n1\n1\n4\n0 0\n",
       {7},
       {"line 13: '1' starts a block quelby does not read (such as fixed model regions); it and "
        "the 2 lines with text after it are not read"}},
      {"global coordinates",
       head + "0\nGlobal Coordinates present\nNumber of coordinate points\n2\n"
              "Local Longitude Latitude\n0 500100.5 6100200.25\n9 500109.5 6100200.25\n0\n",
       {7},
       {"global coordinates (lines 9 to 14): 2 points"}},
      {"text the format does not know",
       head + "0\nFixed regions\n3\n",
       {7},
       {"line 9: 'Fixed regions' is not a block quelby knows"}},
      {"a number where the topography type stands",
       head + "7\n",
       {7},
       {"line 8: '7' stands where the topography type (0, 1 or 2) is expected"}},
      {"the general array's topography list",
       "g\n1\n11\n0\nType of measurement\n0\n1\n1\n0\n2 0 0 1 0 50\n"
       "Topography in separate list\n1\n2\n0,100\n1,101\n1\n0\n0\n0\n",
       {10},
       {"topography (lines 12 to 16): 2 points, x horizontal"}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSurvey survey = read(test.content);
    ASSERT_EQ(survey.readings.size(), test.lines.size());
    for (std::size_t i = 0; i < test.lines.size(); ++i) {
      EXPECT_EQ(survey.readings[i].line, test.lines[i]);
    }
    for (const std::string& note : test.notes) EXPECT_TRUE(noted(survey, note)) << note;
  }
  // The second block's resistances and the first's apparent resistivity, value by value.
  expect_readings(read(cases[0].content),
                  {{7, {0, 3, 1, 2}, none, 10, none, {}, {100, 103, 101, 102}},
                   {13, {1, 4, 2, 3}, 0.5, none, none, {}, {101, 104, 102, 103}},
                   {14, {2, 5, 3, 4}, 0.25, none, none, {}, {102, 105, 103, 104}}});
}

TEST(Dat2dVariants, DistancesAlongTheGroundAreKeptAsTheFileRecordsThem) {
  for (const char* type : {"1", "2"}) {
    SCOPED_TRACE(type);
    // General array: x 1, 0, 2, 3 on the segment from (0, 100) to (5, 103).
    const FieldSurvey survey =
        read(std::string("g\n1\n11\n0\nType of measurement\n1\n1\n0\n0\n") +
             "4 1 0 0 0 2 0 3 0 -1.25\n" + type + "\n3\n0,100\n5,103\n10,103\n1\n0\n0\n");
    EXPECT_EQ(survey.x_along_ground, std::string(type) == "2");
    expect_readings(survey,
                    {{10, {1, 0, 2, 3}, -1.25, none, none, {}, {100.6, 100, 101.2, 101.8}}});
    ASSERT_EQ(survey.topography.size(), 3u);
    EXPECT_EQ(survey.topography[1], (std::array<double, 2>{5, 103}));
    EXPECT_EQ(survey.topography[2], (std::array<double, 2>{10, 103}));
  }
}

TEST(Dat2dVariants, DecimalCommasAreToldPerFileOrTheFileIsRefused) {
  // Wenner, x the first electrode: 1.25 + (0, 2.5, 5, 7.5).
  const std::vector<Expected> wenner = {{7, {1.25, 8.75, 3.75, 6.25}, none, 10.75}};
  EXPECT_NO_FATAL_FAILURE(expect_readings(read("w\n2,5\n1\n1\n0\n0\n1,25 2,5 10,75\n0\n"), wenner));
  EXPECT_NO_FATAL_FAILURE(
      expect_readings(read("w\n2,5\n1\n1\n0\n0\n1,25\t2,5\t10,75\n0,0,0,0\n"), wenner));
  const FieldSurvey survey = read(
      "w\r\n1\r\n1\r\n1\r\n0\r\n1\r\nChargeability\r\nmsec\r\n"
      "0,12 2,0\r\n1,25 2,5 10,75 3,5\r\n0\r\n");
  EXPECT_TRUE(noted(survey,
                    "decimal commas: the numbers are written with decimal commas (as "
                    "line 9 shows)"));
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::milliseconds);
  EXPECT_EQ(survey.chargeability_window, 2.0);
  expect_readings(survey, {{10, {1.25, 8.75, 3.75, 6.25}, none, 10.75, 3.5}});
  // Commas between values, as ever.
  expect_readings(read("w\n2.5\n1\n1\n0\n0\n1.25,2.5,10.75\n0, 0\n"), wenner);

  const struct {
    const char* content;
    const char* detail;
  } refused[] = {
      {"w\n2,5\n1\n1\n0\n0\n0.5 1 10\n",
       "line.dat:2: the comma of this line reads as a decimal mark, but line 7 uses the decimal "
       "point: the file is ambiguous; write it with one decimal mark"},
      {"w\n1\n1\n1\n0\n0\n0 1,5 10\n0.5,1,10\n",
       "line.dat:7: the comma of this line reads as a decimal mark, but line 8 uses commas "
       "between values: the file is ambiguous; write it with one decimal mark"},
      {"w\n1.0\n1\n1\n1,0\n0\n0.5,1,10\n",
       "line.dat:5: '1,0' holds two values where the type of x-location is expected: if its "
       "comma is a decimal mark, the file shows it nowhere else; write the number with a decimal "
       "point"},
  };
  for (const auto& test : refused) EXPECT_EQ(refusal(test.content), test.detail);
}

TEST(Dat2dVariants, ATruncatedLastDataLineIsDroppedAndNoted) {
  const std::string head = "w\n1\n1\n3\n0\n0\n0 1 10\n1 1 11\n";  // count 3: lines 7, 8 and 9
  const struct {
    const char* name;
    std::string content;
    std::size_t read;
    const char* note;
  } cases[] = {
      {"fewer values", head + "2 1\n", 2,
       "line 9: the last data line is cut short (expected 3 values (2 found)): it is dropped, 1 "
       "truncated reading"},
      {"a number cut by the end of the file", head + "2 1 12.", 2,
       "line 9: the last data line is cut short (the file ends inside it"},
      {"a broken number", head + "2 1 1e\n", 2, "(the value '1e' is not a number)"},
      {"the file ends before the count", "w\n1\n1\n5\n0\n0\n0 1 10\n1 1 11\n2 1 1", 2,
       "the file ends inside data block 1: 2 of the 5 data it states are read"},
      {"general array", "g\n1\n11\n0\nT\n0\n2\n0\n0\n2 0 0 1 0 5\n3 0 0 1 0 2", 1,
       "line 11: the last data line is cut short (the file ends inside it"},
      {"a whole last line without a line end is kept", head + "2 1 12 ", 3, "data block 1"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSurvey survey = read(test.content);
    EXPECT_EQ(survey.readings.size(), test.read);
    EXPECT_TRUE(noted(survey, test.note));
  }
  // Short lines before the last, an early end and zeros among the data stop.
  EXPECT_EQ(refusal(head.substr(0, head.size() - 7) + "1 1\n2 1 12\n"),
            "line.dat:8: expected 3 values (2 found)");
  EXPECT_EQ(refusal(head), "line.dat: the file ends where a datum was expected");
  EXPECT_EQ(refusal(head + "0\n0\n"),
            "line.dat:9: the data end after 2 of the 3 the file states: this line holds the "
            "zeros that end the file");
}

TEST(Dat2dVariants, ArrayCodesHeadersIpUnitsAndErrors) {
  const struct {
    const char* name;
    std::string content;
    std::vector<Expected> expected;
  } cases[] = {
      {"equatorial dipole-dipole: C2 and P2 on the second line",
       "eq\n1\n8\n2.5\n2\n0\n0\n4 2 55\n6 2 56\n",
       {{8, {4, 4, 6, 6}, none, 55, none, {0, 2.5, 0, 2.5}},
        {9, {6, 6, 8, 8}, none, 56, none, {0, 2.5, 0, 2.5}}}},
      {"offset pole-dipole, midpoints, forward and reverse",
       "op\n1\n10\n3\n2\n1\n0\n1.5 1 2 40\n1 1 -1 41\n",
       {{8, {0, absent, 2, 3}, none, 40, none, {3, 0, 0, 0}},
        {9, {2, absent, 1, 0}, none, 41, none, {3, 0, 0, 0}}}},
      {"errors in the unit of the data, IP with its own error",
       "dd\n1\n3\n1\n0\n1\nChargeability\nmV/V\n0.1,1\nError estimate for data present\n"
       "Type of error estimate (0=same unit as data)\n0\n0 1 1 100 2 8 0.5\n",
       {{13, {1, 0, 2, 3}, none, 100, 8, {}, {none, none, none, none}, 0.02, none, 0.5}}},
      {"several IP windows: the first read",
       "g\n1\n11\n1\nType of measurement\n1\n1\n2\n4\nChargeability\nmV/V\n"
       "3 0.01 0.1 0.1 0.1 1.1 0.5\n4 0 0 3 0 1 0 2 0 66.3 11.2 5.9 3.9\n",
       {{13, {0, 3, 1, 2}, 66.3, none, 11.2}}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    expect_readings(read(test.content), test.expected);
  }
  EXPECT_TRUE(noted(read(cases[3].content),
                    "3 windows ('3 0.01 0.1 0.1 0.1 1.1 0.5'): each "
                    "data line's first IP value is read, the other 2"));

  const struct {
    const char* unit;
    ChargeabilityUnit kind;
    double window;
    double value;
  } units[] = {
      {"mV/V", ChargeabilityUnit::millivolt_per_volt, none, 4.5},
      {"msec", ChargeabilityUnit::milliseconds, 2, 4.5},
      {"%", ChargeabilityUnit::percent, none, 4.5},
      {"mrad", ChargeabilityUnit::milliradians, none, 4.5},
      {"deg", ChargeabilityUnit::other, none, 4.5},
      {"MV/V", ChargeabilityUnit::millivolt_per_volt, none, 0},  // every IP value 0: DC only
  };
  for (const auto& test : units) {
    SCOPED_TRACE(test.unit);
    const std::string ip = test.value == 0 ? "0" : "4.5";
    const FieldSurvey survey = read(std::string("w\n1\n1\n1\n0\n1\nPhase angle\n") + test.unit +
                                    "\n0.12,2\n0 1 10 " + ip + "\n");
    const bool dc = test.value == 0;
    EXPECT_EQ(survey.chargeability_unit, dc ? ChargeabilityUnit::none : test.kind);
    EXPECT_EQ(survey.chargeability_unit_text, dc ? "" : test.unit);
    expect_value(test.window, survey.chargeability_window, "window");
    expect_value(dc ? none : test.value, survey.readings.at(0).chargeability, "chargeability");
    EXPECT_EQ(noted(survey, "every IP value is 0 (a DC-only export)"), dc);
  }

  const struct {
    const char* content;
    const char* detail;
  } refused[] = {
      {"t\n1\n9\n",
       "line.dat:3: array code 9 is not one of the arrays quelby reads (1 to 8, 10 "
       "and 11)"},
      {"t\n1\n12\n",
       "line.dat:3: array code 12 is a cross-borehole survey, whose borehole block "
       "quelby does not read: give its data as the general array (code 11) with "
       "each electrode's x and z"},
      {"t\n1\n15\n",
       "line.dat:3: array code 15 (gradient) has no layout of its own that quelby "
       "knows: give it as the general array (code 11, sub-type 15)"},
      {"t\n1\n8\n0\n",
       "line.dat:4: the distance between the two lines of electrodes must be "
       "positive"},
      {"t\n1\n1\n2\n0\n1\nChargeability\nmV/V\n0.1,1\n0 1 10 1\n0 1 11 2\nType of data\n0\n1\n"
       "0\n1\nChargeability\nmsec\n0.1,1\n0 1 11 2\n",
       "line.dat:18: the IP unit 'msec' differs from 'mV/V' of the block before: quelby keeps one "
       "IP unit per file"},
      {"t\n1\n1\n1\n0\n0\n0 1 10\n2\n2\n5 100\n4 101\n",
       "line.dat:11: the topography points must be in increasing x"},
  };
  for (const auto& test : refused) EXPECT_EQ(refusal(test.content), test.detail);
}

TEST(Dat2dVariants, MismatchNamesTheLineThatIsNoDatFile) {
  const struct {
    const char* start;
    const char* mismatch;
  } cases[] = {
      {"title\n1.0\n3\n", ""},
      {"\n\n2,5\n\n11\n", ""},  // blank title and blank lines, a decimal comma
      {"title\n\t10\t\t\n7\t\t\n", ""},
      {"", "the file is empty"},
      {"title only", "line 2 holds no electrode spacing"},
      {"field notes\nsunny, 12 degrees\n", "line 2 holds no electrode spacing"},
      {"t\n0,0\n1\n", "line 2 holds no electrode spacing"},
      {"t\n1\nWenner\n", "line 3 holds no array code"},
      {"t\n1\n\n16\n", "line 4 holds no array code"},
      {"t\n1\n", "line 3 holds no array code"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(dat2d_mismatch(field_source_from_text("f.dat", test.start)), test.mismatch)
        << test.start;
  }
  // A first line longer than any field file's: the check still answers, it never stops.
  EXPECT_EQ(dat2d_mismatch(field_source_from_text("f.dat", std::string(3 << 20, 'x') + "\n1\n3")),
            "");
}

}  // namespace
}  // namespace quelby
