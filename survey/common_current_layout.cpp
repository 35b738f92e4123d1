#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "base/huge_pages.hpp"
#include "base/stops.hpp"
#include "survey/data_file.hpp"
#include "survey/data_records.hpp"

namespace quelby {

namespace {

using survey_records::all_finite;
using survey_records::DataRecords;

// The values of a current line; items start from zero on every line.
struct CurrentLine {
  double xa = 0, za = 0, xb = 0, zb = 0;
  std::int32_t count = 0;

  bool read(std::string_view line, bool use_z) {
    const bool ok = use_z ? read_text(line, {xa, za, xb, zb, count}).ok()
                          : read_text(line, {xa, xb, count}).ok();
    return ok && all_finite({xa, za, xb, zb});
  }
};

// Fetches the current line of a pair, taking an IPTYPE line before it, and checks the IP type
// before that line is read: a wrong type on the last significant line is reported as such, a
// right one meets the read error.
void fetch_current_line(DataRecords& records, std::int32_t& type, bool dc_data) {
  if (!records.fetch()) records.read_error();
  bool in_hand = true;
  if (records.is_iptype()) {
    type = 0;
    if (!records.read_iptype(type)) records.read_error();
    in_hand = records.fetch();
  }
  records.check_iptype(type, dc_data);
  if (!in_hand) records.read_error();
}

void read_pair_count(DataRecords& records, SurveyData& data) {
  data.ncur = 0;
  if (!records.fetch()) records.read_error();
  if (!read_text(records.values(), {data.ncur}).ok()) records.read_error();
}

}  // namespace

void read_common_current_data(const Io& io, InputFile& file, std::string_view file_name,
                              bool locations_only, bool dc_data, SurveyData& data) {
  DataRecords records(io, file, file_name, survey_records::Wording::common_current);
  const bool read_values = !locations_only;
  const bool use_z = data.use_z;

  // First pass: count the data, check every count, IPTYPE, current and position.
  if (!records.read_header(data)) records.read_error();
  read_pair_count(records, data);
  std::int32_t type = dc_data ? 0 : 1;
  std::int64_t count = 0;
  for (std::int32_t k = 0; k < data.ncur; ++k) {
    fetch_current_line(records, type, dc_data);
    CurrentLine current;
    if (!current.read(records.values(), use_z)) records.read_error();
    for (std::int32_t c = 0; c < current.count; ++c) {
      ++count;
      if (count > std::numeric_limits<std::int32_t>::max()) out_of_memory_stop(io);
      if (!records.fetch()) records.read_error();
      double xm = 0, zm = 0, xn = 0, zn = 0;
      const bool ok = use_z ? read_text(records.values(), {xm, zm, xn, zn}).ok()
                            : read_text(records.values(), {xm, xn}).ok();
      if (!ok || !all_finite({xm, zm, xn, zn})) records.read_error();
      update_separation_stats(data.sep_max, data.sep_min, data.sep_mean, current.xa, current.xb, xm,
                              xn);
    }
  }
  data.ndat = static_cast<std::int32_t>(count);
  const std::size_t ndat = static_cast<std::size_t>(count);
  const std::size_t ncur = static_cast<std::size_t>(std::max(data.ncur, 0));

  try {
    assign_with_huge_pages(data.ndat_cur, ncur, 0);
    assign_with_huge_pages(data.xa_cur, ncur, 0.0);
    assign_with_huge_pages(data.xb_cur, ncur, 0.0);
    assign_with_huge_pages(data.xm, ndat, 0.0);
    assign_with_huge_pages(data.xn, ndat, 0.0);
    assign_with_huge_pages(data.iptype, ndat, 0);
    if (use_z) {
      assign_with_huge_pages(data.za_cur, ncur, 0.0);
      assign_with_huge_pages(data.zb_cur, ncur, 0.0);
      assign_with_huge_pages(data.zm, ndat, 0.0);
      assign_with_huge_pages(data.zn, ndat, 0.0);
    }
    if (read_values) {
      assign_with_huge_pages(data.dobs, ndat, 0.0);
      assign_with_huge_pages(data.dstd, ndat, 0.0);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  // Second pass: the lines the first pass checked, now into the store. A file that changed in
  // between meets the same checks and can never write past the arrays.
  file.rewind();
  const std::int32_t counted_pairs = data.ncur;
  if (!records.read_header(data)) records.read_error();
  read_pair_count(records, data);
  if (data.ncur != counted_pairs) records.read_error();
  type = dc_data ? 0 : 1;
  std::size_t i = 0;
  for (std::size_t k = 0; k < ncur; ++k) {
    fetch_current_line(records, type, dc_data);
    CurrentLine current;
    if (!current.read(records.values(), use_z)) records.read_error();
    data.xa_cur[k] = current.xa;
    data.xb_cur[k] = current.xb;
    if (use_z) {
      data.za_cur[k] = current.za;
      data.zb_cur[k] = current.zb;
    }
    data.ndat_cur[k] = current.count;
    for (std::int32_t c = 0; c < current.count; ++c, ++i) {
      if (i >= ndat) records.read_error();
      data.iptype[i] = type;
      if (!records.fetch()) records.read_error();
      const std::string_view line = records.values();
      double xm = 0, zm = 0, xn = 0, zn = 0, value = 0, deviation = 0;
      bool ok = false;
      if (!read_values) {
        ok = use_z ? read_text(line, {xm, zm, xn, zn}).ok() : read_text(line, {xm, xn}).ok();
      } else {
        bool six_read = false;
        if (i == 0) {
          six_read = use_z ? read_text(line, {xm, zm, xn, zn, value, deviation}).ok()
                           : read_text(line, {xm, xn, value, deviation}).ok();
          data.std_missing = !six_read;
        }
        if (six_read) {
          ok = true;
        } else if (!data.std_missing) {
          ok = use_z ? read_text(line, {xm, zm, xn, zn, value, deviation}).ok()
                     : read_text(line, {xm, xn, value, deviation}).ok();
        } else {
          ok = use_z ? read_text(line, {xm, zm, xn, zn, value}).ok()
                     : read_text(line, {xm, xn, value}).ok();
        }
      }
      if (!ok || !all_finite({xm, zm, xn, zn})) records.read_error();
      if (read_values && !data.std_missing && !(deviation > 0)) {
        records.standard_deviation_error();
      }
      data.xm[i] = xm;
      data.xn[i] = xn;
      if (use_z) {
        data.zm[i] = zm;
        data.zn[i] = zn;
      }
      if (read_values) {
        data.dobs[i] = value;
        data.dstd[i] = deviation;
      }
    }
  }
  if (i != ndat) records.read_error();
  if (read_values && data.std_missing) {
    std::fill(data.dstd.begin(), data.dstd.end(), std::numeric_limits<double>::quiet_NaN());
  }
  data.dstd_read = read_values && !data.std_missing;
  data.has_values = read_values;
  data.has_z = use_z;
}

}  // namespace quelby
