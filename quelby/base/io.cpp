#include "quelby/base/io.hpp"

#include <utility>

namespace quelby {

void write_message(const Io& io, Order order, std::string_view text) {
  switch (order) {
    case Order::console_then_log:
      io.console << text << std::flush;
      io.log << text;
      break;
    case Order::log_then_console:
      io.log << text;
      io.console << text << std::flush;
      break;
    case Order::console_only:
      io.console << text << std::flush;
      break;
    case Order::log_only:
      io.log << text;
      break;
  }
}

void stop_with(const Io& io, Order order, std::string_view text, int status, std::string detail,
               StopCause cause) {
  write_message(io, order, text);
  throw Stop(std::string(text), status, std::move(detail), cause);
}

void internal_check_failed(const Io& io, std::string_view text) {
  io.error << text << '\n' << std::flush;
  throw Stop(std::string(text), exit_failure);
}

}  // namespace quelby
