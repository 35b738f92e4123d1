#include "quelby/mesh/mesh3d_file.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::int64_t max_count = std::numeric_limits<std::int32_t>::max();
constexpr const char* axis_names[3] = {"x", "y", "z"};

struct Mesh3DReader {
  explicit Mesh3DReader(ReaderFrame& frame) : frame(frame) {
    frame.set_read_error(Order::log_then_console,
                         "\nError reading the 3-D mesh file: " + frame.name() + "\n");
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

  // The items of the reads persist from segment to segment and from block to block, as in the
  // 2-D mesh file (a null value keeps the item's value); each pass starts them from zero.
  std::int32_t segments = 0;
  double start = 0;
  double end = 0;
  std::int32_t cells = 0;

  void start_pass() {
    segments = 0;
    start = end = 0;
    cells = 0;
  }

  void read_segment(std::int32_t s) {
    constexpr std::string_view position = "a position";
    if (s == 0) {
      frame.read_finite({start, end, cells}, position);
    } else {
      frame.read_finite({end, cells}, position);
    }
  }

  // Counting pass over one block: the node count (1 + the sum of the cell counts), which stops
  // growing past the 32-bit range so that the check after the pass sees it.
  std::int64_t count_nodes(int axis) {
    frame.read({segments});
    std::int64_t nodes = 1;
    for (std::int32_t s = 0; s < segments; ++s) {
      read_segment(s);
      if (cells < 0) {
        fail(std::string("Error: negative number of cells in a segment of the 3-D mesh (") +
                 axis_names[axis] + ").",
             frame.detail("a segment of " + std::to_string(cells) + " cells"));
      }
      nodes += cells;
      if (nodes > max_count) nodes = max_count + 1;
    }
    return nodes;
  }

  // Filling pass over one block; its reads repeat those of the counting pass, so a difference
  // means the file changed in between: a read error, never a write past the arrays.
  void fill(std::vector<double>& nodes, int axis) {
    frame.read({segments});
    std::size_t m = 0;
    const std::size_t cell_count = nodes.size() - 1;
    for (std::int32_t s = 0; s < segments; ++s) {
      const double previous_end = end;
      read_segment(s);
      if (cells < 0 || static_cast<std::size_t>(cells) > cell_count - m) {
        frame.read_error(frame.detail("the file changed while it was read"));
      }
      const double a = s == 0 ? start : previous_end;
      if (s == 0) nodes[0] = start;
      const double width = (end - a) / static_cast<double>(cells);
      if (!(width > 0) && cells > 0) {
        fail(std::string("Error: ") + axis_names[axis] +
                 " nodes should be in increasing order in the 3-D mesh.",
             frame.detail("a segment from " + shortest(a) + " to " + shortest(end) +
                          " makes cells " + shortest(width) + " wide"));
      }
      // A segment's end is a node exactly as written, and its inner nodes lie at whole widths
      // from its start: no rounding accumulates along a segment or from one to the next.
      for (std::int32_t c = 1; c <= cells; ++c) {
        nodes[m + 1] = c == cells ? end : a + static_cast<double>(c) * width;
        ++m;
      }
    }
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      // Finite positions can still sum to an infinite node, or a midpoint beyond the doubles.
      if (!std::isfinite(nodes[n]) || (n > 0 && !std::isfinite((nodes[n - 1] + nodes[n]) * 0.5)) ||
          (n > 0 && !(nodes[n] > nodes[n - 1]))) {
        fail(std::string("Error: ") + axis_names[axis] +
                 " nodes of the 3-D mesh exceed the range of real numbers or do not increase.",
             frame.file_detail(std::string(axis_names[axis]) + " node " + std::to_string(n + 1) +
                               " is " + shortest(nodes[n])));
      }
    }
  }
};

void append_shortest(std::string& text, double value) {
  char field[32];
  const auto result = std::to_chars(field, field + sizeof field, value);
  text.append(field, result.ptr);
}

// True when a segment from node `first` over `cells` cells reads back as the mesh's nodes: its end
// is read exactly, its inner nodes at whole widths from its start.
bool segment_reads_back(const std::vector<double>& nodes, std::size_t first, std::size_t cells) {
  const double start = nodes[first];
  const double width = (nodes[first + cells] - start) / static_cast<double>(cells);
  for (std::size_t c = 1; c < cells; ++c) {
    if (start + static_cast<double>(c) * width != nodes[first + c]) return false;
  }
  return true;
}

// Widths that agree to this relative difference may be one segment's, rounded.
constexpr double width_tolerance = 1e-12;

// One block of segments. A segment is the longest run of widths that agree to rounding and whose
// read gives back every node of the run exactly; a run that does not is cut after the nodes that
// do and tried again, down to a single cell, which always reads back (its ends are nodes).
void append_axis(std::string& text, const std::vector<double>& nodes) {
  std::vector<std::size_t> segment_cells;
  const std::size_t cell_count = nodes.size() - 1;
  std::size_t first = 0;
  while (first < cell_count) {
    const double width = nodes[first + 1] - nodes[first];
    std::size_t cells = 1;
    while (first + cells < cell_count &&
           std::abs((nodes[first + cells + 1] - nodes[first + cells]) - width) <=
               width_tolerance * width) {
      ++cells;
    }
    while (cells > 1 && !segment_reads_back(nodes, first, cells)) {
      // The inner nodes that came back, as the next try (with its own end, hence its own width).
      const double start = nodes[first];
      const double step = (nodes[first + cells] - start) / static_cast<double>(cells);
      std::size_t good = 1;
      while (good < cells && start + static_cast<double>(good) * step == nodes[first + good]) {
        ++good;
      }
      cells = good;
    }
    segment_cells.push_back(cells);
    first += cells;
  }
  text += std::to_string(segment_cells.size());
  text += '\n';
  std::size_t node = 0;
  for (std::size_t s = 0; s < segment_cells.size(); ++s) {
    if (s == 0) {
      append_shortest(text, nodes[0]);
      text += ' ';
    }
    node += segment_cells[s];
    append_shortest(text, nodes[node]);
    text += ' ';
    text += std::to_string(segment_cells[s]);
    text += '\n';
  }
}

}  // namespace

void load_mesh3d(const Io& io, std::string_view name, Mesh3D& mesh) {
  ReaderFrame frame(io, "3-D mesh", name);
  Mesh3DReader reader(frame);

  reader.start_pass();
  std::int64_t node_counts[3];
  for (int axis = 0; axis < 3; ++axis) node_counts[axis] = reader.count_nodes(axis);
  for (int axis = 0; axis < 3; ++axis) {
    if (node_counts[axis] < 2) {
      reader.fail(std::string("Error: # of cells along ") + axis_names[axis] +
                      " in the 3-D mesh should be positive.",
                  frame.file_detail(std::to_string(node_counts[0] - 1) + " x " +
                                    std::to_string(node_counts[1] - 1) + " x " +
                                    std::to_string(node_counts[2] - 1) + " cells"));
    }
  }
  // Each count is at most 2^31, so the product of two fits in 64 bits before it is compared.
  if (node_counts[0] > max_count || node_counts[1] > max_count || node_counts[2] > max_count ||
      node_counts[0] * node_counts[1] > max_count ||
      node_counts[0] * node_counts[1] * node_counts[2] > max_count ||
      !fits_in_memory(static_cast<std::size_t>(node_counts[0] + node_counts[1] + node_counts[2]) *
                      3 * sizeof(double))) {
    out_of_memory_stop(io);
  }
  std::vector<double> nodes[3];
  try {
    for (int axis = 0; axis < 3; ++axis) {
      nodes[axis].assign(static_cast<std::size_t>(node_counts[axis]), 0.0);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  frame.file().rewind();
  reader.start_pass();
  for (int axis = 0; axis < 3; ++axis) reader.fill(nodes[axis], axis);
  frame.close();
  mesh = make_mesh3d(io, std::move(nodes[0]), std::move(nodes[1]), std::move(nodes[2]));
  frame.log_read("\n3-D mesh was read from file: ");
}

std::string mesh3d_text(const Mesh3D& mesh) {
  std::string text;
  append_axis(text, mesh.x_nodes);
  append_axis(text, mesh.y_nodes);
  append_axis(text, mesh.z_nodes);
  return text;
}

void write_mesh3d(const Io& io, std::string_view name, const Mesh3D& mesh) {
  if (mesh.x_nodes.size() < 2 || mesh.y_nodes.size() < 2 || mesh.z_nodes.size() < 2) {
    internal_check_failed(io, "a 3-D mesh without cells");
  }
  write_whole_file(io, name, "3-D mesh file", mesh3d_text(mesh));
}

}  // namespace quelby
