#include "quelby/base/huge_pages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace quelby {
namespace {

// Below, at and above the size from which blocks are laid out for huge pages, growing an array
// that already holds values: the values, the size and the order stay; only the capacity grows.
TEST(HugePageArrays, KeepContentsAndSizeAtEverySize) {
  const std::size_t threshold_doubles = huge_page_threshold / sizeof(double);
  const std::size_t counts[] = {0,
                                1,
                                1000,
                                threshold_doubles - 1,
                                threshold_doubles,
                                std::size_t{1} << 18,
                                (std::size_t{1} << 21) + 3};
  for (const std::size_t count : counts) {
    SCOPED_TRACE(count);
    std::vector<double> array(37);
    std::iota(array.begin(), array.end(), 0.5);
    const std::vector<double> before = array;
    reserve_with_huge_pages(array, count);
    EXPECT_GE(array.capacity(), count);
    EXPECT_EQ(array, before);

    resize_with_huge_pages(array, count + 5);
    ASSERT_EQ(array.size(), count + 5);
    for (std::size_t i = 0; i < array.size(); ++i)
      ASSERT_EQ(array[i], i < before.size() ? before[i] : 0.0) << i;

    std::vector<std::int32_t> marks(3, 9);
    assign_with_huge_pages(marks, count, -1);
    ASSERT_EQ(marks.size(), count);
    EXPECT_EQ(std::count(marks.begin(), marks.end(), -1), static_cast<std::ptrdiff_t>(count));
    // A smaller assignment keeps the block.
    const std::int32_t* const data = marks.data();
    assign_with_huge_pages(marks, count / 2, 4);
    EXPECT_EQ(marks.size(), count / 2);
    if (count > 0) {
      EXPECT_EQ(marks.data(), data);
    }
  }
}

}  // namespace
}  // namespace quelby
