#include "quelby/mesh/mesh.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::int64_t max_count = std::numeric_limits<std::int32_t>::max();

struct MeshReader {
  explicit MeshReader(ReaderFrame& frame) : frame(frame) {
    frame.set_read_error(Order::log_then_console,
                         "\nError reading the mesh file: " + frame.name() + "\n");
  }

  ReaderFrame& frame;

  [[noreturn]] void fail(std::string_view text, std::string detail = {}) const {
    std::string message = "\n";
    message += text;
    message += '\n';
    message += frame.name();
    message += '\n';
    frame.stop(Order::console_then_log, message, std::move(detail));
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

  // A position that is not a finite number makes no mesh: it is refused as a failed read.
  void read_segment(std::int32_t s) {
    constexpr std::string_view position = "a position";
    if (s == 0) {
      frame.read_finite({start, end, cells}, position);
    } else {
      frame.read_finite({end, cells}, position);
    }
  }

  // The first segment of the filling pass whose cells are not wider than 0, for the detail of the
  // order messages: its line, its ends and its width.
  std::size_t bad_line = 0;
  double bad_start = 0;
  double bad_end = 0;
  double bad_width = 0;

  std::string bad_segment_detail() const {
    return line_detail(frame.name(), bad_line,
                       "a segment from " + shortest(bad_start) + " to " + shortest(bad_end) +
                           " makes cells " + shortest(bad_width) + " wide");
  }

  // Counting pass over one direction: returns the node count (1 + the sum of the cell counts).
  std::int64_t count_nodes() {
    frame.read({segments});
    std::int64_t nodes = 1;
    for (std::int32_t s = 0; s < segments; ++s) {
      read_segment(s);
      // A negative count would shrink the arrays below the cells the filling pass makes.
      if (cells < 0) {
        fail("Error: negative number of cells in a segment of the mesh.",
             frame.detail("a segment of " + std::to_string(cells) + " cells"));
      }
      nodes += cells;
    }
    return nodes;
  }

  // Filling pass over one direction. Its reads repeat those of the counting pass and so succeed,
  // unless the file changed in between: then it is a read error, never a write past the arrays.
  void fill(std::vector<double>& nodes, std::vector<double>& widths) {
    frame.read({segments});
    bad_line = 0;
    std::size_t m = 0;
    for (std::int32_t s = 0; s < segments; ++s) {
      // A segment starts where the one before it ended, as written in the file.
      const double previous_end = end;
      read_segment(s);
      if (cells < 0 || static_cast<std::size_t>(cells) > widths.size() - m) {
        frame.read_error(frame.detail("the file changed while it was read"));
      }
      const double a = s == 0 ? start : previous_end;
      if (s == 0) nodes[0] = start;
      const double width = (end - a) / static_cast<double>(cells);
      if (!(width > 0) && cells > 0 && bad_line == 0) {
        bad_line = frame.line();
        bad_start = a;
        bad_end = end;
        bad_width = width;
      }
      for (std::int32_t c = 0; c < cells; ++c) {
        widths[m] = width;
        nodes[m + 1] = nodes[m] + width;
        ++m;
      }
    }
  }

  // The filling pass over one direction ("X" or "Z"), then its checks: widths above 0, nodes and
  // midpoints within the range of doubles.
  void fill_checked(std::vector<double>& nodes, std::vector<double>& widths,
                    std::string_view axis) {
    fill(nodes, widths);
    const std::string nodes_of = "Error: " + std::string(axis) + " nodes ";
    if (!all_positive(widths)) {
      fail(nodes_of + "should be in increasing order in the mesh.", bad_segment_detail());
    }
    if (!within_range(nodes, widths))
      fail(nodes_of + "of the mesh exceed the range of real numbers.");
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
  ReaderFrame frame(io, "mesh", name);
  MeshReader reader(frame);

  reader.start_pass();
  const std::int64_t x_node_count = reader.count_nodes();
  const std::int64_t z_node_count = reader.count_nodes();
  frame.file().rewind();

  if (x_node_count < 2 || z_node_count < 2) {
    reader.fail("Error: # of cells in the mesh should be positive.",
                frame.file_detail(std::to_string(x_node_count - 1) + " x " +
                                  std::to_string(z_node_count - 1) + " cells"));
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
  reader.fill_checked(mesh.x_nodes, mesh.dx, "X");
  reader.fill_checked(mesh.z_nodes, mesh.dz, "Z");

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

  frame.log_read("\nmesh was read from: ");
}

}  // namespace quelby
