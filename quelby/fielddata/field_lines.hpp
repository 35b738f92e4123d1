// A field data file line by line, and the fields and numbers of a line: every reader of the import
// formats walks its file's bytes (field_source.hpp) through FieldLines and stops through it with a
// message that names the file and the line. A line ends at LF, CR LF or a lone CR.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/fielddata/field_source.hpp"

namespace quelby {

class FieldLines {
 public:
  // The longest line a field file may hold.
  static constexpr std::size_t longest_line = std::size_t{1} << 20;

  // Reads `name` whole (read_field_source) and walks it.
  FieldLines(const Io& io, std::string_view name);
  // Walks `source`, which must outlive this object.
  FieldLines(const Io& io, const FieldSource& source);
  FieldLines(const FieldLines&) = delete;
  FieldLines& operator=(const FieldLines&) = delete;

  const Io& io() const noexcept { return io_; }
  const std::string& name() const noexcept { return name_; }
  // The 1-based number of the line last handed out; 0 before the first.
  std::size_t line_number() const noexcept { return number_; }

  // The next line, whole, without its line end; false at the end of the file. A line longer than
  // longest_line stops. The view stays valid as long as the source.
  bool next(std::string_view& line);
  // The next line that holds more than blanks (and, with `comment`, more than a comment from
  // that character on, which is cut off).
  bool next_with_text(std::string_view& line, char comment = '\0');

  // "Error reading the field data file NAME, line N: WHAT" (line 0: without the line), console
  // then run log, with the detail "NAME:N: what"; throws Stop.
  [[noreturn]] void fail(std::string_view what) const { fail_at(number_, what); }
  [[noreturn]] void fail_at(std::size_t line, std::string_view what) const;

 private:
  const Io& io_;
  FieldSource owned_;  // the file read by the first constructor
  std::string name_;
  std::string_view text_;
  std::size_t at_ = 0;  // where the next line starts in text_
  std::size_t number_ = 0;
};

// The first `count` lines of `bytes` at most (LF, CR LF or a lone CR ending each), each cut after
// `longest` characters: what format detection looks at. Never stops, whatever the bytes hold.
std::vector<std::string_view> first_lines(std::string_view bytes, std::size_t count,
                                          std::size_t longest = 4096);

// The fields of `line`: with `delimiter` ' ' the runs of characters between blanks and tabs;
// with ',', ';' or '\t' the texts between two delimiters, blanks around each cut off (two
// delimiters in a row give an empty field).
std::vector<std::string_view> split_fields(std::string_view line, char delimiter);

// `text` without blanks and tabs at either end.
std::string_view trim_blanks(std::string_view text);

// `text` without what follows its first `comment` character (the character too).
std::string_view cut_comment(std::string_view text, char comment);

// A number of a field file: optional sign, digits with a decimal point (or, with
// `decimal_comma`, a decimal comma), optional exponent (E, e, D or d). True with its value for
// a finite number; false for anything else, an empty field, NaN and infinities included.
bool field_number(std::string_view token, double& value, bool decimal_comma = false);
// A whole number that fits 32 bits, optionally signed.
bool field_integer(std::string_view token, std::int32_t& value);

// Lower-case ASCII copy of `text`.
std::string lower_case(std::string_view text);

}  // namespace quelby
