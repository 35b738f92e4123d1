// The lines of a 2-D .dat file as its reader walks them: the title, then every line with text in
// order with a look ahead, and the values on a line. Values are separated by blanks, tabs or
// commas; a file written with decimal commas (told once for the whole file) has its values
// separated by blanks and tabs alone and its commas read as decimal marks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

// One line with text: its 1-based number in the file and its text without blanks at either end.
struct Dat2dLine {
  std::size_t number = 0;
  std::string_view text;
};

class Dat2dLines {
 public:
  // Reads every line of `source` through `lines` (both must outlive this object). Stops, naming the
  // line, where the file uses the comma both as a decimal mark and between values.
  Dat2dLines(FieldLines& lines, const FieldSource& source);

  // The first line of the file, whatever it holds.
  std::string_view title() const noexcept { return title_; }
  // Whether every line with text has been taken.
  bool at_end() const noexcept { return at_ >= lines_.size(); }
  // The lines with text not yet taken.
  std::size_t left() const noexcept { return lines_.size() - at_; }
  // The next line with text, without taking it; at_end() must be false.
  const Dat2dLine& peek() const { return lines_[at_]; }
  // The next line with text, taken; at_end() must be false.
  const Dat2dLine& take() { return lines_[at_++]; }
  // The next line with text, taken, or the stop "the file ends where WHAT was expected".
  const Dat2dLine& require(std::string_view what);

  // Whether `line` starts like a number (a digit, a sign or a decimal mark).
  static bool numeric(const Dat2dLine& line);
  // Whether the file ends inside `line`: it is the last line and ends without a line end right
  // after its last character, so that its last number may be cut.
  bool cut_by_the_end(const Dat2dLine& line) const;

  // Whether `line` holds only zeros ("0", "0,0,0,0"): the format's end marks.
  static bool only_zeros(const Dat2dLine& line);
  // Whether `text` is one value "d,d" that the file reads as two values: where a line holds one
  // value, its comma may be a decimal mark that nothing else in the file shows.
  bool two_values_or_one(std::string_view text) const;

  // Whether the file's commas are decimal marks, and the first line that shows it (0 if none).
  bool decimal_comma() const noexcept { return decimal_comma_; }
  std::size_t decimal_comma_line() const noexcept { return decimal_comma_line_; }

  // The values of `text`, split as the file's decimal mark wants.
  std::vector<std::string_view> values(std::string_view text) const;
  // `token` as a number with the file's decimal mark; false for anything else.
  bool number(std::string_view token, double& value) const;

  // The stop "Error reading the field data file NAME, line N: WHAT" (no line for 0).
  [[noreturn]] void fail_at(std::size_t line, std::string_view what) const {
    file_.fail_at(line, what);
  }

 private:
  void tell_the_decimal_mark();

  FieldLines& file_;
  std::string_view title_;
  std::vector<Dat2dLine> lines_;
  std::size_t at_ = 0;
  const char* end_ = nullptr;        // the end of the file's bytes
  std::size_t last_line_ = 0;        // the number of the file's last line
  bool ends_with_line_end_ = false;  // the file's last line ends with LF or CR
  bool decimal_comma_ = false;
  std::size_t decimal_comma_line_ = 0;
};

}  // namespace quelby
