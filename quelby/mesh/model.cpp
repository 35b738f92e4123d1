#include "quelby/mesh/model.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/huge_pages.hpp"
#include "quelby/base/parallel.hpp"
#include "quelby/base/parallel_reals.hpp"
#include "quelby/base/phase_timer.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Below this many values a model is read on one thread: splitting would cost more than it saves.
constexpr std::size_t parallel_read_min_values = std::size_t{1} << 16;

// Faults in the pages of `values` for writing, both threads taking a share of the huge pages: a
// fresh page is cleared by the kernel at its first touch, which the reader alone would otherwise
// pay page by page. A no-op for pages already there; nothing is written.
void populate_in_parallel(std::span<double> values) {
#if defined(__linux__)
  constexpr int populate_write = 23;  // MADV_POPULATE_WRITE (Linux 5.14), which older headers lack
  const auto begin = reinterpret_cast<std::uintptr_t>(values.data()) & ~(huge_page_bytes - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(values.data() + values.size());
  const auto chunks =
      static_cast<std::int64_t>((end - begin + huge_page_bytes - 1) / huge_page_bytes);
  parallel_for(chunks, 2, [&](std::int64_t first, std::int64_t last) {
    // Within the model: from its first element to its end, a whole page at most beyond each side.
    const std::uintptr_t from =
        std::max(begin + static_cast<std::uintptr_t>(first) * huge_page_bytes,
                 reinterpret_cast<std::uintptr_t>(values.data()) & ~std::uintptr_t{4095});
    const std::uintptr_t to =
        std::min(begin + static_cast<std::uintptr_t>(last) * huge_page_bytes, end);
    if (from < to) ::madvise(reinterpret_cast<void*>(from), to - from, populate_write);
  });
#else
  (void)values;
#endif
}

}  // namespace

void read_model(const Io& io, const Mesh& mesh, std::string_view name, std::string_view label,
                Model& model) {
  const std::string_view model_label = trim_trailing_blanks(label);
  ReaderFrame frame(io, model_label, name);
  frame.set_read_error(
      Order::console_then_log,
      "\nError reading " + std::string(model_label) + " model file " + frame.name() + "\n",
      DetailWords::model_file);

  frame.read_mesh_counts(mesh.nx, mesh.nz, Order::console_then_log,
                         "\nError: inconsistent dimension in " + frame.name() + "\n");
  const std::size_t count = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  if (model.size() < count) internal_check_failed(io, "model smaller than the mesh");
  // Large models on both cores when their text is a plain run of values; the sequential read
  // otherwise, which then also decides every message and detail.
  const std::span<double> values = model.values().first(count);
  InputFile& file = frame.file();
  const bool in_parallel = count >= parallel_read_min_values && parallel_thread_count() > 1;
  if (in_parallel) {
    phase_mark("allocate");
    populate_in_parallel(values);
    phase_mark("read");
  }
  const bool read_in_parallel =
      in_parallel &&
      read_plain_reals_in_parallel(file.descriptor(), file.next_record_offset(), values);
  if (!read_in_parallel) {
    if (const ReadStatus status = read_reals(file, values); !status.ok()) {
      frame.refuse(status, count);
    }
  }
  frame.log_read(std::string(model_label) + " was read from file: ");
}

namespace {

// Rows are formatted in blocks of about this many bytes, the block's rows in parallel.
constexpr std::size_t write_block_bytes = std::size_t{1} << 21;
// Written side by side, each thread's blocks are about this size (and the model at least this
// many values): small enough to stay in the cache between formatting and copying.
constexpr std::size_t parallel_block_bytes = std::size_t{1} << 19;
constexpr std::size_t parallel_write_min_values = std::size_t{1} << 16;

std::int64_t monotonic_ns() {
  timespec time{};
  ::clock_gettime(CLOCK_MONOTONIC, &time);
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

void write_model(const Io& io, const Mesh& mesh, std::string_view name, const Model& model) {
  const std::string file_name(trim_trailing_blanks(name));
  const auto fail = [&](int error) { write_failed(io, "model file", file_name, error); };
  const std::size_t nx = static_cast<std::size_t>(mesh.nx);
  const std::size_t nz = static_cast<std::size_t>(mesh.nz);
  if (model.size() < nx * nz) internal_check_failed(io, "model smaller than the mesh");

  AtomicOutput output(file_name);
  if (const int error = output.create()) fail(error);

  // Counts of 100000 and more do not fit their 5 columns; they are written in full instead of as
  // asterisks, which no reader could take back. A second count that fills its field (10000 and
  // more) gets a blank before it, or its digits would run on from the first count's.
  char header[2 * count_max_width + 2];
  std::size_t header_bytes = static_cast<std::size_t>(format_count(mesh.nx, header));
  char second[count_max_width];
  const auto second_bytes = static_cast<std::size_t>(format_count(mesh.nz, second));
  if (second[0] != ' ') header[header_bytes++] = ' ';
  std::memcpy(header + header_bytes, second, second_bytes);
  header_bytes += second_bytes;
  header[header_bytes++] = '\n';
  phase_mark("write");
  if (const int error = output.write(header, header_bytes)) fail(error);

  const std::size_t row_bytes = nx * e13_5_width + 1;
  const double* const values = model.data();
  const auto format_row = [&](std::size_t row, char* out) {
    const double* value = values + row * nx;
    for (std::size_t i = 0; i < nx; ++i, out += e13_5_width) format_e13_5(value[i], out);
    *out = '\n';
  };

  // Each thread formats its own share of the rows, block by block, and writes each block at its
  // place in the file, so that both the formatting and the copying into the page cache are split.
  const int threads = parallel_thread_count();
  if (output.allows_write_at() && threads > 1 && nz > 1 && row_bytes <= parallel_block_bytes &&
      nx * nz >= parallel_write_min_values) {
    const std::size_t rows_per_block = parallel_block_bytes / row_bytes;
    std::vector<std::vector<char>> blocks(static_cast<std::size_t>(threads));
    try {
      for (std::vector<char>& block : blocks)
        resize_with_huge_pages(block, row_bytes * std::min(rows_per_block, nz));
    } catch (const std::bad_alloc&) {
      out_of_memory_stop(io);
    }
    std::atomic<int> next_block{0};
    std::atomic<int> first_error{0};
    std::atomic<std::int64_t> format_ns{0};
    std::atomic<std::int64_t> write_ns{0};
    const bool timing = phase_timing();
    phase_mark("format");
    parallel_for(static_cast<std::int64_t>(nz), 2, [&](std::int64_t begin, std::int64_t end) {
      char* const out = blocks[static_cast<std::size_t>(next_block.fetch_add(1))].data();
      std::int64_t formatting = 0;
      std::int64_t writing = 0;
      for (auto first = static_cast<std::size_t>(begin); first < static_cast<std::size_t>(end);
           first += rows_per_block) {
        const std::size_t rows = std::min(rows_per_block, static_cast<std::size_t>(end) - first);
        const std::int64_t started = timing ? monotonic_ns() : 0;
        for (std::size_t r = 0; r < rows; ++r) format_row(first + r, out + r * row_bytes);
        const std::int64_t formatted = timing ? monotonic_ns() : 0;
        const int error = output.write_at(
            out, rows * row_bytes, static_cast<std::int64_t>(header_bytes + first * row_bytes));
        if (timing) {
          formatting += formatted - started;
          writing += monotonic_ns() - formatted;
        }
        if (error != 0) {
          int none = 0;
          first_error.compare_exchange_strong(none, error);
          break;
        }
      }
      format_ns += formatting;
      write_ns += writing;
    });
    if (timing && format_ns + write_ns > 0)
      phase_mark_split("rename", "write",
                       static_cast<double>(write_ns) / static_cast<double>(format_ns + write_ns));
    if (first_error != 0) fail(first_error);
  } else {
    const std::size_t rows_per_block =
        row_bytes >= write_block_bytes ? 1 : write_block_bytes / row_bytes;
    std::vector<char> block;
    try {
      resize_with_huge_pages(block, row_bytes * (rows_per_block < nz ? rows_per_block : nz));
    } catch (const std::bad_alloc&) {
      out_of_memory_stop(io);
    }
    for (std::size_t first = 0; first < nz; first += rows_per_block) {
      phase_mark("format");
      const std::size_t rows = nz - first < rows_per_block ? nz - first : rows_per_block;
      char* const out = block.data();
      if (rows > 1) {
        parallel_for(static_cast<std::int64_t>(rows), static_cast<std::int64_t>(16384 / nx + 1),
                     [&](std::int64_t begin, std::int64_t end) {
                       for (std::int64_t r = begin; r < end; ++r)
                         format_row(first + static_cast<std::size_t>(r), out + r * row_bytes);
                     });
      } else {
        // One long row: split its fields between the threads instead.
        const double* row = values + first * nx;
        parallel_for(static_cast<std::int64_t>(nx), 4096,
                     [&](std::int64_t begin, std::int64_t end) {
                       for (std::int64_t i = begin; i < end; ++i)
                         format_e13_5(row[i], out + i * e13_5_width);
                     });
        out[nx * e13_5_width] = '\n';
      }
      phase_mark("write");
      if (const int error = output.write(out, rows * row_bytes)) fail(error);
    }
  }
  phase_mark("rename");
  if (const int error = output.commit()) fail(error);
}

}  // namespace quelby
