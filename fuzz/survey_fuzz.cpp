// Fuzzes the survey data-file reader in both layouts. The first byte holds the flags
// (locations_only, use_z, dc_data) and whether the file begins with the "COMMON_CURRENT" header
// line; the rest is the file, written into a folder of this process. A Stop after its message is
// an expected end (the index check only for a negative count of the common-current layout);
// anything else that escapes, or a crash, is a finding. After a successful read every invariant
// of the store must hold, and a general-layout order must be the one of the literal passes.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/survey/data_file.hpp"
#include "tests/survey/exchange_literal.hpp"

namespace {

// The literal passes are quadratic: the order is checked against them up to this many data.
constexpr std::int32_t max_literal_check = 3000;

using fuzz_support::fail;
using fuzz_support::folder;

template <typename T>
void check_size(const std::vector<T>& array, std::int32_t count, const char* name) {
  if (array.size() != static_cast<std::size_t>(count)) fail("array size", name);
}

void check_store(const quelby::SurveyData& d, bool locations_only, bool use_z, bool dc_data) {
  if (d.ndat < 1 || d.ncur < 1) fail("a reading without data returned");
  check_size(d.xa_cur, d.ncur, "xa_cur");
  check_size(d.xb_cur, d.ncur, "xb_cur");
  check_size(d.ndat_cur, d.ncur, "ndat_cur");
  check_size(d.idat_idx, d.ncur + 1, "idat_idx");
  check_size(d.xm, d.ndat, "xm");
  check_size(d.xn, d.ndat, "xn");
  check_size(d.iptype, d.ndat, "iptype");
  check_size(d.dobs, locations_only ? 0 : d.ndat, "dobs");
  check_size(d.dstd, locations_only ? 0 : d.ndat, "dstd");
  const bool z = use_z && d.common_current;
  check_size(d.za_cur, z ? d.ncur : 0, "za_cur");
  check_size(d.zm, z ? d.ndat : 0, "zm");
  if (d.header_line.size() != 100) fail("header_line is not 100 characters");
  std::int64_t sum = 0;
  for (std::int32_t k = 0; k < d.ncur; ++k) {
    if (d.idat_idx[static_cast<std::size_t>(k)] != sum + 1) fail("idat_idx");
    sum += d.ndat_cur[static_cast<std::size_t>(k)];
  }
  if (sum != d.ndat || d.idat_idx.back() != d.ndat + 1) fail("ndat_cur do not sum to ndat");
  for (const std::int32_t type : d.iptype) {
    if (dc_data ? type != 0 : (type != 1 && type != 2)) fail("iptype outside its range");
  }
  if (d.dstd_read != (!locations_only && !d.std_missing)) fail("dstd_read");
  if (d.dstd_read) {
    for (const double value : d.dstd) {
      if (!(value > 0)) fail("a standard deviation not above zero");
    }
  }
  for (std::size_t i = 0; i < d.xm.size(); ++i) {
    if (!std::isfinite(d.xm[i]) || !std::isfinite(d.xn[i])) fail("a position not finite");
  }
  if (d.has_file_order == d.common_current || d.has_z != (d.common_current && d.use_z)) {
    fail("presence flags contradict the layout");
  }
  if (d.common_current) {
    if (!d.xa_file.empty() || !d.sorted_pos.empty()) fail("file-order arrays in common-current");
    return;
  }
  check_size(d.xa_file, d.ndat, "xa_file");
  check_size(d.sorted_pos, d.ndat, "sorted_pos");
  std::vector<bool> seen(static_cast<std::size_t>(d.ndat), false);
  for (std::size_t j = 0; j < d.sorted_pos.size(); ++j) {
    const std::int32_t i = d.sorted_pos[j] - 1;
    if (i < 0 || i >= d.ndat || seen[static_cast<std::size_t>(i)]) fail("sorted_pos");
    seen[static_cast<std::size_t>(i)] = true;
    const std::size_t at = static_cast<std::size_t>(i);
    if (std::memcmp(&d.xm[at], &d.xm_file[j], sizeof(double)) != 0 ||
        std::memcmp(&d.xn[at], &d.xn_file[j], sizeof(double)) != 0) {
      fail("sorted_pos does not lead to the datum");
    }
  }
  if (d.ndat <= max_literal_check) {
    const std::vector<std::int32_t> perm =
        quelby::testing::literal_exchange_passes(d.xa_file, d.xb_file);
    for (std::size_t i = 0; i < perm.size(); ++i) {
      if (d.sorted_pos[static_cast<std::size_t>(perm[i])] != static_cast<std::int32_t>(i + 1)) {
        fail("the order differs from the literal passes");
      }
    }
  }
}

template <typename T>
bool same_array(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The layout readers called directly on the file, as read_data_file calls them: the
// store they leave must be the one the whole reading left, before its summary and index.
void check_direct_layout_read(const std::string& path, bool locations_only, bool use_z,
                              bool dc_data, const quelby::SurveyData& whole) {
  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::InputFile file;
  if (!file.open(path)) fail("cannot open the scratch file");
  quelby::SurveyData direct;
  direct.use_z = use_z;
  direct.common_current = whole.common_current;
  direct.header_line = whole.header_line;
  try {
    if (whole.common_current) {
      quelby::read_common_current_data(io, file, path, locations_only, dc_data, direct);
    } else {
      quelby::read_general_data(io, file, path, locations_only, dc_data, direct);
    }
  } catch (const quelby::Stop&) {
    fail("a layout reader stopped where the whole reading did not", console.str());
  }
  if (direct.ndat != whole.ndat || direct.ncur != whole.ncur ||
      !same_array(direct.xa_cur, whole.xa_cur) || !same_array(direct.xb_cur, whole.xb_cur) ||
      !same_array(direct.xm, whole.xm) || !same_array(direct.xn, whole.xn) ||
      !same_array(direct.dobs, whole.dobs) || !same_array(direct.dstd, whole.dstd) ||
      !same_array(direct.iptype, whole.iptype) || !same_array(direct.ndat_cur, whole.ndat_cur) ||
      !same_array(direct.sorted_pos, whole.sorted_pos)) {
    fail("the layout reader's store differs from the whole reading's");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool locations_only = (data[0] & 1) != 0;
  const bool use_z = (data[0] & 2) != 0;
  const bool dc_data = (data[0] & 4) != 0;
  const bool header = (data[0] & 8) != 0;
  const std::string path = (folder() / "input.dat").string();
  {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    if (header) stream << "COMMON_CURRENT\n";
    stream.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    if (!stream) fail("cannot write a scratch file");
  }

  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::SurveyData survey;
  try {
    quelby::read_data_file(io, path, locations_only, use_z, dc_data, survey);
  } catch (const quelby::Stop& stop) {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    // The detail of a refused data line comes from the data records' read errors.
    fuzz_support::check_detail(stop.detail(), path);
    const std::string text = console.str();
    if (!error.str().empty()) {
      if (error.str() != "idat_idx(ncur+1)-1 /= ndat\n" || !text.empty()) {
        fail("an unexpected internal check", error.str());
      }
      bool negative = false;
      for (const std::int32_t count : survey.ndat_cur) negative = negative || count < 0;
      if (!survey.common_current || !negative) fail("index check without a negative count");
      return 0;
    }
    if (text.size() < 2 || text.back() != '\n') fail("a stop without its message", text);
    if (text.front() != '\n' && !text.starts_with("Error: cannot read the first line")) {
      fail("a message without its empty line", text);
    }
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a reading printed something");
  check_store(survey, locations_only, use_z, dc_data);
  if ((data[0] & 16) != 0) check_direct_layout_read(path, locations_only, use_z, dc_data, survey);
  return 0;
}
