// The DAS-1 and Electra readers on files written here in their layouts, value by value: positions,
// electrode numbers, values in SI units, the chargeability and its unit, invalid readings, rows cut
// short; refused files with the file and line they name; and the two format signatures against the
// other formats quelby reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/das1_format.hpp"
#include "quelby/fielddata/electra_format.hpp"
#include "quelby/fielddata/field_source.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr double none = not_given;
constexpr double absent = -1e300;  // the x of an electrode a reading does not use

struct Expected {
  std::array<double, 4> x{};
  std::array<double, 4> elevation = {none, none, none, none};
  std::array<int, 4> number = {0, 0, 0, 0};
  double resistance = none, std = none, relative = none, apparent = none, current = none,
         voltage = none, factor = none, chargeability = none, chargeability_std = none;
  bool valid = true;
};

// A reading's electrodes: the x (`absent` for a missing one), elevation and number of A, B, M, N.
Expected at(const std::array<double, 4>& x, const std::array<double, 4>& elevation,
            const std::array<int, 4>& number, bool valid = true) {
  Expected expected;
  expected.x = x, expected.elevation = elevation, expected.number = number;
  expected.valid = valid;
  return expected;
}

void expect_value(double expected, double found, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(found)) << what << " should be absent, is " << found;
  } else {
    EXPECT_NEAR(found, expected, 1e-6 * std::max(1e-12, std::abs(expected))) << what;
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
      if (e.x[role] == absent) continue;
      EXPECT_NEAR(r.electrodes[role].x, e.x[role], 1e-12) << electrode;
      expect_value(e.elevation[role], r.electrodes[role].elevation, electrode + " elevation");
      EXPECT_EQ(r.electrodes[role].number, e.number[role]) << electrode;
    }
    expect_value(e.resistance, r.resistance, at + " resistance");
    expect_value(e.std, r.std, at + " std");
    expect_value(e.relative, r.relative_error, at + " relative error");
    expect_value(e.apparent, r.apparent_resistivity, at + " apparent resistivity");
    expect_value(e.current, r.current, at + " current");
    expect_value(e.voltage, r.voltage, at + " voltage");
    expect_value(e.factor, r.geometric_factor, at + " geometric factor");
    expect_value(e.chargeability, r.chargeability, at + " chargeability");
    expect_value(e.chargeability_std, r.chargeability_std, at + " chargeability std");
    EXPECT_EQ(r.valid, e.valid) << at;
  }
}

// The 1-based line of `text` that holds `marker`.
std::size_t line_of(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(marker);
  EXPECT_NE(at, std::string::npos) << marker;
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + at, '\n'));
}

bool has_note(const FieldSurvey& survey, const std::string& part) {
  for (const std::string& note : survey.notes) {
    if (note.find(part) != std::string::npos) return true;
  }
  return false;
}

// A DAS-1 export as the instrument writes it: its settings, the electrode list, the column tags
// after it, then one data block.
std::string das1_text(const std::string& settings, const std::string& electrodes,
                      const std::string& tags, const std::string& units, const std::string& rows,
                      const std::string& end = "#data_end\nRun Complete\n") {
  return "! Data File written by ERTLab DACQ \n#IVersion     \t 11.5.12\n" + settings +
         "#elec_start\n!Cbl# El# Elec-X  Elec-Y  Elec-Z  Terrn-Z  Type  El.Num\n" + electrodes +
         "#elec_end\n!ERTLab Header Info\n" + tags + "!End ERTLab Header Info\n\n#data_start\n" +
         "! ID      A      B      M      N      Appres      V/I,      Std.\n" + units + "\n" +
         rows + end;
}

const std::string line_electrodes =
    "001,01 +.00000 +.00000 +100.00 +100.00 001\n"
    "001,02 +1.5000 +.00000 +100.50 +100.50 002\n"
    "001,03 +3.0000 +.00000 +101.00 +101.00 003\n"
    "001,04 +4.5000 +.00000 +101.25 +101.25 004\n"
    "001,05 +6.0000 +.00000 +101.50 +101.50 005\n";
const std::string electrode_tags =
    "#elec_no_cable= 1\n#elec_cable_col= 1\n#elec_id_col= 2\n#elec_x_col= 3\n#elec_y_col= 4\n"
    "#elec_z_col= 5\n";
const std::string label_tags =
    "#data_id_col= 1\n#data_a_cable_col= 2\n#data_a_elec_col= 3\n#data_b_cable_col= 4\n"
    "#data_b_elec_col= 5\n#data_m_cable_col= 6\n#data_m_elec_col= 7\n#data_n_cable_col= 8\n"
    "#data_n_elec_col= 9\n";
// The DC export with an Appres column before V/I.
const std::string dc_tags = electrode_tags + "#elec_elev_col= -1\n#elec_type_col= -1\n" +
                            label_tags +
                            "#data_res_col= 011\n#data_ip_wind_col= -001\n#data_std_res_col= 012\n"
                            "#data_appres= 1\n#data_ip_scale= 1000\n#data_i_curr_col= 015\n";
const std::string dc_units =
    "! num   Ca El  Ca El  Ca El  Ca El   (Ohm-m)     (Ohms)    (Ohms)   (Volts)   (Volts)    "
    "(ma)        (Ohms)";
const std::string dc_first =
    "000001 001,01 001,04 001,02 001,03 +28.27433 +3.000000 +.0150000 +1.500000 +.0005000 "
    "+500.0000 +2000.00 20240102_101500 CH 01 GN 1   192\n";

TEST(Das1Format, ReadsTheDcTheChargeabilityAndTheOhmWindowLayouts) {
  // DC: Appres before V/I, the instrument's message in a row, a decimal comma.
  std::vector<Expected> dc(3);
  dc[0] = at({0, 4.5, 1.5, 3}, {100, 101.25, 100.5, 101}, {1, 4, 2, 3});
  dc[0].resistance = 3, dc[0].std = 0.015, dc[0].apparent = 28.27433, dc[0].current = 0.5;
  dc[1] = at({1.5, 6, 3, 4.5}, {100.5, 101.5, 101, 101.25}, {2, 5, 3, 4}, false);
  dc[2] = at({6, 1.5, 4.5, 3}, {101.5, 100.5, 101.25, 101}, {5, 2, 4, 3});
  dc[2].resistance = -1.326291, dc[2].std = 0, dc[2].apparent = -12.5, dc[2].current = 0.25;
  // Windows of 10, 20 and 30 ms in mV/V, flagged as chargeabilities.
  const std::string mvv_tags =
      electrode_tags + label_tags +
      "#data_res_col= 10\n#data_std_res_col= 11\n#data_amp_col= 12\n#data_ip_wind_col= 14\n"
      "#data_std_ip_col= 15\n#data_ip_wind_num= 3\n#data_ip_win2_col= 016\n"
      "#data_std_ip2_col= 017\n#data_ip_win3_col= 018\n#data_std_ip3_col= 019\n"
      "#data_i_curr_col= 20\n";
  std::vector<Expected> mvv(2);
  mvv[0] = at({1.5, 0, 3, 4.5}, {100.5, 100, 101, 101.25}, {2, 1, 3, 4});
  mvv[0].resistance = 2.5, mvv[0].std = 0.005, mvv[0].current = 0.2, mvv[0].voltage = 0.5;
  mvv[0].chargeability = (10 * 12 + 20 * 9 + 30 * 6) / 60.0;
  mvv[0].chargeability_std = (10 * 0.1 + 20 * 0.2 + 30 * 0.3) / 60;
  mvv[1] = at({3, 1.5, 4.5, 6}, {101, 100.5, 101.25, 101.5}, {3, 2, 4, 5});
  mvv[1].resistance = 1, mvv[1].std = 0.002, mvv[1].current = 0.25, mvv[1].voltage = 0.25;
  mvv[1].chargeability = -1, mvv[1].chargeability_std = 0.02;
  // Two windows in ohms, 10 and 30 ms; three cables; a remote and two buried electrodes.
  const std::string ohm_tags =
      electrode_tags + "#elec_elev_col= 6\n#elec_type_col= 7\n" + label_tags +
      "#data_res_col= 10\n#data_std_res_col= 11\n#data_amp_col= 12\n#data_ip_wind_col= 14\n"
      "#data_std_ip_col= 15\n#data_ip_wind_num= 2\n#data_ip_win2_col= 016\n"
      "#data_std_ip2_col= 017\n#data_i_curr_col= 18\n";
  const std::string ohm_electrodes =
      "001,01 +.00000 +.00000 +50.000 +50.000 +2 001\n"
      "001,02 +2.0000 +.00000 +50.000 +50.000 +2 002\n"
      "002,01 +4.0000 +.00000 +45.000 +50.000 +1 003\n"
      "002,02 +6.0000 +.00000 +44.000 +50.000 +1 004\n"
      "003,01 +1000.0 +.00000 +50.000 +50.000 -2 005\n";
  std::vector<Expected> ohm(2);
  ohm[0] = at({0, absent, 4, 6}, {50, none, 45, 44}, {0, 0, 0, 0});
  ohm[0].resistance = 200, ohm[0].relative = 0.008, ohm[0].current = 0.01, ohm[0].voltage = 2;
  ohm[0].chargeability = 1000 * (0.25 * 2 + 0.75 * 1) / 200;
  ohm[0].chargeability_std = 1000 * (0.25 * 0.04 + 0.75 * 0.08) / 200;
  ohm[1] = at({2, 0, 6, 4}, {50, 50, 44, 45}, {0, 0, 0, 0});
  ohm[1].resistance = -50, ohm[1].relative = 0.012, ohm[1].current = 0.01;
  ohm[1].voltage = -0.5, ohm[1].chargeability = 12.5, ohm[1].chargeability_std = 0.25;
  const struct {
    const char* name;
    std::string text;
    ChargeabilityUnit unit;
    std::vector<Expected> expected;
  } cases[] = {
      {"DC, Appres, an instrument message, a decimal comma",
       das1_text("#TIPDly 2\n", line_electrodes, dc_tags, dc_units,
                 dc_first +
                     "000002 001,02 001,05 001,03 001,04\t * * TX Resist. out of range * * \n"
                     "000003 001,05 001,02 001,04 001,03 -1,25E+1 -1.326291 +.0000000 -.3315728 "
                     "+.0000000 +250.0000 +2000.00 20240102_101507 CH 01 GN 1   190\n"),
       ChargeabilityUnit::none, dc},
      {"IP windows in mV/V, weighted by their widths",
       das1_text("#TIPDly 20\n#TChrg  !Display IP Values as Chargebility\n#TW01 10.000\n"
                 "#TW02 20.000\n#TW03 30.000\n",
                 line_electrodes, mvv_tags,
                 "! num Ca El Ca El Ca El Ca El (Ohms) (Ohms) (Volts) (Volts) (mV/V) (mV/V) (mV/V) "
                 "(mV/V) (mV/V) (mV/V) (ma) (Ohms)",
                 "000001 001,02 001,01 001,03 001,04 +2.5000000 +.0050000 +.5000000 +.0010000 "
                 "+12.00000 +.1000000 +9.000000 +.2000000 +6.000000 +.3000000 +200.0000 +5000.000 "
                 "20240102_101510 CH 01 GN 2 125\n"
                 "000002 001,03 001,02 001,04 001,05 +1.0000000 +.0020000 +.2500000 +.0005000 "
                 "-3.000000 +.0600000 -1.500000 +.0300000 +0.000000 +.0000000 +250.0000 +5000.000 "
                 "20240102_101514 CH 02 GN 2 125\n"),
       ChargeabilityUnit::millivolt_per_volt, mvv},
      {"IP windows in ohms over V/I, the error in %, cables, remote and buried electrodes",
       das1_text("#TIPDly 10\n#TW01 10.000\n#TW02 30.000\n", ohm_electrodes, ohm_tags,
                 "! num Ca El Ca El Ca El Ca El (Ohms) (%) (Volts) (Volts) (Ohms) (Ohms) (Ohms) "
                 "(Ohms) (ma) (Ohms)",
                 "000001 001,01 003,01 002,01 002,02 +200.00000 +.8000000 +2.000000 +.0010000 "
                 "+2.000000 +.0400000 +1.000000 +.0800000 +10.00000 +3000.0 x CH 01 GN 1 231\n"
                 "000002 001,02 001,01 002,02 002,01 -50.000000 +1.200000 -.5000000 +.0010000 "
                 "-1.000000 +.0200000 -.5000000 +.0100000 +10.00000 +3000.0 x CH 01 GN 1 231\n"),
       ChargeabilityUnit::millivolt_per_volt, ohm},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    TempFolder folder;
    Transcript transcript;
    const FieldSurvey survey = read_das1_file(
        transcript.io(), read_field_source(transcript.io(), folder.write("line.data", test.text)));
    EXPECT_EQ(survey.format, FieldFormat::das1);
    EXPECT_EQ(survey.chargeability_unit, test.unit);
    EXPECT_TRUE(survey.chargeability_unit_stated);
    expect_readings(survey, test.expected);
    EXPECT_EQ(survey.readings[1].line, line_of(test.text, "000002"));
  }
  // The message row and the zero error; the buried electrodes and the ground above them.
  Transcript transcript;
  const FieldSurvey read_dc =
      read_das1_file(transcript.io(), field_source_from_text("dc.data", cases[0].text));
  EXPECT_TRUE(has_note(read_dc, "'* * TX Resist. out of range * *', lines " +
                                    std::to_string(line_of(cases[0].text, "000002")) +
                                    "): 1 reading kept, marked invalid"));
  EXPECT_TRUE(has_note(read_dc, "a V/I error of 0 (one stack, or none measured): 1"));
  const FieldSurvey read_ohm =
      read_das1_file(transcript.io(), field_source_from_text("ohm.data", cases[2].text));
  EXPECT_TRUE(read_ohm.readings[0].electrodes[2].buried);
  EXPECT_FALSE(read_ohm.readings[0].electrodes[0].buried);
  EXPECT_EQ(read_ohm.topography, (std::vector<std::array<double, 2>>{{4, 50}, {6, 50}}));
}

TEST(Das1Format, DropsAndCountsRowsCutShort) {
  const std::string second =
      "000002 001,02 001,05 001,03 001,04 +28.27433 +3.000000 +.0150000 +1.500000 +.0005000 "
      "+500.00";
  const std::string third = "000003" + dc_first.substr(6);
  const struct {
    const char* name;
    std::string rows, end;
    std::size_t readings;
    bool dropped, open;
  } cases[] = {
      {"a short row inside the block", dc_first + second.substr(0, 60) + "\n" + third,
       "#data_end\nRun Complete\n", 2, true, false},
      {"the file ends inside a value", dc_first + second.substr(0, 60), "", 1, true, true},
      {"the file ends after the last value read, without a line end", dc_first + second, "", 1,
       true, true},
      {"the file ends after a whole row", dc_first + second + "0 +2000.00 x CH 01 GN 1 192\n", "",
       2, false, true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string text = das1_text("", line_electrodes, dc_tags, dc_units, test.rows, test.end);
    Transcript transcript;
    const FieldSurvey survey =
        read_das1_file(transcript.io(), field_source_from_text("cut.data", text));
    EXPECT_EQ(survey.readings.size(), test.readings);
    EXPECT_EQ(
        has_note(survey, "1 row dropped (lines " + std::to_string(line_of(text, "000002")) + ")"),
        test.dropped);
    EXPECT_EQ(has_note(survey, "has no #data_end: the file is cut short"), test.open);
  }
}

TEST(Das1Format, RefusalsNameTheFileAndTheLine) {
  const std::string good = das1_text("", line_electrodes, dc_tags, dc_units, dc_first);
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text, marker, what;
  } cases[] = {
      {replaced("001,04 001,02", "001,09 001,02"), "001,09",
       "electrode 1,9 (B) is not in the electrode list"},
      {replaced("+3.000000", "+3.0x0"), "+3.0x0",
       "the V/I field '+3.0x0' (column 11) is not a number"},
      {replaced("000001 ", "hello world\n000001 "), "hello",
       "expected a reading (its number, then A, B, M and N as cable,electrode), found 'hello "
       "world'"},
      {replaced("#elec_end\n", ""), "#elec_no_cable",
       "expected a row or #elec_end (the section starts on line " +
           std::to_string(line_of(good, "#elec_start")) + "), found '#elec_no_cable= 1'"},
      {replaced("001,03 +3.0000", "001,02 +3.0000"), "001,02 +3.0000",
       "electrode 1,2 is listed twice"},
      {replaced("001,03 +3.0000", "001,03 +3.0x00"), "+3.0x00",
       "the position '+3.0x00' (column 3) is not a number"},
      {replaced("#data_res_col= 011", "#data_res_col= eleven"), "eleven",
       "the tag #data_res_col= 'eleven' is no column number"},
      {replaced("#data_i_curr_col= 015", "#data_i_curr_col= 150"), "000001",
       "no row of the data block has the 150 fields its column tags need (the longest has 22)"},
      {good.substr(0, good.find("#data_start")), "",
       "the file has no data block (#data_start ... #data_end)"},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("line.data", test.text);
    Transcript transcript;
    try {
      read_das1_file(transcript.io(), read_field_source(transcript.io(), file));
      ADD_FAILURE() << "read: " << test.what;
    } catch (const Stop& stop) {
      const std::string line =
          test.marker.empty() ? "" : ":" + std::to_string(line_of(test.text, test.marker));
      EXPECT_EQ(stop.detail(), file + line + ": " + test.what);
      EXPECT_EQ(transcript.console().rfind("\nError reading the field data file " + file, 0), 0u);
    }
  }
}

TEST(Das1Format, DcOnlyWindowsAndAFileWithoutElectrodeList) {
  const std::string tags = electrode_tags + label_tags +
                           "#data_res_col= 10\n#data_ip_wind_col= 11\n#data_i_curr_col= 12\n";
  const std::string units = "! num Ca El Ca El Ca El Ca El (Ohms) (mV/V) (ma)";
  const std::string rows =
      "000001 001,01 001,04 001,02 001,03 +3.0 +0.0 +100.0\n"
      "000002 001,02 001,05 001,03 001,04 +2.0 +.00 +100.0\n";
  Transcript transcript;
  const FieldSurvey dc = read_das1_file(
      transcript.io(),
      field_source_from_text("dc.data", das1_text("", line_electrodes, tags, units, rows)));
  EXPECT_EQ(dc.chargeability_unit, ChargeabilityUnit::none);
  EXPECT_TRUE(std::isnan(dc.readings[1].chargeability));
  EXPECT_TRUE(has_note(dc, "every IP window is 0: a DC-only export"));

  std::string listless = das1_text("", "", tags, units, rows);
  listless.erase(listless.find("#elec_start"),
                 listless.find("!ERTLab") - listless.find("#elec_start"));
  const FieldSurvey numbered =
      read_das1_file(transcript.io(), field_source_from_text("numbers.data", listless));
  std::vector<Expected> placeholders = {at({0, 3, 1, 2}, {none, none, none, none}, {1, 4, 2, 3}),
                                        at({1, 4, 2, 3}, {none, none, none, none}, {2, 5, 3, 4})};
  placeholders[0].resistance = 3, placeholders[0].current = 0.1;
  placeholders[1].resistance = 2, placeholders[1].current = 0.1;
  expect_readings(numbered, placeholders);
  EXPECT_TRUE(has_note(numbered, "(--electrodes FILE)"));
}

// The Electra layout with a Status column, a remote electrode and a line after the table.
const std::string electra_new =
    "Default\r\n#Created by Electra Manager ver.4.0.0 (6) - MoHo s.r.l. -\r\n#Original file\r\n"
    "line (WEN.) wen -1-.electra\r\n#Configuration name\r\nWenner (alpha)\r\n"
    "#Frequency value [Hz]\r\n8\r\n#Current value [mA]\r\n50.0\r\n#Total electrodes\r\n6\r\n"
    "#Total enabled electrodes\r\n6\r\n#Coordinate reference\r\nrelative\r\n#X\tY\tZ\r\n"
    "0.00\t0.00\t10.00\r\n2.00\t0.00\t10.50\r\n4.00\t0.00\t11.00\r\n6.00\t0.00\t11.50\r\n"
    "8.00\t0.00\t12.00\r\n10.00\t0.00\t12.50\r\n#Total remote electrode\r\n1\r\n"
    "#Remote coordinate reference\r\nrelative\r\n#Xr\tYr\tZr\r\n500.00\t0.00\t0.00\r\n"
    "#Total expected\r\n4\r\n"
    "#Meas.\tStatus\tA\tB\tM\tN\tGND\tI(AB)\tV(AB)\tV(MN)\ta-Spacing\tn-Factor\tK/(2pi)\tRhoa\t"
    "Z(AB)\r\n"
    "#[#]\t[E/D/N]\t[#]\t[#]\t[#]\t[#]\t[#]\t[mApp]\t[Vpp]\t[mVpp]\t-\t-\t-\t[ohm m]\t[ohm]\r\n"
    "1\tE\t1\t4\t2\t3\t3\t50.10\t80.00\t300.00\t2.00\t1.00\t2.00\t75.23\t1600.00\r\n"
    "2\tD\t2\t5\t3\t4\t4\t49.50\t240.00\t250.00\t2.00\t1.00\t2.00\t63.47\t4850.00\r\n"
    "3\tN\t3\t6\t4\t5\t5\t-\t-\t-\t2.00\t1.00\t2.00\t-\t-\r\n"
    "4\tE\t1\t7\t2\t3\t3\t48.00\t61.00\t480.00\t1.00\t1.00\t1.00\t62.83\t1250.00\r\n"
    "#[#]\t[e/d]\t[#]\t[#]\t[#]\t[#]\t[#]\t[mApp]\t[Vpp]\t[mVpp]\t-\t-\t-\t[ohm m]\t[ohm]\t-\r\n";

// The older layout, with the recorded waveform after the values.
const std::string electra_old =
    "# Original file\n04 Wenner line.electra\n# Total enabled electrodes\n5\n# X\tY\tZ\t\n"
    "0.000\t0.000\t0.000\t\n0.500\t0.000\t0.000\t\n1.000\t0.000\t0.000\t\n1.500\t0.000\t0.000\t\n"
    "2.000\t0.000\t0.000\t\n# Total samples time on\n3\n# Name signal\nV(M-N)\t\n"
    "# Total enabled measurements\n2\n"
    "# Meas.\tA\tB\tM\tN\tI(AB)\tV(AB)\tV(MN)\tK/(2pi)\trhoa\tZ(AB)\tStartOn\tVMN000\tVMN001\t"
    "VMN002\t\n"
    "# [#]\t[#]\t[#]\t[#]\t[#]\t[mApp]\t[Vpp]\t[mVpp]\t-\t[ohm m]\t[ohm]\t[byte]\t"
    "[mV]\t[mV]\t[mV]\t\n"
    "1\t1\t4\t2\t3\t50.00\t40.00\t700.0\t0.500\t43.98\t800.0\t70000\t20.00\t21.00\t22.0\n"
    "2\t2\t5\t3\t4\t50.20\t41.00\t950.0\t0.500\t59.46\t820.0\t90000\t-70.00\t-69.00\t-71.0\n";

TEST(ElectraFormat, ReadsBothLayoutsValueByValue) {
  constexpr double two_pi = 2 * std::numbers::pi;
  std::vector<Expected> status(4);
  status[0] = at({0, 6, 2, 4}, {10, 11.5, 10.5, 11}, {1, 4, 2, 3});
  status[0].apparent = 75.23, status[0].current = 0.0501, status[0].voltage = 0.3;
  status[1] = at({2, 8, 4, 6}, {10.5, 12, 11, 11.5}, {2, 5, 3, 4}, false);
  status[1].apparent = 63.47, status[1].current = 0.0495, status[1].voltage = 0.25;
  status[2] = at({4, 10, 6, 8}, {11, 12.5, 11.5, 12}, {3, 6, 4, 5}, false);
  status[3] = at({0, absent, 2, 4}, {10, none, 10.5, 11}, {1, 0, 2, 3});
  status[3].apparent = 62.83, status[3].current = 0.048, status[3].voltage = 0.48;
  status[0].factor = status[1].factor = status[2].factor = two_pi * 2, status[3].factor = two_pi;
  std::vector<Expected> waveform(2);
  waveform[0] = at({0, 1.5, 0.5, 1}, {0, 0, 0, 0}, {1, 4, 2, 3});
  waveform[0].apparent = 43.98, waveform[0].current = 0.05, waveform[0].voltage = 0.7;
  waveform[1] = at({0.5, 2, 1, 1.5}, {0, 0, 0, 0}, {2, 5, 3, 4});
  waveform[1].apparent = 59.46, waveform[1].current = 0.0502, waveform[1].voltage = 0.95;
  waveform[0].factor = waveform[1].factor = two_pi * 0.5;
  const struct {
    const char* name;
    std::string text;
    std::vector<Expected> expected;
  } cases[] = {{"with Status, GND and a remote electrode", electra_new, status},
               {"older, with the waveform", electra_old, waveform}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey =
        read_electra_file(transcript.io(), field_source_from_text("line.ele", test.text));
    EXPECT_EQ(survey.format, FieldFormat::electra);
    EXPECT_EQ(survey.chargeability_unit, ChargeabilityUnit::none);
    expect_readings(survey, test.expected);
    EXPECT_EQ(survey.readings[1].line, line_of(test.text, "\n2\t") + 1);
    EXPECT_TRUE(has_note(survey, "(peak to peak)"));
  }
  Transcript transcript;
  const FieldSurvey survey =
      read_electra_file(transcript.io(), field_source_from_text("line.ele", electra_new));
  EXPECT_TRUE(has_note(survey, "1 disabled (D), 1 not done (N): kept, marked invalid"));
  EXPECT_TRUE(has_note(survey, "(from line " + std::to_string(line_of(electra_new, "[e/d]")) +
                                   ", a \"#\" line): 1 line not read"));
}

TEST(ElectraFormat, DropsRowsCutShortAndRefusalsNameTheLine) {
  Transcript transcript;
  const std::string cut = electra_old + "3\t3\t6\t4\t5\t49.2";
  const FieldSurvey survey =
      read_electra_file(transcript.io(), field_source_from_text("cut.ele", cut));
  EXPECT_EQ(survey.readings.size(), 2u);
  EXPECT_TRUE(
      has_note(survey, "1 row dropped (lines " + std::to_string(line_of(cut, "3\t3\t6")) + ")"));
  EXPECT_TRUE(has_note(survey, "the titles announce 2 measurements, the table has 3 rows"));

  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    std::string text, marker, what;
  } cases[] = {
      {replaced(electra_new, "1\tE\t1\t4\t2", "1\tE\t1\t4\t9"), "1\tE\t1\t4\t9",
       "electrode 9 (M) is not one of the 6 electrodes"},
      {replaced(electra_new, "2\tD", "2\tX"), "2\tX",
       "the status 'X' is none of E (enabled), D (disabled) and N (not done)"},
      {replaced(electra_new, "[#]\t[mApp]", "[#]\t[kA]"), "[kA]",
       "the column 'I(AB)' has the unit '[kA]', which quelby does not know"},
      {replaced(electra_old, "50.20", "5x.20"), "5x.20", "the I(AB) field '5x.20' is not a number"},
      {replaced(electra_new, "#Total electrodes\r\n6\r\n#Total enabled electrodes\r\n6",
                "#Total electrodes\r\n7\r\n#Total enabled electrodes\r\n7"),
       "#X", "the list holds 6 electrode positions, the titles announce 7"},
      {electra_new.substr(0, electra_new.find("#Meas.")), "",
       "the file has no table of measurements (a \"#Meas. A B M N ...\" header)"},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("line.ele", test.text);
    try {
      read_electra_file(transcript.io(), read_field_source(transcript.io(), file));
      ADD_FAILURE() << "read: " << test.what;
    } catch (const Stop& stop) {
      const std::string line =
          test.marker.empty() ? "" : ":" + std::to_string(line_of(test.text, test.marker));
      EXPECT_EQ(stop.detail(), file + line + ": " + test.what);
    }
  }
}

// Each signature claims its own files and none of the other formats quelby reads.
TEST(FieldFormatSignatures, DasOneAndElectraClaimOnlyTheirOwnFiles) {
  const struct {
    const char* name;
    std::string text;
    bool das1, electra;
  } cases[] = {
      {"DAS-1", das1_text("", line_electrodes, dc_tags, dc_units, dc_first), true, false},
      {"Electra", electra_new, false, true},
      {"Electra, older", electra_old, false, true},
      {"unified",
       "4 # Number of electrodes\n# x z\n0 0\n1 0\n2 0\n3 0\n1\n# a b m n rhoa\n"
       "1 2 3 4 231.2\n",
       false, false},
      {"unified with tokens",
       "6 # Number of electrodes\n# x y z\n0 0 100.5\n2 0 101\n4 0 101.5\n"
       "6 0 101\n8 0 100\n10 0 99\n1 # number of data\n"
       "# a b m n u/mV i/mA err/% ip/mV/V valid k\n"
       "1 2 3 4 -12.5 250 2.5 8.25 1 -37.699\n",
       false, false},
      {"2-D .dat, index array", "Wenner\n1.0\n1\n2\n1\n0\n1.5 1.0 9.80\n3 2 10.5\n0\n", false,
       false},
      {"2-D .dat, general array",
       "General array\n 1.0\n 11\n0\nType of measurement (0=app. "
       "resistivity,1=resistance)\n 1\n1\n2\n0\n"
       "4 0 0 1 0 2 0 3 0 -1.25\n0\n",
       false, false},
      {"Syscal text",
       "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\tDev.\tM\tSp\tVp\tIn\n"
       "\t0.00\t1.00\t3.00\t4.00\t131.56\t0.3\t0.80\t64.4\t-429.046\t245.897\n",
       false, false},
      {"Syscal CSV",
       "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m),Dev. Rho (%),M (mV/V)\n"
       "Dipole-Dipole,0,1,3,4,131.56,0.3,0.80\n",
       false, false},
      {"Terrameter",
       "ID\tA(x)\tA(y)\tA(z)\tB(x)\tB(y)\tB(z)\tM(x)\tM(y)\tM(z)\tN(x)\tN(y)\tN(z)\t"
       "I(mA)\tU(V)\tR(Ohm)\n1\t0\t0\t0\t5\t0\t0\t10\t0\t0\t15\t0\t0\t200\t-0.35\t-1.7\n",
       false, false},
      {"protocol", "3\n1 1 2 3 4 -10.38 0.05\n2 2 3 4 5 -10.57\n3 1 4 2 3\n", false, false},
      {"empty", "", false, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSource source = field_source_from_text("file", test.text);
    EXPECT_EQ(das1_mismatch(source).empty(), test.das1) << das1_mismatch(source);
    EXPECT_EQ(electra_mismatch(source).empty(), test.electra) << electra_mismatch(source);
  }
}

}  // namespace
}  // namespace quelby
