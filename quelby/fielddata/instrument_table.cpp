#include "quelby/fielddata/instrument_table.hpp"

#include <algorithm>

#include "quelby/base/read_detail.hpp"

namespace quelby {

namespace {

char delimiter_of(std::string_view header) {
  if (header.find('\t') != std::string_view::npos) return '\t';
  if (header.find(';') != std::string_view::npos) return ';';
  if (header.find(',') != std::string_view::npos) return ',';
  return ' ';
}

TableColumn column_of(std::string_view name) {
  TableColumn column;
  name = trim_blanks(name);
  const std::size_t open = name.find('(');
  std::string_view key = name.substr(0, open);
  if (open != std::string_view::npos) {
    const std::size_t close = name.find(')', open);
    column.unit = lower_case(trim_blanks(name.substr(
        open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1)));
  }
  column.key = lower_case(trim_blanks(key));
  return column;
}

}  // namespace

std::vector<TableColumn> table_columns(std::string_view line) {
  std::vector<TableColumn> columns;
  for (const std::string_view name : split_fields(line, delimiter_of(line))) {
    columns.push_back(column_of(name));
  }
  return columns;
}

bool names_column(std::string_view line, std::string_view key, std::string_view unit) {
  for (const TableColumn& column : table_columns(line)) {
    if (column.key == key && column.unit == unit) return true;
  }
  return false;
}

InstrumentTable::InstrumentTable(FieldLines& lines, std::string_view header_key) : lines_(lines) {
  std::string_view header;
  if (!lines.next_with_text(header)) lines.fail_at(0, "the file holds no header line");
  if (!header_key.empty()) {
    // "a(x)": the key before the parenthesis, the unit inside it.
    const std::size_t open = header_key.find('(');
    const std::string_view key = header_key.substr(0, open);
    const std::string_view unit = header_key.substr(open + 1, header_key.size() - open - 2);
    std::string_view first = header;
    const std::size_t first_number = lines.line_number();
    while (!names_column(header, key, unit)) {
      if (lines.line_number() >= 1000 || !lines.next_with_text(header)) {
        // No header below: the first line is the header, and its reader says what it lacks.
        lines.fail_at(first_number, "no line among the first 1000 names the column " +
                                        std::string(header_key) +
                                        " (first line: " + quoted_text(first) + ")");
      }
      ++preamble_lines_;
    }
  }
  delimiter_ = delimiter_of(header);
  // Decimal commas only where commas cannot be the delimiter.
  decimal_comma_ = delimiter_ == ';' || delimiter_ == '\t';
  for (const std::string_view name : split_fields(header, delimiter_)) {
    names_.emplace_back(trim_blanks(name));
    columns_.push_back(column_of(name));
    if (!names_.back().empty()) required_fields_ = names_.size();
  }
}

std::optional<std::size_t> InstrumentTable::find(
    std::initializer_list<std::string_view> keys) const {
  for (const std::string_view key : keys) {
    const auto at = std::find_if(columns_.begin(), columns_.end(),
                                 [&](const TableColumn& column) { return column.key == key; });
    if (at != columns_.end()) return static_cast<std::size_t>(at - columns_.begin());
  }
  return std::nullopt;
}

std::optional<std::size_t> InstrumentTable::find_with_unit(std::string_view key,
                                                           std::string_view unit) const {
  const auto at = std::find_if(columns_.begin(), columns_.end(), [&](const TableColumn& column) {
    return column.key == key && column.unit == unit;
  });
  if (at == columns_.end()) return std::nullopt;
  return static_cast<std::size_t>(at - columns_.begin());
}

bool InstrumentTable::next_row(std::vector<std::string_view>& fields) {
  std::string_view line;
  while (lines_.next_with_text(line)) {
    row_.clear();
    if (line.find('"') == std::string_view::npos) {
      for (const std::string_view field : split_fields(line, delimiter_)) row_.emplace_back(field);
    } else {
      // Quoted fields: a delimiter inside quotes is text; "" is a quote.
      std::string field;
      bool quoted = false, was_quoted = false;
      const auto finish = [&] {
        if (delimiter_ == ' ' && !was_quoted && trim_blanks(field).empty()) {
          field.clear();
          return;
        }
        std::string text(trim_blanks(field));
        if (was_quoted && delimiter_ == ',') {
          // A quoted "1,5" in a comma table is a number with a decimal comma.
          std::string dotted = text;
          for (char& c : dotted) c = c == ',' ? '.' : c;
          double value = 0;
          if (text.find(',') != std::string::npos && field_number(dotted, value)) text = dotted;
        }
        row_.push_back(std::move(text));
        field.clear();
        was_quoted = false;
      };
      for (std::size_t k = 0; k < line.size(); ++k) {
        const char c = line[k];
        if (c == '"') {
          if (quoted && k + 1 < line.size() && line[k + 1] == '"') {
            field += '"';
            ++k;
          } else {
            quoted = !quoted;
            was_quoted = true;
          }
        } else if (!quoted && (c == delimiter_ || (delimiter_ == ' ' && c == '\t'))) {
          finish();
        } else {
          field += c;
        }
      }
      if (quoted) lines_.fail("a quoted field is not closed on its line");
      finish();
    }
    if (delimiter_ == ' ' && row_.size() > columns_.size() && !columns_.empty()) {
      // A blank-separated export whose first field is text of several words ("Mixed / non
      // conventional" as the array's name): the words before the first number are one field.
      double number = 0;
      if (!field_number(row_[0], number)) {
        while (row_.size() > columns_.size() && row_.size() > 1 && !field_number(row_[1], number)) {
          row_[0] += " " + row_[1];
          row_.erase(row_.begin() + 1);
        }
      }
    }
    if (row_.size() < required_fields_) {
      if (short_rows_++ == 0) first_short_row_ = lines_.line_number();
      continue;
    }
    fields.assign(row_.begin(), row_.end());
    return true;
  }
  return false;
}

std::optional<double> InstrumentTable::number(const std::vector<std::string_view>& fields,
                                              std::optional<std::size_t> column) const {
  if (!column || *column >= fields.size()) return std::nullopt;
  double value = 0;
  if (!field_number(fields[*column], value, decimal_comma_)) return std::nullopt;
  return value;
}

double InstrumentTable::required(const std::vector<std::string_view>& fields,
                                 std::size_t column) const {
  if (column >= fields.size()) {
    lines_.fail("the line has no field for the column " + quoted_text(names_[column]));
  }
  double value = 0;
  if (!field_number(fields[column], value, decimal_comma_)) {
    lines_.fail("the " + quoted_text(names_[column]) + " field " + quoted_text(fields[column]) +
                " is not a finite number");
  }
  return value;
}

}  // namespace quelby
