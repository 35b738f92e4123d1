// Fuzzes the 3-D model reader. The first three bytes choose the mesh (1 to 4 cells an axis); the
// rest is the model file. A model read holds one value per cell.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "files3d_fuzz_support.hpp"
#include "quelby/mesh/model3d.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  std::ostringstream console, error, log;
  const quelby::Mesh3D mesh = fuzz_support::small_mesh({console, error, log}, data);
  const std::string path = fuzz_support::scratch_file("input3d.mod", data + 3, size - 3);
  std::vector<double> values;
  if (!fuzz_support::read_or_stop(path, [&](const quelby::Io& io) {
        quelby::read_model3d(io, mesh, path, "model", values);
      })) {
    return 0;
  }
  if (values.size() != static_cast<std::size_t>(mesh.cell_count())) {
    fuzz_support::fail("a model of another size");
  }
  return 0;
}
