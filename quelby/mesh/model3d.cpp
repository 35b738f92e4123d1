#include "quelby/mesh/model3d.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

// Rows are formatted into blocks of about this many bytes before they are written.
constexpr std::size_t write_block_bytes = std::size_t{1} << 20;

std::string counts_text(std::int64_t nx, std::int64_t ny, std::int64_t nz) {
  return std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz);
}

}  // namespace

void read_model3d(const Io& io, const Mesh3D& mesh, std::string_view name, std::string_view label,
                  std::vector<double>& values) {
  const std::string_view model_label = trim_trailing_blanks(label);
  ReaderFrame frame(io, model_label, name);
  frame.set_read_error(
      Order::console_then_log,
      "\nError reading " + std::string(model_label) + " model file " + frame.name() + "\n",
      DetailWords::model_file);

  std::int32_t counts[3] = {0, 0, 0};
  frame.read({counts[0], counts[1], counts[2]});
  if (counts[0] != mesh.nx || counts[1] != mesh.ny || counts[2] != mesh.nz) {
    frame.stop(Order::console_then_log, "\nError: inconsistent dimension in " + frame.name() + "\n",
               frame.detail(counts_text(counts[0], counts[1], counts[2]) + " cells, the mesh has " +
                            counts_text(mesh.nx, mesh.ny, mesh.nz)));
  }
  const auto count = static_cast<std::size_t>(mesh.cell_count());
  if (!fits_in_memory(count * sizeof(double))) out_of_memory_stop(io);
  try {
    values.assign(count, 0.0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  if (const ReadStatus status = read_reals(frame.file(), values); !status.ok()) {
    frame.refuse(status, count);
  }
  frame.log_read(std::string(model_label) + " was read from file: ");
}

void write_model3d(const Io& io, const Mesh3D& mesh, std::string_view name,
                   const std::vector<double>& values) {
  const std::string file_name(trim_trailing_blanks(name));
  const auto fail = [&](int error) { write_failed(io, "model file", file_name, error); };
  if (mesh.nx < 1 || mesh.ny < 1 || mesh.nz < 1 ||
      values.size() < static_cast<std::size_t>(mesh.cell_count())) {
    internal_check_failed(io, "3-D model smaller than the mesh");
  }
  const auto nx = static_cast<std::size_t>(mesh.nx);
  const std::size_t rows = static_cast<std::size_t>(mesh.ny) * static_cast<std::size_t>(mesh.nz);

  AtomicOutput output(file_name);
  if (const int error = output.create()) fail(error);

  // The 2-D header rule for every count: its 5 columns, or all its digits after a blank; a count
  // after the first that fills its field gets a blank before it, so that the digits stay apart.
  char header[3 * count_max_width + 3];
  std::size_t header_bytes = 0;
  for (const std::int32_t count : {mesh.nx, mesh.ny, mesh.nz}) {
    char field[count_max_width];
    const auto bytes = static_cast<std::size_t>(format_count(count, field));
    if (header_bytes > 0 && field[0] != ' ') header[header_bytes++] = ' ';
    std::memcpy(header + header_bytes, field, bytes);
    header_bytes += bytes;
  }
  header[header_bytes++] = '\n';
  if (const int error = output.write(header, header_bytes)) fail(error);

  const std::size_t row_bytes = nx * e13_5_width + 1;
  const std::size_t rows_per_block = std::max<std::size_t>(1, write_block_bytes / row_bytes);
  std::vector<char> block;
  try {
    block.resize(row_bytes * std::min(rows_per_block, rows));
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  for (std::size_t first = 0; first < rows; first += rows_per_block) {
    const std::size_t count = std::min(rows_per_block, rows - first);
    char* out = block.data();
    for (std::size_t row = first; row < first + count; ++row) {
      const double* value = values.data() + row * nx;
      for (std::size_t i = 0; i < nx; ++i, out += e13_5_width) format_e13_5(value[i], out);
      *out++ = '\n';
    }
    if (const int error = output.write(block.data(), count * row_bytes)) fail(error);
  }
  if (const int error = output.commit()) fail(error);
}

}  // namespace quelby
