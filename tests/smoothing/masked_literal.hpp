// The masked smoothing pass as written, one cell at a time: the oracle of the fast pass. A fixed
// cell keeps its value; a free cell whose neighbours are all fixed keeps its value; every other
// free cell becomes the area-weighted mean over the free cells of its clipped 3 by 3
// neighbourhood, summed from zero by rows, then columns, skipping the fixed cells.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quelby::masked_literal {

inline std::vector<double> pass(const std::vector<double>& dx, const std::vector<double>& dz,
                                const std::vector<std::uint8_t>& fixed,
                                const std::vector<double>& source) {
  const int nx = static_cast<int>(dx.size());
  const int nz = static_cast<int>(dz.size());
  std::vector<double> target(source.size());
  for (int k = 1; k <= nz; ++k) {
    for (int i = 1; i <= nx; ++i) {
      const int cell = (k - 1) * nx + (i - 1);
      if (fixed[cell] != 0) {
        target[cell] = source[cell];
        continue;
      }
      const int i_lo = std::max(i - 1, 1), i_hi = std::min(i + 1, nx);
      const int k_lo = std::max(k - 1, 1), k_hi = std::min(k + 1, nz);
      int neighbours = 0;
      int free_neighbours = 0;
      double s = 0, w_sum = 0;
      for (int kk = k_lo; kk <= k_hi; ++kk) {
        for (int ii = i_lo; ii <= i_hi; ++ii) {
          const int other = (kk - 1) * nx + (ii - 1);
          if (other != cell) {
            ++neighbours;
            if (fixed[other] == 0) ++free_neighbours;
          }
          if (fixed[other] != 0) continue;
          const double w = dx[ii - 1] * dz[kk - 1];
          s = s + source[other] * w;
          w_sum = w_sum + w;
        }
      }
      target[cell] = neighbours > 0 && free_neighbours == 0 ? source[cell] : s / w_sum;
    }
  }
  return target;
}

// Whether a free cell keeps its value: it has neighbours and all of them are fixed.
inline bool lone(const std::vector<std::uint8_t>& fixed, int nx, int nz, int cell) {
  const int i = cell % nx, k = cell / nx;
  int neighbours = 0;
  for (int kk = std::max(k - 1, 0); kk <= std::min(k + 1, nz - 1); ++kk) {
    for (int ii = std::max(i - 1, 0); ii <= std::min(i + 1, nx - 1); ++ii) {
      if (kk == k && ii == i) continue;
      ++neighbours;
      if (fixed[kk * nx + ii] == 0) return false;
    }
  }
  return neighbours > 0;
}

}  // namespace quelby::masked_literal
