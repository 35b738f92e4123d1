// The Lippmann .tx0 and ARES II .2dm readers on files written here in their layouts: electrodes
// placed from the electrode table or the electrode distance, values in SI units, the IP unit and
// window, the readings the instrument marked, truncated rows dropped and counted, refusals naming
// the file and the line, and the signatures, which claim no file of the other import formats.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quelby/fielddata/ares_format.hpp"
#include "quelby/fielddata/field_source.hpp"
#include "quelby/fielddata/lippmann_format.hpp"
#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

constexpr double none = not_given;
constexpr double remote = -1e300;  // an electrode the reading does not use

struct Expected {
  std::size_t line;
  std::array<double, 4> x;  // A B M N, `remote` for an absent one
  std::array<int, 4> number = {0, 0, 0, 0};
  double current = none, voltage = none, rho = none, deviation = none, ip = none;
  bool valid = true;
  std::array<double, 4> elevation = {none, none, none, none};
  std::array<double, 4> y = {0, 0, 0, 0};
};

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
    const std::string at = "reading " + std::to_string(i + 1);
    EXPECT_EQ(r.line, e.line) << at;
    for (std::size_t role = 0; role < 4; ++role) {
      const FieldElectrode& electrode = r.electrodes[role];
      const std::string name = at + " electrode " + std::string(1, "ABMN"[role]);
      EXPECT_EQ(electrode.present, e.x[role] != remote) << name;
      if (e.x[role] == remote) continue;
      expect_value(e.x[role], electrode.x, name + " x");
      expect_value(e.y[role], electrode.y, name + " y");
      expect_value(e.elevation[role], electrode.elevation, name + " elevation");
      EXPECT_EQ(electrode.number, e.number[role]) << name;
    }
    expect_value(e.current, r.current, at + " current");
    expect_value(e.voltage, r.voltage, at + " voltage");
    expect_value(e.rho, r.apparent_resistivity, at + " apparent resistivity");
    expect_value(e.deviation, r.deviation, at + " deviation");
    expect_value(e.ip, r.chargeability, at + " chargeability");
    EXPECT_TRUE(std::isnan(r.resistance) && std::isnan(r.geometric_factor)) << at;
    EXPECT_EQ(r.valid, e.valid) << at;
  }
}

bool has_note(const FieldSurvey& survey, const std::string& text) {
  for (const std::string& note : survey.notes) {
    if (note.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string number_text(double value, bool commas) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  std::string written = text;
  if (commas) {
    for (char& c : written) c = c == '.' ? ',' : c;
  }
  return written;
}

// The header row and the units row of a .tx0 data block, each unit right-aligned under its name.
std::string tx0_header(const std::vector<std::array<std::string, 2>>& columns, bool units) {
  std::string names = "*", row = "*";
  for (const auto& [name, unit] : columns) {
    const std::size_t width = std::max(name.size(), unit.size()) + 3;
    names += std::string(width - name.size(), ' ') + name;
    row += std::string(width - unit.size(), ' ') + unit;
  }
  return names + "\n" + (units ? row + "\n" : "");
}

const std::string tx0_top =
    "* Data file >line.tx0<  * 1.5.2024\n"
    "* Measuring device * type = LGM 4-Point Light 10W * firmware version = 4.61\n"
    "* Profiling settings ******************************************\n"
    "* Electrode separation (m) =   2.000\n"
    "* Measurement type =   1\n"
    "* Dipole-Dipole * A.B.....N.M *\n"
    "* Electrode positions *****************************************\n";

TEST(LippmannFormat, ReadsTheTableUnitsAndPhaseOfEveryVariant) {
  const struct {
    const char* name;
    const char* current_unit;
    double per_milliampere;  // the file's current per mA
    const char* voltage_unit;
    double per_millivolt;
    bool commas, units, crlf;
    const char* ip_unit;
    ChargeabilityUnit unit;
  } cases[] = {
      {"mA and mV, CR LF", "mA", 1, "mV", 1, false, true, true, "mrad",
       ChargeabilityUnit::milliradians},
      {"decimal commas", "mA", 1, "mV", 1, true, true, false, "mrad",
       ChargeabilityUnit::milliradians},
      {"A and uV, phi in mV/V", "A", 1e-3, "uV", 1e3, false, true, false, "mV/V",
       ChargeabilityUnit::millivolt_per_volt},
      {"no units row", "", 1, "", 1, false, false, false, "", ChargeabilityUnit::milliradians},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const bool commas = test.commas;
    std::string text = tx0_top;
    const double table[5][3] = {
        {0, 0, 100.5}, {2, 0.25, 100.25}, {4, 0, 100}, {6, 0, 99.75}, {8, 0, 99.5}};
    for (int k = 0; k < 5; ++k) {
      text += "* Electrode [  " + std::to_string(k + 1) +
              "] x y z (m) =   " + number_text(table[k][0], commas) + "   " +
              number_text(table[k][1], commas) + "   " + number_text(table[k][2], commas) + "\n";
    }
    text +=
        "* Remote electrode positions **********************************\n"
        "* Measurements ************************************************\n"
        "* Count = 4\n"
        "* Data ********************************************************\n";
    text += tx0_header({{"num", ""},
                        {"A", ""},
                        {"B", ""},
                        {"M", ""},
                        {"N", ""},
                        {"I", test.current_unit},
                        {"U", test.voltage_unit},
                        {"dU", "%"},
                        {"rho", "Ohmm"},
                        {"phi", test.ip_unit},
                        {"f", "Hz"},
                        {"n", "-"},
                        {"Date", "yyyy.mm.dd"},
                        {"Time", "hh:mm:ss.ss"}},
                       test.units);
    const auto row = [&](const std::string& electrodes, double current, double voltage,
                         const std::string& rest) {
      const std::string i =
          std::isnan(current) ? "-" : number_text(current * test.per_milliampere, commas);
      const std::string u =
          std::isnan(voltage) ? "-" : number_text(voltage * test.per_millivolt, commas);
      std::string values = rest;
      if (commas) {
        for (char& c : values) c = c == '.' ? ',' : c;
      }
      return electrodes + "  " + i + "  " + u + "  " + values + "  6 2024.05.01 13:21:21.58\n";
    };
    text += row("    1    1    2    4    3", 15, 16.94576, "0.02  42.589   0.89  2.50");
    text += row("    2    2    -    4    5", 50, -102.02644, "0.03  76.926  -5.11  2.50");
    text += "* 3 : Sender open I=  1.000 mA\n";
    text += row("    4    3    4    5    1", none, none, "0.36  51.311   2.14  2.50");
    text += "    5    1    2    3    4  50.00";  // the file ends within this reading
    if (test.crlf) {
      std::string crlf;
      for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
      text = crlf;
    }
    Transcript transcript;
    const FieldSurvey survey =
        read_lippmann_file(transcript.io(), field_source_from_text("line.tx0", text));
    EXPECT_EQ(survey.format, FieldFormat::lippmann);
    EXPECT_EQ(survey.chargeability_unit, test.unit);
    EXPECT_EQ(survey.chargeability_unit_stated, test.units);
    const std::size_t first = test.units ? 19 : 18;
    std::vector<Expected> expected = {
        {first, {0, 2, 6, 4}, {1, 2, 4, 3}, 0.015, 0.01694576, 42.589, 0.02, 0.89},
        {first + 1, {2, remote, 6, 8}, {2, 0, 4, 5}, 0.05, -0.10202644, 76.926, 0.03, -5.11},
        {first + 3, {4, 6, 8, 0}, {3, 4, 5, 1}, none, none, 51.311, 0.36, 2.14}};
    expected[0].elevation = {100.5, 100.25, 99.75, 100}, expected[0].y = {0, 0.25, 0, 0};
    expected[1].elevation = {100.25, none, 99.75, 99.5}, expected[1].y = {0.25, 0, 0, 0};
    expected[2].elevation = {100, 99.75, 99.5, 100.5};
    expect_readings(survey, expected);
    EXPECT_TRUE(has_note(survey, "instrument: LGM 4-Point Light 10W"));
    EXPECT_TRUE(has_note(survey, "Dipole-Dipole * A.B.....N.M"));
    EXPECT_TRUE(has_note(survey, "1 truncated readings dropped"));
    EXPECT_TRUE(has_note(survey, "1 instrument messages among the readings (first: line " +
                                     std::to_string(first + 2)));
    EXPECT_TRUE(has_note(survey, "1 readings give no current or voltage"));
    EXPECT_EQ(has_note(survey, "decimal commas"), commas);
    EXPECT_EQ(has_note(survey, "the instrument's units taken"), !test.units);
    EXPECT_FALSE(has_note(survey, "states a count"));  // 3 readings and 1 truncated: 4
  }
}

TEST(LippmannFormat, NotesTheBlocksItLeavesAndFilesWithoutIpOrElectrodeTable) {
  const std::string data = "* Data ********\n" + tx0_header({{"num", ""},
                                                             {"A", ""},
                                                             {"B", ""},
                                                             {"M", ""},
                                                             {"N", ""},
                                                             {"I", "mA"},
                                                             {"U", "mV"},
                                                             {"rho", "Ohmm"},
                                                             {"phi", "mrad"}},
                                                            true);
  const std::string table =
      "* Electrode positions ****\n"
      "* Electrode [1] x y z (m) = 0 0 0\n* Electrode [2] x y z (m) = 1 0 0\n"
      "* Electrode [3] x y z (m) = 2 0 0\n* Electrode [4] x y z (m) = 3 0 0\n";
  const struct {
    const char* name;
    std::string text;
    std::array<double, 4> x;
    double ip;
    ChargeabilityUnit unit;
    std::vector<std::string> notes;
  } cases[] = {
      {"left blocks and a count the data do not reach",
       table +
           "* Measurements ****\n* Count = 5\n"
           "* Contact resistances ****\n* # R (kOhm) =\n1   1.843\n2   1.993\n3   1.170\n"
           "* Averaged data ****\n*  #  rho  phi\n*  1  42.6  1.3\n*  2  51.7  -0.9\n" +
           data + "1 1 2 3 4 10 20 30 4.5\n",
       {0, 1, 2, 3},
       4.5,
       ChargeabilityUnit::milliradians,
       {"averaged data (lines 13-16, 2 rows): left",
        "contact resistances (lines 8-12, 3 values): left",
        "states a count of 5 measurements, its data block holds 1", "IP: the phase phi in mrad"}},
      {"a phase of zero throughout",
       table + data + "1 1 2 3 4 10 20 30 0\n2 2 3 4 1 10 20 30 0\n",
       {0, 1, 2, 3},
       none,
       ChargeabilityUnit::none,
       {"zero throughout"}},
      {"no table, the separation stated",
       "* Profiling settings ****\n* Electrode separation (m) =   1,500\n" + data +
           "1 1 2 3 4 10 20 30 2\n",
       {0, 1.5, 3, 4.5},
       2,
       ChargeabilityUnit::milliradians,
       {"electrode k placed at x = (k - 1) * 1.5 m"}},
      {"no table, no separation",
       data + "1 2 3 4 5 10 20 30 2\n",
       {1, 2, 3, 4},
       2,
       ChargeabilityUnit::milliradians,
       {"--electrodes FILE"}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Transcript transcript;
    const FieldSurvey survey =
        read_lippmann_file(transcript.io(), field_source_from_text("f.tx0", test.text));
    ASSERT_FALSE(survey.readings.empty());
    for (std::size_t role = 0; role < 4; ++role) {
      EXPECT_DOUBLE_EQ(survey.readings[0].electrodes[role].x, test.x[role]);
    }
    expect_value(test.ip, survey.readings[0].chargeability, "chargeability");
    EXPECT_EQ(survey.chargeability_unit, test.unit);
    for (const std::string& note : test.notes) EXPECT_TRUE(has_note(survey, note)) << note;
  }
}

TEST(LippmannFormat, RefusalsNameTheFileAndTheLine) {
  const std::string head =
      "* Electrode positions ****\n* Electrode [1] x y z (m) = 0 0 0\n"
      "* Electrode [2] x y z (m) = 1 0 0\n* Electrode [3] x y z (m) = 2 0 0\n"
      "* Electrode [4] x y z (m) = 3 0 0\n* Data ****\n"
      "* num A B M N I U rho\n";
  testing::check_details(
      {
          {"no data block", "* Data file >f<\n* Electrode positions ****\n",
           "f.txt:2: the file ends without a data block (a line '* Data ****')"},
          {"no header row", "* Data ****\n\n",
           "f.txt:2: the file ends in the data block of line 1 before its header row ('* num A B M "
           "N "
           "...')"},
          {"a header row without N", "* Data ****\n* num A B M I U rho\n",
           "f.txt:2: the data header names no column N (electrode numbers)"},
          {"a reading where the header belongs", "* Data ****\n1 1 2 3 4\n",
           "f.txt:2: expected the header row of the data block ('* num A B M N I U ... rho phi')"},
          {"a second data block", head + "* Data ****\n",
           "f.txt:8: a second data block: quelby reads one per file"},
          {"an electrode number that is none", head + "1 1 x 3 4 10 20 30\n",
           "f.txt:8: the electrode number 'x' of B is not a whole number of 1 or more"},
          {"an electrode beyond the table", head + "1 1 2 9 4 10 20 30\n",
           "f.txt:8: electrode 9 (M) is not in the electrode table"},
          {"a value that is no number", head + "1 1 2 3 4 10 20 3O\n",
           "f.txt:8: the rho field '3O' is not a number"},
          {"garbage in the middle of a short row", head + "1 1 2 3 4 1O 20\n",
           "f.txt:8: the I field '1O' is not a number"},
          {"an electrode listed twice",
           "* Electrode positions ****\n* Electrode [1] x y z (m) = 0 0 0\n"
           "* Electrode [1] x y z (m) = 1 0 0\n",
           "f.txt:3: electrode 1 is listed already on line 2"},
          {"a coordinate missing", "* Electrode positions ****\n* Electrode [1] x y z (m) = 0 0\n",
           "f.txt:2: expected 3 coordinates, found 2"},
          {"a current in kA",
           "* Data ****\n" + tx0_header({{"num", ""},
                                         {"A", ""},
                                         {"B", ""},
                                         {"M", ""},
                                         {"N", ""},
                                         {"I", "kA"},
                                         {"U", "mV"},
                                         {"rho", "Ohmm"}},
                                        true),
           "f.txt:3: the unit 'kA' of the column 'I' is not one quelby knows"},
      },
      [](const Io& io, const std::string& path) {
        read_lippmann_file(io, read_field_source(io, path));
      });
}

// An ARES II file: the settings, then the measured data with `header` and `rows` (tab-separated).
std::string ares_text(const std::string& settings, const std::string& header,
                      const std::vector<std::string>& rows) {
  std::string text =
      "Device: ARES II/10 SN:1606146 SW:v1.6d HW:v3.1\r\nMethod: Dip-Dip overlap\r\n" + settings +
      "Measured data:\r\n" + header + "\r\n";
  for (const std::string& row : rows) text += row + "\r\n";
  return text;
}

const std::string ares_columns =
    "C1[el]\tC2[el]\tP1[el]\tP2[el]\tPn\tPn+1\tArray\tUout[V]\tI[mA]\tU[mV]\tEP[mV]\t"
    "AppRes[Ohmm]\tSt-dev[%]";

TEST(AresFormat, ReadsPositionsValuesAndTheIpOfEachUnit) {
  const struct {
    const char* name;
    std::string settings, electrode_unit, ip_unit;
    bool commas;
    ChargeabilityUnit unit;
    double ip, window;
  } cases[] = {
      // Windows of 20, 40 and 60 ms: the mean of 3, 2 and 1 weighted by them is 200 / 120.
      {"% over the header's windows", "Electrode distance: 2 m\r\nIP windows:\t20\t40\t60 ms\r\n",
       "el", "%", false, ChargeabilityUnit::percent, 200.0 / 120, none},
      {"decimal commas", "Electrode distance: 2 m\r\nIP windows:\t20\t40\t60 ms\r\n", "el", "%",
       true, ChargeabilityUnit::percent, 200.0 / 120, none},
      {"mV/V without windows: their plain mean", "Electrode distance: 2 m\r\n", "el", "mV/V", false,
       ChargeabilityUnit::millivolt_per_volt, 2, none},
      {"ms: the windows' integrals summed",
       "Electrode distance: 2 m\r\nIP windows: 0.02 0.04 0.06 s\r\n", "el", "ms", false,
       ChargeabilityUnit::milliseconds, 6, 0.12},
      {"windows without a unit", "Electrode distance: 2 m\r\n", "el", "none", false,
       ChargeabilityUnit::other, 2, none},
      {"no IP, positions in m", "", "m", "", false, ChargeabilityUnit::none, none, none},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    std::string header = ares_columns;
    const std::string unit = "[" + test.electrode_unit + "]";
    for (const char* role : {"C1", "C2", "P1", "P2"}) {
      const std::size_t at = header.find(std::string(role) + "[el]");
      header.replace(at, 6, std::string(role) + unit);
    }
    std::string ip_fields[2];
    if (!test.ip_unit.empty()) {
      for (int k = 1; k <= 3; ++k) {
        const std::string unit = test.ip_unit == "none" ? "" : "[" + test.ip_unit + "]";
        header += "\tIP" + std::to_string(k) + unit + "\tIP" + std::to_string(k) + "-dev";
      }
      ip_fields[0] = "\t3.00\t1.8\t2.00\t7.0\t1.00\t7.5";
      ip_fields[1] = "\t-1.50\t11.1\t-0.50\t12.7\t0.25\t34.9";
    }
    std::vector<std::string> rows = {
        "1\t0\t2\t3\tP1\tP2\tDD\t169.7\t471.407\t2045.713\t435\t40.900\t0.1" + ip_fields[0],
        "4\t2\t6\t8\tP1\tP2\tDD\t169.8\t450.405\t-453.703\t353\t37.975\t2.5" + ip_fields[1]};
    if (test.commas) {
      for (std::string& row : rows) {
        for (char& c : row) c = c == '.' ? ',' : c;
      }
    }
    Transcript transcript;
    const FieldSurvey survey =
        read_ares_file(transcript.io(),
                       field_source_from_text("line.2dm", ares_text(test.settings, header, rows)));
    EXPECT_EQ(survey.format, FieldFormat::ares);
    EXPECT_EQ(survey.chargeability_unit, test.unit);
    EXPECT_EQ(survey.chargeability_unit_stated, test.ip_unit != "none");
    expect_value(test.window, survey.chargeability_window, "window");
    const bool numbered = test.electrode_unit == "el";
    const double a = numbered ? 2 : 1;  // the spacing; in [m] the fields are the positions
    const double second_ip = test.unit == ChargeabilityUnit::none           ? none
                             : test.unit == ChargeabilityUnit::milliseconds ? -1.75
                             : test.unit == ChargeabilityUnit::percent ? (-30.0 - 20 + 15) / 120
                                                                       : -1.75 / 3;
    // The readings follow the device and method lines, the settings, "Measured data:" and the
    // header row.
    std::size_t line = 5;
    for (const char c : test.settings) line += c == '\n' ? 1 : 0;
    std::vector<Expected> expected = {
        {line, {a, 0, 2 * a, 3 * a}, {}, 0.471407, 2.045713, 40.9, 0.1, test.ip},
        {line + 1, {4 * a, 2 * a, 6 * a, 8 * a}, {}, 0.450405, -0.453703, 37.975, 2.5, second_ip}};
    if (numbered) expected[0].number = {2, 1, 3, 4}, expected[1].number = {5, 3, 7, 9};
    expect_readings(survey, expected);
    EXPECT_TRUE(has_note(survey, "header: Method: Dip-Dip overlap"));
    EXPECT_EQ(has_note(survey, "electrode k at x = k * 2 m"), numbered);
    EXPECT_EQ(has_note(survey, "decimal commas"), test.commas);
  }
}

TEST(AresFormat, MarksWhatTheInstrumentFlaggedAndDropsATruncatedRow) {
  const std::string header = ares_columns + "\tIP1[%]\tIP1-dev\tIP2[%]\tIP2-dev";
  const std::string text = ares_text(
      "Connected MC 0+8 electrodes, layed from 0 m, resistances[Ohm] of 8 el. from el.No 0:  276, "
      "300, 352, 270, 268, 386, 308, 369\r\n",
      header,
      {"14*1\t0*1\t35\t49\tP1\tP2\tDD\t381.1\t1859.477\t20.425\t-55\t63.408\t0.3\t"
       "4.0\t1.0\t2.0\t1.0",
       "15\t1\t57\t71\tP1\tP2\tDD\t0.0\t0.000\t0.000\t0\t0.000\t0.0\t0.00\t0.0\t0.00\t0.0",
       "40\t38\t49\t51\tP1\tP2\tDD\t545.4\t239.911\t-1.270\t45\t0.000\t1.5\t-299.99\t1.0\t5.0\t1.0",
       "5\t4\t17\t22\tP1\tP2\tDD\ttoo low current", "Note: cable moved",
       "3\t-\t4\t5\tPD\tP2\tPD\t100.0\t10.000\t5.000\t1\t12.500\t0.2\t1.0\t1.0\t3.0\t1.0",
       "6\t5\t7\t8\tP1\tP2\tDD\t100.0\t10.000\t5.0"});
  Transcript transcript;
  const FieldSurvey survey =
      read_ares_file(transcript.io(), field_source_from_text("marks.2dm", text));
  // No electrode distance: electrode k stays at x = k, to be placed by an electrode table.
  expect_readings(survey,
                  {{6, {14, 0, 35, 49}, {15, 1, 36, 50}, 1.859477, 0.020425, 63.408, 0.3, 3.0},
                   {7, {15, 1, 57, 71}, {16, 2, 58, 72}, 0, 0, 0, 0, 0, false},
                   {8, {40, 38, 49, 51}, {41, 39, 50, 52}, 0.239911, -0.00127, none, 1.5, none},
                   {9, {5, 4, 17, 22}, {6, 5, 18, 23}, none, none, none, none, none, false},
                   {11, {3, remote, 4, 5}, {4, 0, 5, 6}, 0.01, 0.005, 12.5, 0.2, 2.0}});
  for (const char* note :
       {"cable: Connected MC 0+8 electrodes, layed from 0 m (1 line of contact resistances",
        "--electrodes FILE", "2 electrodes written with a '*' group", "1 readings with no current",
        "1 readings with an apparent resistivity of 0", "at the instrument's limit of 299.99 %",
        "1 readings carry the instrument's message 'too low current'",
        "1 truncated readings dropped (fewer fields than the header's 17 columns; first: line 12)",
        "1 lines among the readings that are none (first: line 10, 'Note: cable moved')"}) {
    EXPECT_TRUE(has_note(survey, note)) << note;
  }
}

TEST(AresFormat, RefusalsNameTheFileAndTheLine) {
  const std::string head = "Electrode distance: 1 m\nMeasured data:\n" + ares_columns + "\n";
  testing::check_details(
      {
          {"no measured data", "Method: DD\nElectrode distance: 1 m\n",
           "f.txt:2: the file ends without a 'Measured data:' line"},
          {"no header row", "Method: DD\nMeasured data:\n",
           "f.txt:2: the file ends before the header row of its measured data"},
          {"a header without P2", "Measured data:\nC1[el]\tC2[el]\tP1[el]\tI[mA]\tU[mV]\n",
           "f.txt:2: the data header names no column P2 (expected 'C1[el] C2[el] P1[el] P2[el] "
           "...')"},
          {"positions in feet", "Measured data:\nC1[ft]\tC2[el]\tP1[el]\tP2[el]\tAppRes[Ohmm]\n",
           "f.txt:2: the unit of the column 'C1[ft]' is not one quelby knows"},
          {"IP windows in two units", "Measured data:\n" + ares_columns + "\tIP1[%]\tIP2[ms]\n",
           "f.txt:2: the IP column 'IP2[ms]' is not in the unit of the first IP column (%)"},
          {"an electrode number that is none", head + "1\t0\tq\t3\tP1\tP2\tDD\t1\t2\t3\t4\t5\t6\n",
           "f.txt:4: the electrode number 'q' of P1[el] is not a whole number of 0 or more"},
          {"a group that is none", head + "1*a\t0\t2\t3\tP1\tP2\tDD\t1\t2\t3\t4\t5\t6\n",
           "f.txt:4: the electrode '1*a' of C1[el] is no number and '*' group"},
          {"a current that is no number", head + "1\t0\t2\t3\tP1\tP2\tDD\t1\tabc\t3\t4\t5\t6\n",
           "f.txt:4: the I[mA] field 'abc' is not a number"},
          {"garbage where a reading belongs", head + "xyz\n",
           "f.txt:4: expected a reading (C1 C2 P1 P2 ...), found 'xyz'"},
          {"a second data block", head + "Measured data:\n",
           "f.txt:4: a second 'Measured data:' block: quelby reads one per file"},
      },
      [](const Io& io, const std::string& path) {
        read_ares_file(io, read_field_source(io, path));
      });
}

// Each signature claims its own format's files and none of the other formats quelby reads.
TEST(LippmannAresFormats, SignaturesClaimNoFileOfAnotherFormat) {
  const struct {
    const char* name;
    std::string text;
    bool lippmann, ares;
  } cases[] = {
      {"Lippmann", tx0_top + "* Electrode [  1] x y z (m) = 0 0 0\n", true, false},
      {"Lippmann, a section line first", "\n* Version info ********\n", true, false},
      {"ARES II", "Device: ARES II/10 SN:1 SW:v1.6d HW:v3.1\r\nTime: 15:17:43\r\n", false, true},
      {"ARES II without its device line",
       "Time: 11:45:09\nDate: 24/4/2014\nMethod: Dip-Dip overlap\nElectrode distance: 10 m\n",
       false, true},
      {"unified", "4 # electrodes\n# x z\n0 0\n1 0\n2 0\n3 0\n1\n# a b m n rhoa\n1 2 3 4 100\n",
       false, false},
      {"2-D .dat, index array", "Survey: line 1\n1.0\n3\n1\n0\n0\n0 1 1 12.5\n", false, false},
      {"2-D .dat with a title of stars", "*** line 1 ***\n1.0\n11\n0\nType\n1\n", false, false},
      {"Syscal text", "\tSpa.1\tSpa.2\tSpa.3\tSpa.4\tRho\n\t0\t1\t2\t3\t100\n", false, false},
      {"Syscal CSV", "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m)\nDD,0,1,2,3,100\n", false,
       false},
      {"Terrameter", "ID\tA(x)\tB(x)\tM(x)\tN(x)\tR(Ohm)\n1\t0\t1\t2\t3\t0.5\n", false, false},
      {"protocol", "2\n1 1 2 3 4\n2 2 3 4 5\n", false, false},
      {"empty", "", false, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const FieldSource source = field_source_from_text("f", test.text);
    const std::string lippmann = lippmann_mismatch(source), ares = ares_mismatch(source);
    EXPECT_EQ(lippmann.empty(), test.lippmann) << lippmann;
    EXPECT_EQ(ares.empty(), test.ares) << ares;
  }
}

}  // namespace
}  // namespace quelby
