// The frame every file reader shares: the name of its file (trailing blanks removed once), the open
// input file, the message a failed read stops with, the detail line of each refusal (the line last
// read, the counts found against those expected) and the closing "... was read from ..." log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/read_detail.hpp"

namespace quelby {

// Opens `name` (trailing blanks removed) for reading, or calls require_file with `label`.
void open_or_require(const Io& io, InputFile& file, std::string_view label, std::string_view name);

class ReaderFrame {
 public:
  // Opens the file `name`; when it cannot be opened, stops through require_file with `label`.
  ReaderFrame(const Io& io, std::string_view label, std::string_view name);
  // Frames `file`, opened by the caller, who keeps it.
  ReaderFrame(const Io& io, InputFile& file, std::string_view name);
  ReaderFrame(const ReaderFrame&) = delete;
  ReaderFrame& operator=(const ReaderFrame&) = delete;

  const Io& io() const noexcept { return io_; }
  // The file's name without its trailing blanks, as every message and detail shows it.
  const std::string& name() const noexcept { return name_; }
  InputFile& file() noexcept { return file_; }
  const InputFile& file() const noexcept { return file_; }
  // The 1-based number of the line last read; 0 before the first.
  std::size_t line() const noexcept { return file_.record_number(); }

  // The message a failed read stops with (written in `order`) and the words of its detail.
  void set_read_error(Order order, std::string text, DetailWords words = DetailWords::readers);

  // Reads `items` from the next line on; a failed read stops with the read error.
  void read(std::initializer_list<ReadItem> items);
  // The same, and then every real item must be a finite number, else the read error's detail
  // says "<what> that is not a finite number".
  void read_finite(std::initializer_list<ReadItem> items, std::string_view what);

  // Reads the two counts of a cell file's header, which must be `nx` and `nz`: other counts
  // write `text` in `order` and stop with their detail ("4 x 3 cells, the mesh has 5 x 3").
  void read_mesh_counts(std::int32_t nx, std::int32_t nz, Order order, std::string_view text);

  // "name:line: what" for the line last read.
  std::string detail(std::string_view what) const;
  // "name: what" for the file as a whole.
  std::string file_detail(std::string_view what) const;
  // The detail of a failed read of `expected` items that ended on the line last read.
  std::string read_detail(const ReadStatus& status, std::size_t expected) const;
  // "4 x 3 cells, <against> 5 x 3" for the line last read.
  std::string counts_detail(long long first, long long second, std::string_view against,
                            long long expected_first, long long expected_second) const;

  // Stops with the read error and `detail`.
  [[noreturn]] void read_error(std::string detail) const;
  // Stops with the read error of a failed read of `expected` items.
  [[noreturn]] void refuse(const ReadStatus& status, std::size_t expected) const;
  // Writes `text` in `order`, then stops with `detail`.
  [[noreturn]] void stop(Order order, std::string_view text, std::string detail = {}) const;

  void close() noexcept { file_.close(); }
  // Closes the file and writes `before`, the name and `after` to the run log.
  void log_read(std::string_view before, std::string_view after = "\n");

 private:
  const Io& io_;
  std::string name_;
  InputFile own_file_;
  InputFile& file_;
  Order read_error_order_ = Order::console_then_log;
  std::string read_error_text_;
  DetailWords words_ = DetailWords::readers;
};

}  // namespace quelby
