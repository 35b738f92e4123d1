// The 3-D forward floor for Python: meshes and parameter grids for a 3-D survey, and the 3-D DC
// forward model (data, sensitivities over grouped cells, their products, IP responses), with the
// interpreter lock released while it solves. Models are numpy arrays of shape (nz, ny, nx).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/parameter_grid3d.hpp"
#include "quelby/forward/survey_mesh3d.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/survey/survey3d.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// The smallest distance between two distinct electrodes: the width of the inversion's default
// parameter cells.
double smallest_electrode_distance(const Survey3D& survey) {
  double best = std::numeric_limits<double>::infinity();
  const auto& e = survey.electrodes;
  for (std::size_t i = 0; i < e.size(); ++i) {
    for (std::size_t j = i + 1; j < e.size(); ++j) {
      const double d = std::hypot(e[i].x - e[j].x, e[i].y - e[j].y, e[i].z - e[j].z);
      if (d > 0) best = std::min(best, d);
    }
  }
  return best;
}

// The columns of J as the library takes them: cells and the start of each column's group.
struct Columns {
  std::vector<std::int32_t> cells;
  std::vector<std::int32_t> starts{0};
  std::size_t count() const { return starts.size() - 1; }
};

// A (rows, columns) numpy array that takes `values` (row-major) over.
py::array_t<double> take_matrix(std::vector<double>&& values, std::size_t rows,
                                std::size_t columns) {
  auto* held = new std::vector<double>(std::move(values));
  py::capsule owner(held, [](void* pointer) { delete static_cast<std::vector<double>*>(pointer); });
  return py::array_t<double>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(columns)},
                             {static_cast<py::ssize_t>(columns * sizeof(double)),
                              static_cast<py::ssize_t>(sizeof(double))},
                             held->data(), owner);
}

class PythonForwardModel3D {
 public:
  PythonForwardModel3D(const Mesh3D& mesh, const Survey3D& survey,
                       const std::vector<std::int32_t>& air_cells, py::object io)
      : mesh_(mesh) {
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      model_ = std::make_unique<ForwardModel3D>(streams, mesh, air_cells, survey);
    });
    ground_ = model_->ground_cells();
    is_ground_.assign(static_cast<std::size_t>(mesh.cell_count()), false);
    for (const std::int32_t c : ground_) is_ground_[static_cast<std::size_t>(c)] = true;
  }

  std::size_t ndat() const { return static_cast<std::size_t>(model_->ndat()); }

  py::array_t<double> data(py::handle model, py::object io) {
    const std::vector<double> resistivity = model3d_from_array(mesh_, model, "model");
    std::vector<double> result;
    run(io, [&](const Io& streams) { result = model_->data(streams, resistivity); });
    return take(std::move(result));
  }

  // None: every ground cell a column; a one-dimensional array: each 0-based ground cell a column;
  // a list of such arrays: each array's cells one column (their sensitivities summed).
  Columns columns_of(py::handle cells) const {
    Columns columns;
    const auto add = [&](std::int32_t cell) {
      if (cell < 0 || static_cast<std::size_t>(cell) >= is_ground_.size() ||
          !is_ground_[static_cast<std::size_t>(cell)]) {
        throw py::value_error("cells: " + std::to_string(cell) +
                              " is not a 0-based cell below the surface ((k * ny + j) * nx + i)");
      }
      columns.cells.push_back(cell);
    };
    if (cells.is_none()) {
      for (const std::int32_t c : ground_) {
        columns.cells.push_back(c);
        columns.starts.push_back(static_cast<std::int32_t>(columns.cells.size()));
      }
      return columns;
    }
    const bool grouped = py::isinstance<py::list>(cells) || py::isinstance<py::tuple>(cells);
    if (grouped) {
      for (const py::handle group : py::reinterpret_borrow<py::sequence>(cells)) {
        const IntArray members = IntArray::ensure(group);
        if (!members || members.ndim() > 1) {
          throw py::type_error("cells: each group a one-dimensional array of cell numbers");
        }
        for (py::ssize_t k = 0; k < members.size(); ++k) add(members.data()[k]);
        columns.starts.push_back(static_cast<std::int32_t>(columns.cells.size()));
      }
      return columns;
    }
    const IntArray given = IntArray::ensure(cells);
    if (!given || given.ndim() != 1) {
      throw py::type_error("cells: None, an array of 0-based cells or a list of such groups");
    }
    for (py::ssize_t k = 0; k < given.size(); ++k) {
      add(given.data()[k]);
      columns.starts.push_back(static_cast<std::int32_t>(columns.cells.size()));
    }
    return columns;
  }

  py::tuple sensitivity(py::handle model, py::handle cells, py::object io) {
    const std::vector<double> resistivity = model3d_from_array(mesh_, model, "model");
    const Columns columns = columns_of(cells);
    std::vector<double> jacobian(ndat() * columns.count());
    std::vector<double> values(ndat());
    run(io, [&](const Io& streams) {
      model_->sensitivity(streams, resistivity, columns.cells, columns.starts, jacobian, values);
    });
    return py::make_tuple(take_matrix(std::move(jacobian), ndat(), columns.count()),
                          take(std::move(values)));
  }

  py::array_t<double> jacobian_times(py::handle model, py::handle v, py::handle cells,
                                     py::object io) {
    const std::vector<double> resistivity = model3d_from_array(mesh_, model, "model");
    const Columns columns = columns_of(cells);
    const auto values = vector_argument(v, static_cast<std::ptrdiff_t>(columns.count()), "v");
    std::vector<double> result(ndat());
    run(io, [&](const Io& streams) {
      model_->jacobian_times(streams, resistivity, columns.cells, columns.starts,
                             {values.data(), columns.count()}, result);
    });
    return take(std::move(result));
  }

  py::array_t<double> jacobian_transpose_times(py::handle model, py::handle w, py::handle cells,
                                               py::object io) {
    const std::vector<double> resistivity = model3d_from_array(mesh_, model, "model");
    const Columns columns = columns_of(cells);
    const auto values = vector_argument(w, static_cast<std::ptrdiff_t>(ndat()), "w");
    std::vector<double> result(columns.count());
    run(io, [&](const Io& streams) {
      model_->jacobian_transpose_times(streams, resistivity, columns.cells, columns.starts,
                                       {values.data(), ndat()}, result);
    });
    return take(std::move(result));
  }

  py::array_t<double> apparent_chargeability(py::handle model, py::handle eta, py::object io) {
    const std::vector<double> resistivity = model3d_from_array(mesh_, model, "model");
    const std::vector<double> chargeability = model3d_from_array(mesh_, eta, "eta");
    std::vector<double> result;
    run(io, [&](const Io& streams) {
      result = model_->apparent_chargeability(streams, resistivity, chargeability);
    });
    return take(std::move(result));
  }

  py::dict statistics() const {
    const Forward3DStatistics& s = model_->statistics();
    py::dict fields;
    fields["nodes"] = s.nodes;
    fields["ground_cells"] = s.ground_cells;
    fields["factor_entries"] = s.factor_entries;
    fields["factor_seconds"] = s.factor_seconds;
    fields["solve_seconds"] = s.solve_seconds;
    fields["assembly_seconds"] = s.assembly_seconds;
    fields["sensitivity_seconds"] = s.sensitivity_seconds;
    return fields;
  }

  const std::vector<std::int32_t>& ground_cells() const { return ground_; }
  std::int64_t node_count() const { return model_->node_count(); }

 private:
  // Runs `work` with the streams and without the interpreter lock, one call at a time.
  template <typename Work>
  void run(py::object io, Work&& work) {
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      const std::lock_guard<std::mutex> lock(mutex_);
      work(streams);
    });
  }

  Mesh3D mesh_;
  std::unique_ptr<ForwardModel3D> model_;
  std::vector<std::int32_t> ground_;
  std::vector<bool> is_ground_;
  std::mutex mutex_;
};

}  // namespace

void bind_forward3d(py::module_& module) {
  module.def(
      "survey_mesh3d",
      [](const Survey3D& survey, double cell_width, double top_thickness, double growth,
         double depth_growth, double padding_distance, double depth, double core_depth,
         int margin_cells, std::int64_t cell_budget, double top, double relief, py::object io) {
        SurveyMesh3DOptions options;
        options.cell_width = cell_width;
        options.top_thickness = top_thickness;
        options.growth = growth;
        options.depth_growth = depth_growth;
        options.padding_distance = padding_distance;
        options.depth = depth;
        options.core_depth = core_depth;
        options.margin_cells = margin_cells;
        options.cell_budget = cell_budget;
        options.top = top;
        options.relief = relief;
        Mesh3D mesh;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          const py::gil_scoped_release released;
          mesh = survey_mesh3d(streams, survey, options);
        });
        return mesh;
      },
      py::arg("survey"), py::kw_only(), py::arg("cell_width") = 0.0, py::arg("top_thickness") = 0.0,
      py::arg("growth") = 1.3, py::arg("depth_growth") = 1.1, py::arg("padding_distance") = 0.0,
      py::arg("depth") = 0.0, py::arg("core_depth") = 0.0, py::arg("margin_cells") = 2,
      py::arg("cell_budget") = 0, py::arg("top") = 0.0, py::arg("relief") = 0.0,
      py::arg("io") = py::none(),
      "survey_mesh3d(survey, *, cell_width=0, top_thickness=0, growth=1.3, depth_growth=1.1, "
      "padding_distance=0, depth=0, core_depth=0, margin_cells=2, cell_budget=0, top=0, "
      "relief=0, io=None) -> Mesh3D\n\nA 3-D mesh for the survey's electrodes: every electrode "
      "coordinate a node along x and y, core cells of cell_width m (0: half the smallest "
      "spacing) and margin_cells more beyond the outermost electrodes, padding cells growing by "
      "`growth` out to padding_distance m (0: four times the extent); layers from top_thickness "
      "m (0: half the core cell) growing by depth_growth to core_depth (0: half the extent), then "
      "by `growth` to depth m below `top` (0: the padding distance). cell_budget: about how many "
      "cells the mesh may have (0: no budget; the cells are scaled to the mesh with the most "
      "cells within it). top: the z of the ground's highest point; relief: how far below it the "
      "ground lies at most (topography). Models on it are arrays of shape (nz, ny, nx).");

  module.def(
      "parameter_grid3d",
      [](const Mesh3D& mesh, const Survey3D& survey, py::object cell, py::object air_cells,
         py::object io) {
        const std::vector<std::int32_t> air = air_cells3d_of(mesh, air_cells);
        const ParameterCellChoice choice = parameter_cell_choice(
            cell, "cell", ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
        if (choice.kind == ParameterCellChoice::Kind::forward_mesh) return mesh;
        double ground_top = std::numeric_limits<double>::infinity();
        for (const std::int32_t a : air) {
          ground_top = std::min(ground_top, mesh.z_nodes[static_cast<std::size_t>(a)]);
        }
        const double width = choice.kind == ParameterCellChoice::Kind::width
                                 ? choice.width
                                 : smallest_electrode_distance(survey);
        Mesh3D grid;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          grid = parameter_grid3d(streams, mesh, survey.electrodes, ground_top,
                                  std::isfinite(width) ? width : 0.0)
                     .mesh;
        });
        return grid;
      },
      py::arg("mesh"), py::arg("survey"), py::arg("cell") = py::none(),
      py::arg("air_cells") = py::none(), py::arg("io") = py::none(),
      "parameter_grid3d(mesh, survey, cell=None, air_cells=None, io=None) -> Mesh3D\n\nThe "
      "grid quelby.invert inverts a 3-D survey on over the forward mesh `mesh`: cells of whole "
      "mesh cells about `cell` m wide along x and y over the electrodes (None or 'auto': the "
      "smallest distance between two electrodes, as quelby.invert takes it; 'mesh': the mesh "
      "itself), growing outside them, and layers thickening with depth from the ground's top "
      "(air_cells: None, or the (ny, nx) air cells of the mesh's columns). Models on it are "
      "arrays of shape (nz, ny, nx) of the grid.");

  py::class_<PythonForwardModel3D>(
      module, "ForwardModel3D",
      "ForwardModel3D(mesh, survey, air_cells=None, io=None): the 3-D DC forward model of a "
      "Survey3D on a Mesh3D (trilinear elements, the electrodes' singularities removed). "
      "air_cells: None (flat ground at the first z node), or the air cells of every column, "
      "shape (ny, nx) (element [j, i] for the 0-based column (i, j); an object with air_cells "
      "too). Models are arrays of shape (nz, ny, nx), x fastest (element [k, j, i] is the 0-based "
      "cell (k * ny + j) * nx + i), in ohm-m; air cells are not read. Data are in ohms (V/A for "
      "a unit current) in the survey's order. The factorisation of one model is kept between "
      "calls.")
      .def(py::init(
               [](const Mesh3D& mesh, const Survey3D& survey, py::handle air_cells, py::object io) {
                 return std::make_unique<PythonForwardModel3D>(mesh, survey,
                                                               air_cells3d_of(mesh, air_cells), io);
               }),
           py::arg("mesh"), py::arg("survey"), py::arg("air_cells") = py::none(),
           py::arg("io") = py::none())
      .def_property_readonly("ndat", &PythonForwardModel3D::ndat, "Number of data.")
      .def_property_readonly("node_count", &PythonForwardModel3D::node_count,
                             "Unknowns of the finite-element system.")
      .def_property_readonly(
          "ground_cells",
          [](const PythonForwardModel3D& self) {
            return take(std::vector<std::int32_t>(self.ground_cells()));
          },
          "The 0-based cells ((k * ny + j) * nx + i) below the surface, in cell order.")
      .def_property_readonly("statistics", &PythonForwardModel3D::statistics,
                             "What the last call did: nodes, ground_cells, factor_entries and "
                             "the seconds of factorisation, solves, assembly and sensitivities.")
      .def("data", &PythonForwardModel3D::data, py::arg("model"), py::arg("io") = py::none(),
           "data(model, io=None) -> numpy.ndarray\n\nThe data (ohms) of the resistivity model "
           "(ohm-m, shape (nz, ny, nx)) in the survey's order.")
      .def("sensitivity", &PythonForwardModel3D::sensitivity, py::arg("model"),
           py::arg("cells") = py::none(), py::arg("io") = py::none(),
           "sensitivity(model, cells=None, io=None) -> tuple\n\n(J, data): J[i, c] = d d_i / d "
           "ln rho of column c, in ohms, shape (ndat, columns). cells: None (every ground cell "
           "in cell order, one column each), an array of 0-based ground cells ((k * ny + j) * nx "
           "+ i; one column each) or a list of such arrays (one column per array: the cells share "
           "one ln rho, their derivatives summed). A row summed over every ground cell is its "
           "datum.")
      .def("jacobian_times", &PythonForwardModel3D::jacobian_times, py::arg("model"), py::arg("v"),
           py::arg("cells") = py::none(), py::arg("io") = py::none(),
           "jacobian_times(model, v, cells=None, io=None) -> numpy.ndarray\n\nJ v without "
           "forming J: ndat values for one value of v per column (cells as sensitivity() takes "
           "them).")
      .def("jacobian_transpose_times", &PythonForwardModel3D::jacobian_transpose_times,
           py::arg("model"), py::arg("w"), py::arg("cells") = py::none(),
           py::arg("io") = py::none(),
           "jacobian_transpose_times(model, w, cells=None, io=None) -> numpy.ndarray\n\nJ^T w "
           "without forming J: one value per column for w with one value per datum.")
      .def("apparent_chargeability", &PythonForwardModel3D::apparent_chargeability,
           py::arg("model"), py::arg("eta"), py::arg("io") = py::none(),
           "apparent_chargeability(model, eta, io=None) -> numpy.ndarray\n\nThe linearised "
           "apparent chargeability of every datum, sum over ground cells c of (d ln d_i / d ln "
           "rho_c) eta_c, in the units of eta (shape (nz, ny, nx)); a uniform eta gives itself.");
}

}  // namespace quelby::python
