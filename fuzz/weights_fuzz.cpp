// Fuzzes the weighting-file reader. The first byte shapes the mesh; the rest is the weighting
// file. Whatever the file, column nx of x_weights and row nz of z_weights keep their values, and
// a read that succeeds leaves one log line.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/cells_fuzz_support.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/weights.hpp"

namespace {

bool same(const double a, const double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cells_fuzz::fail;
  if (size < 1) return 0;
  const quelby::Mesh mesh = cells_fuzz::small_mesh(data[0], 0);
  const std::string path = cells_fuzz::scratch_file(
      "weights.txt", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  quelby::CellArray s(mesh.nx, mesh.nz);
  quelby::CellArray x(mesh.nx, mesh.nz);
  quelby::CellArray z(mesh.nx, mesh.nz);
  for (double& value : x.values()) value = -2;
  for (double& value : z.values()) value = -3;

  cells_fuzz::Streams streams;
  bool stopped = false;
  try {
    // The weighting file through the dispatcher, or (odd sizes) read directly.
    if (size % 2 == 0) {
      quelby::set_weights(streams.io, mesh, 1, {path, "", ""}, s, x, z);
    } else {
      quelby::read_weights_file(streams.io, mesh, path, s, x, z);
    }
  } catch (const quelby::Stop& stop) {
    streams.check_stop(stop, path);
    stopped = true;
  }
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    if (!same(x(mesh.nx - 1, k), -2)) fail("the last column of x_weights changed");
  }
  for (std::int32_t i = 0; i < mesh.nx; ++i) {
    if (!same(z(i, mesh.nz - 1), -3)) fail("the last row of z_weights changed");
  }
  if (!stopped) {
    streams.check_quiet();
    if (streams.log.str() != "weights were read from: " + path + "\n") fail("log line");
  }
  return 0;
}
