#include "quelby/base/stops.hpp"

#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
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
  stop_with(io, Order::console_then_log, out_of_memory_text, exit_failure, {}, StopCause::resource);
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

namespace {

// The kibibytes of the line "MemAvailable:   123456 kB" in the text of /proc/meminfo, if any.
std::optional<unsigned long long> mem_available_kib() noexcept {
  const int descriptor = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  char text[8192];
  std::size_t size = 0;
  for (;;) {
    const ssize_t got = ::read(descriptor, text + size, sizeof text - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
    if (size == sizeof text) break;
  }
  ::close(descriptor);
  const std::string_view content(text, size);
  constexpr std::string_view label = "MemAvailable:";
  const std::size_t at = content.find(label);
  if (at == content.npos) return std::nullopt;
  std::size_t digit = at + label.size();
  while (digit < content.size() && content[digit] == ' ') ++digit;
  unsigned long long kib = 0;
  const auto [end, error] = std::from_chars(content.data() + digit, content.data() + size, kib);
  if (error != std::errc() || end == content.data() + digit) return std::nullopt;
  return kib;
}

}  // namespace

std::size_t available_memory() noexcept {
  constexpr unsigned long long most = std::numeric_limits<std::size_t>::max();
  if (const auto kib = mem_available_kib()) {
    return static_cast<std::size_t>(*kib > most / 1024 ? most : *kib * 1024);
  }
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return static_cast<std::size_t>(most);
  const unsigned long long bytes =
      (static_cast<unsigned long long>(info.freeram) + info.bufferram) * info.mem_unit;
  return static_cast<std::size_t>(std::min(bytes, most));
}

bool fits_in_memory(std::size_t bytes) noexcept {
  return bytes <= available_memory();
}

}  // namespace quelby
