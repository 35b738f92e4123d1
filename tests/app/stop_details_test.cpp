// Every reader's read-error and dimension stops carry a line of detail (file, line, what was
// expected and found), while their streams show exactly their messages and never the detail.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/dipping.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using Reader = std::function<void(const Io&, const std::string&)>;

struct Case {
  std::string what;
  std::string content;  // of the file "f.txt"
  std::string detail;   // with the folder's path left out
};

// Runs `read` on each case's file and compares the stop's detail. The streams must hold the stop's
// message and nothing of the detail.
void check_details(const std::vector<Case>& cases, const Reader& read) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempFolder folder;
    const std::string path = folder.write("f.txt", c.content);
    const std::string folder_prefix = path.substr(0, path.size() - 5);
    std::ostringstream console, error, log;
    const Io io{console, error, log};
    try {
      read(io, path);
      ADD_FAILURE() << "no stop";
    } catch (const Stop& stop) {
      ASSERT_TRUE(stop.detail().starts_with(folder_prefix)) << stop.detail();
      EXPECT_EQ(stop.detail().substr(folder_prefix.size()), c.detail);
      EXPECT_EQ(stop.detail().find('\n'), std::string::npos);
      for (const std::string& shown : {console.str(), error.str(), log.str()}) {
        EXPECT_EQ(shown.find(stop.detail()), std::string::npos) << shown;
      }
      EXPECT_NE((console.str() + error.str()).find(stop.what()), std::string::npos);
    }
  }
}

Mesh mesh_of(const std::string& text) {
  testing::TempFolder folder;
  std::ostringstream sink;
  const Io io{sink, sink, sink};
  Mesh mesh;
  load_mesh(io, folder.write("m.msh", text), mesh);
  return mesh;
}

// 3 columns and 2 rows of 10 m cells.
const Mesh& mesh_3x2() {
  static const Mesh mesh = mesh_of("1\n0 30 3\n1\n0 20 2\n");
  return mesh;
}

TEST(StopDetails, MeshFile) {
  check_details(
      {
          {"letters in a count", "1\n0 30 3\n1\n0 20 x2\n", "f.txt:4: 'x2' is not an integer"},
          {"a count with a point", "1\n0 30 3.0\n", "f.txt:2: '3.0' is not an integer"},
          {"letters in a position", "1\n0 3O 3\n", "f.txt:2: '3O' is not a number"},
          {"ends inside a segment", "1\n0 30 3\n1\n0 20\n", "f.txt:4: 2 values, 3 expected"},
          {"empty", "", "f.txt: the file is empty"},
          {"beyond 32 bits", "1\n0 30 3000000000\n",
           "f.txt:2: '3000000000' is beyond the 32-bit integer range"},
          {"a bad repeat count", "1\n0 30 0*3\n",
           "f.txt:2: '0*3' does not start with a repeat count"},
          {"a bad repeated value", "1\n0 30 2*x\n", "f.txt:2: '2*x' is not an integer"},
          {"not finite", "1\n0 inf 3\n", "f.txt:2: a position that is not a finite number"},
          {"a negative count", "2\n0 30 3\n40 -1\n1\n0 20 2\n", "f.txt:3: a segment of -1 cells"},
          {"no cells", "0\n1\n0 20 2\n", "f.txt: 0 x 2 cells"},
          {"decreasing x", "2\n0 30 3\n20 1\n1\n0 20 2\n",
           "f.txt:3: a segment from 30 to 20 makes cells -10 wide"},
          {"decreasing z", "1\n0 30 3\n1\n5 0 2\n",
           "f.txt:4: a segment from 5 to 0 makes cells -2.5 wide"},
      },
      [](const Io& io, const std::string& path) {
        Mesh mesh;
        load_mesh(io, path, mesh);
      });
}

TEST(StopDetails, TopographyFile) {
  check_details(
      {
          {"a bad count", "two 100\n0 90\n", "f.txt:1: 'two' is not an integer"},
          {"too few points", "3 100\n0 90\n10 90\n", "f.txt:3: 0 values, 2 expected"},
          {"half a point", "2 100\n0 90\n10\n", "f.txt:3: 1 value, 2 expected"},
          {"no points", "0 100\n", "f.txt:1: 0 points"},
          {"x going back", "3 100\n0 90\n20 90\n10 90\n", "f.txt:4: x 10 after x 20"},
          {"not finite", "1 100\n0 nan\n", "f.txt:2: a value that is not a finite number"},
      },
      [](const Io& io, const std::string& path) {
        Topography topography;
        read_topography(io, true, path, mesh_3x2().x_nodes, mesh_3x2().z_nodes, topography);
      });
}

TEST(StopDetails, ActiveCellFile) {
  check_details(
      {
          {"other dimensions", "3 3\n9*1\n", "f.txt:1: 3 x 3 cells, the mesh has 3 x 2"},
          {"too few flags", "3 2\n1 1 1\n1 1\n", "f.txt:3: 5 values, 6 expected"},
          {"a bad flag", "3 2\n1 1 1\n1 y 1\n", "f.txt:3: 'y' is not an integer"},
          {"a flag out of range", "3 2\n1 1 1\n1 1 2\n", "f.txt: the flag of column 3, row 2 is 2"},
      },
      [](const Io& io, const std::string& path) {
        const Mesh mesh = mesh_3x2();
        Topography none;
        read_topography(io, false, "", mesh.x_nodes, mesh.z_nodes, none);
        ActiveCells cells;
        read_active_cells(io, mesh, none, path, cells);
      });
}

TEST(StopDetails, WeightFiles) {
  check_details(
      {
          {"other dimensions", "2 2\n", "f.txt:1: 2 x 2 cells, the mesh has 3 x 2"},
          {"a short x block", "3 2\n6*1\n3*1\n", "f.txt:3: 3 values, 4 expected"},
          {"a bad value", "3 2\n6*1\n4*1\n1 1 w 1\n", "f.txt:4: 'w' is not a number"},
          {"an older layout", "3 2\n6*1\n4*1\n3*1\n6*1\n",
           "f.txt:5: the value 1 after the z weights block"},
      },
      [](const Io& io, const std::string& path) {
        Model s(3, 2), x(3, 2), z(3, 2);
        read_weights_file(io, mesh_3x2(), path, s, x, z);
      });
  check_details(
      {
          {"a block too wide", "4 2\n8*1\n", "f.txt:1: 4 x 2 cells, the array holds 3 x 2"},
          {"a short block", "2 2\n1 2 3\n", "f.txt:2: 3 values, 4 expected"},
      },
      [](const Io& io, const std::string& path) {
        Model s(3, 2);
        read_weight_file(io, path, "S weights", s);
      });
}

TEST(StopDetails, DippingFile) {
  check_details(
      {
          {"a short background line", "1 1 1\n", "f.txt:1: 3 values, 4 expected"},
          {"no zones", "1 1 1 0\n0\n", "f.txt:2: 0 zones"},
          {"a zone without points", "1 1 1 0\n1\n1 1 1 30 0\n", "f.txt:3: zone 2 has 0 points"},
          {"a bad vertex", "1 1 1 0\n1\n1 1 1 30 3\n0 0\n10 q\n", "f.txt:5: 'q' is not a number"},
          {"a vertex not finite", "1 1 1 0\n1\n1 1 1 30 1\ninf 0\n",
           "f.txt:4: a position that is not a finite number"},
      },
      [](const Io& io, const std::string& path) {
        std::vector<std::int32_t> zone_idx(6);
        std::int32_t nzone = 0;
        DippingZones zones;
        read_dipping(io, mesh_3x2(), AlphaCoefficients{1, 1, 1}, 1, path, zone_idx, nzone, zones);
      });
}

TEST(StopDetails, SurveyDataFiles) {
  check_details(
      {
          {"five values where the first line has six",
           "header\n0 10 20 30 1.5 0.1\n1 10 20 30 1.5\n", "f.txt:3: 5 values, 6 expected"},
          {"letters in a position", "header\n! a note\n0 10 2O 30 1.5\n",
           "f.txt:3: '2O' is not a number"},
          {"a bad standard deviation", "header\n0 10 20 30 1.5 -0.1\n",
           "f.txt:2: a standard deviation of -0.1"},
          {"an IPTYPE line at the end", "header\n0 10 20 30 1.5\nIPTYPE=0\n",
           "f.txt:3: the file ends where one more line was expected"},
          {"no data", "header\n\n! nothing\n", "f.txt: 0 current pairs, 0 data"},
          {"the common-current layout, a short file", "COMMON_CURRENT\n1\n0 10 2\n20 30 1.5\n",
           "f.txt:4: the file ends where one more line was expected"},
          {"the common-current layout, a bad count", "COMMON_CURRENT\n1\n0 10 two\n",
           "f.txt:3: 'two' is not an integer"},
          {"the common-current layout, a short line", "COMMON_CURRENT\n1\n0 10 1\n20\n",
           "f.txt:4: 1 value, 2 expected"},
          {"empty", "", "f.txt: the file is empty"},
      },
      [](const Io& io, const std::string& path) {
        SurveyData data;
        read_data_file(io, path, false, false, true, data);
      });
  check_details({{"IP type 3", "header\nIPTYPE=3\n0 10 20 30 1.5\n", "f.txt:3: IP type 3"}},
                [](const Io& io, const std::string& path) {
                  SurveyData data;
                  read_data_file(io, path, false, false, false, data);
                });
}

}  // namespace
}  // namespace quelby
