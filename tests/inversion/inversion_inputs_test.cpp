// The inputs a run fills in itself: standard deviations from a percentage and a floor, the median
// apparent resistivity against a half-space, and models from a value or a file checked in the
// parameter cells only.
#include "quelby/inversion/inversion_inputs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "tests/support/temp_folder.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::TempFolder;
using testing::Transcript;

TEST(InversionInputs, DeviationsComeFromTheFileOrFromAPercentageAndAFloor) {
  TempFolder folder;
  const std::string without = folder.write("plain.dat",
                                           "survey\n0 5 10 15 -2.0\n0 5 15 20 0.5\n"
                                           "5 10 15 20 0\n");
  const std::string with = folder.write("std.dat", "survey\n0 5 10 15 -2.0 0.25\n");
  Transcript t;
  SurveyData data;
  read_data_file(t.io(), with, false, false, true, data);
  complete_deviations(t.io(), with, std::nullopt, data);
  EXPECT_EQ(data.dstd, std::vector<double>{0.25});

  read_data_file(t.io(), without, false, false, true, data);
  try {
    complete_deviations(t.io(), without, std::nullopt, data);
    ADD_FAILURE() << "accepted";
  } catch (const Stop& stop) {
    const std::string message = "\nError: the data file has no standard deviations: " + without +
                                "\nA percentage and a floor for them are needed.\n";
    EXPECT_EQ(t.console(), message);
    EXPECT_EQ(stop.detail(), without + ": no standard-deviation column");
  }
  complete_deviations(t.io(), without, DataUncertainty{5, 0.01}, data);
  // Grouped order: pair (0, 5) holds -2.0 and 0.5, pair (5, 10) holds 0.
  ASSERT_EQ(data.dobs, (std::vector<double>{-2.0, 0.5, 0}));
  EXPECT_EQ(data.dstd, (std::vector<double>{5.0 / 100 * 2.0 + 0.01, 5.0 / 100 * 0.5 + 0.01, 0.01}));

  Transcript refused;
  read_data_file(refused.io(), without, false, false, true, data);
  EXPECT_THROW(complete_deviations(refused.io(), without, DataUncertainty{5, 0}, data), Stop);
  EXPECT_NE(refused.console().find("give a standard deviation that is not positive"),
            std::string::npos);
}

TEST(InversionInputs, TheMedianApparentResistivityOfAHalfSpaceIsItsResistivity) {
  Transcript t;
  std::vector<double> a, b, m, n;
  for (int first = 0; first + 3 < 8; ++first) {
    for (int level = 1; first + 2 + level <= 7; ++level) {
      a.push_back(4.0 * first);
      b.push_back(4.0 * (first + 1));
      m.push_back(4.0 * (first + 1 + level));
      n.push_back(4.0 * (first + 2 + level));
    }
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  survey_from_arrays(t.io(), arrays, survey);
  SurveyMeshOptions options;
  options.cell_width = 1;
  const Mesh mesh = mesh_for_survey(t.io(), survey, options);
  const std::vector<std::int32_t> air(static_cast<std::size_t>(mesh.nx), 0);
  ForwardModel forward(t.io(), mesh, air, survey);
  const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  survey.dobs = forward.data(t.io(), std::vector<double>(cells, 37.5));
  // The numeric geometric factors cancel the discretisation: K d is 37.5 to rounding.
  const double median = median_apparent_resistivity(t.io(), forward, mesh, survey, "s.dat");
  EXPECT_NEAR(median, 37.5, 1e-9);
  for (double& value : survey.dobs) value = -value;
  EXPECT_THROW(median_apparent_resistivity(t.io(), forward, mesh, survey, "s.dat"), Stop);
  EXPECT_NE(t.console().find("\nError: the median apparent resistivity of the data is not "
                             "positive: " +
                             shortest(-median)),
            std::string::npos)
      << t.console();
}

TEST(InversionInputs, ModelsAreCheckedInTheParameterCellsOnly) {
  TempFolder folder;
  const std::string mesh_file = folder.write("m.msh", "1\n0 3 3\n1\n0 2 2\n");
  // Cell (2, 1) is inactive, so its value may be anything.
  const std::string active_file = folder.write("c.act", "3 2\n1 0 1\n1 1 1\n");
  Transcript t;
  Mesh mesh;
  Topography topography;
  load_mesh_and_topography(t.io(), mesh_file, "", false, mesh, topography);
  ActiveCells cells;
  read_active_cells(t.io(), mesh, topography, active_file, cells);
  folder.write("held.mod", "3 2\n1 -5 2\n3 4 5\n");
  folder.write("bad.mod", "3 2\n1 1 1\n1 0 1\n");

  const std::vector<double> held =
      model_of_choice(t.io(), mesh, cells, ModelChoice::model_file(folder.file("held.mod")),
                      "starting", 0, ParameterRange::positive);
  EXPECT_EQ(held, (std::vector<double>{1, -5, 2, 3, 4, 5}));
  EXPECT_EQ(model_of_choice(t.io(), mesh, cells, ModelChoice::automatic(), "starting", 42,
                            ParameterRange::positive),
            std::vector<double>(6, 42));
  EXPECT_EQ(model_of_choice(t.io(), mesh, cells, ModelChoice::uniform(0), "reference", 7,
                            ParameterRange::not_negative),
            std::vector<double>(6, 0));

  struct Case {
    ModelChoice choice;
    ParameterRange range;
    std::string message;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {ModelChoice::model_file(folder.file("bad.mod")), ParameterRange::positive,
       "\nError: the starting model holds 0 in cell (2, 2), a parameter: a positive value is "
       "needed\n",
       folder.file("bad.mod") + ": cell (2, 2) holds 0"},
      {ModelChoice::uniform(-1), ParameterRange::not_negative,
       "\nError: the starting model holds -1 in cell (1, 1), a parameter: a value of 0 or more is "
       "needed\n",
       "starting: cell (1, 1) holds -1"},
      {ModelChoice::uniform(INFINITY), ParameterRange::finite,
       "\nError: the starting model holds inf in cell (1, 1), a parameter: a finite value is "
       "needed\n",
       "starting: cell (1, 1) holds inf"},
  };
  for (const Case& c : cases) {
    Transcript refused;
    try {
      model_of_choice(refused.io(), mesh, cells, c.choice, "starting", 1, c.range);
      ADD_FAILURE() << c.message;
    } catch (const Stop& stop) {
      EXPECT_EQ(refused.console(), c.message);
      EXPECT_EQ(stop.detail(), c.detail);
    }
  }
}

}  // namespace
}  // namespace quelby
