// Fuzzes the 3-D mesh reader. A mesh it reads must hold consistent arrays, and written back and
// read again it must give the same nodes bit for bit.
#include <cstdint>
#include <sstream>
#include <string>

#include "files3d_fuzz_support.hpp"
#include "quelby/mesh/mesh3d_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz_support::fail;
  const std::string path = fuzz_support::scratch_file("input3d.msh", data, size);
  quelby::Mesh3D mesh;
  std::string log;
  if (!fuzz_support::read_or_stop(
          path, [&](const quelby::Io& io) { quelby::load_mesh3d(io, path, mesh); }, &log)) {
    return 0;
  }
  if (log != "\n3-D mesh was read from file: " + path + "\n") fail("log", log);
  if (mesh.x_nodes.size() != static_cast<std::size_t>(mesh.nx) + 1 ||
      mesh.y_nodes.size() != static_cast<std::size_t>(mesh.ny) + 1 ||
      mesh.z_nodes.size() != static_cast<std::size_t>(mesh.nz) + 1) {
    fail("node arrays differ from the counts");
  }
  // Large meshes are not written back: the fuzzer's time is better spent on other inputs.
  if (mesh.nx > 1000 || mesh.ny > 1000 || mesh.nz > 1000 || mesh.node_count() > 100000) return 0;
  const std::string written = (fuzz_support::folder() / "written3d.msh").string();
  quelby::Mesh3D back;
  std::ostringstream console, error, run_log;
  const quelby::Io io{console, error, run_log};
  try {
    quelby::write_mesh3d(io, written, mesh);
    quelby::load_mesh3d(io, written, back);
  } catch (const quelby::Stop&) {
    fail("a written mesh does not read back", console.str() + error.str());
  }
  if (back.x_nodes != mesh.x_nodes || back.y_nodes != mesh.y_nodes ||
      back.z_nodes != mesh.z_nodes) {
    fail("a written mesh reads back with other nodes");
  }
  return 0;
}
