#include "quelby/cells/weights.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::string_view weights_label = "weights";

// Reads `columns` by `rows` values into the top-left block of `array` (columns fastest); a failed
// read stops with the frame's read error. A block that fills whole rows of the array is read in
// place; any other goes through a copy of the block, so that a null value still leaves an element
// as it was. A block of no values reads no line and cannot fail.
void read_block(ReaderFrame& frame, CellArray& array, const std::size_t columns,
                const std::size_t rows, std::vector<double>& scratch) {
  if (columns == 0 || rows == 0) return;
  const auto stride = static_cast<std::size_t>(array.nx());
  double* const base = array.data();
  ReadStatus status;
  if (columns == stride) {
    status = read_reals(frame.file(), {base, columns * rows});
  } else {
    try {
      scratch.resize(columns * rows);
    } catch (const std::bad_alloc&) {
      out_of_memory_stop(frame.io());
    }
    for (std::size_t k = 0; k < rows; ++k) {
      std::copy_n(base + k * stride, columns, scratch.data() + k * columns);
    }
    status = read_reals(frame.file(), scratch);
    for (std::size_t k = 0; k < rows; ++k) {
      std::copy_n(scratch.data() + k * columns, columns, base + k * stride);
    }
  }
  if (!status.ok()) frame.refuse(status, columns * rows);
}

std::size_t extent(const std::int32_t count) {
  return static_cast<std::size_t>(count < 0 ? 0 : count);
}

}  // namespace

void set_weights(const Io& io, const Mesh& mesh, const std::int32_t weight_input,
                 const std::array<std::string, 3>& weight_files, CellArray& s_weights,
                 CellArray& x_weights, CellArray& z_weights) {
  switch (weight_input) {
    case 0:
      s_weights.fill(1.0);
      x_weights.fill(1.0);
      z_weights.fill(1.0);
      return;
    case 1:
      read_weights_file(io, mesh, weight_files[0], s_weights, x_weights, z_weights);
      return;
    case 2:
      read_weight_files(io, weight_files, s_weights, x_weights, z_weights);
      return;
    default:
      internal_check_failed(io, "bad weight_input");
  }
}

void read_weights_file(const Io& io, const Mesh& mesh, std::string_view file_name,
                       CellArray& s_weights, CellArray& x_weights, CellArray& z_weights) {
  for (const CellArray* array : {&s_weights, &x_weights, &z_weights}) {
    if (array->nx() != mesh.nx || array->nz() != mesh.nz) {
      internal_check_failed(io, "size(weights) /= (nx, nz)");
    }
  }
  ReaderFrame frame(io, weights_label, file_name);
  const std::string& name = frame.name();
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the weighting file: " + name + "\n");
  frame.read_mesh_counts(mesh.nx, mesh.nz, Order::log_then_console,
                         "\nErorr: Incorrect dimension in weighting file \n" + name + "\n");
  const std::size_t nx = extent(mesh.nx);
  const std::size_t nz = extent(mesh.nz);
  std::vector<double> scratch;
  read_block(frame, s_weights, nx, nz, scratch);
  read_block(frame, x_weights, nx == 0 ? 0 : nx - 1, nz, scratch);
  read_block(frame, z_weights, nx, nz == 0 ? 0 : nz - 1, scratch);
  double extra = 0;
  if (read_items(frame.file(), {extra}).ok()) {
    frame.stop(Order::console_then_log,
               "\nError: too many values in the weighting file: " + name +
                   "\nThe file could be a for a previous version of the code.\n\n",
               frame.detail("the value " + shortest(extra) + " after the z weights block"));
  }
  frame.log_read("weights were read from: ");
}

void weights_from_arrays(const Io& io, const Mesh& mesh, std::span<const double> s_values,
                         std::span<const double> x_values, std::span<const double> z_values,
                         CellArray& s_weights, CellArray& x_weights, CellArray& z_weights) {
  for (const CellArray* array : {&s_weights, &x_weights, &z_weights}) {
    if (array->nx() != mesh.nx || array->nz() != mesh.nz) {
      internal_check_failed(io, "size(weights) /= (nx, nz)");
    }
  }
  const std::size_t nx = extent(mesh.nx);
  const std::size_t nz = extent(mesh.nz);
  struct Block {
    std::span<const double> values;
    std::string_view label;
    std::size_t columns, rows;
    CellArray& array;
  };
  const Block blocks[] = {
      {s_values, s_weights_label, nx, nz, s_weights},
      {x_values, x_weights_label, nx == 0 ? 0 : nx - 1, nz, x_weights},
      {z_values, z_weights_label, nx, nz == 0 ? 0 : nz - 1, z_weights},
  };
  for (const Block& block : blocks) {
    const std::size_t expected = block.columns * block.rows;
    if (block.values.size() != expected) {
      stop_with(io, Order::log_then_console,
                "\nError: the " + std::string(block.label) + " array holds " +
                    std::to_string(block.values.size()) + " values, " + std::to_string(expected) +
                    " expected.\n",
                exit_failure,
                std::to_string(block.columns) + " x " + std::to_string(block.rows) +
                    " values for a mesh of " + std::to_string(nx) + " x " + std::to_string(nz) +
                    " cells");
    }
  }
  for (const Block& block : blocks) {
    const auto stride = static_cast<std::size_t>(block.array.nx());
    for (std::size_t k = 0; k < block.rows; ++k) {
      std::copy_n(block.values.data() + k * block.columns, block.columns,
                  block.array.data() + k * stride);
    }
  }
}

void read_weight_file(const Io& io, std::string_view file_name, std::string_view label,
                      CellArray& weights) {
  if (trim_trailing_blanks(file_name).empty()) {
    weights.fill(1.0);
    return;
  }
  const std::string array_label(trim_trailing_blanks(label));
  ReaderFrame frame(io, array_label, file_name);
  const std::string& name = frame.name();
  frame.set_read_error(Order::log_then_console,
                       "\nError reading the " + array_label + " file: \n" + name + "\n");
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  frame.read({columns, rows});
  if (columns > weights.nx() || rows > weights.nz()) {
    frame.stop(Order::log_then_console,
               "\nErorr: Incorrect dimension in " + array_label + " file\n" + name + "\n",
               frame.counts_detail(columns, rows, "the array holds", weights.nx(), weights.nz()));
  }
  std::vector<double> scratch;
  read_block(frame, weights, extent(columns), extent(rows), scratch);
  frame.log_read(array_label + " were read from: ");
}

void read_weight_files(const Io& io, const std::array<std::string, 3>& weight_files,
                       CellArray& s_weights, CellArray& x_weights, CellArray& z_weights) {
  read_weight_file(io, weight_files[0], s_weights_label, s_weights);
  read_weight_file(io, weight_files[1], x_weights_label, x_weights);
  read_weight_file(io, weight_files[2], z_weights_label, z_weights);
}

}  // namespace quelby
