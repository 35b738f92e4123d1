// The pieces of the module, one function per group of stores, and the helpers they share for
// handing arrays across without copies.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "mesh/mesh.hpp"
#include "mesh/model.hpp"

namespace quelby::python {

namespace py = pybind11;

// A read-only numpy view of `values`, which `owner` keeps alive.
template <typename T>
py::array_t<T> view(const std::vector<T>& values, py::handle owner) {
  py::array_t<T> array({static_cast<py::ssize_t>(values.size())}, {sizeof(T)}, values.data(),
                       owner);
  array.attr("flags").attr("writeable") = false;
  return array;
}

// A writeable numpy array that takes `values` over (no copy of the elements).
template <typename T>
py::array_t<T> take(std::vector<T>&& values) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
  return py::array_t<T>({static_cast<py::ssize_t>(held->size())}, {sizeof(T)}, held->data(), owner);
}

// A (nz, nx) numpy array that takes the model over.
py::array_t<double> take_model(CellArray&& model);

// A model holding a copy of `array` (shape (nz, nx) or nx * nz values), checked against the mesh.
Model model_from_array(const Mesh& mesh, py::handle array);

// A contiguous double vector of `expected` elements (any -1 accepts any length).
py::array_t<double, py::array::c_style | py::array::forcecast> vector_argument(
    py::handle array, std::ptrdiff_t expected, const char* what);

void bind_stop(py::module_& module);
void bind_mesh_and_models(py::module_& module);
void bind_stores(py::module_& module);
void bind_objective(py::module_& module);

}  // namespace quelby::python
