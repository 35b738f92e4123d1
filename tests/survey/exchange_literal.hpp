// The general layout's two exchange passes exactly as written, n^2 / 2 comparisons: the oracle
// for the fast ordering. Indices are 0-based.
#pragma once

#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

namespace quelby::testing {

inline std::vector<std::int32_t> literal_exchange_passes(std::span<const double> a,
                                                         std::span<const double> b) {
  const std::size_t n = a.size();
  std::vector<std::int32_t> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  const auto A = [&](std::size_t i) { return a[static_cast<std::size_t>(perm[i])]; };
  const auto B = [&](std::size_t i) { return b[static_cast<std::size_t>(perm[i])]; };
  for (std::size_t i = 0; i + 1 < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (A(i) > A(j)) std::swap(perm[i], perm[j]);
    }
  }
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (A(i) == A(i + 1)) {
      for (std::size_t j = i + 1; j < n && A(j) == A(i); ++j) {
        if (B(i) > B(j)) std::swap(perm[i], perm[j]);
      }
    }
  }
  return perm;
}

}  // namespace quelby::testing
