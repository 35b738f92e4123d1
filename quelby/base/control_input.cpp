#include "quelby/base/control_input.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <string>

namespace quelby {

std::string_view LineBuffer::trimmed() const noexcept {
  return trim_trailing_blanks(content());
}

void LineBuffer::assign(std::string_view line) noexcept {
  const std::size_t kept = std::min(line.size(), text_.size());
  std::copy_n(line.data(), kept, text_.data());
  if (kept < used_)
    std::fill(text_.begin() + static_cast<std::ptrdiff_t>(kept),
              text_.begin() + static_cast<std::ptrdiff_t>(used_), ' ');
  used_ = kept;
}

void LineBuffer::append(std::string_view more) noexcept {
  const std::size_t kept = std::min(more.size(), text_.size() - used_);
  std::copy_n(more.data(), kept, text_.data() + used_);
  used_ += kept;
}

void LineBuffer::blank_from(std::size_t position) noexcept {
  if (position >= used_) return;
  std::fill(text_.begin() + static_cast<std::ptrdiff_t>(position),
            text_.begin() + static_cast<std::ptrdiff_t>(used_), ' ');
  used_ = position;
}

bool next_line(RecordSource& source, LineBuffer& line) {
  std::string_view piece;
  if (!source.next_record(piece)) return false;
  line.assign(piece);
  while (source.continues() && line.content().size() < line.length() && source.next_piece(piece)) {
    line.append(piece);
  }
  return true;
}

bool next_data_line(RecordSource& source, LineBuffer& line, std::int32_t* counter) {
  for (;;) {
    if (counter != nullptr) ++*counter;
    if (!next_line(source, line)) return false;
    const std::string_view text = line.text();
    if (line.is_blank() || text[0] == '!' || text[0] == '%') continue;
    return true;
  }
}

void strip_comment(LineBuffer& line) noexcept {
  const std::size_t mark = line.content().find('!');
  if (mark != std::string_view::npos) line.blank_from(mark);
}

void read_input_file_name(const Io& io, std::string_view label, std::string_view control_line,
                          LineBuffer& file_name, bool& found) {
  found = true;
  file_name.assign(control_line);
  const std::string_view trimmed_label = trim_trailing_blanks(label);
  const std::string_view name = trim_trailing_blanks(file_name.text());
  if (file_name.is_blank()) {
    std::string text = "\nError: expecting ";
    text += trimmed_label;
    text += " file.\n";
    write_message(io, Order::console_then_log, text);
    found = false;
    return;
  }
  struct stat status {};
  if (::stat(std::string(name).c_str(), &status) != 0) {
    std::string text = "\nError: ";
    text += trimmed_label;
    text += " file does not exist:\n";
    text += name;
    text += '\n';
    write_message(io, Order::console_then_log, text);
    found = false;
  }
}

}  // namespace quelby
