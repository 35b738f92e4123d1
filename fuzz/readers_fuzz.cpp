// Fuzzes the mesh and model readers. The first byte splits the rest of the input into a mesh file
// and a model file (at that fraction of its length), written into a folder of this process. Then
// load_mesh and read_model run with in-memory streams: a Stop after its message is an expected
// end; anything else that escapes, or a crash, is a finding. After a successful read the model is
// written with write_model, checked byte for byte against printf, read back, and every value must
// be the one its written text stands for.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"

namespace {

namespace fs = std::filesystem;

// Meshes beyond this many cells are skipped, so that no input can ask for gigabytes; the round
// trip through a written file runs up to the smaller bound, to keep each input fast.
constexpr std::int64_t max_cells = 1'000'000;
constexpr std::int64_t max_round_trip_cells = 100'000;

using fuzz_support::fail;
using fuzz_support::folder;

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!stream) fail("cannot write a scratch file");
}

std::string read_file(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

// The items of the mesh reads: a null value or a slash leaves an item as the read before left it,
// across segments and from x to z.
struct SegmentItems {
  std::int32_t segments = 0;
  double start = 0;
  double end = 0;
  std::int32_t count = 0;
};

// The cells the mesh file asks for in one direction, counted the way the mesh reader's first pass
// reads them (negative counts left out); stops at the first failed read, where the reader stops
// too.
std::int64_t count_cells(quelby::InputFile& file, SegmentItems& items) {
  if (!quelby::read_items(file, {items.segments}).ok()) return 0;
  std::int64_t cells = 0;
  for (std::int32_t s = 0; s < items.segments && cells <= max_cells; ++s) {
    const quelby::ReadStatus status =
        s == 0 ? quelby::read_items(file, {items.start, items.end, items.count})
               : quelby::read_items(file, {items.end, items.count});
    if (!status.ok()) break;
    if (items.count > 0) cells += items.count;
  }
  return cells;
}

bool small_enough(const std::string& mesh_path, std::int64_t& nx, std::int64_t& nz) {
  quelby::InputFile file;
  if (!file.open(mesh_path)) return true;
  SegmentItems items;
  nx = count_cells(file, items);
  nz = count_cells(file, items);
  return nx <= max_cells && nz <= max_cells && std::max<std::int64_t>(nx, 1) * nz <= max_cells;
}

// A Stop must come after a message that starts with an empty line (console) or after a one-line
// text on the error stream; its detail names the file it was reading.
void check_stop(const std::ostringstream& console, const std::ostringstream& error,
                const quelby::Stop& stop, const std::string& file) {
  if (stop.status() != quelby::exit_failure) fail("a stop with an unexpected status");
  fuzz_support::check_detail(stop.detail(), file);
  const std::string text = console.str();
  if (!error.str().empty()) fail("an internal check failed", error.str());
  if (text.size() < 2 || text.front() != '\n' || text.back() != '\n') {
    fail("a stop without its message", text);
  }
}

bool same_bits(const double a, const double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// What a loaded mesh promises: arrays of the file's sizes, positive finite widths, finite nodes
// that are running sums of the widths, finite centres and midpoint, and its derived counts.
void check_mesh(const quelby::Mesh& mesh, const std::int64_t nx, const std::int64_t nz) {
  if (mesh.nx != nx || mesh.nz != nz) fail("mesh size differs from the file's cell counts");
  const auto nx_size = static_cast<std::size_t>(mesh.nx);
  const auto nz_size = static_cast<std::size_t>(mesh.nz);
  if (mesh.dx.size() != nx_size || mesh.x_nodes.size() != nx_size + 1 ||
      mesh.dz.size() != nz_size || mesh.z_nodes.size() != nz_size + 1 ||
      mesh.x_centres.size() != nx_size || mesh.z_centres.size() != nz_size) {
    fail("mesh arrays of the wrong size");
  }
  for (std::size_t i = 0; i < nx_size; ++i) {
    if (!(mesh.dx[i] > 0) || !std::isfinite(mesh.dx[i])) fail("a column width out of range");
    if (!std::isfinite(mesh.x_nodes[i]) || !std::isfinite(mesh.x_centres[i])) {
      fail("an x node or centre that is not finite");
    }
    if (!same_bits(mesh.x_nodes[i + 1], mesh.x_nodes[i] + mesh.dx[i])) {
      fail("x nodes are not running sums");
    }
  }
  for (std::size_t k = 0; k < nz_size; ++k) {
    if (!(mesh.dz[k] > 0) || !std::isfinite(mesh.dz[k])) fail("a row thickness out of range");
    if (!std::isfinite(mesh.z_nodes[k]) || !std::isfinite(mesh.z_centres[k])) {
      fail("a z node or centre that is not finite");
    }
    if (!same_bits(mesh.z_nodes[k + 1], mesh.z_nodes[k] + mesh.dz[k])) {
      fail("z nodes are not running sums");
    }
  }
  if (!std::isfinite(mesh.x_nodes[nx_size]) || !std::isfinite(mesh.z_nodes[nz_size]) ||
      !std::isfinite(mesh.x_mid)) {
    fail("a last node or the midpoint is not finite");
  }
  if (mesh.node_count != (mesh.nx + 1) * (mesh.nz + 1) ||
      mesh.z_node_count_plus_one != mesh.nz + 2) {
    fail("derived mesh counts");
  }
}

// The 13-column field of a written value, from printf: the letter E gives way to a three-digit
// exponent; NaN of either sign and the infinities are words.
std::string printf_field(const double value) {
  std::string body;
  if (std::isnan(value)) {
    body = "NaN";
  } else if (std::isinf(value)) {
    body = value < 0 ? "-Infinity" : "Infinity";
  } else {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%.5E", value);
    body.assign(text, static_cast<std::size_t>(length));
    const std::size_t letter = body.find('E');
    if (body.size() - letter == 5) body.erase(letter, 1);
  }
  return std::string(13 - body.size(), ' ') + body;
}

std::string printf_i5(const std::int32_t value) {
  if (value > 99999) return "*****";
  char text[16];
  std::snprintf(text, sizeof text, "%5d", value);
  return text;
}

void round_trip(const quelby::Io& io, const quelby::Mesh& mesh, const quelby::Model& model) {
  const fs::path written = folder() / "written.mod";
  try {
    quelby::write_model(io, mesh, written.string(), model);
  } catch (const quelby::Stop&) {
    fail("write_model stopped");
  }
  const std::string text = read_file(written);
  std::string expected = printf_i5(mesh.nx) + printf_i5(mesh.nz) + "\n";
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) expected += printf_field(model(i, k));
    expected += '\n';
  }
  if (text != expected) fail("written file differs from printf", text);

  quelby::Model back(mesh.nx, mesh.nz);
  try {
    quelby::read_model(io, mesh, written.string(), "written", back);
  } catch (const quelby::Stop&) {
    fail("a written file does not read back", text);
  }
  for (std::int32_t k = 0; k < mesh.nz; ++k) {
    for (std::int32_t i = 0; i < mesh.nx; ++i) {
      const double value = model(i, k);
      const double read = back(i, k);
      if (std::isnan(value)) {
        if (!std::isnan(read)) fail("NaN does not read back as NaN");
        continue;
      }
      // The value the written digits stand for, rounded correctly by strtod.
      char digits[32];
      std::snprintf(digits, sizeof digits, "%.5e", value);
      const double stands_for = std::strtod(digits, nullptr);
      if (std::memcmp(&read, &stands_for, sizeof read) != 0)
        fail("value read back differs", digits);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.size() * data[0] / 255;
  const std::string mesh_path = (folder() / "input.msh").string();
  const std::string model_path = (folder() / "input.mod").string();
  write_file(mesh_path, rest.substr(0, split));
  write_file(model_path, rest.substr(split));

  std::int64_t nx = 0;
  std::int64_t nz = 0;
  if (!small_enough(mesh_path, nx, nz)) return 0;

  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  quelby::Mesh mesh;
  try {
    quelby::load_mesh(io, mesh_path, mesh);
  } catch (const quelby::Stop& stop) {
    check_stop(console, error, stop, mesh_path);
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a loaded mesh printed something");
  check_mesh(mesh, nx, nz);

  quelby::Model model(mesh.nx, mesh.nz);
  try {
    quelby::read_model(io, mesh, model_path, "model", model);
  } catch (const quelby::Stop& stop) {
    check_stop(console, error, stop, model_path);
    return 0;
  }
  if (!console.str().empty() || !error.str().empty()) fail("a read model printed something");
  if (static_cast<std::int64_t>(mesh.nx) * mesh.nz <= max_round_trip_cells) {
    round_trip(io, mesh, model);
  }
  return 0;
}
