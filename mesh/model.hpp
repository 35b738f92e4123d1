// A model: one double per mesh cell, the x index fastest (value (i, k) of column i and row k is at
// k * nx + i, both 0-based), and the model file that carries it as text: a header of nx and nz,
// then the values. Written files use fixed-width fields that read back to 6 significant digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/io.hpp"
#include "mesh/mesh.hpp"

namespace quelby {

class Model {
 public:
  Model() = default;
  // Allocates nx * nz values, all zero. Large models are backed by huge pages where the
  // system allows, which makes their first touch far cheaper. Throws std::bad_alloc.
  Model(std::int32_t nx, std::int32_t nz);
  ~Model();
  Model(Model&& other) noexcept;
  Model& operator=(Model&& other) noexcept;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

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
  void swap(Model& other) noexcept;

 private:
  void release() noexcept;

  std::int32_t nx_ = 0;
  std::int32_t nz_ = 0;
  std::size_t size_ = 0;
  std::size_t mapped_bytes_ = 0;
  double* data_ = nullptr;
};

// Fills `model` (sized mesh.nx by mesh.nz) from the model file `name`; `label` names the model in
// the messages ("model" for the command). Writes "<label> was read from file: <name>" to the run
// log; on any failure writes its message and throws Stop.
void read_model(const Io& io, const Mesh& mesh, std::string_view name, std::string_view label,
                Model& model);

// Writes `model` to the file `name`: the header "nx nz" in two 5-column fields, then one line per
// row of nx values in 13-column exponent fields. The file is written beside its final name and
// renamed into place only when complete, so a failure leaves no partial file and an existing file
// untouched; the failure is reported as one line naming the file and the cause on the error stream
// and Stop is thrown.
void write_model(const Io& io, const Mesh& mesh, std::string_view name, const Model& model);

}  // namespace quelby
