// The three text streams every reader and builder writes to (console, error stream, run log),
// the one helper that writes a message to them in its documented order, and the Stop exception
// that ends an operation after its message. Only the command's main turns a Stop into a status.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quelby {

// Exit statuses of the command.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Thrown after a stop's message has been written; carries the exit status the command ends with.
class Stop : public std::runtime_error {
 public:
  explicit Stop(std::string what, int status = exit_failure)
      : std::runtime_error(std::move(what)), status_(status) {}
  int status() const noexcept { return status_; }

 private:
  int status_;
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

// Writes the message, then throws Stop with `status`.
[[noreturn]] void stop_with(const Io& io, Order order, std::string_view text,
                            int status = exit_failure);

// Writes a consistency-check text on the error stream and throws Stop.
[[noreturn]] void internal_check_failed(const Io& io, std::string_view text);

// `name` without its trailing blanks.
std::string_view trim_trailing_blanks(std::string_view name) noexcept;

}  // namespace quelby
