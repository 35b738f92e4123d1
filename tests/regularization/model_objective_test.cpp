// The whole set-up of the model objective: the run log's reference-model line, the cell weights
// from their files with the completion of the last column and row, the dipping zones, and the
// terms built from them.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/objective.hpp"
#include "tests/regularization/objective_setup.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::ObjectiveSetup;
using testing::TempFolder;
using testing::Transcript;

ActiveCells all_active(const Mesh& mesh) {
  ActiveCells cells;
  cells.nx = mesh.nx;
  cells.nz = mesh.nz;
  cells.cell_idx.assign(static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz), 1);
  cells.npar = testing::number_cells(cells.cell_idx);
  cells.ncell = cells.npar;
  return cells;
}

std::vector<std::uint64_t> bits(const std::vector<double>& values) {
  std::vector<std::uint64_t> result;
  for (const double value : values) result.push_back(std::bit_cast<std::uint64_t>(value));
  return result;
}

void expect_same_objective(const ModelObjective& built, const ModelObjective& expected) {
  ASSERT_EQ(built.n_terms, expected.n_terms);
  EXPECT_EQ(built.ref_in_derivatives, expected.ref_in_derivatives);
  for (std::size_t k = 0; k < static_cast<std::size_t>(expected.n_terms); ++k) {
    SCOPED_TRACE("term " + std::to_string(k + 1));
    EXPECT_EQ(built.wtw_terms[k].row_start, expected.wtw_terms[k].row_start);
    EXPECT_EQ(built.wtw_terms[k].columns, expected.wtw_terms[k].columns);
    EXPECT_EQ(bits(built.wtw_terms[k].values), bits(expected.wtw_terms[k].values));
  }
  EXPECT_EQ(built.WTW.row_start, expected.WTW.row_start);
  EXPECT_EQ(built.WTW.columns, expected.WTW.columns);
  EXPECT_EQ(bits(built.WTW.values), bits(expected.WTW.values));
}

const std::array<std::string, 3> no_files{"", "", ""};

TEST(ModelObjectiveSetUp, WorkedExampleWithoutFiles) {
  const Mesh mesh = testing::make_mesh({10, 20}, {5, 5});
  const ActiveCells cells = all_active(mesh);
  Transcript transcript;
  AlphaCoefficients alpha;
  set_alpha(transcript.io(), mesh, 0, {}, {}, alpha);
  for (const bool ref : {true, false}) {
    Transcript run;
    ModelObjective objective;
    build_model_objective(run.io(), mesh, cells, alpha, WeightSource::ones(), DipSource::none(),
                          ref, objective);
    EXPECT_EQ(run.log(), ref ? "reference model will be used in the derivative terms.\n"
                             : "reference model will not be used in the derivative terms.\n");
    EXPECT_EQ(run.console(), "");
    EXPECT_EQ(run.error(), "");
    ASSERT_EQ(objective.n_terms, 3);
    EXPECT_EQ(objective.ref_in_derivatives, ref);
    EXPECT_NEAR(objective.WTW.values[0], 4.697917, 5e-7);

    ModelObjective expected;
    const ObjectiveSetup setup = testing::uniform_setup({10, 20}, {5, 5}, 1.0 / 1600, 1, 1);
    build_objective_terms(run.io(), setup.inputs(), ref, {}, expected);
    expect_same_objective(objective, expected);
  }
}

// A weighting file fills all but the last column of x_weights and the last row of z_weights; the
// build copies their neighbours there. A mesh of one column or one row skips that copy.
TEST(ModelObjectiveSetUp, WeightingFileWithCompletedEdges) {
  struct Case {
    std::vector<double> dx;
    std::vector<double> dz;
  };
  for (const Case& c : {Case{{10, 20, 15}, {5, 7}}, Case{{10}, {5, 7, 9}}, Case{{4, 6}, {3}}}) {
    const Mesh mesh = testing::make_mesh(c.dx, c.dz);
    const std::int32_t nx = mesh.nx;
    const std::int32_t nz = mesh.nz;
    const ActiveCells cells = all_active(mesh);
    ObjectiveSetup setup = testing::uniform_setup(c.dx, c.dz, 0.01, 1.0, 0.5);
    std::string text = std::to_string(nx) + " " + std::to_string(nz) + "\n";
    const auto block = [&](std::int32_t columns, std::int32_t rows, double base,
                           std::vector<double>& weights) {
      for (std::int32_t iz = 0; iz < rows; ++iz) {
        for (std::int32_t ix = 0; ix < columns; ++ix) {
          const double value = base + ix + 10 * iz;
          weights[static_cast<std::size_t>(iz * nx + ix)] = value;
          text += std::to_string(value) + " ";
        }
      }
      if (columns * rows > 0) text += "\n";
    };
    block(nx, nz, 1, setup.s_weights);
    block(nx - 1, nz, 2, setup.x_weights);
    block(nx, nz - 1, 3, setup.z_weights);
    if (nx > 1)
      for (std::int32_t iz = 0; iz < nz; ++iz)
        setup.x_weights[static_cast<std::size_t>(iz * nx + nx - 1)] =
            setup.x_weights[static_cast<std::size_t>(iz * nx + nx - 2)];
    if (nz > 1)
      for (std::int32_t ix = 0; ix < nx; ++ix)
        setup.z_weights[static_cast<std::size_t>((nz - 1) * nx + ix)] =
            setup.z_weights[static_cast<std::size_t>((nz - 2) * nx + ix)];

    TempFolder folder;
    const std::string name = folder.write("section.wts", text);
    Transcript transcript;
    ModelObjective objective;
    build_model_objective(transcript.io(), mesh, cells, {0.01, 1.0, 0.5},
                          WeightSource::weighting_file(name), DipSource::none(), false, objective);
    const std::string log = transcript.log();
    EXPECT_EQ(transcript.log(),
              "reference model will not be used in the derivative terms.\n"
              "weights were read from: " +
                  name + "\n");
    EXPECT_EQ(transcript.error(), "");
    ModelObjective expected;
    build_objective_terms(transcript.io(), setup.inputs(), false, {}, expected);
    expect_same_objective(objective, expected);
    // The selector form reads the same file into the same objective.
    Transcript selectors;
    ModelObjective by_selectors;
    build_model_objective(selectors.io(), mesh, cells, {0.01, 1.0, 0.5}, 1, {name, "", ""}, 0, "",
                          false, by_selectors);
    EXPECT_EQ(selectors.log(), log);
    expect_same_objective(by_selectors, expected);

    // The same blocks given as arrays build the same objective, without a "read from" line.
    CellWeights given{CellArray(nx, nz), CellArray(nx, nz), CellArray(nx, nz)};
    const auto block_values = [&](const std::vector<double>& weights, std::int32_t columns,
                                  std::int32_t rows) {
      std::vector<double> values;
      for (std::int32_t iz = 0; iz < rows; ++iz)
        for (std::int32_t ix = 0; ix < columns; ++ix)
          values.push_back(weights[static_cast<std::size_t>(iz * nx + ix)]);
      return values;
    };
    Transcript arrays;
    weights_from_arrays(arrays.io(), mesh, block_values(setup.s_weights, nx, nz),
                        block_values(setup.x_weights, nx - 1, nz),
                        block_values(setup.z_weights, nx, nz - 1), given.s_weights, given.x_weights,
                        given.z_weights);
    ModelObjective from_arrays;
    build_model_objective(arrays.io(), mesh, cells, {0.01, 1.0, 0.5},
                          WeightSource::given(std::move(given)), DipSource::none(), false,
                          from_arrays);
    EXPECT_EQ(arrays.log(), "reference model will not be used in the derivative terms.\n");
    expect_same_objective(from_arrays, expected);
  }
}

// Background dip of 30 degrees with unequal coefficients from a dipping file: four terms, and the
// file's line in the run log after the reference-model line.
TEST(ModelObjectiveSetUp, DippingFileGivesTheCrossTerm) {
  const Mesh mesh = testing::make_mesh({10, 10, 10, 10}, {5, 5, 5});
  const ActiveCells cells = all_active(mesh);
  TempFolder folder;
  const std::string name = folder.write("zones.dip",
                                        "0.001 1.0 0.25 30\n"
                                        "1\n"
                                        "0.002 0.5 0.5 0 3\n"
                                        "100 100\n"
                                        "110 100\n"
                                        "110 110\n");
  Transcript transcript;
  ModelObjective objective;
  build_model_objective(transcript.io(), mesh, cells, {1, 1, 1}, WeightSource::ones(),
                        DipSource::file(name), true, objective);
  const std::string log = transcript.log();
  // The rotated terms are not diagonally dominant everywhere: the warnings follow.
  const std::string head =
      "reference model will be used in the derivative terms.\n"
      "dipping information was read from: " +
      name + "\n\n";
  ASSERT_EQ(transcript.log().substr(0, head.size()), head);
  EXPECT_EQ(transcript.log().substr(head.size(), 28), " Warning: not diag-dominant:");
  ASSERT_EQ(objective.n_terms, 4);

  ObjectiveSetup setup =
      testing::uniform_setup(mesh.dx, mesh.dz, 0.001, 1.0, 0.25, 30 * 0.0174532925199433);
  setup.alpha_s.push_back(0.002);
  setup.alpha_x.push_back(0.5);
  setup.alpha_z.push_back(0.5);
  setup.dip.push_back(0);
  ModelObjective expected;
  build_objective_terms(transcript.io(), setup.inputs(), true, {}, expected);
  expect_same_objective(objective, expected);
  Transcript selectors;
  ModelObjective by_selectors;
  build_model_objective(selectors.io(), mesh, cells, {1, 1, 1}, 0, no_files, 1, name, true,
                        by_selectors);
  EXPECT_EQ(selectors.log(), log);
  expect_same_objective(by_selectors, expected);
}

TEST(ModelObjectiveSetUp, InfluenceCellsStopAfterTheReferenceLine) {
  const Mesh mesh = testing::make_mesh({1, 1, 1}, {1, 1});
  ActiveCells cells = all_active(mesh);
  cells.cell_idx = {1, 2, -1, 3, 4, 5};
  cells.npar = 5;
  Transcript transcript;
  ModelObjective objective;
  EXPECT_THROW(build_model_objective(transcript.io(), mesh, cells, {1, 1, 1}, WeightSource::ones(),
                                     DipSource::none(), true, objective),
               Stop);
  EXPECT_EQ(transcript.error(), "icount > size(WTWs)\n");
  EXPECT_EQ(transcript.log(), "reference model will be used in the derivative terms.\n");
  EXPECT_EQ(transcript.console(), "");
  EXPECT_EQ(objective.n_terms, 0);
}

// A stop of the weights or of the dipping file comes after the reference-model line and leaves a
// previously built objective empty.
TEST(ModelObjectiveSetUp, StopsOfTheWeightsAndZonesLeaveTheObjectiveEmpty) {
  const Mesh mesh = testing::make_mesh({10, 20}, {5, 5});
  const ActiveCells cells = all_active(mesh);
  struct Case {
    WeightSource weights;
    DipSource dipping;
    std::string error;
  };
  for (const Case& c :
       {Case{{5, {}}, {}, "bad weight_input\n"}, Case{{}, DipSource::file("/no/such.dip"), ""}}) {
    Transcript transcript;
    ModelObjective objective;
    build_model_objective(transcript.io(), mesh, cells, {1, 1, 1}, WeightSource::ones(),
                          DipSource::none(), true, objective);
    ASSERT_EQ(objective.n_terms, 3);
    Transcript failing;
    EXPECT_THROW(build_model_objective(failing.io(), mesh, cells, {1, 1, 1}, c.weights, c.dipping,
                                       false, objective),
                 Stop);
    EXPECT_EQ(failing.error(), c.error);
    const std::string line = "reference model will not be used in the derivative terms.\n";
    EXPECT_EQ(failing.log().substr(0, line.size()), line);
    EXPECT_EQ(objective.n_terms, 0);
    EXPECT_TRUE(objective.wtw_terms.empty());
    EXPECT_TRUE(objective.WTW.row_start.empty());
  }
  ActiveCells other = cells;
  other.nx = 3;
  Transcript transcript;
  ModelObjective objective;
  EXPECT_THROW(build_model_objective(transcript.io(), mesh, other, {1, 1, 1}, WeightSource::ones(),
                                     DipSource::none(), true, objective),
               Stop);
  EXPECT_EQ(transcript.error(), "active cells not built for the mesh\n");
}

TEST(ModelObjectiveSetUp, ActiveCellsFromTheReaderAndTopography) {
  const Mesh mesh = testing::make_mesh({2, 3, 4}, {1, 2, 3});
  Topography topography;
  topography.air_cells = {1, 0, 2};
  topography.surface_z = {1, 0, 0, 3};
  topography.has_topography = true;
  Transcript reading;
  ActiveCells cells;
  read_active_cells(reading.io(), mesh, topography, "", cells);
  ASSERT_EQ(cells.npar, 6);
  Transcript transcript;
  ModelObjective objective;
  build_model_objective(transcript.io(), mesh, cells, {0.1, 1, 2}, WeightSource::ones(),
                        DipSource::none(), false, objective, {.keep_factors = true});
  ObjectiveSetup setup = testing::uniform_setup(mesh.dx, mesh.dz, 0.1, 1, 2);
  setup.cell_idx = cells.cell_idx;
  setup.npar = cells.npar;
  ModelObjective expected;
  build_objective_terms(transcript.io(), setup.inputs(), false, {}, expected);
  expect_same_objective(objective, expected);
  EXPECT_EQ(objective.Bx.size(), 6u);
}

}  // namespace
}  // namespace quelby
