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
