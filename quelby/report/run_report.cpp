#include "quelby/report/run_report.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/base/version.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/report/model_slices.hpp"
#include "quelby/report/pseudosection.hpp"
#include "quelby/report/report_page.hpp"
#include "quelby/report/run_folder.hpp"
#include "quelby/report/svg_picture.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey3d_file.hpp"

namespace quelby {
namespace {

namespace fs = std::filesystem;

std::string esc(std::string_view text) {
  return escape_xml(text);
}
std::string num(double value, int significant = 4) {
  return number_text(value, significant);
}

bool is_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

// Where a file of the run is: its copy in the folder, else the run log's name of it relative to
// the folder's parent (where a control file's run usually starts), then to the current folder.
std::string locate(const fs::path& folder, std::string_view copy_name, const std::string& logged) {
  if (!copy_name.empty() && is_file(folder / copy_name)) return (folder / copy_name).string();
  if (logged.empty()) return "";
  const fs::path named(logged);
  if (named.is_absolute()) return is_file(named) ? logged : "";
  for (const fs::path& base : {folder.parent_path(), fs::path(".")}) {
    const fs::path candidate = base.empty() ? named : base / named;
    if (is_file(candidate)) return candidate.string();
  }
  // A run whose --out folder lies deeper: the name relative to the folder's ancestors.
  for (fs::path base = folder.parent_path().parent_path();
       !base.empty() && base != base.parent_path(); base = base.parent_path()) {
    if (is_file(base / named)) return (base / named).string();
  }
  return "";
}

[[noreturn]] void lacks(const Io& io, const fs::path& folder, std::string_view what,
                        std::string_view copy_name, const std::string& logged) {
  std::string text = "\nError: the run folder " + folder.string() + " lacks " + std::string(what) +
                     ": no " + std::string(copy_name);
  if (!logged.empty()) text += ", and the run log's " + logged + " is not found";
  stop_with(io, Order::console_then_log, text + ".\n", exit_failure, {}, StopCause::missing_file);
}

// Readers write their reading lines to a log the report does not keep.
struct QuietIo {
  std::ostream null_log{nullptr};
  Io io;
  explicit QuietIo(const Io& outer) : io{outer.console, outer.error, null_log} {}
};

// The first `count` bytes of the file `name` (fewer when it is shorter; none when it cannot be
// read): enough to tell a file's kind without reading it twice.
std::string opening_of(const std::string& name, std::size_t count) {
  std::ifstream file(name, std::ios::binary);
  std::string text(count, '\0');
  file.read(text.data(), static_cast<std::streamsize>(count));
  text.resize(file ? count : static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0)));
  return text;
}

// The counts on a model file's first line: 2 for a section, 3 for a 3-D model.
std::size_t model_dimensions(const std::string& name) {
  const std::string opening = opening_of(name, 200);
  const std::string first = opening.substr(0, opening.find('\n'));
  std::size_t count = 0;
  bool in_word = false;
  for (char c : first) {
    const bool blank = c == ' ' || c == '\t' || c == '\r';
    if (!blank && !in_word) ++count;
    in_word = !blank;
  }
  return count;
}

// ---- the page's pieces ----

struct Body {
  std::string html;
  std::vector<std::pair<std::string, std::string>> contents;  // id, heading
  void section(const std::string& id, const std::string& heading) {
    html += "<h2 id=\"" + id + "\">" + esc(heading) + "</h2>\n";
    contents.emplace_back(id, heading);
  }
  void heading3(const std::string& text) { html += "<h3>" + esc(text) + "</h3>\n"; }
  void paragraph(const std::string& text, const std::string& css = "") {
    html += (css.empty() ? "<p>" : "<p class=\"" + css + "\">") + esc(text) + "</p>\n";
  }
  void figure(const std::string& svg, const std::string& caption) {
    html += "<figure>" + svg + "<figcaption>" + esc(caption) + "</figcaption></figure>\n";
  }
  void preformatted(const std::string& text, const std::string& css = "") {
    html += (css.empty() ? "<pre>" : "<pre class=\"" + css + "\">") + esc(text) + "</pre>\n";
  }
};

std::string table(const std::string& css, const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows,
                  const std::vector<bool>& text_columns = {}) {
  std::string html = "<table class=\"" + css + "\"><thead><tr>";
  for (std::size_t i = 0; i < header.size(); ++i) {
    const bool text = i < text_columns.size() && text_columns[i];
    html += std::string(text ? "<th class=\"text\">" : "<th>") + esc(header[i]) + "</th>";
  }
  html += "</tr></thead><tbody>";
  for (const auto& row : rows) {
    html += "<tr>";
    for (std::size_t i = 0; i < row.size(); ++i) {
      const bool text = i < text_columns.size() && text_columns[i];
      html += std::string(text ? "<td class=\"text\">" : "<td>") + esc(row[i]) + "</td>";
    }
    html += "</tr>";
  }
  return html + "</tbody></table>\n";
}

// ---- convergence ----

void add_history(Body& body, const IterationHistory& history, const std::string& stage,
                 const std::string& id) {
  std::vector<std::vector<std::string>> rows;
  std::vector<double> iterations;
  for (std::size_t i = 0; i < history.iteration.size(); ++i) {
    rows.push_back({std::to_string(history.iteration[i]), num(history.misfit[i], 6),
                    num(history.norm[i], 6), num(history.beta[i], 6)});
    iterations.push_back(history.iteration[i]);
  }
  body.heading3(stage + " inversion: " + std::to_string(history.iteration.size() - 1) +
                " iterations, target misfit " + num(history.target_misfit, 6) + " (" +
                std::to_string(history.ndat) + " data)");
  body.html += "<div class=\"charts\">";
  const auto chart = [&](const std::string& what, const std::vector<double>& values,
                         const std::string& colour, bool target) {
    Chart c;
    c.id = id + "-" + what;
    c.x_label = "iteration";
    c.y_label = what;
    c.log_y = true;
    c.width = 340;
    c.height = 220;
    ChartSeries s;
    s.x = iterations;
    s.y = values;
    s.colour = colour;
    for (std::size_t i = 0; i < values.size(); ++i)
      s.tips.push_back("iteration " + num(iterations[i]) + ": " + what + " " + num(values[i], 6));
    c.series.push_back(s);
    if (target) {
      c.reference_y = history.target_misfit;
      c.reference_label = "target";
    }
    body.html += chart_svg(c);
  };
  chart("misfit", history.misfit, "#1f4e8c", true);
  chart("beta", history.beta, "#2a7f3f", false);
  chart("model norm", history.norm, "#8c3b1f", false);
  body.html += "</div>\n";
  body.html += table("history", {"iteration", "data misfit", "model norm", "beta"}, rows);
}

// ---- 2-D sections ----

struct Ground {
  Topography topography;  // on the section's mesh; no file: flat at the first z node
  double reference = 0;   // elevation of z = 0
  bool from_file = false;
  double surface_at(const Mesh& mesh, double x) const {
    const std::vector<double>& nodes = mesh.x_nodes;
    const std::vector<double>& z = topography.surface_z;
    if (z.empty()) return mesh.z_nodes.front();
    if (x <= nodes.front()) return z.front();
    if (x >= nodes.back()) return z.back();
    const auto upper = std::upper_bound(nodes.begin(), nodes.end(), x);
    const auto i = static_cast<std::size_t>(upper - nodes.begin());
    const double f = (x - nodes[i - 1]) / (nodes[i] - nodes[i - 1]);
    return z[i - 1] + f * (z[i] - z[i - 1]);
  }
};

struct Window {
  double x_low = 0, x_high = 1, z_top = 0, z_bottom = 1;  // z: depth
};

// The part of the mesh the survey sees: the electrodes' span and two of the smallest cells beyond
// it; from the highest ground down through the rows that grow by less than 1.2 a row (the padding
// grows faster), and at least two of the smallest rows below the deepest electrode.
Window core_window(const Mesh& mesh, const Ground& ground, const std::vector<double>& electrode_x,
                   double deepest) {
  Window w;
  const double smallest_dx = *std::min_element(mesh.dx.begin(), mesh.dx.end());
  if (!electrode_x.empty()) {
    const auto [low, high] = std::minmax_element(electrode_x.begin(), electrode_x.end());
    w.x_low = std::max(*low - 2 * smallest_dx, mesh.x_nodes.front());
    w.x_high = std::min(*high + 2 * smallest_dx, mesh.x_nodes.back());
  } else {
    w.x_low = mesh.x_nodes.front();
    w.x_high = mesh.x_nodes.back();
  }
  double top = mesh.z_nodes.front(), lowest = top;
  if (ground.from_file && !ground.topography.surface_z.empty()) {
    const auto [high, low] =
        std::minmax_element(ground.topography.surface_z.begin(), ground.topography.surface_z.end());
    top = std::max(top, *high);
    lowest = std::max(top, *low);
  }
  // The rows under the lowest ground: above it a grid keeps the forward mesh's thin rows.
  std::size_t first = 0;
  while (first + 1 < mesh.dz.size() && !(mesh.z_nodes[first + 1] > lowest)) ++first;
  std::size_t last = first;
  while (last + 1 < mesh.dz.size() && mesh.dz[last + 1] < 1.2 * mesh.dz[last]) ++last;
  w.z_top = top;
  w.z_bottom = mesh.z_nodes[last + 1];
  // At least a fifth of the electrodes' spread below the ground, which dipole-dipole data see.
  if (!electrode_x.empty()) {
    w.z_bottom =
        std::min(std::max(w.z_bottom, lowest + 0.2 * (w.x_high - w.x_low)), mesh.z_nodes.back());
  }
  if (deepest > 0) {
    const double smallest_dz = *std::min_element(mesh.dz.begin(), mesh.dz.end());
    w.z_bottom = std::max(w.z_bottom, deepest + 2 * smallest_dz);
  }
  return w;
}

struct SectionInputs {
  const Mesh* mesh = nullptr;
  const Ground* ground = nullptr;
  Window window;
  std::vector<Point2> electrodes;  // x, elevation
};

std::vector<double> shown_values(const SectionInputs& in, std::span<const double> values) {
  std::vector<double> shown;
  const Mesh& mesh = *in.mesh;
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const auto column = static_cast<std::size_t>(i);
      if (!in.ground->topography.air_cells.empty() && k < in.ground->topography.air_cells[column])
        continue;
      if (mesh.x_nodes[column + 1] <= in.window.x_low || mesh.x_nodes[column] >= in.window.x_high ||
          mesh.z_nodes[static_cast<std::size_t>(k)] >= in.window.z_bottom)
        continue;
      shown.push_back(
          values[static_cast<std::size_t>(k) * static_cast<std::size_t>(mesh.nx) + column]);
    }
  }
  return shown;
}

std::string section_picture(const SectionInputs& in, const std::string& id,
                            std::span<const double> values, const ColourScale& scale,
                            std::span<const double> doi) {
  const Mesh& mesh = *in.mesh;
  const Ground& ground = *in.ground;
  SectionPicture picture;
  picture.id = id;
  picture.scale = scale;
  picture.x_low = in.window.x_low;
  picture.x_high = in.window.x_high;
  picture.top = ground.reference - in.window.z_top;
  picture.bottom = ground.reference - in.window.z_bottom;
  if (!ground.from_file) picture.y_label = "elevation (m, 0 at the mesh's top)";
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const auto column = static_cast<std::size_t>(i);
      const auto row = static_cast<std::size_t>(k);
      if (!ground.topography.air_cells.empty() && k < ground.topography.air_cells[column]) continue;
      const std::size_t cell = row * static_cast<std::size_t>(mesh.nx) + column;
      SectionCell c{mesh.x_nodes[column], mesh.x_nodes[column + 1],
                    ground.reference - mesh.z_nodes[row], ground.reference - mesh.z_nodes[row + 1],
                    values[cell]};
      if (std::isnan(c.value) || c.value == -1e30) continue;
      picture.cells.push_back(c);
      if (!doi.empty() && doi[cell] > 0.2) {
        // Past the depth of investigation: a veil that thickens with the index.
        c.value = std::round(std::min(0.8, 0.35 + 0.45 * (doi[cell] - 0.2) / 0.8) * 20) / 20;
        picture.veil.push_back(c);
      }
    }
  }
  for (std::size_t n = 0; n < mesh.x_nodes.size(); ++n) {
    picture.ground.push_back(
        {mesh.x_nodes[n], ground.reference - ground.surface_at(mesh, mesh.x_nodes[n])});
  }
  picture.electrodes = in.electrodes;
  return section_svg(picture);
}

// ---- survey pictures ----

struct SurveyView {
  SurveyData observed;
  std::optional<SurveyData> predicted;
  bool ip = false;
  std::string observed_file, predicted_file;
};

std::string datum_unit(const SurveyView& view) {
  if (!view.ip) return "ohm";
  return !view.observed.iptype.empty() && view.observed.iptype.front() == 2 ? "V" : "mV/V";
}

void add_pseudosections(Body& body, const SurveyView& view, const std::string& prefix,
                        std::vector<Point2>& markers) {
  const SurveyData& obs = view.observed;
  const std::vector<PseudoPosition> places = pseudo_positions(obs);
  const std::vector<DatumElectrodes> electrodes = datum_electrodes(obs);
  const std::vector<double> factors = flat_geometric_factors(obs);
  const bool apparent = !view.ip && !obs.has_z;
  const auto shown = [&](double datum, std::size_t i) {
    return apparent ? factors[i] * datum : datum;
  };
  const std::string unit = view.ip ? datum_unit(view) : apparent ? "ohm-m" : "ohm";
  const std::string what =
      view.ip    ? (datum_unit(view) == "V" ? "secondary potential" : "apparent chargeability")
      : apparent ? "apparent resistivity"
                 : "resistance";
  const bool logarithmic = !view.ip;
  const std::size_t ndat = static_cast<std::size_t>(obs.ndat);
  const bool with_predicted = view.predicted && view.predicted->ndat == obs.ndat;
  std::vector<double> observed_values(ndat), predicted_values(ndat), misfits(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    observed_values[i] = shown(obs.dobs[i], i);
    if (with_predicted) {
      predicted_values[i] = shown(view.predicted->dobs[i], i);
      misfits[i] = (obs.dobs[i] - view.predicted->dobs[i]) / obs.dstd[i];
    }
  }
  std::vector<double> both = observed_values;
  if (with_predicted) both.insert(both.end(), predicted_values.begin(), predicted_values.end());
  const ColourScale value_scale =
      scale_of(both, ColourScale::Map::sequential, logarithmic, what + " (" + unit + ")", 0.0);
  const ColourScale misfit_scale =
      scale_of(misfits, ColourScale::Map::diverging, false, "misfit (d - p) / sigma", 0.0);
  std::vector<std::string> tips(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    const DatumElectrodes& e = electrodes[i];
    std::string tip = "A " + num(e.a, 6) + " B " + num(e.b, 6) + " M " + num(e.m, 6) + " N " +
                      num(e.n, 6) + " m\nobserved " + num(observed_values[i], 5) + " " + unit;
    if (apparent) tip += " (R " + num(obs.dobs[i], 6) + " ohm)";
    tip += "\nerror sigma " + num(obs.dstd[i], 4) + " " + (view.ip ? unit : "ohm");
    if (with_predicted) {
      tip += "\npredicted " + num(predicted_values[i], 5) + " " + unit +
             "\nmisfit (d - p) / sigma " + num(misfits[i], 3);
    }
    tips[i] = tip;
  }
  std::set<double> xs;
  for (const DatumElectrodes& e : electrodes) xs.insert({e.a, e.b, e.m, e.n});
  for (double x : xs) markers.push_back({x, 0});
  const auto picture = [&](const std::string& id, const std::vector<double>& values,
                           const ColourScale& scale) {
    DataPicture p;
    p.id = id;
    p.scale = scale;
    p.markers = markers;
    for (std::size_t i = 0; i < ndat; ++i)
      p.data.push_back({places[i].x, places[i].depth, values[i], tips[i]});
    return data_svg(p);
  };
  const std::string stage = view.ip ? "IP" : "DC";
  body.figure(
      picture(prefix + "observed", observed_values, value_scale),
      stage + " observed " + what + " (" + unit + ") of " + std::to_string(ndat) + " data, " +
          view.observed_file +
          (apparent ? "; apparent resistivity from the flat-ground geometric factor K" : "") +
          "; pseudo-depth: the median depth of investigation");
  if (with_predicted) {
    body.figure(picture(prefix + "predicted", predicted_values, value_scale),
                stage + " predicted " + what + " (" + unit + "), " + view.predicted_file +
                    ", on the observed data's colour scale");
    body.figure(picture(prefix + "misfit", misfits, misfit_scale),
                stage +
                    " misfit (d - p) / sigma of every datum: red where the data lie above "
                    "the prediction, blue below");
  } else {
    body.paragraph(
        "No predicted data of these readings in the folder (predicted file missing or "
        "of another size): no misfit picture.");
  }
}

// ---- the report's reading of a folder ----

struct Run {
  fs::path folder;
  std::string name;
  std::string log_text;
  RunLogSummary log;
};

std::string title_of(const Run& run, const std::string& control_text) {
  // The control file's leading comment, up to its first full stop.
  std::string text;
  for (const std::string& line : text_lines(control_text)) {
    if (!(line.starts_with('!') || line.starts_with('%'))) break;
    std::string part = line.substr(1);
    while (!part.empty() && part.front() == ' ') part.erase(0, 1);
    if (!text.empty() && !part.empty()) text += ' ';
    text += part;
    if (part.empty() || part.find(". ") != std::string::npos || part.ends_with('.')) break;
  }
  const std::size_t stop = text.find(". ");
  if (stop != std::string::npos) text = text.substr(0, stop + 1);
  if (text.size() > 160) text = text.substr(0, 157) + "...";
  return text.empty() ? run.name : text;
}

void add_outcome(Body& body, const Run& run, bool finished) {
  bool stopped = !finished;
  for (const std::string& line : run.log.outcomes) {
    if (line.find("reached the target misfit") == std::string::npos) stopped = true;
  }
  if (!run.log.errors.empty()) stopped = true;
  std::string outcome =
      stopped ? "Outcome: stopped short of its target" : "Outcome: target reached";
  body.paragraph(outcome, stopped ? "outcome stopped" : "outcome");
  std::string reasons;
  for (const std::string& line : run.log.outcomes) reasons += line + "\n";
  for (const std::string& line : run.log.errors) reasons += line + "\n";
  if (!finished && reasons.empty())
    reasons =
        "The run log names no stop reason: the run ended before its first iteration was written.\n";
  if (!reasons.empty()) body.preformatted(reasons, "reasons");
}

void add_files(Body& body, const fs::path& folder, const std::string& heading) {
  std::vector<std::pair<std::string, std::uintmax_t>> files;
  std::vector<std::string> folders;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with('.') || name == report_file_name) continue;
    if (entry.is_directory(error)) {
      folders.push_back(name + "/");
    } else if (entry.is_regular_file(error)) {
      files.emplace_back(name, entry.file_size(error));
    }
  }
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  std::vector<std::vector<std::string>> rows;
  for (const auto& [name, size] : files) rows.push_back({name, std::to_string(size)});
  for (const std::string& name : folders) rows.push_back({name, "folder"});
  body.heading3(heading);
  body.html += table("files", {"file", "bytes"}, rows, {true, false});
}

// The words of a command as command.txt holds it: blank-separated, plain or in single quotes
// ('\\'' standing for a quote within them), as the command writes them.
std::vector<std::string> shell_words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      const std::size_t end = close == std::string_view::npos ? text.size() : close;
      word += text.substr(i + 1, end - i - 1);
      in_word = true;
      i = end;
    } else if (c == '\\' && i + 1 < text.size()) {
      word += text[++i];
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) out.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) out.push_back(std::move(word));
  return out;
}

// A word as a POSIX shell reads it back: plain when it can be, else in single quotes.
std::string shell_quoted(std::string_view word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-_./=:,+%@") == std::string_view::npos;
  if (plain) return std::string(word);
  std::string text = "'";
  for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

// The options of the command that ran (command.txt) that a rerun from the folder's copies keeps:
// all but those naming the inputs the copies replace (the mesh, the data, the topography, the
// output folder, the control file) and, when the folder keeps its parameter grid, the grid's.
std::vector<std::string> options_of_command(const std::string& command, bool kept_grid) {
  const std::vector<std::string> words = shell_words(command);
  std::vector<std::string> kept;
  const auto among = [](std::string_view name, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") break;  // the control file follows
    if (!word.starts_with('-')) continue;
    const std::string_view name = std::string_view(word).substr(0, word.find('='));
    const bool with_value =
        word.find('=') == std::string::npos &&
        among(name, {"--mesh", "--data", "--ip-data", "--topography", "--out", "--parameters",
                     "--parameter-cell", "--error", "--error-floor", "--ip-error",
                     "--ip-error-floor", "--memory-budget", "--ip-lower-bound"});
    const bool replaced = among(name, {"--mesh", "--data", "--ip-data", "--topography", "--out"}) ||
                          (kept_grid && among(name, {"--parameters", "--parameter-cell"}));
    if (!replaced) {
      kept.push_back(word);
      if (with_value && i + 1 < words.size()) kept.push_back(words[i + 1]);
    }
    if (with_value) ++i;
  }
  return kept;
}

void add_reproducibility(Body& body, const Run& run, const std::string& control_name,
                         const std::string& control_text, const std::vector<std::string>& inputs) {
  body.section("reproducibility", "Reproducibility");
  body.paragraph("Report of quelby " + std::string(version) + ".");
  std::string command_text;
  if (read_whole_file((run.folder / "command.txt").string(), command_text)) {
    body.heading3("The command as it was given");
    body.preformatted(command_text);
  }
  if (!control_text.empty()) {
    body.heading3("Control file " + control_name);
    body.preformatted(control_text, "control");
  }
  std::string rerun;
  if (!command_text.empty()) {
    rerun += "# as it ran, from the folder it ran in:\n" + command_text;
    if (!command_text.ends_with('\n')) rerun += "\n";
  } else if (!run.log.control_file.empty()) {
    rerun +=
        "# as it ran, from the folder it ran in:\nquelby-invert " + run.log.control_file + "\n";
  }
  // A time-lapse campaign's mesh, baseline data and topography are kept by its baseline's folder;
  // its later steps' data are among the control file's other inputs.
  std::string kept;
  if (!is_file(run.folder / "observed.dat") && !is_file(run.folder / "observed_ip.dat") &&
      is_file(run.folder / "timelapse.txt") && is_file(run.folder / "step_0" / "observed.dat")) {
    kept = "step_0/";
  }
  if (is_file(run.folder / (kept + "observed.dat")) ||
      is_file(run.folder / (kept + "observed_ip.dat"))) {
    rerun += "# from this folder's own copies of its inputs (into a new folder rerun/):\ncd " +
             run.name + " && quelby-invert";
    const bool section = !is_file(run.folder / "model.vtr");
    const bool kept_grid = section && is_file(run.folder / (kept + "parameters.msh"));
    for (const std::string& option : options_of_command(command_text, kept_grid))
      rerun += " " + shell_quoted(option);
    for (const auto& [option, name] :
         {std::pair{"--mesh", "mesh.msh"}, {"--parameters", "parameters.msh"},
          {"--data", "observed.dat"}, {"--ip-data", "observed_ip.dat"},
          {"--topography", "topography.topo"}}) {
      if (!kept_grid && std::string_view(option) == "--parameters") continue;
      if (is_file(run.folder / (kept + name))) rerun += std::string(" ") + option + " " + kept + name;
    }
    rerun += " --out rerun";
    if (is_file(run.folder / "rerun.inv"))
      rerun += " rerun.inv";
    else if (is_file(run.folder / "control.inv"))
      rerun += " control.inv";
    rerun += "\n";
  }
  if (!rerun.empty()) {
    body.heading3("To run it again");
    body.preformatted(rerun, "rerun");
  }
  if (!inputs.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& input : inputs) {
      std::error_code error;
      const std::uintmax_t size = fs::file_size(input, error);
      rows.push_back({input, error ? "not found" : std::to_string(size)});
    }
    body.heading3("Inputs the run log names");
    body.html += table("inputs", {"file", "bytes"}, rows, {true, false});
  }
  if (!run.log.timings.empty()) {
    std::string text;
    for (const std::string& line : run.log.timings) text += line + "\n";
    body.heading3("Timings of the run (run.log)");
    body.preformatted(text, "timings");
  }
  add_files(body, run.folder, "Files of the run folder");
}

// ---- import ----

void add_import(Body& body, const fs::path& folder, const std::string& data_file) {
  std::string name;
  if (is_file(folder / "import.log")) {
    name = (folder / "import.log").string();
  } else if (!data_file.empty()) {
    const fs::path beside = fs::path(data_file).parent_path() / "import.log";
    if (is_file(beside)) name = beside.string();
  }
  std::string text;
  if (name.empty() || !read_whole_file(name, text)) return;
  body.section("import", "Import");
  body.paragraph("The data came through quelby-import: its log " + name + ".");
  int figure = 0;
  for (const ErrorModelFit& model : error_models_of_import_log(text)) {
    Chart chart;
    chart.id = "error-model-" + std::to_string(++figure);
    chart.x_label = "|R| (ohm)";
    chart.y_label = "reciprocal error e (" + model.unit + ")";
    chart.log_x = chart.log_y = true;
    chart.width = 520;
    chart.height = 300;
    ChartSeries bins;
    bins.name = "bins";
    bins.x = model.mean_resistance;
    bins.y = model.mean_error;
    bins.line = false;
    for (std::size_t i = 0; i < bins.x.size(); ++i)
      bins.tips.push_back("mean |R| " + num(bins.x[i]) + " ohm, mean e " + num(bins.y[i]) + " " +
                          model.unit);
    chart.series.push_back(bins);
    const auto [low, high] = std::minmax_element(bins.x.begin(), bins.x.end());
    ChartSeries fit;
    fit.colour = "#b2182b";
    fit.points = false;
    fit.name = model.power_kept
                   ? "kept fit: e = " + num(model.power_a) + " |R|^" + num(model.power_b)
                   : "kept fit: e = " + num(model.linear_a) + " + " + num(model.linear_b) + " |R|";
    for (int i = 0; i <= 40; ++i) {
      const double r = *low * std::pow(*high / *low, i / 40.0);
      const double e = model.power_kept ? model.power_a * std::pow(r, model.power_b)
                                        : model.linear_a + model.linear_b * r;
      fit.x.push_back(r);
      fit.y.push_back(e);
    }
    if (model.power_kept ? model.has_power : model.has_linear) chart.series.push_back(fit);
    body.figure(chart_svg(chart), model.title);
  }
  const std::vector<std::string> lines = text_lines(text);
  std::string shown;
  for (std::size_t i = 0; i < lines.size() && i < 300; ++i) shown += lines[i] + "\n";
  if (lines.size() > 300) shown += "... (" + std::to_string(lines.size() - 300) + " more lines)\n";
  body.heading3("Import log and its checks");
  body.preformatted(shown, "import-log");
}

// ---- a 2-D run ----

struct Section2D {
  Mesh mesh;
  Ground ground;
  std::string mesh_name;
};

Section2D load_section_mesh(const Io& io, const Run& run, const fs::path& folder) {
  Section2D s;
  std::string mesh_name = locate(folder, "parameters.msh", "");
  if (mesh_name.empty()) mesh_name = locate(folder, "mesh.msh", run.log.mesh_file);
  if (mesh_name.empty())
    lacks(io, folder, "its mesh", "parameters.msh or mesh.msh", run.log.mesh_file);
  load_mesh(io, mesh_name, s.mesh);
  s.mesh_name = mesh_name;
  const std::string topography = locate(folder, "topography.topo", run.log.topography_file);
  if (!run.log.topography_file.empty() && topography.empty())
    lacks(io, folder, "its topography", "topography.topo", run.log.topography_file);
  s.ground.from_file = !topography.empty();
  read_topography(io, s.ground.from_file, topography, s.mesh.x_nodes, s.mesh.z_nodes,
                  s.ground.topography);
  s.ground.reference = s.ground.topography.reference_elevation;
  return s;
}

std::optional<SurveyView> load_survey_view(const Io& io, const Run& run, const fs::path& folder,
                                           bool ip, const std::string& logged) {
  const std::string copy = ip ? "observed_ip.dat" : "observed.dat";
  const std::string predicted_name = ip ? "predicted_ip.dat" : "predicted.dat";
  const std::string observed = locate(folder, copy, logged);
  if (observed.empty())
    lacks(io, folder, ip ? "its observed IP data" : "its observed DC data", copy, logged);
  SurveyView view;
  view.ip = ip;
  view.observed_file = observed;
  const std::string first_lines = opening_of(observed, 400);
  const bool use_z = first_lines.starts_with("COMMON_CURRENT") &&
                     first_lines.find("zA") != std::string::npos;
  read_data_file(io, observed, false, use_z, !ip, view.observed);
  if (!view.observed.has_values) return std::nullopt;
  if (is_file(folder / predicted_name)) {
    SurveyData predicted;
    read_data_file(io, (folder / predicted_name).string(), false, use_z, !ip, predicted);
    view.predicted = std::move(predicted);
    view.predicted_file = predicted_name;
  }
  // A data file without deviations (an older folder's input, read through its run log) was
  // inverted with the default errors, which the predicted file records beside every datum.
  const bool same_size = view.predicted && view.predicted->ndat == view.observed.ndat;
  for (std::size_t i = 0; i < view.observed.dstd.size(); ++i) {
    if (std::isnan(view.observed.dstd[i]) && same_size) view.observed.dstd[i] = view.predicted->dstd[i];
  }
  (void)run;
  return view;
}

std::vector<Point2> electrodes_on_ground(const Section2D& s, const SurveyData& survey) {
  std::set<std::pair<double, double>> places;  // x, depth
  for (const DatumElectrodes& e : datum_electrodes(survey)) {
    for (double x : {e.a, e.b, e.m, e.n}) places.insert({x, s.ground.surface_at(s.mesh, x)});
  }
  if (survey.has_z) {
    places.clear();
    for (std::size_t k = 0; k < static_cast<std::size_t>(survey.ncur); ++k) {
      places.insert({survey.xa_cur[k], survey.za_cur[k]});
      places.insert({survey.xb_cur[k], survey.zb_cur[k]});
      for (std::size_t i = survey.data_begin(k); i < survey.data_begin(k + 1); ++i) {
        places.insert({survey.xm[i], survey.zm[i]});
        places.insert({survey.xn[i], survey.zn[i]});
      }
    }
  }
  std::vector<Point2> points;
  for (const auto& [x, z] : places) points.push_back({x, s.ground.reference - z});
  return points;
}

SectionInputs section_inputs(const Section2D& s, const SurveyData* survey) {
  SectionInputs in;
  in.mesh = &s.mesh;
  in.ground = &s.ground;
  std::vector<double> xs;
  double deepest = 0;
  if (survey != nullptr) {
    in.electrodes = electrodes_on_ground(s, *survey);
    for (const Point2& e : in.electrodes) {
      xs.push_back(e.x);
      deepest = std::max(deepest, s.ground.reference - e.y);
    }
    if (!survey->has_z) deepest = 0;
  }
  in.window = core_window(s.mesh, s.ground, xs, deepest);
  return in;
}

std::vector<double> read_section_model(const Io& io, const Section2D& s, const std::string& name,
                                       std::string_view label) {
  Model model(s.mesh.nx, s.mesh.nz);
  read_model(io, s.mesh, name, label, model);
  const std::span<const double> values = model.values();
  return {values.begin(), values.end()};
}

void add_run_sections(const Io& io, Body& body, const Run& run, const Section2D& s,
                      const SurveyData* survey, const std::string& id_prefix) {
  const SectionInputs in = section_inputs(s, survey);
  std::vector<double> doi;
  const bool has_doi = is_file(run.folder / "doi.mod");
  if (has_doi) doi = read_section_model(io, s, (run.folder / "doi.mod").string(), "doi index");
  if (is_file(run.folder / "model.mod")) {
    const std::vector<double> rho =
        read_section_model(io, s, (run.folder / "model.mod").string(), "model");
    const ColourScale scale =
        scale_of(shown_values(in, rho), ColourScale::Map::sequential, true, "resistivity (ohm-m)");
    body.figure(section_picture(in, id_prefix + "resistivity", rho, scale, doi),
                "Resistivity (ohm-m, logarithmic colours) on " +
                    fs::path(s.mesh_name).filename().string() +
                    ", padding cells trimmed, true scale" +
                    (has_doi ? "; under the white veil the depth-of-investigation index (doi.mod) "
                               "is above 0.2: the reference, not the data, holds the model there"
                             : ""));
  }
  if (is_file(run.folder / "eta.mod")) {
    const std::vector<double> eta =
        read_section_model(io, s, (run.folder / "eta.mod").string(), "chargeability");
    const ColourScale scale = scale_of(shown_values(in, eta), ColourScale::Map::sequential, false,
                                       "chargeability (mV/V)");
    body.figure(section_picture(in, id_prefix + "chargeability", eta, scale, doi),
                "Chargeability (in the unit of the IP data, mV/V for apparent chargeabilities)");
  }
  if (has_doi) {
    std::vector<double> index = doi;
    for (double& v : index)
      if (v < 0) v = std::nan("");
    ColourScale scale;
    scale.low = 0;
    scale.high = 1;
    scale.label = "depth-of-investigation index";
    body.figure(section_picture(in, id_prefix + "doi", index, scale, {}),
                "Depth-of-investigation index (doi.mod): near 0 where the data fix the model, near "
                "1 where the reference does; 0.2 the usual threshold");
  }
}

void report_run2d(const Io& io, Body& body, const Run& run, bool with_header_sections = true) {
  const bool dc = is_file(run.folder / "history.txt") || is_file(run.folder / "observed.dat");
  const bool ip = is_file(run.folder / "history_ip.txt") || is_file(run.folder / "observed_ip.dat");
  const std::string logged_dc = dc && !run.log.data_files.empty() ? run.log.data_files[0] : "";
  const std::string logged_ip =
      ip ? (dc ? (run.log.data_files.size() > 1 ? run.log.data_files[1] : "")
               : (run.log.data_files.empty() ? "" : run.log.data_files[0]))
         : "";
  const Section2D s = load_section_mesh(io, run, run.folder);
  std::optional<SurveyView> dc_view, ip_view;
  if (dc) dc_view = load_survey_view(io, run, run.folder, false, logged_dc);
  if (ip) ip_view = load_survey_view(io, run, run.folder, true, logged_ip);
  const SurveyData* survey = dc_view ? &dc_view->observed : ip_view ? &ip_view->observed : nullptr;
  if (with_header_sections) {
    body.section("survey", "Survey");
    if (survey != nullptr) {
      const std::vector<Point2> electrodes = electrodes_on_ground(s, *survey);
      body.paragraph(std::to_string(electrodes.size()) +
                     " electrodes from x = " + num(electrodes.front().x, 6) + " m to " +
                     num(electrodes.back().x, 6) + " m; ground " +
                     (s.ground.from_file ? "from the topography file (elevations in m)"
                                         : "flat (no topography file)") +
                     "; mesh " + std::to_string(s.mesh.nx) + " x " + std::to_string(s.mesh.nz) +
                     " cells.");
    }
    std::vector<Point2> markers;
    if (dc_view) add_pseudosections(body, *dc_view, "pseudo-dc-", markers);
    markers.clear();
    if (ip_view) add_pseudosections(body, *ip_view, "pseudo-ip-", markers);
    add_import(body, run.folder, dc_view ? dc_view->observed_file : logged_dc);
  }
  body.section("sections", "Sections");
  add_run_sections(io, body, run, s, survey, "section-");
}

void add_convergence(const Io& io, Body& body, const Run& run) {
  body.section("convergence", "Convergence");
  bool any = false;
  if (is_file(run.folder / "history.txt")) {
    add_history(body, read_iteration_history(io, (run.folder / "history.txt").string()), "DC",
                "history-dc");
    any = true;
  }
  if (is_file(run.folder / "history_ip.txt")) {
    add_history(body, read_iteration_history(io, (run.folder / "history_ip.txt").string()), "IP",
                "history-ip");
    any = true;
  }
  if (!any) body.paragraph("No iteration history in the folder.");
  if (!run.log.robust.empty()) {
    std::string text;
    for (const std::string& line : run.log.robust) text += line + "\n";
    body.heading3("Robust misfit: the readings weighted down");
    body.preformatted(text, "robust");
  }
  if (!run.log.doi.empty()) {
    std::string text;
    for (const std::string& line : run.log.doi) text += line + "\n";
    body.heading3("Depth of investigation");
    body.preformatted(text, "doi");
  }
}

// The window of a 3-D model's pictures: the electrodes' extent with two of the smallest cells
// around it, from the ground to the depth shown; the electrodes drawn on them; the model's mesh.
struct View3D {
  double x_low = 0, x_high = 0, y_low = 0, y_high = 0, top = 0, bottom = 0;
  std::vector<ElectrodePosition> electrodes;
  Mesh3D mesh;
};

View3D report_run3d(const Io& io, Body& body, const Run& run);

// The values of the cells whose centres lie in the window (x and y) and above its bottom.
std::vector<double> shown_values3d(const Mesh3D& mesh, const View3D& v,
                                   const std::vector<double>& values) {
  std::vector<double> shown;
  for (std::int32_t k = 0; k < mesh.nz; ++k)
    for (std::int32_t j = 0; j < mesh.ny; ++j)
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        if (mesh.x_centres[static_cast<std::size_t>(i)] < v.x_low ||
            mesh.x_centres[static_cast<std::size_t>(i)] > v.x_high ||
            mesh.y_centres[static_cast<std::size_t>(j)] < v.y_low ||
            mesh.y_centres[static_cast<std::size_t>(j)] > v.y_high ||
            mesh.z_nodes[static_cast<std::size_t>(k)] >= v.bottom)
          continue;
        shown.push_back(values[static_cast<std::size_t>(mesh.cell(i, j, k))]);
      }
  return shown;
}

// Slices of `values` along x (at the window's middle y) and along y (at its middle x), and depth
// maps at a fifth, two fifths and four fifths of the depth shown, on `scale`. The pictures' ids
// end with `suffix`; their captions name `what` and `unit`, then `note`.
void model3d_pictures(Body& body, const Mesh3D& mesh, const View3D& view,
                      const std::vector<double>& values, const ColourScale& scale,
                      const std::string& suffix, const std::string& what,
                      const std::string& unit, const std::string& note) {
  const auto index_of = [](const std::vector<double>& centres, double v) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < centres.size(); ++i)
      if (std::abs(centres[i] - v) < std::abs(centres[best] - v)) best = i;
    return static_cast<std::int32_t>(best);
  };
  const std::int32_t jm = index_of(mesh.y_centres, 0.5 * (view.y_low + view.y_high));
  const std::int32_t im = index_of(mesh.x_centres, 0.5 * (view.x_low + view.x_high));
  for (int along = 0; along < 2; ++along) {
    SectionPicture p;
    p.id = std::string(along == 0 ? "slice-x" : "slice-y") + suffix;
    p.scale = scale;
    p.x_low = along == 0 ? view.x_low : view.y_low;
    p.x_high = along == 0 ? view.x_high : view.y_high;
    p.top = -view.top;
    p.bottom = -view.bottom;
    p.x_label = along == 0 ? "x (m)" : "y (m)";
    p.y_label = "-z (m)";
    p.cells = along == 0 ? slice_along_x(mesh, values, jm) : slice_along_y(mesh, values, im);
    for (const ElectrodePosition& e : view.electrodes) {
      const double offset = along == 0 ? e.y - mesh.y_centres[static_cast<std::size_t>(jm)]
                                       : e.x - mesh.x_centres[static_cast<std::size_t>(im)];
      const double width = along == 0 ? mesh.dy[static_cast<std::size_t>(jm)]
                                      : mesh.dx[static_cast<std::size_t>(im)];
      if (std::abs(offset) <= width) p.electrodes.push_back({along == 0 ? e.x : e.y, -e.z});
    }
    body.figure(
        section_svg(p),
        what + (along == 0 ? " along x at y = " +
                                 num(mesh.y_centres[static_cast<std::size_t>(jm)], 5)
                           : " along y at x = " +
                                 num(mesh.x_centres[static_cast<std::size_t>(im)], 5)) +
            " m (" + unit + ")" + note);
  }
  for (int n : {1, 2, 4}) {
    const double z = view.top + (view.bottom - view.top) * n / 5.0;
    const std::int32_t k = index_of(mesh.z_centres, z);
    SectionPicture p;
    p.id = "depth-map-" + std::to_string(n) + suffix;
    p.scale = scale;
    p.x_low = view.x_low;
    p.x_high = view.x_high;
    p.top = view.y_high;
    p.bottom = view.y_low;
    p.y_label = "y (m)";
    p.cells = depth_map(mesh, values, k);
    for (const ElectrodePosition& e : view.electrodes) p.electrodes.push_back({e.x, e.y});
    std::string lower = what;
    lower[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[0])));
    body.figure(section_svg(p), "Depth map at z = " +
                                    num(mesh.z_centres[static_cast<std::size_t>(k)], 4) +
                                    " m (layer " + std::to_string(k + 1) + "), " + lower + " in " +
                                    unit + note);
  }
}

// ---- time-lapse ----

void report_timelapse(const Io& io, Body& body, const Run& run) {
  const std::vector<TimelapseSummaryRow> steps =
      read_timelapse_summary(io, (run.folder / "timelapse.txt").string());
  body.section("timelapse", "Time-lapse");
  std::vector<std::vector<std::string>> rows;
  Chart chart;
  chart.id = "timelapse-misfit";
  chart.x_label = "step";
  chart.y_label = "data misfit";
  chart.log_y = true;
  ChartSeries misfit, target;
  misfit.name = "misfit";
  target.name = "target";
  target.colour = "#b2182b";
  for (const TimelapseSummaryRow& step : steps) {
    if (step.failed) {
      rows.push_back({std::to_string(step.step), "failed", "", "", "", "", "", "", "",
                      step.data_file + ": " + step.reason});
      continue;
    }
    rows.push_back({std::to_string(step.step), std::to_string(step.readings),
                    std::to_string(step.dropped_step), std::to_string(step.dropped_baseline),
                    std::to_string(step.iterations), num(step.misfit, 6),
                    num(step.target_misfit, 6), num(step.smallest_change, 4),
                    num(step.largest_change, 4), step.data_file});
    misfit.x.push_back(step.step);
    misfit.y.push_back(step.misfit);
    misfit.tips.push_back("step " + std::to_string(step.step) + ": misfit " + num(step.misfit, 6));
    target.x.push_back(step.step);
    target.y.push_back(step.target_misfit);
  }
  chart.series = {misfit, target};
  body.figure(chart_svg(chart), "Data misfit of every step against its target (timelapse.txt)");
  body.html += table("timelapse",
                     {"step", "readings", "dropped (step)", "dropped (baseline)", "iterations",
                      "misfit", "target", "smallest change %", "largest change %", "data"},
                     rows, {false, false, false, false, false, false, false, false, false, true});
  // The changes on one colour scale, symmetric about 0.
  Run baseline = run;
  baseline.folder = run.folder / "step_0";
  std::string baseline_log;
  read_whole_file((baseline.folder / "run.log").string(), baseline_log);
  baseline.log = summarise_run_log(baseline_log);
  if (!fs::is_directory(baseline.folder)) lacks(io, run.folder, "its baseline", "step_0/", "");
  if (model_dimensions((baseline.folder / "model.mod").string()) == 3) {
    // A 3-D campaign: its baseline as a 3-D run, then every step's change on one scale.
    body.paragraph(
        "A 3-D campaign: the baseline (step_0) is shown below, then each later step's change of "
        "resistivity in percent (its folder's change.mod) on one scale.");
    const View3D view = report_run3d(io, body, baseline);
    std::vector<std::pair<std::int32_t, std::vector<double>>> changes;
    std::vector<double> all;
    for (const TimelapseSummaryRow& step : steps) {
      if (step.failed || step.step == 0) continue;
      const fs::path name = run.folder / ("step_" + std::to_string(step.step)) / "change.mod";
      std::vector<double> change;
      if (is_file(name)) {
        read_model3d(io, view.mesh, name.string(), "change", change);
        const std::vector<double> shown = shown_values3d(view.mesh, view, change);
        all.insert(all.end(), shown.begin(), shown.end());
      }
      changes.emplace_back(step.step, std::move(change));
    }
    if (changes.empty()) return;
    body.section("timelapse-changes", "Changes of the later steps");
    const ColourScale scale =
        scale_of(all, ColourScale::Map::diverging, false, "change of resistivity (%)", 0.005);
    for (const auto& [step, change] : changes) {
      const std::string k = std::to_string(step);
      body.heading3("Step " + k);
      if (change.empty()) {
        body.paragraph("No change to draw: step_" + k + "/change.mod is missing from the folder.");
        continue;
      }
      model3d_pictures(body, view.mesh, view, change, scale, "-change-" + k,
                       "Change of resistivity of step " + k, "%",
                       ", from step_" + k + "/change.mod, on the scale common to every step");
    }
    return;
  }
  const Section2D s = load_section_mesh(io, baseline, baseline.folder);
  std::optional<SurveyView> view;
  if (is_file(baseline.folder / "observed.dat") || !baseline.log.data_files.empty())
    view = load_survey_view(io, baseline, baseline.folder, false,
                            baseline.log.data_files.empty() ? "" : baseline.log.data_files[0]);
  const SurveyData* survey = view ? &view->observed : nullptr;
  const SectionInputs in = section_inputs(s, survey);
  // Every step that ran, with its change; a step whose change.mod is missing keeps its heading
  // and says so, the others are drawn.
  struct StepChange {
    std::int32_t step = 0;
    bool found = false;
    std::vector<double> change;
  };
  std::vector<StepChange> changes;
  std::vector<double> all;
  for (const TimelapseSummaryRow& step : steps) {
    if (step.failed || step.step == 0) continue;
    const fs::path name = run.folder / ("step_" + std::to_string(step.step)) / "change.mod";
    if (!is_file(name)) {
      changes.push_back({step.step, false, {}});
      continue;
    }
    std::vector<double> change = read_section_model(io, s, name.string(), "change");
    const std::vector<double> shown = shown_values(in, change);
    all.insert(all.end(), shown.begin(), shown.end());
    changes.push_back({step.step, true, std::move(change)});
  }
  const ColourScale scale =
      scale_of(all, ColourScale::Map::diverging, false, "change of resistivity (%)", 0.005);
  body.heading3("Baseline (step 0)");
  if (is_file(baseline.folder / "model.mod")) {
    const std::vector<double> rho =
        read_section_model(io, s, (baseline.folder / "model.mod").string(), "model");
    body.figure(section_picture(in, "section-baseline", rho,
                                scale_of(shown_values(in, rho), ColourScale::Map::sequential, true,
                                         "resistivity (ohm-m)"),
                                {}),
                "Resistivity of the baseline (step_0/model.mod)");
  }
  for (const auto& [step, found, change] : changes) {
    body.heading3("Step " + std::to_string(step));
    if (!found) {
      body.paragraph("No change to draw: step_" + std::to_string(step) +
                     "/change.mod is missing from the folder.");
      continue;
    }
    body.figure(section_picture(in, "section-change-" + std::to_string(step), change, scale, {}),
                "Change of resistivity of step " + std::to_string(step) + " in percent (step_" +
                    std::to_string(step) + "/change.mod), on the scale common to every step");
  }
  if (view) {
    body.section("survey", "Survey of the baseline");
    std::vector<Point2> markers;
    add_pseudosections(body, *view, "pseudo-dc-", markers);
  }
}

// ---- 3-D ----
View3D report_run3d(const Io& io, Body& body, const Run& run) {
  std::string mesh_name = locate(run.folder, "parameters.msh", "");
  if (mesh_name.empty()) mesh_name = locate(run.folder, "mesh.msh", run.log.mesh3d_file);
  if (mesh_name.empty())
    lacks(io, run.folder, "its 3-D mesh", "parameters.msh or mesh.msh", run.log.mesh3d_file);
  Mesh3D mesh;
  load_mesh3d(io, mesh_name, mesh);
  std::vector<double> rho;
  read_model3d(io, mesh, (run.folder / "model.mod").string(), "model", rho);
  // The survey: its positions from the predicted data, its values from the observed.
  Survey3D predicted, observed;
  const bool has_predicted = is_file(run.folder / "predicted.dat");
  if (has_predicted) read_survey3d(io, (run.folder / "predicted.dat").string(), false, predicted);
  const std::string observed_name = locate(run.folder, "observed.dat", run.log.survey3d_file);
  if (observed_name.empty())
    lacks(io, run.folder, "its observed data", "observed.dat", run.log.survey3d_file);
  read_survey3d(io, observed_name, false, observed);
  body.section("survey", "Survey");
  body.paragraph(std::to_string(observed.electrodes.size()) + " electrodes, " +
                 std::to_string(observed.ndat) + " data (" + observed_name + "); mesh " +
                 std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) + " x " +
                 std::to_string(mesh.nz) + " cells (" + fs::path(mesh_name).filename().string() +
                 ").");
  const std::size_t ndat = static_cast<std::size_t>(observed.ndat);
  const bool with_misfit = has_predicted && predicted.ndat == observed.ndat;
  // A survey file without deviations was inverted with the default errors, which the predicted
  // file records beside every datum.
  if (with_misfit && observed.std_missing) observed.dstd = predicted.dstd;
  std::vector<double> misfit(ndat, std::nan("")), depth = median_depths3d(observed);
  std::vector<std::string> tips(ndat);
  for (std::size_t i = 0; i < ndat; ++i) {
    if (with_misfit) misfit[i] = (observed.dobs[i] - predicted.dobs[i]) / observed.dstd[i];
    const auto& e = observed.electrodes;
    const auto place = [&](std::int32_t k) {
      const ElectrodePosition& p = e[static_cast<std::size_t>(k)];
      return "(" + num(p.x, 6) + ", " + num(p.y, 6) + ", " + num(p.z, 6) + ")";
    };
    tips[i] = "A " + place(observed.a[i]) + " B " + place(observed.b[i]) + "\nM " +
              place(observed.m[i]) + " N " + place(observed.n[i]) + "\nobserved " +
              num(observed.dobs[i], 6) + " ohm, sigma " + num(observed.dstd[i], 4) +
              (with_misfit ? "\npredicted " + num(predicted.dobs[i], 6) +
                                 " ohm\nmisfit (d - p) / sigma " + num(misfit[i], 3)
                           : "");
  }
  const ColourScale misfit_scale =
      scale_of(misfit, ColourScale::Map::diverging, false, "misfit (d - p) / sigma", 0.0);
  DataPicture map;
  map.id = "survey3d-map";
  map.css_class = "electrode-map";
  map.equal_axes = true;
  map.y_down = false;
  map.x_label = "x (m)";
  map.y_label = "y (m)";
  map.scale = misfit_scale;
  double x_low = 1e300, x_high = -1e300, y_low = 1e300, y_high = -1e300;
  for (const ElectrodePosition& p : observed.electrodes) {
    map.markers.push_back({p.x, p.y});
    x_low = std::min(x_low, p.x);
    x_high = std::max(x_high, p.x);
    y_low = std::min(y_low, p.y);
    y_high = std::max(y_high, p.y);
  }
  for (std::size_t i = 0; i < ndat; ++i) {
    const auto& e = observed.electrodes;
    const auto at = [&](std::int32_t k) { return e[static_cast<std::size_t>(k)]; };
    const double cx = 0.25 * (at(observed.a[i]).x + at(observed.b[i]).x + at(observed.m[i]).x +
                              at(observed.n[i]).x);
    const double cy = 0.25 * (at(observed.a[i]).y + at(observed.b[i]).y + at(observed.m[i]).y +
                              at(observed.n[i]).y);
    map.data.push_back({cx, cy, misfit[i], tips[i]});
  }
  body.figure(data_svg(map),
              "Electrodes (black squares) and each datum at the centre of its four "
              "electrodes, coloured by its misfit (d - p) / sigma");
  DataPicture against_depth;
  against_depth.id = "survey3d-misfit-depth";
  against_depth.css_class = "misfit-depth";
  against_depth.x_label = "misfit (d - p) / sigma";
  against_depth.y_label = "pseudo-depth (m)";
  against_depth.scale = misfit_scale;
  for (std::size_t i = 0; i < ndat; ++i)
    against_depth.data.push_back({misfit[i], depth[i], misfit[i], tips[i]});
  if (with_misfit) {
    body.figure(data_svg(against_depth),
                "Misfit of every datum against its pseudo-depth (the "
                "median depth of investigation of its four electrodes)");
  }
  // Slices through the model within the electrodes' extent.
  body.section("sections", "Sections");
  const double smallest_dx = *std::min_element(mesh.dx.begin(), mesh.dx.end());
  const double smallest_dy = *std::min_element(mesh.dy.begin(), mesh.dy.end());
  x_low -= 2 * smallest_dx;
  x_high += 2 * smallest_dx;
  y_low -= 2 * smallest_dy;
  y_high += 2 * smallest_dy;
  double top = 1e300;
  for (std::size_t c = 0; c < rho.size(); ++c) {
    if (!std::isnan(rho[c])) {
      top = std::min(top, mesh.z_nodes[c / (static_cast<std::size_t>(mesh.nx) *
                                            static_cast<std::size_t>(mesh.ny))]);
      break;
    }
  }
  std::size_t first = 0;
  while (first < mesh.dz.size() && !(mesh.z_nodes[first + 1] > top)) ++first;
  std::size_t last = first;
  while (last + 1 < mesh.dz.size() && mesh.dz[last + 1] < 1.2 * mesh.dz[last]) ++last;
  double bottom = mesh.z_nodes[last + 1];
  bottom = std::max(bottom, top + 0.3 * std::max(x_high - x_low, y_high - y_low));
  bottom = std::min(bottom, mesh.z_nodes.back());
  View3D view{x_low, x_high, y_low, y_high, top, bottom, observed.electrodes, {}};
  const ColourScale scale = scale_of(shown_values3d(mesh, view, rho), ColourScale::Map::sequential,
                                     true, "resistivity (ohm-m)");
  model3d_pictures(body, mesh, view, rho, scale, "", "Resistivity", "ohm-m", "");
  view.mesh = std::move(mesh);
  return view;
}

}  // namespace

std::string run_report_html(const Io& outer, const std::string& folder_name) {
  const QuietIo quiet(outer);
  const Io& io = quiet.io;
  Run run;
  run.folder = fs::path(folder_name);
  while (run.folder.has_filename() == false && run.folder.has_parent_path() &&
         run.folder != run.folder.root_path())
    run.folder = run.folder.parent_path();
  std::error_code error;
  if (!fs::is_directory(run.folder, error)) {
    stop_with(outer, Order::console_then_log,
              "\nError: the run folder " + folder_name + " does not exist.\n", exit_failure, {},
              StopCause::missing_file);
  }
  run.name = fs::absolute(run.folder, error).filename().string();
  if (run.name.empty() || run.name == ".")
    run.name = fs::absolute(run.folder, error).parent_path().filename().string();
  if (!read_whole_file((run.folder / "run.log").string(), run.log_text)) {
    stop_with(outer, Order::console_then_log,
              "\nError: " + folder_name + " is not a run folder: it holds no run.log.\n",
              exit_failure, {}, StopCause::bad_input);
  }
  run.log = summarise_run_log(run.log_text);
  const bool timelapse = is_file(run.folder / "timelapse.txt");
  const bool has_model = is_file(run.folder / "model.mod") || is_file(run.folder / "eta.mod");
  const std::size_t dimensions =
      has_model ? model_dimensions(
                      (run.folder / (is_file(run.folder / "model.mod") ? "model.mod" : "eta.mod"))
                          .string())
                : 0;
  // The control file: the folder's copy, else the one the log names.
  const std::string control_name = locate(run.folder, "control.inv", run.log.control_file);
  std::string control_text;
  if (!control_name.empty()) read_whole_file(control_name, control_text);

  std::string kind = timelapse         ? "2-D time-lapse campaign"
                     : dimensions == 3 ? "3-D inversion"
                                       : "2-D inversion";
  if (!timelapse) {
    const bool dc = is_file(run.folder / "history.txt");
    const bool ip = is_file(run.folder / "history_ip.txt");
    kind += dc && ip ? " of DC and IP data" : ip ? " of IP data" : " of DC data";
  }
  if (!run.log.robust.empty()) kind += ", robust misfit";
  if (is_file(run.folder / "doi.mod")) kind += ", with the depth of investigation";
  const std::string title = title_of(run, control_text);

  Body body;
  const bool finished = has_model || timelapse;
  if (timelapse) {
    report_timelapse(io, body, run);
  } else if (dimensions == 3) {
    report_run3d(io, body, run);
  } else if (has_model) {
    report_run2d(io, body, run);
  }
  if (!timelapse) add_convergence(io, body, run);
  std::vector<std::string> inputs;
  for (const std::string* name :
       {&run.log.control_file, &run.log.mesh_file, &run.log.topography_file, &run.log.survey3d_file,
        &run.log.mesh3d_file}) {
    if (!name->empty()) inputs.push_back(*name);
  }
  for (const std::string& name : run.log.data_files) inputs.push_back(name);
  std::sort(inputs.begin(), inputs.end());
  inputs.erase(std::unique(inputs.begin(), inputs.end()), inputs.end());
  for (std::string& name : inputs) {
    const std::string found = locate(run.folder, "", name);
    if (!found.empty()) name = found;
  }
  add_reproducibility(body, run, control_name, control_text, inputs);

  Body head;
  head.html += "<header><h1>" + esc(title) + "</h1>\n";
  head.paragraph("quelby " + std::string(version) + " - " + kind + " - run folder " + run.name);
  add_outcome(head, run, finished);
  if (timelapse && !run.log.steps.empty()) {
    std::string text;
    for (const std::string& line : run.log.steps) text += line + "\n";
    head.preformatted(text, "steps");
  }
  head.html += "<nav>";
  for (const auto& [id, heading] : body.contents)
    head.html += "<a href=\"#" + id + "\">" + esc(heading) + "</a>";
  head.html += "</nav></header>\n";
  return report_page(title, head.html + body.html);
}

std::string write_run_report(const Io& io, const std::string& folder,
                             const std::string& file_name) {
  const std::string name =
      file_name.empty() ? (fs::path(folder) / report_file_name).string() : file_name;
  const std::string page = run_report_html(io, folder);
  AtomicOutput output(name);
  int error = output.create();
  if (error == 0) error = output.write(page.data(), page.size());
  if (error == 0) error = output.commit();
  if (error != 0) write_failed(io, "report", name, error);
  return name;
}

}  // namespace quelby
