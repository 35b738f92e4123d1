// Meshes and readers' results for the tests of active cells, weights and dipping zones.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"
#include "tests/support/transcript.hpp"

namespace quelby::testing {

// A mesh with the given column and row widths, its nodes running sums from 0.
inline Mesh mesh_with_widths(const std::vector<double>& dx, const std::vector<double>& dz) {
  Mesh mesh;
  mesh.nx = static_cast<std::int32_t>(dx.size());
  mesh.nz = static_cast<std::int32_t>(dz.size());
  mesh.dx = dx;
  mesh.dz = dz;
  mesh.x_nodes.assign(1, 0.0);
  for (const double width : dx) mesh.x_nodes.push_back(mesh.x_nodes.back() + width);
  mesh.z_nodes.assign(1, 0.0);
  for (const double width : dz) mesh.z_nodes.push_back(mesh.z_nodes.back() + width);
  for (std::size_t i = 0; i < dx.size(); ++i) {
    mesh.x_centres.push_back((mesh.x_nodes[i] + mesh.x_nodes[i + 1]) * 0.5);
  }
  for (std::size_t k = 0; k < dz.size(); ++k) {
    mesh.z_centres.push_back((mesh.z_nodes[k] + mesh.z_nodes[k + 1]) * 0.5);
  }
  return mesh;
}

inline Mesh unit_mesh(const std::int32_t nx, const std::int32_t nz) {
  return mesh_with_widths(std::vector<double>(static_cast<std::size_t>(nx), 1.0),
                          std::vector<double>(static_cast<std::size_t>(nz), 1.0));
}

// What one call printed, and whether it stopped (always with status 1).
struct Outcome {
  bool stopped = false;
  Transcript transcript;
  std::string console() const { return transcript.console(); }
  std::string log() const { return transcript.log(); }
  std::string error() const { return transcript.error(); }
  std::vector<std::string> order() const { return transcript.order(); }
};

inline void run(Outcome& outcome, const std::function<void(const Io&)>& call) {
  try {
    call(outcome.transcript.io());
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure);
    outcome.stopped = true;
  }
}

using Sequence = std::vector<std::string>;
inline const Sequence console_then_log{"console", "log"};
inline const Sequence log_then_console{"log", "console"};

}  // namespace quelby::testing
