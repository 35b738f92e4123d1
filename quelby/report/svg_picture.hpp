// Pictures of a run's report as inline SVG text: tabulated colour maps (a perceptual sequential
// map and a blue-white-red diverging map), colour scales with their ticks, sections of cells with
// their colour bar, pseudosections whose every datum carries its numbers in a <title>, and small
// line charts. Everything is drawn in pixel coordinates computed here, numbers written with
// std::to_chars, so that the same input gives the same bytes in any locale.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelby {

struct Rgb {
  int red = 0, green = 0, blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The sequential map (dark purple through blue and green to yellow) at t in [0, 1] (clamped).
Rgb sequential_colour(double t);
// The diverging map: blue at 0, near-white at 0.5, red at 1 (clamped).
Rgb diverging_colour(double t);
// "#rrggbb".
std::string hex_colour(const Rgb& colour);

// A number in at most `significant` significant digits, the shortest form (std::to_chars).
std::string number_text(double value, int significant = 4);
// `text` with &, <, > and " written as entities.
std::string escape_xml(std::string_view text);

// Ticks of a logarithmic axis from low to high (both > 0): the powers of ten inside, with 2 and 5
// times them when fewer than three powers fall inside, and the ends themselves when still fewer
// than two ticks remain.
std::vector<double> log_ticks(double low, double high);
// About `count` ticks at multiples of 1, 2 or 5 times a power of ten inside [low, high].
std::vector<double> linear_ticks(double low, double high, int count = 5);

// How values become colours: linearly or logarithmically between low and high.
struct ColourScale {
  enum class Map { sequential, diverging };
  Map map = Map::sequential;
  double low = 0, high = 1;
  bool logarithmic = false;
  std::string label;  // what the bar shows, with its unit: "resistivity (ohm-m)"
  // Where `value` lies, 0 at low to 1 at high (clamped); NaN for a value without a colour (NaN,
  // and 0 or below on a logarithmic scale).
  double position(double value) const;
  Rgb colour(double value) const;  // grey for a value without a colour
  std::vector<double> ticks() const;
};

// A scale over `values` (NaN and, for a logarithmic scale, values of 0 or below left out) from
// their `clip` to 1 - `clip` quantiles; a diverging scale is symmetric about 0.
ColourScale scale_of(std::vector<double> values, ColourScale::Map map, bool logarithmic,
                     std::string label, double clip = 0.01);

// A rectangle of a section in metres: x from x0 to x1, elevation from top down to bottom.
struct SectionCell {
  double x0 = 0, x1 = 0, top = 0, bottom = 0;
  double value = 0;
};

struct Point2 {
  double x = 0, y = 0;
};

// A vertical section at true scale (x and elevation in metres): its cells coloured by `scale`,
// cells of `veil` under a white veil of their value's opacity (the depth of investigation), the
// ground as a line, the electrodes as triangles on it. Cells are clipped to the window.
struct SectionPicture {
  std::string id;
  std::string caption;
  double x_low = 0, x_high = 1, bottom = 0, top = 1;  // the window, metres
  std::vector<SectionCell> cells;
  std::vector<SectionCell> veil;
  std::vector<Point2> ground;
  std::vector<Point2> electrodes;
  ColourScale scale;
  std::string x_label = "x (m)", y_label = "elevation (m)";
};

// The SVG of a section: one <rect class="cell"> per run of cells of one colour along a row (cells
// of one row that touch and share a colour are drawn as one), a colour bar with the scale's ticks
// and label, axes in metres. Linear in cells.
std::string section_svg(const SectionPicture& picture);

// One datum of a pseudosection or of a scatter plot, drawn as a circle with `tip` as its <title>.
struct PlotDatum {
  double x = 0, y = 0, value = 0;
  std::string tip;
};

// Data drawn at their places, coloured by `scale`: x to the right, y downwards when
// `y_down` (a pseudo-depth), each datum one <circle class="datum"> with its <title>.
struct DataPicture {
  std::string id;
  std::string css_class = "pseudosection";
  std::string caption;
  std::vector<PlotDatum> data;
  ColourScale scale;
  std::string x_label = "x (m)", y_label = "pseudo-depth (m)";
  bool y_down = true;
  bool equal_axes = false;      // a map: one metre is as long along y as along x
  std::vector<Point2> markers;  // electrodes: small black squares (a map's, or a line's at y = 0)
};
std::string data_svg(const DataPicture& picture);

// A line of a chart, with points; `tips` (empty, or one per point) become the points' titles.
struct ChartSeries {
  std::string name;
  std::vector<double> x, y;
  std::string colour = "#1f4e8c";
  bool line = true;
  bool points = true;
  std::vector<std::string> tips;
};

struct Chart {
  std::string id;
  std::string caption;
  std::string x_label, y_label;
  bool log_x = false, log_y = false;
  std::vector<ChartSeries> series;
  std::optional<double> reference_y;  // a dashed horizontal line (a target misfit)
  std::string reference_label;
  int width = 420, height = 240;
};
// A chart with its axes and ticks; points outside a logarithmic axis (0 or below) are left out.
std::string chart_svg(const Chart& chart);

}  // namespace quelby
