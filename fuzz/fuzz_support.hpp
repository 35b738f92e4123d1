// Shared pieces of the fuzz targets: the failure report that stops a run, and a scratch folder of
// this process, removed at exit, for the files the readers are given.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fuzz_support {

namespace fs = std::filesystem;

// A finding: reported on the error stream, then the run is aborted for libFuzzer to record it.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %s [%.*s]\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// True when `text` holds a control character (below 0x20, or DEL): a detail that holds one could
// break its line or drive the terminal it is printed on.
inline bool has_control_character(std::string_view text) {
  for (const char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 0x20 || code == 0x7F) return true;
  }
  return false;
}

// A stop's detail line: none, or one line without control characters that begins with the name
// of the file read and a colon ("name:line: what" or "name: what").
inline void check_detail(const std::string& detail, std::string_view file) {
  if (detail.empty()) return;
  if (!detail.starts_with(file) || detail.size() <= file.size() + 2 || detail[file.size()] != ':') {
    fail("a stop's detail does not name its file", detail);
  }
  if (has_control_character(detail)) fail("a stop's detail with a control character", detail);
}

// The scratch folder, made on first use and removed when the process exits. The path is never
// destroyed, so that it is still there when the exit handler runs.
inline const fs::path& folder() {
  static const fs::path* const path = [] {
    auto* created =
        new fs::path(fs::temp_directory_path() / ("quelby-fuzz-" + std::to_string(::getpid())));
    fs::create_directories(*created);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(folder(), ignored);
    });
    return created;
  }();
  return *path;
}

// Writes `content` into the scratch file `name` and returns its path.
inline std::string scratch_file(const std::string& name, std::string_view content) {
  const fs::path path = folder() / name;
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!stream) fail("cannot write a scratch file");
  return path.string();
}

}  // namespace fuzz_support
