// Surveys as field crews read them: overlapping Wenner, Wenner-Schlumberger and dipole-dipole
// readings of one line, each repeated reciprocally, so that many readings depend on others; and
// the same survey with spoiled values (sign flips, ten times, a tenth, zero). Least squares
// inverts the clean survey to its target; on the spoiled one the robust misfit recovers the
// body the clean data show, fits the other data to their target and names the spoiled readings;
// a blocky model reaches the target with sharper edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/inversion/inversion_run.hpp"
#include "tests/inversion/block_survey_fixture.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

testing::BlockSurveyShape field_shape(std::vector<std::pair<std::size_t, double>> spoiled = {}) {
  testing::BlockSurveyShape shape;
  shape.electrodes = 14;
  shape.n_max = 4;
  shape.mixed_arrays = true;
  shape.reciprocals = true;
  shape.spoiled = std::move(spoiled);
  return shape;
}

struct FieldRun {
  Transcript t;
  TempFolder folder;
  testing::BlockSurvey survey;
  InversionOutcome outcome;
  std::string log;
  FieldRun(const testing::BlockSurveyShape& shape, bool robust, bool blocky = false) {
    survey = testing::write_block_survey(t.io(), folder, shape);
    InversionRun run;
    run.mesh_file = survey.mesh_file;
    run.data_file = survey.dc_file;
    run.starting = run.reference = ModelChoice::uniform(60);
    run.settings.robust = robust;
    run.settings.blocky = blocky;
    run.output_folder = folder.file("out");
    outcome = run_inversion(t.io(), run);
    log = t.log();
  }
};

// The data lines (1-based) of `file` whose values differ from those of `clean`.
std::set<std::size_t> differing_lines(const std::string& file, const std::string& clean) {
  std::ifstream a(file), b(clean);
  std::string x, y;
  std::set<std::size_t> lines;
  std::size_t line = 0;
  std::getline(a, x);  // the header comment
  std::getline(b, y);
  while (std::getline(a, x) && std::getline(b, y)) {
    ++line;
    if (x != y) lines.insert(line);
  }
  return lines;
}

TEST(FieldSurvey, DependentReadingsInvertToTheTargetAndSpoiledOnesDoNotPullARobustModel) {
  const FieldRun clean(field_shape(), false);
  ASSERT_TRUE(clean.outcome.dc);
  const InversionResult& clean_result = clean.outcome.dc->result;
  EXPECT_EQ(clean_result.stop, StopReason::target_reached);
  EXPECT_GT(clean.survey.ndat, 150);
  EXPECT_NE(clean.log.find("eigenvalues below 1e-12 of the largest"), std::string::npos);
  const auto [clean_block, clean_background] =
      testing::block_and_background(clean.survey, clean.outcome.dc->model, field_shape());
  EXPECT_LT(clean_block, 0.5 * clean_background);

  const std::vector<std::pair<std::size_t, double>> spoiled = {{17, -1}, {40, 10},  {63, 0.1},
                                                               {86, 0},  {109, -1}, {132, 10}};
  const FieldRun robust(field_shape(spoiled), true);
  ASSERT_TRUE(robust.outcome.dc);
  const InversionResult& result = robust.outcome.dc->result;
  EXPECT_EQ(result.stop, StopReason::target_reached) << robust.log;
  const auto [block, background] =
      testing::block_and_background(robust.survey, robust.outcome.dc->model, field_shape());
  EXPECT_NEAR(std::log(block / clean_block), 0, 0.15);
  EXPECT_NEAR(std::log(background / clean_background), 0, 0.05);
  // The other data fit to their target; the spoiled ones are weighted down.
  const StageOutcome& stage = *robust.outcome.dc;
  double others = 0;
  std::size_t count = 0, spoiled_down = 0;
  for (std::size_t i = 0; i < stage.dobs.size(); ++i) {
    const double r = (result.predicted[i] - stage.dobs[i]) / stage.dstd[i];
    if (result.data_weights[i] < 0.05) {
      ++spoiled_down;
    } else {
      others += r * r;
      ++count;
    }
  }
  EXPECT_EQ(spoiled_down, spoiled.size());
  EXPECT_LT(others, 1.2 * static_cast<double>(count));
  // The run log names the spoiled readings by their data lines, first of its list.
  const std::set<std::size_t> lines = differing_lines(robust.survey.dc_file, clean.survey.dc_file);
  ASSERT_EQ(lines.size(), spoiled.size());
  const std::size_t list = robust.log.find("DC robust misfit: ");
  ASSERT_NE(list, std::string::npos) << robust.log;
  std::istringstream named(robust.log.substr(list));
  std::string row;
  std::getline(named, row);
  for (std::size_t k = 0; k < spoiled.size(); ++k) {
    ASSERT_TRUE(std::getline(named, row));
    std::size_t line = 0;
    ASSERT_EQ(std::sscanf(row.c_str(), "  datum %zu of", &line), 1) << row;
    EXPECT_EQ(lines.count(line), 1u) << row;
  }

  // Least squares on the spoiled survey never breaks: it ends with a reason and finite models.
  const FieldRun plain(field_shape(spoiled), false);
  ASSERT_TRUE(plain.outcome.dc);
  for (const double value : plain.outcome.dc->model) EXPECT_TRUE(std::isfinite(value));
  EXPECT_NE(plain.outcome.dc->result.stop, StopReason::target_reached);
}

TEST(FieldSurvey, ABlockyModelReachesTheTargetWithSharperEdges) {
  const FieldRun smooth(field_shape(), false);
  const FieldRun blocky(field_shape(), false, true);
  ASSERT_TRUE(smooth.outcome.dc && blocky.outcome.dc);
  EXPECT_EQ(blocky.outcome.dc->result.stop, StopReason::target_reached) << blocky.log;
  // Sharper: the changes of ln(rho) between neighbouring cells are carried by fewer, larger
  // jumps; (sum |jump|)^2 / sum jump^2 is the effective number of jumps.
  const auto spread = [](const FieldRun& run) {
    const std::vector<double>& model = run.outcome.dc->model;
    double l1 = 0, l2 = 0;
    const Mesh& mesh = run.outcome.mesh;
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t i = 0; i + 1 < mesh.nx; ++i) {
        const std::size_t cell = static_cast<std::size_t>(k * mesh.nx + i);
        const double jump = std::abs(std::log(model[cell + 1] / model[cell]));
        l1 += jump;
        l2 += jump * jump;
      }
    }
    return l1 * l1 / l2;  // the number of jumps that carry the change, in effect
  };
  EXPECT_LT(spread(blocky), 0.8 * spread(smooth));
}

}  // namespace
}  // namespace quelby
