// The readers of BGS PRIME exports (.tab, .dat) and OhmPi CSV files on files written here in each
// layout and version: electrode numbers and their places, values in SI units, deviations and
// errors, phases in mrad, the line of each reading, rows dropped and counted, refused files naming
// their line, and each format's signature against the files of the other formats.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/ohmpi_format.hpp"
#include "quelby/fielddata/prime_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;
using Reader = std::function<FieldSurvey(const Io&, const FieldSource&)>;

constexpr double none = not_given;
constexpr double degree = std::numbers::pi / 180 * 1000;  // in mrad

struct Expected {
  std::size_t line;
  std::array<int, 4> numbers;  // A B M N; x = (number - 1) * spacing
  double resistance = none, voltage = none, current = none, deviation = none, relative = none,
         std = none, phase = none, phase_std = none;
};

void expect_value(double expected, double found, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(found)) << what << " should be absent, is " << found;
  } else {
    EXPECT_NEAR(found, expected, 1e-6 * std::abs(expected)) << what;
  }
}

void expect_readings(const FieldSurvey& survey, const std::vector<Expected>& expected,
                     double spacing = 1) {
  ASSERT_EQ(survey.readings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const FieldReading& r = survey.readings[i];
    const Expected& e = expected[i];
    const std::string at = "reading " + std::to_string(i + 1);
    EXPECT_EQ(r.line, e.line) << at;
    for (std::size_t role = 0; role < 4; ++role) {
      EXPECT_EQ(r.electrodes[role].number, e.numbers[role]) << at << " electrode " << role;
      EXPECT_DOUBLE_EQ(r.electrodes[role].x, (e.numbers[role] - 1) * spacing) << at;
    }
    expect_value(e.resistance, r.resistance, at + " resistance");
    expect_value(e.voltage, r.voltage, at + " voltage");
    expect_value(e.current, r.current, at + " current");
    expect_value(e.deviation, r.deviation, at + " deviation");
    expect_value(e.relative, r.relative_error, at + " relative error");
    expect_value(e.std, r.std, at + " std");
    expect_value(e.phase, r.chargeability, at + " phase");
    expect_value(e.phase_std, r.chargeability_std, at + " phase std");
  }
}

FieldSurvey read_text(const Reader& reader, const std::string& name, const std::string& text) {
  TempFolder folder;
  Transcript transcript;
  return reader(transcript.io(), read_field_source(transcript.io(), folder.write(name, text)));
}

bool has_note(const FieldSurvey& survey, const std::string& text) {
  for (const std::string& note : survey.notes) {
    if (note.find(text) != std::string::npos) return true;
  }
  return false;
}

// Each case must stop with the detail "NAME:LINE: what" (or "NAME: what").
void expect_refusals(const Reader& reader, const std::string& name,
                     const std::vector<std::array<std::string, 2>>& cases) {
  for (const auto& [content, detail] : cases) {
    TempFolder folder;
    Transcript transcript;
    const std::string path = folder.write(name, content);
    try {
      reader(transcript.io(), read_field_source(transcript.io(), path));
      ADD_FAILURE() << "read: " << content;
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.detail(), path + detail) << content;
      EXPECT_EQ(transcript.console().rfind("\nError reading the field data file " + path, 0), 0u);
    }
  }
}

const std::string prime_columns =
    "pt_line_number:\tpt_calc_res:\tpt_calc_res_error:\tpt_c1_no:\tpt_c2_no:\tpt_p1_no:\t"
    "pt_p2_no:\tpt_meas_voltage_mean:\tpt_meas_current_mag:\tpt_calc_phase_mag:\t"
    "pt_calc_phase_error:\tpt_error_code:\n";

std::string prime_file(const std::string& units, const std::string& rows,
                       const std::string& settings = "") {
  return "# Prime:                           \tRX Ver.1.02\n"
         "site_name:                         \tfield\n"
         "set_current_max:                   \t100\tmA\n" +
         settings + "set_no_of_meas:                    \t2\n" + units + "data:\n" + prime_columns +
         rows;
}

const std::string prime_units = "#Units\tOhm\tTenths %\t-\t-\t-\t-\tmV\tmA\tDegrees\tTenths %\t-\n";
const std::string prime_rows =
    "1\t-40133.8\t363.706\t129\t130\t132\t131\t-577.659\t0.0143934\t118.44\t3.22\t0x02\n"
    "2\t0.797471\t0.479907\t2\t1\t3\t4\t71.7691\t89.9959\t-1.86837\t16.5341\t0x00\n";

// Readings of prime_rows, their header taking `first` lines.
std::vector<Expected> prime_expected(std::size_t first) {
  std::vector<Expected> expected = {
      {first + 1, {129, 130, 132, 131}, -40133.8, -0.577659, 1.43934e-5, 36.3706, 0.363706},
      {first + 2, {2, 1, 3, 4}, 0.797471, 0.0717691, 0.0899959, 0.0479907, 0.000479907}};
  expected[0].phase = 118.44 * degree, expected[0].phase_std = 118.44 * degree * 0.00322;
  expected[1].phase = -1.86837 * degree, expected[1].phase_std = 1.86837 * degree * 0.0165341;
  return expected;
}

TEST(PrimeFormat, ReadsTheTabAndDatExportsWithTheirUnits) {
  std::string crlf;
  for (const char c : prime_file(prime_units, prime_rows)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const struct {
    const char* name;
    std::string content;
    std::size_t header_lines;
  } cases[] = {
      {"line.tab", prime_file(prime_units, prime_rows), 7},
      {"line.dat", crlf, 7},
      // No #Units row: PRIME's own units.
      {"plain.dat", prime_file("", prime_rows), 6},
      {"si.tab",
       prime_file("#Units\tkOhm\t%\t-\t-\t-\t-\tV\tA\tmrad\t%\t-\n",
                  "1\t-40.1338\t36.3706\t129\t130\t132\t131\t-0.577659\t1.43934e-5\t" +
                      std::to_string(118.44 * degree) + "\t0.322\t0x02\n" +
                      "2\t0.797471e-3\t0.0479907\t2\t1\t3\t4\t0.0717691\t0.0899959\t" +
                      std::to_string(-1.86837 * degree) + "\t1.65341\t0x00\n"),
       7},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSurvey survey = read_text(read_prime_file, test.name, test.content);
    EXPECT_EQ(survey.format, FieldFormat::prime);
    EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::milliradians);
    expect_readings(survey, prime_expected(test.header_lines));
    EXPECT_TRUE(has_note(survey, "--electrodes FILE"));
    EXPECT_TRUE(has_note(survey, "set_no_of_meas states 2 measurements; 2 read"));
    EXPECT_TRUE(has_note(survey, "0x00 on 1, 0x02 on 1"));
  }
}

TEST(PrimeFormat, PlacesElectrodesByTheFileTableOrItsSpacing) {
  const std::string table =
      "no_of_electrodes:\t4\n"
      "electrode\tx\ty\tz\ttype\n"
      "1\t0\t0\t10.5\tSurface\n2\t1.5\t0\t10\tSurface\n3\t3\t0.5\t9.5\tSurface\n"
      "4\t4.5\t0\t-2\tBorehole\n";
  const std::string rows = "1\t0.5\t1\t1\t2\t4\t3\t5\t10\t0\t0\t0x00\n";
  const FieldSurvey placed = read_text(read_prime_file, "t.tab", prime_file("", rows, table));
  ASSERT_EQ(placed.readings.size(), 1u);
  const auto& e = placed.readings[0].electrodes;
  const std::array<double, 4> x = {0, 1.5, 4.5, 3}, y = {0, 0, 0, 0.5}, z = {10.5, 10, -2, 9.5};
  for (std::size_t role = 0; role < 4; ++role) {
    EXPECT_EQ(e[role].x, x[role]);
    EXPECT_EQ(e[role].y, y[role]);
    EXPECT_EQ(e[role].elevation, z[role]);
    EXPECT_EQ(e[role].buried, role == 2);
  }
  EXPECT_EQ(e[2].number, 4);
  // An all-zero phase column is a DC-only export.
  EXPECT_EQ(placed.chargeability_unit, ChargeabilityUnit::none);
  EXPECT_TRUE(std::isnan(placed.readings[0].chargeability));
  EXPECT_TRUE(has_note(placed, "no IP read"));

  const FieldSurvey spaced =
      read_text(read_prime_file, "s.tab", prime_file("", rows, "electrode_spacing:\t2.5\tm\n"));
  expect_readings(spaced, {{8, {1, 2, 4, 3}, 0.5, 5e-3, 1e-2, 0.1, 0.001}}, 2.5);
  EXPECT_FALSE(has_note(spaced, "--electrodes FILE"));
}

TEST(PrimeFormat, LeavesErrorLinesGapsAndTruncatedRowsCountingThem) {
  // Without pt_error_code: the last column holds a value, which the file's end may cut short.
  const std::string columns = prime_columns.substr(0, prime_columns.rfind("\tpt_error")) + "\n";
  const std::string text = "# Prime:\tRX\ndata:\n" + columns +
                           "1\t0.5\t1\t7\t8\t9\t10\t5\t10\t1\t10\n"
                           "**Error: no current\n"
                           "3\t/.//\t1\t\t\t10\t11\t/.//\t10\t1\t10\n"  // C1 C2 of line 4
                           "4\t0.5\t1\t7\t8\t11\n"                      // short: truncated
                           "5\t0.25\t1\t8\t9\t11\t12\t2.5\t10\t2\t10\n"
                           "6\t0.5\t1\t7\t8\t9\t10\t5\t10\t1\t10\t\n"  // a trailing tab
                           "7\t0.5\t1\t7\t8\t9\t10\t5\t10\t1\t10";     // cut by the end
  const FieldSurvey survey = read_text(read_prime_file, "gaps.tab", text);
  std::vector<Expected> expected = {{4, {7, 8, 9, 10}, 0.5, 5e-3, 1e-2, 0.1, 0.001},
                                    {6, {7, 8, 10, 11}, none, none, 1e-2, 0.1, 0.001},
                                    {8, {8, 9, 11, 12}, 0.25, 2.5e-3, 1e-2, 0.1, 0.001},
                                    {9, {7, 8, 9, 10}, 0.5, 5e-3, 1e-2, 0.1, 0.001}};
  const double phases[] = {1, 1, 2, 1};
  for (std::size_t i = 0; i < 4; ++i) {
    expected[i].phase = phases[i] * degree;
    expected[i].phase_std = phases[i] * degree * 0.01;
  }
  expect_readings(survey, expected);
  EXPECT_TRUE(
      has_note(survey, "1 error lines of the instrument (**Error) left, the first on line 5"));
  EXPECT_TRUE(has_note(survey, "1 readings leave C1 or C2 blank"));
  EXPECT_TRUE(has_note(survey, "1 readings with values the instrument did not record"));
  EXPECT_TRUE(has_note(survey, "2 truncated readings"));
  EXPECT_TRUE(has_note(survey, "dropped, the first on line 7"));

  // The same last line ended: read.
  EXPECT_EQ(read_text(read_prime_file, "ended.tab", text + "\n").readings.size(), 5u);
}

TEST(PrimeFormat, RefusalsNameTheLine) {
  const std::string head = "# Prime:\tRX\ndata:\n" + prime_columns;  // the columns on line 3
  const std::string row = "\t1\t10\t0x00\n";
  expect_refusals(
      read_prime_file, "line.tab",
      {{{"# Prime:\tRX\nsite_name:\tx\n",
         ": the file ends before the column names (pt_line_number: pt_calc_res: ...)"}},
       {{"# Prime:\tRX\nfree text\n",
         ":2: expected a setting (name: value), data: or the column names, found 'free text'"}},
       {{"# Prime:\tRX\ndata:\n1 2\n",
         ":3: expected the column names (pt_line_number: pt_calc_res: ...) after data:, "
         "found '1 2'"}},
       {{"pt_line_number:\tpt_calc_res:\tpt_c1_no:\tpt_c2_no:\tpt_p1_no:\n",
         ":1: the column names hold no pt_p2_no: (the number of electrode N)"}},
       {{head + "1\t0.5\t1\tx\t2\t3\t4\t5\t10" + row,
         ":4: the 'pt_c1_no:' field 'x' is not an electrode number (a whole number from 1)"}},
       {{head + "1\t0.5\t1\t1\t2\t3\t0\t5\t10" + row,
         ":4: the 'pt_p2_no:' field '0' is not an electrode number (a whole number from 1)"}},
       {{head + "1\tabc\t1\t1\t2\t3\t4\t5\t10" + row,
         ":4: the 'pt_calc_res:' field 'abc' is not a number"}},
       {{head + "1\t0.5\t1\t1\t2\t3\t4\t5\t10\t1\t10\t0x00\t7\n",
         ":4: the line holds 13 fields, the column names 12"}},
       {{"#Units\tOhm\t%\t-\t-\t-\t-\tkV\ndata:\n" + prime_columns,
         ":1: the unit 'kV' of the column 'pt_meas_voltage_mean:' is not one quelby reads"}},
       {{"no_of_electrodes:\t2\n1 0 0 0\n2 1 0 0\n" + prime_columns +
             "1\t0.5\t1\t1\t2\t3\t4\t5\t10" + row,
         ":5: electrode 3 is not in the electrode table of line 1"}},
       {{"no_of_electrodes:\t3\n1 0 0 0\n2 1 0 0\ndata:\n",
         ":4: expected electrode 3 of the 3 of the electrode table (number x y z), found "
         "'data:'"}}});
}

const std::vector<std::array<std::string, 2>> ohmpi_versions = {
    {"time,a,b,m,n,injection_duration_[ms],vmn_[mV],vmn_std_[%],iab_[mA],iab_std_[%],r_[Ohm],"
     "r_std_[%],rab_[kOhm],sp_[mV],nb_stack,vab_[V],strategy,cmd_id\n",
     "2025-08-25T23:15:16,{A},{B},{M},{N},500.0,{V},0.6,{I},5.2,{R},{S},23.7,36.3,2,40.0,safe,\n"},
    {"time,A,B,M,N,inj time [ms],Vmn [mV],I [mA],R [Ohm],R_std [%],Ps [mV],nbStack,Tx [V],"
     "CPU temp [degC],Nb samples [-],I_std [%],Vmn_std [%],R_ab [kOhm]\n",
     "2024-01-05T10:00:00,{A},{B},{M},{N},500,{V},{I},{R},{S},3.1,2,12,45.2,250,0.1,0.2,8.1\n"},
    // Full-waveform samples after the named columns, as many as each reading took.
    {"time,A,B,M,N,inj time [ms],Vmn [mV],I [mA],R [ohm],R_std [%],Ps [mV],i0,i1,u0,u1,t0,t1\n",
     "2023-06-07T09:46:37,{A},{B},{M},{N},509,{V},{I},{R},{S},36.5,5.1,5.2,7,8{WAVE}\n"},
    {"A,B,M,N,Vmn (mV),I (mA),R (ohm),R std (%)\n", "{A},{B},{M},{N},{V},{I},{R},{S}\n"},
};

std::string filled(std::string row,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [key, value] : values) {
    const std::size_t at = row.find(key);
    if (at != std::string::npos) row.replace(at, key.size(), value);
  }
  return row;
}

TEST(OhmpiFormat, ReadsTheColumnsOfEveryVersion) {
  for (const auto& [header, row] : ohmpi_versions) {
    SCOPED_TRACE(header);
    const std::string text = header +
                             filled(row, {{"{A}", "1"},
                                          {"{B}", "4"},
                                          {"{M}", "2"},
                                          {"{N}", "3"},
                                          {"{V}", "2834.374972985606"},
                                          {"{I}", "1.6829763862781957"},
                                          {"{R}", "1688.6299357504538"},
                                          {"{S}", "5.106033531562702"},
                                          {"{WAVE}", ",9"}}) +
                             filled(row, {{"{A}", "12"},
                                          {"{B}", "13"},
                                          {"{M}", "14"},
                                          {"{N}", "15.0"},
                                          {"{V}", "-362.44602272727275"},
                                          {"{I}", "2.5433617424242425"},
                                          {"{R}", "-142.78103166890432"},
                                          {"{S}", "-4.421855356796774"},
                                          {"{WAVE}", ""}});
    const FieldSurvey survey = read_text(read_ohmpi_file, "survey.csv", text);
    EXPECT_EQ(survey.format, FieldFormat::ohmpi);
    EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::none);
    expect_readings(survey, {{2,
                              {1, 4, 2, 3},
                              1688.6299357504538,
                              2.834374972985606,
                              1.6829763862781957e-3,
                              5.106033531562702,
                              0.05106033531562702},
                             {3,
                              {12, 13, 14, 15},
                              -142.78103166890432,
                              -0.36244602272727275,
                              2.5433617424242425e-3,
                              4.421855356796774,
                              0.04421855356796774}});
    EXPECT_TRUE(has_note(survey, "1 readings with a negative"));
    EXPECT_TRUE(has_note(survey, "--electrodes FILE"));
  }
}

TEST(OhmpiFormat, EarliestFilesAbsoluteDeviationsGapsAndTruncatedRows) {
  // The first files put every value in brackets.
  const FieldSurvey earliest =
      read_text(read_ohmpi_file, "m.csv",
                "A,B,M,N,R [ohm],cmd_id\n[1],[2],[3],[4],[0.91446259],ed3b\n"
                "[1],[2],[3],[4],[1.44076492],86b5\n");
  expect_readings(earliest, {{2, {1, 2, 3, 4}, 0.91446259}, {3, {1, 2, 3, 4}, 1.44076492}});

  const FieldSurvey survey =
      read_text(read_ohmpi_file, "s.csv",
                "time,A,B,M,N,Vmn [mV],I [mA],R [ohm],R_std [ohm],cmd_id\n"
                "t1,20,23,21,22,-522.27,50.539,-10.334,-0.0669,a\r\n"
                "t2,17,20,18,19,nan,0.1219,0.0,nan,\r\n"
                "t3,17,20,18,19,10.5,1.0\r\n"  // short: truncated
                "\r\n"
                "t4,1,4,2,3,104.33,10.4276,10.0052,0.1946,c\r\n"
                "t5,1,4,2,3,104.33,10.4276,10.0052,0.19");  // cut within R_std
                                                            // by the file's end
  expect_readings(survey, {{2, {20, 23, 21, 22}, -10.334, -0.52227, 0.050539, none, none, 0.0669},
                           {3, {17, 20, 18, 19}, 0, none, 0.1219e-3},
                           {6, {1, 4, 2, 3}, 10.0052, 0.10433, 0.0104276, none, none, 0.1946}});
  EXPECT_TRUE(has_note(survey, "R_std [ohm] taken by its magnitude as the standard deviation"));
  EXPECT_TRUE(has_note(survey, "1 readings with values the instrument did not record"));
  EXPECT_TRUE(has_note(survey, "2 truncated readings"));
  EXPECT_TRUE(has_note(survey, "the first on line 4"));
  EXPECT_TRUE(has_note(survey, "measured from t1 to t4"));

  // A last line the file's end cuts within R: dropped; the same line ended: read.
  const std::string cut = "A,B,M,N,R [ohm]\n1,2,3,4,5\n1,2,3,4,5.2";
  EXPECT_EQ(read_text(read_ohmpi_file, "cut.csv", cut).readings.size(), 1u);
  EXPECT_EQ(read_text(read_ohmpi_file, "ended.csv", cut + "\n").readings.size(), 2u);
}

TEST(OhmpiFormat, RefusalsNameTheLine) {
  expect_refusals(
      read_ohmpi_file, "survey.csv",
      {{{"", ": the file holds no header line"}},
       {{"time,A,B,M,R [ohm]\n",
         ":1: the header names no column N (the number of an electrode, without a unit)"}},
       {{"A,B,M,N,Vmn [mV]\n", ":1: the header names neither R [ohm] nor Vmn [mV] and I [mA]"}},
       {{"A,B,M,N,Vmn [counts],I [mA]\n",
         ":1: the unit of the column 'Vmn [counts]' is not one quelby reads"}},
       {{"A,B,M,N,R [ohm]\n1,2,3,4,5\n1,2,x,4,5\n",
         ":3: the 'M' field 'x' is not an electrode number (a whole number from 1)"}},
       {{"A,B,M,N,R [ohm]\n1,2,3,4.5,5\n",
         ":2: the 'N' field '4.5' is not an electrode number (a whole number from 1)"}},
       {{"A,B,M,N,R [ohm],x\n\n1,2,3,4,5Q,1\n", ":3: the 'R [ohm]' field '5Q' is not a number"}}});
}

// Files of the other formats quelby reads, and of these two.
TEST(PrimeOhmpiSignatures, EachClaimsItsOwnFilesOnly) {
  const struct {
    const char* name;
    std::string content;
    bool prime, ohmpi;
  } cases[] = {
      {"unified", "4 # electrodes\n# x z\n0 0\n1 0\n2 0\n3 0\n1\n# a b m n r\n1 2 3 4 0.5\n", false,
       false},
      {"dat2d index", "Wenner\n1.0\n1\n2\n1\n0\n1.5 1.0 9.80\n3 2 10.5\n0\n", false, false},
      {"dat2d general with tabs",
       "Data/(3407)_2017-11-16_1415\n0.600\n11\n0\n"
       "Type of measurement (0=app. resistivity,1=resistance)\n1\n1\n2\n0\n"
       "4\t0.000\t0.00\t0.600\t0.00\t1.200\t0.00\t1.800\t0.00\t3.29\n0\n",
       false, false},
      {"syscal text",
       "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\tDev.\tM\tSp\tVp\tIn\n"
       "\t0\t1\t3\t4\t131.5\t0.3\t0.8\t64.4\t-429\t245\n",
       false, false},
      {"syscal csv",
       "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m),Dev. Rho (%),M (mV/V),VMN (mV),"
       "IAB (mA)\nDipole-Dipole,0,1,3,4,131.56,0.3,0.80,-429.046,245.897\n",
       false, false},
      {"terrameter",
       "ID\tA(x)\tA(y)\tB(x)\tB(y)\tM(x)\tM(y)\tN(x)\tN(y)\tI(mA)\tU(V)\tR(Ohm)\n"
       "1\t0\t0\t5\t0\t10\t0\t15\t0\t200\t-0.35\t-1.75\n",
       false, false},
      {"protocol", "2\n1 1 2 3 4 -10.38 0.05\n2 2 3 4 5 -10.57\n", false, false},
      {"prime", prime_file(prime_units, prime_rows), true, false},
      {"prime without its banner", prime_columns + prime_rows, true, false},
      {"ohmpi",
       ohmpi_versions[0][0] +
           "2025-08-25,1,4,2,3,500,2834,0.6,1.68,5.2,1688,5.1,23,36,2,40,safe,\n",
       false, true},
      {"ohmpi earliest", "A,B,M,N,R [ohm],cmd_id\n[1],[2],[3],[4],[0.139],001\n", false, true},
      {"empty", "", false, false},
      {"binary", std::string("\0\xff\x01,\r\n\x07", 7), false, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSource source = field_source_from_text(test.name, test.content);
    EXPECT_EQ(prime_mismatch(source).empty(), test.prime) << prime_mismatch(source);
    EXPECT_EQ(ohmpi_mismatch(source).empty(), test.ohmpi) << ohmpi_mismatch(source);
  }
}

}  // namespace
}  // namespace quelby
