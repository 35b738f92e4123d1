#include "quelby/cells/active_cells.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "quelby/base/fixed_format.hpp"
#include "quelby/base/huge_pages.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::string_view active_cells_label = "active cells";
// The value an inactive cell in the air holds when the model is kept as logarithms.
constexpr double air_value = 1.0E-8;
constexpr int label_width = 33;

std::size_t cell_count(const std::int32_t nx, const std::int32_t nz) {
  const std::int64_t columns = nx < 1 ? 0 : nx;
  const std::int64_t rows = nz < 1 ? 0 : nz;
  return static_cast<std::size_t>(columns * rows);
}

// Every topography store, read from a file or not, holds one count per column.
void check_topography(const Io& io, const Topography& topography, const std::int32_t nx) {
  if (topography.air_cells.size() != static_cast<std::size_t>(nx < 1 ? 0 : nx)) {
    internal_check_failed(io, "size(air_cells) /= nx");
  }
}

// Steps 3 to 9 and 11 of reading the active-cell file: open, the counts, the flags, the value
// check and the log line.
void read_flags(const Io& io, const Mesh& mesh, std::string_view name,
                std::span<std::int32_t> flags) {
  ReaderFrame frame(io, active_cells_label, name);
  frame.set_read_error(Order::console_then_log,
                       "\nError reading active cell file " + frame.name() + "\n");
  frame.read_mesh_counts(mesh.nx, mesh.nz, Order::console_then_log,
                         "\nError: inconsistent dimension in " + frame.name() + "\n");
  // A read of no values takes no line.
  if (!flags.empty()) frame.read({ReadItem(flags)});
  frame.close();
  for (std::size_t cell = 0; cell < flags.size(); ++cell) {
    const std::int32_t flag = flags[cell];
    if (flag < -1 || flag > 1) {
      // Column and row are shown 1-based, as in the file's order of values.
      const std::size_t nx = static_cast<std::size_t>(mesh.nx);
      frame.stop(
          Order::console_then_log,
          "\nError: values in the active cell file should be -1, 0 or 1.\n" + frame.name() + "\n",
          frame.file_detail("the flag of column " + std::to_string(cell % nx + 1) + ", row " +
                            std::to_string(cell / nx + 1) + " is " + std::to_string(flag)));
    }
  }
  frame.log_read("active cells were read from file: ");
}

void append_label(std::string& text, std::string_view label) {
  if (label.size() < label_width) text.append(label_width - label.size(), ' ');
  text += label;
}

void append_integer(std::string& text, const std::int64_t value, const int width) {
  char field[16];
  format_integer(value, width, field);
  text.append(field, static_cast<std::size_t>(width));
}

}  // namespace

void read_active_cells(const Io& io, const Mesh& mesh, const Topography& topography,
                       std::string_view file_name, ActiveCells& cells) {
  check_topography(io, topography, mesh.nx);
  const std::size_t ncell = cell_count(mesh.nx, mesh.nz);
  std::vector<std::int32_t> flags;
  try {
    // A model-sized map: fresh 4 KiB pages would cost more than reading the file.
    assign_with_huge_pages(flags, ncell, 0);
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  const std::string name(trim_trailing_blanks(file_name));
  if (name.empty()) {
    std::fill(flags.begin(), flags.end(), 1);
  } else {
    read_flags(io, mesh, name, flags);
  }
  // The flags were checked as the file's; the map's own check finds nothing more.
  active_cells_from_flags(io, mesh, topography, std::move(flags), cells);
}

void active_cells_from_flags(const Io& io, const Mesh& mesh, const Topography& topography,
                             std::vector<std::int32_t> flags, ActiveCells& cells) {
  check_topography(io, topography, mesh.nx);
  const std::size_t ncell = cell_count(mesh.nx, mesh.nz);
  if (flags.size() != ncell) internal_check_failed(io, "size(flags) /= ncell");
  const std::size_t nx = static_cast<std::size_t>(mesh.nx < 1 ? 0 : mesh.nx);
  for (std::size_t cell = 0; cell < ncell; ++cell) {
    const std::int32_t flag = flags[cell];
    if (flag < -1 || flag > 1) {
      // Column and row are shown 1-based, as in a file's order of values.
      stop_with(io, Order::console_then_log,
                "\nError: values of the active cell flags should be -1, 0 or 1.\n", exit_failure,
                "the flag of column " + std::to_string(cell % nx + 1) + ", row " +
                    std::to_string(cell / nx + 1) + " is " + std::to_string(flag));
    }
  }

  // The store is replaced as a whole: whatever an earlier read or set_all_active left goes.
  ActiveCells built;
  built.nx = mesh.nx;
  built.nz = mesh.nz;
  built.cell_idx = std::move(flags);
  built.air_cells = topography.air_cells;
  std::int32_t p = 0;
  std::int32_t q = 0;
  std::int32_t r = 0;
  std::size_t cell = 0;
  for (std::size_t k = 0; nx > 0 && cell < ncell; ++k) {
    for (std::size_t i = 0; i < nx; ++i, ++cell) {
      std::int32_t& index = built.cell_idx[cell];
      // Row k + 1 lies in the air when it is not below the column's air cells.
      if (index == 0 || static_cast<std::int64_t>(k) < built.air_cells[i]) {
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
  built.ncell = static_cast<std::int32_t>(static_cast<std::int64_t>(mesh.nx) * mesh.nz);
  cells = std::move(built);

  std::string lines;
  append_label(lines, "# of cells:");
  append_integer(lines, mesh.nx, 5);
  lines += " x";
  append_integer(lines, mesh.nz, 5);
  lines += '\n';
  append_label(lines, "total # of cells:");
  append_integer(lines, cells.ncell, 6);
  lines += '\n';
  append_label(lines, "# of active cells:");
  append_integer(lines, cells.npar, 6);
  lines += '\n';
  if (cells.ninfl >= 1) {
    append_label(lines, "# of inactive cells (influence):");
    append_integer(lines, cells.ninfl, 6);
    lines += '\n';
  }
  if (cells.ninact >= 1) {
    append_label(lines, "# of inactive cells:");
    append_integer(lines, cells.ninact, 6);
    lines += '\n';
  }
  write_message(io, Order::log_only, lines);
  if (cells.npar == 0) stop_with(io, Order::console_then_log, "\nError: all cells are inactive.\n");
  write_message(io, Order::log_only, "\n");
}

void read_active_cell_file(const Io& io, const Mesh& mesh, std::string_view file_name,
                           std::span<std::int32_t> flags) {
  if (flags.size() != cell_count(mesh.nx, mesh.nz))
    internal_check_failed(io, "size(flags) /= ncell");
  read_flags(io, mesh, file_name, flags);
}

void store_inactive_values(const Io& io, const Model& model, const bool log_values,
                           ActiveCells& cells) {
  cells.inact_val.clear();
  cells.infl_val.clear();
  if (cells.ninact == 0 && cells.ninfl == 0) return;
  // While every cell is a parameter the inactive cells are those of the saved map.
  const std::vector<std::int32_t>& map = cells.all_active ? cells.cell_idx_save : cells.cell_idx;
  if (model.size() != map.size() || model.nx() != cells.nx) {
    internal_check_failed(io, "size(model) /= ncell");
  }
  if (cells.air_cells.size() != static_cast<std::size_t>(cells.nx)) {
    internal_check_failed(io, "size(air_cells) /= nx");
  }
  cells.inact_val.assign(static_cast<std::size_t>(cells.ninact < 0 ? 0 : cells.ninact), 0.0);
  cells.infl_val.assign(static_cast<std::size_t>(cells.ninfl < 0 ? 0 : cells.ninfl), 0.0);
  const std::size_t nx = static_cast<std::size_t>(cells.nx);
  const double* const values = model.data();
  std::size_t next_inactive = 0;
  for (std::size_t cell = 0; cell < map.size(); ++cell) {
    const std::int32_t index = map[cell];
    if (index == 0) {
      if (next_inactive >= cells.inact_val.size()) internal_check_failed(io, "k > ninact");
      const std::size_t column = cell % nx;
      const bool below_surface = static_cast<std::int64_t>(cell / nx) >= cells.air_cells[column];
      cells.inact_val[next_inactive++] =
          below_surface ? values[cell] : (log_values ? air_value : 0.0);
    } else if (index < 0) {
      const auto m = static_cast<std::size_t>(-static_cast<std::int64_t>(index));
      if (m > cells.infl_val.size()) internal_check_failed(io, "m > ninfl");
      cells.infl_val[m - 1] = values[cell];
    }
  }
  if (log_values) {
    for (double& value : cells.inact_val) value = -std::log(value);
    for (double& value : cells.infl_val) value = -std::log(value);
  }
}

void set_all_active(const bool on, ActiveCells& cells) {
  if (on) {
    if (cells.all_active) return;  // already on: the map saved first stays saved
    cells.cell_idx_save = cells.cell_idx;
    cells.npar_save = cells.npar;
    for (std::size_t cell = 0; cell < cells.cell_idx.size(); ++cell) {
      cells.cell_idx[cell] = static_cast<std::int32_t>(cell + 1);
    }
    cells.npar = (cells.nx < 1 || cells.nz < 1) ? 0 : cells.ncell;
    cells.all_active = true;
    return;
  }
  if (!cells.all_active) return;  // nothing saved: nothing to restore
  cells.cell_idx = std::move(cells.cell_idx_save);
  cells.cell_idx_save.clear();
  cells.npar = cells.npar_save;
  cells.npar_save = 0;
  cells.all_active = false;
}

}  // namespace quelby
