#include "quelby/cells/active_cells3d.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr int label_width = 33;

std::string counts_text(std::int64_t nx, std::int64_t ny, std::int64_t nz) {
  return std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz);
}

void read_flags(const Io& io, const Mesh3D& mesh, std::string_view name,
                std::vector<std::int32_t>& flags) {
  ReaderFrame frame(io, "active cells", name);
  frame.set_read_error(Order::console_then_log,
                       "\nError reading active cell file " + frame.name() + "\n");
  std::int32_t counts[3] = {0, 0, 0};
  frame.read({counts[0], counts[1], counts[2]});
  if (counts[0] != mesh.nx || counts[1] != mesh.ny || counts[2] != mesh.nz) {
    frame.stop(Order::console_then_log, "\nError: inconsistent dimension in " + frame.name() + "\n",
               frame.detail(counts_text(counts[0], counts[1], counts[2]) + " cells, the mesh has " +
                            counts_text(mesh.nx, mesh.ny, mesh.nz)));
  }
  if (!flags.empty()) frame.read({ReadItem(std::span<std::int32_t>(flags))});
  frame.close();
  const auto nx = static_cast<std::size_t>(mesh.nx);
  const auto ny = static_cast<std::size_t>(mesh.ny);
  for (std::size_t cell = 0; cell < flags.size(); ++cell) {
    const std::int32_t flag = flags[cell];
    if (flag < -1 || flag > 1) {
      // Column, row and layer are shown 1-based.
      frame.stop(
          Order::console_then_log,
          "\nError: values in the active cell file should be -1, 0 or 1.\n" + frame.name() + "\n",
          frame.file_detail("the flag of column " + std::to_string(cell % nx + 1) + ", row " +
                            std::to_string(cell / nx % ny + 1) + ", layer " +
                            std::to_string(cell / (nx * ny) + 1) + " is " + std::to_string(flag)));
    }
  }
  frame.log_read("active cells were read from file: ");
}

void append_line(std::string& text, std::string_view label, std::int64_t value) {
  if (label.size() < label_width) text.append(label_width - label.size(), ' ');
  text += label;
  char field[16];
  format_integer(value, 9, field);
  text.append(field, 9);
  text += '\n';
}

}  // namespace

void read_active_cells3d(const Io& io, const Mesh3D& mesh, std::span<const std::int32_t> air_cells,
                         std::string_view file_name, ActiveCells3D& cells) {
  const auto nx = static_cast<std::size_t>(mesh.nx < 0 ? 0 : mesh.nx);
  const auto ny = static_cast<std::size_t>(mesh.ny < 0 ? 0 : mesh.ny);
  const std::size_t columns = nx * ny;
  if (air_cells.size() != columns) internal_check_failed(io, "size(air_cells) /= nx * ny");
  const std::int64_t cell_count = mesh.nz < 0 ? 0 : mesh.cell_count();
  std::vector<std::int32_t> flags;
  try {
    flags.assign(static_cast<std::size_t>(cell_count), 1);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  const std::string name(trim_trailing_blanks(file_name));
  if (!name.empty()) read_flags(io, mesh, name, flags);

  ActiveCells3D built;
  built.nx = mesh.nx;
  built.ny = mesh.ny;
  built.nz = mesh.nz;
  built.cell_idx = std::move(flags);
  std::int32_t p = 0;
  std::int32_t q = 0;
  std::int32_t r = 0;
  std::size_t cell = 0;
  for (std::int64_t k = 0; k < mesh.nz; ++k) {
    for (std::size_t column = 0; column < columns; ++column, ++cell) {
      std::int32_t& index = built.cell_idx[cell];
      if (index == 0 || k < air_cells[column]) {
        index = 0;
        ++r;
      } else if (index == 1) {
        index = ++p;
      } else {
        index = -++q;
      }
    }
  }
  built.npar = p;
  built.ninfl = q;
  built.ninact = r;
  cells = std::move(built);

  std::string lines;
  lines += "# of cells: " + counts_text(mesh.nx, mesh.ny, mesh.nz) + "\n";
  append_line(lines, "total # of cells:", cell_count);
  append_line(lines, "# of active cells:", cells.npar);
  if (cells.ninfl >= 1) append_line(lines, "# of inactive cells (influence):", cells.ninfl);
  if (cells.ninact >= 1) append_line(lines, "# of inactive cells:", cells.ninact);
  write_message(io, Order::log_only, lines);
  if (cells.npar == 0) stop_with(io, Order::console_then_log, "\nError: all cells are inactive.\n");
  write_message(io, Order::log_only, "\n");
}

}  // namespace quelby
