// A field data file read once into memory: its name for messages and its bytes. Every import
// reader and the format detection work on this one copy, so a pipe or FIFO is read once and a
// file cannot change between two readers. A UTF-8 byte-order mark at the start is removed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quelby/base/io.hpp"

namespace quelby {

struct FieldSource {
  std::string name;   // without trailing blanks, as messages show it
  std::string bytes;  // the whole file, a leading UTF-8 byte-order mark removed
};

// The largest field data file the import reads (bytes).
inline constexpr std::size_t largest_field_file = std::size_t{1} << 28;

// Reads `name` whole (a regular file, a pipe or a FIFO: once, to its end). A file that cannot be
// opened stops through require_file with the label "field data"; a read error or a file larger
// than largest_field_file stops with "Error reading the field data file NAME: ...". Linear in the
// file.
FieldSource read_field_source(const Io& io, std::string_view name);

// A source made from text in memory (tests, and callers that hold the file already).
FieldSource field_source_from_text(std::string_view name, std::string_view text);

}  // namespace quelby
