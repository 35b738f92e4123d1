// Every import format read from files written in its layout here, checked value by value: the
// electrodes of each reading (poles and remote electrodes absent), the values in SI units, the
// chargeability unit and window, the topography; and the line a refused file names.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/dat2d_format.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/instrument_formats.hpp"
#include "quelby/fielddata/unified_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr double none = not_given;
constexpr double absent = -1e300;  // marks an electrode a reading does not use

// What one reading must hold: x of A, B, M, N (`absent` for a missing one) and its values
// (`none` where the file gives none).
struct Expected {
  std::array<double, 4> x;
  double resistance = none, apparent = none, current = none, voltage = none, deviation = none,
         chargeability = none, std = none, relative = none, factor = none;
  std::array<double, 4> elevation = {none, none, none, none};
  bool valid = true;
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
    const std::string at = "reading " + std::to_string(i + 1) + ", line " + std::to_string(r.line);
    for (std::size_t role = 0; role < 4; ++role) {
      const std::string electrode = at + ", electrode " + std::string(1, "ABMN"[role]);
      EXPECT_EQ(r.electrodes[role].present, e.x[role] != absent) << electrode;
      if (e.x[role] != absent) {
        EXPECT_NEAR(r.electrodes[role].x, e.x[role], 1e-12) << electrode;
        expect_value(e.elevation[role], r.electrodes[role].elevation, electrode + " elevation");
      }
    }
    expect_value(e.resistance, r.resistance, at + " resistance");
    expect_value(e.apparent, r.apparent_resistivity, at + " apparent resistivity");
    expect_value(e.current, r.current, at + " current");
    expect_value(e.voltage, r.voltage, at + " voltage");
    expect_value(e.deviation, r.deviation, at + " deviation");
    expect_value(e.chargeability, r.chargeability, at + " chargeability");
    expect_value(e.std, r.std, at + " std");
    expect_value(e.relative, r.relative_error, at + " relative error");
    expect_value(e.factor, r.geometric_factor, at + " geometric factor");
    EXPECT_EQ(r.valid, e.valid) << at;
  }
}

TEST(UnifiedFormat, ReadsTokensUnitsPolesElevationsAndTopography) {
  TempFolder folder;
  const std::string file = folder.write("line.ohm",
                                        "5 # number of electrodes\n"
                                        "# x y z\n"
                                        "0 0 100.5\n"
                                        "2 0 101\n"
                                        "4 0 101.5   # a comment after values\n"
                                        "6 0 101\n"
                                        "8 0 100\n"
                                        "4 # number of data\n"
                                        "# a b m n u/mV i/mA err/% ip/mV/V valid k\n"
                                        "1 2 3 4 -12.5 250 2.5 8.25 1 -37.699\n"
                                        "\n"
                                        "2 3 4 5 -10 100 3 7.5 0 -37.699\n"
                                        "1 0 3 4 20 125.5 1.5 6 1 25.1\n"
                                        "# a comment line among the data\n"
                                        "5 0 1 0 50 200 4 5 1 50.265\n"
                                        "2 # topography points\n"
                                        "-10 0 99\n"
                                        "20 0 99.5\n");
  Transcript transcript;
  const FieldSurvey survey = read_unified_file(transcript.io(), file);
  EXPECT_EQ(survey.format, FieldFormat::unified);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::millivolt_per_volt);
  const auto at = [](double a, double b, double m, double n) {
    return std::array<double, 4>{a, b, m, n};
  };
  std::vector<Expected> expected(4);
  expected[0].x = at(0, 2, 4, 6);
  expected[0].elevation = {100.5, 101, 101.5, 101};
  expected[0].voltage = -12.5e-3, expected[0].current = 0.25, expected[0].relative = 0.025;
  expected[0].chargeability = 8.25, expected[0].factor = -37.699;
  expected[1].x = at(2, 4, 6, 8);
  expected[1].elevation = {101, 101.5, 101, 100};
  expected[1].voltage = -10e-3, expected[1].current = 0.1, expected[1].relative = 0.03;
  expected[1].chargeability = 7.5, expected[1].valid = false, expected[1].factor = -37.699;
  expected[2].x = at(0, absent, 4, 6);
  expected[2].elevation = {100.5, none, 101.5, 101};
  expected[2].voltage = 20e-3, expected[2].current = 0.1255, expected[2].relative = 0.015;
  expected[2].chargeability = 6, expected[2].factor = 25.1;
  expected[3].x = at(8, absent, 0, absent);
  expected[3].elevation = {100, none, 100.5, none};
  expected[3].voltage = 50e-3, expected[3].current = 0.2, expected[3].relative = 0.04;
  expected[3].chargeability = 5, expected[3].factor = 50.265;
  expect_readings(survey, expected);
  EXPECT_EQ(survey.readings[1].line, 12u);
  ASSERT_EQ(survey.topography.size(), 2u);
  EXPECT_EQ(survey.topography[0], (std::array<double, 2>{-10, 99}));
  EXPECT_EQ(survey.topography[1], (std::array<double, 2>{20, 99.5}));
}

TEST(UnifiedFormat, DefaultColumnsAreABMNRhoaErrAndIpDefaultsToMilliradians) {
  TempFolder folder;
  // Without a token line: a b m n rhoa err; positions of one value are x alone.
  const std::string plain = folder.write("plain.dat",
                                         "4\n0\n1\n2\n3\n"
                                         "2\n"
                                         "1 4 2 3 231.2 0.02\n"
                                         "1 2 3 4 -77.5\n");
  Transcript transcript;
  const FieldSurvey survey = read_unified_file(transcript.io(), plain);
  std::vector<Expected> expected(2);
  expected[0].x = {0, 3, 1, 2};
  expected[0].apparent = 231.2, expected[0].relative = 0.02;
  expected[1].x = {0, 1, 2, 3};
  expected[1].apparent = -77.5;
  expect_readings(survey, expected);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::none);

  const std::string phase = folder.write("phase.ohm",
                                         "4\n# x z\n0 0\n1 0\n2 0\n3 0\n"
                                         "1\n# a b m n r/Ohm err/Ohm ip\n"
                                         "1 2 3 4 -0.25 0.005 -4.5\n");
  const FieldSurvey phased = read_unified_file(transcript.io(), phase);
  EXPECT_EQ(phased.chargeability_unit, ChargeabilityUnit::milliradians);
  expected.assign(1, Expected{});
  expected[0].x = {0, 1, 2, 3};
  expected[0].elevation = {0, 0, 0, 0};
  expected[0].resistance = -0.25, expected[0].std = 0.005, expected[0].chargeability = -4.5;
  expect_readings(phased, expected);
}

TEST(UnifiedFormat, RefusalsNameTheLine) {
  const struct {
    const char* content;
    const char* detail;
  } cases[] = {
      {"two\n", "line.ohm:1: expected the number of electrodes, found 'two'"},
      {"2\n0 0\n", "line.ohm:2: the file ends after 1 of the 2 electrode positions"},
      {"2\n0 y 0\n1 0 0\n", "line.ohm:2: the position 'y' is not a finite number"},
      {"2\n0\n1\n1\n1 2 3 1 100\n", "line.ohm:5: electrode 3 is not one of the 2 electrodes"},
      {"2\n0\n1\n1\n1 2 x 1 100\n", "line.ohm:5: the electrode number 'x' is not a whole number"},
      {"2\n0\n1\n2\n1 2 1\n1 2 1 2 5\n", "line.ohm:5: expected 5 columns (3 found)"},
      {"2\n0\n1\n2\n1 2 1 2 5\n", "line.ohm:5: the file ends after 1 of the 2 data"},
      {"2\n0\n1\n1\n# a b m r/kOhm\n1 2 1 5\n",
       "line.ohm:5: the column 'r/kOhm' has a unit quelby does not know"},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("line.ohm", test.content);
    Transcript transcript;
    try {
      read_unified_file(transcript.io(), file);
      ADD_FAILURE() << "read: " << test.content;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), folder.file("") + test.detail) << test.content;
      EXPECT_EQ(transcript.console().rfind("\nError reading the field data file ", 0), 0u);
    }
  }
}

// The index arrays of the 2-D .dat format: each array's electrodes from x (leftmost or midpoint),
// a and n, left to right as the format orders them.
TEST(Dat2dFormat, PlacesTheElectrodesOfEveryIndexArray) {
  const struct {
    const char* name;
    const char* content;
    std::vector<Expected> expected;
  } cases[] = {
      {"Wenner, midpoints",
       "Wenner\n1.0\n1\n2\n1\n0\n1.5 1.0 9.80\n3 2 10.5\n",
       {{{0, 3, 1, 2}, none, 9.80}, {{0, 6, 2, 4}, none, 10.5}}},
      {"pole-pole", "pp\n2\n2\n1\n0\n0\n4 2 55.5\n", {{{4, absent, 6, absent}, none, 55.5}}},
      {"dipole-dipole, first electrode",
       "dd\n1\n3\n2\n0\n0\n0 1 1 12.5\n2 2 3 14\n",
       {{{1, 0, 2, 3}, none, 12.5}, {{4, 2, 10, 12}, none, 14}}},
      {"Wenner beta and gamma", "wb\n1\n4\n1\n0\n0\n10 2 20\n", {{{12, 10, 14, 16}, none, 20}}},
      {"gamma", "wg\n1\n5\n1\n0\n0\n10 2 21\n", {{{10, 14, 12, 16}, none, 21}}},
      {"pole-dipole, forward and reverse",
       "pd\n7.0\n6\n2\n0\n0\n0,63,1,0.8277\n0, 7,-2, 102.4\n",
       {{{0, absent, 63, 126}, none, 0.8277}, {{21, absent, 7, 0}, none, 102.4}}},
      {"Wenner-Schlumberger, midpoint",
       "ws\n1\n7\n1\n1\n0\n10 1 2 30\n",
       {{{7.5, 12.5, 9.5, 10.5}, none, 30}}},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("line.dat", test.content);
    Transcript transcript;
    SCOPED_TRACE(test.name);
    const FieldSurvey survey = read_dat2d_file(transcript.io(), file);
    expect_readings(survey, test.expected);
  }
}

TEST(Dat2dFormat, GeneralArrayWithResistancesIpBlockAndTopographyAlongTheGround) {
  TempFolder folder;
  // x along the ground: the segment from 0 to 5 m rises 3 m, so 5 m along it is 4 m across.
  const std::string file =
      folder.write("general.dat",
                   "General array with IP\n"
                   " 1.0\n"
                   " 11\n"
                   "0\n"
                   "Type of measurement (0=app. resistivity,1=resistance)\n"
                   " 1\n"
                   "3\n"
                   "2\n"
                   "1\n"
                   "Chargeability\n"
                   "msec\n"
                   "0.12,2.0\n"
                   "4   1.00 0.00   0.00 0.00   2.00 0.00   3.00 0.00  -1.25  20\n"
                   "3   0 0   5 0   10 0   0.5  10.5\n"
                   "2   10 0   5 0   0.75 8\n"
                   "2\n"
                   "3\n"
                   "0, 100\n"
                   "5, 103\n"
                   "10, 103\n"
                   "1\n"
                   "0\n0\n0\n0\n");
  Transcript transcript;
  const FieldSurvey survey = read_dat2d_file(transcript.io(), file);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::milliseconds);
  EXPECT_EQ(survey.chargeability_window, 2.0);
  std::vector<Expected> expected(3);
  // The reader keeps the distances along the ground (the import makes them horizontal); the
  // elevations are interpolated along the ground: 100 + 0.6 s on the first segment.
  EXPECT_TRUE(survey.x_along_ground);
  expected[0].x = {1, 0, 2, 3};
  expected[0].elevation = {100.6, 100, 101.2, 101.8};
  expected[0].resistance = -1.25, expected[0].chargeability = 20;
  expected[1].x = {0, absent, 5, 10};
  expected[1].elevation = {100, none, 103, 103};
  expected[1].resistance = 0.5, expected[1].chargeability = 10.5;
  expected[2].x = {10, absent, 5, absent};
  expected[2].elevation = {103, none, 103, none};
  expected[2].resistance = 0.75, expected[2].chargeability = 8;
  expect_readings(survey, expected);
  ASSERT_EQ(survey.topography.size(), 3u);
  EXPECT_EQ(survey.topography[1], (std::array<double, 2>{5, 103}));
  EXPECT_EQ(survey.topography[2], (std::array<double, 2>{10, 103}));
}

TEST(Dat2dFormat, ErrorEstimatesInTheUnitOfTheDataOrInPercent) {
  const struct {
    const char* type;
    double std, relative;
  } cases[] = {{"0", none, 0.02}, {"1", none, 0.025}};
  for (const auto& test : cases) {
    TempFolder folder;
    // Apparent resistivities with errors in ohm-m (type 0: 2 of 100) or in percent (type 1: 2.5).
    const std::string file = folder.write(
        "errors.dat", std::string("errors\n1.0\n3\n1\n0\n0\nError estimate for data present\n"
                                  "Type of error estimate (0=same unit as data)\n") +
                          test.type + "\n0 1 1 100 " + (test.type[0] == '0' ? "2" : "2.5") +
                          "\n0\n");
    Transcript transcript;
    const FieldSurvey survey = read_dat2d_file(transcript.io(), file);
    std::vector<Expected> expected(1);
    expected[0].x = {1, 0, 2, 3};
    expected[0].apparent = 100, expected[0].std = test.std, expected[0].relative = test.relative;
    expect_readings(survey, expected);
  }
}

TEST(Dat2dFormat, RefusalsNameTheLine) {
  const struct {
    const char* content;
    const char* detail;
  } cases[] = {
      {"t\n-1\n1\n", "line.dat:2: the unit electrode spacing must be positive"},
      {"t\n1\n9\n",
       "line.dat:3: array code 9 is not one of the arrays quelby reads (1 to 8, 10 and 11)"},
      {"t\n1\n3\n2\n0\n0\n0 1 2\n0 1 1 5\n", "line.dat:7: expected 4 values (3 found)"},
      {"t\n1\n3\n1\n0\n0\n0 1 0 5\n",
       "line.dat:7: a must be positive and n not 0 (negative only for the reverse pole-dipole)"},
      {"t\n1\n11\n0\n1\n0\n0\n5 0 0 1 0 2 0 3 0 4 0 7\n",
       "line.dat:8: expected the number of electrodes (2, 3 or 4) first"},
      {"t\n1\n1\n2\n0\n0\n0 1 5\n", "line.dat: the file ends where a datum was expected"},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("line.dat", test.content);
    Transcript transcript;
    try {
      read_dat2d_file(transcript.io(), file);
      ADD_FAILURE() << "read: " << test.content;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), folder.file("") + test.detail) << test.content;
    }
  }
}

TEST(SyscalFormat, ReadsTheTextExportTheCsvExportAndDecimalCommas) {
  const struct {
    const char* name;
    const char* content;
  } cases[] = {
      {"text",
       "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho \tDev.\t M  \tSp  \tVp  \tIn  \tM1  \n"
       "\t0.00\t1.00\t3.00\t4.00\t131.56\t0.3\t0.80\t64.4\t-429.046\t245.897\t1.72\n"
       "\t1.00\t2.00\t4.00\t5.00\t180.26\t2.5\t-0.23\t-57.1\t-632.482\t264.551\t1.67\n"},
      {"csv",
       "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m),Dev. M,Dev. Rho (%),M (mV/V),"
       "SP (mV),VMN (mV),IAB (mA),Coef. k (m)\n"
       "Mixed / non conventional,0,1,3,4,131.56,0.11,0.3,0.80,64.4,-429.046,245.897,-75.4\n"
       "Mixed / non conventional,1,2,4,5,180.26,0.82,2.5,-0.23,-57.1,-632.482,264.551,"
       "-75.4\n"},
      {"semicolons and decimal commas",
       "El-array;xA(m);xB(m);xM(m);xN(m);Rho (Ohm.m);Dev.;M (mV/V);SP (mV);VMN (mV);IAB (mA)\n"
       "Dipole-Dipole;0,00;1,00;3,00;4,00;131,56;0,3;0,80;64,4;-429,046;245,897\n"
       "Dipole-Dipole;1,00;2,00;4,00;5,00;180,26;2,5;-0,23;-57,1;-632,482;264,551\n"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    TempFolder folder;
    const std::string file = folder.write("line.txt", test.content);
    Transcript transcript;
    const FieldSurvey survey = read_syscal_file(transcript.io(), file);
    EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::millivolt_per_volt);
    std::vector<Expected> expected(2);
    const bool with_k = std::string(test.name) == "csv";
    expected[0].x = {0, 1, 3, 4};
    expected[0].apparent = 131.56, expected[0].deviation = 0.3, expected[0].chargeability = 0.8;
    expected[0].voltage = -0.429046, expected[0].current = 0.245897;
    expected[0].factor = with_k ? -75.4 : none;
    expected[1].x = {1, 2, 4, 5};
    expected[1].apparent = 180.26, expected[1].deviation = 2.5, expected[1].chargeability = -0.23;
    expected[1].voltage = -0.632482, expected[1].current = 0.264551;
    expected[1].factor = with_k ? -75.4 : none;
    expect_readings(survey, expected);
    EXPECT_EQ(survey.readings[1].line, 3u);
  }
}

TEST(TerrameterFormat, ReadsPositionsElevationsValuesAndTheIntegrationWindow) {
  TempFolder folder;
  const std::string file = folder.write(
      "line.txt",
      "ID\tMeasID\tA(x)\tA(y)\tA(z)\tB(x)\tB(y)\tB(z)\tM(x)\tM(y)\tM(z)\tN(x)\tN(y)\tN(z)\t"
      "I(mA)\tU(V)\tR(Ohm)\tVar(%)\tApp.R(Ohmm)\tApp.Ch.(ms)\tIntTime(s)\n"
      "1\t10\t0\t0\t12.5\t5\t0\t12.0\t10\t0\t11.5\t15\t0\t11.0\t"
      "200.5\t-0.35\t-1.7456\t0.4\t-\t12.25\t0.5\n"
      "2\t10\t0\t0\t12.5\t5\t0\t12.0\t15\t0\t11.0\t20\t0\t10.5\t"
      "200.5\t-0.12\t-0.5985\t1.5\t45.1\t*\t0.5\n");
  Transcript transcript;
  const FieldSurvey survey = read_terrameter_file(transcript.io(), file);
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::milliseconds);
  EXPECT_EQ(survey.chargeability_window, 0.5);
  std::vector<Expected> expected(2);
  expected[0].x = {0, 5, 10, 15};
  expected[0].elevation = {12.5, 12.0, 11.5, 11.0};
  expected[0].current = 0.2005, expected[0].voltage = -0.35, expected[0].resistance = -1.7456;
  expected[0].deviation = 0.4, expected[0].chargeability = 12.25;
  expected[1].x = {0, 5, 15, 20};
  expected[1].elevation = {12.5, 12.0, 11.0, 10.5};
  expected[1].current = 0.2005, expected[1].voltage = -0.12, expected[1].resistance = -0.5985;
  expected[1].deviation = 1.5, expected[1].apparent = 45.1;
  expect_readings(survey, expected);
}

TEST(ProtocolFormat, PlacesNumberedElectrodesAndReadsResistanceAndError) {
  TempFolder folder;
  const std::string file = folder.write("protocol.dat",
                                        "         3\n"
                                        "    1      1      2      3      4   -0.1038E+02  0.05\n"
                                        "    2      2      3      4      5   -10.57\n"
                                        "    3      1      4      2      3\n");
  Transcript transcript;
  const FieldSurvey survey = read_protocol_file(transcript.io(), file, 0.5);
  std::vector<Expected> expected(3);
  expected[0].x = {0, 0.5, 1, 1.5};
  expected[0].resistance = -10.38, expected[0].std = 0.05;
  expected[1].x = {0.5, 1, 1.5, 2};
  expected[1].resistance = -10.57;
  expected[2].x = {0, 1.5, 0.5, 1};
  expect_readings(survey, expected);

  const std::string three_d = folder.write("3d.dat", "1\n1 1 1 1 2 1 3 1 4 0.5\n");
  EXPECT_THROW(read_protocol_file(transcript.io(), three_d, 1), Stop);
}

}  // namespace
}  // namespace quelby
