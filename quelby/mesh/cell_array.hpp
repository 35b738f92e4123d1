// A cell-sized array: one double per mesh cell, the x index fastest (value (i, k) of column i and
// row k is at k * nx + i, both 0-based). Models are cell arrays (Model, mesh/model.hpp); so are the
// cell weights, which are not models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quelby {

class CellArray {
 public:
  CellArray() = default;
  // Allocates nx * nz values, all zero. Large arrays are backed by huge pages where the
  // system allows, which makes their first touch far cheaper. Throws std::bad_alloc.
  CellArray(std::int32_t nx, std::int32_t nz);
  ~CellArray();
  CellArray(CellArray&& other) noexcept;
  CellArray& operator=(CellArray&& other) noexcept;
  CellArray(const CellArray&) = delete;
  CellArray& operator=(const CellArray&) = delete;

  std::int32_t nx() const noexcept { return nx_; }
  std::int32_t nz() const noexcept { return nz_; }
  std::size_t size() const noexcept { return size_; }
  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::span<double> values() noexcept { return {data_, size_}; }
  std::span<const double> values() const noexcept { return {data_, size_}; }
  double& operator()(std::int32_t i, std::int32_t k) noexcept {
    return data_[static_cast<std::size_t>(k) * static_cast<std::size_t>(nx_) +
                 static_cast<std::size_t>(i)];
  }
  double operator()(std::int32_t i, std::int32_t k) const noexcept {
    return data_[static_cast<std::size_t>(k) * static_cast<std::size_t>(nx_) +
                 static_cast<std::size_t>(i)];
  }
  // Sets every value to `value`. Linear in cells.
  void fill(double value) noexcept;
  void swap(CellArray& other) noexcept;

 private:
  void release() noexcept;

  std::int32_t nx_ = 0;
  std::int32_t nz_ = 0;
  std::size_t size_ = 0;
  std::size_t mapped_bytes_ = 0;  // 0: the values came from the allocator
  double* data_ = nullptr;
};

}  // namespace quelby
