// The mesh floor for Python: the Mesh with its arrays as read-only views, model files read into and
// written from numpy arrays, and the topography.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "streams.hpp"

namespace quelby::python {

py::array_t<double> take_model(CellArray&& model) {
  auto* held = new CellArray(std::move(model));
  py::capsule owner(held, [](void* pointer) { delete static_cast<CellArray*>(pointer); });
  const auto nx = static_cast<py::ssize_t>(held->nx());
  const auto nz = static_cast<py::ssize_t>(held->nz());
  return py::array_t<double>(
      {nz, nx},
      {nx * static_cast<py::ssize_t>(sizeof(double)), static_cast<py::ssize_t>(sizeof(double))},
      held->data(), owner);
}

py::array_t<double, py::array::c_style | py::array::forcecast> vector_argument(
    py::handle array, std::ptrdiff_t expected, const char* what) {
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
  if (!values) throw py::type_error(std::string(what) + ": expected an array of numbers");
  if (expected >= 0 && values.size() != expected) {
    throw py::value_error(std::string(what) + ": expected " + std::to_string(expected) +
                          " values, got " + std::to_string(values.size()));
  }
  return values;
}

std::int32_t mode_code(py::handle mode,
                       std::initializer_list<std::pair<const char*, std::int32_t>> names,
                       const char* what) {
  if (py::isinstance<py::str>(mode)) {
    const std::string name = mode.cast<std::string>();
    std::string known;
    for (const auto& [text, number] : names) {
      if (name == text) return number;
      known += (known.empty() ? "'" : ", '") + std::string(text) + "'";
    }
    throw py::value_error(std::string(what) + ": unknown name '" + name + "' (known: " + known +
                          ")");
  }
  // Any integer (numpy's too), but not a bool.
  const py::object number = py::reinterpret_steal<py::object>(
      py::isinstance<py::bool_>(mode) ? nullptr : PyNumber_Index(mode.ptr()));
  if (!number) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + ": expected a number or a name");
  }
  const long long value = number.cast<long long>();
  if (value < INT32_MIN || value > INT32_MAX) {
    throw py::value_error(std::string(what) + ": out of range");
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t weight_input_code(py::handle mode) {
  return mode_code(mode, {{"ones", 0}, {"file", 1}, {"files", 2}}, "weight_input");
}

std::int32_t dip_input_code(py::handle mode) {
  return mode_code(mode, {{"none", 0}, {"file", 1}}, "dip_input");
}

Model model_from_array(const Mesh& mesh, py::handle array) {
  const auto values = vector_argument(array, -1, "model");
  const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  const bool shaped =
      values.ndim() == 2 && values.shape(0) == mesh.nz && values.shape(1) == mesh.nx;
  const bool flat = values.ndim() == 1 && static_cast<std::size_t>(values.size()) == cells;
  if (!shaped && !flat) {
    throw py::value_error("model: expected shape (" + std::to_string(mesh.nz) + ", " +
                          std::to_string(mesh.nx) + ") for this mesh");
  }
  Model model(mesh.nx, mesh.nz);
  if (cells > 0) std::memcpy(model.data(), values.data(), cells * sizeof(double));
  return model;
}

void bind_mesh_and_models(py::module_& module) {
  py::class_<Mesh>(module, "Mesh",
                   "The 2-D tensor mesh: nx columns along x, nz rows along z (depth, growing "
                   "downwards). The arrays are read-only numpy views, 0-based: column i of the "
                   "files' 1-based numbering is element i - 1.")
      .def(py::init<>())
      .def_readonly("nx", &Mesh::nx, "Number of columns.")
      .def_readonly("nz", &Mesh::nz, "Number of rows.")
      .def_property_readonly(
          "x_nodes", [](py::object self) { return view(self.cast<Mesh&>().x_nodes, self); },
          "The nx + 1 column edges along x (m), increasing.")
      .def_property_readonly(
          "z_nodes", [](py::object self) { return view(self.cast<Mesh&>().z_nodes, self); },
          "The nz + 1 row edges in depth (m), increasing downwards.")
      .def_property_readonly(
          "dx", [](py::object self) { return view(self.cast<Mesh&>().dx, self); },
          "The nx column widths.")
      .def_property_readonly(
          "dz", [](py::object self) { return view(self.cast<Mesh&>().dz, self); },
          "The nz row heights.")
      .def_property_readonly(
          "x_centres", [](py::object self) { return view(self.cast<Mesh&>().x_centres, self); },
          "The nx column centres.")
      .def_property_readonly(
          "z_centres", [](py::object self) { return view(self.cast<Mesh&>().z_centres, self); },
          "The nz row centres.")
      .def_readonly("x_mid", &Mesh::x_mid, "Halfway between the first and the last x node.")
      .def_readonly("z_first", &Mesh::z_first, "The first z node.")
      .def_readonly("node_count", &Mesh::node_count, "(nx + 1) * (nz + 1).")
      .def_readonly("z_node_count_plus_one", &Mesh::z_node_count_plus_one, "nz + 2.")
      .def("__repr__", [](const Mesh& mesh) {
        return "<quelby.Mesh " + std::to_string(mesh.nx) + " x " + std::to_string(mesh.nz) + ">";
      });

  module.def(
      "load_mesh",
      [](const FileName& path, py::object io) {
        Mesh mesh;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { load_mesh(streams, path.text, mesh); });
        return mesh;
      },
      py::arg("path"), py::arg("io") = py::none(),
      "Reads a mesh file (x segments, then z segments) into a new Mesh; writes 'mesh was read "
      "from:' to the run log.");

  module.def(
      "read_model",
      [](const FileName& path, const Mesh& mesh, const std::string& label, py::object io) {
        Model model(mesh.nx, mesh.nz);  // std::bad_alloc becomes MemoryError
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_model(streams, mesh, path.text, label, model);
        });
        return take_model(std::move(model));
      },
      py::arg("path"), py::arg("mesh"), py::arg("label") = "model", py::arg("io") = py::none(),
      "Reads a model file for the mesh into a new array of shape (nz, nx), x fastest (element "
      "[k - 1, i - 1] is the file's cell (i, k)). `label` names the model in the messages and the "
      "run log. A file whose counts differ from the mesh's raises quelby.Stop.");

  module.def(
      "write_model",
      [](const FileName& path, const Mesh& mesh, py::handle array, py::object io) {
        const Model model = model_from_array(mesh, array);
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { write_model(streams, mesh, path.text, model); });
      },
      py::arg("path"), py::arg("mesh"), py::arg("array"), py::arg("io") = py::none(),
      "Writes `array` (shape (nz, nx) or nx * nz values in cell order) as a model file, byte "
      "for byte as the command does; the file appears whole or not at all.");

  py::class_<Topography>(module, "Topography",
                         "The ground surface: air cells per column, surface z per x node.")
      .def(py::init<>())
      .def_readonly("has_topography", &Topography::has_topography)
      .def_property_readonly("air_cells", field_view(&Topography::air_cells))
      .def_property_readonly("surface_z", field_view(&Topography::surface_z))
      .def_readonly("reference_elevation", &Topography::reference_elevation,
                    "The file's reference elevation, the elevation of z = 0 (a depth z lies at "
                    "reference_elevation - z); 0 without a file.");
  module.def(
      "read_topography",
      [](const Mesh& mesh, std::optional<FileName> path, py::object io) {
        Topography topography;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_topography(streams, path.has_value(), path.value_or(FileName{}).text, mesh.x_nodes,
                          mesh.z_nodes, topography);
        });
        return topography;
      },
      py::arg("mesh"), py::arg("path") = py::none(), py::arg("io") = py::none(),
      "Reads a topography file for the mesh; without a path no cell is in the air.");
  module.def(
      "load_mesh_and_topography",
      [](const FileName& mesh_path, std::optional<FileName> topography_path, py::object io) {
        Mesh mesh;
        Topography topography;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          load_mesh_and_topography(streams, mesh_path.text,
                                   topography_path.value_or(FileName{}).text,
                                   topography_path.has_value(), mesh, topography);
        });
        return py::make_tuple(std::move(mesh), std::move(topography));
      },
      py::arg("mesh_path"), py::arg("topography_path") = py::none(), py::arg("io") = py::none(),
      "Loads a mesh, then its topography: returns (mesh, topography).");
}

}  // namespace quelby::python
