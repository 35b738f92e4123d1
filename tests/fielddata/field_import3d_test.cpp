// The 3-D import: electrodes spread across the ground told from electrodes on one line, field
// files (the unified format with x y z, a protocol file placed by an electrode table with y,
// parallel lines in several files) imported as one 3-D survey file, byte for byte, and the
// options only a 2-D line has refused.
#include "quelby/fielddata/field_import3d.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/fielddata/unified_format.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

FieldSurvey survey_at(const std::vector<std::array<double, 2>>& points) {
  FieldSurvey survey;
  for (std::size_t i = 0; i + 3 < points.size() + 3; i += 4) {
    FieldReading reading;
    for (std::size_t role = 0; role < 4; ++role) {
      const auto& point = points[std::min(i + role, points.size() - 1)];
      reading.electrodes[role].x = point[0];
      reading.electrodes[role].y = point[1];
    }
    survey.readings.push_back(reading);
  }
  return survey;
}

TEST(FieldImport3D, TellsElectrodesSpreadAcrossTheGroundFromALine) {
  struct Case {
    const char* name;
    std::vector<std::array<double, 2>> points;
    bool spread;
  };
  const std::vector<Case> cases = {
      {"line along x", {{0, 0}, {1, 0}, {2, 0}, {3, 0}}, false},
      {"line along x at y = 5", {{0, 5}, {1, 5}, {2, 5}, {3, 5}}, false},
      {"diagonal line", {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, false},
      {"grid", {{0, 0}, {1, 0}, {0, 1}, {1, 1}}, true},
      {"two parallel lines",
       {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {0, 2}, {1, 2}, {2, 2}, {3, 2}},
       true},
      {"a line and a remote electrode far off it",
       {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {1, 500}},
       false},
      {"a line with one electrode 10 cm off", {{0, 0}, {1, 0}, {2, 0.1}, {3, 0}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(electrodes_spread_in_plane(survey_at(c.points)), c.spread);
  }
}

TEST(FieldImport3D, UnifiedFilesKeepY) {
  TempFolder folder;
  const std::string file = folder.write("grid.ohm",
                                        "3\n# x y z\n0 0 10\n1 2 9.5\n2 0 10\n1\n"
                                        "# a b m n r\n1 2 3 1 0.5\n");
  Transcript t;
  const FieldSurvey survey = read_unified_file(t.io(), file);
  ASSERT_EQ(survey.readings.size(), 1u);
  EXPECT_EQ(survey.readings[0].electrodes[1].y, 2);
  EXPECT_EQ(survey.readings[0].electrodes[1].elevation, 9.5);
}

TEST(FieldImport3D, WritesOneSurveyOfEveryReading) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;  // name, content
    const char* table;                                       // electrode table, or ""
    ImportOptions options;
    double line_offset;
    std::string expected;  // survey3d.dat after its two header lines
  };
  ImportOptions percent;
  percent.error_percent = 10;
  percent.error_floor = 0.5;
  ImportOptions protocol;
  protocol.format = FieldFormat::protocol;
  protocol.electrodes = "table.csv";
  const char* grid =
      "6\n# x y z\n0 0 100\n1 0 100\n2 0 99.5\n0 1 100\n1 1 100\n2 1 100\n5\n"
      "# a b m n r err\n"
      "1 2 3 6 0.5 0.02\n"     // dipole-dipole across the lines; relative error
      "1 0 4 5 1.25 0.01\n"    // current pole: B = A
      "0 4 2 3 -0.125 0.05\n"  // A missing: B takes its place, the sign turns
      "1 2 3 3 7 0.01\n"       // M and N at one place: dropped
      "4 5 6 0 0.25 0.01\n";   // potential pole: N = M
  const std::string rows_grid =
      "0 0 0 1 0 0 2 0 0.5 2 1 0 0.5 0.01\n"
      "0 0 0 0 0 0 0 1 0 1 1 0 1.25 0.0125\n"
      "0 1 0 0 1 0 1 0 0 2 0 0.5 0.125 0.00625\n"
      "0 1 0 1 1 0 2 1 0 2 1 0 0.25 0.0025\n";
  const std::vector<Case> cases = {
      {"unified grid with elevations", {{"grid.ohm", grid}}, "", {}, 0, rows_grid},
      {"own standard deviations",
       {{"grid.ohm", grid}},
       "",
       percent,
       0,
       "0 0 0 1 0 0 2 0 0.5 2 1 0 0.5 0.55\n"
       "0 0 0 0 0 0 0 1 0 1 1 0 1.25 0.625\n"
       "0 1 0 0 1 0 1 0 0 2 0 0.5 0.125 0.5125\n"
       "0 1 0 1 1 0 2 1 0 2 1 0 0.25 0.525\n"},
      {"two lines, one a file",
       {{"a.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r\n1 2 3 4 2\n"},
        {"b.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r\n4 3 2 1 -3\n"}},
       "",
       {},
       2.5,
       "0 0 0 1 0 0 2 0 0 3 0 0 2\n"
       "3 2.5 0 2 2.5 0 1 2.5 0 0 2.5 0 -3\n"},
      {"protocol file placed by a table with y",
       {{"protocol.dat", "2\n1 1 2 3 4 0.75\n2 3 4 1 2 -0.5\n"}},
       "label,x,y,z\n1,0,0,20\n2,0,1,20\n3,1,0,19\n4,1,1,19.75\n",
       protocol,
       0,
       "0 0 0 0 1 0 1 0 1 1 1 0.25 0.75\n"
       "1 0 1 1 1 0.25 0 0 0 0 1 0 -0.5\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    std::vector<std::string> inputs;
    for (const auto& [name, content] : c.files) inputs.push_back(folder.write(name, content));
    ImportOptions options = c.options;
    if (*c.table) options.electrodes = folder.write("table.csv", c.table);
    Transcript t;
    Import3DResult result;
    try {
      result = import_field_data3d(t.io(), inputs, options, c.line_offset);
      write_import3d(t.io(), folder.file("out"), "survey3d.dat", result);
    } catch (const Stop&) {
      FAIL() << t.console();
    }
    const std::string text = read_file(folder.file("out/survey3d.dat"));
    ASSERT_TRUE(text.starts_with("GENERAL_3D\n! quelby-import: ")) << text;
    const std::size_t body = text.find('\n', text.find('\n') + 1) + 1;
    EXPECT_EQ(text.substr(body), c.expected);
    EXPECT_EQ(read_file(folder.file("out/import.log")), result.log);
  }
}

TEST(FieldImport3D, RefusesWhatOnlyALineHas) {
  struct Case {
    const char* name;
    void (*set)(ImportOptions&);
    const char* message;
  };
  const std::vector<Case> cases = {
      {"reciprocal", [](ImportOptions& o) { o.reciprocal = true; }, "--reciprocal applies"},
      {"outliers", [](ImportOptions& o) { o.drop_outliers = true; }, "--drop-outliers applies"},
      {"numeric factors",
       [](ImportOptions& o) { o.geometric_factors = GeometricFactorChoice::numeric; },
       "--geometric-factor numeric applies"},
      {"dropped electrode", [](ImportOptions& o) { o.drop_electrodes = {1}; },
       "--drop-electrode applies"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    const std::vector<std::string> inputs{
        folder.write("a.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r\n1 2 3 4 2\n")};
    ImportOptions options;
    c.set(options);
    Transcript t;
    EXPECT_THROW(import_field_data3d(t.io(), inputs, options), Stop);
    EXPECT_NE(t.console().find(c.message), std::string::npos) << t.console();
  }
  // Every reading dropped: nothing to write.
  TempFolder folder;
  const std::vector<std::string> inputs{
      folder.write("a.ohm", "4\n0\n1\n2\n3\n1\n# a b m n r\n1 1 3 4 2\n")};
  Transcript t;
  EXPECT_THROW(import_field_data3d(t.io(), inputs, {}), Stop);
  EXPECT_NE(t.console().find("no datum is left"), std::string::npos);
}

}  // namespace
}  // namespace quelby
