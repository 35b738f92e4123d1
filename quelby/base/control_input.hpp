// Line helpers for line-oriented control and data files: a fixed-length line buffer, the fetch of
// the next line that carries data (comment and blank lines skipped), cutting an end-of-line
// comment, and taking a file name from a control line. They hold no state.
//
// Blanks: wherever these helpers speak of blank text (a blank line, trailing blanks), a tab counts
// as a blank by the one rule of base/blanks.hpp; padding is always with spaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quelby/base/blanks.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"

namespace quelby {

// A caller's line of a fixed length: a shorter line is blank-padded, a longer one cut. Assigning
// costs the length of the new and the previous contents, not the buffer's length.
class LineBuffer {
 public:
  explicit LineBuffer(std::size_t length) : text_(length, ' ') {}

  std::size_t length() const noexcept { return text_.size(); }
  // All `length` characters, blank-padded.
  std::string_view text() const noexcept { return text_; }
  // The characters up to the end of what was last assigned (a shorter view of the same text: the
  // rest is blanks, which free-format reads treat as the record end does).
  std::string_view content() const noexcept { return std::string_view(text_).substr(0, used_); }
  // The text without its trailing blanks and tabs, as messages echo a line.
  std::string_view trimmed() const noexcept;
  // True when every character is a blank or a tab.
  bool is_blank() const noexcept { return trimmed().empty(); }

  void assign(std::string_view line) noexcept;
  // Adds `more` after what was last assigned, as far as the length allows.
  void append(std::string_view more) noexcept;
  // Blanks the characters from `position` (0-based) to the end.
  void blank_from(std::size_t position) noexcept;

 private:
  std::string text_;
  std::size_t used_ = 0;  // characters past this one are known to be blanks
};

// Reads the next record of `source` into `line` (cut or blank-padded; a record that comes in
// pieces is put together as far as the line's length, the rest passed over by the next read).
// False at the end of the input, `line` then unchanged.
bool next_line(RecordSource& source, LineBuffer& line);

// Reads lines of `source` into `line` until one carries data: a line whose first character is "!"
// or "%", or that is entirely blank, is skipped. Adds 1 to `*counter` (when given) before every
// read, so a read that meets the end is counted too. False at the end of the input; `line` then
// keeps the last line that was read.
bool next_data_line(RecordSource& source, LineBuffer& line, std::int32_t* counter = nullptr);

// Blanks the first "!" of `line` and everything after it; a line without "!" is left unchanged.
void strip_comment(LineBuffer& line) noexcept;

// Takes the whole of `control_line` into `file_name` (cut or blank-padded) and sets `found` to
// true when a file of that name (trailing blanks removed) exists. Otherwise writes, console then
// run log, "Error: <label> file does not exist:" and the name, and sets `found` to false; a
// control line that holds no name at all (blank) gives "Error: expecting <label> file." instead.
// Never stops: the caller decides what a false flag means.
void read_input_file_name(const Io& io, std::string_view label, std::string_view control_line,
                          LineBuffer& file_name, bool& found);

}  // namespace quelby
