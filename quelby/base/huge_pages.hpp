// Reserving large arrays so that the kernel backs them with huge pages: first touch of fresh
// memory costs about 10 microseconds a 4 KiB page, twenty times less in 2 MiB pages. A hint only;
// nothing changes in what a program computes.
#pragma once

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <vector>

namespace quelby {

// Blocks of at least this size are laid out for huge pages; a smaller one costs few 4 KiB pages
// and would waste most of a huge page.
inline constexpr std::size_t huge_page_threshold = std::size_t{512} << 10;

// Makes the capacity of `array` at least `count` elements, advising huge pages for a new block of
// 512 KiB or more. Such a block is sized to a whole number of huge pages less one 4 KiB page: the
// allocator then maps it on its own with its header in that page, and the kernel places a mapping
// of whole huge pages on a huge-page boundary, so that every page of the array can be a huge one
// (a block placed otherwise only gets the huge pages that fit inside it). Contents and size are
// unchanged.
template <typename T>
void reserve_with_huge_pages(std::vector<T>& array, std::size_t count) {
  if (array.capacity() >= count) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t huge_page = std::size_t{1} << 21;
  constexpr std::size_t small_page = std::size_t{1} << 12;
  if (count > array.max_size() / 2 || count * sizeof(T) < huge_page_threshold) {
    array.reserve(count);
    return;
  }
  const std::size_t pages = (count * sizeof(T) + small_page + huge_page - 1) / huge_page;
  // The block is advised before the elements move in: copied first, they would fault it in
  // 4 KiB pages.
  std::vector<T> block;
  block.reserve((pages * huge_page - small_page) / sizeof(T));
  // From the start of the 4 KiB page holding the first element: the advice is a property of the
  // pages, so the allocator's header sharing that page changes nothing.
  const auto begin = reinterpret_cast<std::uintptr_t>(block.data()) & ~(small_page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(block.data() + block.capacity());
  ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  // The allocator has already written its header, or a neighbour its data, into the huge page
  // where the block begins, so that page is mapped in 4 KiB pages and the rest of it would fault
  // page by page; collapsing it gives one huge page at the cost of one copy. Refused (and harmless)
  // where that huge page reaches outside the mapping.
  // (Linux 6.1 and later; older kernels refuse the unknown advice.)
  constexpr int collapse = 25;  // MADV_COLLAPSE, which older C library headers lack
  ::madvise(reinterpret_cast<void*>(begin & ~(huge_page - 1)), huge_page, collapse);
  block.insert(block.end(), std::make_move_iterator(array.begin()),
               std::make_move_iterator(array.end()));
  array.swap(block);
#else
  array.reserve(count);
#endif
}

// `array` = `count` copies of `value`, in a block reserved as above (the old contents are dropped
// first, not copied).
template <typename T>
void assign_with_huge_pages(std::vector<T>& array, std::size_t count,
                            const std::type_identity_t<T>& value) {
  if (array.capacity() < count) {
    std::vector<T>().swap(array);
    reserve_with_huge_pages(array, count);
  }
  array.assign(count, value);
}

// `array` resized to `count` (new elements value-initialised, the others kept), in a block
// reserved as above.
template <typename T>
void resize_with_huge_pages(std::vector<T>& array, std::size_t count) {
  reserve_with_huge_pages(array, count);
  array.resize(count);
}

}  // namespace quelby
