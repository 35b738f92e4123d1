// The one line of detail a reader's stop carries beside its message: the file, the line and what
// was expected and found ("typo.msh:4: '1OO' is not a number"). Built only when a reader stops;
// no stream of the library ever shows it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quelby/base/free_format.hpp"

namespace quelby {

// "name:line: what", or "name: what" when `line` is 0 (no line to point at). `line` is 1-based.
std::string line_detail(std::string_view name, std::size_t line, std::string_view what);

// How a detail words a failed read: as every reader does, or as the model file always has (a
// value beyond its type "is out of range", a bad repeat count is "not a number", and an empty file
// is line 1 with 0 values).
enum class DetailWords { readers, model_file };

// The detail of a failed free-format read of `expected` items that ended on line `line` (1-based;
// 0 for an input without a line): the refused text (quoted, cut after 40 characters, control
// characters written as \xNN) and what it should have been, or how many values the input held
// before it ended.
std::string read_detail(std::string_view name, std::size_t line, const ReadStatus& status,
                        std::size_t expected, DetailWords words = DetailWords::readers);

// `text` as a detail shows it: quoted, cut after `longest` characters ("..." then follows), and
// with control characters written as \xNN, so that the detail stays one line of printable text
// whatever the input holds.
std::string quoted_text(std::string_view text, std::size_t longest = 40);

// The shortest text that reads back as `value`.
std::string shortest(double value);
// `value` to `digits` significant digits, as printf's %g writes it ("0.00156", "3.2e-08").
std::string format_significant(double value, int digits);

// "4 x 6 cells, the mesh has 4 x 7" and the like: two counts found against two expected.
std::string counts_detail(std::string_view name, std::size_t line, long long first,
                          long long second, std::string_view against, long long expected_first,
                          long long expected_second);

}  // namespace quelby
