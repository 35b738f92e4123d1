// Fuzzes the sensitivity file's writer: the input gives the counts (a byte each: ndat 0..15, npar
// 0..15), then the order of the rows and the values, raw doubles of any bits (NaN, infinities,
// denormals). The file written must be exactly the format's: the 24-byte header with the magic,
// version, counts and zero, then row r of the file the bytes of row rows[r], little-endian, and
// nothing more; read back as the format's reader reads it, every value must come back bit for bit.
#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/sensitivity_file.hpp"
#include "fuzz_support.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"

namespace {

using fuzz_support::fail;

std::uint32_t little_endian_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int byte = 3; byte >= 0; --byte) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(byte)]);
  }
  return value;
}

std::uint64_t little_endian_u64(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int byte = 7; byte >= 0; --byte) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(byte)]);
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t ndat = data[0] % 16;
  const std::uint32_t npar = data[1] % 16;
  const std::uint8_t* at = data + 2;
  const std::uint8_t* const end = data + size;
  // Rows in the order the input gives (a permutation drawn from its bytes), then values.
  std::vector<std::size_t> rows(ndat);
  for (std::size_t r = 0; r < ndat; ++r) rows[r] = r;
  for (std::size_t r = ndat; r > 1; --r) {
    const std::size_t other = at < end ? *at++ % r : 0;
    std::swap(rows[r - 1], rows[other]);
  }
  std::vector<double> jacobian(static_cast<std::size_t>(ndat) * npar, 0.0);
  for (double& value : jacobian) {
    std::uint64_t bits = 0;
    for (int byte = 0; byte < 8 && at < end; ++byte) bits |= std::uint64_t{*at++} << (8 * byte);
    value = std::bit_cast<double>(bits);
  }
  std::ostringstream console;
  std::ostringstream error;
  std::ostringstream log;
  const quelby::Io io{console, error, log};
  const std::string path = (fuzz_support::folder() / "j.bin").string();
  try {
    quelby::write_sensitivity_file(io, path, ndat, npar, jacobian, rows);
  } catch (const quelby::Stop&) {
    fail("a stop on a matrix of the right size", error.str());
  }
  std::string bytes;
  {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    bytes = content.str();
  }
  if (bytes.size() != 24 + std::size_t{8} * ndat * npar) fail("the file's size");
  if (std::memcmp(bytes.data(), "QUELBYJ\0", 8) != 0) fail("the magic");
  if (little_endian_u32(bytes, 8) != 1 || little_endian_u32(bytes, 12) != ndat ||
      little_endian_u32(bytes, 16) != npar || little_endian_u32(bytes, 20) != 0) {
    fail("the header's fields");
  }
  for (std::size_t r = 0; r < ndat; ++r) {
    for (std::size_t p = 0; p < npar; ++p) {
      const std::uint64_t written = little_endian_u64(bytes, 24 + 8 * (r * npar + p));
      if (written != std::bit_cast<std::uint64_t>(jacobian[rows[r] * npar + p])) {
        fail("a value that does not read back bit for bit");
      }
    }
  }
  if (!console.str().empty() || !error.str().empty()) fail("the writer printed something");
  return 0;
}
