// A mesh of nx by nz unit cells, for tests of what is read and written on a mesh.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quelby/mesh/mesh.hpp"

namespace quelby::testing {

inline Mesh unit_mesh(std::int32_t nx, std::int32_t nz) {
  Mesh mesh;
  mesh.nx = nx;
  mesh.nz = nz;
  mesh.dx.assign(static_cast<std::size_t>(nx), 1.0);
  mesh.dz.assign(static_cast<std::size_t>(nz), 1.0);
  return mesh;
}

}  // namespace quelby::testing
