#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "quelby/base/huge_pages.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/data_records.hpp"
#include "quelby/survey/exchange_order.hpp"

namespace quelby {

namespace {

using survey_records::DataRecords;

struct FileValues {
  double dobs = 0;
  double dstd = 0;
  std::int32_t iptype = 0;
};

}  // namespace

void read_general_data(const Io& io, InputFile& file, std::string_view file_name,
                       bool locations_only, bool dc_data, SurveyData& data) {
  DataRecords records(io, file, file_name, survey_records::Wording::general);
  const bool read_values = !locations_only;

  // One walk over the file does the work of two passes in their order of messages. The checks of
  // the first pass (IP types, positions, the count) stop at once; the checks of the values that
  // only the second pass makes (the read of the values, the standard deviations) stop only once
  // the whole file has met the first ones, with the first such failure in file order.
  //
  // The working arrays in file order: positions, and the values kept side by side, since the
  // fill reads them in grouped order and one datum's values then share a cache line.
  WorkArray<FileValues> file_values;
  try {
    const std::size_t capacity = records.line_capacity();
    for (std::vector<double>* positions :
         {&data.xa_file, &data.xb_file, &data.xm_file, &data.xn_file}) {
      positions->clear();
      reserve_with_huge_pages(*positions, capacity);
    }
    file_values.reserve(capacity);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  if (!records.read_header(data)) records.ended();
  std::int32_t type = dc_data ? 0 : 1;
  std::int64_t count = 0;
  try {
    while (records.fetch()) {
      records.take_iptype(type, dc_data);
      double positions[4];  // A, B, M, N
      double value = 0;
      double deviation = 0;
      records.read_datum(positions, 4, read_values, count == 0, data.std_missing, value, deviation);
      const auto [a, b, m, n] = positions;
      update_separation_stats(data.sep_max, data.sep_min, data.sep_mean, a, b, m, n);
      ++count;
      survey_records::check_datum_count(io, count);
      data.xa_file.push_back(a);
      data.xb_file.push_back(b);
      data.xm_file.push_back(m);
      data.xn_file.push_back(n);
      file_values.push_back({value, deviation, type});
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  records.end_walk(data, count);
  const std::size_t ndat = static_cast<std::size_t>(count);

  // The order of the exchange passes by A, then by B inside each run of equal A.
  WorkArray<std::int32_t> perm;
  try {
    grouped_order(data.xa_file, data.xb_file, perm);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  // The arrays filled in grouped order are reserved and appended to, not zeroed first.
  try {
    data.iptype.clear();
    reserve_with_huge_pages(data.iptype, ndat);
    for (std::vector<double>* array : {&data.xm, &data.xn, &data.dobs, &data.dstd}) {
      array->clear();
      if (read_values || (array != &data.dobs && array != &data.dstd)) {
        reserve_with_huge_pages(*array, ndat);
      }
    }
    assign_with_huge_pages(data.sorted_pos, ndat, 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  // Group and fill in one walk over the grouped order: a new pair begins where A or B differs
  // from the datum before (exactly, as doubles); the first datum always begins pair 1.
  double previous_a = 0;
  double previous_b = 0;
  try {
    for (std::size_t i = 0; i < ndat; ++i) {
      const std::size_t d = static_cast<std::size_t>(perm[i]);
      const double a = data.xa_file[d];
      const double b = data.xb_file[d];
      if (i == 0 || a != previous_a || b != previous_b) {
        data.xa_cur.push_back(a);
        data.xb_cur.push_back(b);
        data.ndat_cur.push_back(1);
        previous_a = a;
        previous_b = b;
      } else {
        ++data.ndat_cur.back();
      }
      data.xm.push_back(data.xm_file[d]);
      data.xn.push_back(data.xn_file[d]);
      const FileValues& values = file_values[d];
      data.iptype.push_back(values.iptype);
      if (read_values) {
        data.dobs.push_back(values.dobs);
        data.dstd.push_back(values.dstd);
      }
      data.sorted_pos[d] = static_cast<std::int32_t>(i + 1);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  data.ncur = static_cast<std::int32_t>(data.ndat_cur.size());
  survey_records::store_value_flags(data, read_values);
  data.has_file_order = true;
}

}  // namespace quelby
