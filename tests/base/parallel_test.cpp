#include "quelby/base/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
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

// The count set is the count of parts and of distinct threads (1: the caller alone); every index
// still runs once.
TEST(Parallel, TheThreadCountCanBeSetPerProcess) {
  const int original = parallel_thread_count();
  for (const int count : {1, 3, 2, 1, 64, 0}) {
    const int expected = count < 1 ? 1 : count;
    ASSERT_EQ(set_parallel_thread_count(count), expected);
    ASSERT_EQ(parallel_thread_count(), expected);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<std::atomic<int>> visits(10007);
    parallel_for(static_cast<std::int64_t>(visits.size()), 1,
                 [&](std::int64_t begin, std::int64_t end) {
                   {
                     const std::lock_guard<std::mutex> lock(mutex);
                     threads.insert(std::this_thread::get_id());
                   }
                   for (std::int64_t j = begin; j < end; ++j) ++visits[static_cast<std::size_t>(j)];
                 });
    EXPECT_EQ(threads.size(), static_cast<std::size_t>(expected)) << count;
    if (expected == 1) {
      EXPECT_EQ(*threads.begin(), std::this_thread::get_id());
    }
    for (const auto& visit : visits) ASSERT_EQ(visit.load(), 1) << count;
  }
  EXPECT_EQ(set_parallel_thread_count(original), original);
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
