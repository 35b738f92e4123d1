#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_records.hpp"

namespace quelby {

namespace {

using survey_records::all_finite;
using survey_records::DataRecords;

// The values of a current line; items start from zero on every line.
struct CurrentLine {
  double xa = 0, za = 0, xb = 0, zb = 0;
  std::int32_t count = 0;

  // Stops with the read error when the line cannot be read or a position is not finite.
  void read(const DataRecords& records, bool use_z) {
    const ReadStatus status = use_z ? read_text(records.values(), {xa, za, xb, zb, count})
                                    : read_text(records.values(), {xa, xb, count});
    if (!status.ok() || !all_finite({xa, za, xb, zb})) records.refused(status, use_z ? 5 : 3);
  }
};

// Fetches the current line of a pair, taking an IPTYPE line before it.
void fetch_current_line(DataRecords& records, std::int32_t& type, bool dc_data) {
  if (!records.fetch()) records.ended();
  records.take_iptype(type, dc_data);
}

void read_pair_count(DataRecords& records, SurveyData& data) {
  data.ncur = 0;
  if (!records.fetch()) records.ended();
  if (const ReadStatus status = read_text(records.values(), {data.ncur}); !status.ok()) {
    records.refused(status, 1);
  }
}

}  // namespace

void read_common_current_data(const Io& io, InputFile& file, std::string_view file_name,
                              bool locations_only, bool dc_data, SurveyData& data) {
  DataRecords records(io, file, file_name, survey_records::Wording::common_current);
  const bool read_values = !locations_only;
  const bool use_z = data.use_z;

  // One walk over the file does the work of two passes in their order of messages. The checks of
  // the first pass (counts, IP types, current lines, positions) stop at once; the checks of the
  // values that only the second pass makes (the read of the values, the standard deviations)
  // stop only once the whole file has met the first ones, with the first such failure in file
  // order.
  if (!records.read_header(data)) records.ended();
  read_pair_count(records, data);
  const std::size_t ncur = static_cast<std::size_t>(std::max(data.ncur, 0));
  std::vector<double>* const per_pair[] = {&data.xa_cur, &data.xb_cur, &data.za_cur, &data.zb_cur};
  std::vector<double>* const per_datum[] = {&data.xm, &data.xn,   &data.zm,
                                            &data.zn, &data.dobs, &data.dstd};
  try {
    // Every pair and every datum takes a line of its own.
    const std::size_t data_capacity = records.line_capacity();
    const std::size_t pair_capacity = std::min(ncur, data_capacity);
    for (std::vector<double>* array : per_pair) array->clear();
    for (std::vector<double>* array : per_datum) array->clear();
    data.ndat_cur.clear();
    data.iptype.clear();
    for (std::size_t a = 0; a < (use_z ? 4 : 2); ++a) {
      reserve_with_huge_pages(*per_pair[a], pair_capacity);
    }
    reserve_with_huge_pages(data.ndat_cur, pair_capacity);
    for (std::size_t a = 0; a < 6; ++a) {
      if ((a == 2 || a == 3) && !use_z) continue;
      if (a >= 4 && !read_values) continue;
      reserve_with_huge_pages(*per_datum[a], data_capacity);
    }
    reserve_with_huge_pages(data.iptype, data_capacity);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  std::int32_t type = dc_data ? 0 : 1;
  std::int64_t count = 0;
  std::optional<DataRecords::PendingStop> pending;
  const std::size_t positions = use_z ? 4 : 2;
  try {
    for (std::int32_t k = 0; k < data.ncur; ++k) {
      fetch_current_line(records, type, dc_data);
      CurrentLine current;
      current.read(records, use_z);
      data.xa_cur.push_back(current.xa);
      data.xb_cur.push_back(current.xb);
      if (use_z) {
        data.za_cur.push_back(current.za);
        data.zb_cur.push_back(current.zb);
      }
      data.ndat_cur.push_back(current.count);
      for (std::int32_t c = 0; c < current.count; ++c) {
        ++count;
        if (count > std::numeric_limits<std::int32_t>::max()) out_of_memory_stop(io);
        if (!records.fetch()) records.ended();
        // The values' read (with or without standard deviations; the first datum decides) reads
        // the positions first, so when it succeeds the positions' own read would give the same;
        // when it fails, the positions are read alone for the first pass's check.
        const std::string_view line = records.values();
        double xm = 0, zm = 0, xn = 0, zn = 0, value = 0, deviation = 0;
        ReadStatus status;
        std::size_t expected = positions;
        const auto read_six = [&] {
          expected = positions + 2;
          return use_z ? read_text(line, {xm, zm, xn, zn, value, deviation})
                       : read_text(line, {xm, xn, value, deviation});
        };
        const auto read_five = [&] {
          expected = positions + 1;
          return use_z ? read_text(line, {xm, zm, xn, zn, value})
                       : read_text(line, {xm, xn, value});
        };
        if (read_values) {
          if (count == 1) {
            data.std_missing = !read_six().ok();
            if (data.std_missing) {
              xm = zm = xn = zn = value = deviation = 0;
              status = read_five();
            }
          } else {
            status = data.std_missing ? read_five() : read_six();
          }
        }
        if (!read_values || !status.ok()) {
          if (read_values && !pending) pending = records.refusal(status, expected);
          xm = zm = xn = zn = 0;
          const ReadStatus own =
              use_z ? read_text(line, {xm, zm, xn, zn}) : read_text(line, {xm, xn});
          if (!own.ok()) records.refused(own, positions);
        }
        if (!all_finite({xm, zm, xn, zn})) records.refused(ReadStatus{}, positions);
        if (read_values && status.ok() && !data.std_missing && !(deviation > 0) && !pending) {
          pending = records.standard_deviation_refusal(deviation);
        }
        update_separation_stats(data.sep_max, data.sep_min, data.sep_mean, current.xa, current.xb,
                                xm, xn);
        data.iptype.push_back(type);
        data.xm.push_back(xm);
        data.xn.push_back(xn);
        if (use_z) {
          data.zm.push_back(zm);
          data.zn.push_back(zn);
        }
        if (read_values) {
          data.dobs.push_back(value);
          data.dstd.push_back(deviation);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  if (pending) records.stop(std::move(*pending));
  data.ndat = static_cast<std::int32_t>(count);
  if (read_values && data.std_missing) {
    std::fill(data.dstd.begin(), data.dstd.end(), std::numeric_limits<double>::quiet_NaN());
  }
  data.dstd_read = read_values && !data.std_missing;
  data.has_values = read_values;
  data.has_z = use_z;
}

}  // namespace quelby
