#include "quelby/mesh/model.hpp"
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"
#include "tests/support/unit_mesh.hpp"

namespace quelby {
namespace {

using testing::read_file;
using testing::TempFolder;
using testing::Transcript;
using testing::unit_mesh;

std::string numbered_values(int count, const std::string& separator) {
  std::string text;
  for (int j = 1; j <= count; ++j) text += std::to_string(j) + ".5" + separator;
  return text;
}

struct Read {
  bool stopped = false;
  Transcript transcript;
  Model model;
};

void read(const Mesh& mesh, const std::string& path, Read& result,
          const std::string& label = "model") {
  result.model = Model(mesh.nx, mesh.nz);
  try {
    read_model(result.transcript.io(), mesh, path, label, result.model);
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    result.stopped = true;
  }
}

TEST(ModelFile, ReadsValuesInAnyLayout) {
  const Mesh mesh = unit_mesh(40, 20);
  std::string per_row;
  for (int k = 0; k < 20; ++k) {
    for (int i = 1; i <= 40; ++i) per_row += std::to_string(k * 40 + i) + ".5 ";
    per_row += '\n';
  }
  const std::string layouts[] = {
      "40 20\n" + numbered_values(800, "\n"),
      "   40   20 notes\n" + per_row,
      "40\n20\n" + numbered_values(800, " "),
      "40,20\n" + numbered_values(800, ",") + numbered_values(5, " "),  // extra values are ignored
      "40 20 1.5 2.5\n" + numbered_values(800, " "),  // values on the header line are skipped
  };
  for (const std::string& content : layouts) {
    TempFolder folder;
    const std::string path = folder.write("m.mod", content);
    Read result;
    read(mesh, path, result);
    ASSERT_FALSE(result.stopped) << result.transcript.console();
    for (int j = 0; j < 800; ++j) ASSERT_EQ(result.model.data()[j], j + 1.5);
    EXPECT_EQ(result.transcript.console(), "");
    EXPECT_EQ(result.transcript.log(), "model was read from file: " + path + "\n");
  }
}

TEST(ModelFile, EveryFailureWritesItsMessage) {
  const Mesh mesh = unit_mesh(40, 20);
  const std::string read_error = "\nError reading model model file NAME\n";
  const struct {
    std::string what;
    std::string content;
    std::string text;
  } cases[] = {
      {"empty file", "", read_error},
      {"799 values", "40 20\n" + numbered_values(799, " "), read_error},
      {"header and values on one line only", "40 20 " + numbered_values(800, " "), read_error},
      {"letters among values",
       "40 20\n" + numbered_values(400, " ") + "abc " + numbered_values(400, " "), read_error},
      {"lone sign", "40 20\n- " + numbered_values(800, " "), read_error},
      {"header count 40.0", "40.0 20\n" + numbered_values(800, " "), read_error},
      {"one header count", "40\n", read_error},
      {"transposed header", "20 40\n" + numbered_values(800, " "),
       "\nError: inconsistent dimension in NAME\n"},
      {"wrong rows", "40 21\n" + numbered_values(840, " "),
       "\nError: inconsistent dimension in NAME\n"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    const std::string path = folder.write("m.mod", c.content);
    Read result;
    read(mesh, path, result);
    std::string expected = c.text;
    expected.replace(expected.find("NAME"), 4, path);
    EXPECT_TRUE(result.stopped) << c.what;
    EXPECT_EQ(result.transcript.console(), expected) << c.what;
    EXPECT_EQ(result.transcript.log(), expected) << c.what;
    EXPECT_EQ(result.transcript.order(), (std::vector<std::string>{"console", "log"})) << c.what;
  }
}

TEST(ModelFile, LabelNamesTheModelInEveryMessage) {
  const Mesh mesh = unit_mesh(2, 1);
  TempFolder folder;
  Read missing;
  read(mesh, folder.file("absent.mod") + "  ", missing, "reference  ");
  EXPECT_EQ(missing.transcript.console(),
            "\n ERROR: reference file not found: " + folder.file("absent.mod") + "\n");
  Read bad;
  const std::string path = folder.write("bad.mod", "2 1\nx y\n");
  read(mesh, path, bad, "reference");
  EXPECT_EQ(bad.transcript.console(), "\nError reading reference model file " + path + "\n");
  Read good;
  read(mesh, folder.write("good.mod", "2 1\n5 6\n"), good, "reference");
  EXPECT_EQ(good.transcript.log(),
            "reference was read from file: " + folder.file("good.mod") + "\n");
  EXPECT_EQ(good.model.data()[0], 5.0);
}

TEST(ModelFile, WritesFixedWidthFields) {
  const Mesh mesh = unit_mesh(3, 2);
  Model model(3, 2);
  const double values[] = {123.456, -0.00123456, 0, 1e-100, -0.0, 9.999996};
  std::copy(std::begin(values), std::end(values), model.data());
  Transcript transcript;
  TempFolder folder;
  const std::string path = folder.file("out.mod");
  write_model(transcript.io(), mesh, path, model);
  EXPECT_EQ(read_file(path),
            "    3    2\n"
            "  1.23456E+02 -1.23456E-03  0.00000E+00\n"
            "  1.00000-100 -0.00000E+00  1.00000E+01\n");
  EXPECT_EQ(transcript.console() + transcript.log() + transcript.error(), "");

  Model specials(3, 2);
  const double inf = std::numeric_limits<double>::infinity();
  const double more[] = {std::nan(""), -std::nan(""), inf, -inf, std::log(-1.0), 4.9e-324};
  std::copy(std::begin(more), std::end(more), specials.data());
  write_model(transcript.io(), mesh, path, specials);
  EXPECT_EQ(read_file(path),
            "    3    2\n"
            "          NaN          NaN     Infinity\n"
            "    -Infinity          NaN  4.94066-324\n");
}

// A count too wide for its 5 columns is written in full after a blank, and a second count that
// fills its field gets a blank before it, so the file reads back (counts of 4 digits or less keep
// their fields); the one-row and one-column shapes take the writer's two block layouts.
TEST(ModelFile, HeaderCountsTooWideForTheirFieldsAreWrittenInFullAndReadBack) {
  const struct {
    std::int32_t nx;
    std::int32_t nz;
    std::string header;
  } cases[] = {{99999, 1, "99999    1\n"},
               {100000, 2, " 100000    2\n"},
               {123456, 1, " 123456    1\n"},
               {1, 100000, "    1 100000\n"},
               {40, 10000, "   40 10000\n"},
               {10000, 2, "10000    2\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const Mesh mesh = unit_mesh(c.nx, c.nz);
    Model model(c.nx, c.nz);
    for (std::size_t j = 0; j < model.size(); ++j)
      model.data()[j] = 1.0 + static_cast<double>(j % 997);
    Transcript transcript;
    TempFolder folder;
    const std::string path = folder.file("wide.mod");
    write_model(transcript.io(), mesh, path, model);
    const std::string text = read_file(path);
    EXPECT_EQ(text.substr(0, c.header.size()), c.header);
    EXPECT_EQ(text.size(), c.header.size() + model.size() * 13 + static_cast<std::size_t>(c.nz));
    Read back;
    read(mesh, path, back);
    ASSERT_FALSE(back.stopped) << back.transcript.console();
    EXPECT_TRUE(
        std::equal(model.values().begin(), model.values().end(), back.model.values().begin()));
  }
}

TEST(ModelFile, WrittenFilesReadBackToSixDigits) {
  std::mt19937_64 random(99);
  std::normal_distribution<double> log_value(4.6, 3);
  const Mesh mesh = unit_mesh(37, 23);
  Model model(37, 23);
  for (double& v : model.values()) v = std::exp(log_value(random)) * (random() % 5 == 0 ? -1 : 1);
  const double specials[] = {0.0,
                             -0.0,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             1e-300,
                             1e300};
  std::copy(std::begin(specials), std::end(specials), model.data());
  model.data()[10] = std::nan("");
  TempFolder folder;
  Transcript transcript;
  const std::string path = folder.file("round.mod");
  write_model(transcript.io(), mesh, path, model);
  Read back;
  read(mesh, path, back);
  ASSERT_FALSE(back.stopped) << back.transcript.console();
  for (std::size_t j = 0; j < model.size(); ++j) {
    const double written = model.data()[j];
    const double read_back = back.model.data()[j];
    if (std::isnan(written)) {
      EXPECT_TRUE(std::isnan(read_back));
    } else if (std::isinf(written) || written == 0) {
      EXPECT_EQ(read_back, written);
      EXPECT_EQ(std::signbit(read_back), std::signbit(written));
    } else {
      EXPECT_NEAR(read_back / written, 1.0, 5.0000001e-6) << written;
    }
  }
  // The text is a fixed point: writing what was read gives the same bytes.
  const std::string first = read_file(path);
  write_model(transcript.io(), mesh, path, back.model);
  EXPECT_EQ(read_file(path), first);
}

TEST(ModelFile, FailedWritesLeaveNoFileAndAreReported) {
  const Mesh mesh = unit_mesh(2, 2);
  Model model(2, 2);
  TempFolder folder;
  const std::string cases[] = {folder.file("absent/out.mod"), folder.path().string() + "/sub"};
  std::filesystem::create_directory(folder.path() / "sub");  // an existing folder as the output
  for (const std::string& path : cases) {
    Transcript transcript;
    bool stopped = false;
    try {
      write_model(transcript.io(), mesh, path, model);
    } catch (const Stop& stop) {
      stopped = true;
      EXPECT_EQ(stop.status(), exit_failure);
    }
    EXPECT_TRUE(stopped) << path;
    const std::string error = transcript.error();
    EXPECT_EQ(error.find("Error: cannot write the model file " + path + ": "), 0u) << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_EQ(transcript.console(), "");
  }
  // Nothing but the folder made above is left behind.
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries, std::vector<std::string>{"sub"});
  EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "sub"));
}

TEST(ModelFile, ReplacesAnExistingFileWhole) {
  const Mesh mesh = unit_mesh(1, 1);
  Model model(1, 1);
  model.data()[0] = 2;
  TempFolder folder;
  const std::string path = folder.write("out.mod", std::string(10000, 'x'));
  Transcript transcript;
  write_model(transcript.io(), mesh, path, model);
  EXPECT_EQ(read_file(path), "    1    1\n  2.00000E+00\n");
}

}  // namespace
}  // namespace quelby

namespace quelby {
namespace {

TEST(ModelFile, ReplacingKeepsLinksPermissionsAndDevices) {
  const Mesh mesh = unit_mesh(1, 1);
  Model model(1, 1);
  model.data()[0] = 3;
  const std::string expected = "    1    1\n  3.00000E+00\n";
  TempFolder folder;
  Transcript transcript;

  // A link keeps pointing at its file, which gets the new content.
  const std::string target = folder.write("target.mod", "old");
  std::filesystem::create_directory(folder.path() / "links");
  const std::filesystem::path link = folder.path() / "links" / "link.mod";
  std::filesystem::create_symlink(target, link);
  write_model(transcript.io(), mesh, link.string(), model);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_file(target), expected);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path() / "links"),
                          std::filesystem::directory_iterator()),
            1);

  // A replaced file keeps its permissions.
  const std::string kept = folder.write("kept.mod", "old");
  std::filesystem::permissions(kept, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read);
  write_model(transcript.io(), mesh, kept, model);
  EXPECT_EQ(read_file(kept), expected);
  EXPECT_EQ(std::filesystem::status(kept).permissions(), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write |
                                                             std::filesystem::perms::group_read);

  // A device is written to, not replaced.
  write_model(transcript.io(), mesh, "/dev/null", model);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_EQ(transcript.error(), "");
}

}  // namespace
}  // namespace quelby
