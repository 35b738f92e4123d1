// Fuzzes the topography reader. The first two bytes choose the mesh (1 to 16 columns and 1 to 8
// rows, widths from the next bytes); the rest is the topography file, written into a folder of
// this process. A Stop after its message is an expected end; anything else that escapes, or a
// crash, is a finding. After a successful read the store must have its sizes, every air-cell
// count must lie in 0..nz, and the run log must hold exactly the success line; from a mesh file,
// the inversion's loading of its ground must give the same mesh and air cells.
#include <unistd.h>

#include <algorithm>
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
#include "quelby/cells/active_cells.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/mesh/topography.hpp"

namespace {

using fuzz_support::fail;
using fuzz_support::folder;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t nx = 1 + data[0] % 16;
  const std::size_t nz = 1 + data[1] % 8;
  const double width = 1 + data[2] % 20;
  const double thickness = 0.5 * (1 + data[3] % 10);
  std::vector<double> x_nodes(nx + 1);
  std::vector<double> z_nodes(nz + 1);
  for (std::size_t i = 0; i <= nx; ++i) x_nodes[i] = -20 + width * static_cast<double>(i);
  for (std::size_t k = 0; k <= nz; ++k) z_nodes[k] = thickness * static_cast<double>(k);

  const std::string path = (folder() / "input.topo").string();
  {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(data + 4), static_cast<std::streamsize>(size - 4));
    if (!stream) fail("cannot write a scratch file");
  }

  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::Topography topography;
  // Every other input goes through the one-call form, from a mesh file of one segment per
  // direction that gives these very nodes.
  const bool one_call = (data[3] & 0x80) != 0;
  const std::string mesh_path = (folder() / "input.msh").string();
  const std::string mesh_line = one_call ? "\nmesh was read from: " + mesh_path + "\n" : "";
  if (one_call) {
    std::ofstream stream(mesh_path, std::ios::binary | std::ios::trunc);
    stream.precision(17);
    stream << "1\n"
           << x_nodes.front() << ' ' << x_nodes.back() << ' ' << nx << "\n1\n"
           << z_nodes.front() << ' ' << z_nodes.back() << ' ' << nz << '\n';
    if (!stream) fail("cannot write a scratch file");
  }
  try {
    if (one_call) {
      quelby::Mesh mesh;
      try {
        quelby::load_mesh(io, mesh_path, mesh);
      } catch (const quelby::Stop&) {
        fail("the scratch mesh does not load", console.str());
      }
      log.str("");
      quelby::load_mesh_and_topography(io, mesh_path, path, true, mesh, topography);
      if (static_cast<std::size_t>(mesh.nx) != nx || static_cast<std::size_t>(mesh.nz) != nz) {
        fail("the one-call form loaded another mesh");
      }
      // The log now holds the mesh line first; keep only the topography's part for the checks.
      if (log.str().rfind(mesh_line, 0) != 0) fail("the one-call form's mesh line", log.str());
      log.str(log.str().substr(mesh_line.size()));
      x_nodes = mesh.x_nodes;
      z_nodes = mesh.z_nodes;
    } else {
      quelby::read_topography(io, true, path, x_nodes, z_nodes, topography);
    }
  } catch (const quelby::Stop& stop) {
    if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
    const std::string text = console.str();
    if (!error.str().empty()) fail("an internal check failed", error.str());
    if (text.size() < 2 || text.front() != '\n' || text.back() != '\n') {
      fail("a stop without its message", text);
    }
    if (log.str() != mesh_line + text) fail("the run log differs from the console", log.str());
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a read topography printed something");
  if (log.str() != "topography was read from: " + path + "\n") fail("log", log.str());
  if (!topography.has_topography) fail("has_topography not set");
  if (topography.air_cells.size() != nx || topography.surface_z.size() != nx + 1) {
    fail("store sizes differ from the mesh");
  }
  for (const std::int32_t air : topography.air_cells) {
    if (air < 0 || static_cast<std::size_t>(air) > nz) fail("air-cell count outside 0..nz");
  }
  if (one_call) {
    // The inversion's loading of its ground from the same files: the same mesh and air cells,
    // every cell below them active.
    quelby::InversionRun run;
    run.mesh_file = mesh_path;
    run.topography_file = path;
    std::ostringstream run_console, run_error, run_log;
    quelby::Mesh mesh;
    quelby::ActiveCells cells;
    try {
      quelby::load_run_ground({run_console, run_error, run_log}, run, mesh, cells);
    } catch (const quelby::Stop&) {
      // A ground wholly in the air has no active cell, which the inversion refuses.
      const bool all_air = std::all_of(topography.air_cells.begin(), topography.air_cells.end(),
                                       [&](std::int32_t air) { return static_cast<std::size_t>(air) == nz; });
      if (!all_air || run_console.str() != "\nError: all cells are inactive.\n") {
        fail("the inversion's ground does not load what loaded alone", run_console.str());
      }
      return 0;
    }
    if (mesh.x_nodes != x_nodes || mesh.z_nodes != z_nodes) fail("the inversion's mesh differs");
    if (cells.air_cells != topography.air_cells) fail("the inversion's air cells differ");
  }
  return 0;
}
