// quelby.invert for a 3-D survey: the arguments quelby.invert takes read into the 3-D run (what
// the 3-D inversion cannot do refused by name), the run without the interpreter lock, and the
// namespace of the 2-D run's fields with 3-D models of shape (nz, ny, nx).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "invert_arguments.hpp"
#include "quelby/inversion/inversion_run3d.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/mesh3d_file.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/survey3d.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

bool given(const py::dict& arguments, const char* name) {
  return !arguments[name].is_none();
}

// A file name, or the 3-D survey file that the name of `value` holds.
bool names_survey3d_file(py::handle value) {
  const auto name = file_name(value);
  return name && is_survey3d_file(*name);
}

// None, a number, a 3-D model file or an array of shape (nz, ny, nx) (or flat) of the grid.
ModelChoice model_choice3d(py::handle value, const char* what) {
  if (value.is_none()) return ModelChoice::automatic();
  if (const auto name = file_name(value)) return ModelChoice::model_file(*name);
  const bool many =
      py::isinstance<py::sequence>(value) ||
      (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0);
  if (!many && PyNumber_Check(value.ptr()) != 0) {
    return ModelChoice::uniform(py::float_(py::reinterpret_borrow<py::object>(value)));
  }
  if (!many) {
    throw py::type_error(std::string(what) +
                         ": None, a number, a 3-D model file or an array of shape (nz, ny, nx)");
  }
  const auto values = vector_argument(value, -1, what);
  if (values.ndim() != 3 && values.ndim() != 1) {
    throw py::value_error(std::string(what) +
                          ": a 3-D model is an array of shape (nz, ny, nx) of the parameter grid");
  }
  return ModelChoice::per_cell(std::vector<double>(values.data(), values.data() + values.size()));
}

void refuse(const py::dict& arguments, const char* name, const char* why) {
  if (given(arguments, name)) {
    throw py::value_error(std::string(name) + ": not for a 3-D survey (" + why + ")");
  }
}

void refuse_true(const py::dict& arguments, const char* name, const char* why) {
  const py::object value = arguments[name];
  if (!value.is_none() && py::bool_(value)) {
    throw py::value_error(std::string(name) + ": not for a 3-D survey (" + why + ")");
  }
}

void read_survey_argument(py::handle value, std::optional<Survey3D>& store, std::string& file,
                          const char* what) {
  if (value.is_none()) return;
  if (py::isinstance<Survey3D>(value)) {
    store = value.cast<Survey3D>();
  } else if (const auto name = file_name(value)) {
    file = *name;
  } else {
    throw py::type_error(std::string(what) + ": a Survey3D or a 3-D survey file");
  }
}

py::array_t<double> grid_model(const std::vector<double>& values, const Mesh3D& grid) {
  return take_cells3d(std::vector<double>(values), grid.nx, grid.ny, grid.nz);
}

}  // namespace

bool is_3d_run(py::handle mesh, py::handle data, py::handle ip_data) {
  return py::isinstance<Mesh3D>(mesh) || py::isinstance<Survey3D>(data) ||
         py::isinstance<Survey3D>(ip_data) || names_survey3d_file(data) ||
         names_survey3d_file(ip_data);
}

py::object invert3d(const py::dict& arguments) {
  // What the 3-D inversion does not do.
  refuse(arguments, "alpha", "give lengths=(Lx, Ly, Lz)");
  refuse(arguments, "ip_alpha", "the IP inversion takes the DC's lengths");
  refuse(arguments, "ip_lengths", "the IP inversion takes the DC's lengths");
  refuse(arguments, "weights", "the 3-D objective takes no cell weights");
  refuse(arguments, "dip_file", "the 3-D objective has no dipping zones");
  refuse(arguments, "parameters", "give parameter_cell");
  refuse(arguments, "callback", "the 3-D run reports its iterations in out and the run log");
  refuse_true(arguments, "z", "3-D survey files always hold z");
  refuse_true(arguments, "doi", "no depth of investigation in 3-D");
  const auto bounds = arguments["resistivity_bounds"].cast<std::pair<double, double>>();
  if (bounds != std::make_pair(1e-4, 1e8)) {
    throw py::value_error(
        "resistivity_bounds: not for a 3-D survey (the 3-D run bounds the step by "
        "max_log_change)");
  }

  InversionRun3D run;
  const py::object mesh = arguments["mesh"];
  if (py::isinstance<Mesh3D>(mesh)) {
    run.mesh = mesh.cast<Mesh3D>();
  } else if (const auto name = file_name(mesh)) {
    run.mesh_file = *name;
  } else if (!mesh.is_none()) {
    throw py::type_error("mesh: None, a Mesh3D or a 3-D mesh file for a 3-D survey");
  }
  read_survey_argument(arguments["data"], run.data, run.data_file, "data");
  read_survey_argument(arguments["ip_data"], run.ip_data, run.ip_data_file, "ip_data");

  const py::object what = arguments["what"];
  const std::string what_text =
      what.is_none() ? (given(arguments, "ip_data") ? "both" : "dc") : what.cast<std::string>();
  if (what_text == "dc") {
    run.invert = InversionTargets::dc;
  } else if (what_text == "ip") {
    run.invert = InversionTargets::ip;
  } else if (what_text == "both") {
    run.invert = InversionTargets::both;
  } else {
    throw py::value_error("what: 'dc', 'ip' or 'both'");
  }

  const py::object cell_budget = arguments["cell_budget"];
  if (!cell_budget.is_none()) {
    if (py::isinstance<py::bool_>(cell_budget) || !py::isinstance<py::int_>(cell_budget) ||
        cell_budget.cast<long long>() < 1) {
      throw py::value_error("cell_budget: a whole number of cells, 1 or more");
    }
    if (!mesh.is_none()) {
      throw py::value_error("cell_budget: for the mesh made for the survey (mesh is given)");
    }
    run.cell_budget = cell_budget.cast<std::int64_t>();
  }

  const py::object topography = arguments["topography"];
  if (const auto name = file_name(topography)) {
    run.topography_file = *name;
  } else if (py::isinstance<Topography3D>(topography)) {
    if (mesh.is_none()) {
      throw py::value_error(
          "topography: a Topography3D needs the mesh given (or give the topography file)");
    }
  } else if (!topography.is_none()) {
    throw py::type_error("topography: a 3-D topography file or a Topography3D");
  }
  const py::object active = arguments["active"];
  if (const auto name = file_name(active)) {
    run.active_file = *name;
  } else if (!active.is_none()) {
    throw py::value_error("active: for a 3-D survey an active-cell file on the parameter grid");
  }

  const py::object lengths = arguments["lengths"];
  if (!lengths.is_none()) {
    const auto values = lengths.cast<std::vector<double>>();
    if (values.size() == 3) {
      run.lengths = {values[0], values[1], values[2]};
    } else if (values.size() == 2) {
      run.lengths = {values[0], values[0], values[1]};
    } else {
      throw py::value_error("lengths: (Lx, Ly, Lz) or (Lx, Lz) in metres");
    }
    for (const double length : run.lengths) {
      if (!(length > 0) || !std::isfinite(length)) {
        throw py::value_error("lengths: positive lengths in metres");
      }
    }
  }

  run.parameter_cell =
      parameter_cell_choice(arguments["parameter_cell"], "parameter_cell",
                            ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0});
  run.starting = model_choice3d(arguments["start"], "start");
  run.reference = model_choice3d(arguments["reference"], "reference");
  run.ip_starting = model_choice3d(arguments["ip_start"], "ip_start");
  run.ip_reference = model_choice3d(arguments["ip_reference"], "ip_reference");
  run.data_uncertainty = uncertainty(arguments["percent"], arguments["floor"]);
  run.ip_uncertainty = uncertainty(arguments["ip_percent"], arguments["ip_floor"]);
  run.ref_in_derivatives = arguments["ref_in_derivatives"].cast<bool>();
  run.settings.chifact = arguments["chifact"].cast<double>();
  run.settings.max_iterations = arguments["max_iterations"].cast<int>();
  set_robust(arguments["robust"], run.settings);
  run.settings.blocky = arguments["blocky"].cast<bool>();
  run.settings.memory_budget = memory_budget_of(arguments["memory_budget"]);
  run.max_log_change = arguments["max_log_change"].cast<double>();
  if (!(run.max_log_change >= 0)) throw py::value_error("max_log_change: 0 or more");
  run.ip_lower_bound = arguments["ip_lower_bound"].cast<double>();
  if (!(run.ip_lower_bound <= 0) || !std::isfinite(run.ip_lower_bound))
    throw py::value_error("ip_lower_bound: a chargeability of 0 or less");

  const py::object out = arguments["out"];
  RunOutput output(out, arguments["io"]);
  run.output_folder = output.folder();
  InversionOutcome3D outcome;
  with_streams(output.streams(), [&](const Io& streams) {
    if (py::isinstance<Topography3D>(topography)) {
      if (!run.mesh) {
        Mesh3D loaded;
        load_mesh3d(streams, run.mesh_file, loaded);
        run.mesh = std::move(loaded);
      }
      Topography3D ground = topography.cast<Topography3D>();
      ground.flat_z = run.mesh->z_nodes.front();
      run.air_cells = air_cells_3d(streams, *run.mesh, ground);
    }
    const py::gil_scoped_release released;
    outcome = run_inversion3d(streams, run, &output.held());
  });

  const Mesh3D& grid = outcome.grid.mesh;
  py::dict result;
  result["mesh"] = grid;
  result["forward_mesh"] = outcome.forward_mesh;
  result["out"] = out.is_none() ? py::object(py::none()) : py::str(run.output_folder);
  const auto add_stage = [&](const std::optional<StageOutcome3D>& stage,
                             const std::string& model_name, const std::string& tail) {
    const std::string names[] = {model_name, "predicted" + tail, "observed" + tail, "std" + tail,
                                 "history" + tail};
    if (!stage) {
      for (const std::string& name : names) result[py::str(name)] = py::none();
      return;
    }
    result[py::str(names[0])] = grid_model(stage->model, grid);
    result[py::str(names[1])] = copy_of(stage->result.predicted);
    result[py::str(names[2])] = copy_of(stage->dobs);
    result[py::str(names[3])] = copy_of(stage->dstd);
    result[py::str(names[4])] = history_of(stage->result, stage->dobs.size());
  };
  add_stage(outcome.dc, "model", "");
  add_stage(outcome.ip, "eta", "_ip");
  result["doi"] = py::none();
  result["doi_runs"] = py::none();
  const Mesh3D& forward = outcome.forward_mesh;
  py::array_t<std::int32_t> air = take(std::vector<std::int32_t>(outcome.air_cells));
  result["air_cells"] = air.attr("reshape")(forward.ny, forward.nx);
  result["cell_idx"] =
      take_cells3d(std::vector<std::int32_t>(outcome.cell_idx), grid.nx, grid.ny, grid.nz);
  result["survey"] = outcome.survey;
  return namespace_of(result);
}

}  // namespace quelby::python
