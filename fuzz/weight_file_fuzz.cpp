// Fuzzes the single-array weight-file reader. The first byte gives the array's extents; the rest
// is the file. The reader may change only the block its counts name: every element beyond the
// counts it read from the file keeps its value; read_weight_files with a blank name sets that
// array to 1.0.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/cells_fuzz_support.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/weights.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cells_fuzz::fail;
  if (size < 1) return 0;
  const std::int32_t n1 = data[0] & 15;
  const std::int32_t n2 = data[0] >> 4;
  const std::string path = cells_fuzz::scratch_file(
      "weight.txt", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  quelby::CellArray weights(n1, n2);
  for (double& value : weights.values()) value = -7;

  cells_fuzz::Streams streams;
  bool stopped = false;
  try {
    quelby::read_weight_file(streams.io, path, "S weights", weights);
  } catch (const quelby::Stop& stop) {
    streams.check_stop(stop, path);
    stopped = true;
  }
  // The counts as the reader saw them; outside their block nothing may change.
  std::int32_t cx = 0;
  std::int32_t cz = 0;
  quelby::InputFile file;
  if (!file.open(path) || !quelby::read_items(file, {cx, cz}).ok()) cx = cz = 0;
  cx = cx < 0 ? 0 : cx;
  cz = cz < 0 ? 0 : cz;
  for (std::int32_t k = 0; k < n2; ++k) {
    for (std::int32_t i = 0; i < n1; ++i) {
      if ((i >= cx || k >= cz) && weights(i, k) != -7) fail("an element outside the block changed");
    }
  }
  if (stopped) return 0;
  streams.check_quiet();

  // The three-file form: a blank second name sets that array to 1.0, the others read as above.
  quelby::CellArray first(n1, n2);
  quelby::CellArray second(n1, n2);
  quelby::CellArray third(n1, n2);
  for (double& value : second.values()) value = -7;
  try {
    quelby::read_weight_files(streams.io, {path, " ", path}, first, second, third);
  } catch (const quelby::Stop&) {
    fail("read_weight_files refused a file read_weight_file accepted");
  }
  for (const double value : second.values()) {
    if (value != 1.0) fail("a blank name did not set the array to 1.0");
  }
  return 0;
}
