#include "app/run_log.hpp"

namespace quelby {

TemporaryRunLog::TemporaryRunLog()
    : file_(std::tmpfile()), buffer_(file_), stream_(file_ != nullptr ? &buffer_ : nullptr) {}

// The file stays open until the process ends, as the library never closes its run log; the
// system deletes it then.
TemporaryRunLog::~TemporaryRunLog() {
  if (file_ != nullptr) stream_.flush();
}

TemporaryRunLog::FileBuffer::int_type TemporaryRunLog::FileBuffer::overflow(int_type c) {
  if (c == traits_type::eof()) return traits_type::not_eof(c);
  return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
}

std::streamsize TemporaryRunLog::FileBuffer::xsputn(const char* data, std::streamsize count) {
  return static_cast<std::streamsize>(std::fwrite(data, 1, static_cast<std::size_t>(count), file_));
}

int TemporaryRunLog::FileBuffer::sync() {
  return std::fflush(file_) == 0 ? 0 : -1;
}

}  // namespace quelby
