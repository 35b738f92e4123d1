// The pieces of the module, one function per group of stores, and the helpers they share for
// handing arrays across without copies.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "quelby/forward/parameter_grid.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/model.hpp"

namespace quelby::python {

namespace py = pybind11;

// A file name argument: a str or any os.PathLike whose path is a str (pathlib.Path).
struct FileName {
  std::string text;
};

// The three weight-file names as the library takes them.
inline std::array<std::string, 3> texts(const std::array<FileName, 3>& names) {
  return {names[0].text, names[1].text, names[2].text};
}

// A read-only numpy view of `values`, which `owner` keeps alive.
template <typename T>
py::array_t<T> view(const std::vector<T>& values, py::handle owner) {
  py::array_t<T> array({static_cast<py::ssize_t>(values.size())}, {sizeof(T)}, values.data(),
                       owner);
  array.attr("flags").attr("writeable") = false;
  return array;
}

// A read-only numpy view of a vector field of the object `self` of type T.
template <typename T, typename Value>
auto field_view(std::vector<Value> T::*field) {
  return [field](py::object self) { return view(self.cast<T&>().*field, self); };
}

// A writeable numpy array that takes `values` over (no copy of the elements).
template <typename T>
py::array_t<T> take(std::vector<T>&& values) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
  return py::array_t<T>({static_cast<py::ssize_t>(held->size())}, {sizeof(T)}, held->data(), owner);
}

// A mode given as its number or its name: `names` lists (name, number) pairs; a number is taken as
// it stands (the library decides what an unknown one means), an unknown name is a ValueError.
std::int32_t mode_code(py::handle mode,
                       std::initializer_list<std::pair<const char*, std::int32_t>> names,
                       const char* what);
// weight_input: "ones" 0, "file" 1, "files" 2.
std::int32_t weight_input_code(py::handle mode);
// dip_input: "none" 0, "file" 1.
std::int32_t dip_input_code(py::handle mode);

// A writeable (nz, nx) numpy array that takes a per-cell vector (cell order) over, no copy.
template <typename T>
py::array_t<T> take_cells(std::vector<T>&& values, std::int32_t nx, std::int32_t nz) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
  return py::array_t<T>({static_cast<py::ssize_t>(nz), static_cast<py::ssize_t>(nx)},
                        {static_cast<py::ssize_t>(nx) * static_cast<py::ssize_t>(sizeof(T)),
                         static_cast<py::ssize_t>(sizeof(T))},
                        held->data(), owner);
}

// A writeable (nz, ny, nx) numpy array that takes a per-cell vector of a 3-D mesh over (cell
// (i, j, k) at (k * ny + j) * nx + i, so element [k, j, i]), no copy.
template <typename T>
py::array_t<T> take_cells3d(std::vector<T>&& values, std::int32_t nx, std::int32_t ny,
                            std::int32_t nz) {
  auto* held = new std::vector<T>(std::move(values));
  py::capsule owner(held, [](void* pointer) { delete static_cast<std::vector<T>*>(pointer); });
  const auto row = static_cast<py::ssize_t>(nx) * static_cast<py::ssize_t>(sizeof(T));
  return py::array_t<T>(
      {static_cast<py::ssize_t>(nz), static_cast<py::ssize_t>(ny), static_cast<py::ssize_t>(nx)},
      {row * static_cast<py::ssize_t>(ny), row, static_cast<py::ssize_t>(sizeof(T))}, held->data(),
      owner);
}

// A copy of a 3-D model given as an array of shape (nz, ny, nx) or nx * ny * nz values in cell
// order, checked against the mesh; ValueError naming `what` for another shape.
std::vector<double> model3d_from_array(const Mesh3D& mesh, py::handle array, const char* what);

// The air cells of a 3-D mesh's columns: None (none), an object with air_cells, or nx * ny counts
// (shape (ny, nx) or flat, column (i, j) at j * nx + i), each from 0 to nz.
std::vector<std::int32_t> air_cells3d_of(const Mesh3D& mesh, py::handle given);

// A (nz, nx) numpy array that takes the model over.
py::array_t<double> take_model(CellArray&& model);

// A model holding a copy of `array` (shape (nz, nx) or nx * nz values), checked against the mesh.
Model model_from_array(const Mesh& mesh, py::handle array);

// The flags of an active-cell mask (booleans, or the whole numbers 1, 0, -1) of shape (nz, nx) or
// nx * nz values in cell order; TypeError or ValueError for anything else.
std::vector<std::int32_t> mask_flags(const Mesh& mesh, py::handle mask);

// A contiguous double vector of `expected` elements (any -1 accepts any length).
py::array_t<double, py::array::c_style | py::array::forcecast> vector_argument(
    py::handle array, std::ptrdiff_t expected, const char* what);

// One function per floor of the library (base has three pieces), each in the file of its name.
// A parameter cell as Python gives it: None (`none`), 'mesh', 'auto' or a positive width in
// metres; anything else raises ValueError naming `name`.
ParameterCellChoice parameter_cell_choice(py::handle value, const char* name,
                                          ParameterCellChoice none);

void bind_stop(py::module_& module);
void bind_control_input(py::module_& module);
void bind_mesh_and_models(py::module_& module);  // the mesh, model files and topography
void bind_survey(py::module_& module);
void bind_mesh3d(py::module_& module);     // the 3-D mesh, its model and topography files, VTK
void bind_survey3d(py::module_& module);   // the 3-D survey store and its file
void bind_forward3d(py::module_& module);  // meshes and parameter grids for 3-D surveys, forward
void bind_cells(py::module_& module);      // active cells and cell weights
void bind_regularization(py::module_& module);  // coefficients, dipping zones and the objective
void bind_objective(py::module_& module);       // objective.cpp: bind_regularization's last part
void bind_smoothing(py::module_& module);
void bind_reports(py::module_& module);
void bind_forward(py::module_& module);  // surveys from arrays, meshes for surveys, forward models
void bind_fielddata(py::module_& module);  // the import of field data files
void bind_inversion(py::module_& module);  // the inversion of a survey
void bind_timelapse(py::module_& module);  // the pieces of a time-lapse inversion
void bind_parallel(py::module_& module);   // the worker pool's thread count
void bind_pickling(py::module_& module);   // pickling of the stores, once their classes exist
// spd_solver.cpp: the solver of the 3-D forward's sparse symmetric positive definite systems.
void bind_spd_solver(py::module_& module);

}  // namespace quelby::python

namespace pybind11::detail {

template <>
struct type_caster<quelby::python::FileName> {
  PYBIND11_TYPE_CASTER(quelby::python::FileName, const_name("str | os.PathLike"));

  bool load(handle source, bool) {
    if (!PyUnicode_Check(source.ptr()) && !hasattr(source, "__fspath__")) return false;
    const object text = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
    if (!text) {
      PyErr_Clear();
      return false;
    }
    if (!PyUnicode_Check(text.ptr())) return false;  // bytes paths are not taken
    value.text = text.cast<std::string>();
    return true;
  }

  static handle cast(const quelby::python::FileName& name, return_value_policy, handle) {
    return str(name.text).release();
  }
};

}  // namespace pybind11::detail
