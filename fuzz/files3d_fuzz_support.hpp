// Shared pieces of the fuzz targets of the 3-D readers: the input written as a scratch file, a
// small mesh chosen by a few bytes, and the checks every stop must pass (status 1, a message on the
// console that the run log repeats, nothing on the error stream, a detail that names the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace fuzz_support {

// Writes `size` bytes at `data` as the scratch file `name`; returns its path.
inline std::string scratch_file(const char* name, const std::uint8_t* data, std::size_t size) {
  const std::string path = (folder() / name).string();
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!stream) fail("cannot write a scratch file");
  return path;
}

// A mesh of 1 to 4 cells along each axis, from three bytes.
inline quelby::Mesh3D small_mesh(const quelby::Io& io, const std::uint8_t* bytes) {
  std::vector<double> axes[3];
  for (int axis = 0; axis < 3; ++axis) {
    const int cells = 1 + bytes[axis] % 4;
    const double width = 1 + (bytes[axis] >> 2) % 8;
    for (int c = 0; c <= cells; ++c) axes[axis].push_back(-5 + width * c);
  }
  return quelby::make_mesh3d(io, axes[0], axes[1], axes[2]);
}

// Runs `read` on its streams. True when it read; false after a stop that passed every check.
inline bool read_or_stop(const std::string& path,
                         const std::function<void(const quelby::Io&)>& read,
                         std::string* log_text = nullptr) {
  std::ostringstream console, error, log;
  const quelby::Io io{console, error, log};
  try {
    read(io);
  } catch (const quelby::Stop& stop) {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    if (!error.str().empty()) fail("an internal check failed", error.str());
    const std::string text = console.str();
    if (text.empty() || text.back() != '\n') fail("a stop without its message", text);
    if (log.str().find(text) == std::string::npos) fail("the run log lacks the message", log.str());
    check_detail(stop.detail(), path);
    return false;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a read printed something");
  if (log_text != nullptr) *log_text = log.str();
  return true;
}

}  // namespace fuzz_support
