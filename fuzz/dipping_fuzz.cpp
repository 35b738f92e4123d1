// Fuzzes the dipping-file reader. The first two bytes shape the mesh; the rest is the dipping
// file. After a successful read every cell's zone must be in 1..nzone, and every zone must equal
// the cell-by-cell answer of point_in_region over the zones' polygons, read again here.
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/cells_fuzz_support.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/regularization/dipping.hpp"

namespace {

// The polygons of a file that read_dipping accepted, read as it reads them.
std::vector<quelby::Region> read_regions(const std::string& path) {
  quelby::InputFile file;
  std::vector<quelby::Region> regions;
  if (!file.open(path)) cells_fuzz::fail("reopen");
  double a = 0, b = 0, c = 0, d = 0;
  std::int32_t k = 0;
  std::int32_t p = 0;
  (void)quelby::read_items(file, {a, b, c, d});
  (void)quelby::read_items(file, {k});
  for (std::int32_t j = 0; j < k; ++j) {
    (void)quelby::read_items(file, {a, b, c, d, p});
    quelby::Region& region = regions.emplace_back();
    for (std::int32_t v = 0; v < p; ++v) {
      double x = 0;
      double z = 0;
      (void)quelby::read_items(file, {x, z});
      region.x.push_back(x);
      region.z.push_back(z);
    }
  }
  return regions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cells_fuzz::fail;
  if (size < 2) return 0;
  const quelby::Mesh mesh = cells_fuzz::small_mesh(data[0], data[1]);
  const std::string path = cells_fuzz::scratch_file(
      "dipping.txt", std::string_view(reinterpret_cast<const char*>(data + 2), size - 2));
  std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(mesh.nx * mesh.nz), -1);
  std::int32_t nzone = 0;
  quelby::DippingZones zones;
  cells_fuzz::Streams streams;
  try {
    quelby::read_dipping(streams.io, mesh, {}, 1, path, zone_idx, nzone, zones);
  } catch (const quelby::Stop& stop) {
    streams.check_stop(stop, path);
    return 0;
  }
  streams.check_quiet();
  const auto zone_count = static_cast<std::size_t>(nzone);
  if (nzone < 2 || zones.zone_alpha_s.size() != zone_count ||
      zones.zone_alpha_x.size() != zone_count || zones.zone_alpha_z.size() != zone_count ||
      zones.zone_dip.size() != zone_count) {
    fail("zone arrays of the wrong size");
  }
  const std::vector<quelby::Region> regions = read_regions(path);
  if (regions.size() + 1 != zone_count) fail("zone count");
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    const double z = (mesh.z_nodes[k] + mesh.z_nodes[k + 1]) / 2;
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double x = (mesh.x_nodes[i] + mesh.x_nodes[i + 1]) / 2;
      std::int32_t expected = 1;
      for (std::size_t j = 0; j < regions.size(); ++j) {
        if (quelby::point_in_region(regions[j], x, z)) {
          expected = static_cast<std::int32_t>(j + 2);
          break;
        }
      }
      if (zone_idx[static_cast<std::size_t>(k * mesh.nx + i)] != expected) {
        fail("a zone differs from the cell-by-cell answer");
      }
    }
  }
  return 0;
}
