// The run log of a command: the stream every library reader writes its "... was read from ..."
// lines and message copies to, kept in an anonymous temporary file that the system deletes when
// the process ends, so that a command's user never sees it.
#pragma once

#include <cstdio>
#include <ostream>
#include <streambuf>

namespace quelby {

class TemporaryRunLog {
 public:
  // Opens the file (std::tmpfile); is_open() tells whether that worked.
  TemporaryRunLog();
  ~TemporaryRunLog();
  TemporaryRunLog(const TemporaryRunLog&) = delete;
  TemporaryRunLog& operator=(const TemporaryRunLog&) = delete;

  bool is_open() const noexcept { return file_ != nullptr; }
  std::ostream& stream() noexcept { return stream_; }

 private:
  class FileBuffer : public std::streambuf {
   public:
    explicit FileBuffer(std::FILE* file) : file_(file) {}

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

   private:
    std::FILE* file_;
  };

  std::FILE* file_;
  FileBuffer buffer_;
  std::ostream stream_;
};

}  // namespace quelby
