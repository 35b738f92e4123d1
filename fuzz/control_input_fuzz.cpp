// Fuzzes the control-input line helpers: the input is a control file whose data lines are fetched
// one by one with their counter, their comments cut, and each taken as an input file name. The
// fetch must skip exactly the comment and blank lines, the counter must count every read, a name
// must be found exactly when a file of that name exists, and a name that is not found must be
// reported in one message on the console and the same in the run log.
#include <sys/stat.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cells_fuzz_support.hpp"
#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"

namespace {

using cells_fuzz::fail;

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// The records of `text` as the file reader gives them: lines without their line feed, a carriage
// return before it included in the line end.
std::vector<std::string> records(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    std::size_t stop = end;
    if (!last && stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text.substr(start, stop - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t length = 1 + data[0] % 120;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string path = cells_fuzz::scratch_file("control.txt", text);
  const std::vector<std::string> lines = records(text);

  quelby::InputFile file;
  if (!file.open(path)) fail("cannot open the scratch file");
  quelby::LineBuffer line(length);
  std::int32_t counter = 0;
  std::size_t expected_next = 0;
  for (int fetch = 0; fetch < 64; ++fetch) {
    // The data line the helper must stop at, and the reads it takes to get there.
    std::size_t target = expected_next;
    while (target < lines.size() &&
           (lines[target].empty() || lines[target][0] == '!' || lines[target][0] == '%' ||
            blank(std::string_view(lines[target]).substr(0, length)))) {
      ++target;
    }
    const std::int32_t before = counter;
    const bool found_line = quelby::next_data_line(file, line, &counter);
    if (found_line != (target < lines.size())) fail("fetch outcome", lines.size() ? lines[0] : "");
    const std::size_t reads =
        found_line ? target - expected_next + 1 : lines.size() - expected_next + 1;
    if (static_cast<std::size_t>(counter - before) != reads) fail("counter");
    if (line.text().size() != length) fail("line length");
    if (!found_line) break;
    const std::string expected = lines[target].substr(0, length);
    if (line.text().substr(0, expected.size()) != expected ||
        line.text().find_first_not_of(' ', expected.size()) != std::string_view::npos) {
      fail("line text", expected);
    }
    expected_next = target + 1;

    quelby::strip_comment(line);
    const std::size_t bang = expected.find('!');
    if (bang != std::string::npos &&
        line.text().find_first_not_of(' ', bang) != std::string_view::npos) {
      fail("comment not cut", expected);
    }

    std::ostringstream console;
    std::ostringstream error;
    std::ostringstream log;
    const quelby::Io io{console, error, log};
    quelby::LineBuffer name(length);
    bool found = false;
    quelby::read_input_file_name(io, "control", line.text(), name, found);
    const std::string trimmed(quelby::trim_trailing_blanks(name.text()));
    struct stat status;
    const bool exists = !trimmed.empty() && ::stat(trimmed.c_str(), &status) == 0;
    if (found != exists) fail("found flag", trimmed);
    if (!error.str().empty()) fail("error stream written");
    if (found != console.str().empty()) fail("message and flag disagree", console.str());
    if (log.str() != console.str()) fail("run log differs from the console", log.str());
    if (!found && console.str().front() != '\n') fail("message without its empty line");
  }
  return 0;
}
