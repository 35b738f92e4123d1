// The three text streams every reader and builder writes to (console, error stream, run log) and
// the one helper that writes a message to them in its documented order. The stops that end an
// operation after its message are in quelby/base/stops.hpp.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "quelby/base/blanks.hpp"  // trim_trailing_blanks, used with every message that names a file

namespace quelby {

// Where a message goes, in order.
enum class Order { console_then_log, log_then_console, console_only, log_only, error_only };

// The streams of one run. The caller owns them; tests capture all three in memory.
struct Io {
  std::ostream& console;
  std::ostream& error;
  std::ostream& log;
};

// Writes `text` exactly as given (it carries its own line breaks) to the destinations of `order`.
void write_message(const Io& io, Order order, std::string_view text);

}  // namespace quelby
