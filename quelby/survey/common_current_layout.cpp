#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_records.hpp"

namespace quelby {

namespace {

using survey_records::DataRecords;

// The values of a current line; items start from zero on every line.
struct CurrentLine {
  double xa = 0, za = 0, xb = 0, zb = 0;
  std::int32_t count = 0;

  // Stops with the read error when the line cannot be read or a position is not finite.
  void read(const DataRecords& records, bool use_z) {
    const ReadStatus status = use_z ? read_text(records.values(), {xa, za, xb, zb, count})
                                    : read_text(records.values(), {xa, xb, count});
    const bool finite =
        std::isfinite(xa) && std::isfinite(za) && std::isfinite(xb) && std::isfinite(zb);
    if (!status.ok() || !finite) records.refused(status, use_z ? 5 : 3);
  }
};

void read_pair_count(DataRecords& records, SurveyData& data) {
  data.ncur = 0;
  records.fetch_required();
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
  const std::size_t n_positions = use_z ? 4 : 2;
  try {
    for (std::int32_t k = 0; k < data.ncur; ++k) {
      records.fetch_required();
      records.take_iptype(type, dc_data);
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
        survey_records::check_datum_count(io, count);
        records.fetch_required();
        // M and N: x of M, x of N, or x of M, z of M, x of N, z of N with z positions.
        double positions[4];
        double value = 0;
        double deviation = 0;
        records.read_datum(positions, n_positions, read_values, count == 1, data.std_missing, value,
                           deviation);
        const double xm = positions[0];
        const double xn = use_z ? positions[2] : positions[1];
        update_separation_stats(data.sep_max, data.sep_min, data.sep_mean, current.xa, current.xb,
                                xm, xn);
        data.iptype.push_back(type);
        data.xm.push_back(xm);
        data.xn.push_back(xn);
        if (use_z) {
          data.zm.push_back(positions[1]);
          data.zn.push_back(positions[3]);
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
  records.end_walk(data, count);
  survey_records::store_value_flags(data, read_values);
  data.has_z = use_z;
}

}  // namespace quelby
