// The 3-D parameter grid over a 3-D forward mesh: its nodes are forward nodes, every forward cell
// belongs to exactly one parameter cell, the map round-trips a model, and cells follow the
// electrode spacing under the electrodes and thicken with depth.
#include "quelby/forward/parameter_grid3d.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

std::vector<ElectrodePosition> grid_of(int nx, int ny, double spacing, double z = 0) {
  std::vector<ElectrodePosition> electrodes;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) electrodes.push_back({i * spacing, j * spacing, z});
  return electrodes;
}

struct Layout {
  const char* name;
  std::vector<ElectrodePosition> electrodes;
  double width;               // the grid's width option
  double expected_core_cell;  // the grid's cell width between the electrodes
  bool surface;               // every electrode on the ground
};

std::vector<Layout> layouts() {
  std::vector<ElectrodePosition> buried = grid_of(6, 1, 1);
  for (const double z : {1.0, 2.0, 3.0}) buried.push_back({0, 0, z});
  return {
      {"grid 28 x 14", grid_of(28, 14, 0.2), 0, 0.1, true},
      {"grid, cells of 0.4 m", grid_of(28, 14, 0.2), 0.4, 0.4, true},
      {"line along x", grid_of(16, 1, 2), 0, 1, true},
      {"buried", buried, 0, 0.5, false},
  };
}

TEST(ParameterGrid3D, GridNodesAreForwardNodesAndEveryCellHasOneParameter) {
  for (const Layout& layout : layouts()) {
    SCOPED_TRACE(layout.name);
    Transcript t;
    SurveyMesh3DOptions options;
    options.cell_width = layout.expected_core_cell / 2;  // forward cells finer than the grid's
    const Mesh3D forward = mesh3d_for_electrodes(t.io(), layout.electrodes, options);
    const ParameterGrid3D grid =
        parameter_grid3d(t.io(), forward, layout.electrodes, 0, layout.width);
    EXPECT_FALSE(grid.is_forward_mesh());
    const auto check_axis = [](const std::vector<std::int32_t>& at,
                               const std::vector<double>& forward_nodes,
                               const std::vector<double>& grid_nodes) {
      ASSERT_EQ(at.size(), grid_nodes.size());
      EXPECT_EQ(at.front(), 0);
      EXPECT_EQ(static_cast<std::size_t>(at.back()), forward_nodes.size() - 1);
      for (std::size_t g = 0; g < at.size(); ++g) {
        EXPECT_EQ(grid_nodes[g], forward_nodes[static_cast<std::size_t>(at[g])]);
        if (g > 0) {
          EXPECT_LT(at[g - 1], at[g]);
        }
      }
    };
    check_axis(grid.x_nodes, forward.x_nodes, grid.mesh.x_nodes);
    check_axis(grid.y_nodes, forward.y_nodes, grid.mesh.y_nodes);
    check_axis(grid.z_nodes, forward.z_nodes, grid.mesh.z_nodes);
    // Every forward cell in exactly one parameter, whose cell holds its centre; cells ascending.
    const ParameterForwardCells map = forward_cells_of_parameters3d(grid);
    ASSERT_EQ(map.count(), static_cast<std::size_t>(grid.mesh.cell_count()));
    std::vector<int> seen(static_cast<std::size_t>(forward.cell_count()), 0);
    for (std::size_t p = 0; p < map.count(); ++p) {
      const auto gi = static_cast<std::int32_t>(p % static_cast<std::size_t>(grid.mesh.nx));
      const auto gj = static_cast<std::int32_t>(p / static_cast<std::size_t>(grid.mesh.nx) %
                                                static_cast<std::size_t>(grid.mesh.ny));
      const auto gk = static_cast<std::int32_t>(p / static_cast<std::size_t>(grid.mesh.nx) /
                                                static_cast<std::size_t>(grid.mesh.ny));
      for (auto c = map.starts[p]; c < map.starts[p + 1]; ++c) {
        const auto cell = static_cast<std::size_t>(map.cells[static_cast<std::size_t>(c)]);
        ++seen[cell];
        if (c > map.starts[p]) {
          EXPECT_LT(static_cast<std::size_t>(map.cells[static_cast<std::size_t>(c) - 1]), cell);
        }
        const std::size_t i = cell % static_cast<std::size_t>(forward.nx);
        const std::size_t j =
            cell / static_cast<std::size_t>(forward.nx) % static_cast<std::size_t>(forward.ny);
        const std::size_t k =
            cell / static_cast<std::size_t>(forward.nx) / static_cast<std::size_t>(forward.ny);
        EXPECT_GT(forward.x_centres[i], grid.mesh.x_nodes[static_cast<std::size_t>(gi)]);
        EXPECT_LT(forward.x_centres[i], grid.mesh.x_nodes[static_cast<std::size_t>(gi) + 1]);
        EXPECT_GT(forward.y_centres[j], grid.mesh.y_nodes[static_cast<std::size_t>(gj)]);
        EXPECT_LT(forward.y_centres[j], grid.mesh.y_nodes[static_cast<std::size_t>(gj) + 1]);
        EXPECT_GT(forward.z_centres[k], grid.mesh.z_nodes[static_cast<std::size_t>(gk)]);
        EXPECT_LT(forward.z_centres[k], grid.mesh.z_nodes[static_cast<std::size_t>(gk) + 1]);
      }
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));
    // A grid model reaches every forward cell of each parameter, and back.
    std::mt19937 random(17);
    std::vector<double> model(map.count());
    for (double& value : model) value = std::uniform_real_distribution<double>(1, 1000)(random);
    const std::vector<double> on_forward = forward_model_of_grid3d(grid, model);
    ASSERT_EQ(on_forward.size(), seen.size());
    for (std::size_t p = 0; p < map.count(); ++p)
      for (auto c = map.starts[p]; c < map.starts[p + 1]; ++c)
        EXPECT_EQ(on_forward[static_cast<std::size_t>(map.cells[static_cast<std::size_t>(c)])],
                  model[p]);
    // Between the electrodes the grid's cells are the width; layers never thin with depth.
    double x_first = 1e300, x_last = -1e300;
    for (const ElectrodePosition& e : layout.electrodes)
      x_first = std::min(x_first, e.x), x_last = std::max(x_last, e.x);
    // (an odd number of forward cells leaves one cell of another width).
    int other_widths = 0;
    for (std::size_t g = 0; g < grid.mesh.dx.size(); ++g) {
      if (grid.mesh.x_nodes[g] >= x_first && grid.mesh.x_nodes[g + 1] <= x_last) {
        other_widths += std::abs(grid.mesh.dx[g] - layout.expected_core_cell) > 1e-9;
        EXPECT_GE(grid.mesh.dx[g], layout.expected_core_cell / 2 - 1e-9);
        EXPECT_LE(grid.mesh.dx[g], layout.expected_core_cell * 1.5 + 1e-9);
      }
    }
    EXPECT_LE(other_widths, 1);
    // (Forward layers at buried electrodes end on their depths, so grid layers there may not.)
    for (std::size_t k = 1; k + 1 < grid.mesh.dz.size() && layout.surface; ++k)
      EXPECT_GE(grid.mesh.dz[k] * 1.0001, grid.mesh.dz[k - 1]);
  }
}

TEST(ParameterGrid3D, AirCellsHaveNoParameterAndTheForwardMeshGridIsTheIdentity) {
  Transcript t;
  const std::vector<ElectrodePosition> electrodes = grid_of(4, 3, 1);
  const Mesh3D forward = mesh3d_for_electrodes(t.io(), electrodes);
  const ParameterGrid3D same = forward_mesh_grid3d(forward);
  EXPECT_TRUE(same.is_forward_mesh());
  // Two air cells in every column: the first two layers of forward cells leave the map.
  const std::vector<std::int32_t> air(static_cast<std::size_t>(forward.nx) * forward.ny, 2);
  const ParameterForwardCells map = forward_cells_of_parameters3d(same, air);
  const auto columns = static_cast<std::int32_t>(forward.nx * forward.ny);
  ASSERT_EQ(map.cells.size(), static_cast<std::size_t>(forward.cell_count() - 2 * columns));
  EXPECT_EQ(map.cells.front(), 2 * columns);
  for (std::int32_t p = 0; p < 2 * columns; ++p) EXPECT_EQ(map.starts[p + 1], 0);
}

TEST(ParameterGrid3D, RefusesAWidthThatIsNoWidth) {
  Transcript t;
  const std::vector<ElectrodePosition> electrodes = grid_of(4, 3, 1);
  const Mesh3D forward = mesh3d_for_electrodes(t.io(), electrodes);
  for (const double width : {-1.0, std::nan("")}) {
    EXPECT_THROW(parameter_grid3d(t.io(), forward, electrodes, 0, width), Stop);
    EXPECT_NE(t.console().find("parameter cell width"), std::string::npos);
  }
}

}  // namespace
}  // namespace quelby
