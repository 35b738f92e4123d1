// Stops: the Stop exception that ends an operation after its message (only the command's main, or
// the Python layer, turns it into a status), the helpers that write a message and throw it, and
// the two stops every reader shares: an input file that cannot be opened, and an allocation that
// fails, each written to the console, then to the run log.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "quelby/base/io.hpp"

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

// Writes the message, then throws Stop with `status`, `detail` and `cause`.
[[noreturn]] void stop_with(const Io& io, Order order, std::string_view text,
                            int status = exit_failure, std::string detail = {},
                            StopCause cause = StopCause::bad_input);

// Writes a consistency-check text on the error stream and throws Stop.
[[noreturn]] void internal_check_failed(const Io& io, std::string_view text);

// " ERROR: <label> file not found: <name>", both without trailing blanks.
[[noreturn]] void require_file(const Io& io, std::string_view label, std::string_view name);

// "ERROR: Not enough memory, program terminated!" between two empty lines: the one message of
// every allocation that fails or would not fit, whoever meets it.
inline constexpr std::string_view out_of_memory_text =
    "\nERROR: Not enough memory, program terminated!\n\n";

// Writes out_of_memory_text, then throws Stop.
[[noreturn]] void out_of_memory_stop(const Io& io);

// "Error: cannot write the <what> <file_name>: <the cause of errno `error`>" on the error stream,
// then Stop: the one message of every writer that fails.
[[noreturn]] void write_failed(const Io& io, std::string_view what, std::string_view file_name,
                               int error);

// The memory this machine can give a process now without swapping, in bytes: MemAvailable of
// /proc/meminfo (free memory plus the caches the system would drop); where that cannot be read,
// the free and buffer memory of sysinfo; the largest size_t when neither can. Reads the file on
// every call (tens of microseconds): a figure for a budget, not for a loop.
std::size_t available_memory() noexcept;

// True when `bytes` more fit in the memory available now (available_memory). Catches sizes that
// would only fail later, on first touch, under memory overcommit, where the system ends the
// process without a word.
bool fits_in_memory(std::size_t bytes) noexcept;

}  // namespace quelby
