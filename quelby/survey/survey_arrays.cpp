#include "quelby/survey/survey_arrays.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "quelby/base/stops.hpp"

namespace quelby {

void survey_from_arrays(const Io& io, const SurveyArrays& arrays, SurveyData& data) {
  const std::size_t ndat = arrays.a.size();
  auto refuse = [&](const std::string& what) {
    stop_with(io, Order::console_then_log, "\nError: survey arrays: " + what + "\n");
  };
  if (ndat == 0) refuse("no datum");
  if (ndat > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - 1))
    refuse("too many data");
  const bool has_z =
      !arrays.za.empty() || !arrays.zb.empty() || !arrays.zm.empty() || !arrays.zn.empty();
  const bool has_values = !arrays.values.empty();
  const bool has_stds = !arrays.stds.empty();
  auto check_size = [&](std::size_t size, const char* name) {
    if (size != ndat)
      refuse(std::string(name) + " holds " + std::to_string(size) + " values, " +
             std::to_string(ndat) + " expected");
  };
  check_size(arrays.b.size(), "b");
  check_size(arrays.m.size(), "m");
  check_size(arrays.n.size(), "n");
  if (has_z) {
    check_size(arrays.za.size(), "za");
    check_size(arrays.zb.size(), "zb");
    check_size(arrays.zm.size(), "zm");
    check_size(arrays.zn.size(), "zn");
  }
  if (has_values) check_size(arrays.values.size(), "values");
  if (has_stds) {
    if (!has_values) refuse("standard deviations without values");
    check_size(arrays.stds.size(), "stds");
  }
  if (!arrays.iptype.empty()) check_size(arrays.iptype.size(), "iptype");
  auto z_of = [&](std::span<const double> z, std::size_t i) { return has_z ? z[i] : 0.0; };
  for (std::size_t i = 0; i < ndat; ++i) {
    const double positions[8] = {arrays.a[i],        arrays.b[i],        arrays.m[i],
                                 arrays.n[i],        z_of(arrays.za, i), z_of(arrays.zb, i),
                                 z_of(arrays.zm, i), z_of(arrays.zn, i)};
    for (const double value : positions) {
      if (!std::isfinite(value))
        refuse("datum " + std::to_string(i + 1) + ": a position is not a finite number");
    }
    if (has_stds && !(arrays.stds[i] > 0))
      refuse("datum " + std::to_string(i + 1) + ": the standard deviation should be positive");
    if (!arrays.iptype.empty() && (arrays.iptype[i] < 0 || arrays.iptype[i] > 2))
      refuse("datum " + std::to_string(i + 1) + ": the IP type should be 0, 1 or 2");
  }

  // Pairs in order of first appearance, data of each pair in the given order.
  std::map<std::tuple<double, double, double, double>, std::size_t> pair_of;
  std::vector<std::size_t> pair(ndat);
  std::vector<std::size_t> first_datum;
  for (std::size_t i = 0; i < ndat; ++i) {
    const auto key =
        std::make_tuple(arrays.a[i], arrays.b[i], z_of(arrays.za, i), z_of(arrays.zb, i));
    const auto found = pair_of.try_emplace(key, first_datum.size());
    if (found.second) first_datum.push_back(i);
    pair[i] = found.first->second;
  }
  const std::size_t ncur = first_datum.size();
  std::vector<std::int32_t> count(ncur, 0);
  for (std::size_t i = 0; i < ndat; ++i) ++count[pair[i]];

  data = SurveyData{};
  data.ndat = static_cast<std::int32_t>(ndat);
  data.ncur = static_cast<std::int32_t>(ncur);
  data.use_z = has_z;
  data.has_z = has_z;
  data.has_values = has_values;
  data.dstd_read = has_stds;
  data.std_missing = has_values && !has_stds;
  data.has_file_order = true;
  data.header_line = std::string("survey from arrays").append(82, ' ');
  data.idat_idx.resize(ncur + 1);
  data.idat_idx[0] = 1;
  for (std::size_t k = 0; k < ncur; ++k) data.idat_idx[k + 1] = data.idat_idx[k] + count[k];
  data.ndat_cur = count;
  data.xa_cur.resize(ncur);
  data.xb_cur.resize(ncur);
  if (has_z) {
    data.za_cur.resize(ncur);
    data.zb_cur.resize(ncur);
  }
  for (std::size_t k = 0; k < ncur; ++k) {
    data.xa_cur[k] = arrays.a[first_datum[k]];
    data.xb_cur[k] = arrays.b[first_datum[k]];
    if (has_z) {
      data.za_cur[k] = arrays.za[first_datum[k]];
      data.zb_cur[k] = arrays.zb[first_datum[k]];
    }
  }
  data.xm.resize(ndat);
  data.xn.resize(ndat);
  data.iptype.assign(ndat, 0);
  if (has_z) {
    data.zm.resize(ndat);
    data.zn.resize(ndat);
  }
  if (has_values) {
    data.dobs.resize(ndat);
    data.dstd.assign(ndat, std::numeric_limits<double>::quiet_NaN());
  }
  data.xa_file.assign(arrays.a.begin(), arrays.a.end());
  data.xb_file.assign(arrays.b.begin(), arrays.b.end());
  data.xm_file.assign(arrays.m.begin(), arrays.m.end());
  data.xn_file.assign(arrays.n.begin(), arrays.n.end());
  data.sorted_pos.resize(ndat);
  std::vector<std::size_t> next(ncur);
  for (std::size_t k = 0; k < ncur; ++k) next[k] = data.data_begin(k);
  double sep_sum = 0;
  for (std::size_t i = 0; i < ndat; ++i) {
    const std::size_t at = next[pair[i]]++;
    data.sorted_pos[i] = static_cast<std::int32_t>(at + 1);
    data.xm[at] = arrays.m[i];
    data.xn[at] = arrays.n[i];
    if (has_z) {
      data.zm[at] = arrays.zm[i];
      data.zn[at] = arrays.zn[i];
    }
    if (!arrays.iptype.empty()) data.iptype[at] = arrays.iptype[i];
    if (has_values) data.dobs[at] = arrays.values[i];
    if (has_stds) data.dstd[at] = arrays.stds[i];
    update_separation_stats(data.sep_max, data.sep_min, sep_sum, arrays.a[i], arrays.b[i],
                            arrays.m[i], arrays.n[i]);
  }
  data.sep_mean = sep_sum / static_cast<double>(ndat);
}

}  // namespace quelby
