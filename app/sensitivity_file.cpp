#include "app/sensitivity_file.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace {

void put_little_endian(std::uint32_t value, char* out) {
  for (int byte = 0; byte < 4; ++byte) out[byte] = static_cast<char>((value >> (8 * byte)) & 0xff);
}

// The bytes of `values` in little-endian order: the values themselves on a little-endian
// machine, else a byte-swapped copy in `swapped`.
std::span<const char> little_endian_doubles(std::span<const double> values,
                                            std::vector<char>& swapped) {
  const std::span<const char> bytes(reinterpret_cast<const char*>(values.data()),
                                    values.size() * sizeof(double));
  if constexpr (std::endian::native == std::endian::little) return bytes;
  swapped.assign(bytes.begin(), bytes.end());
  for (std::size_t at = 0; at < swapped.size(); at += sizeof(double)) {
    for (std::size_t byte = 0; byte < sizeof(double) / 2; ++byte)
      std::swap(swapped[at + byte], swapped[at + sizeof(double) - 1 - byte]);
  }
  return swapped;
}

}  // namespace

void write_sensitivity_file(const Io& io, std::string_view name, std::uint32_t ndat,
                            std::uint32_t npar, std::span<const double> jacobian,
                            std::span<const std::size_t> rows) {
  const std::size_t columns = npar;
  if (rows.size() != ndat || jacobian.size() != static_cast<std::size_t>(ndat) * columns) {
    internal_check_failed(io, "write_sensitivity_file: J does not hold ndat x npar values");
  }
  const std::string file_name(trim_trailing_blanks(name));
  const auto fail = [&](int error) { write_failed(io, "sensitivity file", file_name, error); };
  char header[sensitivity_header_bytes] = {};
  std::memcpy(header, sensitivity_magic, sizeof sensitivity_magic);
  put_little_endian(sensitivity_version, header + 8);
  put_little_endian(ndat, header + 12);
  put_little_endian(npar, header + 16);

  AtomicOutput output(file_name);
  if (const int error = output.create()) fail(error);
  if (const int error = output.write(header, sizeof header)) fail(error);
  std::vector<char> swapped;
  for (const std::size_t row : rows) {
    if (row >= ndat) internal_check_failed(io, "write_sensitivity_file: a row out of range");
    const auto bytes = little_endian_doubles(jacobian.subspan(row * columns, columns), swapped);
    if (const int error = output.write(bytes.data(), bytes.size())) fail(error);
  }
  if (const int error = output.commit()) fail(error);
}

}  // namespace quelby
