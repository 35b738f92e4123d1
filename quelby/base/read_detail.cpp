#include "quelby/base/read_detail.hpp"

#include <charconv>
#include <cstdio>

namespace quelby {

namespace {

std::string values(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " value" : " values");
}

}  // namespace

// An internal read's record may hold line feeds, a file's line a carriage return, a control file's
// line a bell: none of them reaches the detail as it is.
std::string quoted_text(std::string_view token, std::size_t longest) {
  constexpr char digits[] = "0123456789ABCDEF";
  std::string text = "'";
  for (const char c : token.substr(0, longest)) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 0x20 || code == 0x7F) {
      text += "\\x";
      text += digits[code >> 4];
      text += digits[code & 15];
    } else {
      text += c;
    }
  }
  if (token.size() > longest) text += "...";
  text += "'";
  return text;
}

std::string format_significant(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

std::string shortest(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string line_detail(std::string_view name, std::size_t line, std::string_view what) {
  std::string text(name);
  if (line > 0) {
    text += ':';
    text += std::to_string(line);
  }
  text += ": ";
  text += what;
  return text;
}

std::string read_detail(std::string_view name, std::size_t line, const ReadStatus& status,
                        std::size_t expected, DetailWords words) {
  const bool model_file = words == DetailWords::model_file;
  if (model_file && line == 0) line = 1;
  if (status.outcome == ReadOutcome::error) {
    std::string what = quoted_text(status.token);
    const std::string_view count = status.token.substr(0, status.token.find('*'));
    const bool repeat = count.size() < status.token.size();
    if (!model_file && repeat &&
        (count.empty() || count.find_first_not_of("0123456789") != count.npos ||
         count.find_first_not_of('0') == count.npos)) {
      what += " does not start with a repeat count";
    } else if (status.error == ReadErrorKind::conversion) {
      what += model_file                ? " is out of range"
              : status.integer_expected ? " is beyond the 32-bit integer range"
                                        : " cannot be converted";
    } else {
      what += status.integer_expected ? " is not an integer" : " is not a number";
    }
    return line_detail(name, line, what);
  }
  if (status.outcome == ReadOutcome::end_of_input) {
    if (line == 0) return line_detail(name, 0, "the file is empty");
    const std::size_t found = expected >= status.items_left ? expected - status.items_left : 0;
    return line_detail(name, line, values(found) + ", " + std::to_string(expected) + " expected");
  }
  return {};
}

std::string counts_detail(std::string_view name, std::size_t line, long long first,
                          long long second, std::string_view against, long long expected_first,
                          long long expected_second) {
  std::string what = std::to_string(first) + " x " + std::to_string(second) + " cells, ";
  what += against;
  what += ' ';
  what += std::to_string(expected_first) + " x " + std::to_string(expected_second);
  return line_detail(name, line, what);
}

}  // namespace quelby
