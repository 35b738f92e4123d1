// What "blank" means in every text the library reads: a blank is a space or a tab. This is the one
// rule and trim_trailing_blanks the one trimming helper, used wherever trailing blanks are removed
// or a text is tested for being blank:
//   - the file names and labels of every reader and of require_file (mesh, model, topography,
//     survey data, active-cell, weighting, dipping files, the iteration history);
//   - the command's arguments (file names and the echoed cycles field);
//   - LineBuffer::trimmed and LineBuffer::is_blank (report/control_input): the lines the survey
//     readers echo in their messages and the blank lines next_data_line skips;
//   - the "COMMON_CURRENT" header comparison of read_data_file;
//   - the label and the checked file name of read_input_file_name.
// The free-format tokenizer treats tabs as value separators by the same rule. Padding is always
// done with spaces.
#pragma once

#include <string_view>

namespace quelby {

// True for a space or a tab.
constexpr bool is_blank(const char c) noexcept {
  return c == ' ' || c == '\t';
}

// `text` without its trailing spaces and tabs. Linear in the blanks removed.
constexpr std::string_view trim_trailing_blanks(const std::string_view text) noexcept {
  std::size_t end = text.size();
  while (end > 0 && is_blank(text[end - 1])) --end;
  return text.substr(0, end);
}

}  // namespace quelby
