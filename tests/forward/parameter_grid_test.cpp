// The parameter grid over a forward mesh: cells of whole forward cells, half the electrode spacing
// under the electrodes and thickening with depth; its ground and the forward cells of each
// parameter; a grid read from a file; and the sensitivities of parameters of several cells
// against the sum of their cells' columns.
#include "quelby/forward/parameter_grid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

ActiveCells every_ground_cell(const Io& io, const Mesh& mesh, std::vector<std::int32_t> air) {
  Topography ground;
  ground.has_topography = true;
  ground.air_cells = std::move(air);
  std::vector<std::int32_t> flags(static_cast<std::size_t>(mesh.nx) * mesh.nz, 1);
  ActiveCells cells;
  active_cells_from_flags(io, mesh, ground, flags, cells);
  return cells;
}

TEST(ParameterGrid, HalfSpacingCellsUnderTheElectrodesAndLayersThickeningWithDepth) {
  Transcript t;
  // 24 electrodes 2 m apart: forward cells of 0.5 m under them.
  const SurveyData survey = testing::survey_of(testing::dipole_dipole(24, 2, 6), t.io());
  const Mesh forward = mesh_for_survey(t.io(), survey);
  const ParameterGrid grid =
      parameter_grid(t.io(), forward, survey_electrode_x(survey), 0,
                     ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
  ASSERT_FALSE(grid.is_forward_mesh());
  // Its nodes are forward nodes, from the first to the last.
  ASSERT_EQ(grid.column_nodes.front(), 0);
  ASSERT_EQ(grid.column_nodes.back(), forward.nx);
  ASSERT_EQ(grid.layer_nodes.back(), forward.nz);
  for (std::size_t g = 0; g < grid.column_nodes.size(); ++g) {
    EXPECT_EQ(grid.mesh.x_nodes[g],
              forward.x_nodes[static_cast<std::size_t>(grid.column_nodes[g])]);
  }
  // Between the electrodes every cell is 1 m (two forward columns); outside, each is wider than
  // the one inside it, and far fewer than the forward columns.
  const auto first = std::find(grid.mesh.x_nodes.begin(), grid.mesh.x_nodes.end(), 0.0);
  ASSERT_NE(first, grid.mesh.x_nodes.end());
  const auto at = static_cast<std::size_t>(first - grid.mesh.x_nodes.begin());
  for (std::size_t i = at; i < at + 46; ++i) EXPECT_NEAR(grid.mesh.dx[i], 1.0, 1e-9) << i;
  EXPECT_NEAR(grid.mesh.x_nodes[at + 46], 46, 1e-9);
  for (std::size_t i = at + 47; i < grid.mesh.dx.size(); ++i)
    EXPECT_GT(grid.mesh.dx[i], grid.mesh.dx[i - 1]) << i;
  for (std::size_t i = 1; i < at; ++i) EXPECT_LT(grid.mesh.dx[i], grid.mesh.dx[i - 1]) << i;
  EXPECT_LT(grid.mesh.nx - 46, (forward.nx - 92) / 2);
  // The first layer is half a cell (a quarter of the spacing), the layers do not get thinner
  // with depth, and there are fewer of them than forward rows.
  EXPECT_NEAR(grid.mesh.dz[0], 0.5, 1e-9);
  for (std::size_t k = 1; k < grid.mesh.dz.size(); ++k)
    EXPECT_GE(grid.mesh.dz[k], grid.mesh.dz[k - 1] * (1 - 1e-9)) << k;
  EXPECT_LT(grid.mesh.nz, forward.nz);

  // A width chosen; the forward mesh itself; the choices as given in words.
  const ParameterGrid wide =
      parameter_grid(t.io(), forward, survey_electrode_x(survey), 0,
                     ParameterCellChoice{ParameterCellChoice::Kind::width, 2});
  EXPECT_NEAR(wide.mesh.dx[static_cast<std::size_t>(wide.mesh.nx) / 2], 2, 1e-9);
  EXPECT_TRUE(parameter_grid(t.io(), forward, survey_electrode_x(survey), 0, {}).is_forward_mesh());
  EXPECT_EQ(parse_parameter_cell(t.io(), "mesh", "x").kind,
            ParameterCellChoice::Kind::forward_mesh);
  EXPECT_EQ(parse_parameter_cell(t.io(), "auto", "x").kind, ParameterCellChoice::Kind::automatic);
  EXPECT_EQ(parse_parameter_cell(t.io(), "2.5", "x").width, 2.5);
  for (const char* bad : {"0", "-1", "1m", "", "nan", "inf"}) {
    Transcript refused;
    EXPECT_THROW(parse_parameter_cell(refused.io(), bad, "--parameter-cell"), Stop) << bad;
    EXPECT_NE(refused.console().find("--parameter-cell: the parameter cell should be mesh, auto"),
              std::string::npos);
  }
}

// Under a ground surface a grid column is in the air only where all of its forward columns are;
// every forward ground cell of a parameter's grid cell belongs to that parameter, once.
TEST(ParameterGrid, AGridCellCutByTheGroundHoldsTheForwardCellsBelowIt) {
  Transcript t;
  const Mesh forward = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3, 4, 5, 6},
                                       std::vector<double>{0, 1, 2, 3, 4, 6});
  ParameterGrid grid;
  grid.column_nodes = {0, 2, 3, 6};
  grid.layer_nodes = {0, 2, 3, 5};
  grid.mesh =
      mesh_from_nodes(t.io(), std::vector<double>{0, 2, 3, 6}, std::vector<double>{0, 2, 3, 6});
  const std::vector<std::int32_t> forward_air = {0, 1, 2, 3, 2, 4};
  // Columns {0,1}: least air 0; {2}: 2; {3,4,5}: 2 -> layer ends 2, 3, 5: air 0, 1, 1.
  EXPECT_EQ(grid.air_cells(forward_air), (std::vector<std::int32_t>{0, 1, 1}));
  const ActiveCells cells = every_ground_cell(t.io(), grid.mesh, grid.air_cells(forward_air));
  const ParameterForwardCells parameters = forward_cells_of_parameters(grid, cells, forward_air);
  ASSERT_EQ(parameters.count(), static_cast<std::size_t>(cells.npar));
  const std::vector<std::int32_t> of = grid.grid_cell_of_forward_cells();
  std::vector<int> seen(of.size(), 0);
  for (std::size_t p = 0; p < parameters.count(); ++p) {
    EXPECT_LT(parameters.starts[p], parameters.starts[p + 1]) << "parameter " << p << " is empty";
    for (auto c = parameters.starts[p]; c < parameters.starts[p + 1]; ++c) {
      const auto cell = static_cast<std::size_t>(parameters.cells[static_cast<std::size_t>(c)]);
      ++seen[cell];
      EXPECT_EQ(cells.parameter(static_cast<std::size_t>(of[cell])), static_cast<std::int32_t>(p));
    }
  }
  for (std::size_t cell = 0; cell < of.size(); ++cell) {
    const bool ground = cell / 6 >= static_cast<std::size_t>(forward_air[cell % 6]);
    EXPECT_EQ(seen[cell], ground ? 1 : 0) << "forward cell " << cell;
  }
  // A model on the grid spreads to its forward cells.
  std::vector<double> grid_model(9);
  for (std::size_t g = 0; g < 9; ++g) grid_model[g] = static_cast<double>(g);
  const std::vector<double> spread = forward_model_of_grid(grid, grid_model);
  EXPECT_EQ(spread[0], 0);
  EXPECT_EQ(spread[4 * 6 + 5], 8);  // the last forward cell is in grid cell (3, 3)
}

// A grid written and read back nests in its forward mesh; one whose nodes are not forward nodes
// is refused, naming the node.
TEST(ParameterGrid, AGridFromAFileMustNestInTheForwardMesh) {
  Transcript t;
  TempFolder folder;
  const SurveyData survey = testing::survey_of(testing::dipole_dipole(12, 2, 4), t.io());
  const Mesh forward = mesh_for_survey(t.io(), survey);
  const ParameterGrid grid =
      parameter_grid(t.io(), forward, survey_electrode_x(survey), 0,
                     ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
  write_mesh(t.io(), folder.file("grid.msh"), grid.mesh);
  Mesh read;
  load_mesh(t.io(), folder.file("grid.msh"), read);
  const ParameterGrid again = parameter_grid_of_mesh(t.io(), forward, read, "grid.msh");
  EXPECT_EQ(again.column_nodes, grid.column_nodes);
  EXPECT_EQ(again.layer_nodes, grid.layer_nodes);
  Mesh shifted = read;
  shifted.x_nodes[3] += 0.1;
  Transcript refused;
  EXPECT_THROW(parameter_grid_of_mesh(refused.io(), forward, shifted, "grid.msh"), Stop);
  EXPECT_NE(refused.console().find("the parameter grid grid.msh: its x node 4 at"),
            std::string::npos)
      << refused.console();
  Mesh short_of_the_end = read;
  short_of_the_end.z_nodes.pop_back();
  EXPECT_THROW(parameter_grid_of_mesh(refused.io(), forward, short_of_the_end, "grid.msh"), Stop);
}

// Column c of the grouped sensitivities is the sum of the columns of its cells (the literal
// oracle: the cells' own sensitivities, added in cell order), and sums over every ground cell to
// the data (homogeneity of degree 1).
TEST(ParameterGrid, GroupedSensitivitiesAreTheSumsOfTheirCells) {
  Transcript t;
  const SurveyData survey = testing::survey_of(testing::dipole_dipole(10, 2, 4), t.io());
  const Mesh forward = mesh_for_survey(t.io(), survey);
  const std::vector<std::int32_t> air(static_cast<std::size_t>(forward.nx), 0);
  ForwardModel model(t.io(), forward, air, survey);
  std::vector<double> resistivity(static_cast<std::size_t>(forward.nx) * forward.nz);
  std::mt19937 random(4);
  std::uniform_real_distribution<double> log_rho(std::log(20.0), std::log(500.0));
  for (double& value : resistivity) value = std::exp(log_rho(random));
  const ParameterGrid grid =
      parameter_grid(t.io(), forward, survey_electrode_x(survey), 0,
                     ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
  const ActiveCells cells = every_ground_cell(t.io(), grid.mesh, grid.air_cells(air));
  const ParameterForwardCells parameters = forward_cells_of_parameters(grid, cells, air);
  ASSERT_FALSE(parameters.single());
  const auto ndat = static_cast<std::size_t>(model.ndat());
  const std::size_t ncell = parameters.cells.size(), npar = parameters.count();
  std::vector<double> each(ndat * ncell), grouped(ndat * npar), data(ndat), data_grouped(ndat);
  model.sensitivity(t.io(), resistivity, parameters.cells, each, data);
  model.sensitivity(t.io(), resistivity, parameters.cells, parameters.starts, grouped,
                    data_grouped);
  EXPECT_EQ(data, data_grouped);
  double largest = 0;
  for (const double value : each) largest = std::max(largest, std::abs(value));
  for (std::size_t i = 0; i < ndat; ++i) {
    double total = 0;
    for (std::size_t p = 0; p < npar; ++p) {
      double sum = 0;
      for (auto c = parameters.starts[p]; c < parameters.starts[p + 1]; ++c)
        sum += each[i * ncell + static_cast<std::size_t>(c)];
      EXPECT_NEAR(grouped[i * npar + p], sum, 1e-12 * largest) << i << ", " << p;
      total += grouped[i * npar + p];
    }
    EXPECT_NEAR(total, data[i], 1e-9 * std::abs(data[i])) << i;
  }
}

}  // namespace
}  // namespace quelby
