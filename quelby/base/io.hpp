// The three text streams every reader and builder writes to (console, error stream, run log),
// the one helper that writes a message to them in its documented order, and the Stop exception
// that ends an operation after its message. Only the command's main turns a Stop into a status.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quelby/base/blanks.hpp"  // trim_trailing_blanks, used with every message that names a file

namespace quelby {

// Exit statuses of the command.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// What a stop was about: Python maps these onto FileNotFoundError, ValueError and MemoryError.
enum class StopCause { bad_input, missing_file, resource };

// Thrown after a stop's message has been written; carries the exit status the command ends with.
// `detail` is one optional line that says where and why an input was refused
// ("typo.mod:4: '1OO' is not a number"); no stream of the library ever shows it, the command prints
// it on its standard error after the message.
class Stop : public std::runtime_error {
 public:
  explicit Stop(std::string what, int status = exit_failure, std::string detail = {},
                StopCause cause = StopCause::bad_input)
      : std::runtime_error(std::move(what)),
        status_(status),
        cause_(cause),
        detail_(std::move(detail)) {}
  int status() const noexcept { return status_; }
  StopCause cause() const noexcept { return cause_; }
  const std::string& detail() const noexcept { return detail_; }

 private:
  int status_;
  StopCause cause_;
  std::string detail_;
};

// Where a message goes, in order.
enum class Order { console_then_log, log_then_console, console_only, log_only };

// The streams of one run. The caller owns them; tests capture all three in memory.
struct Io {
  std::ostream& console;
  std::ostream& error;
  std::ostream& log;
};

// Writes `text` exactly as given (it carries its own line breaks) to the destinations of `order`.
void write_message(const Io& io, Order order, std::string_view text);

// Writes the message, then throws Stop with `status`, `detail` and `cause`.
[[noreturn]] void stop_with(const Io& io, Order order, std::string_view text,
                            int status = exit_failure, std::string detail = {},
                            StopCause cause = StopCause::bad_input);

// Writes a consistency-check text on the error stream and throws Stop.
[[noreturn]] void internal_check_failed(const Io& io, std::string_view text);

}  // namespace quelby
