// The import from file to stores: a Syscal line with reciprocals, faults and duplicates imported,
// filtered, paired and fitted (every datum and standard deviation checked against the readings);
// remote electrodes as poles; apparent resistivities turned into resistances with the closed-form
// factors of each array, and with the forward model's numeric factors; IP units; the error
// options; format detection; and the files written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/field_file.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "quelby/fielddata/geometric_factors.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/fielddata/field_fixtures.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::SyscalReading;
using testing::TempFolder;
using testing::Transcript;

constexpr double pi = std::numbers::pi;

// The value and standard deviation of data line j (0-based, file order) of a store.
double value_of(const SurveyData& data, std::size_t j) {
  return data.dobs[data.grouped_position(j)];
}
double std_of(const SurveyData& data, std::size_t j) {
  return data.dstd[data.grouped_position(j)];
}

std::map<std::string, std::size_t> dropped(const ImportResult& result) {
  return {result.dropped.begin(), result.dropped.end()};
}

ImportResult import(const std::string& content, const ImportOptions& options,
                    const std::string& name = "line.txt") {
  TempFolder folder;
  const std::string file = folder.write(name, content);
  Transcript transcript;
  return import_field_data(transcript.io(), file, options);
}

TEST(FieldImport, SyscalLineWithReciprocalsFaultsAndDuplicates) {
  // 16 electrodes 2 m apart over 100 ohm-m: dipole-dipole normals, each followed later by its
  // reciprocal (every other one in the reversed polarity) whose error is 0.002 + 0.04 |R|.
  const auto normals = testing::dipole_dipole(16, 2.0, 100.0);
  std::vector<SyscalReading> readings = normals;
  std::vector<SyscalReading> reciprocals;
  for (std::size_t i = 0; i < normals.size(); ++i) {
    SyscalReading r = normals[i];
    const double e = 0.002 + 0.04 * std::abs(r.resistance);
    const double value = r.resistance + (i % 3 == 0 ? e : -e);
    r.x = {normals[i].x[2], normals[i].x[3], normals[i].x[0], normals[i].x[1]};
    r.resistance = value;
    if (i % 2 == 1) {
      std::swap(r.x[0], r.x[1]);
      r.resistance = -value;
    }
    reciprocals.push_back(r);
  }
  const auto uses = [](const SyscalReading& r, double x) {
    return r.x[0] == x || r.x[1] == x || r.x[2] == x || r.x[3] == x;
  };
  // Faults on normals that do not use the bad electrode at 10 m.
  std::vector<std::size_t> clean;
  for (std::size_t i = 0; i < normals.size(); ++i) {
    if (!uses(normals[i], 10)) clean.push_back(i);
  }
  const std::size_t flipped = clean[0], noisy = clean[1], weak = clean[2], poor = clean[3],
                    twice = clean[4];
  readings[flipped].resistance = -readings[flipped].resistance;
  reciprocals[noisy].deviation = 25;
  readings[weak].current_ma = 0.5;
  reciprocals[poor].resistance *= 1.5;
  SyscalReading repeat = readings[twice];
  repeat.resistance *= 1.02;
  readings.push_back(repeat);
  readings.insert(readings.end(), reciprocals.begin(), reciprocals.end());

  ImportOptions options;
  options.reciprocal = true;
  options.drop_electrodes = {10};
  options.max_deviation = 5;
  options.min_current = 1e-3;
  options.max_reciprocal_error = 10;
  const ImportResult result = import(testing::syscal_text(readings), options);

  std::size_t on_bad = 0;
  for (const SyscalReading& r : readings) on_bad += uses(r, 10) ? 1 : 0;
  EXPECT_EQ(dropped(result), (std::map<std::string, std::size_t>{
                                 {"an electrode given to --drop-electrode", on_bad},
                                 {"negative apparent resistivity (--keep-negative keeps it)", 1},
                                 {"stacking deviation above 5 %", 1},
                                 {"current below 0.001 A", 1},
                                 {"reciprocal error above 10 %", 1}}));

  // The data expected, in the order of their first readings: the clean normals paired with
  // their reciprocals (the mean), the normal whose reciprocal was dropped, and after them the
  // reciprocals whose normals were dropped.
  struct Datum {
    std::array<double, 4> x;
    double value;
    bool paired;
  };
  std::vector<Datum> expected;
  for (const std::size_t i : clean) {
    if (i == flipped || i == weak || i == poor) continue;
    const double normal = i == twice ? (normals[i].resistance * 2.02) / 2 : normals[i].resistance;
    if (i == noisy) {
      expected.push_back({normals[i].x, normal, false});
      continue;
    }
    const double reciprocal =
        (i % 2 == 1 ? -1 : 1) * reciprocals[i].resistance;  // in the normal's polarity
    expected.push_back({normals[i].x, (normal + reciprocal) / 2, true});
  }
  for (const std::size_t i : {flipped, weak})
    expected.push_back({reciprocals[i].x, reciprocals[i].resistance, false});
  ASSERT_EQ(result.data.ndat, static_cast<std::int32_t>(expected.size()));
  ASSERT_TRUE(result.data_stds);
  const ErrorModel& model = result.pairs.fit.kept;
  ASSERT_TRUE(model.usable);
  for (std::size_t j = 0; j < expected.size(); ++j) {
    EXPECT_EQ(result.data.xa_file[j], expected[j].x[0]) << j;
    EXPECT_EQ(result.data.xb_file[j], expected[j].x[1]) << j;
    EXPECT_EQ(result.data.xm_file[j], expected[j].x[2]) << j;
    EXPECT_EQ(result.data.xn_file[j], expected[j].x[3]) << j;
    EXPECT_NEAR(value_of(result.data, j), expected[j].value, 1e-12 * std::abs(expected[j].value))
        << j;
    EXPECT_DOUBLE_EQ(std_of(result.data, j), model(std::abs(value_of(result.data, j)))) << j;
  }
  // The pairs' errors follow 0.002 + 0.04 |R_n|; binned by the mean |R| the fit is close to it.
  EXPECT_EQ(result.pairs.mean.size(), expected.size() - 3);
  for (const double magnitude : {0.3, 1.0, 2.5}) {
    EXPECT_NEAR(model(magnitude) / (0.002 + 0.04 * magnitude), 1.0, 0.1) << magnitude;
  }
  EXPECT_NE(result.log.find("reciprocal pairs: " + std::to_string(expected.size() - 3) +
                            " (3 data without a reciprocal, kept)"),
            std::string::npos)
      << result.log;
  EXPECT_NE(result.log.find("duplicates: 2 readings averaged into 1 datum"), std::string::npos);
  EXPECT_NE(result.log.find("(kept)"), std::string::npos);
  // IP: the chargeabilities of every datum, 5 mV/V, with the model of their (zero) errors absent.
  ASSERT_TRUE(result.ip.has_value());
  EXPECT_EQ(result.ip->ndat, result.data.ndat);
  for (const double value : result.ip->dobs) EXPECT_EQ(value, 5.0);
  EXPECT_EQ(result.chargeability_unit, "mV/V");

  // --drop-unpaired drops the three.
  options.drop_unpaired = true;
  const ImportResult strict = import(testing::syscal_text(readings), options);
  EXPECT_EQ(strict.data.ndat, result.data.ndat - 3);
  EXPECT_EQ(dropped(strict).at("no reciprocal reading (--drop-unpaired)"), 3u);
}

TEST(FieldImport, RemoteElectrodesBecomePolesAndKeepTheDatum) {
  // A line 0..14 m; remote electrodes at 1000 m and -800 m.
  std::vector<SyscalReading> readings;
  for (int k = 0; k < 6; ++k) readings.push_back({{double(2 * k), double(2 * k + 2), 4, 6}, 0});
  readings.resize(3);
  readings[0] = {{0, 1000, 4, 6}, 1.25};       // pole-dipole, B remote
  readings[1] = {{0, 1000, 4, -800}, 2.5};     // pole-pole, B and N remote
  readings[2] = {{1000, 14, 6, 4}, -0.75};     // A remote: the pole of B
  readings.push_back({{2, 8, 10, 12}, -0.5});  // the rest of the line
  readings.push_back({{4, 6, 10, 14}, -0.25});
  ImportOptions options;
  const ImportResult result = import(testing::syscal_text(readings), options);
  ASSERT_EQ(result.data.ndat, 5);
  const std::array<double, 4> poles[3] = {{0, 0, 4, 6}, {0, 0, 4, 4}, {14, 14, 6, 4}};
  const double values[3] = {1.25, 2.5, 0.75};  // the pole of B carries -I: the sign turns
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(result.data.xa_file[j], poles[j][0]) << j;
    EXPECT_EQ(result.data.xb_file[j], poles[j][1]) << j;
    EXPECT_EQ(result.data.xm_file[j], poles[j][2]) << j;
    EXPECT_EQ(result.data.xn_file[j], poles[j][3]) << j;
    EXPECT_NEAR(value_of(result.data, j), values[j], 1e-12) << j;
  }
  EXPECT_NE(
      result.log.find("remote electrodes (written as poles: B = A, N = M): x = -800 x = 1000"),
      std::string::npos)
      << result.log;
}

TEST(FieldImport, OnlyElectrodesFarFromTheLineAreRemote) {
  // Lines given by their readings' electrodes (x); what the log must call remote.
  const struct {
    const char* name;
    std::vector<std::array<double, 4>> readings;
    std::string remote;  // "" when none
  } cases[] = {
      {"a gap in the line (a road) is no remote electrode",
       {{0, 2, 4, 6}, {2, 4, 6, 8}, {30, 32, 34, 36}, {32, 34, 36, 38}},
       ""},
      {"two remote electrodes close to each other far beyond the line",
       {{0, 500, 4, 505}, {2, 500, 6, 505}, {4, 500, 8, 505}, {6, 500, 10, 505}},
       "x = 500 x = 505"},
      {"a line of three electrodes has no remote one", {{0, 1, 2, 100}}, ""},
      {"an electrode 4 line lengths away stays", {{0, 2, 4, 6}, {2, 4, 6, 8}, {8, 6, 4, 40}}, ""},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<SyscalReading> readings;
    for (const auto& x : test.readings) readings.push_back({x, 1.0});
    ImportOptions options;
    options.keep_negative = true;
    const ImportResult result = import(testing::syscal_text(readings), options);
    const std::size_t at = result.log.find("remote electrodes (written as poles: B = A, N = M):");
    if (test.remote.empty()) {
      EXPECT_EQ(at, std::string::npos) << result.log;
    } else {
      EXPECT_NE(result.log.find("N = M): " + test.remote + "\n"), std::string::npos) << result.log;
    }
  }
}

TEST(FieldImport, ApparentResistivitiesGiveTheClosedFormResistances) {
  // 100 ohm-m over every index array: R = 100 / K with K in closed form (a = 2 m).
  const std::string file =
      "every array\n2\n11\n0\nType of measurement (0=app. resistivity,1=resistance)\n0\n6\n0\n0\n"
      "4  0 0  6 0  2 0  4 0  100\n"   // Wenner a = 2: K = 2 pi a
      "4  4 0  2 0  8 0  10 0  100\n"  // dipole-dipole n = 2: K = pi n (n+1) (n+2) a
      "3  0 0  6 0  8 0  100\n"        // pole-dipole n = 3: K = 2 pi n (n+1) a
      "2  0 0  2 0  100\n"             // pole-pole: K = 2 pi a
      "4  0 0  10 0  4 0  6 0  100\n"  // Wenner-Schlumberger n = 2: K = pi n (n+1) a
      "4  2 0  8 0  6 0  4 0  100\n"   // a Wenner with M and N exchanged: K = -2 pi a
      "0\n";
  ImportOptions options;
  options.keep_negative = true;
  const ImportResult result = import(file, options, "arrays.dat");
  const double a = 2;
  const double expected[6] = {100 / (2 * pi * a),         100 / (pi * 2 * 3 * 4 * a),
                              100 / (2 * pi * 3 * 4 * a), 100 / (2 * pi * a),
                              100 / (pi * 2 * 3 * a),     -100 / (2 * pi * a)};
  ASSERT_EQ(result.data.ndat, 6);
  for (std::size_t j = 0; j < 6; ++j) {
    EXPECT_NEAR(value_of(result.data, j), expected[j], 1e-13 * std::abs(expected[j])) << j;
  }
  EXPECT_NE(result.log.find("6 from rho_a / the flat-surface K of the positions the file records"),
            std::string::npos);
}

TEST(FieldImport, NumericFactorsAgreeWithTheFlatOnesOnFlatGroundAndServeOnlyTheChecks) {
  const auto unified = [](const char* z) {
    std::string text = "12\n# x z\n";
    for (int k = 0; k < 12; ++k) {
      text += std::to_string(2 * k) + " " +
              (std::string(z) == "flat" ? "0" : std::to_string((k % 6) * 0.8)) + "\n";
    }
    text +=
        "7\n# a b m n rhoa\n1 2 3 4 100\n1 4 2 3 100\n3 4 6 7 100\n2 3 7 8 100\n"
        "5 8 6 7 100\n1 0 4 5 100\n9 10 11 12 100\n";
    return text;
  };
  ImportOptions flat;
  const ImportResult by_formula = import(unified("flat"), flat, "flat.ohm");
  ASSERT_EQ(by_formula.data.ndat, 7);
  EXPECT_TRUE(by_formula.topography_x.empty());

  // The forward model's factors on flat ground agree with the closed form.
  std::vector<FieldDatum> data(7);
  const int quads[7][4] = {{1, 2, 3, 4}, {1, 4, 2, 3}, {3, 4, 6, 7},   {2, 3, 7, 8},
                           {5, 8, 6, 7}, {1, 0, 4, 5}, {9, 10, 11, 12}};
  for (std::size_t j = 0; j < 7; ++j) {
    const auto x = [&](int e) { return 2.0 * (e - 1); };
    data[j].a = x(quads[j][0]);
    data[j].b = quads[j][1] == 0 ? data[j].a : x(quads[j][1]);
    data[j].m = x(quads[j][2]);
    data[j].n = x(quads[j][3]);
  }
  Transcript transcript;
  const std::vector<double> ground_x = {0, 22}, ground_z = {0, 0};
  const std::vector<double> numeric =
      numeric_geometric_factors(transcript.io(), data, ground_x, ground_z);
  for (std::size_t j = 0; j < 7; ++j) {
    EXPECT_NEAR(numeric[j] / flat_geometric_factor(data[j]), 1.0, 5e-3) << j;
  }

  // Over topography the file's rho_a still become resistances by the flat-surface K of its
  // positions (the file's convention), with numeric factors asked for or not; the ground is kept.
  ImportOptions numeric_checks;
  numeric_checks.geometric_factors = GeometricFactorChoice::numeric;
  for (const ImportOptions& options : {flat, numeric_checks}) {
    const ImportResult hilly = import(unified("hilly"), options, "hilly.ohm");
    ASSERT_EQ(hilly.topography_x.size(), 12u);
    EXPECT_EQ(hilly.reference_elevation, 4.0);
    for (std::size_t j = 0; j < 7; ++j) {
      EXPECT_EQ(value_of(hilly.data, j), value_of(by_formula.data, j)) << j;
    }
  }
  EXPECT_NE(import(unified("hilly"), numeric_checks, "hilly.ohm")
                .log.find("the checks use the forward model's numeric K over the ground"),
            std::string::npos);
}

TEST(FieldImport, FiltersCountEachReason) {
  const struct {
    const char* name;
    std::vector<SyscalReading> readings;
    ImportOptions options;
    std::map<std::string, std::size_t> dropped;
    int kept;
  } cases[] = {
      {"low voltage: |R I| below the floor",
       {{{0, 2, 4, 6}, -0.5, 0.1, 5, 1}, {{2, 4, 6, 8}, -0.5, 0.1, 5, 100}},
       [] {
         ImportOptions o;
         o.min_voltage = 0.01;
         return o;
       }(),
       {{"voltage below 0.01 V", 1}},
       1},
      {"negative apparent resistivities kept on request",
       {{{0, 2, 4, 6}, 0.5}, {{2, 4, 6, 8}, -0.5}},
       [] {
         ImportOptions o;
         o.keep_negative = true;
         return o;
       }(),
       {},
       2},
      {"geometry",
       {{{0, 0, 4, 6}, 0.5}, {{0, 2, 2, 6}, 0.5}, {{0, 2, 6, 6}, 0.5}, {{0, 2, 4, 6}, 0}},
       ImportOptions{},
       {{"the two current electrodes at one place", 1},
        {"a current electrode on a potential electrode", 1},
        {"the two potential electrodes at one place", 1},
        {"a resistance of zero", 1}},
       0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    if (test.kept == 0) {
      TempFolder folder;
      const std::string file = folder.write("line.txt", testing::syscal_text(test.readings));
      Transcript transcript;
      EXPECT_THROW(import_field_data(transcript.io(), file, test.options), Stop);
      EXPECT_NE(transcript.console().find("is left (4 readings read), dropped:"), std::string::npos)
          << transcript.console();
      continue;
    }
    const ImportResult result = import(testing::syscal_text(test.readings), test.options);
    EXPECT_EQ(dropped(result), test.dropped);
    EXPECT_EQ(result.data.ndat, test.kept);
  }
}

TEST(FieldImport, ChargeabilitiesComeInMillivoltsPerVolt) {
  const struct {
    const char* name;
    const char* file;
    const char* content;
    double value;
    const char* unit;
  } cases[] = {
      {"percent", "a.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r ip/%\n1 2 3 4 -0.5 1.25\n", 12.5, "mV/V"},
      {"ms over the file's window", "b.dat",
       "t\n1\n11\n0\nT\n1\n1\n0\n1\nCharge\nmsec\n0.1,0.5\n4 0 0 1 0 2 0 3 0 -0.5 3\n0\n", 6,
       "mV/V"},
      {"ms without a window", "c.txt",
       "A(x)\tB(x)\tM(x)\tN(x)\tR(Ohm)\tApp.Ch.(ms)\n0\t1\t2\t3\t-0.5\t3\n", 3, "ms"},
      {"phase", "d.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r ip\n1 2 3 4 -0.5 -7\n", -7, "mrad"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const ImportResult result = import(test.content, ImportOptions{}, test.file);
    ASSERT_TRUE(result.ip.has_value());
    EXPECT_EQ(result.ip->dobs[0], test.value);
    EXPECT_EQ(result.ip->iptype[0], 1);
    EXPECT_EQ(result.chargeability_unit, test.unit);
  }
}

TEST(FieldImport, ErrorOptionsGiveEveryDatumItsDeviation) {
  std::vector<SyscalReading> readings = {{{0, 2, 4, 6}, -0.5, 0.1, 10, 200},
                                         {{2, 4, 6, 8}, -2.0, 0.1, 4, 50}};
  ImportOptions options;
  options.error_percent = 3;
  options.error_floor = 0.01;
  options.error_voltage = 1e-4;
  options.ip_error_percent = 10;
  options.ip_error_floor = 0.5;
  const ImportResult result = import(testing::syscal_text(readings), options);
  ASSERT_TRUE(result.data_stds && result.ip_stds);
  EXPECT_NEAR(std_of(result.data, 0), 0.03 * 0.5 + 0.01 + 1e-4 / 0.2, 1e-15);
  EXPECT_NEAR(std_of(result.data, 1), 0.03 * 2.0 + 0.01 + 1e-4 / 0.05, 1e-15);
  EXPECT_NEAR(std_of(*result.ip, 0), 0.1 * 10 + 0.5, 1e-15);
  EXPECT_NEAR(std_of(*result.ip, 1), 0.1 * 4 + 0.5, 1e-15);
}

TEST(FieldImport, FormatsAreToldFromTheirContentAndAnUnknownOneIsRefused) {
  const struct {
    const char* content;
    FieldFormat format;
  } cases[] = {
      {"4 # electrodes\n0 0\n1 0\n2 0\n3 0\n1\n1 2 3 4 100\n", FieldFormat::unified},
      {"\n1.0\n3\n1\n0\n0\n0 1 1 12.5\n0\n", FieldFormat::dat2d},  // a blank title
      {"El-array,xA(m),xB(m),xM(m),xN(m),Rho (Ohm.m)\nDD,0,1,2,3,50\n", FieldFormat::syscal},
      {"A(x)\tB(x)\tM(x)\tN(x)\tR(Ohm)\n0\t1\t2\t3\t-0.5\n", FieldFormat::terrameter},
      {"1\n1 1 2 3 4 -0.5\n", FieldFormat::protocol},
      // Both a count first: five whole numbers on the next line make it a protocol file.
      {"2\n1 1 2 3 4\n2 2 3 4 5\n", FieldFormat::protocol},
  };
  for (const auto& test : cases) {
    TempFolder folder;
    const std::string file = folder.write("field.txt", test.content);
    Transcript transcript;
    const FieldSurvey survey = read_field_file(transcript.io(), file, std::nullopt);
    EXPECT_EQ(survey.format, test.format) << test.content;
    EXPECT_EQ(survey.notes[0].rfind("format: ", 0), 0u);
  }
  TempFolder folder;
  const std::string file = folder.write("notes.txt", "field notes\nsunny, 12 degrees\n");
  Transcript transcript;
  EXPECT_THROW(read_field_file(transcript.io(), file, std::nullopt), Stop);
  EXPECT_EQ(transcript.console(),
            "\nError: the format of " + file +
                " is not recognised:\n"
                "  syscal-binary: the first 4 bytes (0x6C656966) are no version word of a Syscal "
                "Pro .bin or .binx file\n"
                "  prime: line 1 is no '# Prime:' banner, and no line among the first 64 names "
                "pt_c1_no:, pt_p1_no: and pt_calc_res:\n"
                "  ohmpi: line 1 is no comma-separated header with A, B, M, N and R [ohm] (or Vmn "
                "[mV] and I [mA])\n"
                "  sting: line 1 is no SuperSting header (Advanced Geosciences ... SuperSting) or "
                "record\n"
                "  lippmann: line 1 does not start with '*'\n"
                "  ares: line 1 is no 'Name: value' setting\n"
                "  das1: no #elec_start or #data_start line in the first 400 lines\n"
                "  electra: no '#Created by Electra Manager' title, nor '#Original file' followed "
                "by an .electra name, in the first 16 lines\n"
                "  unified: line 1 holds no electrode count\n"
                "  dat2d: line 2 holds no electrode spacing\n"
                "  lund: line 2 holds no first station coordinate\n"
                "  syscal: line 1 is no header with Spa.1 (or xA) and Rho (or Vp, VMN)\n"
                "  terrameter: no line among the first 1000 is a header with A(x) and M(x)\n"
                "  protocol: line 1 holds no measurement count alone\n"
                "Give --format with one of syscal-binary, prime, ohmpi, sting, lippmann, ares, "
                "das1, electra, unified, dat2d, lund, syscal, terrameter, protocol.\n");
  // A file that fits a signature but not its reader: the reader's own reason.
  const std::string broken = folder.write("broken.ohm", "4\n0 0\n1 0\n");
  Transcript second;
  EXPECT_THROW(read_field_file(second.io(), broken, std::nullopt), Stop);
  EXPECT_NE(second.console().find(
                "  unified: line 3: the file ends after 2 of the 4 electrode positions\n"),
            std::string::npos)
      << second.console();
}

TEST(FieldImport, WritesTheFilesThatReadBackAndRemovesStaleOnes) {
  TempFolder folder;
  const std::string input = folder.write("hill.ohm",
                                         "4\n# x z\n0 10\n2 10.5\n4 11\n6 10\n"
                                         "2\n# a b m n r err/Ohm ip/mV/V iperr\n"
                                         "1 2 3 4 -0.125 0.005 7.5 0.5\n"
                                         "1 4 2 3 0.375 0.01 6.25 0.25\n");
  const std::string out = folder.file("out");
  std::filesystem::create_directories(out);
  Transcript transcript;
  const ImportResult result = import_field_data(transcript.io(), input, ImportOptions{});
  write_import(transcript.io(), out, result);
  SurveyData dc, ip;
  read_data_file(transcript.io(), out + "/data.dat", false, false, true, dc);
  read_data_file(transcript.io(), out + "/ip.dat", false, false, false, ip);
  ASSERT_EQ(dc.ndat, 2);
  EXPECT_EQ(value_of(dc, 0), -0.125);
  EXPECT_EQ(std_of(dc, 0), 0.005);
  EXPECT_EQ(value_of(dc, 1), 0.375);
  EXPECT_EQ(std_of(dc, 1), 0.01);
  EXPECT_EQ(dc.xa_file, (std::vector<double>{0, 0}));
  EXPECT_EQ(dc.xb_file, (std::vector<double>{2, 6}));
  EXPECT_EQ(value_of(ip, 1), 6.25);
  EXPECT_EQ(std_of(ip, 1), 0.25);
  EXPECT_EQ(testing::read_file(out + "/topography.topo"),
            "4 11    points, reference elevation (z = reference - elevation)\n"
            "0 10\n2 10.5\n4 11\n6 10\n");
  EXPECT_EQ(testing::read_file(out + "/import.log"), result.log);

  // A flat file without IP in the same folder leaves no ip.dat or topography.topo behind.
  const std::string flat = folder.write("flat.ohm", "4\n0\n2\n4\n6\n1\n1 2 3 4 50\n");
  write_import(transcript.io(), out, import_field_data(transcript.io(), flat, ImportOptions{}));
  EXPECT_FALSE(std::filesystem::exists(out + "/ip.dat"));
  EXPECT_FALSE(std::filesystem::exists(out + "/topography.topo"));
  EXPECT_TRUE(std::filesystem::exists(out + "/data.dat"));
}

}  // namespace
}  // namespace quelby
