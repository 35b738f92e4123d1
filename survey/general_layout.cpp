#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/stops.hpp"
#include "survey/data_file.hpp"
#include "survey/data_records.hpp"
#include "survey/exchange_order.hpp"

namespace quelby {

namespace {

using survey_records::all_finite;
using survey_records::DataRecords;

struct FileValues {
  double dobs = 0;
  double dstd = 0;
  std::int32_t iptype = 0;
};

// A count beyond 32 bits cannot be held by the store's counts.
void check_count(const Io& io, std::int64_t count) {
  if (count > std::numeric_limits<std::int32_t>::max()) out_of_memory_stop(io);
}

}  // namespace

void read_general_data(const Io& io, InputFile& file, std::string_view file_name,
                       bool locations_only, bool dc_data, SurveyData& data) {
  DataRecords records(io, file, file_name, survey_records::Wording::general);
  const bool read_values = !locations_only;

  // First pass: count the data lines, check their positions and IP types.
  if (!records.read_header(data)) records.read_error();
  std::int32_t type = dc_data ? 0 : 1;
  std::int64_t count = 0;
  while (records.fetch()) {
    // The IP type is checked before the line after an IPTYPE line is read: a wrong type on the
    // last significant line is reported as such, a right one meets the read error.
    bool in_hand = true;
    if (records.is_iptype()) {
      type = 0;
      if (!records.read_iptype(type)) records.read_error();
      in_hand = records.fetch();
    }
    records.check_iptype(type, dc_data);
    if (!in_hand) records.read_error();
    double a = 0, b = 0, m = 0, n = 0;
    if (!read_text(records.values(), {a, b, m, n}).ok() || !all_finite({a, b, m, n})) {
      records.read_error();
    }
    update_separation_stats(data.sep_max, data.sep_min, data.sep_mean, a, b, m, n);
    ++count;
    check_count(io, count);
  }
  data.ndat = static_cast<std::int32_t>(count);
  const std::size_t ndat = static_cast<std::size_t>(count);

  // The working arrays in file order, kept side by side: the fill reads them in grouped order,
  // so one datum's values share a cache line.
  std::vector<FileValues> file_values;
  try {
    assign_with_huge_pages(data.xa_file, ndat, 0.0);
    assign_with_huge_pages(data.xb_file, ndat, 0.0);
    assign_with_huge_pages(data.xm_file, ndat, 0.0);
    assign_with_huge_pages(data.xn_file, ndat, 0.0);
    assign_with_huge_pages(file_values, ndat, FileValues{});
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  // Second pass: read the lines the first pass checked. A file that changed in between meets
  // the same checks, so nothing unchecked reaches the store.
  file.rewind();
  if (!records.read_header(data)) records.read_error();
  type = dc_data ? 0 : 1;
  for (std::size_t i = 0; i < ndat; ++i) {
    if (!records.fetch()) records.read_error();
    bool in_hand = true;
    if (records.is_iptype()) {
      type = 0;
      if (!records.read_iptype(type)) records.read_error();
      in_hand = records.fetch();
    }
    records.check_iptype(type, dc_data);
    if (!in_hand) records.read_error();
    file_values[i].iptype = type;
    double a = 0, b = 0, m = 0, n = 0, value = 0, deviation = 0;
    const std::string_view line = records.values();
    if (!read_values) {
      if (!read_text(line, {a, b, m, n}).ok()) records.read_error();
    } else {
      bool six_read = false;
      if (i == 0) {
        six_read = read_text(line, {a, b, m, n, value, deviation}).ok();
        data.std_missing = !six_read;
      }
      if (!data.std_missing) {
        if (!six_read && !read_text(line, {a, b, m, n, value, deviation}).ok()) {
          records.read_error();
        }
      } else if (!read_text(line, {a, b, m, n, value}).ok()) {
        records.read_error();
      }
    }
    if (!all_finite({a, b, m, n})) records.read_error();
    if (read_values && !data.std_missing && !(deviation > 0)) records.standard_deviation_error();
    data.xa_file[i] = a;
    data.xb_file[i] = b;
    data.xm_file[i] = m;
    data.xn_file[i] = n;
    file_values[i].dobs = value;
    file_values[i].dstd = deviation;
  }

  // The order of the exchange passes by A, then by B inside each run of equal A.
  const std::vector<std::int32_t> perm = grouped_order(data.xa_file, data.xb_file);

  try {
    assign_with_huge_pages(data.iptype, ndat, 0);
    assign_with_huge_pages(data.xm, ndat, 0.0);
    assign_with_huge_pages(data.xn, ndat, 0.0);
    if (read_values) {
      assign_with_huge_pages(data.dobs, ndat, 0.0);
      assign_with_huge_pages(data.dstd, ndat, 0.0);
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
      data.xm[i] = data.xm_file[d];
      data.xn[i] = data.xn_file[d];
      const FileValues& values = file_values[d];
      data.iptype[i] = values.iptype;
      if (read_values) {
        data.dobs[i] = values.dobs;
        data.dstd[i] = values.dstd;
      }
      data.sorted_pos[d] = static_cast<std::int32_t>(i + 1);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  data.ncur = static_cast<std::int32_t>(data.ndat_cur.size());
  if (read_values && data.std_missing) {
    std::fill(data.dstd.begin(), data.dstd.end(), std::numeric_limits<double>::quiet_NaN());
  }
  data.dstd_read = read_values && !data.std_missing;
  data.has_values = read_values;
  data.has_file_order = true;
}

}  // namespace quelby
