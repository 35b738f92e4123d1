// The two stops every reader shares: an input file that cannot be opened, and an allocation that
// fails. Each writes its message to the console, then to the run log, and throws Stop.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"

namespace quelby {

// " ERROR: <label> file not found: <name>", both without trailing blanks.
[[noreturn]] void require_file(const Io& io, std::string_view label, std::string_view name);

// "ERROR: Not enough memory, program terminated!" between two empty lines.
[[noreturn]] void out_of_memory_stop(const Io& io);

// Opens `name` (trailing blanks removed) for reading, or calls require_file with `label`.
void open_or_require(const Io& io, InputFile& file, std::string_view label, std::string_view name);

// True when `bytes` more could ever be held in this machine's memory (physical memory plus swap).
// Catches sizes that would only fail later, on first touch, under memory overcommit.
bool fits_in_memory(std::size_t bytes) noexcept;

}  // namespace quelby
