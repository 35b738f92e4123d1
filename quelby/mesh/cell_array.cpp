#include "quelby/mesh/cell_array.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace quelby {

namespace {

constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// `bytes` of zeroed memory: a mapping aligned to a huge page when the size warrants one, so that
// the whole range can be backed by huge pages; from the allocator otherwise.
double* map_values(std::size_t bytes, std::size_t& mapped_bytes) {
  const bool huge = bytes >= huge_page_bytes;
  if (!huge) {
    // Small arrays come from the allocator, which may hand back memory the process has used
    // already; mapped_bytes 0 marks them.
    void* const block = std::calloc(bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    mapped_bytes = 0;
    return static_cast<double*>(block);
  }
  const std::size_t request =
      huge ? (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes + huge_page_bytes
           : bytes;
  void* const mapping =
      ::mmap(nullptr, request, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  if (!huge) {
    mapped_bytes = request;
    return static_cast<double*>(mapping);
  }
  // The mapping starts on a page boundary, so at most a huge page less a page lies before the
  // aligned start, and whole huge pages after it still end inside the mapping (a last huge page
  // cut short by the end of the mapping would fault in 4 KiB pages).
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + huge_page_bytes - 1) & ~(huge_page_bytes - 1);
  const std::size_t head = aligned - start;
  const std::size_t length = (bytes + huge_page_bytes - 1) / huge_page_bytes * huge_page_bytes;
  if (head > 0) ::munmap(mapping, head);
  ::munmap(reinterpret_cast<void*>(aligned + length), request - head - length);
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  mapped_bytes = length;
  return reinterpret_cast<double*>(aligned);
}

}  // namespace

CellArray::CellArray(std::int32_t nx, std::int32_t nz) : nx_(nx), nz_(nz) {
  if (nx < 0 || nz < 0) throw std::bad_alloc();
  size_ = static_cast<std::size_t>(nx) * static_cast<std::size_t>(nz);
  if (size_ == 0) return;
  if (size_ > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
  data_ = map_values(size_ * sizeof(double), mapped_bytes_);
}

CellArray::~CellArray() {
  release();
}

CellArray::CellArray(CellArray&& other) noexcept {
  swap(other);
}

CellArray& CellArray::operator=(CellArray&& other) noexcept {
  if (this != &other) {
    release();
    swap(other);
  }
  return *this;
}

void CellArray::swap(CellArray& other) noexcept {
  std::swap(nx_, other.nx_);
  std::swap(nz_, other.nz_);
  std::swap(size_, other.size_);
  std::swap(mapped_bytes_, other.mapped_bytes_);
  std::swap(data_, other.data_);
}

void CellArray::fill(const double value) noexcept {
  std::fill_n(data_, size_, value);
}

void CellArray::release() noexcept {
  if (data_ != nullptr) {
    if (mapped_bytes_ == 0) {
      std::free(data_);
    } else {
      ::munmap(data_, mapped_bytes_);
    }
  }
  data_ = nullptr;
  nx_ = nz_ = 0;
  size_ = mapped_bytes_ = 0;
}

}  // namespace quelby
