// The forward model's checks of chargeabilities and results: a value that is not a finite number is
// refused in a ground cell, named by its 1-based column and row, and let be in an air cell, which
// the forward model never reads; a result that is not finite is refused naming its datum and, for
// a sensitivity, its parameter.
#include "quelby/forward/model_checks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quelby/base/stops.hpp"
#include "tests/forward/forward_fixtures.hpp"
#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

TEST(ModelChecks, ChargeabilitiesOfGroundCellsMustBeFinite) {
  Transcript t;
  const Mesh mesh = mesh_from_nodes(t.io(), std::vector<double>{0, 1, 2, 3},
                                    std::vector<double>{0, 1, 2});  // 3 x 2 cells
  // The first row of the first column is air.
  const std::vector<std::int32_t> ground = {1, 2, 3, 4, 5};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::size_t cell;
    double value;
    std::string message;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {0, nan, ""},  // air
      {0, inf, ""},
      {4, 1e308, ""},
      {2, nan, "Error: the chargeability of cell (3, 1) is not a finite number: nan\neta.mod\n"},
      {4, -inf, "Error: the chargeability of cell (2, 2) is not a finite number: -inf\neta.mod\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    std::vector<double> eta(6, 0.05);
    eta[c.cell] = c.value;
    Transcript run;
    if (c.message.empty()) {
      EXPECT_NO_THROW(check_chargeabilities(run.io(), mesh, ground, eta, "eta.mod  "));
      continue;
    }
    try {
      check_chargeabilities(run.io(), mesh, ground, eta, "eta.mod  ");
      ADD_FAILURE() << "not refused";
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.status(), exit_failure);
      EXPECT_EQ(run.console(), "\n" + c.message);
      EXPECT_EQ(run.log(), run.console());
      EXPECT_TRUE(stop.detail().starts_with("eta.mod: cell (")) << stop.detail();
    }
  }
}

TEST(ModelChecks, ResultsThatAreNotFiniteNameTheirDatum) {
  Transcript t;
  const SurveyData survey = testing::survey_of({{10, 15, 20, 25}, {0, 5, 10, 15}}, t.io());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NO_THROW(check_finite_data(t.io(), survey, "", std::vector<double>{1, -2}, "DC value"));
  // Pairs are grouped in the order they first appear: grouped and given order are one.
  EXPECT_THROW(check_finite_data(t.io(), survey, "", std::vector<double>{1, nan}, "DC value"),
               Stop);
  EXPECT_NE(t.console().find("Error: datum 2 of the survey: the DC value is not a finite "
                             "number"),
            std::string::npos)
      << t.console();
  // Two data, three parameters: entry 4 is datum 2 (grouped), parameter 2.
  std::vector<double> jacobian(6, 0.5);
  EXPECT_NO_THROW(check_finite_sensitivities(t.io(), survey, "", jacobian, 3));
  jacobian[4] = std::numeric_limits<double>::infinity();
  EXPECT_THROW(check_finite_sensitivities(t.io(), survey, "", jacobian, 3), Stop);
  EXPECT_NE(t.console().find("Error: datum 2 of the survey: the sensitivity to parameter 2 is "
                             "not a finite number: inf\n"),
            std::string::npos)
      << t.console();
}

}  // namespace
}  // namespace quelby
