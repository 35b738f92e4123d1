// The 3-D mesh for Python: Mesh3D with its arrays as read-only views, its file, 3-D model files
// read into and written from numpy arrays of shape (nz, ny, nx), the 3-D topography and its air
// cells, and models on a 3-D mesh as VTK rectilinear grids.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/model3d.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/report/vtk_model.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

std::vector<double> node_vector(py::handle given, const char* what) {
  const DoubleArray array = DoubleArray::ensure(given);
  if (!array || array.ndim() != 1) {
    throw py::type_error(std::string(what) + ": expected a one-dimensional array of positions");
  }
  return std::vector<double>(array.data(), array.data() + array.size());
}

std::string shape_text(const Mesh3D& mesh) {
  return "(" + std::to_string(mesh.nz) + ", " + std::to_string(mesh.ny) + ", " +
         std::to_string(mesh.nx) + ")";
}

}  // namespace

std::vector<double> model3d_from_array(const Mesh3D& mesh, py::handle array, const char* what) {
  const auto values = vector_argument(array, -1, what);
  const auto cells = static_cast<std::size_t>(mesh.cell_count());
  const bool shaped = values.ndim() == 3 && values.shape(0) == mesh.nz &&
                      values.shape(1) == mesh.ny && values.shape(2) == mesh.nx;
  const bool flat = values.ndim() == 1 && static_cast<std::size_t>(values.size()) == cells;
  if (!shaped && !flat) {
    throw py::value_error(std::string(what) + ": expected shape " + shape_text(mesh) +
                          " (nz, ny, nx) for this 3-D mesh");
  }
  return std::vector<double>(values.data(), values.data() + cells);
}

std::vector<std::int32_t> air_cells3d_of(const Mesh3D& mesh, py::handle given) {
  const auto columns = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.ny);
  if (given.is_none()) return std::vector<std::int32_t>(columns, 0);
  const py::object source = py::hasattr(given, "air_cells")
                                ? given.attr("air_cells")
                                : py::reinterpret_borrow<py::object>(given);
  const IntArray counts = IntArray::ensure(source);
  if (!counts || static_cast<std::size_t>(counts.size()) != columns ||
      (counts.ndim() != 1 && counts.ndim() != 2) ||
      (counts.ndim() == 2 && (counts.shape(0) != mesh.ny || counts.shape(1) != mesh.nx))) {
    throw py::value_error("air_cells: expected nx * ny = " + std::to_string(columns) +
                          " counts, shape (ny, nx), column (i, j) at [j, i]");
  }
  std::vector<std::int32_t> air(counts.data(), counts.data() + columns);
  for (const std::int32_t count : air) {
    if (count < 0 || count > mesh.nz) {
      throw py::value_error("air_cells: a count outside 0.." + std::to_string(mesh.nz));
    }
  }
  return air;
}

void bind_mesh3d(py::module_& module) {
  py::class_<Mesh3D>(
      module, "Mesh3D",
      "Mesh3D(x_nodes, y_nodes, z_nodes, io=None): the 3-D tensor mesh of nx columns along x, "
      "ny rows along y and nz layers along z (depth, growing downwards), from each axis's "
      "strictly increasing node positions (m, at least two each). Cells are numbered 0-based "
      "with x fastest: cell (i, j, k) is (k * ny + j) * nx + i; a 3-D model is a numpy array of "
      "shape (nz, ny, nx) whose element [k, j, i] is that cell (the files' 1-based cell "
      "(i + 1, j + 1, k + 1)). The arrays are read-only numpy views.")
      .def(py::init([](py::handle x_nodes, py::handle y_nodes, py::handle z_nodes, py::object io) {
             std::vector<double> x = node_vector(x_nodes, "x_nodes");
             std::vector<double> y = node_vector(y_nodes, "y_nodes");
             std::vector<double> z = node_vector(z_nodes, "z_nodes");
             Mesh3D mesh;
             with_streams(streams_or_default(io), [&](const Io& streams) {
               mesh = make_mesh3d(streams, std::move(x), std::move(y), std::move(z));
             });
             return mesh;
           }),
           py::arg("x_nodes"), py::arg("y_nodes"), py::arg("z_nodes"), py::arg("io") = py::none())
      .def_readonly("nx", &Mesh3D::nx, "Number of columns along x.")
      .def_readonly("ny", &Mesh3D::ny, "Number of rows along y.")
      .def_readonly("nz", &Mesh3D::nz, "Number of layers along z (down).")
      .def_property_readonly("x_nodes", field_view(&Mesh3D::x_nodes),
                             "The nx + 1 node positions along x (m), increasing.")
      .def_property_readonly("y_nodes", field_view(&Mesh3D::y_nodes),
                             "The ny + 1 node positions along y (m), increasing.")
      .def_property_readonly("z_nodes", field_view(&Mesh3D::z_nodes),
                             "The nz + 1 node depths (m), increasing downwards.")
      .def_property_readonly("dx", field_view(&Mesh3D::dx), "The nx widths along x.")
      .def_property_readonly("dy", field_view(&Mesh3D::dy), "The ny widths along y.")
      .def_property_readonly("dz", field_view(&Mesh3D::dz), "The nz layer thicknesses.")
      .def_property_readonly("x_centres", field_view(&Mesh3D::x_centres), "The nx centres.")
      .def_property_readonly("y_centres", field_view(&Mesh3D::y_centres), "The ny centres.")
      .def_property_readonly("z_centres", field_view(&Mesh3D::z_centres), "The nz centres.")
      .def_property_readonly("cell_count", &Mesh3D::cell_count, "nx * ny * nz.")
      .def_property_readonly("node_count", &Mesh3D::node_count, "(nx + 1) * (ny + 1) * (nz + 1).")
      .def_property_readonly(
          "shape", [](const Mesh3D& mesh) { return py::make_tuple(mesh.nz, mesh.ny, mesh.nx); },
          "(nz, ny, nx): the shape of a model on this mesh.")
      .def(
          "cell",
          [](const Mesh3D& mesh, std::int32_t i, std::int32_t j, std::int32_t k) {
            if (i < 0 || i >= mesh.nx || j < 0 || j >= mesh.ny || k < 0 || k >= mesh.nz) {
              throw py::index_error("cell: (i, j, k) outside the mesh (0-based)");
            }
            return mesh.cell(i, j, k);
          },
          py::arg("i"), py::arg("j"), py::arg("k"),
          "cell(i, j, k) -> int\n\nThe 0-based cell number (k * ny + j) * nx + i of the 0-based "
          "column i (x), row j (y) and layer k (z).")
      .def("__repr__", [](const Mesh3D& mesh) {
        return "<quelby.Mesh3D " + std::to_string(mesh.nx) + " x " + std::to_string(mesh.ny) +
               " x " + std::to_string(mesh.nz) + ">";
      });

  module.def(
      "load_mesh3d",
      [](const FileName& path, py::object io) {
        Mesh3D mesh;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { load_mesh3d(streams, path.text, mesh); });
        return mesh;
      },
      py::arg("path"), py::arg("io") = py::none(),
      "load_mesh3d(path, io=None) -> Mesh3D\n\nReads a 3-D mesh file (segments along x, then "
      "y, then z) into a new Mesh3D.");
  module.def(
      "write_mesh3d",
      [](const FileName& path, const Mesh3D& mesh, py::object io) {
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { write_mesh3d(streams, path.text, mesh); });
      },
      py::arg("path"), py::arg("mesh"), py::arg("io") = py::none(),
      "write_mesh3d(path, mesh, io=None) -> None\n\nWrites a 3-D mesh file that reads back as "
      "`mesh` bit for bit; the file appears whole or not at all.");
  module.def(
      "read_model3d",
      [](const FileName& path, const Mesh3D& mesh, const std::string& label, py::object io) {
        std::vector<double> values;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_model3d(streams, mesh, path.text, label, values);
        });
        return take_cells3d(std::move(values), mesh.nx, mesh.ny, mesh.nz);
      },
      py::arg("path"), py::arg("mesh"), py::arg("label") = "model", py::arg("io") = py::none(),
      "read_model3d(path, mesh, label='model', io=None) -> numpy.ndarray\n\nReads a 3-D model "
      "file for the mesh into an array of shape (nz, ny, nx), x fastest: element [k, j, i] is "
      "the 0-based cell (k * ny + j) * nx + i, the file's 1-based cell (i + 1, j + 1, k + 1). "
      "Counts that differ from the mesh's raise quelby.Stop.");
  module.def(
      "write_model3d",
      [](const FileName& path, const Mesh3D& mesh, py::handle array, py::object io) {
        const std::vector<double> values = model3d_from_array(mesh, array, "array");
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { write_model3d(streams, mesh, path.text, values); });
      },
      py::arg("path"), py::arg("mesh"), py::arg("array"), py::arg("io") = py::none(),
      "write_model3d(path, mesh, array, io=None) -> None\n\nWrites `array` (shape (nz, ny, nx), "
      "x fastest, or nx * ny * nz values in 0-based cell order (k * ny + j) * nx + i) as a 3-D "
      "model file with 6 significant digits; the file appears whole or not at all.");

  py::class_<Topography3D>(
      module, "Topography3D",
      "The ground surface of a 3-D survey: (x, y, elevation) points and the reference elevation "
      "(z = reference_elevation - elevation).")
      .def(py::init<>())
      .def_readonly("has_topography", &Topography3D::has_topography)
      .def_readonly("reference_elevation", &Topography3D::reference_elevation)
      .def_property_readonly("x", field_view(&Topography3D::x), "Point positions along x (m).")
      .def_property_readonly("y", field_view(&Topography3D::y), "Point positions along y (m).")
      .def_property_readonly("elevation", field_view(&Topography3D::elevation),
                             "Point elevations (m, up).")
      .def_readonly("is_grid", &Topography3D::is_grid,
                    "True when the points form a full rectangular grid (bilinear between them).")
      .def(
          "surface_z",
          [](const Topography3D& topography, double x, double y) {
            return surface_z_at(topography, x, y);
          },
          py::arg("x"), py::arg("y"),
          "surface_z(x, y) -> float\n\nThe depth z of the ground surface at (x, y).");
  module.def(
      "read_topography3d",
      [](const FileName& path, py::object io) {
        Topography3D topography;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_topography3d(streams, true, path.text, topography);
        });
        return topography;
      },
      py::arg("path"), py::arg("io") = py::none(),
      "read_topography3d(path, io=None) -> Topography3D\n\nReads a 3-D topography file: the "
      "number of points and the reference elevation, then x, y, elevation per point.");
  module.def(
      "air_cells_3d",
      [](const Mesh3D& mesh, const Topography3D& topography, py::object io) {
        Topography3D ground = topography;
        ground.flat_z = mesh.z_nodes.empty() ? 0.0 : mesh.z_nodes.front();
        std::vector<std::int32_t> air;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { air = air_cells_3d(streams, mesh, ground); });
        auto* held = new std::vector<std::int32_t>(std::move(air));
        py::capsule owner(
            held, [](void* pointer) { delete static_cast<std::vector<std::int32_t>*>(pointer); });
        return py::array_t<std::int32_t>(
            {static_cast<py::ssize_t>(mesh.ny), static_cast<py::ssize_t>(mesh.nx)},
            {static_cast<py::ssize_t>(mesh.nx) * static_cast<py::ssize_t>(sizeof(std::int32_t)),
             static_cast<py::ssize_t>(sizeof(std::int32_t))},
            held->data(), owner);
      },
      py::arg("mesh"), py::arg("topography"), py::arg("io") = py::none(),
      "air_cells_3d(mesh, topography, io=None) -> numpy.ndarray\n\nThe air cells of every "
      "column, shape (ny, nx): element [j, i] is the number of layers from the top of the 0-based "
      "column (i, j) above the ground (0 to nz), as the forward model and the inversion take "
      "them.");

  module.def(
      "write_vtk_rectilinear",
      [](const FileName& path, const Mesh3D& mesh, const py::dict& arrays,
         std::optional<double> reference_elevation, py::object io) {
        std::vector<std::string> names;
        std::vector<std::vector<double>> values;
        for (const auto& [name, array] : arrays) {
          names.push_back(name.cast<std::string>());
          values.push_back(model3d_from_array(mesh, array, "arrays"));
        }
        std::vector<NamedCellArray> named;
        for (std::size_t k = 0; k < names.size(); ++k) named.push_back({names[k], values[k]});
        with_streams(streams_or_default(io), [&](const Io& streams) {
          write_vtk_rectilinear(streams, path.text, mesh, named, reference_elevation);
        });
      },
      py::arg("path"), py::arg("mesh"), py::arg("arrays"),
      py::arg("reference_elevation") = py::none(), py::arg("io") = py::none(),
      "write_vtk_rectilinear(path, mesh, arrays, reference_elevation=None, io=None) -> None\n\n"
      "Writes models on a 3-D mesh as a VTK rectilinear-grid file (.vtr) for 3-D viewers: "
      "arrays a dict of name to a model of shape (nz, ny, nx), x fastest (or nx * ny * nz values "
      "in 0-based cell order (k * ny + j) * nx + i; NaN for cells without a value); z as "
      "elevation (reference_elevation - depth, or -depth), the layers bottom up. The file "
      "appears whole or not at all.");
}

}  // namespace quelby::python
