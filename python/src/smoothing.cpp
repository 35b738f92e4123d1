// Smoothing for Python: quelby.smooth, with or without fixed cells, and quelby.fixed_cells, the
// mask of the cells that are no parameters of the ground (air, inactive, influence).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/smoothing/fixed_cells.hpp"
#include "quelby/smoothing/floating_point.hpp"
#include "quelby/smoothing/smooth.hpp"

namespace quelby::python {

namespace {

using BoolArray = py::array_t<bool, py::array::c_style | py::array::forcecast>;

// The flags of a boolean array of shape (nz, nx), True for a fixed cell.
std::vector<std::uint8_t> fixed_flags(const Mesh& mesh, py::handle array) {
  const BoolArray mask = BoolArray::ensure(array);
  if (!mask) throw py::type_error("fixed: expected a boolean array");
  if (mask.ndim() != 2 || mask.shape(0) != mesh.nz || mask.shape(1) != mesh.nx) {
    throw py::value_error("fixed: expected shape (" + std::to_string(mesh.nz) + ", " +
                          std::to_string(mesh.nx) + ") for this mesh");
  }
  std::vector<std::uint8_t> flags(static_cast<std::size_t>(mask.size()));
  const bool* const values = mask.data();
  for (std::size_t cell = 0; cell < flags.size(); ++cell) flags[cell] = values[cell] ? 1 : 0;
  return flags;
}

py::array_t<bool> bool_array(const Mesh& mesh, const std::vector<std::uint8_t>& flags) {
  py::array_t<bool> array({static_cast<py::ssize_t>(mesh.nz), static_cast<py::ssize_t>(mesh.nx)});
  bool* const out = array.mutable_data();
  for (std::size_t cell = 0; cell < flags.size(); ++cell) out[cell] = flags[cell] != 0;
  return array;
}

}  // namespace

void bind_smoothing(py::module_& module) {
  module.def(
      "smooth",
      [](const Mesh& mesh, py::handle array, int cycles, py::object fixed) {
        if (cycles < 1) throw py::value_error("cycles: the number of cycles should be positive");
        Model working = model_from_array(mesh, array);
        Model smoothed(mesh.nx, mesh.nz);
        const bool masked = !fixed.is_none();
        const FixedCells cells =
            masked ? FixedCells(mesh.nx, mesh.nz, fixed_flags(mesh, fixed)) : FixedCells{};
        {
          // The command's floating-point environment, so that the bytes written are the command's.
          const CommandFloatingPointScope command_environment;
          py::gil_scoped_release released;
          if (masked) {
            log_in_place(working.values(), cells);
          } else {
            log_in_place(working.values());
          }
          if (masked) {
            smooth_cycles(mesh, cells, working, smoothed, cycles);
          } else {
            smooth_cycles(mesh, working, smoothed, cycles);
          }
          if (masked) {
            exp_in_place(working.values(), cells);
          } else {
            exp_in_place(working.values());
          }
        }
        return take_model(std::move(working));
      },
      py::arg("mesh"), py::arg("model"), py::arg("cycles"), py::arg("fixed") = py::none(),
      "Smooths a model as the command does: ln, `cycles` passes of the area-weighted 3 by 3 mean, "
      "exp. `fixed`, a boolean array of shape (nz, nx) (row 0 the top row, column 0 the first), "
      "marks the cells that keep their values and take no part in any neighbourhood, as the "
      "command's --topography and --active do; a free cell whose neighbours are all fixed keeps "
      "its value too. Returns a new array of shape (nz, nx).");

  module.def(
      "fixed_cells",
      [](const Mesh& mesh, const Topography* topography, const ActiveCells* active) {
        try {
          return bool_array(mesh, fixed_cell_flags(mesh, topography, active));
        } catch (const std::invalid_argument& error) {
          throw py::value_error(error.what());
        }
      },
      py::arg("mesh"), py::arg("topography") = py::none(), py::arg("active") = py::none(),
      "The mask for smooth(..., fixed=...): a boolean array of shape (nz, nx), True for a cell in "
      "the air of `topography` (its 0-based row below the column's air_cells) or with no "
      "parameter in `active` (cell_idx <= 0: inactive or influence). An ActiveCells read with a "
      "topography already holds its air cells.");
}

}  // namespace quelby::python
