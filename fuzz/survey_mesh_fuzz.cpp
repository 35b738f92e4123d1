// Fuzzes the mesh for a survey's electrodes: the input's first 56 bytes are the options (the cell
// width, the core depth, the growth, the top and the relief as doubles, the padding and margin
// counts as 32-bit integers, each as the machine holds them) and the rest the electrodes' x
// positions, 8 bytes each. A Stop after its message ("Error: ..." on the console, then the run
// log) is an expected end, before the mesh takes memory; a mesh that is made must be one the mesh
// reader reads (a node count within 32 bits, nodes finite and increasing, every electrode inside)
// and small (a million cells along either direction at most). Anything else is a finding.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/forward/survey_mesh.hpp"

namespace {

using fuzz_support::fail;

template <typename T>
T take(const std::uint8_t*& at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  at += sizeof value;
  return value;
}

void check_nodes(const std::vector<double>& nodes, const std::vector<double>& widths,
                 std::int32_t count, const char* axis) {
  if (count < 1 || nodes.size() != static_cast<std::size_t>(count) + 1 ||
      widths.size() != static_cast<std::size_t>(count)) {
    fail("node and width counts", axis);
  }
  if (count > 1000000) fail("more than a million cells along", axis);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (!std::isfinite(nodes[i]) || (i > 0 && !(nodes[i] > nodes[i - 1]))) {
      fail("nodes not finite and increasing", axis);
    }
  }
  for (const double width : widths) {
    if (!(width > 0) || !std::isfinite(width)) fail("a width not positive", axis);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t option_bytes = 5 * sizeof(double) + 2 * sizeof(std::int32_t) + 8;
  if (size < option_bytes + sizeof(double)) return 0;
  const std::uint8_t* at = data;
  quelby::SurveyMeshOptions options;
  options.cell_width = take<double>(at);
  options.core_depth = take<double>(at);
  options.growth = take<double>(at);
  options.top = take<double>(at);
  options.relief = take<double>(at);
  options.padding_cells = take<std::int32_t>(at);
  options.margin_cells = take<std::int32_t>(at);
  const auto largest = take<double>(at);
  std::vector<double> x((size - option_bytes) / sizeof(double));
  for (double& position : x) position = take<double>(at);

  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::Mesh mesh;
  try {
    mesh = quelby::mesh_for_electrodes(io, x, {}, std::abs(largest), options);
  } catch (const quelby::Stop& stop) {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    const std::string text = console.str();
    if (!text.starts_with("\nError: ") || text.back() != '\n') fail("a stop's message", text);
    if (log.str() != text) fail("the run log differs from the console", text);
    if (!error.str().empty()) fail("an internal check", error.str());
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a mesh printed something");
  check_nodes(mesh.x_nodes, mesh.dx, mesh.nx, "x");
  check_nodes(mesh.z_nodes, mesh.dz, mesh.nz, "z");
  const std::int64_t nodes = (std::int64_t{mesh.nx} + 1) * (std::int64_t{mesh.nz} + 1);
  if (nodes > std::numeric_limits<std::int32_t>::max() || mesh.node_count != nodes) {
    fail("a node count beyond what a mesh file holds");
  }
  for (const double position : x) {
    if (position < mesh.x_nodes.front() || position > mesh.x_nodes.back()) {
      fail("an electrode outside the mesh");
    }
  }
  return 0;
}
