#include "mesh/model.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/atomic_output.hpp"
#include "base/fixed_format.hpp"
#include "base/free_format.hpp"
#include "base/parallel.hpp"
#include "base/stops.hpp"

namespace quelby {

void read_model(const Io& io, const Mesh& mesh, std::string_view name, std::string_view label,
                Model& model) {
  const std::string file_name(trim_trailing_blanks(name));
  const std::string_view model_label = trim_trailing_blanks(label);
  InputFile file;
  open_or_require(io, file, model_label, file_name);

  const auto read_error = [&] {
    std::string text = "\nError reading ";
    text += model_label;
    text += " model file ";
    text += file_name;
    text += '\n';
    stop_with(io, Order::console_then_log, text);
  };

  std::int32_t columns = 0;
  std::int32_t rows = 0;
  if (!read_items(file, {columns, rows}).ok()) read_error();
  if (columns != mesh.nx || rows != mesh.nz) {
    stop_with(io, Order::console_then_log,
              "\nError: inconsistent dimension in " + file_name + "\n");
  }
  const std::size_t count = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  if (model.size() < count) internal_check_failed(io, "model smaller than the mesh");
  if (!read_reals(file, model.values().first(count)).ok()) read_error();
  file.close();

  std::string line(model_label);
  line += " was read from file: ";
  line += file_name;
  line += '\n';
  write_message(io, Order::log_only, line);
}

namespace {

// Rows are formatted in blocks of about this many bytes, the block's rows in parallel.
constexpr std::size_t write_block_bytes = std::size_t{1} << 21;

}  // namespace

void write_model(const Io& io, const Mesh& mesh, std::string_view name, const Model& model) {
  const std::string file_name(trim_trailing_blanks(name));
  const auto fail = [&](int error) {
    const std::string text =
        "Error: cannot write the model file " + file_name + ": " + std::strerror(error) + "\n";
    io.error << text << std::flush;
    throw Stop(text, exit_failure);
  };
  const std::size_t nx = static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = static_cast<std::size_t>(mesh.nz);
  if (model.size() < nx * nz) internal_check_failed(io, "model smaller than the mesh");

  AtomicOutput output(file_name);
  if (const int error = output.create()) fail(error);

  char header[11];
  format_i5(mesh.nx, header);
  format_i5(mesh.nz, header + 5);
  header[10] = '\n';
  if (const int error = output.write(header, sizeof header)) fail(error);

  const std::size_t row_bytes = nx * e13_5_width + 1;
  const std::size_t rows_per_block =
      row_bytes >= write_block_bytes ? 1 : write_block_bytes / row_bytes;
  std::vector<char> block;
  try {
    block.resize(row_bytes * (rows_per_block < nz ? rows_per_block : nz));
  } catch (const std::bad_alloc&) {
    out_of_memory_stop(io);
  }
  const double* const values = model.data();
  for (std::size_t first = 0; first < nz; first += rows_per_block) {
    const std::size_t rows = nz - first < rows_per_block ? nz - first : rows_per_block;
    char* const out = block.data();
    const auto format_row = [&](std::size_t r) {
      char* field = out + r * row_bytes;
      const double* row = values + (first + r) * nx;
      for (std::size_t i = 0; i < nx; ++i, field += e13_5_width) format_e13_5(row[i], field);
      *field = '\n';
    };
    if (rows > 1) {
      parallel_for(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(16384 / nx + 1),
                   [&](std::int64_t begin, std::int64_t end) {
                     for (std::int64_t r = begin; r < end; ++r)
                       format_row(static_cast<std::size_t>(r));
                   });
    } else {
      // One long row: split its fields between the threads instead.
      const double* row = values + first * nx;
      parallel_for(static_cast<std::int64_t>(nx), 4096, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) format_e13_5(row[i], out + i * e13_5_width);
      });
      out[nx * e13_5_width] = '\n';
    }
    if (const int error = output.write(out, rows * row_bytes)) fail(error);
  }
  if (const int error = output.commit()) fail(error);
}

}  // namespace quelby
