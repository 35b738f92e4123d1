// Merging a row of a compressed-row matrix into a short row buffer: a column already in a slot adds
// its value there, a new one takes the next free slot. This is how the objective sums its terms row
// by row. Row and slot indices are 0-based, as everywhere in sparse/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "quelby/base/io.hpp"
#include "quelby/sparse/csr.hpp"

namespace quelby {

// Merges row i of `term` into the first `count` slots of a row buffer of `capacity` slots.
// Returns false when a new column finds no free slot; `count` then holds the slots in use.
// O(entries of the row x slots in use): each entry looks for its column among the used slots.
inline bool merge_row(const CsrMatrix& term, std::size_t i, std::int32_t* row_columns,
                      double* row_values, std::size_t capacity, std::size_t& count) noexcept {
  const std::int32_t first = term.row_start[i];
  const std::int32_t last = term.row_start[i + 1];
  for (std::int32_t k = first; k < last; ++k) {
    const std::int32_t column = term.columns[static_cast<std::size_t>(k)];
    const double value = term.values[static_cast<std::size_t>(k)];
    std::size_t slot = 0;
    while (slot < count && row_columns[slot] != column) ++slot;
    if (slot < count) {
      row_values[slot] += value;
      continue;
    }
    if (count >= capacity) return false;
    row_columns[count] = column;
    row_values[count] = value;
    ++count;
  }
  return true;
}

// Adds row i (0-based) of `term` into a row buffer whose first `count` slots are in use, as
// merge_row does, over min(row_columns.size(), row_values.size()) slots. Stops with
// "icnt > size(row)" (error stream, then Stop) when a new column would need a slot beyond them, or
// when `count` exceeds them; with "row outside the term" when i is not a row of `term`.
// O(entries of the row x slots in use).
void accumulate_row(const Io& io, const CsrMatrix& term, std::int32_t i,
                    std::span<std::int32_t> row_columns, std::span<double> row_values,
                    std::int32_t& count);

}  // namespace quelby
