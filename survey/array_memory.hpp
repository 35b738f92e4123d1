// Per-datum arrays of a million data are first touched page by page, which costs far more in
// 4 KiB pages than in 2 MiB ones: large arrays are reserved, advised to use huge pages where the
// kernel leaves that to the program, and only then written. A hint only: nothing changes in what
// the readers compute.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace quelby::survey_memory {

template <typename T>
void reserve_huge(std::vector<T>& array, std::size_t count) {
  if (array.capacity() >= count) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
  if (count * sizeof(T) < 2 * huge_page) {
    array.reserve(count);
    return;
  }
  // One huge page more than needed, so that the page holding the last element lies wholly inside
  // the allocation and can be a huge one too; it costs address space only.
  std::vector<T>().swap(array);
  array.reserve(count + huge_page / sizeof(T));
  const auto begin = reinterpret_cast<std::uintptr_t>(array.data());
  const std::uintptr_t end = begin + array.capacity() * sizeof(T);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = end & ~(huge_page - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  array.reserve(count);
#endif
}

// `array` = `count` copies of `value`, in memory reserved by reserve_huge.
template <typename T>
void assign_huge(std::vector<T>& array, std::size_t count, std::type_identity_t<T> value) {
  reserve_huge(array, count);
  array.assign(count, value);
}

// `array` resized to `count` (new elements value-initialised), in memory reserved by reserve_huge.
template <typename T>
void resize_huge(std::vector<T>& array, std::size_t count) {
  reserve_huge(array, count);
  array.resize(count);
}

}  // namespace quelby::survey_memory
