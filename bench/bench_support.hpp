// Shared pieces of the benchmarks: streams that discard what the library writes (console, error
// stream and run log), and a scratch folder of this process for generated files, removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <streambuf>
#include <string>

#include "quelby/base/io.hpp"

namespace bench_support {

class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// Console, error stream and run log that discard everything.
inline const quelby::Io& quiet_io() {
  static NullBuffer buffer;
  static std::ostream stream(&buffer);
  static const quelby::Io io{stream, stream, stream};
  return io;
}

// The scratch folder, made on first use and removed when the process exits. The path is never
// destroyed, so that it is still there when the exit handler runs.
inline const std::filesystem::path& folder() {
  static const std::filesystem::path* const path = [] {
    auto* created = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                              ("quelby-bench-" + std::to_string(::getpid())));
    std::filesystem::create_directories(*created);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder(), ignored);
    });
    return created;
  }();
  return *path;
}

}  // namespace bench_support
