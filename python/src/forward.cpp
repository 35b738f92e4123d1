// The forward floor for Python: surveys from arrays, meshes for a survey or from node positions and
// their writer, the data file writer, and the 2.5-D forward model (data, sensitivities, IP
// responses, geometric factors), with the interpreter lock released while it solves.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/forward/forward.hpp"
#include "quelby/forward/model_checks.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/survey/data_writer.hpp"
#include "quelby/survey/survey_arrays.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// A one-dimensional array of `what`, or an empty one for None.
template <typename Array>
Array optional_vector(py::handle given, const char* what) {
  if (given.is_none()) return Array(0);
  Array array = Array::ensure(given);
  if (!array || array.ndim() != 1) {
    throw py::type_error(std::string(what) + ": expected a one-dimensional array of numbers");
  }
  return array;
}

template <typename T>
std::span<const T> span_of(const py::array_t<T, py::array::c_style | py::array::forcecast>& array) {
  return {array.data(), static_cast<std::size_t>(array.size())};
}

// The air cells per column: from an object with air_cells (Topography, ActiveCells), from nx
// counts, or none in the air.
std::vector<std::int32_t> air_cells_of(const Mesh& mesh, py::handle given) {
  const auto nx = static_cast<std::size_t>(mesh.nx);
  if (given.is_none()) return std::vector<std::int32_t>(nx, 0);
  const py::object source = py::hasattr(given, "air_cells")
                                ? given.attr("air_cells")
                                : py::reinterpret_borrow<py::object>(given);
  const IntArray counts = optional_vector<IntArray>(source, "air_cells");
  if (static_cast<std::size_t>(counts.size()) != nx) {
    throw py::value_error("air_cells: expected " + std::to_string(nx) + " counts, one per column");
  }
  std::vector<std::int32_t> air(counts.data(), counts.data() + nx);
  for (const std::int32_t count : air) {
    if (count < 0 || count > mesh.nz) {
      throw py::value_error("air_cells: a count outside 0.." + std::to_string(mesh.nz));
    }
  }
  return air;
}

// The air cells of the ground a function is given: the topography's, else the active-cell map's
// (the same when the map was read with that topography), else none.
std::vector<std::int32_t> ground_air_cells(const Mesh& mesh, py::handle topography,
                                           py::handle active) {
  std::vector<std::int32_t> air = air_cells_of(mesh, topography.is_none() ? active : topography);
  if (!topography.is_none() && !active.is_none() && air != air_cells_of(mesh, active)) {
    throw py::value_error("topography and active hold different air cells");
  }
  return air;
}

ForwardOptions options_with(int wavenumbers) {
  if (wavenumbers < 0 || wavenumbers > 64) {
    throw py::value_error("wavenumbers: 0 (chosen for the survey) or a count from 1 to 64");
  }
  ForwardOptions options;
  options.wavenumber_count = wavenumbers;
  return options;
}

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

// The forward model of Python: the library's object with its mesh's counts, one call at a time.
class PythonForwardModel {
 public:
  PythonForwardModel(const Mesh& mesh, const SurveyData& survey,
                     const std::vector<std::int32_t>& air_cells, int wavenumbers, py::object io)
      : mesh_(mesh), survey_(survey) {
    const ForwardOptions options = options_with(wavenumbers);
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      model_ = std::make_unique<ForwardModel>(streams, mesh, air_cells, survey, options);
    });
  }

  std::size_t ndat() const { return static_cast<std::size_t>(model_->ndat()); }

  py::array_t<double> data(py::handle model, py::object io) {
    const Model resistivity = model_from_array(mesh_, model);
    std::vector<double> result;
    run(io, [&](const Io& streams) {
      result = model_->data(streams, resistivity.values());
      check_finite_data(streams, survey_, "", result, "DC value");
    });
    return take(std::move(result));
  }

  // The columns of J: every ground cell, an ActiveCells' parameters or 0-based mesh cells.
  std::vector<std::int32_t> columns_of(py::handle cells) const {
    if (cells.is_none()) return model_->ground_cells();
    if (py::isinstance<ActiveCells>(cells))
      return parameter_cells(cells.cast<const ActiveCells&>());
    const IntArray given = optional_vector<IntArray>(cells, "cells");
    return std::vector<std::int32_t>(given.data(), given.data() + given.size());
  }

  py::tuple sensitivity(py::handle model, py::handle cells, py::object io) {
    const Model resistivity = model_from_array(mesh_, model);
    const std::vector<std::int32_t> columns = columns_of(cells);
    std::vector<double> jacobian(ndat() * columns.size());
    std::vector<double> values(ndat());
    run(io, [&](const Io& streams) {
      model_->sensitivity(streams, resistivity.values(), columns, jacobian, values);
      check_finite_sensitivities(streams, survey_, "", jacobian, columns.size());
    });
    return py::make_tuple(take_matrix(std::move(jacobian), ndat(), columns.size()),
                          take(std::move(values)));
  }

  py::array_t<double> jacobian_times(py::handle model, py::handle v, py::handle cells,
                                     py::object io) {
    const Model resistivity = model_from_array(mesh_, model);
    const std::vector<std::int32_t> columns = columns_of(cells);
    const DoubleArray values = optional_vector<DoubleArray>(v, "v");
    if (static_cast<std::size_t>(values.size()) != columns.size()) {
      throw py::value_error("v: expected " + std::to_string(columns.size()) +
                            " values, one per column of J");
    }
    std::vector<double> result(ndat());
    run(io, [&](const Io& streams) {
      model_->jacobian_times(streams, resistivity.values(), columns, span_of(values), result);
    });
    return take(std::move(result));
  }

  py::array_t<double> jacobian_transpose_times(py::handle model, py::handle w, py::handle cells,
                                               py::object io) {
    const Model resistivity = model_from_array(mesh_, model);
    const std::vector<std::int32_t> columns = columns_of(cells);
    const DoubleArray values = optional_vector<DoubleArray>(w, "w");
    if (static_cast<std::size_t>(values.size()) != ndat()) {
      throw py::value_error("w: expected " + std::to_string(ndat()) + " values, one per datum");
    }
    std::vector<double> result(columns.size());
    run(io, [&](const Io& streams) {
      model_->jacobian_transpose_times(streams, resistivity.values(), columns, span_of(values),
                                       result);
    });
    return take(std::move(result));
  }

  // The apparent chargeabilities, and the data in `data` when it is not empty.
  std::vector<double> apparent_chargeability(py::handle model, py::handle eta, py::object io,
                                             std::span<double> data = {}) {
    const Model resistivity = model_from_array(mesh_, model);
    const Model chargeability = model_from_array(mesh_, eta);
    std::vector<double> result;
    run(io, [&](const Io& streams) {
      check_chargeabilities(streams, mesh_, model_->ground_cells(), chargeability.values(),
                            "the chargeabilities given");
      result = model_->apparent_chargeability(streams, resistivity.values(), chargeability.values(),
                                              data);
      check_finite_data(streams, survey_, "", result, "IP response");
    });
    return result;
  }

  // Refuses IP values (secondary potentials among them) that are not finite numbers.
  void check_ip_values(std::span<const double> values, py::object io) {
    with_streams(streams_or_default(io), [&](const Io& streams) {
      check_finite_data(streams, survey_, "", values, "IP response");
    });
  }

  const WavenumberRule& rule() const { return model_->wavenumbers(); }
  std::vector<std::int32_t> ground_cells() const { return model_->ground_cells(); }

 private:
  // Runs `work` with the streams and without the interpreter lock; one call at a time, so that
  // threads of Python may share the object.
  template <typename Work>
  void run(py::object io, Work&& work) {
    with_streams(streams_or_default(io), [&](const Io& streams) {
      const py::gil_scoped_release released;
      const std::lock_guard<std::mutex> lock(mutex_);
      work(streams);
    });
  }

  Mesh mesh_;
  SurveyData survey_;  // names the data of a message
  std::unique_ptr<ForwardModel> model_;
  std::mutex mutex_;
};

// Each datum's IP value as its type asks: the apparent chargeability, or for a secondary potential
// (IP type 2) the apparent chargeability times the datum.
void secondary_potentials(const SurveyData& survey, std::span<const double> data,
                          std::vector<double>& values) {
  for (std::size_t i = 0; i < values.size() && i < survey.iptype.size(); ++i) {
    if (survey.iptype[i] == 2) values[i] *= data[i];
  }
}

constexpr const char* ground_arguments =
    " topography: a Topography (its air cells are not ground); active: an ActiveCells (its "
    "inactive and influence cells conduct with their model values and are no parameters). "
    "wavenumbers: 0 for the count that meets the transform's tolerances over the survey's "
    "distances, or 1 to 64. The interpreter lock is released while the model is solved.";

}  // namespace

// The binding of a data-file writer (write_general_data, write_data_file): values and optional
// standard deviations of ndat values each, in grouped order.
template <typename Writer>
auto data_writer(Writer write) {
  return [write](const FileName& path, const SurveyData& survey, py::handle values,
                 const std::string& header, py::object stds, py::object io) {
    const auto given = vector_argument(values, survey.ndat, "values");
    std::optional<py::array_t<double, py::array::c_style | py::array::forcecast>> deviations;
    if (!stds.is_none()) deviations = vector_argument(stds, survey.ndat, "stds");
    with_streams(streams_or_default(io), [&](const Io& streams) {
      write(streams, path.text, header, survey,
            {given.data(), static_cast<std::size_t>(given.size())},
            deviations ? std::span<const double>(deviations->data(),
                                                 static_cast<std::size_t>(deviations->size()))
                       : std::span<const double>());
    });
  };
}

ParameterCellChoice parameter_cell_choice(py::handle value, const char* name,
                                          ParameterCellChoice none) {
  if (value.is_none()) return none;
  const std::string expected = std::string(name) + ": 'mesh', 'auto' or a positive width in metres";
  if (py::isinstance<py::str>(value)) {
    const std::string text = value.cast<std::string>();
    if (text == "mesh") return {};
    if (text == "auto") return {ParameterCellChoice::Kind::automatic, 0};
    throw py::value_error(expected);
  }
  const double width = value.cast<double>();
  if (!(width > 0) || !std::isfinite(width)) throw py::value_error(expected);
  return {ParameterCellChoice::Kind::width, width};
}

void bind_forward(py::module_& module) {
  module.def(
      "survey_from_arrays",
      [](py::handle a, py::handle b, py::handle m, py::handle n, py::handle za, py::handle zb,
         py::handle zm, py::handle zn, py::handle values, py::handle stds, py::handle iptype,
         py::object io) {
        const DoubleArray arrays[] = {optional_vector<DoubleArray>(a, "a"),
                                      optional_vector<DoubleArray>(b, "b"),
                                      optional_vector<DoubleArray>(m, "m"),
                                      optional_vector<DoubleArray>(n, "n"),
                                      optional_vector<DoubleArray>(za, "za"),
                                      optional_vector<DoubleArray>(zb, "zb"),
                                      optional_vector<DoubleArray>(zm, "zm"),
                                      optional_vector<DoubleArray>(zn, "zn"),
                                      optional_vector<DoubleArray>(values, "values"),
                                      optional_vector<DoubleArray>(stds, "stds")};
        const IntArray types = optional_vector<IntArray>(iptype, "iptype");
        SurveyArrays given;
        std::span<const double>* const fields[] = {&given.a,      &given.b,   &given.m,  &given.n,
                                                   &given.za,     &given.zb,  &given.zm, &given.zn,
                                                   &given.values, &given.stds};
        for (std::size_t f = 0; f < std::size(fields); ++f) *fields[f] = span_of(arrays[f]);
        given.iptype = span_of(types);
        SurveyData data;
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { survey_from_arrays(streams, given, data); });
        return data;
      },
      py::arg("a"), py::arg("b"), py::arg("m"), py::arg("n"), py::arg("za") = py::none(),
      py::arg("zb") = py::none(), py::arg("zm") = py::none(), py::arg("zn") = py::none(),
      py::arg("values") = py::none(), py::arg("stds") = py::none(), py::arg("iptype") = py::none(),
      py::arg("io") = py::none(),
      "survey_from_arrays(a, b, m, n, za=None, zb=None, zm=None, zn=None, values=None, "
      "stds=None, iptype=None, io=None) -> SurveyData\n\nA survey store from one entry per datum "
      "(x positions in m; a pole repeats its electrode: A = B or M = N). z positions (m, depth "
      "growing downwards; all four or none) place buried electrodes. values, stds: observed "
      "values and standard deviations (optional); iptype: 0 DC, 1 apparent chargeability, 2 "
      "secondary potential (default 0). The data are grouped by current pair in the order the "
      "pairs first appear; the given order is kept as the file order (sorted_pos[j], 1-based, is "
      "the grouped position of datum j). Raises quelby.Stop on bad input.");

  module.def(
      "mesh_from_nodes",
      [](py::handle x_nodes, py::handle z_nodes, py::object io) {
        const DoubleArray x = optional_vector<DoubleArray>(x_nodes, "x_nodes");
        const DoubleArray z = optional_vector<DoubleArray>(z_nodes, "z_nodes");
        Mesh mesh;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          mesh = quelby::mesh_from_nodes(streams, span_of(x), span_of(z));
        });
        return mesh;
      },
      py::arg("x_nodes"), py::arg("z_nodes"), py::arg("io") = py::none(),
      "mesh_from_nodes(x_nodes, z_nodes, io=None) -> Mesh\n\nA mesh from its column edges along x "
      "and its row edges in depth (m, strictly increasing, at least two each), as the mesh reader "
      "makes it from a file that lists every node.");

  module.def(
      "mesh_for_survey",
      [](const SurveyData& survey, double cell, double depth, int padding, double growth,
         int margin, double top, py::object topography, double grading, double depth_growth,
         py::object io) {
        SurveyMeshOptions options;
        options.depth_growth = depth_growth;
        options.cell_width = cell;
        options.core_depth = depth;
        options.padding_cells = padding;
        options.growth = growth;
        options.margin_cells = margin;
        options.top = top;
        options.grading = grading;
        std::optional<std::string> ground;
        if (!topography.is_none()) ground = topography.cast<FileName>().text;
        Mesh mesh;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          mesh = ground ? quelby::mesh_for_survey_under_ground(streams, survey, *ground, options)
                        : quelby::mesh_for_survey(streams, survey, options);
        });
        return mesh;
      },
      py::arg("survey"), py::arg("cell") = 0.0, py::arg("depth") = 0.0, py::arg("padding") = 0,
      py::arg("growth") = 1.3, py::arg("margin") = 4, py::arg("top") = 0.0,
      py::arg("topography") = py::none(), py::arg("grading") = 1.1, py::arg("depth_growth") = 1.1,
      py::arg("io") = py::none(),
      "mesh_for_survey(survey, cell=0.0, depth=0.0, padding=0, growth=1.3, margin=4, top=0.0, "
      "topography=None, grading=1.1, depth_growth=1.1, io=None) -> Mesh\n\nA mesh for the "
      "survey's electrodes "
      "(quelby-mesh): "
      "with a topography file's path as `topography`, under its ground (`top` then is the highest "
      "ground over the mesh and the depth reaches below the lowest ground under the electrodes); "
      "square core cells of "
      "width `cell` m (0: a quarter of the smallest spacing between electrodes along x, adjusted "
      "so whole cells span them) from `margin` cells before the first electrode to `margin` "
      "after the last, down to `depth` m below `top` (0: three quarters of the largest electrode "
      "separation, at least 4 cells); then `padding` cells on each side and below (0: as many as "
      "reach five times the larger of the line length and the depth), each `growth` times the "
      "one before it. For a survey with z positions (buried electrodes) the core reaches 4 cells "
      "below the deepest electrode, and the cells around every electrode are no wider than a "
      "quarter of the distance to its nearest other electrode: where some electrode needs finer "
      "cells than the core's, every electrode stands on nodes and the core cells grow by "
      "`grading` per cell away from the electrodes up to the core cell. Otherwise the core rows "
      "are core cells through the ground's relief and 4 below it, then each `depth_growth` times "
      "the one above (1: every core row a core cell).");

  module.def(
      "parameter_grid",
      [](const Mesh& mesh, const SurveyData& survey, py::object cell, py::object topography,
         py::object io) {
        const ParameterCellChoice choice = parameter_cell_choice(
            cell, "cell", ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
        Mesh grid;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          Topography ground;
          const bool use_file = !topography.is_none();
          read_topography(streams, use_file, use_file ? topography.cast<FileName>().text : "",
                          mesh.x_nodes, mesh.z_nodes, ground);
          if (ground.air_cells.empty())
            ground.air_cells.assign(static_cast<std::size_t>(mesh.nx), 0);
          grid = quelby::parameter_grid(streams, mesh, survey_electrode_x(survey),
                                        highest_ground(mesh, ground.air_cells), choice,
                                        survey_electrode_z(survey))
                     .mesh;
        });
        return grid;
      },
      py::arg("mesh"), py::arg("survey"), py::arg("cell") = py::none(),
      py::arg("topography") = py::none(), py::arg("io") = py::none(),
      "parameter_grid(mesh, survey, cell=None, topography=None, io=None) -> Mesh\n\nThe grid "
      "quelby-invert inverts on over `mesh` for the survey's electrodes (under the ground of the "
      "topography file): cells of whole mesh cells, `cell` m wide under the electrodes (None or "
      "'auto': half the smallest electrode spacing; 'mesh': the mesh itself), growing outside "
      "them, and layers thickening with depth. Models given to quelby.invert with "
      "parameter_cell are on this grid.");

  module.def(
      "write_mesh",
      [](const FileName& path, const Mesh& mesh, py::object io) {
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { quelby::write_mesh(streams, path.text, mesh); });
      },
      py::arg("path"), py::arg("mesh"), py::arg("io") = py::none(),
      "write_mesh(path, mesh, io=None) -> None\n\nWrites a mesh file: runs of equal cells as one "
      "segment each, positions in the shortest text that reads back to the same number; the file "
      "appears whole or not at all.");

  module.def(
      "write_general_data", data_writer(quelby::write_general_data), py::arg("path"),
      py::arg("survey"), py::arg("values"), py::arg("header") = "data written by quelby",
      py::arg("stds") = py::none(), py::arg("io") = py::none(),
      "write_general_data(path, survey, values, header='data written by quelby', stds=None, "
      "io=None) -> None\n\nWrites a data file in the general layout: `header` as line 1, then "
      "'A B M N value' (and the standard deviation, with stds) per datum in the survey file's "
      "order, `values` and `stds` being ndat values in grouped order (as quelby.forward returns "
      "them); IPTYPE lines where the survey's IP types need them. Values are written with at "
      "least 8 significant digits and read back to the same numbers.");

  module.def(
      "write_data_file", data_writer(quelby::write_data_file), py::arg("path"), py::arg("survey"),
      py::arg("values"), py::arg("header") = "data written by quelby", py::arg("stds") = py::none(),
      py::arg("io") = py::none(),
      "write_data_file(path, survey, values, header='data written by quelby', stds=None, "
      "io=None) -> None\n\nWrites a data file as write_general_data does when the survey has no z "
      "positions; with them (has_z, buried electrodes) in the common-current layout with z, which "
      "read_data_file(path, use_z=True) reads back: 'COMMON_CURRENT', the header as a comment "
      "line, then per run of data of one current pair 'xA zA xB zB count' and 'xM zM xN zN value "
      "[std]' lines, in the survey file's order.");

  py::class_<PythonForwardModel>(
      module, "ForwardModel",
      "ForwardModel(mesh, survey, air_cells=None, wavenumbers=0, io=None): the 2.5-D DC forward "
      "model of a survey on a mesh. air_cells: None, nx counts (0-based columns) or a "
      "Topography or ActiveCells whose air cells are not ground. The factorisations of one "
      "resistivity model are kept between calls, so an inversion's data, sensitivities and IP "
      "responses of one model share them. Data are in ohms (V/A for a unit current) in the "
      "survey's grouped order; models are (nz, nx) arrays of resistivities in ohm-m.")
      .def(py::init([](const Mesh& mesh, const SurveyData& survey, py::handle air_cells,
                       int wavenumbers, py::object io) {
             return std::make_unique<PythonForwardModel>(
                 mesh, survey, air_cells_of(mesh, air_cells), wavenumbers, io);
           }),
           py::arg("mesh"), py::arg("survey"), py::arg("air_cells") = py::none(),
           py::arg("wavenumbers") = 0, py::arg("io") = py::none())
      .def_property_readonly("ndat", &PythonForwardModel::ndat, "Number of data.")
      .def_property_readonly(
          "wavenumbers",
          [](const PythonForwardModel& self) {
            return py::array_t<double>(static_cast<py::ssize_t>(self.rule().k.size()),
                                       self.rule().k.data());
          },
          "The wavenumbers k_j of the transform along the strike, in 1/m, ascending.")
      .def_property_readonly(
          "weights",
          [](const PythonForwardModel& self) {
            return py::array_t<double>(static_cast<py::ssize_t>(self.rule().weight.size()),
                                       self.rule().weight.data());
          },
          "The weights w_j of the wavenumbers, in 1/m: u = (2/pi) sum_j w_j u~(k_j).")
      .def_property_readonly(
          "transform_error", [](const PythonForwardModel& self) { return self.rule().pole_error; },
          "The largest relative error of the wavenumber rule's transform of 1/r over the "
          "distances it was fitted for.")
      .def_property_readonly(
          "ground_cells", [](const PythonForwardModel& self) { return take(self.ground_cells()); },
          "The 0-based mesh cells (k * nx + i) below the surface, in cell order.")
      .def("data", &PythonForwardModel::data, py::arg("model"), py::arg("io") = py::none(),
           "data(model, io=None) -> numpy.ndarray\n\nThe data of the resistivity model (ohm-m, "
           "shape (nz, nx)): ndat values in ohms, grouped order. Air cells are not read.")
      .def("sensitivity", &PythonForwardModel::sensitivity, py::arg("model"),
           py::arg("cells") = py::none(), py::arg("io") = py::none(),
           "sensitivity(model, cells=None, io=None) -> tuple\n\n(J, data): J[i, c] = d d_i / d "
           "ln rho of column c's cell, in ohms, shape (ndat, columns), rows in grouped order. "
           "cells: an ActiveCells (its parameters 1..npar as columns 0..npar-1), 0-based mesh "
           "cells (k * nx + i) below the surface, or None for every ground cell in cell order.")
      .def("jacobian_times", &PythonForwardModel::jacobian_times, py::arg("model"), py::arg("v"),
           py::arg("cells") = py::none(), py::arg("io") = py::none(),
           "jacobian_times(model, v, cells=None, io=None) -> numpy.ndarray\n\nJ v without "
           "forming J: ndat values (grouped order) for v with one value per column of J, the "
           "columns as sensitivity() takes them. Costs about two matrix products of the "
           "electrodes' fields per wavenumber; the fields of one model are kept between calls "
           "while they fit the forward model's budget.")
      .def("jacobian_transpose_times", &PythonForwardModel::jacobian_transpose_times,
           py::arg("model"), py::arg("w"), py::arg("cells") = py::none(),
           py::arg("io") = py::none(),
           "jacobian_transpose_times(model, w, cells=None, io=None) -> numpy.ndarray\n\nJ^T w "
           "without forming J: one value per column of J (as sensitivity() takes them) for w "
           "with one value per datum (grouped order).")
      .def(
          "apparent_chargeability",
          [](PythonForwardModel& self, py::handle model, py::handle eta, py::object io) {
            return take(self.apparent_chargeability(model, eta, io));
          },
          py::arg("model"), py::arg("eta"), py::arg("io") = py::none(),
          "apparent_chargeability(model, eta, io=None) -> numpy.ndarray\n\nThe linearised "
          "apparent chargeability of every datum (grouped order), sum over ground cells c of "
          "(d ln d_i / d ln rho_c) eta_c, in the units of eta (shape (nz, nx)); a uniform eta "
          "gives itself.");

  // One-off forward models of the functions below, on the ground they are given.
  const auto one_off = [](const Mesh& mesh, const SurveyData& survey, py::handle topography,
                          py::handle active, int wavenumbers, py::object io) {
    return std::make_unique<PythonForwardModel>(
        mesh, survey, ground_air_cells(mesh, topography, active), wavenumbers, io);
  };
  module.def(
      "forward",
      [one_off](const Mesh& mesh, py::handle model, const SurveyData& survey, py::handle topography,
                py::handle active, int wavenumbers, py::object io) {
        return one_off(mesh, survey, topography, active, wavenumbers, io)->data(model, io);
      },
      py::arg("mesh"), py::arg("model"), py::arg("survey"), py::arg("topography") = py::none(),
      py::arg("active") = py::none(), py::arg("wavenumbers") = 0, py::arg("io") = py::none(),
      (std::string("forward(mesh, model, survey, topography=None, active=None, wavenumbers=0, "
                   "io=None) -> numpy.ndarray\n\nThe DC data of a resistivity model (ohm-m, "
                   "shape (nz, nx)) for the survey's electrodes: ndat potential differences in "
                   "ohms (V/A for a unit current from A to B), in the survey's grouped order "
                   "(element i is datum i of the store, 0-based).") +
       ground_arguments)
          .c_str());
  module.def(
      "sensitivity",
      [one_off](const Mesh& mesh, py::handle model, const SurveyData& survey, py::handle topography,
                py::handle active, int wavenumbers, py::object io) {
        return one_off(mesh, survey, topography, active, wavenumbers, io)
            ->sensitivity(model, active, io);
      },
      py::arg("mesh"), py::arg("model"), py::arg("survey"), py::arg("topography") = py::none(),
      py::arg("active") = py::none(), py::arg("wavenumbers") = 0, py::arg("io") = py::none(),
      (std::string("sensitivity(mesh, model, survey, topography=None, active=None, "
                   "wavenumbers=0, io=None) -> tuple\n\n(J, data): J[i, p - 1] = d d_i / d ln "
                   "rho of parameter p (1-based, as active.cell_idx numbers it; without active "
                   "every ground cell in cell order), in ohms, shape (ndat, npar); data as "
                   "quelby.forward gives them. Rows in the survey's grouped order.") +
       ground_arguments)
          .c_str());
  module.def(
      "forward_ip",
      [one_off](const Mesh& mesh, py::handle model, py::handle eta, const SurveyData& survey,
                py::handle topography, py::handle active, int wavenumbers, py::object io) {
        std::unique_ptr<PythonForwardModel> forward =
            one_off(mesh, survey, topography, active, wavenumbers, io);
        std::vector<double> data(forward->ndat());
        std::vector<double> values = forward->apparent_chargeability(model, eta, io, data);
        secondary_potentials(survey, data, values);
        forward->check_ip_values(values, io);
        return take(std::move(values));
      },
      py::arg("mesh"), py::arg("model"), py::arg("eta"), py::arg("survey"),
      py::arg("topography") = py::none(), py::arg("active") = py::none(),
      py::arg("wavenumbers") = 0, py::arg("io") = py::none(),
      (std::string("forward_ip(mesh, model, eta, survey, topography=None, active=None, "
                   "wavenumbers=0, io=None) -> numpy.ndarray\n\nThe linearised IP response of "
                   "the chargeabilities `eta` (shape (nz, nx)) on the resistivity model, one "
                   "value per datum in grouped order, as each datum's IP type asks: the apparent "
                   "chargeability (sum over ground cells c of (d ln d_i / d ln rho_c) eta_c, in "
                   "the units of eta) for types 0 and 1, the secondary potential (the apparent "
                   "chargeability times the DC datum, ohms times those units) for type 2, as "
                   "quelby-forward --ip writes them.") +
       ground_arguments)
          .c_str());
  module.def(
      "geometric_factors",
      [](const Mesh& mesh, const SurveyData& survey, py::handle air_cells, int wavenumbers,
         py::object io) {
        const std::vector<std::int32_t> air = air_cells_of(mesh, air_cells);
        const ForwardOptions options = options_with(wavenumbers);
        std::vector<double> factors;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          const py::gil_scoped_release released;
          factors = quelby::geometric_factors(streams, mesh, air, survey, options);
        });
        return take(std::move(factors));
      },
      py::arg("mesh"), py::arg("survey"), py::arg("air_cells") = py::none(),
      py::arg("wavenumbers") = 0, py::arg("io") = py::none(),
      "geometric_factors(mesh, survey, air_cells=None, wavenumbers=0, io=None) -> "
      "numpy.ndarray\n\nThe numerical geometric factor K_i = 1 / d_i of every datum (grouped "
      "order), d_i the datum of a uniform 1 ohm-m earth on the mesh below `air_cells` (None, nx "
      "counts, or a Topography): an apparent resistivity is K_i times the datum in ohms, honest "
      "over topography. quelby.geometric_factor(survey, mesh=...) calls it.");
}

}  // namespace quelby::python
