#include "quelby/sparse/row_merge.hpp"
#include "quelby/base/stops.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/transcript.hpp"

namespace quelby {
namespace {

using testing::Transcript;

TEST(RowMerge, MergesIntoTheBufferAndStopsWhenItOverflows) {
  // One row with columns 4, 1, 4, 2.
  const CsrMatrix term{{1.0, 2.0, 0.5, 3.0}, {4, 1, 4, 2}, {0, 4}};
  Transcript transcript;
  std::vector<std::int32_t> columns{1, 0, 0};
  std::vector<double> values{10.0, 0.0, 0.0};
  std::int32_t count = 1;
  accumulate_row(transcript.io(), term, 0, columns, values, count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(columns, (std::vector<std::int32_t>{1, 4, 2}));
  EXPECT_EQ(values, (std::vector<double>{12.0, 1.5, 3.0}));

  std::vector<std::int32_t> small_columns{7, 0};
  std::vector<double> small_values{1.0, 0.0};
  count = 1;
  EXPECT_THROW(accumulate_row(transcript.io(), term, 0, small_columns, small_values, count), Stop);
  EXPECT_EQ(transcript.error(), "icnt > size(row)\n");
}

}  // namespace
}  // namespace quelby
