// The SuperSting (.stg) and ABEM Lund (.ohm) readers on files written here in their layouts,
// checked value by value (positions, poles, values in SI units, IP, line numbers); the last row cut
// short dropped and noted; broken files stopping at their line; and the signature checks of both
// formats against files of every format the import reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_source.hpp"
#include "quelby/fielddata/lund_format.hpp"
#include "quelby/fielddata/sting_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

constexpr double none = not_given;
constexpr double absent = -1e300;  // x of an electrode a reading does not use

struct Expected {
  std::size_t line;
  std::array<double, 4> x;
  double resistance = none, apparent = none, current = none, relative = none, deviation = none,
         chargeability = none;
  std::array<double, 4> y = {0, 0, 0, 0};
  std::array<double, 4> elevation = {none, none, none, none};
  std::array<int, 4> number = {0, 0, 0, 0};
};

void expect_near(double expected, double found, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(found)) << what << " should be absent, is " << found;
  } else {
    EXPECT_NEAR(found, expected, 1e-6 * std::max(1.0, std::abs(expected))) << what;
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
      const FieldElectrode& electrode = r.electrodes[role];
      const std::string name = at + " electrode " + "ABMN"[role];
      ASSERT_EQ(electrode.present, e.x[role] != absent) << name;
      if (!electrode.present) continue;
      expect_near(e.x[role], electrode.x, name + " x");
      expect_near(e.y[role], electrode.y, name + " y");
      expect_near(e.elevation[role], electrode.elevation, name + " elevation");
      EXPECT_EQ(electrode.number, e.number[role]) << name;
    }
    expect_near(e.resistance, r.resistance, at + " resistance");
    expect_near(e.apparent, r.apparent_resistivity, at + " apparent resistivity");
    expect_near(e.current, r.current, at + " current");
    expect_near(e.relative, r.relative_error, at + " relative error");
    expect_near(e.deviation, r.deviation, at + " deviation");
    expect_near(e.chargeability, r.chargeability, at + " chargeability");
  }
}

struct Refusal {
  const char* what;
  std::string content;
  std::string detail;  // "f.txt:LINE: what", the folder left out
};

// Each refused file stops with its detail and the message starting as every field reader's does.
template <typename Reader>
void expect_refusals(const std::vector<Refusal>& cases, Reader read) {
  for (const Refusal& test : cases) {
    SCOPED_TRACE(test.what);
    testing::TempFolder folder;
    const std::string path = folder.write("f.txt", test.content);
    Transcript transcript;
    try {
      read(transcript.io(), read_field_source(transcript.io(), path));
      ADD_FAILURE() << "read";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), folder.file("") + test.detail);
      EXPECT_EQ(transcript.console().rfind("\nError reading the field data file " + path, 0), 0u);
    }
  }
}

bool has_note(const FieldSurvey& survey, const std::string& piece) {
  for (const std::string& note : survey.notes) {
    if (note.find(piece) != std::string::npos) return true;
  }
  return false;
}

// One SuperSting record as the instrument writes it; NaN in `xyz` leaves that value empty.
std::string record(int number, double vi, int error, int milliamperes, double rho,
                   const std::array<double, 12>& xyz,
                   const std::string& tail = ",Cmd=1,HV=170,Cyk=2,MTime=1.2,Gain=1,Ch=1") {
  char text[512];
  std::snprintf(text, sizeof text, "%4d,USER   ,20251030,13:46:46,% .5E,%4d,%d,% .5E,LINE1    ",
                number, vi, error, milliamperes, rho);
  std::string line = text;
  for (const double value : xyz) {
    std::snprintf(text, sizeof text, std::isnan(value) ? "," : ",% .5E", value);
    line += text;
  }
  return line + tail + "\r\n";
}

const std::string header =
    "Advanced Geosciences, Inc. SuperSting R8-IP Resistivity meter. S/N: SS1702084 Type: "
    "3D\r\nFirmware version: 01.33.72E Survey period: 20251030 Records: 3\r\n";
const std::array<double, 12> dipoles = {0.5, 0, 101.5, 0, 0, 101, 1, 0.25, 100.5, 1.5, 0, 100};
const std::array<double, 12> remote_b = {2, 0, 0, 0, 304.8, 0, 1, 0, 0, 0, 0, 0};
const std::array<double, 12> poles = {2, 0, 0, none, none, none, 3, 0, 0, none, none, none};

std::string sting_records() {
  return record(1, 0.852552, 1, 1149, 8.03511, dipoles) +
         record(2, -0.855544, 15, 1149, -451.545, remote_b) +
         record(3, 1.23e-3, 0, 87, 12.5, poles);
}

std::vector<Expected> sting_expected(std::size_t first_line, double foot) {
  std::vector<Expected> e = {{first_line, {0.5, 0, 1, 1.5}, 0.852552, 8.03511, 1.149, 0.001},
                             {first_line + 1, {2, 0, 1, 0}, -0.855544, -451.545, 1.149, 0.015},
                             {first_line + 2, {2, absent, 3, absent}, 1.23e-3, 12.5, 0.087, 0}};
  e[0].y = {0, 0, 0.25, 0}, e[0].elevation = {101.5, 101, 100.5, 100};
  e[1].y = {0, 304.8, 0, 0}, e[1].elevation = {0, 0, 0, 0};
  e[2].elevation = {0, none, 0, none};
  for (Expected& reading : e) {
    for (std::size_t role = 0; role < 4; ++role) {
      if (reading.x[role] != absent) reading.x[role] *= foot;
      reading.y[role] *= foot, reading.elevation[role] *= foot;
    }
    reading.apparent *= foot;
  }
  return e;
}

FieldSurvey read_sting(const Io& io, const std::string& text) {
  return read_sting_file(io, field_source_from_text("line.stg", text));
}

TEST(StingFormat, ReadsRecordsWithOrWithoutHeaderInMetresOrFeet) {
  const struct {
    const char* name;
    std::string content;
    std::size_t first_line;
    double foot;
    const char* note;
  } cases[] = {
      {"meter", header + "Unit: meter\r\n" + sting_records(), 4, 1, "3 records read"},
      {"no header", sting_records(), 1, 1, "no Unit line"},
      {"feet", header + "Unit: feet\r\n" + sting_records(), 4, 0.3048, "(x 0.3048)"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey = read_sting(transcript.io(), test.content);
    EXPECT_EQ(survey.format, FieldFormat::sting);
    expect_readings(survey, sting_expected(test.first_line, test.foot));
    EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::none);
    EXPECT_TRUE(has_note(survey, test.note));
    EXPECT_TRUE(has_note(survey, "settings not read"));
  }
}

TEST(StingFormat, TotalIpInSecondsBecomesMillisecondsAndAllZeroIpIsDcOnly) {
  const std::string ip = ",IP:,260,0, 1.1E-3, 9.0E-4, 7.0E-4, 5.0E-4, 4.0E-4, 3.0E-4,";
  Transcript transcript;
  const FieldSurvey survey =
      read_sting(transcript.io(), record(1, 0.5, 2, 100, 50, dipoles, ip + " 1.25E-2,Cmd=1") +
                                      record(2, 0.25, 2, 100, 25, dipoles, ip + "-2.5E-3"));
  EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::milliseconds);
  EXPECT_EQ(survey.chargeability_unit_text, "s");
  ASSERT_EQ(survey.readings.size(), 2u);
  expect_near(12.5, survey.readings[0].chargeability, "total IP 1");
  expect_near(-2.5, survey.readings[1].chargeability, "total IP 2");
  EXPECT_TRUE(has_note(survey, "time slot '260' ms"));

  const FieldSurvey dc =
      read_sting(transcript.io(), record(1, 0.5, 2, 100, 50, dipoles, ip + " 0"));
  EXPECT_EQ(dc.chargeability_unit, ChargeabilityUnit::none);
  EXPECT_TRUE(std::isnan(dc.readings[0].chargeability));
  EXPECT_TRUE(has_note(dc, "DC-only"));
}

TEST(StingFormat, LastRecordCutShortIsDroppedAndNoted) {
  const std::string two =
      record(1, 0.5, 2, 100, 50, dipoles, "") + record(2, 0.25, 2, 100, 25, dipoles, "");
  const struct {
    const char* name;
    std::string content;
    std::size_t readings;
    const char* note;
  } cases[] = {
      {"fields missing", two + "   3,USER   ,20251030,13:46:46, 2.5E-01,   2", 2,
       "(6 of 21 values)"},
      {"last number unfinished", two.substr(0, two.size() - 6), 1, "its last number unfinished"},
      {"complete, no line end", two.substr(0, two.size() - 2), 2, "2 records read"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey = read_sting(transcript.io(), test.content);
    EXPECT_EQ(survey.readings.size(), test.readings);
    EXPECT_TRUE(has_note(survey, test.note));
  }
}

TEST(StingFormat, RefusalsNameTheFileAndTheLine) {
  const std::string one = record(1, 0.5, 2, 100, 50, dipoles);
  expect_refusals(
      {{"unit", header + "Unit: yard\n" + one,
        "f.txt:3: the unit 'yard' is neither meter nor feet"},
       {"V/I", header + one + "   2,USER   ,20251030,13:46:46,abc" + one.substr(43),
        "f.txt:4: the V/I 'abc' is not a number"},
       {"short record inside", "   1,USER   ,20251030,13:46:46, 5.0E-01,2\n" + one,
        "f.txt:1: expected 21 comma-separated values (number, user, date, time, V/I, error, "
        "current, apparent resistivity, command file, x y z of A B M N), found 6"},
       {"half a triplet", record(1, 0.5, 2, 100, 50, {0, 0, 0, 1, none, 0, 2, 0, 0, 3, 0, 0}),
        "f.txt:1: the y of B '' is not a number"},
       {"text among records", one + "end of survey\n" + one,
        "f.txt:2: expected a record (number, user, date, time, V/I, error, current, apparent "
        "resistivity, command file, x y z of A B M N), found 'end of survey'"},
       {"no record", header, "f.txt: the file holds no record"}},
      read_sting_file);
}

// A Lund header: a title, the first station, the date, the spacing and the protocols.
std::string lund_header(const std::string& protocols, const char* spacing = "4") {
  const std::string pad(30, ' ');
  return "\r\n0" + pad + "{ first station coordinate }\r\n2019-11-22 13:06:38   ver. 2.12\r\n" +
         spacing + pad + "{ electrode take-out spacing }\r\n" +
         std::to_string(std::count(protocols.begin(), protocols.end(), '\n')) + pad +
         "{ no. of protocol files used }\r\n" + protocols;
}

std::string lund_block(const char* file, const char* count_type, const char* station,
                       const std::string& data) {
  return std::string(file) + "\r\n" + count_type + "\r\n" + station +
         "\r\n2019-11-22 13:06:48   ver. 2.12\r\n" + data;
}

FieldSurvey read_lund(const Io& io, const std::string& text) {
  return read_lund_file(io, field_source_from_text("line.ohm", text));
}

TEST(LundFormat, ReadsBlocksAtTheirStationsRemoteElectrodesAndElectrodeNumbers) {
  const std::string dipoles =
      " -62 -58 58 54 2.33000E-2 0.0 1 1\r\n -50 -54 -62 -58 3.46000E0 0.5 1 1\r\n";
  const std::string pole = " 2 1.00000E+38 -6 -2 -1.25E1 2.5 1 1\r\n";
  std::vector<Expected> blocks = {{12, {-62, -58, 58, 54}, 2.33e-2},
                                  {13, {-50, -54, -62, -58}, 3.46},
                                  {18, {22, absent, 14, 18}, none, -12.5}};
  blocks[0].deviation = 0, blocks[1].deviation = 0.5, blocks[2].deviation = 2.5;
  std::vector<Expected> numbered = {{11, {0, 3, 1, 2}, none, 102.97},
                                    {12, {4, absent, 2, 3}, none, 98.49}};
  numbered[0].number = {1, 4, 2, 3}, numbered[1].number = {5, 0, 3, 4};
  numbered[0].deviation = 0.05, numbered[1].deviation = 0.361;
  const struct {
    const char* name;
    std::string content;
    std::vector<Expected> expected;
    const char* note;
  } cases[] = {
      {"resistances, then apparent resistivities at station 20",
       lund_header("DIPDIP2X16 5\r\nPOLDIP2X16 6\r\n") +
           lund_block("DIPDIPL2X16.ORG", "2 1", "0", dipoles) +
           lund_block("POLDIP2X16.UP", "1 0", "20", pole),
       blocks, "1 remote electrodes"},
      {"tomography",
       lund_header("3D21X12 12\r\n", "1") +
           lund_block("3D21X12.ORG", "2 0", "20.5",
                      "1\t4\t2\t3\t102.970\t0.050\t1\t1\r\n5\t0\t3\t4\t98.490\t0.361\t1\t1\r\n"),
       numbered, "--electrodes FILE"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey = read_lund(transcript.io(), test.content);
    EXPECT_EQ(survey.format, FieldFormat::lund);
    expect_readings(survey, test.expected);
    EXPECT_TRUE(has_note(survey, test.note));
  }
}

TEST(LundFormat, LastDatumCutShortIsDroppedAndNoted) {
  const std::string head = lund_header("WEN 1\r\n", "1");
  const struct {
    const char* name;
    std::string content;
    const char* note;
  } cases[] = {
      {"values missing", head + lund_block("WEN.ORG", "2 0", "0", "0 3 1 2 10.5 0.1 1 1\r\n1 4 2"),
       "(3 of 8 values)"},
      {"number unfinished",
       head + lund_block("WEN.ORG", "2 0", "0", "0 3 1 2 10.5 0.12\r\n1 4 2 3 10.5 0.1"),
       "its last number unfinished"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey = read_lund(transcript.io(), test.content);
    EXPECT_EQ(survey.readings.size(), 1u);
    EXPECT_TRUE(has_note(survey, test.note));
    EXPECT_TRUE(has_note(survey, "1 of 2 apparent resistivities read"));
  }
}

TEST(LundFormat, RefusalsNameTheFileAndTheLine) {
  const std::string head = lund_header("WEN 1\r\n", "1");
  const std::string datum = "0 3 1 2 10.5 0.1 1 1\n";
  expect_refusals(
      {{"spacing", lund_header("WEN 1\n", "-1"),
        "f.txt:4: the electrode take-out spacing must be positive"},
       {"protocol line", lund_header("WENNER\n"),
        "f.txt:6: expected a protocol name and its array code, found 'WENNER'"},
       {"count", head + lund_block("WEN.ORG", "3 0", "0", datum),
        "f.txt: the file ends after 1 of the 3 data of the block at line 7"},
       {"type", head + lund_block("WEN.ORG", "1 2", "0", datum),
        "f.txt:8: the type of the values is 2, not 0 (apparent resistivity) or 1 (resistance)"},
       {"value", head + lund_block("WEN.ORG", "1 0", "0", "0 3 1 2 x 0.1 1 1\n"),
        "f.txt:11: the value 'x' is not a number"},
       {"short datum inside", head + lund_block("WEN.ORG", "2 0", "0", "0 3 1 2\n" + datum),
        "f.txt:11: expected 5 values (the positions of A B M N, the value, ...), found 4"},
       {"electrode number",
        lund_header("T 12\n", "1") + lund_block("T.ORG", "1 0", "0", "1 2.5 3 4 9 0 1 1\n"),
        "f.txt:11: the electrode number of B '2.5' is not a whole number of 1 or more (array code "
        "12 numbers the electrodes)"},
       {"no block", head,
        "f.txt: the file holds no data block (protocol file, number of data, station, date, "
        "data)"}},
      read_lund_file);
}

// Neither signature claims a file of another format the import reads; a unified .ohm file is told
// from a Lund .ohm file by its content alone.
TEST(StingLundSignatures, EachClaimsItsOwnFilesOnly) {
  const struct {
    const char* name;
    std::string content;
    bool sting, lund;
  } cases[] = {
      {"SuperSting", header + "Unit: meter\r\n" + sting_records(), true, false},
      {"SuperSting without header", sting_records(), true, false},
      {"Lund",
       lund_header("DIPDIP2X16 5\r\n") +
           lund_block("D.ORG", "1 1", "0", "-6 -2 2 6 1.5 0.0 1 1\r\n"),
       false, true},
      {"unified with tokens",
       "5 # number of electrodes\n# x y z\n0 0 100.5\n2 0 101\n4 0 101.5\n6 0 101\n8 0 100\n1\n# a "
       "b m n u/mV i/mA\n1 2 3 4 -12.5 250\n",
       false, false},
      {"unified, x only", "4\n0\n1\n2\n3\n2\n1 4 2 3 231.2 0.02\n1 2 3 4 -77.5\n", false, false},
      {"2-D .dat", "Wenner\n1.0\n1\n2\n1\n0\n1.5 1.0 9.80\n3 2 10.5\n0\n", false, false},
      {"2-D .dat with a date-like title", "2019-11-22 13:06 line\n1.0\n11\n0\n1\n0\n", false,
       false},
      {"Syscal text",
       "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\tDev.\tM\tSp\tVp\tIn\n\t0\t1\t3\t4\t131.5\t0.3\t0."
       "8\t64\t-429\t245\n",
       false, false},
      {"Syscal csv", "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m)\nDD,0,1,3,4,131.56\n", false,
       false},
      {"Terrameter", "ID\tA(x)\tB(x)\tM(x)\tN(x)\tR(Ohm)\n1\t0\t5\t10\t15\t-1.7\n", false, false},
      {"protocol", "2\n1 1 2 3 4 -10.38 0.05\n2 2 3 4 5 -10.57\n", false, false},
      {"numbers separated by commas", "1,0,1,2,3,100.5,0.2\n2,1,2,3,4,98.5,0.1\n", false, false},
      {"empty", "", false, false},
      {"one overlong line", std::string(std::size_t{3} << 20, '7'), false, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSource source = field_source_from_text("f", test.content);
    EXPECT_EQ(sting_mismatch(source).empty(), test.sting) << sting_mismatch(source);
    EXPECT_EQ(lund_mismatch(source).empty(), test.lund) << lund_mismatch(source);
  }
}

}  // namespace
}  // namespace quelby
