// Active cells and cell weights for Python: the parameter map as (nz, nx) views, from an
// active-cell file or a mask, the active-cell file's flags, and the three weight arrays from
// nothing, one weighting file, three files or the caller's arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/mesh/topography.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// A per-cell vector of `mesh`-sized stores seen as (nz, nx).
template <typename Value>
py::array_t<Value> cells_view(const std::vector<Value>& values, std::int32_t nx, std::int32_t nz,
                              py::handle owner) {
  py::array_t<Value> array({static_cast<py::ssize_t>(nz), static_cast<py::ssize_t>(nx)},
                           {static_cast<py::ssize_t>(nx) * static_cast<py::ssize_t>(sizeof(Value)),
                            static_cast<py::ssize_t>(sizeof(Value))},
                           values.data(), owner);
  array.attr("flags").attr("writeable") = false;
  return array;
}

// One block of weights: an (nz, nx) array, or one of the block's own shape (columns by rows of the
// weighting file's block), or its values in cell order. An (nz, nx) array for a narrower block
// gives its top-left part; any other two-dimensional shape is a ValueError.
std::vector<double> weight_block(const Mesh& mesh, py::handle array, py::ssize_t columns,
                                 py::ssize_t rows, const char* what) {
  const auto values = vector_argument(array, -1, what);
  if (values.ndim() == 1) return {values.data(), values.data() + values.size()};
  const bool whole = values.ndim() == 2 && values.shape(0) == mesh.nz && values.shape(1) == mesh.nx;
  const bool block = values.ndim() == 2 && values.shape(0) == rows && values.shape(1) == columns;
  if (!whole && !block) {
    throw py::value_error(std::string(what) + ": expected shape (" + std::to_string(rows) + ", " +
                          std::to_string(columns) + ") or (" + std::to_string(mesh.nz) + ", " +
                          std::to_string(mesh.nx) + ")");
  }
  const py::ssize_t stride = values.shape(1);
  std::vector<double> taken;
  taken.reserve(static_cast<std::size_t>(columns * rows));
  for (py::ssize_t k = 0; k < rows; ++k) {
    taken.insert(taken.end(), values.data() + k * stride, values.data() + k * stride + columns);
  }
  return taken;
}

}  // namespace

// The flags of a mask of shape (nz, nx) or nx * nz values in cell order: booleans (true 1, false
// 0) or whole numbers, taken as they stand so that the library's check names a flag out of range.
// Numbers beyond the 32-bit range are clamped to it: they are refused all the same.
std::vector<std::int32_t> mask_flags(const Mesh& mesh, py::handle mask) {
  const py::array array = py::array::ensure(mask);
  if (!array) throw py::type_error("mask: expected an array of booleans or flags");
  const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  const bool shaped = array.ndim() == 2 && array.shape(0) == mesh.nz && array.shape(1) == mesh.nx;
  const bool flat = array.ndim() == 1 && static_cast<std::size_t>(array.size()) == cells;
  if (!shaped && !flat) {
    throw py::value_error("mask: expected shape (" + std::to_string(mesh.nz) + ", " +
                          std::to_string(mesh.nx) + ") for this mesh");
  }
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    throw py::type_error("mask: expected booleans or the flags 1, 0 and -1");
  }
  const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
  std::vector<std::int32_t> flags(cells);
  const double* const data = values.data();
  const auto nx = static_cast<std::size_t>(mesh.nx);
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const double value = data[cell];
    if (!std::isfinite(value) || std::floor(value) != value) {
      throw py::value_error("mask: the value of column " + std::to_string(cell % nx + 1) +
                            ", row " + std::to_string(cell / nx + 1) + " is " +
                            py::repr(py::float_(value)).cast<std::string>() +
                            ", not a flag (1, 0 or -1)");
    }
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    flags[cell] = static_cast<std::int32_t>(value < low ? low : (value > high ? high : value));
  }
  return flags;
}

void bind_cells(py::module_& module) {
  py::class_<ActiveCells>(module, "ActiveCells",
                          "Which cells are parameters: cell_idx (nz, nx) holds the 1-based "
                          "parameter number, minus the influence number, or 0.")
      .def(py::init<>())
      .def_readonly("nx", &ActiveCells::nx)
      .def_readonly("nz", &ActiveCells::nz)
      .def_property_readonly("cell_idx",
                             [](py::object self) {
                               const ActiveCells& cells = self.cast<ActiveCells&>();
                               return cells_view(cells.cell_idx, cells.nx, cells.nz, self);
                             })
      .def_readonly("npar", &ActiveCells::npar)
      .def_readonly("ninfl", &ActiveCells::ninfl)
      .def_readonly("ninact", &ActiveCells::ninact)
      .def_readonly("ncell", &ActiveCells::ncell)
      .def_readonly("all_active", &ActiveCells::all_active)
      .def_property_readonly("air_cells", field_view(&ActiveCells::air_cells))
      .def_property_readonly("inact_val", field_view(&ActiveCells::inact_val))
      .def_property_readonly("infl_val", field_view(&ActiveCells::infl_val));
  module.def(
      "read_active_cells",
      [](const Mesh& mesh, const Topography& topography, const FileName& path, py::object io) {
        ActiveCells cells;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_active_cells(streams, mesh, topography, path.text, cells);
        });
        return cells;
      },
      py::arg("mesh"), py::arg("topography"), py::arg("path") = "", py::arg("io") = py::none(),
      "Builds the active-cell map from an active-cell file (a blank path: every cell) and the "
      "topography as read_topography returns it (without a path for no topography).");
  module.def(
      "active_cells_from_mask",
      [](const Mesh& mesh, py::handle mask, std::optional<Topography> topography, py::object io) {
        std::vector<std::int32_t> flags = mask_flags(mesh, mask);
        ActiveCells cells;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          Topography flat;
          if (!topography) {
            read_topography(streams, false, "", mesh.x_nodes, mesh.z_nodes, flat);
          }
          active_cells_from_flags(streams, mesh, topography ? *topography : flat, std::move(flags),
                                  cells);
        });
        return cells;
      },
      py::arg("mesh"), py::arg("mask"), py::arg("topography") = py::none(),
      py::arg("io") = py::none(),
      "active_cells_from_mask(mesh, mask, topography=None, io=None) -> ActiveCells\n\n"
      "Builds the active-cell map from a mask of shape (nz, nx) (or nx * nz values in cell "
      "order): True or 1 active, False or 0 inactive, -1 an influence cell, as an active-cell "
      "file's flags. Cells above the topography's surface are never active; None is flat ground "
      "at the first z node. The numbering (cell_idx, 1-based), the counts and the run-log lines "
      "are read_active_cells'; a flag out of range raises quelby.Stop.");
  module.def(
      "read_active_cell_file",
      [](const Mesh& mesh, const FileName& path, py::object io) {
        std::vector<std::int32_t> flags(static_cast<std::size_t>(mesh.nx) *
                                        static_cast<std::size_t>(mesh.nz));
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_active_cell_file(streams, mesh, path.text, flags);
        });
        return take_cells(std::move(flags), mesh.nx, mesh.nz);
      },
      py::arg("mesh"), py::arg("path"), py::arg("io") = py::none(),
      "read_active_cell_file(mesh, path, io=None) -> int32 array (nz, nx)\n\nThe flags of an "
      "active-cell file (1 active, 0 inactive, -1 influence) with read_active_cells' checks and "
      "messages; builds no map.");
  module.def(
      "store_inactive_values",
      [](ActiveCells& cells, const Mesh& mesh, py::handle model, bool log_values, py::object io) {
        const Model values = model_from_array(mesh, model);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          store_inactive_values(streams, values, log_values, cells);
        });
      },
      py::arg("cells"), py::arg("mesh"), py::arg("model"), py::arg("log_values") = false,
      py::arg("io") = py::none(),
      "Keeps the values of the inactive and influence cells of a model in the store; cells in the "
      "air are those of the topography the map was built with.");
  module.def(
      "set_all_active", [](ActiveCells& cells, bool on) { set_all_active(on, cells); },
      py::arg("cells"), py::arg("on"),
      "on: saves the map and makes every cell a parameter, numbered 1.. in cell order; off: "
      "restores the saved map. An off with nothing saved, or a second on, changes nothing.");

  module.def(
      "set_weights",
      [](const Mesh& mesh, py::handle weight_input, std::array<FileName, 3> files, py::object io) {
        CellArray s(mesh.nx, mesh.nz);
        CellArray x(mesh.nx, mesh.nz);
        CellArray z(mesh.nx, mesh.nz);
        // The entries a weighting file does not hold (column nx of x, row nz of z) are 1.
        for (CellArray* array : {&s, &x, &z}) array->fill(1.0);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          set_weights(streams, mesh, weight_input_code(weight_input), texts(files), s, x, z);
        });
        return py::make_tuple(take_model(std::move(s)), take_model(std::move(x)),
                              take_model(std::move(z)));
      },
      py::arg("mesh"), py::arg("weight_input") = 0,
      py::arg("weight_files") = py::make_tuple("", "", ""), py::arg("io") = py::none(),
      "set_weights(mesh, weight_input=0, weight_files=('', '', ''), io=None) -> (s, x, z)\n\n"
      "The cell weights, each of shape (nz, nx): all 1 (weight_input 0 or 'ones'), from the "
      "weighting file weight_files[0] (1 or 'file') or from three single-array files (2 or "
      "'files').");

  module.def(
      "read_weights_file",
      [](const Mesh& mesh, const FileName& path, py::object io) {
        CellArray s(mesh.nx, mesh.nz);
        CellArray x(mesh.nx, mesh.nz);
        CellArray z(mesh.nx, mesh.nz);
        for (CellArray* array : {&s, &x, &z}) array->fill(1.0);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_weights_file(streams, mesh, path.text, s, x, z);
        });
        return py::make_tuple(take_model(std::move(s)), take_model(std::move(x)),
                              take_model(std::move(z)));
      },
      py::arg("mesh"), py::arg("path"), py::arg("io") = py::none(),
      "read_weights_file(mesh, path, io=None) -> (s, x, z)\n\nReads one weighting file: the "
      "smallness, x- and z-derivative weights, each of shape (nz, nx). Column nx of x and row nz "
      "of z, which the file does not hold, are 1.");
  module.def(
      "weights_from_arrays",
      [](const Mesh& mesh, py::handle s_values, py::handle x_values, py::handle z_values,
         py::object io) {
        const py::ssize_t nx = mesh.nx;
        const py::ssize_t nz = mesh.nz;
        const std::vector<double> s_block = weight_block(mesh, s_values, nx, nz, "s");
        const std::vector<double> x_block =
            weight_block(mesh, x_values, nx > 0 ? nx - 1 : 0, nz, "x");
        const std::vector<double> z_block =
            weight_block(mesh, z_values, nx, nz > 0 ? nz - 1 : 0, "z");
        CellArray s(mesh.nx, mesh.nz);
        CellArray x(mesh.nx, mesh.nz);
        CellArray z(mesh.nx, mesh.nz);
        for (CellArray* array : {&s, &x, &z}) array->fill(1.0);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          weights_from_arrays(streams, mesh, s_block, x_block, z_block, s, x, z);
        });
        return py::make_tuple(take_model(std::move(s)), take_model(std::move(x)),
                              take_model(std::move(z)));
      },
      py::arg("mesh"), py::arg("s"), py::arg("x"), py::arg("z"), py::arg("io") = py::none(),
      "weights_from_arrays(mesh, s, x, z, io=None) -> (s, x, z)\n\nThe cell weights from arrays, "
      "as a weighting file holding the same values gives them: s of shape (nz, nx); x of shape "
      "(nz, nx - 1), one per pair of horizontal neighbours, or (nz, nx) whose last column is "
      "left out; z of shape (nz - 1, nx) or (nz, nx) whose last row is left out. Returns three "
      "(nz, nx) arrays, column nx of x and row nz of z set to 1 (build_model_objective repeats "
      "their neighbours' there, as for files). Values are taken as a file's would be; a block "
      "of another size raises ValueError (quelby.Stop for values given flat).");
  module.def(
      "read_weight_file",
      [](const Mesh& mesh, const FileName& path, const std::string& label, py::object start,
         py::object io) {
        CellArray weights(mesh.nx, mesh.nz);
        if (start.is_none()) {
          weights.fill(1.0);
        } else {
          weights = model_from_array(mesh, start);
        }
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_weight_file(streams, path.text, label, weights);
        });
        return take_model(std::move(weights));
      },
      py::arg("mesh"), py::arg("path"), py::arg("label") = "S weights",
      py::arg("start") = py::none(), py::arg("io") = py::none(),
      "read_weight_file(mesh, path, label='S weights', start=None, io=None) -> array (nz, nx)\n\n"
      "Reads a single-array weight file into the top-left cx by cz block of a copy of `start` "
      "(all 1 when None); the rest keeps start's values. A blank path gives all 1. `label` names "
      "the array in the messages.");
  module.def(
      "read_weight_files",
      [](const Mesh& mesh, const std::array<FileName, 3>& files, py::object io) {
        CellArray s(mesh.nx, mesh.nz);
        CellArray x(mesh.nx, mesh.nz);
        CellArray z(mesh.nx, mesh.nz);
        for (CellArray* array : {&s, &x, &z}) array->fill(1.0);
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { read_weight_files(streams, texts(files), s, x, z); });
        return py::make_tuple(take_model(std::move(s)), take_model(std::move(x)),
                              take_model(std::move(z)));
      },
      py::arg("mesh"), py::arg("weight_files"), py::arg("io") = py::none(),
      "read_weight_files(mesh, weight_files, io=None) -> (s, x, z)\n\nReads three single-array "
      "weight files (S, X, Z weights; a blank name gives all 1), each into an array (nz, nx) of "
      "ones.");
}

}  // namespace quelby::python
