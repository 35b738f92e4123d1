#include "quelby/survey/common_readings.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "quelby/base/stops.hpp"

namespace quelby {
namespace {

// A reading's electrodes in one orientation: each dipole's lower electrode first (x, then z), so
// that a reading and its swapped twins share it.
struct ReadingKey {
  std::array<double, 8> positions;  // A x, A z, B x, B z, M x, M z, N x, N z after ordering
  std::int32_t datum;               // 0-based grouped position
  double sign;                      // -1 when exactly one dipole was swapped into this order

  bool operator<(const ReadingKey& other) const {
    return positions != other.positions ? positions < other.positions : datum < other.datum;
  }
};

// The dipole (p, q) with its lower electrode first; `swapped` tells whether that changed it.
std::array<double, 4> ordered(double px, double pz, double qx, double qz, bool& swapped) {
  swapped = std::make_pair(qx, qz) < std::make_pair(px, pz);
  return swapped ? std::array<double, 4>{qx, qz, px, pz} : std::array<double, 4>{px, pz, qx, qz};
}

std::vector<ReadingKey> reading_keys(const SurveyData& survey) {
  std::vector<ReadingKey> keys;
  keys.reserve(static_cast<std::size_t>(survey.ndat));
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    const double za = survey.has_z ? survey.za_cur[pair] : 0.0;
    const double zb = survey.has_z ? survey.zb_cur[pair] : 0.0;
    bool current_swapped = false;
    const std::array<double, 4> current =
        ordered(survey.xa_cur[pair], za, survey.xb_cur[pair], zb, current_swapped);
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      bool potential_swapped = false;
      const std::array<double, 4> potential =
          ordered(survey.xm[i], survey.has_z ? survey.zm[i] : 0.0, survey.xn[i],
                  survey.has_z ? survey.zn[i] : 0.0, potential_swapped);
      ReadingKey key;
      std::copy(current.begin(), current.end(), key.positions.begin());
      std::copy(potential.begin(), potential.end(), key.positions.begin() + 4);
      key.datum = static_cast<std::int32_t>(i);
      key.sign = current_swapped == potential_swapped ? 1.0 : -1.0;
      keys.push_back(key);
    }
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

CommonReadings common_readings(const Io& io, const SurveyData& first, const SurveyData& second,
                               std::string_view first_name, std::string_view second_name) {
  if (first.has_z != second.has_z) {
    const bool first_has = first.has_z;
    stop_with(
        io, Order::console_then_log,
        "\nError: " + std::string(trim_trailing_blanks(first_has ? first_name : second_name)) +
            " holds z positions of its electrodes and " +
            std::string(trim_trailing_blanks(first_has ? second_name : first_name)) +
            " does not: their readings cannot be matched\n");
  }
  const std::vector<ReadingKey> ones = reading_keys(first);
  const std::vector<ReadingKey> others = reading_keys(second);
  std::vector<std::pair<ReadingKey, ReadingKey>> pairs;
  for (std::size_t at = 0, other = 0; at < ones.size() && other < others.size();) {
    if (ones[at].positions < others[other].positions) {
      ++at;
    } else if (others[other].positions < ones[at].positions) {
      ++other;
    } else {
      pairs.emplace_back(ones[at++], others[other++]);
    }
  }
  std::sort(pairs.begin(), pairs.end(),
            [](const auto& a, const auto& b) { return a.first.datum < b.first.datum; });
  CommonReadings common;
  for (const auto& [one, other] : pairs) {
    common.first.push_back(one.datum);
    common.second.push_back(other.datum);
    common.sign.push_back(one.sign * other.sign);
  }
  return common;
}

SurveyData select_readings(const SurveyData& survey, std::span<const std::int32_t> kept) {
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  std::vector<std::int32_t> new_position(ndat, -1);
  for (std::size_t j = 0; j < kept.size(); ++j) {
    new_position[static_cast<std::size_t>(kept[j])] = static_cast<std::int32_t>(j);
  }
  SurveyData result;
  result.use_z = survey.use_z;
  result.common_current = survey.common_current;
  result.std_missing = survey.std_missing;
  result.dstd_read = survey.dstd_read;
  result.has_values = survey.has_values;
  result.has_z = survey.has_z;
  result.has_file_order = survey.has_file_order;
  result.header_line = survey.header_line;
  result.ndat = static_cast<std::int32_t>(kept.size());
  result.idat_idx.push_back(1);
  const bool values = survey.dobs.size() == ndat;
  const bool deviations = survey.dstd.size() == ndat;
  double separation_sum = 0;
  for (std::size_t pair = 0; pair < static_cast<std::size_t>(survey.ncur); ++pair) {
    std::int32_t count = 0;
    for (std::size_t i = survey.data_begin(pair); i < survey.data_begin(pair + 1); ++i) {
      if (new_position[i] < 0) continue;
      ++count;
      result.xm.push_back(survey.xm[i]);
      result.xn.push_back(survey.xn[i]);
      if (survey.has_z) {
        result.zm.push_back(survey.zm[i]);
        result.zn.push_back(survey.zn[i]);
      }
      result.iptype.push_back(survey.iptype[i]);
      if (values) result.dobs.push_back(survey.dobs[i]);
      if (deviations) result.dstd.push_back(survey.dstd[i]);
      update_separation_stats(result.sep_max, result.sep_min, separation_sum, survey.xa_cur[pair],
                              survey.xb_cur[pair], survey.xm[i], survey.xn[i]);
    }
    if (count == 0) continue;
    result.xa_cur.push_back(survey.xa_cur[pair]);
    result.xb_cur.push_back(survey.xb_cur[pair]);
    if (survey.has_z) {
      result.za_cur.push_back(survey.za_cur[pair]);
      result.zb_cur.push_back(survey.zb_cur[pair]);
    }
    result.ndat_cur.push_back(count);
    result.idat_idx.push_back(result.idat_idx.back() + count);
  }
  result.ncur = static_cast<std::int32_t>(result.xa_cur.size());
  if (!kept.empty()) result.sep_mean = separation_sum / static_cast<double>(kept.size());
  if (survey.has_file_order) {
    // The kept lines in the file's order; their grouped positions are those of the new survey,
    // which keeps the grouped order of the kept data.
    for (std::size_t line = 0; line < ndat; ++line) {
      const std::int32_t position = new_position[survey.grouped_position(line)];
      if (position < 0) continue;
      result.xa_file.push_back(survey.xa_file[line]);
      result.xb_file.push_back(survey.xb_file[line]);
      result.xm_file.push_back(survey.xm_file[line]);
      result.xn_file.push_back(survey.xn_file[line]);
      result.sorted_pos.push_back(position + 1);
    }
  }
  return result;
}

}  // namespace quelby
