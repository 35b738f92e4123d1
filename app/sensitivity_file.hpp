// The sensitivity file that quelby-forward writes: a 24-byte header (the 8 bytes "QUELBYJ" and a
// zero byte, then four little-endian 32-bit unsigned integers: the version 1, ndat, npar and a
// zero that keeps the values 8-byte aligned), then ndat * npar little-endian IEEE doubles, row by
// row: row i (0-based) holds d d_i / d ln rho_j for the parameters j = 1..npar in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "quelby/base/io.hpp"

namespace quelby {

inline constexpr char sensitivity_magic[8] = {'Q', 'U', 'E', 'L', 'B', 'Y', 'J', '\0'};
inline constexpr std::uint32_t sensitivity_version = 1;
inline constexpr std::size_t sensitivity_header_bytes = 24;

// Writes the file `name` with `ndat` rows of `npar` values: row r of the file is row rows[r] of
// `jacobian` (row-major, npar values a row). Written atomically; a failure writes one line naming
// the file and the cause on the error stream and throws Stop. Linear in ndat * npar.
void write_sensitivity_file(const Io& io, std::string_view name, std::uint32_t ndat,
                            std::uint32_t npar, std::span<const double> jacobian,
                            std::span<const std::size_t> rows);

}  // namespace quelby
