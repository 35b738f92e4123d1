#include "quelby/fielddata/field_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quelby/base/blanks.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

void remove_byte_order_mark(std::string& bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);
}

[[noreturn]] void refuse(const Io& io, const std::string& name, const std::string& what) {
  stop_with(io, Order::console_then_log,
            "\nError reading the field data file " + name + ": " + what + "\n", exit_failure,
            line_detail(name, 0, what));
}

}  // namespace

FieldSource read_field_source(const Io& io, std::string_view name) {
  FieldSource source;
  source.name = std::string(trim_trailing_blanks(name));
  const int descriptor = ::open(source.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) require_file(io, "field data", source.name);
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const std::string reason = std::strerror(errno);
      ::close(descriptor);
      refuse(io, source.name, "the file cannot be read (" + reason + ")");
    }
    if (got == 0) break;
    if (source.bytes.size() + static_cast<std::size_t>(got) > largest_field_file) {
      ::close(descriptor);
      refuse(io, source.name,
             "the file is larger than " + std::to_string(largest_field_file >> 20) + " MiB");
    }
    source.bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(descriptor);
  remove_byte_order_mark(source.bytes);
  return source;
}

FieldSource field_source_from_text(std::string_view name, std::string_view text) {
  FieldSource source{std::string(trim_trailing_blanks(name)), std::string(text)};
  remove_byte_order_mark(source.bytes);
  return source;
}

}  // namespace quelby
