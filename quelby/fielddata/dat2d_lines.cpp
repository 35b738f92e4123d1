#include "quelby/fielddata/dat2d_lines.hpp"

#include <string>

#include "quelby/base/read_detail.hpp"

namespace quelby {

namespace {

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// Blanks, tabs and the characters some old editors leave at the end of a file.
bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\x1a';
}

std::string_view without_blanks(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// What the commas of a line that starts like a number say about the file's decimal mark.
enum class CommaUse {
  none,       // no comma
  separator,  // commas between values: beside a decimal point, two in a value,
              // or at its edge
  decimal,    // commas between digits inside values that blanks or tabs separate
  either,     // one value "d,d": two values, or one with a decimal comma
};

CommaUse comma_use(std::string_view text) {
  if (text.find(',') == std::string_view::npos) return CommaUse::none;
  if (text.find('.') != std::string_view::npos) return CommaUse::separator;
  const auto tokens = split_fields(text, ' ');
  for (const std::string_view token : tokens) {
    const std::size_t comma = token.find(',');
    if (comma == std::string_view::npos) continue;
    if (token.find(',', comma + 1) != std::string_view::npos) return CommaUse::separator;
    if (comma == 0 || comma + 1 == token.size()) return CommaUse::separator;
    if (!digit(token[comma - 1]) || !digit(token[comma + 1])) return CommaUse::separator;
  }
  return tokens.size() > 1 ? CommaUse::decimal : CommaUse::either;
}

// A line of zeros ("0", "0,0,0,0", "0 0"): the format's end marks read the same with either decimal
// mark, so they tell nothing.
bool zeros_only(std::string_view text) {
  return text.find_first_not_of("0,. \t") == std::string_view::npos;
}

}  // namespace

Dat2dLines::Dat2dLines(FieldLines& lines, const FieldSource& source) : file_(lines) {
  std::string_view line;
  if (lines.next(line)) {
    title_ = line;
    last_line_ = 1;
  }
  while (lines.next(line)) {
    last_line_ = lines.line_number();
    const std::string_view text = without_blanks(line);
    if (!text.empty()) lines_.push_back({lines.line_number(), text});
  }
  const std::string& bytes = source.bytes;
  end_ = bytes.data() + bytes.size();
  ends_with_line_end_ = !bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r');
  tell_the_decimal_mark();
}

const Dat2dLine& Dat2dLines::require(std::string_view what) {
  if (at_end()) fail_at(0, "the file ends where " + std::string(what) + " was expected");
  return take();
}

bool Dat2dLines::numeric(const Dat2dLine& line) {
  if (line.text.empty()) return false;
  const char c = line.text.front();
  return digit(c) || c == '+' || c == '-' || c == '.' || c == ',';
}

bool Dat2dLines::cut_by_the_end(const Dat2dLine& line) const {
  if (line.number != last_line_ || ends_with_line_end_) return false;
  // The file's last bytes are this line's text, its last value ending the file.
  return line.text.data() + line.text.size() == end_;
}

std::vector<std::string_view> Dat2dLines::values(std::string_view text) const {
  if (decimal_comma_) return split_fields(text, ' ');
  std::vector<std::string_view> fields;
  for (const std::string_view piece : split_fields(text, ',')) {
    for (const std::string_view field : split_fields(piece, ' ')) fields.push_back(field);
  }
  return fields;
}

bool Dat2dLines::only_zeros(const Dat2dLine& line) {
  return numeric(line) && zeros_only(line.text);
}

bool Dat2dLines::two_values_or_one(std::string_view text) const {
  return !decimal_comma_ && comma_use(text) == CommaUse::either;
}

bool Dat2dLines::number(std::string_view token, double& value) const {
  return field_number(token, value, decimal_comma_);
}

void Dat2dLines::tell_the_decimal_mark() {
  std::size_t decimal = 0, point = 0, separator = 0;
  for (std::size_t k = 0; k < lines_.size(); ++k) {
    const Dat2dLine& line = lines_[k];
    if (!numeric(line) || zeros_only(line.text)) continue;
    CommaUse use = comma_use(line.text);
    // The first line after the title holds the unit spacing alone: "2,5" is one number.
    if (use == CommaUse::either && k == 0) use = CommaUse::decimal;
    if (use == CommaUse::decimal && decimal == 0) decimal = line.number;
    if (use == CommaUse::separator && separator == 0) separator = line.number;
    if (line.text.find('.') != std::string_view::npos && point == 0) point = line.number;
  }
  if (decimal == 0) return;
  const std::size_t other = separator != 0 ? separator : point;
  if (other != 0) {
    fail_at(decimal,
            "the comma of this line reads as a decimal mark, but line " + std::to_string(other) +
                (separator != 0 ? " uses commas between values" : " uses the decimal point") +
                ": the file is ambiguous; write it with one decimal mark");
  }
  decimal_comma_ = true;
  decimal_comma_line_ = decimal;
}

}  // namespace quelby
