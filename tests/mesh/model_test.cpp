#include "quelby/mesh/model.hpp"
#include "quelby/base/stops.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
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

struct Refusal {
  bool stopped = false;
  std::string detail;
  std::string console;
  std::string error;
};

Refusal read_refused(const Mesh& mesh, const std::string& path) {
  Refusal refusal;
  Transcript transcript;
  Model model(mesh.nx, mesh.nz);
  try {
    read_model(transcript.io(), mesh, path, "model", model);
  } catch (const Stop& stop) {
    refusal.stopped = true;
    refusal.detail = stop.detail();
  }
  refusal.console = transcript.console();
  refusal.error = transcript.error();
  return refusal;
}

// Each refusal of a model file carries the line of its first fault and what it is; the messages
// on the streams stay exactly those without a detail.
TEST(ModelFile, DetailsNameTheLineAndTheFault) {
  struct Case {
    const char* file;
    std::string text;
    std::string detail;
    bool dimension;  // the inconsistent-dimension message rather than the read error
  };
  const std::string five_by_three = "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n";
  const Case cases[] = {
      {"typo.mod", "5 3\n1 2 3 4 5\n6 7 8 9 10\n11 12 13 1OO 15\n",
       "typo.mod:4: '1OO' is not a number", false},
      {"short.mod", "5 3\n1 2 3\n4 5\n6 7 8\n9 10\n11 12\n13 14\n",
       "short.mod:7: 14 values, 15 expected", false},
      {"wrongdim.mod", "4 3\n" + five_by_three, "wrongdim.mod:1: 4 x 3 cells, the mesh has 5 x 3",
       true},
      {"split.mod", "5\n\n2\n" + five_by_three, "split.mod:3: 5 x 2 cells, the mesh has 5 x 3",
       true},
      {"empty.mod", "", "empty.mod:1: 0 values, 2 expected", false},
      {"header.mod", "5.0 3\n" + five_by_three, "header.mod:1: '5.0' is not an integer", false},
      {"huge.mod", "5 99999999999\n", "huge.mod:1: '99999999999' is out of range", false},
      {"repeat.mod", "5 3\n1 2 3 4 5\n0*4 2\n", "repeat.mod:3: '0*4' is not a number", false},
      {"badrepeat.mod", "5 3\n1 2 3 4 5\n3*x 2\n", "badrepeat.mod:3: '3*x' is not a number", false},
      {"twice.mod", "5 3\n1 2 3 4 5\n6 7 x8 9 10\n11 12 13 y 15\n",
       "twice.mod:3: 'x8' is not a number", false},
      {"nulls.mod", "5 3\n1 ,, 3*, 2*7\r\n8 9 10\n11 12 13 14\n",
       "nulls.mod:4: 14 values, 15 expected", false},
  };
  TempFolder folder;
  const Mesh mesh = unit_mesh(5, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = folder.write(c.file, c.text);
    const Refusal refusal = read_refused(mesh, path);
    ASSERT_TRUE(refusal.stopped);
    EXPECT_EQ(refusal.detail, path.substr(0, path.size() - std::string(c.file).size()) + c.detail);
    EXPECT_EQ(refusal.console, c.dimension ? "\nError: inconsistent dimension in " + path + "\n"
                                           : "\nError reading model model file " + path + "\n");
    EXPECT_EQ(refusal.error, "");
  }
}

// Large models broken in several places, read on both cores: the detail names the first bad
// value, wherever the parts were split.
TEST(ModelFile, DetailsNameTheFirstOfSeveralFaults) {
  TempFolder folder;
  std::mt19937 random(4242);
  const Mesh mesh = unit_mesh(400, 300);
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<std::string> lines(300);
    for (std::size_t k = 0; k < lines.size(); ++k)
      for (int i = 0; i < 400; ++i) lines[k] += std::to_string(k * 400 + i) + ".25 ";
    const auto first_line = std::uniform_int_distribution<std::size_t>(0, 299)(random);
    lines[first_line] += "bad" + std::to_string(trial) + " ";
    for (int extra = 0; extra < 3; ++extra) {
      const auto later = std::uniform_int_distribution<std::size_t>(first_line, 299)(random);
      lines[later] = "worse " + lines[later];
    }
    std::string text = "400 300\n";
    for (const std::string& line : lines) text += line + "\n";
    const std::string path = folder.write("broken.mod", text);
    const Refusal refusal = read_refused(mesh, path);
    ASSERT_TRUE(refusal.stopped);
    // A "worse" put in front of the first bad line comes first on that line.
    const bool worse_first = lines[first_line].rfind("worse ", 0) == 0;
    EXPECT_EQ(refusal.detail,
              path + ":" + std::to_string(first_line + 2) + ": '" +
                  (worse_first ? std::string("worse") : "bad" + std::to_string(trial)) +
                  "' is not a number");
  }
}

// A refused token reaches the detail with its control characters written as \xNN and cut after
// 40 characters, so that a detail is one short line whatever the file holds.
TEST(ModelFile, DetailsEscapeAndCutTheRefusedToken) {
  const struct {
    const char* file;
    std::string token;
    std::string shown;
  } cases[] = {
      {"escape.mod", std::string("\x1b[31mX\r\0Y", 9), "\\x1B[31mX\\x0D\\x00Y"},
      {"long.mod", std::string(5000, 'z'), std::string(40, 'z') + "..."},
      {"bell.mod", "1.5\a", "1.5\\x07"},
  };
  TempFolder folder;
  const Mesh mesh = unit_mesh(3, 2);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = folder.write(c.file, "3 2\n1 2 3\n4 " + c.token + " 6\n");
    const Refusal refusal = read_refused(mesh, path);
    ASSERT_TRUE(refusal.stopped);
    EXPECT_EQ(refusal.detail, path + ":3: '" + c.shown + "' is not a number");
    EXPECT_EQ(refusal.console, "\nError reading model model file " + path + "\n");
    EXPECT_EQ(refusal.error, "");
  }
}

// A model written on one line of text reads to the same bits as the same values on many lines,
// and a value cut by the end of its line is refused the same way.
TEST(ModelFile, OneLineReadsLikeManyLines) {
  constexpr int nx = 2000;
  constexpr int nz = 1000;
  std::string one_line = "2000 1000\n";
  std::string many_lines = one_line;
  for (int k = 0; k < nz; ++k) {
    for (int i = 0; i < nx; ++i) {
      const std::string value = std::to_string((k * 7919 + i * 104729) % 1000003) + ".25e-3";
      one_line += value + ' ';
      many_lines += value + (i + 1 < nx ? ' ' : '\n');
    }
  }
  TempFolder folder;
  const Mesh mesh = unit_mesh(nx, nz);
  Read from_one;
  read(mesh, folder.write("one.mod", one_line + "\n"), from_one);
  Read from_many;
  read(mesh, folder.write("many.mod", many_lines), from_many);
  ASSERT_FALSE(from_one.stopped);
  ASSERT_FALSE(from_many.stopped);
  EXPECT_TRUE(std::equal(
      from_one.model.values().begin(), from_one.model.values().end(),
      from_many.model.values().begin(), from_many.model.values().end(), [](double a, double b) {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
      }));
  EXPECT_EQ(from_one.model.data()[1], 104729.25e-3);
  // The last value missing: the one line is line 2 either way.
  one_line.resize(one_line.rfind(' ', one_line.size() - 2) + 1);
  const std::string short_path = folder.write("short.mod", one_line);
  EXPECT_EQ(read_refused(mesh, short_path).detail,
            short_path + ":2: 1999999 values, 2000000 expected");
}

// A bad value at the start of a line without end is refused once it is read: the reader holds a
// window of the line, not the line. The line comes through a pipe whose writer offers 64 MiB more
// after the fault and counts what was taken before the reader closed the pipe.
TEST(ModelFile, RefusesALongLineAtItsFirstFault) {
  TempFolder folder;
  const std::string path = folder.file("endless.mod");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  constexpr std::size_t offered = std::size_t{64} << 20;
  std::size_t written = 0;
  std::thread writer([&] {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) return;
    std::string block = "2000 1000\n1.5 2.5 x\x1b ";
    while (block.size() < (std::size_t{1} << 16)) block += "1.25 ";
    while (written < offered) {
      const ssize_t count = ::write(descriptor, block.data(), block.size());
      if (count <= 0) break;
      written += static_cast<std::size_t>(count);
      block.assign(1 << 16, ' ');
    }
    ::close(descriptor);
  });
  const Refusal refusal = read_refused(unit_mesh(2000, 1000), path);
  writer.join();
  std::signal(SIGPIPE, previous);
  EXPECT_TRUE(refusal.stopped);
  EXPECT_EQ(refusal.detail, path + ":2: 'x\\x1B' is not a number");
  EXPECT_LT(written, std::size_t{4} << 20);
}

}  // namespace
}  // namespace quelby
