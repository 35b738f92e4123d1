// What the import passes on is what the file means: apparent resistivities through the file's own
// geometric factor convention, columns checked against the values they claim to be, IP units never
// guessed silently, readings without current dropped, electrode tables with elevations and buried
// electrodes, and the faults of real files (line ends, byte-order marks, cut rows, quoted decimal
// commas, pipes, output folders, values no inversion can take).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/electrode_table.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/fielddata/geometric_factors.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/fielddata/field_fixtures.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

double value_of(const SurveyData& data, std::size_t j) {
  return data.dobs[data.grouped_position(j)];
}

std::map<std::string, std::size_t> dropped(const ImportResult& result) {
  return {result.dropped.begin(), result.dropped.end()};
}

// The import of `content` written as `name`; `table`, when given, as an electrode table.
ImportResult import(const std::string& content, ImportOptions options = {},
                    const std::string& name = "line.txt", const std::string& table = {}) {
  TempFolder folder;
  const std::string file = folder.write(name, content);
  if (!table.empty()) options.electrodes = folder.write("electrodes.csv", table);
  Transcript transcript;
  return import_field_data(transcript.io(), file, options);
}

// The first line of the message an import stops with.
std::string refusal(const std::string& content, ImportOptions options = {},
                    const std::string& table = {}) {
  TempFolder folder;
  const std::string file = folder.write("line.txt", content);
  if (!table.empty()) options.electrodes = folder.write("electrodes.csv", table);
  Transcript transcript;
  try {
    import_field_data(transcript.io(), file, options);
  } catch (const Stop&) {
    std::string text = transcript.console();
    while (!text.empty() && text.front() == '\n') text.erase(0, 1);
    return text.substr(0, text.find('\n'));
  }
  return "(no stop)";
}

TEST(ImportValues, ApparentResistivitiesThroughTheFilesOwnConvention) {
  // A Syscal export over relief giving Rho alone: the instrument's Rho is K_flat of the recorded
  // x times R, whatever the elevations; the resistance is Rho / K_flat, never Rho / K_ground.
  const std::string header = "xA\txB\txM\txN\tzA\tzB\tzM\tzN\tRho\n";
  struct Row {
    double a, b, m, n, rho;
  } rows[] = {{0, 2, 4, 6, 52.5}, {2, 4, 6, 8, 48.25}, {0, 4, 8, 12, 61.0}, {4, 6, 10, 12, 44.0}};
  std::string text = header;
  const auto elevation = [](double x) { return 100 + 0.4 * x; };
  for (const Row& r : rows) {
    text += std::to_string(r.a) + "\t" + std::to_string(r.b) + "\t" + std::to_string(r.m) + "\t" +
            std::to_string(r.n) + "\t" + std::to_string(elevation(r.a)) + "\t" +
            std::to_string(elevation(r.b)) + "\t" + std::to_string(elevation(r.m)) + "\t" +
            std::to_string(elevation(r.n)) + "\t" + std::to_string(r.rho) + "\n";
  }
  const ImportResult result = import(text);
  ASSERT_EQ(result.data.ndat, 4);
  EXPECT_FALSE(result.topography_x.empty());
  for (std::size_t j = 0; j < 4; ++j) {
    const Row& r = rows[j];
    const double k = testing::flat_factor(r.a, r.b, r.m, r.n);
    EXPECT_NEAR(value_of(result.data, j), r.rho / k, 1e-12 * std::abs(r.rho / k)) << j;
  }
  EXPECT_NE(result.log.find("flat-surface K of the positions it records"), std::string::npos);

  // The file's own K column wins over the flat one; V / I over both.
  const ImportResult own = import(
      "El-array,xA (m),xB (m),xM (m),xN (m),Rho (Ohm.m),VMN (mV),IAB (mA),Coef. k (m)\n"
      "DD,0,1,3,4,100,,,-50\n"
      "DD,1,2,4,5,100,-60,120,-50\n");
  EXPECT_DOUBLE_EQ(value_of(own.data, 0), 100.0 / -50.0);
  EXPECT_DOUBLE_EQ(value_of(own.data, 1), -0.06 / 0.12);
}

TEST(ImportValues, DistancesAlongTheGroundGiveTheFactorsAndBecomeHorizontal) {
  // A general-array line whose x is measured along the ground (topography of type 2): the first
  // 5 m along the ground rise 3 m (4 m across), the next 5 m are level. The file's rho_a were
  // computed with the flat K of the distances it records.
  const std::string file =
      "along the ground\n1.0\n11\n0\nType of measurement (0=app. resistivity,1=resistance)\n"
      "0\n2\n0\n0\n"
      "4  0 0  3 0  1 0  2 0  120\n"
      "4  4 0  10 0  6 0  8 0  80\n"
      "2\n3\n0, 100\n5, 103\n10, 103\n1\n0\n0\n0\n0\n";
  const ImportResult result = import(file, {}, "along.dat");
  ASSERT_EQ(result.data.ndat, 2);
  const double expected[2] = {120 / testing::flat_factor(0, 3, 1, 2),
                              80 / testing::flat_factor(4, 10, 6, 8)};
  for (std::size_t j = 0; j < 2; ++j) {
    EXPECT_NEAR(value_of(result.data, j), expected[j], 1e-12 * std::abs(expected[j])) << j;
  }
  // Horizontal: 0.8 s on the slope, then 4 + (s - 5) on the level.
  const std::size_t first = result.data.grouped_position(0),
                    second = result.data.grouped_position(1);
  EXPECT_NEAR(result.data.xm[first], 0.8, 1e-12);
  EXPECT_NEAR(result.data.xn[first], 1.6, 1e-12);
  EXPECT_NEAR(result.data.xm[second], 5.0, 1e-12);
  EXPECT_NEAR(result.data.xn[second], 7.0, 1e-12);
  ASSERT_FALSE(result.topography_x.empty());
  EXPECT_NEAR(result.topography_x.back(), 9.0, 1e-12);
  EXPECT_NE(result.log.find("distances along the ground"), std::string::npos);
}

TEST(ImportValues, BuriedGeometricFactorMatchesTheFlatOneAtTheSurfaceAndTheImages) {
  FieldDatum datum;
  datum.a = 0, datum.b = 3, datum.m = 7, datum.n = 12;
  EXPECT_NEAR(buried_geometric_factor(datum), testing::flat_factor(0, 3, 7, 12),
              1e-12 * std::abs(testing::flat_factor(0, 3, 7, 12)));
  // A pole-pole between two buried electrodes: u = rho I / (4 pi) (1/r + 1/r').
  datum.a = 0, datum.m = 0, datum.depth_a = 2, datum.depth_m = 5;
  datum.b = datum.a, datum.n = datum.m;
  datum.depth_b = 2, datum.depth_n = 5;
  const double expected = 4 * std::numbers::pi / (1 / 3.0 + 1 / 7.0);
  EXPECT_NEAR(flat_geometric_factor(datum), expected, 1e-12 * expected);
}

TEST(ImportValues, ColumnsAreCheckedForWhatTheyClaimToBe) {
  // A forward model's output written as a protocol file: column 7 holds rho_a, not the error.
  std::string forward = "4\n";
  const double rho = 50;
  const int quads[4][4] = {{1, 2, 3, 4}, {2, 3, 4, 5}, {3, 4, 5, 6}, {1, 2, 4, 5}};
  for (int k = 0; k < 4; ++k) {
    const double k_flat =
        testing::flat_factor(quads[k][0] - 1, quads[k][1] - 1, quads[k][2] - 1, quads[k][3] - 1);
    char line[200];
    std::snprintf(line, sizeof line, "%d %d %d %d %d %.10g %.10g\n", k + 1, quads[k][0],
                  quads[k][1], quads[k][2], quads[k][3], rho / k_flat, std::abs(rho));
    forward += line;
  }
  ImportOptions protocol;
  protocol.format = FieldFormat::protocol;
  const std::string message = refusal(forward, protocol);
  EXPECT_NE(message.find("column 7 (err)"), std::string::npos) << message;
  EXPECT_NE(message.find("apparent resistivit"), std::string::npos) << message;
  EXPECT_NE(message.find("--ignore-file-errors"), std::string::npos) << message;
  protocol.ignore_file_errors = true;
  const ImportResult ignored = import(forward, protocol);
  EXPECT_FALSE(ignored.data_stds);
  protocol.ignore_file_errors = false;
  protocol.columns = {"r", "rhoa"};
  EXPECT_EQ(import(forward, protocol).data.ndat, 4);

  // Errors larger than |R| for most readings are no errors of R.
  const std::string large = "2\n1 1 2 3 4 -10.0 30.0\n2 2 3 4 5 -10.0 25.0\n";
  protocol.columns.clear();
  EXPECT_NE(refusal(large, protocol).find("larger than |R|"), std::string::npos);

  // A protocol of complex resistivity: R, phase, and both errors, the phase's unit unstated.
  const std::string complex = "2\n1 1 2 3 4 -10.0 -5.5 0.1 0.2\n2 2 3 4 5 -11.0 -6.0 0.1 0.3\n";
  const ImportResult phases = import(complex, protocol);
  ASSERT_TRUE(phases.ip);
  EXPECT_EQ(phases.chargeability_unit, "mrad");
  EXPECT_DOUBLE_EQ(value_of(*phases.ip, 1), -6.0);
  const auto mentions = [](const ImportResult& result, const std::string& text) {
    return std::any_of(result.warnings.begin(), result.warnings.end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  };
  EXPECT_TRUE(mentions(phases, "--ip-unit"));
  EXPECT_TRUE(mentions(phases, "negative"));  // every phase negative: the checks say so
  protocol.ip_unit = ChargeabilityUnit::percent;
  const ImportResult percent = import(complex, protocol);
  EXPECT_EQ(percent.chargeability_unit, "mV/V");
  EXPECT_DOUBLE_EQ(value_of(*percent.ip, 1), -60.0);
  EXPECT_FALSE(mentions(percent, "--ip-unit"));
}

TEST(ImportValues, IpUnitsZerosAndCurrents) {
  const std::string electrodes = "6\n# x z\n0 0\n1 0\n2 0\n3 0\n4 0\n5 0\n";
  // An unlabelled ip column: a phase by default, said; every IP value zero: no IP at all.
  const ImportResult unlabelled =
      import(electrodes + "2\n# a b m n r ip\n1 2 3 4 -1.5 3.5\n2 3 4 5 -1.4 3.1\n", {}, "l.ohm");
  ASSERT_TRUE(unlabelled.ip);
  EXPECT_EQ(unlabelled.chargeability_unit, "mrad");
  EXPECT_EQ(unlabelled.warnings.size(), 1u);
  const ImportResult zeros =
      import(electrodes + "2\n# a b m n r ip/mV/V\n1 2 3 4 -1.5 0\n2 3 4 5 -1.4 0\n", {}, "z.ohm");
  EXPECT_FALSE(zeros.ip);
  EXPECT_NE(zeros.log.find("no ip.dat is written"), std::string::npos);

  // No current: the reading carries no datum; --keep-zero-current keeps it.
  const std::string currents = electrodes +
                               "3\n# a b m n u/mV i/mA\n1 2 3 4 -12 100\n2 3 4 5 -11 0\n"
                               "3 4 5 6 -10 90\n";
  const ImportResult without = import(currents, {}, "c.ohm");
  EXPECT_EQ(without.data.ndat, 2);
  EXPECT_EQ(dropped(without).at("no current (--keep-zero-current keeps it)"), 1u);
}

TEST(ImportValues, LimitsOnKAndIp) {
  const auto readings = testing::dipole_dipole(12, 1.0, 80.0);
  ImportOptions options;
  options.max_geometric_factor = 60;
  const ImportResult limited = import(testing::syscal_text(readings), options);
  std::size_t large = 0;
  for (const auto& r : readings) {
    large += std::abs(testing::flat_factor(r.x[0], r.x[1], r.x[2], r.x[3])) > 60 ? 1 : 0;
  }
  ASSERT_GT(large, 0u);
  EXPECT_EQ(limited.data.ndat, static_cast<std::int32_t>(readings.size() - large));

  std::vector<testing::SyscalReading> ip = readings;
  ip[3].chargeability = -40;
  ip[5].chargeability = 400;
  options = {};
  options.ip_range = std::make_pair(-5.0, 100.0);
  const ImportResult ranged = import(testing::syscal_text(ip), options);
  EXPECT_EQ(ranged.data.ndat, static_cast<std::int32_t>(readings.size()));
  ASSERT_TRUE(ranged.ip);
  EXPECT_EQ(ranged.ip->ndat, static_cast<std::int32_t>(readings.size() - 2));
}

TEST(ImportValues, ElectrodeTablesGiveElevationsAndBuriedElectrodes) {
  const std::string protocol = "3\n1 1 2 3 4 -0.5\n2 2 3 4 5 -0.45\n3 1 2 4 5 -0.2\n";
  ImportOptions options;
  options.format = FieldFormat::protocol;
  // A surface line: the table's elevations become the ground.
  const std::string surface = "label,x,z\n1,0,100\n2,2,100.5\n3,4,101\n4,6,101.2\n5,8,100.7\n";
  const ImportResult line = import(protocol, options, "protocol.dat", surface);
  ASSERT_EQ(line.topography_x.size(), 5u);
  EXPECT_DOUBLE_EQ(line.topography_elevation[3], 101.2);
  EXPECT_DOUBLE_EQ(line.data.xm[line.data.grouped_position(0)], 4.0);
  // A number the table lacks is refused by name.
  EXPECT_NE(
      refusal(protocol, options, "1 0 100\n2 2 100\n3 4 100\n4 6 100\n").find("no electrode 5"),
      std::string::npos);

  // A crosshole panel: two boreholes at x = 0 and 10, electrodes 2 m apart down each, ground at
  // elevation 50 (the surface electrodes 1 and 6).
  std::string table = "# label x y z buried\n1 0 0 50 0\n6 10 0 50 0\n";
  for (int k = 1; k <= 4; ++k) {
    table += std::to_string(1 + k) + " 0 0 " + std::to_string(50 - 2 * k) + " 1\n";
    table += std::to_string(6 + k) + " 10 0 " + std::to_string(50 - 2 * k) + " 1\n";
  }
  const std::string crosshole = "3\n1 2 3 7 8 0.8\n2 2 4 8 9 0.5\n3 1 2 6 7 1.1\n";
  const ImportResult panel = import(crosshole, options, "protocol.dat", table);
  ASSERT_TRUE(panel.buried);
  ASSERT_TRUE(panel.data.has_z);
  EXPECT_EQ(panel.data.ndat, 3);
  // Datum 2: A = electrode 2 (x 0, 2 m down), M = electrode 8 (x 10, 4 m down); z counts down
  // from the ground at 50 m.
  const std::size_t second = panel.data.grouped_position(1);
  EXPECT_DOUBLE_EQ(panel.data.xm[second], 10.0);
  EXPECT_DOUBLE_EQ(panel.data.zm[second], 4.0);
  EXPECT_DOUBLE_EQ(panel.data.zn[second], 6.0);
  EXPECT_NE(panel.log.find("buried electrodes"), std::string::npos);
  // An electrode said buried above the ground is refused.
  std::string above = table;
  above.replace(above.find("2 0 0 48 1"), 10, "2 0 0 52 1");
  EXPECT_NE(refusal(crosshole, options, above).find("stands above the ground"), std::string::npos);
}

TEST(ImportValues, ThreeDimensionalLayoutsAreRefusedNamingTheElectrode) {
  ImportOptions options;
  options.format = FieldFormat::protocol;
  const std::string message = refusal("2\n1 1 2 3 4 -0.5\n2 2 3 4 5 -0.4\n", options,
                                      "1,0,0,0\n2,1,0,0\n3,2,0,0\n4,3,0,0\n5,0,4,0\n");
  EXPECT_NE(message.find("off the line of the others"), std::string::npos) << message;
  EXPECT_NE(message.find("3-D"), std::string::npos);
  // Electrodes on a line along y, or slanting, are read by their distance along it; one far off
  // the line is remote.
  const ImportResult along_y =
      import("2\n1 1 2 3 4 -0.5\n2 2 3 4 5 -0.4\n", options, "protocol.dat",
             "1,7,0,0\n2,7,1,0\n3,7,2,0\n4,7,3,0\n5,7,4,0\n");
  EXPECT_DOUBLE_EQ(along_y.data.xm[along_y.data.grouped_position(1)], 3.0);
  const ImportResult slanting =
      import("2\n1 1 2 3 4 -0.5\n2 2 3 4 5 -0.4\n", options, "protocol.dat",
             "1,0,0,0\n2,3,4,0\n3,6,8,0\n4,9,12,0\n5,12,16,0\n");
  EXPECT_NEAR(slanting.data.xn[slanting.data.grouped_position(1)], 20.0, 1e-12);
}

TEST(ImportValues, LineEndsByteOrderMarksAndCutRows) {
  const auto readings = testing::dipole_dipole(10, 1.0, 60.0);
  const std::string plain = testing::syscal_text(readings);
  const auto count = [&](const std::string& text) { return import(text).data.ndat; };
  const std::int32_t expected = static_cast<std::int32_t>(readings.size());
  std::string cr = plain, mixed = plain, crlf;
  for (char& c : cr) c = c == '\n' ? '\r' : c;
  bool flip = false;
  std::string alternating;
  for (const char c : plain) {
    if (c == '\n') {
      alternating += flip ? "\r" : "\r\n";
      flip = !flip;
    } else {
      alternating += c;
    }
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  EXPECT_EQ(count(cr), expected);
  EXPECT_EQ(count(crlf), expected);
  EXPECT_EQ(count(alternating), expected);
  EXPECT_EQ(count("\xEF\xBB\xBF" + plain), expected);
  // The last row cut within its fields: dropped, never read with a cut value.
  const std::string cut = plain.substr(0, plain.size() - 12);
  const ImportResult short_row = import(cut);
  EXPECT_EQ(short_row.data.ndat, expected - 1);
  EXPECT_NE(short_row.log.find("cut short"), std::string::npos);

  // A quoted decimal comma in a comma table is a decimal comma, not a delimiter.
  const ImportResult quoted =
      import("xA,xB,xM,xN,Rho\n0,1,3,4,\"131,5\"\n\"1,0\",2,4,5,\"180,25\"\n");
  ASSERT_EQ(quoted.data.ndat, 2);
  EXPECT_DOUBLE_EQ(value_of(quoted.data, 0), 131.5 / testing::flat_factor(0, 1, 3, 4));
  EXPECT_DOUBLE_EQ(value_of(quoted.data, 1), 180.25 / testing::flat_factor(1, 2, 4, 5));
}

TEST(ImportValues, AFifoIsReadOnce) {
  TempFolder folder;
  const std::string path = folder.file("pipe.txt");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const std::string text = testing::syscal_text(testing::dipole_dipole(8, 1.0, 30.0));
  std::thread writer([&] {
    std::ofstream out(path);
    out << text;
  });
  Transcript transcript;
  const ImportResult result = import_field_data(transcript.io(), path, {});
  writer.join();
  EXPECT_EQ(result.data.ndat,
            static_cast<std::int32_t>(testing::dipole_dipole(8, 1.0, 30.0).size()));
}

TEST(ImportValues, OutputFoldersNeverLoseTheUsersFiles) {
  TempFolder folder;
  auto readings = testing::dipole_dipole(8, 1.0, 30.0);
  for (auto& reading : readings) reading.chargeability = 0;  // a DC-only export
  const std::string input = folder.write("data.dat", testing::syscal_text(readings));
  Transcript transcript;
  const ImportResult result = import_field_data(transcript.io(), input, {});
  EXPECT_THROW(write_import(transcript.io(), folder.path().string(), result), Stop);
  EXPECT_NE(transcript.console().find("holds the input"), std::string::npos);

  // A topography.topo of the user's in the output folder stays; one of an earlier import goes.
  const std::string out = folder.file("out");
  std::filesystem::create_directories(out);
  { std::ofstream(out + "/topography.topo") << "2 0\n0 0\n10 0\n"; }
  { std::ofstream(out + "/ip.dat") << "quelby-import: IP data, from an earlier import\n"; }
  write_import(transcript.io(), out, result);
  EXPECT_TRUE(std::filesystem::exists(out + "/topography.topo"));
  EXPECT_FALSE(std::filesystem::exists(out + "/ip.dat"));
  // Written again: the import's own files are replaced; a data.dat of the user's is not.
  write_import(transcript.io(), out, result);
  { std::ofstream(out + "/data.dat") << "my own survey\n0 1 2 3 4.5\n"; }
  EXPECT_THROW(write_import(transcript.io(), out, result), Stop);
  EXPECT_NE(transcript.console().find("which no import wrote"), std::string::npos);
}

TEST(ImportValues, ValuesNoInversionCanTakeAreRefused) {
  ImportOptions options;
  options.format = FieldFormat::protocol;
  EXPECT_NE(refusal("2\n1 1 2 3 4 -0.5 1e307\n2 2 3 4 5 -0.4 0.01\n", options)
                .find("out of all proportion"),
            std::string::npos);
  options.spacing = 1e-300;
  EXPECT_NE(refusal("1\n1 1 2 3 4 -0.5\n", options).find("cannot be meshed"), std::string::npos);
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

// Files as the field's instruments and peers write them, each once refused or misread.
TEST(ImportValues, FilesAsTheFieldWritesThem) {
  // A Terrameter export opening with its settings; a blank-separated Syscal text whose array
  // names are several words.
  std::string terrameter = "Project: slab\nSettings\n  Array: DPDP\n\n";
  terrameter += "A(x)\tB(x)\tM(x)\tN(x)\tR(Ohm)\n0\t1\t2\t3\t-0.5\n1\t2\t3\t4\t-0.45\n";
  const ImportResult settings = import(terrameter);
  EXPECT_EQ(settings.format, FieldFormat::terrameter);
  EXPECT_EQ(settings.data.ndat, 2);
  const ImportResult words = import(
      "El-array Spa.1 Spa.2 Spa.3 Spa.4 Rho Date\n"
      "Mixed / non conventional 0 1 3 4 131.5 16.08.2011 09:12:33\n"
      "Mixed / non conventional 1 2 4 5 180.25 16.08.2011 09:12:34\n");
  ASSERT_EQ(words.data.ndat, 2);
  EXPECT_DOUBLE_EQ(value_of(words.data, 1), 180.25 / testing::flat_factor(1, 2, 4, 5));

  // An electrode table without labels numbers its rows; a protocol's "error" column of negative
  // values is a phase, refused with the way to read it.
  ImportOptions protocol;
  protocol.format = FieldFormat::protocol;
  const ImportResult rows = import("1\n1 1 2 3 4 -0.5\n", protocol, "protocol.dat",
                                   "x,y,z,buried\n0,0,10,0\n1,0,10,0\n2,0,10,0\n3,0,10,0\n");
  EXPECT_DOUBLE_EQ(rows.data.xn[0], 3.0);
  const std::string phase = refusal("2\n1 1 2 3 4 -0.5 -3.1\n2 2 3 4 5 -0.4 -2.9\n", protocol);
  EXPECT_NE(phase.find("--columns r,ip"), std::string::npos) << phase;

  // A unified crosshole file: electrodes at one x with several elevations stand in a borehole.
  const ImportResult holes = import(
      "6\n# x z\n0 -1\n0 -2\n0 -3\n5 -1\n5 -2\n5 -3\n"
      "3\n# a b m n r\n1 2 4 5 0.8\n2 3 5 6 0.7\n1 3 4 6 0.9\n",
      {}, "holes.ohm");
  ASSERT_TRUE(holes.buried);
  EXPECT_EQ(holes.data.ndat, 3);
  EXPECT_DOUBLE_EQ(holes.data.zn[holes.data.grouped_position(1)], 3.0);
  EXPECT_NE(holes.log.find("boreholes"), std::string::npos);

  // A file of reversed polarity: every reading negative, and the message says so.
  auto reversed = testing::dipole_dipole(8, 1.0, 50.0);
  for (auto& reading : reversed) reading.resistance = -reading.resistance;
  const std::string polarity = [&] {
    TempFolder folder;
    const std::string file = folder.write("line.txt", testing::syscal_text(reversed));
    Transcript transcript;
    try {
      import_field_data(transcript.io(), file, {});
    } catch (const Stop&) {
      return transcript.console();
    }
    return std::string();
  }();
  EXPECT_NE(polarity.find("other polarity"), std::string::npos) << polarity;
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

TEST(ImportValues, ExactFactorsTakeTheRemoteElectrodesWhereTheFileStatesThem) {
  const std::string remote =
      "Pole-pole with remote electrodes\n1.00\n2\nRemote electrodes included\n"
      "C2 remote electrode X, Y and Z location\n-25.000,10.000,0.0\n"
      "P2 remote electrode X, Y and Z location\n60.000,0.000,0.0\n";
  const std::string data = "2\n0\n0\n0 1 10.13\n1 1 10.18\n0\n0\n0\n";
  // C1 at x, P1 at x + 1: K of A M, A P2, C2 M and C2 P2 with the remotes where they stand.
  const auto exact = [](double a) {
    const double m = a + 1;
    return 2 * std::numbers::pi /
           (1 / (m - a) - 1 / (60 - a) - 1 / std::hypot(m + 25, 10) + 1 / std::hypot(85, 10));
  };
  const ImportResult stated = import(remote + "Exact Geometric factor used\n" + data, {}, "pp.dat");
  ASSERT_EQ(stated.data.ndat, 2);
  EXPECT_NEAR(value_of(stated.data, 0), 10.13 / exact(0), 1e-12 * 10.13 / exact(0));
  EXPECT_NEAR(value_of(stated.data, 1), 10.18 / exact(1), 1e-12 * 10.18 / exact(1));
  // Without the line the file's factors are those of poles at infinity.
  const ImportResult poles = import(remote + data, {}, "pp.dat");
  EXPECT_NEAR(value_of(poles.data, 0), 10.13 / (2 * std::numbers::pi), 1e-12);
}

}  // namespace
}  // namespace quelby
