#include "quelby/base/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace quelby {
namespace {

TEST(Parallel, EveryIndexRunsExactlyOnce) {
  for (const std::int64_t count : {0, 1, 2, 3, 17, 1000, 100001}) {
    std::vector<std::atomic<int>> visits(static_cast<std::size_t>(count));
    parallel_for(count, 1, [&](std::int64_t begin, std::int64_t end) {
      EXPECT_LE(0, begin);
      EXPECT_LT(begin, end);
      EXPECT_LE(end, count);
      for (std::int64_t j = begin; j < end; ++j) ++visits[static_cast<std::size_t>(j)];
    });
    for (const auto& visit : visits) ASSERT_EQ(visit.load(), 1) << count;
  }
}

// A part that throws does not stop the others, and its exception reaches the caller; without one
// the loop returns normally.
TEST(Parallel, AnExceptionOfAPartIsRethrownAfterEveryPartRan) {
  for (const std::int64_t count : {1, 2, 7, 1000}) {
    std::vector<std::atomic<int>> visits(static_cast<std::size_t>(count));
    EXPECT_THROW(parallel_for_rethrowing(count, 1,
                                         [&](std::int64_t begin, std::int64_t end) {
                                           for (std::int64_t j = begin; j < end; ++j)
                                             ++visits[static_cast<std::size_t>(j)];
                                           if (begin == 0) throw std::runtime_error("part 0");
                                         }),
                 std::runtime_error);
    for (const auto& visit : visits) ASSERT_EQ(visit.load(), 1) << count;
  }
  std::atomic<std::int64_t> total{0};
  parallel_for_rethrowing(50, 1,
                          [&](std::int64_t begin, std::int64_t end) { total += end - begin; });
  EXPECT_EQ(total.load(), 50);
}

TEST(Parallel, NestedLoopsRunOnTheirCaller) {
  std::atomic<std::int64_t> total{0};
  parallel_for(8, 1, [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t j = begin; j < end; ++j) {
      parallel_for(100, 1, [&](std::int64_t b, std::int64_t e) { total += e - b; });
    }
  });
  EXPECT_EQ(total.load(), 800);
}

#if defined(__x86_64__)
// Flush-to-zero set by the caller holds in every part, whichever thread runs it.
TEST(Parallel, WorkersUseTheCallersFloatingPointControl) {
  const unsigned saved = _mm_getcsr();
  for (const unsigned flags : {0x8040u, 0u, 0x8040u}) {
    _mm_setcsr((saved & ~0x8040u) | flags);
    std::vector<unsigned> seen(static_cast<std::size_t>(parallel_thread_count()) * 4, ~0u);
    parallel_for(static_cast<std::int64_t>(seen.size()), 1,
                 [&](std::int64_t begin, std::int64_t end) {
                   for (std::int64_t j = begin; j < end; ++j)
                     seen[static_cast<std::size_t>(j)] = _mm_getcsr() & 0x8040u;
                 });
    for (const unsigned value : seen) EXPECT_EQ(value, flags);
  }
  _mm_setcsr(saved);
}
#endif

}  // namespace
}  // namespace quelby
