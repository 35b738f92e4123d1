#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

#include "app/floating_point.hpp"
#include "app/smooth.hpp"
#include "bindings.hpp"
#include "mesh/mesh.hpp"
#include "mesh/model.hpp"
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
  py::class_<Mesh>(module, "Mesh", "The 2-D tensor mesh: nx columns along x, nz rows along z.")
      .def(py::init<>())
      .def_readonly("nx", &Mesh::nx)
      .def_readonly("nz", &Mesh::nz)
      .def_property_readonly("x_nodes",
                             [](py::object self) { return view(self.cast<Mesh&>().x_nodes, self); })
      .def_property_readonly("z_nodes",
                             [](py::object self) { return view(self.cast<Mesh&>().z_nodes, self); })
      .def_property_readonly("dx",
                             [](py::object self) { return view(self.cast<Mesh&>().dx, self); })
      .def_property_readonly("dz",
                             [](py::object self) { return view(self.cast<Mesh&>().dz, self); })
      .def_property_readonly(
          "x_centres", [](py::object self) { return view(self.cast<Mesh&>().x_centres, self); })
      .def_property_readonly(
          "z_centres", [](py::object self) { return view(self.cast<Mesh&>().z_centres, self); })
      .def_readonly("x_mid", &Mesh::x_mid)
      .def_readonly("z_first", &Mesh::z_first)
      .def_readonly("node_count", &Mesh::node_count)
      .def_readonly("z_node_count_plus_one", &Mesh::z_node_count_plus_one)
      .def("__repr__", [](const Mesh& mesh) {
        return "<quelby.Mesh " + std::to_string(mesh.nx) + " x " + std::to_string(mesh.nz) + ">";
      });

  module.def(
      "load_mesh",
      [](const std::string& path, py::object io) {
        Mesh mesh;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { load_mesh(streams, path, mesh); });
        return mesh;
      },
      py::arg("path"), py::arg("io") = py::none(), "Reads a mesh file into a new Mesh.");

  module.def(
      "read_model",
      [](const std::string& path, const Mesh& mesh, const std::string& label, py::object io) {
        Model model(mesh.nx, mesh.nz);  // std::bad_alloc becomes MemoryError
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { read_model(streams, mesh, path, label, model); });
        return take_model(std::move(model));
      },
      py::arg("path"), py::arg("mesh"), py::arg("label") = "model", py::arg("io") = py::none(),
      "Reads a model file for the mesh: an array of shape (nz, nx), x fastest.");

  module.def(
      "write_model",
      [](const std::string& path, const Mesh& mesh, py::handle array, py::object io) {
        const Model model = model_from_array(mesh, array);
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { write_model(streams, mesh, path, model); });
      },
      py::arg("path"), py::arg("mesh"), py::arg("array"), py::arg("io") = py::none(),
      "Writes a model file exactly as the command does.");

  module.def(
      "smooth",
      [](const Mesh& mesh, py::handle array, int cycles) {
        if (cycles < 1) throw py::value_error("cycles: the number of cycles should be positive");
        Model working = model_from_array(mesh, array);
        Model smoothed(mesh.nx, mesh.nz);
        {
          // The command's floating-point environment, so that the bytes written are the command's.
          const CommandFloatingPointScope command_environment;
          py::gil_scoped_release released;
          log_in_place(working.values());
          for (int cycle = 0; cycle < cycles; ++cycle) {
            smooth_once(mesh, working, smoothed);
            working.swap(smoothed);
          }
          exp_in_place(working.values());
        }
        return take_model(std::move(working));
      },
      py::arg("mesh"), py::arg("array"), py::arg("cycles"),
      "Smooths a model as the command does: ln, `cycles` passes of the area-weighted 3 by 3 mean, "
      "exp. Returns a new array of shape (nz, nx).");
}

}  // namespace quelby::python
