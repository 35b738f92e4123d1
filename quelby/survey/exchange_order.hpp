// The order in which the general layout's exchange passes leave the data, in O(n log n) instead
// of the passes' n^2 / 2 comparisons. One pass (for i < j: swap when key(i) > key(j)) leaves the
// keys ascending; among equal keys v its order follows from walking, in input order, the data
// whose key is at most v: a datum of key v is appended to a run, and a datum of smaller key met
// once the run has begun rotates the run by one place. The keys are ranked by a radix sort, the
// counts of smaller keys come from a Fenwick tree over the ranks walked in input order, and each
// run's appends and rotations are resolved offline by insertion at rank. Keys are compared as
// doubles (0 and -0 are one key; keys are never NaN).
#pragma once

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace quelby {

// The allocator of the working arrays: a block of 256 KiB or more is taken whole in 2 MiB pages
// (aligned to 2 MiB, its size rounded up to them, huge pages advised), since a fresh 4 KiB page
// costs about 10 microseconds on first touch and a 2 MiB one about as much as twenty of them;
// smaller blocks come from the ordinary allocator. At most 2 MiB of a block goes unused.
template <typename T>
struct WorkAllocator {
  using value_type = T;
  WorkAllocator() = default;
  template <typename U>
  WorkAllocator(const WorkAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < large) return std::allocator<T>().allocate(count);
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void* const block = std::aligned_alloc(huge_page, rounded);
    if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    if (count * sizeof(T) < large) {
      std::allocator<T>().deallocate(block, count);
    } else {
      std::free(block);
    }
  }
  template <typename U>
  bool operator==(const WorkAllocator<U>&) const noexcept {
    return true;
  }

  static constexpr std::size_t huge_page = std::size_t{1} << 21;
  static constexpr std::size_t large = std::size_t{1} << 18;
};

template <typename T>
using WorkArray = std::vector<T, WorkAllocator<T>>;

// Reused working arrays, so that many small orderings allocate nothing.
struct ExchangeWork {
  WorkArray<std::int32_t> by_key;
  WorkArray<std::int32_t> tree;
  WorkArray<std::uint64_t> counts;
  WorkArray<std::int32_t> ranks;
  WorkArray<std::int32_t> smaller_before;
  WorkArray<std::int32_t> inserts;
  WorkArray<std::int32_t> scratch;
  WorkArray<std::uint64_t> bits;
  WorkArray<std::uint64_t> other_bits;
  WorkArray<std::uint32_t> histogram;
};

// order[t] = the 0-based input index of the datum that one exchange pass over `keys` puts at
// place t. `order` has keys.size() entries.
void exchange_pass_order(std::span<const double> keys, std::span<std::int32_t> order,
                         ExchangeWork& work);

// The same order by the characterisation alone, whatever the size (small inputs otherwise take
// the literal pass). Exposed for the tests.
void exchange_pass_order_characterised(std::span<const double> keys, std::span<std::int32_t> order,
                                       ExchangeWork& work);

// The two passes of the general layout: by `a`, then by `b` inside each run of equal `a`.
// Returns perm, 0-based indices into a and b in grouped order.
std::vector<std::int32_t> grouped_order(std::span<const double> a, std::span<const double> b);
// The same into `perm` (resized to a.size()), a working array of the reader.
void grouped_order(std::span<const double> a, std::span<const double> b,
                   WorkArray<std::int32_t>& perm);

}  // namespace quelby
