#include "quelby/survey/survey_data.hpp"
#include "quelby/base/stops.hpp"

#include <algorithm>
#include <cmath>

namespace quelby {

void update_separation_stats(double& sep_max, double& sep_min, double& sep_sum, double a, double b,
                             double m, double n) noexcept {
  const double am = std::fabs(a - m);
  const double an = std::fabs(a - n);
  const double bm = std::fabs(b - m);
  const double bn = std::fabs(b - n);
  sep_max = std::max(sep_max, am);
  sep_min = std::min(sep_min, am);
  if (m != n) {
    sep_max = std::max(sep_max, an);
    sep_min = std::min(sep_min, an);
  }
  if (a != b) {
    sep_max = std::max(sep_max, bm);
    sep_min = std::min(sep_min, bm);
    if (m != n) {
      sep_max = std::max(sep_max, bn);
      sep_min = std::min(sep_min, bn);
    }
  }
  sep_sum += std::max(std::max(am, an), std::max(bm, bn));
}

void normalize_data(const Io& io, SurveyData& data) {
  const std::size_t count = data.ndat > 0 ? static_cast<std::size_t>(data.ndat) : 0;
  if (data.dobs.size() != count || data.dstd.size() != count) {
    internal_check_failed(io, "normalize_data: dobs and dstd must hold ndat values");
  }
  for (std::size_t i = 0; i < count; ++i) data.dobs[i] = data.dobs[i] / data.dstd[i];
}

}  // namespace quelby
