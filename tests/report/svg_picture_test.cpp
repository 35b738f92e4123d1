#include "quelby/report/svg_picture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace quelby {
namespace {

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

TEST(SvgPicture, ColourMapsEndAtTheirTabulatedColours) {
  struct Case {
    Rgb colour;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {sequential_colour(0), "#440154"},
      {sequential_colour(1), "#fde725"},
      {sequential_colour(-3), "#440154"},
      {sequential_colour(7), "#fde725"},
      {sequential_colour(0.5), "#21918c"},
      {diverging_colour(0), "#2166ac"},
      {diverging_colour(0.5), "#f7f7f7"},
      {diverging_colour(1), "#b2182b"},
      // Halfway between the table's 0.5 and 0.625 entries, rounded to the nearest integers.
      {sequential_colour(0.5625), "#25a086"},
  };
  for (const Case& c : cases) EXPECT_EQ(hex_colour(c.colour), c.expected);
}

TEST(SvgPicture, TicksOfLogarithmicAndLinearAxes) {
  struct Case {
    std::vector<double> ticks, expected;
  };
  const std::vector<Case> cases = {
      {log_ticks(1, 1000), {1, 10, 100, 1000}},
      {log_ticks(0.5, 2000), {1, 10, 100, 1000}},
      {log_ticks(20, 300), {20, 50, 100, 200}},
      {log_ticks(3, 4), {3, 3.5, 4}},
      {log_ticks(13570, 35470), {20000, 30000}},
      {log_ticks(-1, 10), {}},
      {linear_ticks(0, 10, 5), {0, 2, 4, 6, 8, 10}},
      {linear_ticks(-0.3, 0.3, 6), {-0.3, -0.2, -0.1, 0, 0.1, 0.2, 0.3}},
      {linear_ticks(3, 3, 5), {}},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(cases[k].ticks.size(), cases[k].expected.size());
    for (std::size_t i = 0; i < cases[k].ticks.size(); ++i)
      EXPECT_NEAR(cases[k].ticks[i], cases[k].expected[i],
                  1e-12 * std::abs(cases[k].expected[i]) + 1e-15);
  }
}

TEST(SvgPicture, ScalesPlaceValuesAndLeaveOutThoseWithoutAColour) {
  ColourScale scale;
  scale.low = 1;
  scale.high = 1000;
  scale.logarithmic = true;
  EXPECT_NEAR(scale.position(10), 1.0 / 3, 1e-12);
  EXPECT_EQ(scale.position(1e6), 1);
  EXPECT_TRUE(std::isnan(scale.position(-5)));
  EXPECT_EQ(hex_colour(scale.colour(-5)), "#bebebe");
  const ColourScale diverging =
      scale_of({-1, 4, -2, std::nan("")}, ColourScale::Map::diverging, false, "misfit", 0);
  EXPECT_EQ(diverging.low, -4);
  EXPECT_EQ(diverging.high, 4);
  EXPECT_EQ(hex_colour(diverging.colour(0)), "#f7f7f7");
}

TEST(SvgPicture, ASectionHasItsCellsWithTheirColoursAndRunsMerged) {
  SectionPicture picture;
  picture.id = "tiny";
  picture.x_low = 0;
  picture.x_high = 2;
  picture.bottom = -2;
  picture.top = 0;
  picture.scale.low = 1;
  picture.scale.high = 1000;
  picture.scale.logarithmic = true;
  // Row 1: two cells of one value (one rectangle); row 2: 10 and 1000 ohm-m; a cell outside the
  // window is left out.
  picture.cells = {{0, 1, 0, -1, 1},
                   {1, 2, 0, -1, 1},
                   {0, 1, -1, -2, 10},
                   {1, 2, -1, -2, 1000},
                   {5, 6, -1, -2, 100}};
  // The depth of investigation's veil over the lower row, one rectangle of its opacity.
  picture.veil = {{0, 1, -1, -2, 0.5}, {1, 2, -1, -2, 0.5}};
  const std::string svg = section_svg(picture);
  EXPECT_EQ(count(svg, "class=\"cell\""), 3u);
  EXPECT_EQ(count(svg, "class=\"veil-cell\""), 1u);
  EXPECT_EQ(count(svg, "fill=\"#ffffff\" fill-opacity=\"0.5\""), 1u);
  EXPECT_EQ(count(svg, "class=\"cell\" x=\"64\" y=\"8\" width=\"820.4\" height=\"410.4\" fill=\"" +
                           hex_colour(sequential_colour(0)) + "\""),
            1u)
      << svg;
  EXPECT_EQ(count(svg, "fill=\"" + hex_colour(sequential_colour(1.0 / 3)) + "\""), 1u);
  EXPECT_EQ(count(svg, "fill=\"" + hex_colour(sequential_colour(1)) + "\""), 1u);
  EXPECT_NE(svg.find(">1000</text>"), std::string::npos);  // a tick of the colour bar
  EXPECT_TRUE(svg.starts_with("<svg ") && svg.ends_with("</svg>"));
}

TEST(SvgPicture, EveryDatumCarriesItsNumbersInItsTitle) {
  DataPicture picture;
  picture.id = "pseudo";
  picture.scale = scale_of({10, 100}, ColourScale::Map::sequential, true, "rho (ohm-m)", 0);
  picture.data = {{2.5, 1.2, 10, "A 0 B 1 M 2 N 3 m\nobserved 10 ohm-m <&>"},
                  {5, 2.4, 100, "A 1 B 2 M 3 N 4 m"}};
  const std::string svg = data_svg(picture);
  EXPECT_EQ(count(svg, "<circle class=\"datum\""), 2u);
  EXPECT_NE(svg.find("<title>A 0 B 1 M 2 N 3 m\nobserved 10 ohm-m &lt;&amp;&gt;</title>"),
            std::string::npos);
  EXPECT_EQ(number_text(103.53673, 5), "103.54");
  EXPECT_EQ(number_text(-1.0985563, 6), "-1.09856");
  EXPECT_EQ(number_text(2e-7), "2e-07");
  EXPECT_EQ(number_text(100), "100");
}

}  // namespace
}  // namespace quelby
