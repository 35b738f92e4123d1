#include "quelby/base/reader_frame.hpp"

#include <cmath>
#include <utility>

#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

std::size_t item_count(std::initializer_list<ReadItem> items) {
  std::size_t count = 0;
  for (const ReadItem& item : items) count += item.count();
  return count;
}

bool all_finite(std::initializer_list<ReadItem> items) {
  for (const ReadItem& item : items) {
    if (item.kind() != ReadItem::Kind::real) continue;
    for (std::size_t k = 0; k < item.count(); ++k) {
      if (!std::isfinite(item.reals()[k])) return false;
    }
  }
  return true;
}

}  // namespace

void open_or_require(const Io& io, InputFile& file, std::string_view label, std::string_view name) {
  const std::string path(trim_trailing_blanks(name));
  if (!file.open(path)) require_file(io, label, path);
}

ReaderFrame::ReaderFrame(const Io& io, std::string_view label, std::string_view name)
    : io_(io), name_(trim_trailing_blanks(name)), file_(own_file_) {
  open_or_require(io_, file_, label, name_);
}

ReaderFrame::ReaderFrame(const Io& io, InputFile& file, std::string_view name)
    : io_(io), name_(trim_trailing_blanks(name)), file_(file) {}

void ReaderFrame::set_read_error(Order order, std::string text, DetailWords words) {
  read_error_order_ = order;
  read_error_text_ = std::move(text);
  words_ = words;
}

void ReaderFrame::read(std::initializer_list<ReadItem> items) {
  if (const ReadStatus status = read_items(file_, items); !status.ok()) {
    refuse(status, item_count(items));
  }
}

void ReaderFrame::read_finite(std::initializer_list<ReadItem> items, std::string_view what) {
  read(items);
  if (!all_finite(items)) read_error(detail(std::string(what) + " that is not a finite number"));
}

void ReaderFrame::read_mesh_counts(std::int32_t nx, std::int32_t nz, Order order,
                                   std::string_view text) {
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  read({columns, rows});
  if (columns != nx || rows != nz) {
    stop(order, text, counts_detail(columns, rows, "the mesh has", nx, nz));
  }
}

std::string ReaderFrame::detail(std::string_view what) const {
  return line_detail(name_, line(), what);
}

std::string ReaderFrame::file_detail(std::string_view what) const {
  return line_detail(name_, 0, what);
}

std::string ReaderFrame::read_detail(const ReadStatus& status, std::size_t expected) const {
  return quelby::read_detail(name_, line(), status, expected, words_);
}

std::string ReaderFrame::counts_detail(long long first, long long second, std::string_view against,
                                       long long expected_first, long long expected_second) const {
  return quelby::counts_detail(name_, line(), first, second, against, expected_first,
                               expected_second);
}

void ReaderFrame::read_error(std::string detail) const {
  stop(read_error_order_, read_error_text_, std::move(detail));
}

void ReaderFrame::refuse(const ReadStatus& status, std::size_t expected) const {
  read_error(read_detail(status, expected));
}

void ReaderFrame::stop(Order order, std::string_view text, std::string detail) const {
  stop_with(io_, order, text, exit_failure, std::move(detail));
}

void ReaderFrame::log_read(std::string_view before, std::string_view after) {
  file_.close();
  std::string line(before);
  line += name_;
  line += after;
  write_message(io_, Order::log_only, line);
}

}  // namespace quelby
