// Shared pieces of the cell readers' fuzz targets: a small mesh chosen by the input's first bytes,
// and the check that a Stop came after its message.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"

namespace cells_fuzz {

using fuzz_support::fail;
using fuzz_support::scratch_file;

// A mesh of 1..16 by 1..16 cells with widths from the byte, nodes as running sums.
inline quelby::Mesh small_mesh(const std::uint8_t shape, const std::uint8_t widths) {
  quelby::Mesh mesh;
  mesh.nx = 1 + (shape & 15);
  mesh.nz = 1 + (shape >> 4);
  const double width_x = 0.5 + (widths & 15);
  const double width_z = 0.25 + (widths >> 4);
  mesh.x_nodes.assign(1, -3.0);
  mesh.z_nodes.assign(1, 0.0);
  for (std::int32_t i = 0; i < mesh.nx; ++i) {
    mesh.dx.push_back(width_x + 0.125 * i);
    mesh.x_nodes.push_back(mesh.x_nodes.back() + mesh.dx.back());
  }
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    mesh.dz.push_back(width_z);
    mesh.z_nodes.push_back(mesh.z_nodes.back() + width_z);
  }
  return mesh;
}

// Streams of one run, and the check that a Stop ended after a message: one that starts with an
// empty line on the console and the same text in the run log, or a text on the error stream.
struct Streams {
  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  quelby::Io io{console, error, log};

  // A stop of a reader of `file`: its status, its message on the console and in the run log, and
  // a detail that names the file.
  void check_stop(const quelby::Stop& stop, std::string_view file) const {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    fuzz_support::check_detail(stop.detail(), file);
    if (!error.str().empty()) fail("an internal check failed", error.str());
    const std::string text = console.str();
    if (text.size() < 2 || text.front() != '\n' || text.back() != '\n') {
      fail("a stop without its message", text);
    }
    if (log.str().find(text) == std::string::npos &&
        log.str().find(text.substr(0, text.find('\n', 1) + 1)) == std::string::npos) {
      fail("the run log lacks the message", text);
    }
  }
  void check_quiet() const {
    if (!console.str().empty() || !error.str().empty()) fail("a successful read printed");
  }
};

}  // namespace cells_fuzz
