// The sequential reference versions of the scanning CSR operations: each output entry is found by
// scanning whole rows, so the cost grows with the square of the number of rows. The fast versions
// in sparse/csr.cpp must match these entry for entry and bit for bit. Indices are 0-based; output
// arrays grow whenever a position beyond them is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quelby/sparse/csr.hpp"

namespace quelby::literal {

struct Range {
  std::int32_t begin;
  std::int32_t end;
  bool empty() const { return end <= begin; }
};

inline Range row_of(const CsrMatrix& a, std::int32_t row) {
  return {a.row_start[row], a.row_start[row + 1]};
}

inline void store(CsrMatrix& out, std::int32_t position, std::int32_t column, double value) {
  const auto p = static_cast<std::size_t>(position);
  if (out.values.size() <= p) out.values.resize(p + 1);
  if (out.columns.size() <= p) out.columns.resize(p + 1);
  out.values[p] = value;
  out.columns[p] = column;
}

inline void transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t) {
  const std::int32_t m = csr_row_count(a);
  t.row_start.resize(n + 1);
  std::int32_t p = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    t.row_start[i] = p;
    for (std::int32_t j = 0; j < m; ++j) {
      const Range row = row_of(a, j);
      for (std::int32_t k = row.begin; k < row.end; ++k) {
        if (a.columns[k] == i) {
          store(t, p, j, a.values[k]);
          ++p;
          break;
        }
      }
    }
  }
  t.row_start[n] = p;
}

inline void scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                           std::int32_t n, CsrMatrix& c) {
  c.row_start.resize(n + 1);
  std::int32_t p = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    c.row_start[i] = p;
    const Range row = row_of(a, i);
    if (row.empty()) continue;
    for (std::int32_t j = 0; j < n; ++j) {
      double s = 0;
      for (std::int32_t k = row.begin; k < row.end; ++k) {
        const std::int32_t l = a.columns[k];
        if (l < 0 || l >= n) continue;  // names no row of B
        const Range b_row = row_of(b, l);
        for (std::int32_t q = b_row.begin; q < b_row.end; ++q) {
          if (b.columns[q] == j) {
            s += a.values[k] * e[l] * b.values[q];
            break;
          }
        }
      }
      if (s != 0) {
        store(c, p, j, s);
        ++p;
      }
    }
  }
  c.row_start[n] = p;
}

inline void weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g) {
  transpose(a, n, g);
  const std::int32_t n_entries = g.row_start[n];
  a.row_start = g.row_start;
  for (std::int32_t k = 0; k < n_entries; ++k) store(a, k, g.columns[k], g.values[k]);
  auto column = [&](std::int32_t k) { return a.columns[k]; };
  auto value = [&](std::int32_t k) { return a.values[k]; };

  std::int32_t p = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    g.row_start[i] = p;
    const Range row_i = row_of(a, i);
    if (row_i.empty()) continue;
    for (std::int32_t j = 0; j < n; ++j) {
      const Range row_j = row_of(a, j);
      if (row_j.empty()) continue;
      if (column(row_i.end - 1) < column(row_j.begin) ||
          column(row_j.end - 1) < column(row_i.begin)) {
        continue;
      }
      bool found = false;
      double s = 0;
      for (std::int32_t k = row_j.begin; k < row_j.end; ++k) {
        const std::int32_t h = column(k);
        for (std::int32_t q = row_i.begin; q < row_i.end; ++q) {
          if (column(q) == h) {
            found = true;
            s += value(k) * b[h] * value(q);
            break;
          }
        }
      }
      if (found) {
        store(g, p, j, s);
        ++p;
      }
    }
  }
  g.row_start[n] = p;
}

// The classic index heapsort on a 1-based heap, as it is usually written.
inline void index_heapsort(std::span<const std::int32_t> keys, std::span<std::int32_t> index) {
  const auto n = static_cast<std::int64_t>(keys.size());
  std::vector<std::int64_t> idx(keys.size() + 1);  // idx[1..n], 1-based keys
  auto key = [&](std::int64_t t) { return keys[static_cast<std::size_t>(t - 1)]; };
  for (std::int64_t i = 1; i <= n; ++i) idx[i] = i;
  std::int64_t l = n / 2 + 1;
  std::int64_t r = n;
  while (n > 1) {
    std::int64_t t;
    if (l > 1) {
      l = l - 1;
      t = idx[l];
    } else {
      t = idx[r];
      idx[r] = idx[1];
      r = r - 1;
      if (r == 1) {
        idx[1] = t;
        break;
      }
    }
    const std::int32_t q = key(t);
    std::int64_t i = l;
    std::int64_t c = 2 * l;
    while (c <= r) {
      if (c < r && key(idx[c]) < key(idx[c + 1])) c = c + 1;
      if (!(q < key(idx[c]))) break;
      idx[i] = idx[c];
      i = c;
      c = 2 * c;
    }
    idx[i] = t;
  }
  for (std::int64_t i = 1; i <= n; ++i) index[i - 1] = static_cast<std::int32_t>(idx[i] - 1);
}

}  // namespace quelby::literal
