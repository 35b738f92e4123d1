// The inversion driver on a small synthetic block survey: the target misfit reached, the block
// recovered, every file written per iteration and at the end reading back to what the run
// returned and what the observer saw; IP on the DC model; the run descriptions it refuses.
#include "quelby/inversion/inversion_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/report/inversion_report.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/inversion/block_survey_fixture.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"
#include "tests/support/unit_mesh.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempFolder;
using testing::Transcript;

std::vector<double> read_back(const Io& io, const Mesh& mesh, const std::string& name) {
  Model model(mesh.nx, mesh.nz);
  read_model(io, mesh, name, "written", model);
  return {model.values().begin(), model.values().end()};
}

// Written models keep 6 significant digits.
void expect_six_digits(const std::vector<double>& written, const std::vector<double>& expected) {
  ASSERT_EQ(written.size(), expected.size());
  for (std::size_t cell = 0; cell < expected.size(); ++cell) {
    ASSERT_NEAR(written[cell], expected[cell], 5e-6 * std::abs(expected[cell])) << cell;
  }
}

struct Seen {
  InversionStage stage;
  std::int32_t iteration;
  std::vector<double> model, misfits, norms, betas;
};

TEST(InversionRun, ADcRunReachesTheTargetAndEveryFileReadsBack) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.output_folder = folder.file("out/dc");
  std::vector<Seen> seen;
  run.observer = [&](const IterationUpdate& update) {
    seen.push_back({update.stage, update.report.iteration,
                    std::vector<double>(update.model.begin(), update.model.end()),
                    std::vector<double>(update.misfit_history.begin(), update.misfit_history.end()),
                    std::vector<double>(update.norm_history.begin(), update.norm_history.end()),
                    std::vector<double>(update.beta_history.begin(), update.beta_history.end())});
  };
  const InversionOutcome outcome = run_inversion(t.io(), run);
  ASSERT_TRUE(outcome.dc.has_value());
  EXPECT_FALSE(outcome.ip.has_value());
  const InversionResult& result = outcome.dc->result;
  EXPECT_EQ(result.stop, StopReason::target_reached);
  EXPECT_LE(result.misfit_history.back(), result.target_misfit);
  EXPECT_EQ(result.target_misfit, survey.ndat);
  const auto [block, background] = testing::block_and_background(survey, outcome.dc->model);
  EXPECT_LT(block, 0.5 * background);

  // The observer saw every iteration, with the history up to it.
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(result.iterations));
  ASSERT_GE(result.iterations, 2);
  for (std::size_t k = 0; k < seen.size(); ++k) {
    EXPECT_EQ(seen[k].stage, InversionStage::dc);
    EXPECT_EQ(seen[k].iteration, static_cast<std::int32_t>(k + 1));
    const std::size_t rows = k + 2;
    EXPECT_EQ(seen[k].misfits, std::vector<double>(result.misfit_history.begin(),
                                                   result.misfit_history.begin() + rows));
    EXPECT_EQ(seen[k].norms,
              std::vector<double>(result.norm_history.begin(), result.norm_history.begin() + rows));
    EXPECT_EQ(seen[k].betas,
              std::vector<double>(result.beta_history.begin(), result.beta_history.begin() + rows));
    expect_six_digits(read_back(t.io(), survey.mesh,
                                folder.file("out/dc/model_" + std::to_string(k + 1) + ".mod")),
                      seen[k].model);
  }
  EXPECT_EQ(seen.back().model, outcome.dc->model);
  EXPECT_FALSE(fs::exists(folder.file("out/dc/model_" + std::to_string(seen.size() + 1) + ".mod")));
  expect_six_digits(read_back(t.io(), survey.mesh, folder.file("out/dc/model.mod")),
                    outcome.dc->model);

  // The history is the one of the result, byte for byte.
  write_iteration_history(t.io(), folder.file("expected.txt"), result.iterations,
                          result.misfit_history, result.norm_history, result.beta_history,
                          result.target_misfit, survey.ndat);
  EXPECT_EQ(read_file(folder.file("out/dc/history.txt")), read_file(folder.file("expected.txt")));

  // The predicted data: the survey file's order and deviations, the values of the result.
  SurveyData observed, predicted;
  read_data_file(t.io(), survey.dc_file, false, false, true, observed);
  read_data_file(t.io(), folder.file("out/dc/predicted.dat"), false, false, true, predicted);
  EXPECT_EQ(predicted.sorted_pos, observed.sorted_pos);
  EXPECT_EQ(predicted.xa_file, observed.xa_file);
  EXPECT_EQ(predicted.xn_file, observed.xn_file);
  ASSERT_EQ(predicted.dobs.size(), result.predicted.size());
  for (std::size_t i = 0; i < result.predicted.size(); ++i) {
    EXPECT_NEAR(predicted.dobs[i], result.predicted[i], 1e-9 * std::abs(result.predicted[i]));
    EXPECT_NEAR(predicted.dstd[i], observed.dstd[i], 1e-9 * observed.dstd[i]);
  }

  const std::string stop_line = "DC inversion: reached the target misfit after " +
                                std::to_string(result.iterations) + " iterations, misfit";
  EXPECT_NE(t.console().find(stop_line), std::string::npos);
  EXPECT_NE(t.log().find(stop_line), std::string::npos);
  EXPECT_NE(t.log().find("mesh was read from: " + survey.mesh_file), std::string::npos);
  EXPECT_NE(t.log().find("      chosen beta ="), std::string::npos);
  EXPECT_NE(t.log().find("median apparent resistivity:"), std::string::npos);
}

// Also within a memory budget too small for the sensitivities: both inversions then step from
// products with J alone, to their targets and to the same sections to within a few per cent.
TEST(InversionRun, IpIsInvertedOnTheFinalDcModel) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.ip_data_file = survey.ip_file;
  run.invert = InversionTargets::both;
  run.ip_alpha = AlphaChoice{3, {}, {5, 5}};
  run.output_folder = folder.file("out");
  std::vector<InversionStage> stages;
  run.observer = [&](const IterationUpdate& update) { stages.push_back(update.stage); };
  const InversionOutcome outcome = run_inversion(t.io(), run);
  ASSERT_TRUE(outcome.dc && outcome.ip);
  const std::size_t dc_iterations = static_cast<std::size_t>(outcome.dc->result.iterations);
  const std::size_t ip_iterations = static_cast<std::size_t>(outcome.ip->result.iterations);
  ASSERT_GE(ip_iterations, 1u);
  EXPECT_EQ(stages.size(), dc_iterations + ip_iterations);
  EXPECT_TRUE(std::all_of(stages.begin(),
                          stages.begin() + static_cast<std::ptrdiff_t>(dc_iterations),
                          [](InversionStage s) { return s == InversionStage::dc; }));
  EXPECT_EQ(stages.back(), InversionStage::ip);
  EXPECT_TRUE(std::all_of(outcome.ip->model.begin(), outcome.ip->model.end(),
                          [](double eta) { return eta >= 0; }));
  // The chargeable block stands out of its surroundings.
  double block = 0, others = 0;
  int in = 0, out = 0;
  for (std::size_t cell = 0; cell < outcome.ip->model.size(); ++cell) {
    (survey.in_block[cell] ? block : others) += outcome.ip->model[cell];
    ++(survey.in_block[cell] ? in : out);
  }
  EXPECT_GT(block / in, 3 * others / out);
  for (const char* name : {"eta.mod", "eta_1.mod", "history_ip.txt", "predicted_ip.dat",
                           "model.mod", "history.txt", "predicted.dat"}) {
    EXPECT_TRUE(fs::exists(folder.file(std::string("out/") + name))) << name;
  }
  expect_six_digits(read_back(t.io(), survey.mesh, folder.file("out/eta.mod")), outcome.ip->model);
  SurveyData predicted;
  read_data_file(t.io(), folder.file("out/predicted_ip.dat"), false, false, false, predicted);
  EXPECT_EQ(predicted.iptype, std::vector<std::int32_t>(predicted.iptype.size(), 1));
  EXPECT_NE(t.console().find("IP inversion: "), std::string::npos);

  Transcript small;
  run.settings.memory_budget = 1;
  run.observer = nullptr;
  run.output_folder = folder.file("small");
  const InversionOutcome without = run_inversion(small.io(), run);
  ASSERT_TRUE(without.dc && without.ip);
  EXPECT_EQ(without.dc->result.stop, StopReason::target_reached);
  EXPECT_EQ(without.ip->result.stop, StopReason::target_reached);
  EXPECT_EQ(small.log().find("the sensitivities held"), std::string::npos);
  EXPECT_NE(small.log().find("from products with the sensitivities"), std::string::npos);
  const auto [dc_block, dc_background] = testing::block_and_background(survey, outcome.dc->model);
  const auto [block_without, background_without] =
      testing::block_and_background(survey, without.dc->model);
  EXPECT_NEAR(std::log(block_without / dc_block), 0, 0.05);
  EXPECT_NEAR(std::log(background_without / dc_background), 0, 0.05);
  double eta_block = 0, eta_block_without = 0;
  for (std::size_t cell = 0; cell < outcome.ip->model.size(); ++cell) {
    if (!survey.in_block[cell]) continue;
    eta_block += outcome.ip->model[cell];
    eta_block_without += without.ip->model[cell];
  }
  EXPECT_NEAR(eta_block_without / eta_block, 1, 0.1);
}

// IP data of either sign: a third of the apparent chargeabilities negated. Chargeabilities of 0
// or more cannot fit them; the run says that the data hold it, how many readings are negative,
// those that misfit most and what helps. With a negative lower bound the same data fit better.
TEST(InversionRun, AnIpRunThatCannotFitItsDataSaysWhy) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  SurveyData ip;
  read_data_file(t.io(), survey.ip_file, false, false, false, ip);
  std::vector<double> flipped(ip.dobs);
  std::size_t negative = 0;
  for (std::size_t i = 0; i < flipped.size(); i += 3, ++negative) flipped[i] = -3 * flipped[i];
  SurveyData signed_data = ip;
  signed_data.dobs = flipped;
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.ip_data = signed_data;
  run.invert = InversionTargets::both;
  run.output_folder = folder.file("out");
  const InversionOutcome outcome = run_inversion(t.io(), run);
  ASSERT_TRUE(outcome.ip);
  const StopReason stop = outcome.ip->result.stop;
  ASSERT_TRUE(stop == StopReason::no_descent || stop == StopReason::misfit_stalled)
      << stop_reason_text(stop);
  const std::string text = t.console();
  EXPECT_NE(text.find("IP inversion stopped short of its target misfit"), std::string::npos)
      << text;
  EXPECT_NE(text.find(std::to_string(negative) + " of " + std::to_string(ip.ndat) +
                      " readings ("),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("are negative apparent chargeabilities"), std::string::npos);
  EXPECT_NE(text.find("  the readings that misfit most:\n    datum "), std::string::npos);
  EXPECT_NE(text.find("--ip-lower-bound"), std::string::npos);
  EXPECT_NE(t.log().find("IP inversion stopped short"), std::string::npos);

  Transcript bounded;
  run.ip_lower_bound = -100;
  run.output_folder = folder.file("bounded");
  const InversionOutcome signed_outcome = run_inversion(bounded.io(), run);
  ASSERT_TRUE(signed_outcome.ip);
  const double kept = signed_outcome.ip->result
                          .misfit_history[static_cast<std::size_t>(
                              signed_outcome.ip->result.kept_iteration)];
  EXPECT_LT(kept, 0.5 * outcome.ip->result.misfit_history.back());
  EXPECT_TRUE(std::any_of(signed_outcome.ip->model.begin(), signed_outcome.ip->model.end(),
                          [](double eta) { return eta < 0; }));
  EXPECT_TRUE(std::all_of(signed_outcome.ip->model.begin(), signed_outcome.ip->model.end(),
                          [](double eta) { return eta >= -100; }));
}

// The default grid (half-spacing cells of two mesh columns, layers thickening with depth) finds
// the block as one parameter per mesh cell does: the block's and the background's geometric means
// within 10 %, with far fewer parameters.
TEST(InversionRun, TheParameterGridFindsWhatTheMeshCellsFind) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  InversionRun run;
  run.mesh_file = survey.mesh_file;
  run.data_file = survey.dc_file;
  run.output_folder = folder.file("cells");
  const InversionOutcome cells = run_inversion(t.io(), run);
  run.parameter_cell = {ParameterCellChoice::Kind::automatic, 0};
  run.output_folder = folder.file("grid");
  const InversionOutcome grid = run_inversion(t.io(), run);
  ASSERT_TRUE(cells.dc && grid.dc);
  EXPECT_EQ(grid.dc->result.stop, StopReason::target_reached);
  EXPECT_LT(grid.cells.npar * 2, cells.cells.npar);
  Mesh written;
  load_mesh(t.io(), folder.file("grid/parameters.msh"), written);
  EXPECT_EQ(written.nx, grid.mesh.nx);
  const std::vector<double> spread = forward_model_of_grid(grid.grid, grid.dc->model);
  const auto [block, background] = testing::block_and_background(survey, cells.dc->model);
  const auto [grid_block, grid_background] = testing::block_and_background(survey, spread);
  EXPECT_NEAR(std::log(grid_block / block), 0, std::log(1.1));
  EXPECT_NEAR(std::log(grid_background / background), 0, std::log(1.1));
}

// Stores given in memory run the inversion the files run, to the bit, and name the data in the
// messages as given; stores that do not fit the mesh or one another are refused.
TEST(InversionRun, StoresInMemoryRunAsTheirFiles) {
  Transcript t;
  TempFolder folder;
  const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
  InversionRun by_files;
  by_files.mesh_file = survey.mesh_file;
  by_files.data_file = survey.dc_file;
  by_files.settings.max_iterations = 2;
  by_files.output_folder = folder.file("files");
  const InversionOutcome expected = run_inversion(t.io(), by_files);

  Mesh mesh;
  load_mesh(t.io(), survey.mesh_file, mesh);
  Topography flat;
  read_topography(t.io(), false, "", mesh.x_nodes, mesh.z_nodes, flat);
  SurveyData data;
  read_data_file(t.io(), survey.dc_file, false, false, true, data);
  ActiveCells cells;
  active_cells_from_flags(t.io(), mesh, flat, std::vector<std::int32_t>(survey.in_block.size(), 1),
                          cells);
  const std::vector<double> start(survey.in_block.size(), 50.0);
  for (const bool with_cells : {false, true}) {
    SCOPED_TRACE(with_cells ? "active cells given" : "topography given");
    InversionRun in_memory = by_files;
    in_memory.mesh_file.clear();
    in_memory.data_file.clear();
    in_memory.mesh = mesh;
    in_memory.data = data;
    if (with_cells) in_memory.active = cells;
    in_memory.topography = flat;
    in_memory.output_folder = folder.file("memory");
    Transcript memory;
    const InversionOutcome outcome = run_inversion(memory.io(), in_memory);
    EXPECT_EQ(outcome.dc->model, expected.dc->model);
    EXPECT_EQ(outcome.dc->result.misfit_history, expected.dc->result.misfit_history);
    EXPECT_EQ(outcome.dc->result.predicted, expected.dc->result.predicted);
    EXPECT_EQ(read_file(folder.file("memory/history.txt")),
              read_file(folder.file("files/history.txt")));
    EXPECT_NE(memory.console().find("DC inversion of 22 data from the DC data given for"),
              std::string::npos)
        << memory.console();
    EXPECT_EQ(memory.log().find("was read from"), std::string::npos);
  }
  // A starting model given per cell is the model of its values.
  InversionRun started = by_files;
  started.starting = ModelChoice::per_cell(start);
  started.reference = ModelChoice::uniform(50.0);
  started.settings.max_iterations = 1;
  started.output_folder = folder.file("started");
  InversionRun uniform = started;
  uniform.starting = ModelChoice::uniform(50.0);
  EXPECT_EQ(run_inversion(t.io(), started).dc->model, run_inversion(t.io(), uniform).dc->model);

  Topography narrow = flat;
  narrow.air_cells.pop_back();
  Topography three_columns;
  three_columns.air_cells = {0, 0, 0};
  ActiveCells other;
  active_cells_from_flags(t.io(), testing::unit_mesh(3, 2), three_columns,
                          std::vector<std::int32_t>(6, 1), other);
  Topography raised = flat;
  raised.air_cells[0] = 1;
  SurveyData locations = data;
  locations.has_values = false;
  const struct {
    std::string what;
    std::function<void(InversionRun&)> change;
    std::string message;
  } cases[] = {
      {"a narrow topography", [&](InversionRun& r) { r.topography = narrow; },
       "\nError: the topography given holds " + std::to_string(mesh.nx - 1) +
           " columns, the mesh has " + std::to_string(mesh.nx) + ".\n"},
      {"cells of another mesh", [&](InversionRun& r) { r.active = other; },
       "\nError: the active cells given were built for 3 x 2 cells, the mesh has " +
           std::to_string(mesh.nx) + " x " + std::to_string(mesh.nz) + ".\n"},
      {"cells on other ground",
       [&](InversionRun& r) {
         r.active = cells;
         r.topography = raised;
       },
       "\nError: the active cells given were built with another ground surface than the "
       "topography's.\n"},
      {"data without values", [&](InversionRun& r) { r.data = locations; },
       "\nError: the DC data given hold no values.\n"},
      {"a starting model of another size",
       [&](InversionRun& r) {
         r.starting = ModelChoice::per_cell({1.0, 2.0});
       },
       "\nError: the starting model holds 2 values, the mesh has " + std::to_string(start.size()) +
           " cells.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InversionRun run = by_files;
    run.mesh = mesh;
    run.output_folder = folder.file("refused");
    c.change(run);
    Transcript refused;
    EXPECT_THROW(run_inversion(refused.io(), run), Stop);
    EXPECT_EQ(refused.console(), c.message);
  }
}

TEST(InversionRun, RunsItCannotDoAreRefusedBeforeAnyFileIsRead) {
  TempFolder folder;
  folder.write("a_file", "x");
  struct Case {
    std::string what;
    std::function<void(InversionRun&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      // A name of blanks only (assigned by count: g++ 12 warns falsely on a short literal here).
      {"no DC data", [](InversionRun& r) { r.data_file.assign(1, ' '); },
       "\nError: a DC inversion needs a DC data file.\n"},
      {"no IP data", [](InversionRun& r) { r.invert = InversionTargets::both; },
       "\nError: an IP inversion needs an IP data file.\n"},
      {"IP alone without a resistivity",
       [](InversionRun& r) {
         r.invert = InversionTargets::ip;
         r.ip_data_file = "ip.dat";
         r.data_file.clear();
         r.starting = ModelChoice::uniform(100);
       },
       "\nError: an IP inversion without DC data needs the resistivity as its starting and "
       "reference models (a value or a model file).\n"},
      {"alpha mode 1", [](InversionRun& r) { r.alpha.mode = 1; },
       "\nError: alpha mode 1: 0, 2 or 3 expected.\n"},
      {"IP alpha mode 4",
       [](InversionRun& r) {
         r.ip_alpha = AlphaChoice{4, {}, {}};
       },
       "\nError: alpha mode 4: 0, 2 or 3 expected.\n"},
      {"chifact 0", [](InversionRun& r) { r.settings.chifact = 0; },
       "\nError: chifact must be positive and the iteration limit 0 or more.\n"},
      {"a file as the output folder",
       [&](InversionRun& r) { r.output_folder = folder.file("a_file"); },
       "\nError: cannot create the output folder " + folder.file("a_file") + ": Not a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    InversionRun run;
    run.mesh_file = folder.file("missing.msh");
    run.data_file = "dc.dat";
    run.output_folder = folder.file("out");
    c.change(run);
    Transcript t;
    EXPECT_THROW(run_inversion(t.io(), run), Stop);
    EXPECT_EQ(t.console(), c.message);
    EXPECT_EQ(t.log(), c.message);
  }
}

// Coefficients that make the model objective useless say so, naming what to change.
TEST(InversionRun, CoefficientsThatBreakTheObjectiveAreNamed) {
  struct Case {
    AlphaChoice alpha;
    std::string message;
  };
  const std::vector<Case> cases = {
      {AlphaChoice{3, {}, {1e-300, 1e-300}},
       "Error: the alpha coefficients a_s = inf, a_x = NaN, a_z = NaN are not finite numbers of 0 "
       "or more: the length scales given are too small or too large"},
      {AlphaChoice{2, {1e-300, 1, 1}, {}},
       "Error: the model objective's matrix WTW is not positive definite: its smallness term "
       "(largest entry "},
  };
  for (const Case& c : cases) {
    Transcript t;
    TempFolder folder;
    const testing::BlockSurvey survey = testing::write_block_survey(t.io(), folder);
    InversionRun run;
    run.mesh_file = survey.mesh_file;
    run.data_file = survey.dc_file;
    run.alpha = c.alpha;
    run.output_folder = folder.file("out");
    EXPECT_THROW(run_inversion(t.io(), run), Stop);
    EXPECT_NE(t.console().find(c.message), std::string::npos) << t.console();
  }
}

}  // namespace
}  // namespace quelby
