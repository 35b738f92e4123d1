#include "quelby/inversion/timelapse.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/inversion/inversion_inputs.hpp"

namespace quelby {
namespace {

// "A=0 B=5 M=10 N=15" of datum `datum` (0-based, grouped order), x positions as read; with z
// positions each x is followed by its z ("A=0,3.5"), since buried electrodes share their x.
std::string electrodes_text(const SurveyData& survey, std::size_t datum) {
  std::size_t pair = 0;
  while (survey.data_begin(pair + 1) <= datum) ++pair;
  const auto position = [&](double x, const std::vector<double>& z, std::size_t at) {
    std::string text = shortest(x);
    if (survey.has_z) {
      text += ',';
      text += shortest(z[at]);
    }
    return text;
  };
  return "A=" + position(survey.xa_cur[pair], survey.za_cur, pair) +
         " B=" + position(survey.xb_cur[pair], survey.zb_cur, pair) +
         " M=" + position(survey.xm[datum], survey.zm, datum) +
         " N=" + position(survey.xn[datum], survey.zn, datum);
}

void append_exponent(std::string& text, double value) {
  char field[16];
  format_exponent(value, 13, 5, field);
  text.append(field, 13);
}

void append_integer(std::string& text, std::int64_t value, int width) {
  char field[24];
  format_integer(value, width, field);
  text.append(field, static_cast<std::size_t>(width));
}

}  // namespace

const char* timelapse_method_name(TimelapseMethod method) {
  return method == TimelapseMethod::difference ? "difference" : "ratio";
}

TimelapseStep timelapse_step(const Io& io, const SurveyData& baseline,
                             std::span<const double> response, const SurveyData& step,
                             TimelapseMethod method, std::string_view baseline_name,
                             std::string_view step_name) {
  const std::string base(trim_trailing_blanks(baseline_name));
  const std::string name(trim_trailing_blanks(step_name));
  if (response.size() != static_cast<std::size_t>(baseline.ndat) ||
      baseline.dobs.size() != response.size() ||
      step.dobs.size() != static_cast<std::size_t>(step.ndat) ||
      step.dstd.size() != step.dobs.size()) {
    internal_check_failed(io, "timelapse_step: the data and the response differ in size");
  }
  TimelapseStep result;
  result.readings = common_readings(io, baseline, step, base, name);
  const CommonReadings& common = result.readings;
  const std::size_t count = common.first.size();
  result.dropped_from_step = step.ndat - static_cast<std::int32_t>(count);
  result.dropped_from_baseline = baseline.ndat - static_cast<std::int32_t>(count);
  result.description = name + ": " + std::to_string(count) + " readings common with the baseline " +
                       base + "; dropped: " + std::to_string(result.dropped_from_step) +
                       " of the step's " + std::to_string(step.ndat) + " readings, " +
                       std::to_string(result.dropped_from_baseline) + " of the baseline's " +
                       std::to_string(baseline.ndat);
  write_message(io, Order::console_then_log, result.description + "\n");
  if (count == 0) {
    stop_with(io, Order::console_then_log,
              "\nError: the time-lapse step " + name + " shares no reading with the baseline " +
                  base + "\n");
  }
  result.data = select_readings(baseline, common.first);
  result.data.dstd_read = true;
  result.data.std_missing = false;
  for (std::size_t j = 0; j < count; ++j) {
    const auto b = static_cast<std::size_t>(common.first[j]);
    const auto s = static_cast<std::size_t>(common.second[j]);
    const double reading = common.sign[j] * step.dobs[s];
    double value = 0, deviation = step.dstd[s];
    if (method == TimelapseMethod::difference) {
      value = (reading - baseline.dobs[b]) + response[b];
    } else {
      if (baseline.dobs[b] == 0) {
        stop_with(io, Order::console_then_log,
                  "\nError: the reading " + electrodes_text(baseline, b) + " of the baseline " +
                      base + " is 0: no ratio of the step " + name + " to it\n");
      }
      value = (reading / baseline.dobs[b]) * response[b];
      deviation = step.dstd[s] * std::abs(response[b] / baseline.dobs[b]);
    }
    if (!std::isfinite(value) || !(deviation > 0) || !std::isfinite(deviation)) {
      stop_with(io, Order::console_then_log,
                "\nError: the reading " + electrodes_text(baseline, b) + " of the step " + name +
                    " gives the " + timelapse_method_name(method) + " datum " + shortest(value) +
                    " with the standard deviation " + shortest(deviation) + "\n");
    }
    result.data.dobs[j] = value;
    result.data.dstd[j] = deviation;
  }
  return result;
}

std::pair<double, std::vector<double>> homogeneous_response(const Io& io, const Mesh& mesh,
                                                            std::span<const std::int32_t> air_cells,
                                                            const SurveyData& survey,
                                                            std::string_view name, double value) {
  ForwardModel forward(io, mesh, air_cells, survey);
  if (value == 0) value = median_apparent_resistivity(io, forward, mesh, survey, name);
  if (!(value > 0) || !std::isfinite(value)) {
    stop_with(io, Order::console_then_log,
              "\nError: the homogeneous model of a ratio inversion needs a positive resistivity, "
              "not " +
                  shortest(value) + "\n");
  }
  std::string text = "homogeneous model of the ratio inversion:";
  char field[16];
  format_exponent(value, 12, 5, field);
  text.append(field, 12);
  text += " ohm-m\n";
  write_message(io, Order::console_then_log, text);
  const std::vector<double> uniform(
      static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz), value);
  return {value, forward.data(io, uniform)};
}

std::string failure_reason(std::string_view message) {
  std::string reason;
  std::size_t at = 0;
  while (true) {
    at = message.find_first_not_of(" \t\r\n", at);
    if (at == std::string_view::npos) break;
    const std::size_t end = std::min(message.find_first_of(" \t\r\n", at), message.size());
    if (!reason.empty()) reason += ' ';
    reason += message.substr(at, end - at);
    at = end;
  }
  for (const std::string_view prefix : {"Error: ", "ERROR: "}) {
    if (reason.starts_with(prefix)) reason.erase(0, prefix.size());
  }
  return reason;
}

std::vector<double> change_percent(std::span<const double> model,
                                   std::span<const double> reference) {
  std::vector<double> change(model.size());
  for (std::size_t cell = 0; cell < model.size(); ++cell) {
    change[cell] = model[cell] == reference[cell] ? 0.0 : 100 * (model[cell] / reference[cell] - 1);
  }
  return change;
}

void write_timelapse_summary(const Io& io, std::string_view name, TimelapseMethod method,
                             std::span<const TimelapseSummaryLine> lines) {
  std::string text = "! time-lapse inversion (";
  text += timelapse_method_name(method);
  text +=
      "): step 0 is the baseline; change in percent of each step's model against its reference\n"
      "! step readings dropped_step dropped_baseline iterations misfit target_misfit "
      "smallest_change largest_change data\n";
  for (std::size_t step = 0; step < lines.size(); ++step) {
    const TimelapseSummaryLine& line = lines[step];
    append_integer(text, static_cast<std::int64_t>(step), 5);
    if (!line.failure.empty()) {
      text += "   failed  ";
      text += trim_trailing_blanks(line.data_name);
      text += "  ! ";
      text += failure_reason(line.failure);
      text += '\n';
      continue;
    }
    append_integer(text, line.readings, 9);
    append_integer(text, line.dropped_from_step, 9);
    append_integer(text, line.dropped_from_baseline, 9);
    append_integer(text, line.iterations, 6);
    for (const double value :
         {line.misfit, line.target_misfit, line.smallest_change, line.largest_change}) {
      append_exponent(text, value);
    }
    text += "  ";
    text += trim_trailing_blanks(line.data_name);
    text += '\n';
  }
  write_whole_file(io, name, "time-lapse summary", text);
}

}  // namespace quelby
