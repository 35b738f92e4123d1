// The depth-of-investigation index: R of hand-made models, its clip and its normalisation; on the
// block survey, low over the block and high at depth and beyond the line's ends, its files and its
// lines; further runs short of their target and cells that are no parameter; the runs it refuses.
#include "quelby/inversion/depth_of_investigation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "tests/inversion/block_survey_fixture.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::Transcript;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(DepthOfInvestigation, TheIndexIsRNormalisedOverTheParameters) {
  struct Case {
    const char* what;
    std::vector<double> low_model, high_model, low_reference, high_reference;
    std::vector<double> index;
    double largest;
  };
  const std::vector<Case> cases = {
      // References 100 apart: R = log10(m1 / m2) / -2.
      {"a cell the data fix, one the reference fixes, one between",
       {50, 1, 10},
       {50, 100, 100},
       {1, 1, 1},
       {100, 100, 100},
       {0, 1, 0.5},
       1},
      {"normalised by the largest |R| when it stays below 1; a negative R counts by its size",
       {5, 1, 100},
       {20, 4, 10},
       {1, 1, 1},
       {100, 100, 100},
       {std::log10(4.0), std::log10(4.0), 1},
       0.5},
      {"an overshoot beyond 1 counts as 1 and leaves the others as they are",
       {1, 1, 10, 0.5},
       {10, 100, 100, 1},
       {1, 1, 1, 1},
       {10, 10, 10, 10},
       {1, 1, 1, std::log10(2.0)},
       2},
      {"references apart by another factor in each cell",
       {2, 30},
       {8, 60},
       {2, 10},
       {8, 1000},
       {1, std::log10(2.0) / 2},
       1},
      {"no parameter where a reference is NaN; the largest taken over the parameters",
       {1, 7, 9},
       {10, 7, 9},
       {nan, 1, 1},
       {nan, 10, 10},
       {doi_no_parameter, 0, 0},
       0},
  };
  for (const Case& c : cases) {
    double largest = -1;
    const std::vector<double> index =
        doi_index(c.low_model, c.high_model, c.low_reference, c.high_reference, &largest);
    ASSERT_EQ(index.size(), c.index.size()) << c.what;
    for (std::size_t cell = 0; cell < index.size(); ++cell) {
      EXPECT_NEAR(index[cell], c.index[cell], 1e-12) << c.what << ", cell " << cell;
    }
    EXPECT_NEAR(largest, c.largest, 1e-12) << c.what;
  }
}

std::vector<double> read_back(const Io& io, const Mesh& mesh, const std::string& name) {
  Model model(mesh.nx, mesh.nz);
  read_model(io, mesh, name, "written", model);
  return {model.values().begin(), model.values().end()};
}

TEST(DepthOfInvestigation, TheBlockSurveySeesTheBlockAndNotTheDepth) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.output_folder = folder.file("out");
  int iterations_seen = 0;
  run.observer = [&](const IterationUpdate&) { ++iterations_seen; };
  const InversionOutcome first = run_inversion(t.io(), run);
  ASSERT_TRUE(first.dc);
  const std::string console_before = t.console();
  const int first_iterations = iterations_seen;
  const DepthOfInvestigation depth = depth_of_investigation(t.io(), run, first);

  EXPECT_EQ(depth.factor, 10);
  EXPECT_EQ(iterations_seen,
            first_iterations + depth.low.result.iterations + depth.high.result.iterations);
  for (const StageOutcome* further : {&depth.low, &depth.high}) {
    EXPECT_EQ(further->result.stop, StopReason::target_reached);
  }
  const Mesh& mesh = first.mesh;
  ASSERT_EQ(depth.index.size(), static_cast<std::size_t>(mesh.nx) * mesh.nz);
  const double line_end = 5.0 * 9;
  double block_most = 0, deep_least = 1, beyond_least = 1;
  int deep = 0, beyond = 0;
  for (std::size_t cell = 0; cell < depth.index.size(); ++cell) {
    const double value = depth.index[cell];
    ASSERT_TRUE(value >= 0 && value <= 1) << cell;  // every cell is a parameter here
    const double x = mesh.x_centres[cell % static_cast<std::size_t>(mesh.nx)];
    const double z = mesh.z_centres[cell / static_cast<std::size_t>(mesh.nx)];
    if (survey.in_block[cell]) block_most = std::max(block_most, value);
    if (z > 40) {
      deep_least = std::min(deep_least, value);
      ++deep;
    }
    if ((x < -25 || x > line_end + 25) && z < 10) {
      beyond_least = std::min(beyond_least, value);
      ++beyond;
    }
  }
  ASSERT_GT(deep, 0);
  ASSERT_GT(beyond, 0);
  EXPECT_LT(block_most, 0.2);
  EXPECT_GT(deep_least, 0.8);
  EXPECT_GT(beyond_least, 0.8);

  // The files: the index as doi.mod, each further run's files in its folder with its own log.
  const std::vector<double> written = read_back(t.io(), mesh, folder.file("out/doi.mod"));
  for (std::size_t cell = 0; cell < written.size(); ++cell) {
    ASSERT_NEAR(written[cell], depth.index[cell], 5e-6) << cell;
  }
  for (const char* name : {"doi_low", "doi_high"}) {
    for (const char* file : {"model.mod", "history.txt", "predicted.dat", "run.log"}) {
      EXPECT_TRUE(fs::exists(folder.file(std::string("out/") + name + "/" + file))) << file;
    }
  }
  EXPECT_EQ(read_back(t.io(), mesh, folder.file("out/doi_high/model_1.mod")).size(),
            written.size());
  const std::vector<double> low = read_back(t.io(), mesh, folder.file("out/doi_low/model.mod"));
  EXPECT_NEAR(low[0], depth.low.model[0], 5e-6 * depth.low.model[0]);

  // One line on the console; the stop reasons and misfits in the log.
  const std::string added = t.console().substr(console_before.size());
  EXPECT_EQ(
      added.rfind("Depth of investigation: " + folder.file("out/doi.mod") + ", index below 0.2 in ",
                  0),
      0u)
      << added;
  EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1) << added;
  EXPECT_NE(added.find(", both at the target\n"), std::string::npos) << added;
  const std::string log = t.log();
  EXPECT_NE(log.find("  reference / 3.162 (" + folder.file("out/doi_low") +
                     "): reached the target misfit after "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("  reference * 3.162 (" + folder.file("out/doi_high") + "): "),
            std::string::npos);
  EXPECT_NE(log.find("largest |R| over the parameters:"), std::string::npos);

  // A further run that stops is named before its own message, and its stop goes on.
  const OutputFolder held = hold_output_folder(t.io(), folder.file("out/doi_high"));
  Transcript stopped;
  EXPECT_THROW(depth_of_investigation(stopped.io(), run, first), Stop);
  const std::string named =
      "\nError: the depth-of-investigation inversion with the reference * "
      "3.162 stopped (its files and run log are in " +
      folder.file("out/doi_high") + "):\nError: the output folder ";
  EXPECT_EQ(stopped.console().rfind(named, 0), 0u) << stopped.console();
  EXPECT_TRUE(stopped.log().ends_with(stopped.console())) << stopped.log();
}

// Further runs stopped short of their target say so on the console and in the log; the cells that
// are no parameter keep the first run's values in both and the index -1.
TEST(DepthOfInvestigation, RunsShortOfTheTargetAndCellsThatAreNoParameterAreMarked) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  const Mesh& mesh = survey.mesh;
  std::vector<std::int32_t> flags(static_cast<std::size_t>(mesh.nx) * mesh.nz, 1);
  for (std::int32_t k = 0; k < mesh.nz; ++k) flags[static_cast<std::size_t>(k) * mesh.nx] = 0;
  Topography flat;
  read_topography(t.io(), false, "", mesh.x_nodes, mesh.z_nodes, flat);
  ActiveCells cells;
  active_cells_from_flags(t.io(), mesh, flat, flags, cells);
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.active = cells;
  run.settings.max_iterations = 1;
  run.output_folder = folder.file("out");
  const InversionOutcome first = run_inversion(t.io(), run);
  const DepthOfInvestigation depth = depth_of_investigation(t.io(), run, first, 4);
  EXPECT_EQ(depth.low.result.stop, StopReason::iteration_limit);
  EXPECT_NE(t.console().find(" (reached the iteration limit; reached the iteration limit: read the "
                             "index with care)\n"),
            std::string::npos)
      << t.console();
  EXPECT_NE(t.log().find("  a further run that missed its target misfit leaves an index"),
            std::string::npos);
  for (std::size_t cell = 0; cell < depth.index.size(); ++cell) {
    const bool parameter = flags[cell] == 1;
    EXPECT_EQ(std::isnan(first.dc_reference[cell]), !parameter) << cell;
    if (parameter) {
      EXPECT_TRUE(depth.index[cell] >= 0 && depth.index[cell] <= 1) << cell;
      continue;
    }
    EXPECT_EQ(depth.index[cell], doi_no_parameter) << cell;
    EXPECT_EQ(depth.low.model[cell], first.dc->model[cell]) << cell;
    EXPECT_EQ(depth.high.model[cell], first.dc->model[cell]) << cell;
  }
}

TEST(DepthOfInvestigation, RefusesRunsWithoutAnIndex) {
  struct Case {
    InversionTargets invert;
    double factor;
    std::string message;
  };
  const std::vector<Case> cases = {
      {InversionTargets::ip, 10,
       "\nError: the depth of investigation comes from DC inversions: an IP inversion alone has "
       "none (what to invert: DC or both).\n"},
      {InversionTargets::dc, 1,
       "\nError: the depth of investigation needs references a factor above 1 apart, not 1.\n"},
      {InversionTargets::both, 0.5,
       "\nError: the depth of investigation needs references a factor above 1 apart, not 0.5.\n"},
      {InversionTargets::dc, nan,
       "\nError: the depth of investigation needs references a factor above 1 apart, not NaN.\n"},
  };
  for (const Case& c : cases) {
    Transcript t;
    InversionRun run;
    run.invert = c.invert;
    EXPECT_THROW(check_depth_of_investigation(t.io(), run, c.factor), Stop);
    EXPECT_EQ(t.console(), c.message);
    EXPECT_EQ(t.log(), c.message);
  }
  // A factor of 1 or less stops before any run, in the same words.
  Transcript t;
  InversionRun run;
  InversionOutcome none;
  EXPECT_THROW(depth_of_investigation(t.io(), run, none, 1), Stop);
  EXPECT_EQ(
      t.console(),
      "\nError: the depth of investigation needs references a factor above 1 apart, not 1.\n");
}

}  // namespace
}  // namespace quelby
