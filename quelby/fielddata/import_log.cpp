#include "quelby/fielddata/import_log.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/version.hpp"

namespace quelby {

std::string log_number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string count_text(std::size_t count, std::string_view what) {
  if (what == "datum") return std::to_string(count) + (count == 1 ? " datum" : " data");
  return std::to_string(count) + " " + std::string(what) + (count == 1 ? "" : "s");
}

std::string import_log_text(const ImportSummary& summary, const ImportResult& result) {
  std::string text = "quelby-import " + std::string(version) + "\n";
  text += "input: " + summary.input + "\n";
  for (const std::string& note : summary.reader_notes) text += note + "\n";
  text += "readings: " + std::to_string(summary.readings);
  if (summary.readings > 0) {
    text += " (lines " + std::to_string(summary.first_line) + " to " +
            std::to_string(summary.last_line) + ")";
  }
  text += "\n";
  if (!summary.remote.empty()) {
    text += "remote electrodes (written as poles: B = A, N = M):";
    for (const double x : summary.remote) text += " x = " + log_number(x);
    text += "\n";
  }
  for (const std::string& note : summary.notes) text += note + "\n";
  text += "resistances: " + std::to_string(summary.from_resistance) + " as the file gives them, " +
          std::to_string(summary.from_voltage) + " from V / I, " +
          std::to_string(summary.from_file_factor) + " from rho_a / the file's K, " +
          std::to_string(summary.from_ground_factor) +
          " from rho_a / the flat-surface K of the positions the file records\n";
  text += "geometric factors (rho_a = K R): " + summary.ground_factors + "\n";
  if (!summary.chargeability.empty()) text += "IP: " + summary.chargeability + "\n";
  text += "readings dropped, by reason:";
  if (result.dropped.empty()) text += " none";
  text += "\n";
  for (const auto& [reason, count] : result.dropped) {
    text += "  " + reason + ": " + std::to_string(count) + "\n";
  }
  if (!summary.electrode_drops.empty()) {
    // The electrodes the filters' dropped data use most: a bad electrode stands out.
    std::vector<std::pair<double, std::size_t>> tally(summary.electrode_drops.begin(),
                                                      summary.electrode_drops.end());
    std::stable_sort(tally.begin(), tally.end(),
                     [](const auto& p, const auto& q) { return p.second > q.second; });
    text += "electrodes of the data the filters dropped, most used first:";
    for (std::size_t k = 0; k < tally.size() && k < 6; ++k) {
      text += " x = " + log_number(tally[k].first) + " (" + std::to_string(tally[k].second) + ")";
    }
    text += "\n";
  }
  if (summary.duplicates_removed > 0) {
    text += "duplicates: " +
            count_text(summary.duplicates_removed + summary.duplicate_groups, "reading") +
            " averaged into " + count_text(summary.duplicate_groups, "datum") + "\n";
  }
  if (summary.paired) {
    text += "reciprocal pairs: " + std::to_string(result.pairs.mean.size()) + " (" +
            count_text(summary.unpaired, "datum") + " without a reciprocal, " +
            (summary.unpaired_dropped ? "dropped" : "kept") + ")\n";
  }
  const auto describe = [&](const ErrorFit& fit, std::string_view title, std::string_view unit) {
    if (fit.bin_magnitude.empty()) return;
    text += std::string(title) + ", fitted to " + std::to_string(fit.bin_magnitude.size()) +
            " bins of " + std::to_string(fit.per_bin) + " or more pairs by |R|:\n";
    text += "  bin mean |R| (ohm), mean e (" + std::string(unit) + "):";
    for (std::size_t k = 0; k < fit.bin_magnitude.size(); ++k) {
      text += ' ';
      text += log_number(fit.bin_magnitude[k]);
      text += ' ';
      text += log_number(fit.bin_error[k]);
      text += ';';
    }
    text += "\n";
    for (const ErrorModel* model : {&fit.linear, &fit.power}) {
      text += std::string(model->kind == ErrorModel::Kind::linear ? "  linear: " : "  power:  ");
      if (model->usable) {
        text += model->formula() + ", rms log10 misfit " + log_number(model->misfit);
        if (fit.kept.usable && fit.kept.kind == model->kind) text += "  (kept)";
      } else {
        text += "not usable";
      }
      text += "\n";
    }
  };
  describe(result.pairs.fit, "error model of the resistances", "ohm");
  describe(result.pairs.chargeability_fit, "error model of the chargeabilities",
           result.chargeability_unit);
  text += "standard deviations: " + summary.deviations + "\n";
  if (result.ip) text += "IP standard deviations: " + summary.ip_deviations + "\n";
  text += "data: " + count_text(summary.data, "datum") + " (data.dat, signed resistance in ohms" +
          (result.data_stds ? ", with standard deviations" : "") + ")\n";
  if (result.ip) {
    text += "IP: " + count_text(static_cast<std::size_t>(result.ip->ndat), "datum") +
            " (ip.dat, apparent chargeability in " + result.chargeability_unit +
            (result.ip_stds ? ", with standard deviations" : "") + ")\n";
  }
  if (!result.topography_x.empty()) {
    text += "ground: " + count_text(result.topography_x.size(), "point") +
            " (topography.topo, reference elevation " + log_number(result.reference_elevation) +
            " m)\n";
  }
  text += summary.checks;
  if (!summary.dropped_lines.empty()) {
    text += "every reading dropped:\n";
    for (const std::string& line : summary.dropped_lines) text += line + "\n";
  }
  return text;
}

}  // namespace quelby
