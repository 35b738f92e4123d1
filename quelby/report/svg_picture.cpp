#include "quelby/report/svg_picture.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace quelby {
namespace {

// Nine colours at t = 0, 1/8, ..., 1 of each map; colours between are linear in RGB.
constexpr std::array<Rgb, 9> sequential_table{{{68, 1, 84},
                                               {71, 45, 123},
                                               {59, 82, 139},
                                               {44, 114, 142},
                                               {33, 145, 140},
                                               {40, 174, 128},
                                               {94, 201, 98},
                                               {173, 220, 48},
                                               {253, 231, 37}}};
constexpr std::array<Rgb, 9> diverging_table{{{33, 102, 172},
                                              {67, 147, 195},
                                              {146, 197, 222},
                                              {209, 229, 240},
                                              {247, 247, 247},
                                              {253, 219, 199},
                                              {244, 165, 130},
                                              {214, 96, 77},
                                              {178, 24, 43}}};
constexpr Rgb no_colour{190, 190, 190};

Rgb interpolate(const std::array<Rgb, 9>& table, double t) {
  if (!(t >= 0)) t = 0;
  if (t > 1) t = 1;
  const double scaled = t * 8;
  const auto index = std::min<std::size_t>(static_cast<std::size_t>(scaled), 7);
  const double fraction = scaled - static_cast<double>(index);
  const Rgb& from = table[index];
  const Rgb& to = table[index + 1];
  const auto mix = [&](int a, int b) {
    return static_cast<int>(std::lround(a + (b - a) * fraction));
  };
  return {mix(from.red, to.red), mix(from.green, to.green), mix(from.blue, to.blue)};
}

// Pixel coordinates with one decimal.
std::string px(double value) {
  return number_text(std::round(value * 10) / 10, 8);
}

struct Axis {
  double low = 0, high = 1;  // values (logarithms on a logarithmic axis)
  double from = 0, to = 1;   // pixels
  bool logarithmic = false;
  double operator()(double value) const {
    const double v = logarithmic ? std::log10(value) : value;
    return from + (v - low) / (high - low) * (to - from);
  }
};

// The range of values of an axis with a margin; a single value gets a unit's width around it.
std::pair<double, double> padded_range(const std::vector<double>& values, bool logarithmic,
                                       double margin) {
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (double v : values) {
    if (!std::isfinite(v) || (logarithmic && !(v > 0))) continue;
    const double w = logarithmic ? std::log10(v) : v;
    low = std::min(low, w);
    high = std::max(high, w);
  }
  if (!(low <= high)) return {0, 1};
  if (high - low < 1e-12 * std::max(1.0, std::abs(high))) {
    const double half = logarithmic ? 0.5 : std::max(0.5, std::abs(high) * 0.1);
    return {low - half, high + half};
  }
  const double pad = (high - low) * margin;
  return {low - pad, high + pad};
}

void append_text(std::string& svg, double x, double y, std::string_view anchor,
                 std::string_view text, std::string_view extra = {}) {
  svg += "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\" text-anchor=\"" + std::string(anchor) +
         "\"" + std::string(extra) + ">" + escape_xml(text) + "</text>";
}

// Ticks and labels along the bottom (x) or the left (y) of a plot area.
void append_axes(std::string& svg, const Axis& x, const Axis& y, const std::vector<double>& x_ticks,
                 const std::vector<double>& y_ticks, std::string_view x_label,
                 std::string_view y_label) {
  const double left = std::min(x.from, x.to), right = std::max(x.from, x.to);
  const double top = std::min(y.from, y.to), bottom = std::max(y.from, y.to);
  svg += "<g class=\"axes\"><rect x=\"" + px(left) + "\" y=\"" + px(top) + "\" width=\"" +
         px(right - left) + "\" height=\"" + px(bottom - top) +
         "\" fill=\"none\" stroke=\"#333\"/>";
  for (double tick : x_ticks) {
    const double p = x(tick);
    svg += "<line x1=\"" + px(p) + "\" y1=\"" + px(bottom) + "\" x2=\"" + px(p) + "\" y2=\"" +
           px(bottom + 4) + "\" stroke=\"#333\"/>";
    append_text(svg, p, bottom + 16, "middle", number_text(tick));
  }
  for (double tick : y_ticks) {
    const double p = y(tick);
    svg += "<line x1=\"" + px(left - 4) + "\" y1=\"" + px(p) + "\" x2=\"" + px(left) + "\" y2=\"" +
           px(p) + "\" stroke=\"#333\"/>";
    append_text(svg, left - 6, p + 4, "end", number_text(tick));
  }
  append_text(svg, (left + right) / 2, bottom + 32, "middle", x_label);
  append_text(
      svg, 0, 0, "middle", y_label,
      " transform=\"translate(" + px(left - 46) + "," + px((top + bottom) / 2) + ") rotate(-90)\"");
  svg += "</g>";
}

// A vertical colour bar of `height` pixels at (left, top) with its ticks and label.
void append_colour_bar(std::string& svg, const ColourScale& scale, double left, double top,
                       double height) {
  constexpr int steps = 64;
  const double width = 14;
  svg += "<g class=\"colour-bar\" shape-rendering=\"crispEdges\">";
  for (int i = 0; i < steps; ++i) {
    const double t = (i + 0.5) / steps;
    const Rgb colour =
        scale.map == ColourScale::Map::sequential ? sequential_colour(t) : diverging_colour(t);
    const double y0 = top + height * (1 - static_cast<double>(i + 1) / steps);
    svg += "<rect x=\"" + px(left) + "\" y=\"" + px(y0) + "\" width=\"" + px(width) +
           "\" height=\"" + px(height / steps + 0.5) + "\" fill=\"" + hex_colour(colour) + "\"/>";
  }
  svg += "<rect x=\"" + px(left) + "\" y=\"" + px(top) + "\" width=\"" + px(width) +
         "\" height=\"" + px(height) + "\" fill=\"none\" stroke=\"#333\"/>";
  for (double tick : scale.ticks()) {
    const double t = scale.position(tick);
    if (!std::isfinite(t)) continue;
    const double y = top + height * (1 - t);
    svg += "<line x1=\"" + px(left + width) + "\" y1=\"" + px(y) + "\" x2=\"" +
           px(left + width + 4) + "\" y2=\"" + px(y) + "\" stroke=\"#333\"/>";
    append_text(svg, left + width + 6, y + 4, "start", number_text(tick, 6));
  }
  append_text(svg, 0, 0, "middle", scale.label,
              " transform=\"translate(" + px(left + width + 62) + "," + px(top + height / 2) +
                  ") rotate(-90)\"");
  svg += "</g>";
}

std::string svg_open(std::string_view id, std::string_view css_class, double width, double height) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"" + escape_xml(id) +
         "\" class=\"picture " + std::string(css_class) + "\" width=\"" + px(width) +
         "\" height=\"" + px(height) + "\" viewBox=\"0 0 " + px(width) + " " + px(height) +
         "\" font-family=\"sans-serif\" font-size=\"11\">";
}

}  // namespace

Rgb sequential_colour(double t) {
  return interpolate(sequential_table, t);
}
Rgb diverging_colour(double t) {
  return interpolate(diverging_table, t);
}

std::string hex_colour(const Rgb& colour) {
  constexpr char digits[] = "0123456789abcdef";
  std::string text = "#";
  for (int part : {colour.red, colour.green, colour.blue}) {
    const int clamped = std::clamp(part, 0, 255);
    text += digits[clamped / 16];
    text += digits[clamped % 16];
  }
  return text;
}

std::string number_text(double value, int significant) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return "0";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, significant);
  std::string text(buffer, result.ptr);
  // to_chars keeps trailing zeros of the fraction in its general form: drop them.
  const std::size_t exponent = text.find('e');
  std::string mantissa = text.substr(0, exponent);
  const std::string tail = exponent == std::string::npos ? "" : text.substr(exponent);
  if (mantissa.find('.') != std::string::npos) {
    while (mantissa.ends_with('0')) mantissa.pop_back();
    if (mantissa.ends_with('.')) mantissa.pop_back();
  }
  return mantissa + tail;
}

std::string escape_xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::vector<double> log_ticks(double low, double high) {
  std::vector<double> ticks;
  if (!(low > 0) || !(high >= low) || !std::isfinite(high)) return ticks;
  const double tolerance = 1e-9;
  const int first = static_cast<int>(std::floor(std::log10(low)));
  const int last = static_cast<int>(std::ceil(std::log10(high)));
  const auto inside = [&](double v) {
    return v >= low * (1 - tolerance) && v <= high * (1 + tolerance);
  };
  for (int e = first; e <= last; ++e) {
    const double v = std::pow(10.0, e);
    if (inside(v)) ticks.push_back(v);
  }
  if (ticks.size() < 3) {
    ticks.clear();
    for (int e = first; e <= last; ++e) {
      for (double mantissa : {1.0, 2.0, 5.0}) {
        const double v = mantissa * std::pow(10.0, e);
        if (inside(v)) ticks.push_back(v);
      }
    }
  }
  // Within less than a decade, round numbers evenly spaced read better than the range's ends
  // (whose many digits also crowd the axis).
  if (ticks.size() < 2) ticks = linear_ticks(low, high, 4);
  if (ticks.size() < 2) ticks = low == high ? std::vector<double>{low} : std::vector{low, high};
  return ticks;
}

std::vector<double> linear_ticks(double low, double high, int count) {
  std::vector<double> ticks;
  if (!std::isfinite(low) || !std::isfinite(high) || !(high > low) || count < 1) return ticks;
  const double rough = (high - low) / count;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  double step = power;
  for (double mantissa : {1.0, 2.0, 5.0, 10.0}) {
    step = mantissa * power;
    if (step >= rough) break;
  }
  const double first = std::ceil(low / step - 1e-9);
  for (double k = first; k * step <= high + step * 1e-9; k += 1) {
    const double v = k * step;
    ticks.push_back(std::abs(v) < step * 1e-9 ? 0.0 : v);
  }
  return ticks;
}

double ColourScale::position(double value) const {
  if (std::isnan(value)) return std::nan("");
  double v = value, a = low, b = high;
  if (logarithmic) {
    if (!(value > 0) || !(low > 0)) return std::nan("");
    v = std::log10(value);
    a = std::log10(low);
    b = std::log10(high);
  }
  if (!(b > a)) return 0.5;
  return std::clamp((v - a) / (b - a), 0.0, 1.0);
}

Rgb ColourScale::colour(double value) const {
  const double t = position(value);
  if (std::isnan(t)) return no_colour;
  return map == Map::sequential ? sequential_colour(t) : diverging_colour(t);
}

std::vector<double> ColourScale::ticks() const {
  return logarithmic ? log_ticks(low, high) : linear_ticks(low, high, 6);
}

ColourScale scale_of(std::vector<double> values, ColourScale::Map map, bool logarithmic,
                     std::string label, double clip) {
  std::erase_if(values, [&](double v) { return !std::isfinite(v) || (logarithmic && !(v > 0)); });
  ColourScale scale;
  scale.map = map;
  scale.logarithmic = logarithmic;
  scale.label = std::move(label);
  if (values.empty()) {
    scale.low = logarithmic ? 1 : -1;
    scale.high = logarithmic ? 10 : 1;
    return scale;
  }
  std::sort(values.begin(), values.end());
  // The nearest rank: a few values keep their ends.
  const auto quantile = [&](double q) {
    return values[static_cast<std::size_t>(
        std::lround(q * static_cast<double>(values.size() - 1)))];
  };

  scale.low = quantile(clip);
  scale.high = quantile(1 - clip);
  if (map == ColourScale::Map::diverging) {
    const double largest = std::max(std::abs(scale.low), std::abs(scale.high));
    scale.low = largest > 0 ? -largest : -1;
    scale.high = largest > 0 ? largest : 1;
  } else if (!(scale.high > scale.low)) {
    const double v = scale.low;
    scale.low = logarithmic ? v / 1.1 : v - std::max(std::abs(v) * 0.1, 1e-12);
    scale.high = logarithmic ? v * 1.1 : v + std::max(std::abs(v) * 0.1, 1e-12);
  }
  return scale;
}

std::string section_svg(const SectionPicture& picture) {
  const double left = 64, plot_width = 820, top_margin = 8;
  const double span_x = picture.x_high - picture.x_low, span_y = picture.top - picture.bottom;
  double plot_height = span_x > 0 ? plot_width * span_y / span_x : 200;
  // True scale unless a section is flatter or deeper than a page holds.
  const double exaggeration_free = plot_height;
  plot_height = std::clamp(plot_height, 80.0, 900.0);
  const double bar_height = std::max(plot_height, 160.0);
  const double width = left + plot_width + 130;
  const double height = top_margin + bar_height + 44;
  const Axis x{picture.x_low, picture.x_high, left, left + plot_width, false};
  const Axis y{picture.bottom, picture.top, top_margin + plot_height, top_margin, false};
  std::string svg = svg_open(picture.id, "section zoomable", width, height);
  if (plot_height != exaggeration_free) {
    svg += "<desc>vertical exaggeration " + number_text(plot_height / exaggeration_free, 3) +
           "</desc>";
  }
  svg += "<defs><clipPath id=\"" + escape_xml(picture.id) + "-clip\"><rect x=\"" + px(left) +
         "\" y=\"" + px(top_margin) + "\" width=\"" + px(plot_width) + "\" height=\"" +
         px(plot_height) + "\"/></clipPath></defs>";
  svg += "<g clip-path=\"url(#" + escape_xml(picture.id) + "-clip)\">";
  // Cells clipped to the window; runs of one colour along a row become one rectangle.
  const auto append_cells = [&](const std::vector<SectionCell>& cells, bool veil) {
    svg += veil ? "<g class=\"veil\" shape-rendering=\"crispEdges\">"
                : "<g class=\"cells\" shape-rendering=\"crispEdges\">";
    std::optional<SectionCell> run;
    std::string run_fill;
    // Cells overlap their right and lower neighbours by a fraction of a pixel, so that rounding
    // leaves no hairline between them.
    const double overlap = veil ? 0 : 0.4;
    const auto flush = [&] {
      if (!run) return;
      svg += "<rect class=\"" + std::string(veil ? "veil-cell" : "cell") + "\" x=\"" +
             px(x(run->x0)) + "\" y=\"" + px(y(run->top)) + "\" width=\"" +
             px(x(run->x1) - x(run->x0) + overlap) + "\" height=\"" +
             px(y(run->bottom) - y(run->top) + overlap) + "\" " + run_fill + "/>";
      run.reset();
    };
    for (const SectionCell& original : cells) {
      SectionCell cell = original;
      cell.x0 = std::max(cell.x0, picture.x_low);
      cell.x1 = std::min(cell.x1, picture.x_high);
      cell.top = std::min(cell.top, picture.top);
      cell.bottom = std::max(cell.bottom, picture.bottom);
      if (!(cell.x1 > cell.x0) || !(cell.top > cell.bottom)) continue;
      const std::string fill =
          veil ? "fill=\"#ffffff\" fill-opacity=\"" + number_text(cell.value, 2) + "\""
               : "fill=\"" + hex_colour(picture.scale.colour(cell.value)) + "\"";
      if (run && fill == run_fill && run->top == cell.top && run->bottom == cell.bottom &&
          run->x1 == cell.x0) {
        run->x1 = cell.x1;
        continue;
      }
      flush();
      run = cell;
      run_fill = fill;
    }
    flush();
    svg += "</g>";
  };
  append_cells(picture.cells, false);
  if (!picture.veil.empty()) append_cells(picture.veil, true);
  if (picture.ground.size() >= 2) {
    svg +=
        "<polyline class=\"ground\" fill=\"none\" stroke=\"#000\" stroke-width=\"1.2\" points=\"";
    for (std::size_t i = 0; i < picture.ground.size(); ++i) {
      if (i > 0) svg += ' ';
      svg += px(x(picture.ground[i].x)) + "," + px(y(picture.ground[i].y));
    }
    svg += "\"/>";
  }
  svg += "</g><g class=\"electrodes\">";
  for (const Point2& electrode : picture.electrodes) {
    if (electrode.x < picture.x_low || electrode.x > picture.x_high) continue;
    const double ex = x(electrode.x), ey = y(std::min(electrode.y, picture.top));
    svg +=
        "<path class=\"electrode\" d=\"M" + px(ex) + "," + px(ey) + "l-3.5,-6h7z\" fill=\"#000\"/>";
  }
  svg += "</g>";
  append_axes(svg, x, y, linear_ticks(picture.x_low, picture.x_high, 8),
              linear_ticks(picture.bottom, picture.top, 5), picture.x_label, picture.y_label);
  append_colour_bar(svg, picture.scale, left + plot_width + 18, top_margin, bar_height);
  svg += "</svg>";
  return svg;
}

std::string data_svg(const DataPicture& picture) {
  const double left = 64, plot_width = 820, top_margin = 14;
  std::vector<double> xs, ys;
  for (const PlotDatum& datum : picture.data) {
    xs.push_back(datum.x);
    ys.push_back(datum.y);
  }
  for (const Point2& marker : picture.markers) {
    xs.push_back(marker.x);
    if (picture.equal_axes) ys.push_back(marker.y);
  }
  auto [x_low, x_high] = padded_range(xs, false, 0.04);
  auto [y_low, y_high] = padded_range(ys, false, 0.06);
  if (picture.y_down) y_low = std::min(y_low, 0.0);
  double plot_height = 260;
  if (picture.equal_axes) {
    plot_height = std::clamp(plot_width * (y_high - y_low) / (x_high - x_low), 120.0, 820.0);
  } else if (picture.y_down) {
    plot_height = std::clamp(plot_width * (y_high - y_low) / (x_high - x_low) * 1.5, 140.0, 420.0);
  }
  const double bar_height = std::max(plot_height, 160.0);
  const double width = left + plot_width + 130;
  const double height = top_margin + bar_height + 44;
  const Axis x{x_low, x_high, left, left + plot_width, false};
  const Axis y = picture.y_down ? Axis{y_low, y_high, top_margin, top_margin + plot_height, false}
                                : Axis{y_low, y_high, top_margin + plot_height, top_margin, false};
  std::string svg = svg_open(picture.id, picture.css_class + " zoomable", width, height);
  const double radius = picture.data.size() > 400 ? 3.5 : picture.data.size() > 120 ? 5 : 6.5;
  svg += "<g class=\"markers\">";
  for (const Point2& marker : picture.markers) {
    const double my = picture.equal_axes ? y(marker.y) : top_margin - 6;
    svg += "<rect class=\"electrode\" x=\"" + px(x(marker.x) - 2) + "\" y=\"" + px(my - 2) +
           "\" width=\"4\" height=\"4\" fill=\"#000\"/>";
  }
  svg += "</g><g class=\"data\">";
  for (const PlotDatum& datum : picture.data) {
    if (!std::isfinite(datum.x) || !std::isfinite(datum.y)) continue;
    svg += "<circle class=\"datum\" cx=\"" + px(x(datum.x)) + "\" cy=\"" + px(y(datum.y)) +
           "\" r=\"" + number_text(radius) + "\" fill=\"" +
           hex_colour(picture.scale.colour(datum.value)) + "\"><title>" + escape_xml(datum.tip) +
           "</title></circle>";
  }
  svg += "</g>";
  append_axes(svg, x, y, linear_ticks(x_low, x_high, 8), linear_ticks(y_low, y_high, 5),
              picture.x_label, picture.y_label);
  append_colour_bar(svg, picture.scale, left + plot_width + 18, top_margin, bar_height);
  svg += "</svg>";
  return svg;
}

std::string chart_svg(const Chart& chart) {
  const double left = 64, right = 14, top = 22, bottom = 44;
  const double plot_width = chart.width - left - right, plot_height = chart.height - top - bottom;
  std::vector<double> xs, ys;
  for (const ChartSeries& series : chart.series) {
    xs.insert(xs.end(), series.x.begin(), series.x.end());
    ys.insert(ys.end(), series.y.begin(), series.y.end());
  }
  if (chart.reference_y) ys.push_back(*chart.reference_y);
  const auto [x_low, x_high] = padded_range(xs, chart.log_x, 0.04);
  const auto [y_low, y_high] = padded_range(ys, chart.log_y, 0.06);
  const Axis x{x_low, x_high, left, left + plot_width, chart.log_x};
  const Axis y{y_low, y_high, top + plot_height, top, chart.log_y};
  const auto usable = [](double v, bool logarithmic) {
    return std::isfinite(v) && (!logarithmic || v > 0);
  };
  std::string svg = svg_open(chart.id, "chart", chart.width, chart.height);
  if (chart.reference_y && usable(*chart.reference_y, chart.log_y)) {
    const double ry = y(*chart.reference_y);
    svg += "<line class=\"reference\" x1=\"" + px(left) + "\" y1=\"" + px(ry) + "\" x2=\"" +
           px(left + plot_width) + "\" y2=\"" + px(ry) +
           "\" stroke=\"#b2182b\" stroke-dasharray=\"5,3\"/>";
    append_text(svg, left + plot_width - 4, ry - 4, "end", chart.reference_label,
                " fill=\"#b2182b\"");
  }
  double legend_x = left + 4;
  for (const ChartSeries& series : chart.series) {
    std::string points;
    std::string circles;
    for (std::size_t i = 0; i < series.x.size() && i < series.y.size(); ++i) {
      if (!usable(series.x[i], chart.log_x) || !usable(series.y[i], chart.log_y)) continue;
      const std::string cx = px(x(series.x[i])), cy = px(y(series.y[i]));
      if (!points.empty()) points += ' ';
      points += cx + "," + cy;
      if (series.points) {
        circles += "<circle class=\"point\" cx=\"" + cx + "\" cy=\"" + cy + "\" r=\"3\" fill=\"" +
                   series.colour + "\">";
        if (i < series.tips.size()) circles += "<title>" + escape_xml(series.tips[i]) + "</title>";
        circles += "</circle>";
      }
    }
    svg += "<g class=\"series\">";
    if (series.line && !points.empty()) {
      svg += "<polyline fill=\"none\" stroke=\"" + series.colour +
             "\" stroke-width=\"1.5\" points=\"" + points + "\"/>";
    }
    svg += circles + "</g>";
    if (!series.name.empty()) {
      svg += "<rect x=\"" + px(legend_x) + "\" y=\"6\" width=\"10\" height=\"10\" fill=\"" +
             series.colour + "\"/>";
      append_text(svg, legend_x + 14, 15, "start", series.name);
      legend_x += 24 + 6.5 * static_cast<double>(series.name.size());
    }
  }
  const auto ticks = [](double low, double high, bool logarithmic, int count) {
    return logarithmic ? log_ticks(std::pow(10.0, low), std::pow(10.0, high))
                       : linear_ticks(low, high, count);
  };
  append_axes(svg, x, y, ticks(x_low, x_high, chart.log_x, 6), ticks(y_low, y_high, chart.log_y, 4),
              chart.x_label, chart.y_label);
  svg += "</svg>";
  return svg;
}

}  // namespace quelby
