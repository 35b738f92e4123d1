#include "quelby/report/run_folder.hpp"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <system_error>

#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

bool starts(std::string_view line, std::string_view prefix) {
  return line.starts_with(prefix);
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The blank-separated words of a line.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > begin) out.push_back(line.substr(begin, i - begin));
  }
  return out;
}

bool parse_number(std::string_view text, double& value) {
  // The 13-column fields may write their exponent without its letter ("1.0-100"): not written
  // by the histories this reads, which are in range.
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool parse_count(std::string_view text, std::int32_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

[[noreturn]] void damaged(const Io& io, std::string_view what, const std::string& name,
                          std::string_view why) {
  stop_with(
      io, Order::console_then_log,
      "\nError: the " + std::string(what) + " " + name + " is damaged: " + std::string(why) + "\n");
}

}  // namespace

std::vector<std::string> text_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(begin, end - begin);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.emplace_back(line);
    begin = end + 1;
  }
  return lines;
}

bool read_whole_file(const std::string& name, std::string& text) {
  std::ifstream file(name, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  if (file.bad()) return false;
  text = std::move(buffer).str();
  return true;
}

IterationHistory read_iteration_history(const Io& io, const std::string& name) {
  std::string text;
  if (!read_whole_file(name, text)) damaged(io, "history file", name, "it cannot be read");
  const std::vector<std::string> lines = text_lines(text);
  IterationHistory history;
  std::int32_t niter = -1;
  if (lines.empty()) damaged(io, "history file", name, "it is empty");
  {
    const auto header = words(lines[0]);
    if (header.size() < 2 || header[1] != "iter" || !parse_count(header[0], niter) || niter < 0)
      damaged(io, "history file", name, "line 1 is not its header");
  }
  if (lines.size() < static_cast<std::size_t>(niter) + 4)
    damaged(io, "history file", name,
            "it ends before its " + std::to_string(std::int64_t{niter} + 1) + " rows");
  for (std::int32_t row = 0; row <= niter; ++row) {
    const auto fields = words(lines[static_cast<std::size_t>(row) + 1]);
    std::int32_t iteration = 0;
    double misfit = 0, norm = 0, beta = 0;
    if (fields.size() != 4 || !parse_count(fields[0], iteration) ||
        !parse_number(fields[1], misfit) || !parse_number(fields[2], norm) ||
        !parse_number(fields[3], beta)) {
      damaged(io, "history file", name,
              "line " + std::to_string(row + 2) + " is not an iteration's row");
    }
    history.iteration.push_back(iteration);
    history.misfit.push_back(misfit);
    history.norm.push_back(norm);
    history.beta.push_back(beta);
  }
  const auto target = words(lines[static_cast<std::size_t>(niter) + 2]);
  const auto count = words(lines[static_cast<std::size_t>(niter) + 3]);
  if (target.empty() || !parse_number(target[0], history.target_misfit) || count.empty() ||
      !parse_count(count[0], history.ndat)) {
    damaged(io, "history file", name, "its target misfit or number of data is missing");
  }
  return history;
}

RunLogSummary summarise_run_log(std::string_view text) {
  RunLogSummary summary;
  const std::vector<std::string> lines = text_lines(text);
  const auto after = [](std::string_view line, std::string_view prefix) {
    return std::string(trimmed(line.substr(prefix.size())));
  };
  bool in_robust = false, in_doi = false;
  for (const std::string& line : lines) {
    const std::string_view view = line;
    if (in_robust && starts(view, "  datum ")) {
      summary.robust.push_back(line);
      continue;
    }
    in_robust = false;
    if (in_doi && starts(view, "  ")) {
      summary.doi.push_back(line);
      continue;
    }
    in_doi = false;
    constexpr std::string_view control = "control file was read from: ";
    constexpr std::string_view mesh = "mesh was read from: ";
    constexpr std::string_view topography = "topography was read from: ";
    constexpr std::string_view data = "data were read from: ";
    constexpr std::string_view survey3d = "3-D survey data were read from file: ";
    constexpr std::string_view mesh3d = "3-D mesh was read from file: ";
    if (starts(view, control)) {
      summary.control_file = after(view, control);
    } else if (starts(view, mesh)) {
      if (summary.mesh_file.empty()) summary.mesh_file = after(view, mesh);
    } else if (starts(view, topography)) {
      if (summary.topography_file.empty()) summary.topography_file = after(view, topography);
    } else if (starts(view, data)) {
      summary.data_files.push_back(after(view, data));
    } else if (starts(view, survey3d)) {
      if (summary.survey3d_file.empty()) summary.survey3d_file = after(view, survey3d);
    } else if (starts(view, mesh3d)) {
      if (summary.mesh3d_file.empty()) summary.mesh3d_file = after(view, mesh3d);
    } else if ((starts(view, "DC inversion: ") || starts(view, "IP inversion: ")) &&
               view.find(" after ") != std::string_view::npos) {
      summary.outcomes.push_back(line);
    } else if (starts(view, "Error") || starts(view, "ERROR") || starts(view, "Warning") ||
               starts(view, "IP inversion stopped short")) {
      summary.errors.push_back(line);
    } else if (view.find(" inversion time:") != std::string_view::npos) {
      summary.timings.push_back(line);
    } else if ((starts(view, "DC robust misfit: ") || starts(view, "IP robust misfit: "))) {
      summary.robust.push_back(line);
      in_robust = true;
    } else if (starts(view, "Depth of investigation: ") ||
               starts(view, "depth of investigation, the further runs:")) {
      summary.doi.push_back(line);
      in_doi = true;
    } else if (starts(view, "step ") || starts(view, "time-lapse")) {
      summary.steps.push_back(line);
    }
  }
  return summary;
}

std::vector<TimelapseSummaryRow> read_timelapse_summary(const Io& io, const std::string& name) {
  std::string text;
  if (!read_whole_file(name, text)) damaged(io, "time-lapse summary", name, "it cannot be read");
  std::vector<TimelapseSummaryRow> steps;
  const std::vector<std::string> lines = text_lines(text);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    if (trimmed(line).empty() || trimmed(line).starts_with('!')) continue;
    const auto fields = words(line);
    TimelapseSummaryRow step;
    bool sound = fields.size() >= 3 && parse_count(fields[0], step.step);
    if (sound && fields[1] == "failed") {
      step.failed = true;
      step.data_file = std::string(fields[2]);
      const std::size_t mark = line.find("  ! ");
      if (mark != std::string_view::npos) step.reason = std::string(trimmed(line.substr(mark + 4)));
    } else if (sound) {
      sound = fields.size() >= 10 && parse_count(fields[1], step.readings) &&
              parse_count(fields[2], step.dropped_step) &&
              parse_count(fields[3], step.dropped_baseline) &&
              parse_count(fields[4], step.iterations) && parse_number(fields[5], step.misfit) &&
              parse_number(fields[6], step.target_misfit) &&
              parse_number(fields[7], step.smallest_change) &&
              parse_number(fields[8], step.largest_change);
      if (sound) {
        const auto offset = static_cast<std::size_t>(fields[9].data() - line.data());
        step.data_file = std::string(trimmed(line.substr(offset)));
      }
    }
    if (!sound) damaged(io, "time-lapse summary", name, "line " + std::to_string(k + 1));
    steps.push_back(std::move(step));
  }
  return steps;
}

std::vector<ErrorModelFit> error_models_of_import_log(std::string_view text) {
  std::vector<ErrorModelFit> models;
  for (const std::string& line : text_lines(text)) {
    const std::string_view view = line;
    if (starts(view, "error model of ")) {
      models.push_back({});
      models.back().title = line;
      continue;
    }
    if (models.empty()) continue;
    ErrorModelFit& model = models.back();
    constexpr std::string_view bins = "  bin mean |R| (ohm), mean e (";
    if (starts(view, bins)) {
      const std::size_t close = view.find("):", bins.size());
      if (close == std::string_view::npos) continue;
      model.unit = std::string(view.substr(bins.size(), close - bins.size()));
      std::string_view rest = view.substr(close + 2);
      while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const auto pair = words(rest.substr(0, end));
        double r = 0, e = 0;
        if (pair.size() == 2 && parse_number(pair[0], r) && parse_number(pair[1], e)) {
          model.mean_resistance.push_back(r);
          model.mean_error.push_back(e);
        }
        if (end == std::string_view::npos) break;
        rest = rest.substr(end + 1);
      }
    } else if (starts(view, "  linear: e = ")) {
      // "e = A + B |R|" or "e = A - B |R|"
      const auto fields = words(view.substr(14));
      double a = 0, b = 0;
      if (fields.size() >= 3 && parse_number(fields[0], a) && parse_number(fields[2], b)) {
        model.linear_a = a;
        model.linear_b = fields[1] == "-" ? -b : b;
        model.has_linear = true;
      }
    } else if (starts(view, "  power:  e = ")) {
      const auto fields = words(view.substr(14));
      double a = 0, b = 0;
      if (fields.size() >= 2 && parse_number(fields[0], a) && fields[1].starts_with("|R|^") &&
          parse_number(trimmed(fields[1].substr(4)).substr(0, fields[1].substr(4).find(',')), b)) {
        model.power_a = a;
        model.power_b = b;
        model.has_power = true;
        model.power_kept = view.find("(kept)") != std::string_view::npos;
      }
    }
  }
  std::erase_if(models, [](const ErrorModelFit& m) { return m.mean_resistance.empty(); });
  return models;
}

}  // namespace quelby
