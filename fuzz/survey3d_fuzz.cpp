// Fuzzes the 3-D survey data reader. The first byte chooses positions only (bit 0) and DC or IP
// data (bit 1); the rest is the data file. A survey read names existing electrodes, never a
// current electrode at a potential one, and holds one entry per datum in each array.
#include <cmath>
#include <cstdint>
#include <string>

#include "files3d_fuzz_support.hpp"
#include "quelby/survey/survey3d_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz_support::fail;
  if (size < 1) return 0;
  const bool locations_only = (data[0] & 1) != 0;
  const bool dc_data = (data[0] & 2) == 0;
  const std::string path = fuzz_support::scratch_file("input3d.dat", data + 1, size - 1);
  quelby::Survey3D survey;
  if (!fuzz_support::read_or_stop(path, [&](const quelby::Io& io) {
        quelby::read_survey3d(io, path, locations_only, survey, dc_data);
      })) {
    return 0;
  }
  const auto ndat = static_cast<std::size_t>(survey.ndat);
  if (survey.ndat < 1 || survey.a.size() != ndat || survey.b.size() != ndat ||
      survey.m.size() != ndat || survey.n.size() != ndat || survey.iptype.size() != ndat) {
    fail("arrays of another size than the data");
  }
  if (survey.has_values == locations_only ||
      (!locations_only && (survey.dobs.size() != ndat || survey.dstd.size() != ndat))) {
    fail("values read when they should not be, or of another size");
  }
  const auto electrodes = static_cast<std::int32_t>(survey.electrodes.size());
  for (std::size_t d = 0; d < ndat; ++d) {
    for (const std::int32_t e : {survey.a[d], survey.b[d], survey.m[d], survey.n[d]}) {
      if (e < 0 || e >= electrodes) fail("an electrode number out of range");
    }
    if (survey.a[d] == survey.m[d] || survey.a[d] == survey.n[d] || survey.b[d] == survey.m[d] ||
        survey.b[d] == survey.n[d]) {
      fail("a current electrode at a potential electrode");
    }
    if (!locations_only && !survey.std_missing && !(survey.dstd[d] > 0)) {
      fail("a standard deviation not above zero");
    }
  }
  for (const quelby::ElectrodePosition& p : survey.electrodes) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) fail("a position");
  }
  return 0;
}
