#include "quelby/fielddata/field_lines.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

FieldLines::FieldLines(const Io& io, std::string_view name)
    : io_(io), owned_(read_field_source(io, name)), name_(owned_.name), text_(owned_.bytes) {}

FieldLines::FieldLines(const Io& io, const FieldSource& source)
    : io_(io), name_(source.name), text_(source.bytes) {}

bool FieldLines::next(std::string_view& line) {
  if (at_ >= text_.size()) return false;
  ++number_;
  const std::size_t end = text_.find_first_of("\r\n", at_);
  const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
  if (stop - at_ > longest_line) {
    fail("a line longer than " + std::to_string(longest_line) + " characters");
  }
  line = text_.substr(at_, stop - at_);
  at_ = stop;
  if (at_ < text_.size()) {
    // CR LF is one line end; a lone CR or LF is one too.
    at_ += text_[at_] == '\r' && at_ + 1 < text_.size() && text_[at_ + 1] == '\n' ? 2 : 1;
  }
  return true;
}

bool FieldLines::next_with_text(std::string_view& line, char comment) {
  while (next(line)) {
    if (comment != '\0') line = cut_comment(line, comment);
    if (!trim_blanks(line).empty()) return true;
  }
  return false;
}

void FieldLines::fail_at(std::size_t line, std::string_view what) const {
  std::string text = "\nError reading the field data file " + name_;
  if (line > 0) text += ", line " + std::to_string(line);
  text += ": ";
  text += what;
  text += '\n';
  stop_with(io_, Order::console_then_log, text, exit_failure, line_detail(name_, line, what));
}

std::vector<std::string_view> first_lines(std::string_view bytes, std::size_t count,
                                          std::size_t longest) {
  std::vector<std::string_view> lines;
  std::size_t at = 0;
  while (lines.size() < count && at < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", at);
    const std::size_t stop = end == std::string_view::npos ? bytes.size() : end;
    lines.push_back(bytes.substr(at, std::min(stop - at, longest)));
    at = stop;
    if (at < bytes.size()) {
      at += bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n' ? 2 : 1;
    }
  }
  return lines;
}

std::string_view trim_blanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view cut_comment(std::string_view text, char comment) {
  const std::size_t at = text.find(comment);
  return at == std::string_view::npos ? text : text.substr(0, at);
}

std::vector<std::string_view> split_fields(std::string_view line, char delimiter) {
  std::vector<std::string_view> fields;
  if (delimiter == ' ') {
    std::size_t at = 0;
    while (at < line.size()) {
      while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
      if (at == line.size()) break;
      const std::size_t begin = at;
      while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
      fields.push_back(line.substr(begin, at - begin));
    }
    return fields;
  }
  std::size_t begin = 0;
  while (true) {
    const std::size_t end = line.find(delimiter, begin);
    fields.push_back(trim_blanks(
        line.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin)));
    if (end == std::string_view::npos) break;
    begin = end + 1;
  }
  return fields;
}

bool field_number(std::string_view token, double& value, bool decimal_comma) {
  token = trim_blanks(token);
  if (token.empty() || token.size() > 64) return false;
  // Only signs, digits, one decimal mark and an exponent: NaN, Inf, repeat counts and slashes
  // are no numbers of a field file.
  std::string text(token);
  for (char& c : text) {
    if (decimal_comma && c == ',') c = '.';
    const bool allowed = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' ||
                         c == 'E' || c == 'd' || c == 'D';
    if (!allowed) return false;
  }
  double parsed = 0;
  if (parse_real(text, parsed) != ReadErrorKind::none || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool field_integer(std::string_view token, std::int32_t& value) {
  token = trim_blanks(token);
  if (token.empty()) return false;
  std::int32_t parsed = 0;
  if (parse_integer(token, parsed) != ReadErrorKind::none) return false;
  value = parsed;
  return true;
}

std::string lower_case(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace quelby
