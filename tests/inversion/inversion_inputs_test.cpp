// The inputs a run fills in itself: standard deviations from a percentage and a floor, the median
// apparent resistivity against a half-space, and models from a value or a file checked in the
// parameter cells only.
#include "quelby/inversion/inversion_inputs.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
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

  // Without deviations and without an uncertainty: the defaults, said. DC: 3 % plus 3 % of the
  // 5th percentile of the nonzero |datum| (here 0.5: one of two, index 2 / 20 = 0); IP: 5 % + 1.
  read_data_file(t.io(), without, false, false, true, data);
  complete_deviations(t.io(), without, std::nullopt, data);
  EXPECT_EQ(data.dstd,
            (std::vector<double>{0.03 * 2.0 + 0.03 * 0.5, 0.03 * 0.5 + 0.03 * 0.5, 0.03 * 0.5}));
  EXPECT_NE(t.console().find("Note: " + without +
                             " holds no standard deviations: the default 3 % "
                             "of |datum| plus 0.015 ohm"),
            std::string::npos)
      << t.console();
  EXPECT_TRUE(t.log().ends_with(t.console()));
  read_data_file(t.io(), without, false, false, true, data);
  complete_deviations(t.io(), without, std::nullopt, data, false);
  EXPECT_EQ(data.dstd, (std::vector<double>{0.05 * 2.0 + 1, 0.05 * 0.5 + 1, 1}));
  const DataUncertainty all_zero = default_uncertainty(SurveyData{}, true);
  EXPECT_EQ(all_zero.floor, 0);  // nothing to take a floor from: a zero datum is then refused
  read_data_file(t.io(), without, false, false, true, data);
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

// A datum whose value or standard deviation would overflow the misfit (or is no number at all) is
// refused naming its file and line, whichever layout, whether the deviation was read or made from
// a percentage and a floor; data given in memory are named by their number.
TEST(InversionInputs, DataBeyondTheRangeOfTheMisfitAreRefusedByTheirLine) {
  struct Case {
    const char* what;
    std::string text;
    std::optional<DataUncertainty> uncertainty;
    std::string message;  // after "Error: <file>, line "; empty: accepted
    std::string detail;   // after "<file>:"
  };
  const std::vector<Case> cases = {
      {"sound data", "h\n0 5 10 15 -1e50 1e-50\n0 5 15 20 0 1e50\n", {}, "", ""},
      {"a NaN value",
       "h\n! note\n0 5 10 15 1 0.1\nIPTYPE=1\n\n5 10 15 20 nan 0.1\n",
       {},
       "6: the value nan is not a finite number of magnitude 1e+50 or less",
       "6: value nan, standard deviation 0.1"},
      {"an infinite value",
       "h\n5 10 15 20 1 0.1\n0 5 10 15 -Inf 0.1\n",
       {},
       "3: the value -inf is not a finite number of magnitude 1e+50 or less",
       "3: value -inf, standard deviation 0.1"},
      {"a value of 1e300",
       "h\n0 5 10 15 1e300 1\n",
       {},
       "2: the value 1e+300 is not a finite number of magnitude 1e+50 or less",
       "2: value 1e+300, standard deviation 1"},
      {"an infinite deviation",
       "h\n0 5 10 15 1 0.1\n0 5 15 20 1 inf\n",
       {},
       "3: the standard deviation inf is not a number from 1e-50 to 1e+50",
       "3: value 1, standard deviation inf"},
      {"a deviation of 1e-300",
       "COMMON_CURRENT\n1\n0 5 2\n10 15 1 0.1\n15 20 1 1e-300\n",
       {},
       "5: the standard deviation 1e-300 is not a number from 1e-50 to 1e+50",
       "5: value 1, standard deviation 1e-300"},
      {"a deviation from the floor", "h\n0 5 10 15 1\n", DataUncertainty{0, 1e60},
       "2: the standard deviation 1e+60 that the percentage and floor give is not a number from "
       "1e-50 to 1e+50",
       "2: value 1, standard deviation 1e+60"},
  };
  TempFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = folder.write("d.dat", c.text);
    Transcript t;
    SurveyData survey;
    read_data_file(t.io(), name, false, false, c.text.find("IPTYPE") == std::string::npos, survey);
    complete_deviations(t.io(), name, c.uncertainty, survey);
    Transcript run;
    if (c.message.empty()) {
      EXPECT_NO_THROW(check_data_values(run.io(), name, true, survey));
      continue;
    }
    try {
      check_data_values(run.io(), name + " ", true, survey);
      ADD_FAILURE() << "accepted";
    } catch (const Stop& stop) {
      EXPECT_EQ(run.console(), "\nError: " + name + ", line " + c.message + "\n");
      EXPECT_EQ(run.log(), run.console());
      EXPECT_EQ(stop.detail(), name + ":" + c.detail);
    }
    // The same data given in memory: named by their number in the order given.
    Transcript given;
    EXPECT_THROW(check_data_values(given.io(), "the DC data given", false, survey), Stop);
    EXPECT_TRUE(given.console().starts_with("\nError: datum ")) << given.console();
    EXPECT_NE(given.console().find(" of the DC data given: the "), std::string::npos);
  }
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
       "\nError: the starting model holds -1 in cell (1, 1), a parameter: a value from 0 to 1e+50 "
       "is needed\n",
       "starting: cell (1, 1) holds -1"},
      {ModelChoice::uniform(INFINITY), ParameterRange::finite,
       "\nError: the starting model holds inf in cell (1, 1), a parameter: a value from -1e+50 to "
       "1e+50 is needed\n",
       "starting: cell (1, 1) holds inf"},
      // Chargeabilities whose responses and norms would overflow.
      {ModelChoice::uniform(1e300), ParameterRange::not_negative,
       "\nError: the starting model holds 1e+300 in cell (1, 1), a parameter: a value from 0 to "
       "1e+50 is needed\n",
       "starting: cell (1, 1) holds 1e+300"},
      {ModelChoice::per_cell({1, 0, -2e50, 1, 1, 1}), ParameterRange::finite,
       "\nError: the starting model holds -2e+50 in cell (3, 1), a parameter: a value from -1e+50 "
       "to 1e+50 is needed\n",
       "starting: cell (3, 1) holds -2e+50"},
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
