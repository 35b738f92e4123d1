#include "quelby/sparse/row_merge.hpp"
#include "quelby/base/stops.hpp"

#include <algorithm>

namespace quelby {

void accumulate_row(const Io& io, const CsrMatrix& term, std::int32_t i,
                    std::span<std::int32_t> row_columns, std::span<double> row_values,
                    std::int32_t& count) {
  const std::size_t capacity = std::min(row_columns.size(), row_values.size());
  if (i < 0 || static_cast<std::size_t>(i) + 1 >= term.row_start.size())
    internal_check_failed(io, "row outside the term");
  if (count < 0 || static_cast<std::size_t>(count) > capacity)
    internal_check_failed(io, "icnt > size(row)");
  auto used = static_cast<std::size_t>(count);
  const bool fits = merge_row(term, static_cast<std::size_t>(i), row_columns.data(),
                              row_values.data(), capacity, used);
  count = static_cast<std::int32_t>(used);
  if (!fits) internal_check_failed(io, "icnt > size(row)");
}

}  // namespace quelby
