#include "mesh/mesh.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "base/free_format.hpp"
#include "base/stops.hpp"

namespace quelby {

namespace {

constexpr std::int64_t max_count = std::numeric_limits<std::int32_t>::max();

struct MeshReader {
  MeshReader(const Io& io, std::string name) : io(io), name(std::move(name)) {}

  const Io& io;
  std::string name;
  InputFile file;

  [[noreturn]] void read_error() const {
    stop_with(io, Order::log_then_console, "\nError reading the mesh file: " + name + "\n");
  }
  [[noreturn]] void fail(std::string_view text) const {
    std::string message = "\n";
    message += text;
    message += '\n';
    message += name;
    message += '\n';
    stop_with(io, Order::console_then_log, message);
  }

  // The items of the reads. A null value or a slash leaves an item as the previous read left it,
  // so they persist from segment to segment and from x to z; each pass starts them from zero so
  // that the filling pass reads exactly what the counting pass counted.
  std::int32_t segments = 0;
  double start = 0;
  double end = 0;
  std::int32_t cells = 0;

  void start_pass() {
    segments = 0;
    start = end = 0;
    cells = 0;
  }

  ReadStatus read_segment(std::int32_t s) {
    return s == 0 ? read_items(file, {start, end, cells}) : read_items(file, {end, cells});
  }

  // A position that is not a finite number makes no mesh: it is refused as a failed read.
  bool positions_finite() const { return std::isfinite(start) && std::isfinite(end); }

  // Counting pass over one direction: returns the node count (1 + the sum of the cell counts).
  std::int64_t count_nodes() {
    if (!read_items(file, {segments}).ok()) read_error();
    std::int64_t nodes = 1;
    for (std::int32_t s = 0; s < segments; ++s) {
      if (!read_segment(s).ok() || !positions_finite()) read_error();
      // A negative count would shrink the arrays below the cells the filling pass makes.
      if (cells < 0) fail("Error: negative number of cells in a segment of the mesh.");
      nodes += cells;
    }
    return nodes;
  }

  // Filling pass over one direction. Its reads repeat those of the counting pass and so succeed,
  // unless the file changed in between: then it is a read error, never a write past the arrays.
  void fill(std::vector<double>& nodes, std::vector<double>& widths) {
    if (!read_items(file, {segments}).ok()) read_error();
    std::size_t m = 0;
    for (std::int32_t s = 0; s < segments; ++s) {
      // A segment starts where the one before it ended, as written in the file.
      const double previous_end = end;
      if (!read_segment(s).ok() || !positions_finite() || cells < 0 ||
          static_cast<std::size_t>(cells) > widths.size() - m) {
        read_error();
      }
      const double a = s == 0 ? start : previous_end;
      if (s == 0) nodes[0] = start;
      const double width = (end - a) / static_cast<double>(cells);
      for (std::int32_t c = 0; c < cells; ++c) {
        widths[m] = width;
        nodes[m + 1] = nodes[m] + width;
        ++m;
      }
    }
  }

  static bool all_positive(const std::vector<double>& widths) {
    for (const double width : widths) {
      if (!(width > 0)) return false;
    }
    return true;
  }

  // Finite positions can still give an infinite width (a segment spanning more than the double
  // range), and then infinite or NaN nodes, centres or midpoint: none of these is a mesh.
  static bool within_range(const std::vector<double>& nodes, const std::vector<double>& widths) {
    for (const double width : widths) {
      if (!std::isfinite(width)) return false;
    }
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      if (!std::isfinite(nodes[n])) return false;
      if (n > 0 && !std::isfinite((nodes[n - 1] + nodes[n]) * 0.5)) return false;
    }
    return std::isfinite((nodes.front() + nodes.back()) * 0.5);
  }
};

}  // namespace

void load_mesh(const Io& io, std::string_view name, Mesh& mesh) {
  MeshReader reader(io, std::string(trim_trailing_blanks(name)));
  open_or_require(io, reader.file, "mesh", reader.name);

  reader.start_pass();
  const std::int64_t x_node_count = reader.count_nodes();
  const std::int64_t z_node_count = reader.count_nodes();
  reader.file.rewind();

  if (x_node_count < 2 || z_node_count < 2) {
    reader.fail("Error: # of cells in the mesh should be positive.");
  }
  // Node counts and the node total are 32-bit; a mesh beyond them cannot be held.
  if (x_node_count > max_count || z_node_count > max_count ||
      x_node_count * z_node_count > max_count ||
      !fits_in_memory(static_cast<std::size_t>(x_node_count + z_node_count) * 2 * sizeof(double))) {
    out_of_memory_stop(io);
  }
  try {
    mesh.x_nodes.assign(static_cast<std::size_t>(x_node_count), 0.0);
    mesh.z_nodes.assign(static_cast<std::size_t>(z_node_count), 0.0);
    mesh.dx.assign(static_cast<std::size_t>(x_node_count - 1), 0.0);
    mesh.dz.assign(static_cast<std::size_t>(z_node_count - 1), 0.0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }

  reader.start_pass();
  reader.fill(mesh.x_nodes, mesh.dx);
  if (!MeshReader::all_positive(mesh.dx)) {
    reader.fail("Error: X nodes should be in increasing order in the mesh.");
  }
  if (!MeshReader::within_range(mesh.x_nodes, mesh.dx)) {
    reader.fail("Error: X nodes of the mesh exceed the range of real numbers.");
  }
  reader.fill(mesh.z_nodes, mesh.dz);
  if (!MeshReader::all_positive(mesh.dz)) {
    reader.fail("Error: Z nodes should be in increasing order in the mesh.");
  }
  if (!MeshReader::within_range(mesh.z_nodes, mesh.dz)) {
    reader.fail("Error: Z nodes of the mesh exceed the range of real numbers.");
  }
  reader.file.close();

  mesh.nx = static_cast<std::int32_t>(x_node_count - 1);
  mesh.nz = static_cast<std::int32_t>(z_node_count - 1);
  mesh.x_mid = (mesh.x_nodes.front() + mesh.x_nodes.back()) * 0.5;
  mesh.z_first = mesh.z_nodes.front();
  mesh.x_centres.resize(static_cast<std::size_t>(mesh.nx));
  for (std::size_t i = 0; i < mesh.x_centres.size(); ++i) {
    mesh.x_centres[i] = (mesh.x_nodes[i] + mesh.x_nodes[i + 1]) * 0.5;
  }
  mesh.z_centres.resize(static_cast<std::size_t>(mesh.nz));
  for (std::size_t k = 0; k < mesh.z_centres.size(); ++k) {
    mesh.z_centres[k] = (mesh.z_nodes[k] + mesh.z_nodes[k + 1]) * 0.5;
  }
  mesh.node_count = static_cast<std::int32_t>(x_node_count * z_node_count);
  mesh.z_node_count_plus_one = static_cast<std::int32_t>(z_node_count + 1);

  write_message(io, Order::log_only, "\nmesh was read from: " + reader.name + "\n");
}

}  // namespace quelby
