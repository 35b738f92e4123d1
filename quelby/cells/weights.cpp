#include "quelby/cells/weights.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::string_view weights_label = "weights";

// Reads `columns` by `rows` values into the top-left block of `array` (columns fastest). A block
// that fills whole rows of the array is read in place; any other goes through a copy of the
// block, so that a null value still leaves an element as it was. A block of no values reads no
// line and cannot fail.
ReadStatus read_block(InputFile& file, CellArray& array, const std::size_t columns,
                      const std::size_t rows, std::vector<double>& scratch) {
  if (columns == 0 || rows == 0) return ReadStatus{};
  const auto stride = static_cast<std::size_t>(array.nx());
  double* const base = array.data();
  if (columns == stride) return read_reals(file, {base, columns * rows});
  scratch.resize(columns * rows);
  for (std::size_t k = 0; k < rows; ++k) {
    std::copy_n(base + k * stride, columns, scratch.data() + k * columns);
  }
  const ReadStatus status = read_reals(file, scratch);
  for (std::size_t k = 0; k < rows; ++k) {
    std::copy_n(scratch.data() + k * columns, columns, base + k * stride);
  }
  return status;
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
  const std::string name(trim_trailing_blanks(file_name));
  InputFile file;
  open_or_require(io, file, weights_label, name);
  const auto read_error = [&](const ReadStatus& status, std::size_t expected) {
    stop_with(io, Order::log_then_console, "\nError reading the weighting file: " + name + "\n",
              exit_failure, read_detail(name, file.record_number(), status, expected));
  };
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  if (const ReadStatus status = read_items(file, {columns, rows}); !status.ok()) {
    read_error(status, 2);
  }
  if (columns != mesh.nx || rows != mesh.nz) {
    stop_with(
        io, Order::log_then_console,
        "\nErorr: Incorrect dimension in weighting file \n" + name + "\n", exit_failure,
        counts_detail(name, file.record_number(), columns, rows, "the mesh has", mesh.nx, mesh.nz));
  }
  const std::size_t nx = extent(mesh.nx);
  const std::size_t nz = extent(mesh.nz);
  std::vector<double> scratch;
  try {
    const auto read = [&](CellArray& array, std::size_t block_columns, std::size_t block_rows) {
      const ReadStatus status = read_block(file, array, block_columns, block_rows, scratch);
      if (!status.ok()) read_error(status, block_columns * block_rows);
    };
    read(s_weights, nx, nz);
    read(x_weights, nx == 0 ? 0 : nx - 1, nz);
    read(z_weights, nx, nz == 0 ? 0 : nz - 1);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  double extra = 0;
  if (read_items(file, {extra}).ok()) {
    stop_with(io, Order::console_then_log,
              "\nError: too many values in the weighting file: " + name +
                  "\nThe file could be a for a previous version of the code.\n\n",
              exit_failure,
              line_detail(name, file.record_number(),
                          "the value " + shortest(extra) + " after the z weights block"));
  }
  file.close();
  write_message(io, Order::log_only, "weights were read from: " + name + "\n");
}

void read_weight_file(const Io& io, std::string_view file_name, std::string_view label,
                      CellArray& weights) {
  const std::string name(trim_trailing_blanks(file_name));
  if (name.empty()) {
    weights.fill(1.0);
    return;
  }
  const std::string array_label(trim_trailing_blanks(label));
  InputFile file;
  open_or_require(io, file, array_label, name);
  const auto read_error = [&](const ReadStatus& status, std::size_t expected) {
    stop_with(io, Order::log_then_console,
              "\nError reading the " + array_label + " file: \n" + name + "\n", exit_failure,
              read_detail(name, file.record_number(), status, expected));
  };
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  if (const ReadStatus status = read_items(file, {columns, rows}); !status.ok()) {
    read_error(status, 2);
  }
  if (columns > weights.nx() || rows > weights.nz()) {
    stop_with(io, Order::log_then_console,
              "\nErorr: Incorrect dimension in " + array_label + " file\n" + name + "\n",
              exit_failure,
              counts_detail(name, file.record_number(), columns, rows, "the array holds",
                            weights.nx(), weights.nz()));
  }
  std::vector<double> scratch;
  try {
    const ReadStatus status = read_block(file, weights, extent(columns), extent(rows), scratch);
    if (!status.ok()) read_error(status, extent(columns) * extent(rows));
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  file.close();
  write_message(io, Order::log_only, array_label + " were read from: " + name + "\n");
}

void read_weight_files(const Io& io, const std::array<std::string, 3>& weight_files,
                       CellArray& s_weights, CellArray& x_weights, CellArray& z_weights) {
  read_weight_file(io, weight_files[0], s_weights_label, s_weights);
  read_weight_file(io, weight_files[1], x_weights_label, x_weights);
  read_weight_file(io, weight_files[2], z_weights_label, z_weights);
}

}  // namespace quelby
