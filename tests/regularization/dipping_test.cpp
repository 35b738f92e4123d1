#include "quelby/regularization/dipping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/cells/cells_fixtures.hpp"
#include "tests/regularization/zone_literal.hpp"
#include "tests/support/stop_details.hpp"
#include "tests/support/temp_folder.hpp"

namespace quelby {
namespace {

using testing::console_then_log;
using testing::literal_point_in_region;
using testing::literal_zones;
using testing::log_then_console;
using testing::mesh_with_widths;
using testing::Outcome;
using testing::run;
using testing::TempFolder;
using testing::unit_mesh;

struct Read {
  Outcome outcome;
  std::vector<std::int32_t> zone_idx;
  std::int32_t nzone = -7;
  DippingZones zones;
};

void read(Read& result, const Mesh& mesh, const std::int32_t option, const std::string& name,
          const AlphaCoefficients& alpha = {}) {
  result.zone_idx.assign(static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz), -5);
  run(result.outcome, [&](const Io& io) {
    read_dipping(io, mesh, alpha, option, name, result.zone_idx, result.nzone, result.zones);
  });
}

TEST(DippingZones, WithoutAFileOneZoneTakesTheCoefficients) {
  for (const std::int32_t option : {0, 2, -1}) {
    Read result;
    read(result, unit_mesh(3, 2), option, "never opened", {0.5, 2.0, 3.0});
    ASSERT_FALSE(result.outcome.stopped);
    EXPECT_EQ(result.nzone, 1);
    EXPECT_EQ(result.zone_idx, std::vector<std::int32_t>(6, 1));
    EXPECT_EQ(result.zones.zone_alpha_s, std::vector<double>{0.5});
    EXPECT_EQ(result.zones.zone_alpha_x, std::vector<double>{2.0});
    EXPECT_EQ(result.zones.zone_alpha_z, std::vector<double>{3.0});
    EXPECT_EQ(result.zones.zone_dip, std::vector<double>{0.0});
    EXPECT_EQ(result.outcome.log() + result.outcome.console(), "");
  }
}

TEST(DippingZones, ReadsZonesAndTheFirstPolygonWins) {
  TempFolder folder;
  // Unit cells, centres at 0.5 .. 3.5. Zone 2 holds the cells of columns and rows 1-2; zone 3,
  // listed second, overlaps it at the cell (2, 2) and holds the triangle x + z < 9 below and right
  // of (1, 1).
  const std::string path = folder.write("d.txt",
                                        "0.001 1 2 90 background, notes\n"
                                        "2\n"
                                        "0.1 0.2 0.3 45 4\n"
                                        "0 0\n2 0 a note\n2 2\n0 2\n"
                                        "1e-3,4d0,5 -30 3 trailing\n"
                                        "1 1\n8 1\n1 8\n"
                                        "not read\n");
  Read result;
  read(result, unit_mesh(4, 4), 1, path + "   ");
  ASSERT_FALSE(result.outcome.stopped) << result.outcome.console();
  EXPECT_EQ(result.nzone, 3);
  EXPECT_EQ(result.zone_idx, (std::vector<std::int32_t>{2, 2, 1, 1,  //
                                                        2, 2, 3, 3,  //
                                                        1, 3, 3, 3,  //
                                                        1, 3, 3, 3}));
  EXPECT_EQ(result.zones.zone_alpha_s, (std::vector<double>{0.001, 0.1, 1e-3}));
  EXPECT_EQ(result.zones.zone_alpha_x, (std::vector<double>{1, 0.2, 4}));
  EXPECT_EQ(result.zones.zone_alpha_z, (std::vector<double>{2, 0.3, 5}));
  EXPECT_EQ(result.zones.zone_dip,
            (std::vector<double>{90 * 0.0174532925199433, 45 * 0.0174532925199433,
                                 -30 * 0.0174532925199433}));
  EXPECT_EQ(result.outcome.log(), "dipping information was read from: " + path + "\n\n");
  EXPECT_EQ(result.outcome.console(), "");
}

TEST(DippingZones, EveryFailureWritesItsMessage) {
  TempFolder folder;
  const std::string read_error = "\nError reading the dipping file: NAME\n";
  const std::string zones = "\nError: number of zones should be positive.\n";
  const std::string points = "\nError: number of region points should be positive.\n";
  const testing::Sequence both_orders{"console", "log", "console"};
  const struct {
    const char* content;  // nullptr: no such file
    std::string message;
    testing::Sequence order;
  } cases[] = {
      {nullptr, "\n ERROR: dipping file not found: NAME\n", console_then_log},
      {"", read_error, log_then_console},
      {"1 1 1\n", read_error, log_then_console},
      {"1 1 1 0\n", read_error, log_then_console},
      {"1 1 1 0\n1.5\n", read_error, log_then_console},
      {"1 1 1 0\n0\n", zones + read_error, both_orders},
      {"1 1 1 0\n-3\n1 1 1 0 3\n", zones + read_error, both_orders},
      {"1 1 1 0\n1\n1 1 1 0\n", read_error, log_then_console},
      {"1 1 1 0\n1\n1 1 1 0 0\n", points + read_error, both_orders},
      {"1 1 1 0\n2\n1 1 1 0 1\n0 0\n1 1 1 0 -1\n", points + read_error, both_orders},
      {"1 1 1 0\n1\n1 1 1 0 3\n0 0\n1 1\n", read_error, log_then_console},
      {"1 1 1 0\n1\n1 1 1 0 2\n0 0\n1\n", read_error, log_then_console},
      {"1 1 1 0\n1\n1 1 1 0 2\n0 0\n1 NaN\n", read_error, log_then_console},
      {"1 1 1 0\n1\n1 1 1 0 2\n0 0\n-Infinity 1\n", read_error, log_then_console},
      {"1 1 1 0\n1\n1 1 1 0 2\n0 0\n1 x\n", read_error, log_then_console},
  };
  for (const auto& c : cases) {
    const std::string path =
        c.content == nullptr ? folder.file("missing.txt") : folder.write("d.txt", c.content);
    std::string expected = c.message;
    expected.replace(expected.find("NAME"), 4, path);
    Read result;
    read(result, unit_mesh(2, 2), 1, path);
    EXPECT_TRUE(result.outcome.stopped);
    EXPECT_EQ(result.outcome.console(), expected) << (c.content ? c.content : "missing");
    EXPECT_EQ(result.outcome.log(), expected);
    EXPECT_EQ(result.outcome.order(), c.order);
  }
}

TEST(DippingZones, ToleranceMovesTheBoundaryTowardsPlusX) {
  const Region square{{0, 10, 10, 0}, {0, 0, 10, 10}};
  const struct {
    double x;
    bool inside;
  } cases[] = {
      {5, true},
      {10 + 0.5e-4, true},  // less than 1.0E-4 right of the right-hand edge
      {10 + 0.99e-4, true},
      {10 + 1.5e-4, false},  // 1.0E-4 or more right of it
      {10 + 1e-3, false},
      {10 - 1e-6, true},
      {0 + 0.5e-4, false},  // less than 1.0E-4 right of the left-hand edge
      {0 + 0.99e-4, false},
      {0 + 1.5e-4, true},
      {0 - 0.5e-4, false},
      {-1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(point_in_region(square, c.x, 5), c.inside) << c.x;
    EXPECT_EQ(literal_point_in_region(square, c.x, 5), c.inside) << c.x;
  }
  // Exactly where d = 1.0E-4 in double precision the test no longer flips.
  const double x = 10 + 1.0E-4;
  EXPECT_EQ(point_in_region(square, x, 5), x - 10 < 1.0E-4);

  // A cell centre exactly 1.0E-4 right of a left-hand edge at 0 (2.0E-4 / 2 is the double
  // 1.0E-4): that edge does not flip, so the centre is inside, in the sweep as in the point test.
  Mesh mesh = testing::mesh_with_widths({2.0E-4, 1 - 2.0E-4}, {1});
  mesh.x_nodes = {0, 2.0E-4, 1};
  ASSERT_EQ((mesh.x_nodes[0] + mesh.x_nodes[1]) / 2 - 0.0, 1.0E-4);
  const Region strip{{0, 5, 5, 0}, {-1, -1, 2, 2}};
  EXPECT_TRUE(point_in_region(strip, 1.0E-4, 0.5));
  std::vector<std::int32_t> zones(2, 0);
  assign_zones(mesh, std::span<const Region>(&strip, 1), zones);
  EXPECT_EQ(zones, (std::vector<std::int32_t>{2, 2}));
}

TEST(DippingZones, DegeneratePolygonsHoldNothing) {
  const Region regions[] = {
      {{}, {}},
      {{1}, {1}},
      {{0, 5, 9}, {2, 2, 2}},  // only horizontal edges
      {{0, 9}, {0, 9}},        // an edge there and back
  };
  const Mesh mesh = unit_mesh(10, 10);
  std::vector<std::int32_t> zones(100, 0);
  assign_zones(mesh, regions, zones);
  EXPECT_EQ(zones, std::vector<std::int32_t>(100, 1));
  for (const Region& region : regions) {
    for (const double z : {0.0, 1.0, 2.0, 4.5}) {
      for (const double x : {-1.0, 0.0, 0.5, 1.0, 4.5, 9.0})
        EXPECT_FALSE(point_in_region(region, x, z));
    }
  }
}

TEST(DippingZones, SecondReadReplacesAndReleaseEmpties) {
  TempFolder folder;
  const std::string first = folder.write("a.txt", "1 1 1 0\n2\n2 2 2 0 1\n0 0\n3 3 3 0 1\n0 0\n");
  const std::string second = folder.write("b.txt", "4 4 4 0\n1\n5 5 5 0 3\n0 0\n9 0\n0 9\n");
  Read result;
  read(result, unit_mesh(2, 2), 1, first);
  EXPECT_EQ(result.nzone, 3);
  run(result.outcome, [&](const Io& io) {
    read_dipping(io, unit_mesh(2, 2), {}, 1, second, result.zone_idx, result.nzone, result.zones);
  });
  EXPECT_EQ(result.nzone, 2);
  EXPECT_EQ(result.zones.zone_alpha_s, (std::vector<double>{4, 5}));
  EXPECT_EQ(result.zones.zone_dip, (std::vector<double>{0, 0}));
  EXPECT_EQ(result.zone_idx, (std::vector<std::int32_t>{2, 2, 2, 2}));
  release_dipping(result.zones);
  EXPECT_TRUE(result.zones.zone_alpha_s.empty());
  EXPECT_TRUE(result.zones.zone_alpha_x.empty());
  EXPECT_TRUE(result.zones.zone_alpha_z.empty());
  EXPECT_TRUE(result.zones.zone_dip.empty());
}

// Random meshes and polygons where the sweep could go wrong: vertices on cell centres and row
// centre lines, vertical edges within and beyond the tolerance of centres, horizontal edges,
// concave and self-crossing outlines in both directions, overlapping zones.
TEST(DippingZones, SweepGivesExactlyTheCellByCellAnswer) {
  std::mt19937_64 generator(20261209);
  const auto uniform = [&](const double low, const double high) {
    return std::uniform_real_distribution<double>(low, high)(generator);
  };
  const auto pick = [&](const std::size_t count) {
    return static_cast<std::size_t>(generator() % count);
  };
  const double offsets[] = {0,          0.5e-4,      -0.5e-4, 1e-4,  -1e-4, 0.99999e-4,
                            1.00001e-4, -1.00001e-4, 2e-4,    -2e-4, 1e-12, -1e-12};
  const double widths[] = {1, 2, 0.5, 2.5, 0.1};
  std::size_t inside_cells = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<double> dx(1 + pick(30));
    std::vector<double> dz(1 + pick(30));
    for (double& w : dx) w = (generator() & 1) ? widths[pick(5)] : uniform(0.05, 3);
    for (double& w : dz) w = (generator() & 1) ? widths[pick(5)] : uniform(0.05, 3);
    Mesh mesh = mesh_with_widths(dx, dz);
    const double shift = (generator() & 1) ? 0 : uniform(-20, 20);
    for (double& node : mesh.x_nodes) node += shift;
    const double x_end = mesh.x_nodes.back();
    const double z_end = mesh.z_nodes.back();
    const auto centre_x = [&] {
      const std::size_t i = pick(dx.size());
      return (mesh.x_nodes[i] + mesh.x_nodes[i + 1]) / 2;
    };
    const auto centre_z = [&] {
      const std::size_t k = pick(dz.size());
      return (mesh.z_nodes[k] + mesh.z_nodes[k + 1]) / 2;
    };

    std::vector<Region> regions(1 + pick(6));
    for (Region& region : regions) {
      const std::size_t p = 1 + pick(14);
      for (std::size_t v = 0; v < p; ++v) {
        double x = 0;
        double z = 0;
        switch (pick(4)) {
          case 0:
            x = uniform(mesh.x_nodes[0] - 2, x_end + 2);
            break;
          case 1:
            x = centre_x();
            break;
          case 2:
            x = centre_x() + offsets[pick(std::size(offsets))];
            break;
          default:
            x = v > 0 ? region.x.back() + offsets[pick(std::size(offsets))] : centre_x();
        }
        switch (pick(4)) {
          case 0:
            z = uniform(-2, z_end + 2);
            break;
          case 1:
            z = centre_z();
            break;
          case 2:
            z = mesh.z_nodes[pick(mesh.z_nodes.size())];
            break;
          default:
            z = v > 0 ? region.z.back() : centre_z();  // a horizontal edge
        }
        region.x.push_back(x);
        region.z.push_back(z);
      }
      if (generator() & 1) {
        std::reverse(region.x.begin(), region.x.end());
        std::reverse(region.z.begin(), region.z.end());
      }
    }
    std::vector<std::int32_t> zones(dx.size() * dz.size(), -1);
    assign_zones(mesh, regions, zones);
    const std::vector<std::int32_t> expected = literal_zones(mesh, regions);
    ASSERT_EQ(zones, expected) << "trial " << trial;
    inside_cells += static_cast<std::size_t>(std::count_if(
        expected.begin(), expected.end(), [](const std::int32_t zone) { return zone > 1; }));
    for (const Region& region : regions) {
      for (int n = 0; n < 20; ++n) {
        const double x = centre_x() + offsets[pick(std::size(offsets))];
        const double z = centre_z();
        ASSERT_EQ(point_in_region(region, x, z), literal_point_in_region(region, x, z));
      }
    }
  }
  EXPECT_GT(inside_cells, 1000u) << "the random polygons should hold cells";
}

// Centres out of order (a hand-made mesh) take the cell-by-cell path, with the same answer.
TEST(DippingZones, UnorderedCentresStillGiveTheLiteralAnswer) {
  Mesh mesh = unit_mesh(4, 3);
  std::swap(mesh.x_nodes[1], mesh.x_nodes[3]);
  std::swap(mesh.z_nodes[0], mesh.z_nodes[2]);
  const Region regions[] = {{{0, 3, 3, 0}, {0, 0, 2.5, 2.5}}, {{-1, 5, 2}, {-1, -1, 4}}};
  std::vector<std::int32_t> zones(12, 0);
  assign_zones(mesh, regions, zones);
  EXPECT_EQ(zones, literal_zones(mesh, regions));
  std::vector<std::int32_t> short_map(11, 0);
  EXPECT_THROW(assign_zones(mesh, regions, short_map), std::invalid_argument);
}

// Each refusal carries the line of its fault and what it is, never shown on a stream.
TEST(DippingZones, StopsCarryTheirDetail) {
  const Mesh mesh = mesh_with_widths({10, 10, 10}, {10, 10});
  testing::check_details(
      {
          {"a short background line", "1 1 1\n", "f.txt:1: 3 values, 4 expected"},
          {"no zones", "1 1 1 0\n0\n", "f.txt:2: 0 zones"},
          {"a zone without points", "1 1 1 0\n1\n1 1 1 30 0\n", "f.txt:3: zone 2 has 0 points"},
          {"a bad vertex", "1 1 1 0\n1\n1 1 1 30 3\n0 0\n10 q\n", "f.txt:5: 'q' is not a number"},
          {"a vertex not finite", "1 1 1 0\n1\n1 1 1 30 1\ninf 0\n",
           "f.txt:4: a position that is not a finite number"},
      },
      [&](const Io& io, const std::string& path) {
        std::vector<std::int32_t> zone_idx(6);
        std::int32_t nzone = 0;
        DippingZones zones;
        read_dipping(io, mesh, AlphaCoefficients{1, 1, 1}, 1, path, zone_idx, nzone, zones);
      });
}

}  // namespace
}  // namespace quelby
