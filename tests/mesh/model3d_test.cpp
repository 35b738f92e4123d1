#include "quelby/mesh/model3d.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/stops.hpp"
#include "tests/support/mutations.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

Mesh3D unit_mesh(const Io& io, int nx, int ny, int nz) {
  std::vector<double> x, y, z;
  for (int i = 0; i <= nx; ++i) x.push_back(i);
  for (int j = 0; j <= ny; ++j) y.push_back(j);
  for (int k = 0; k <= nz; ++k) z.push_back(k);
  return make_mesh3d(io, x, y, z);
}

TEST(Model3D, ReadsValuesXFastestThenYThenZWithRepeatCounts) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = unit_mesh(transcript.io(), 3, 2, 2);
  const std::string path = folder.write("a.mod", "3 2 2\n1 2 3\n4,5,6\n3*7 2*8\n9 1d1\n");
  std::vector<double> values;
  read_model3d(transcript.io(), mesh, path, "model", values);
  EXPECT_EQ(values, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 7, 7, 8, 8, 9}));
  EXPECT_EQ(values[static_cast<std::size_t>(mesh.cell(2, 1, 1))], 9);
  EXPECT_EQ(transcript.log(), "model was read from file: " + path + "\n");
}

TEST(Model3D, WrittenModelsReadBackAsTheirFieldsRead) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = unit_mesh(transcript.io(), 4, 3, 2);
  std::vector<double> values;
  for (int c = 0; c < 24; ++c) values.push_back(std::pow(1.7, c - 12) * (c % 3 == 0 ? -1 : 1));
  values[5] = 1e-100;
  values[6] = std::numeric_limits<double>::infinity();
  const std::string path = folder.file("round.mod");
  write_model3d(transcript.io(), mesh, path, values);
  const std::string text = read_file(path);
  // The header, then one line per row along y of each layer.
  EXPECT_EQ(text.substr(0, 16), "    4    3    2\n");
  EXPECT_EQ(text.size(), 16u + 6u * (4u * 13u + 1u));
  std::vector<double> back;
  read_model3d(transcript.io(), mesh, path, "model", back);
  ASSERT_EQ(back.size(), values.size());
  for (std::size_t c = 0; c < values.size(); ++c) {
    // Each value reads back as its written field reads: to 6 significant digits.
    char field[e13_5_width];
    format_e13_5(values[c], field);
    std::string_view token(field, e13_5_width);
    token.remove_prefix(token.find_first_not_of(' '));
    double expected = 0;
    ASSERT_EQ(parse_real(token, expected), ReadErrorKind::none) << token;
    EXPECT_EQ(back[c], expected) << c;
    if (std::isfinite(values[c])) {
      EXPECT_NEAR(back[c] / values[c], 1, 5e-6) << c;
    }
  }
  EXPECT_EQ(back[6], values[6]);
}

TEST(Model3D, HeaderCountsAlwaysReadBackAsThree) {
  struct Case {
    int nx, ny, nz;
    const char* header;
  };
  const std::vector<Case> cases = {
      {3, 2, 1, "    3    2    1\n"},        {1, 10000, 1, "    1 10000    1\n"},
      {1, 1, 10000, "    1    1 10000\n"},   {10000, 1, 1, "10000    1    1\n"},
      {123456, 1, 1, " 123456    1    1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    TempFolder folder;
    Transcript transcript;
    const Mesh3D mesh = unit_mesh(transcript.io(), c.nx, c.ny, c.nz);
    const std::vector<double> values(static_cast<std::size_t>(mesh.cell_count()), 2.5);
    const std::string path = folder.file("h.mod");
    write_model3d(transcript.io(), mesh, path, values);
    const std::string text = read_file(path);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), c.header);
    std::vector<double> back;
    read_model3d(transcript.io(), mesh, path, "model", back);
    EXPECT_EQ(back, values);
  }
}

TEST(Model3D, RefusesWrongCountsAndMissingValues) {
  struct Case {
    const char* what;
    const char* content;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"a 2-D model's header", "3 2\n6*1\n", "Error reading model model file "},
      {"counts of another mesh", "3 1 2\n6*1\n", "Error: inconsistent dimension in "},
      {"counts in another order", "2 3 1\n6*1\n", "Error: inconsistent dimension in "},
      {"a value missing", "3 2 1\n5*1\n", "Error reading model model file "},
      {"a value that is no number", "3 2 1\n1 2 3 4 x 6\n", "Error reading model model file "},
      {"a real count", "3.0 2 1\n6*1\n", "Error reading model model file "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    Transcript transcript;
    const Mesh3D mesh = unit_mesh(transcript.io(), 3, 2, 1);
    const std::string path = folder.write("bad.mod", c.content);
    std::vector<double> values;
    EXPECT_THROW(read_model3d(transcript.io(), mesh, path, "model", values), Stop);
    EXPECT_NE(transcript.console().find(c.message + path + "\n"), std::string::npos)
        << transcript.console();
  }
}

TEST(Model3D, DamagedFilesGiveAModelOrAMessage) {
  TempFolder folder;
  Transcript transcript;
  const Mesh3D mesh = unit_mesh(transcript.io(), 3, 2, 2);
  for (const std::string& text :
       testing::mutations("3 2 2\n1 2 3\n4,5,6\n3*7 2*8\n9 1d1\n", 300, 4)) {
    const std::string path = folder.write("m.mod", text);
    std::vector<double> values;
    if (testing::read_or_message(
            text, [&](const Io& io) { read_model3d(io, mesh, path, "model", values); })) {
      EXPECT_EQ(values.size(), 12u) << text;
    }
  }
}

}  // namespace
}  // namespace quelby
