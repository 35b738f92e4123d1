// The tables instruments export: one header line of column names (the unit in parentheses, as in
// "VMN (mV)"), then one line per reading, the fields separated by tabs, semicolons or commas (a
// semicolon or tab table may write decimal commas). The Syscal Pro and Terrameter LS readers
// name the columns they read; this module finds them and reads their numbers.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/fielddata/field_lines.hpp"

namespace quelby {

struct TableColumn {
  std::string key;   // the name without its unit, lower case, blanks inside kept: "vmn", "dev. rho"
  std::string unit;  // the unit in parentheses, lower case ("mv"), or empty
};

class InstrumentTable {
 public:
  // Reads the header line (the first line with text) of `lines`; with `header_key`, the first
  // line among the first 1000 with text that names that column (as "a(x)"), the lines before it
  // (an instrument's preamble) skipped and counted in preamble_lines.
  explicit InstrumentTable(FieldLines& lines, std::string_view header_key = {});
  std::size_t preamble_lines() const noexcept { return preamble_lines_; }

  char delimiter() const noexcept { return delimiter_; }
  const std::vector<TableColumn>& columns() const noexcept { return columns_; }
  // The 0-based column whose key is one of `keys`, in the order given; none when absent.
  std::optional<std::size_t> find(std::initializer_list<std::string_view> keys) const;
  // The 0-based column of key `key` and unit `unit` ("A(x)": key "a", unit "x"); none when absent.
  std::optional<std::size_t> find_with_unit(std::string_view key, std::string_view unit) const;
  // The unit of column `column` (lower case), or empty.
  const std::string& unit(std::size_t column) const { return columns_[column].unit; }
  // The name of column `column` as the header writes it.
  const std::string& name(std::size_t column) const { return names_[column]; }

  // The next reading line's fields; false at the end of the file. Blank lines are skipped, and
  // so are rows with fewer fields than the header names columns (a row cut short: counted in
  // short_rows). A field in double quotes may hold the delimiter; its quotes are removed and a
  // comma in a quoted number is its decimal comma. The views stay valid until the next call.
  bool next_row(std::vector<std::string_view>& fields);
  // The rows next_row skipped as cut short, and the 1-based line of the first.
  std::size_t short_rows() const noexcept { return short_rows_; }
  std::size_t first_short_row() const noexcept { return first_short_row_; }
  // The number in column `column` of the row last read: nothing for an empty field, a missing
  // column or a text that is no finite number ("-", "*", "NaN").
  std::optional<double> number(const std::vector<std::string_view>& fields,
                               std::optional<std::size_t> column) const;
  // The same, but a field that is missing or no number stops the reading naming the column.
  double required(const std::vector<std::string_view>& fields, std::size_t column) const;

  FieldLines& lines() noexcept { return lines_; }

 private:
  FieldLines& lines_;
  char delimiter_ = '\t';
  bool decimal_comma_ = false;
  std::vector<TableColumn> columns_;
  std::vector<std::string> names_;   // as written, for messages
  std::size_t required_fields_ = 0;  // up to the last column with a name
  std::size_t short_rows_ = 0, first_short_row_ = 0;
  std::size_t preamble_lines_ = 0;
  std::vector<std::string> row_;  // the fields of the row last read
};

// The header's columns as `InstrumentTable` would read them, for format detection: the keys of
// the header line `line`.
std::vector<TableColumn> table_columns(std::string_view line);

// Whether `line` names the column `key` with `unit` ("a", "x" for A(x)), as a header would.
bool names_column(std::string_view line, std::string_view key, std::string_view unit);

}  // namespace quelby
