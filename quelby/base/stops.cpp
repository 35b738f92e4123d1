#include "quelby/base/stops.hpp"

#include <sys/sysinfo.h>

#include <cstring>
#include <utility>

namespace quelby {

void stop_with(const Io& io, Order order, std::string_view text, int status, std::string detail,
               StopCause cause) {
  write_message(io, order, text);
  throw Stop(std::string(text), status, std::move(detail), cause);
}

void internal_check_failed(const Io& io, std::string_view text) {
  io.error << text << '\n' << std::flush;
  throw Stop(std::string(text), exit_failure);
}

void require_file(const Io& io, std::string_view label, std::string_view name) {
  std::string text = "\n ERROR: ";
  text += trim_trailing_blanks(label);
  text += " file not found: ";
  text += trim_trailing_blanks(name);
  text += '\n';
  stop_with(io, Order::console_then_log, text, exit_failure,
            std::string(trim_trailing_blanks(name)) + ": cannot be opened",
            StopCause::missing_file);
}

void out_of_memory_stop(const Io& io) {
  stop_with(io, Order::console_then_log, "\nERROR: Not enough memory, program terminated!\n\n",
            exit_failure, {}, StopCause::resource);
}

void write_failed(const Io& io, std::string_view what, std::string_view file_name, int error) {
  std::string text = "Error: cannot write the ";
  text += what;
  text += ' ';
  text += file_name;
  text += ": ";
  text += std::strerror(error);
  text += '\n';
  io.error << text << std::flush;
  throw Stop(text, exit_failure);
}

bool fits_in_memory(std::size_t bytes) noexcept {
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return true;
  const unsigned long long total =
      (static_cast<unsigned long long>(info.totalram) + info.totalswap) * info.mem_unit;
  return bytes <= total;
}

}  // namespace quelby
