#include "quelby/mesh/model_detail.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/model.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"
#include "tests/support/unit_mesh.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;
using testing::unit_mesh;

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
TEST(ModelReadDetail, NamesTheLineAndTheFault) {
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
  // A file that reads now gives no detail.
  EXPECT_EQ(model_read_detail(folder.write("fine.mod", "5 3\n" + five_by_three), 5, 3), "");
}

// Large models broken in several places, read on both cores: the detail names the first bad
// value, wherever the parts were split.
TEST(ModelReadDetail, NamesTheFirstOfSeveralFaults) {
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

}  // namespace
}  // namespace quelby
