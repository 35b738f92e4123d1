#include "quelby/base/io.hpp"

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
    case Order::error_only:
      io.error << text << std::flush;
      break;
  }
}

}  // namespace quelby
