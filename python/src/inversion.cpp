// The inversion of a survey for Python: quelby.invert takes file names or the stores in memory
// (a Mesh, SurveyData, Topography, ActiveCells or a mask, numpy models and weights), runs the
// library's driver without the interpreter lock (taken back for the callback after each
// iteration) and returns the models, predicted data and histories as numpy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "invert_arguments.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/inversion/depth_of_investigation.hpp"
#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// The mesh of the run as a store: the one given, else loaded from its file now (the run then
// takes it from memory).
const Mesh& mesh_store(const Io& io, InversionRun& run) {
  if (!run.mesh) {
    Mesh mesh;
    load_mesh(io, run.mesh_file, mesh);
    run.mesh = std::move(mesh);
  }
  return *run.mesh;
}

// None, a number (every cell), a model file or an array of one value per cell.
ModelChoice model_choice(py::handle value, const std::function<const Mesh&()>& mesh,
                         const char* what) {
  if (value.is_none()) return ModelChoice::automatic();
  if (const auto name = file_name(value)) return ModelChoice::model_file(*name);
  // A number: Python's or numpy's, or an array of no dimension.
  const bool many =
      py::isinstance<py::sequence>(value) ||
      (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() > 0);
  if (!many && PyNumber_Check(value.ptr()) != 0) {
    return ModelChoice::uniform(py::float_(py::reinterpret_borrow<py::object>(value)));
  }
  if (!many) {
    throw py::type_error(std::string(what) +
                         ": None, a number, a model file or an array of shape (nz, nx)");
  }
  const Model model = model_from_array(mesh(), value);
  return ModelChoice::per_cell({model.values().begin(), model.values().end()});
}

// alpha (a_s, a_x, a_z) or lengths (Lx, Lz), else the coefficients of the mesh's cells.
std::optional<AlphaChoice> alpha_choice(py::handle alpha, py::handle lengths, const char* what) {
  if (!alpha.is_none() && !lengths.is_none()) {
    throw py::value_error(std::string(what) + ": give the coefficients or the lengths, not both");
  }
  if (!alpha.is_none()) return AlphaChoice{2, alpha.cast<std::array<double, 3>>(), {}};
  if (!lengths.is_none()) return AlphaChoice{3, {}, lengths.cast<std::array<double, 2>>()};
  return std::nullopt;
}

// None, a weighting file, three single-array files or the three arrays (s, x, z) of shape
// (nz, nx).
WeightSource weight_source(py::handle weights, const std::function<const Mesh&()>& mesh) {
  if (weights.is_none()) return WeightSource::ones();
  if (const auto name = file_name(weights)) return WeightSource::weighting_file(*name);
  const py::sequence three = py::reinterpret_borrow<py::sequence>(weights);
  if (py::len(three) != 3) throw py::value_error("weights: a file, three files or (s, x, z)");
  if (file_name(three[0]) && file_name(three[1]) && file_name(three[2])) {
    return WeightSource::array_files(*file_name(three[0]), *file_name(three[1]),
                                     *file_name(three[2]));
  }
  return WeightSource::given(CellWeights{model_from_array(mesh(), three[0]),
                                         model_from_array(mesh(), three[1]),
                                         model_from_array(mesh(), three[2])});
}

py::array_t<double> cells_copy(std::span<const double> values, const Mesh& mesh) {
  std::vector<double> copy(values.begin(), values.end());
  return take_cells(std::move(copy), mesh.nx, mesh.nz);
}

constexpr const char* invert_doc =
    "invert(mesh=None, data=None, ip_data=None, topography=None, active=None, start=None, "
    "reference=None, ip_start=None, ip_reference=None, alpha=None, lengths=None, ip_alpha=None, "
    "ip_lengths=None, weights=None, dip_file=None, ref_in_derivatives=False, chifact=1.0, "
    "max_iterations=20, what=None, out=None, percent=None, floor=None, ip_percent=None, "
    "ip_floor=None, robust=False, blocky=False, resistivity_bounds=(1e-4, 1e8), "
    "max_log_change=3.0, memory_budget=None, z=False, parameter_cell=None, parameters=None, "
    "ip_lower_bound=0.0, doi=False, callback=None, cell_budget=None, io=None) -> "
    "types.SimpleNamespace\n\n"
    "Inverts DC data for the resistivity of the section (Gauss-Newton over ln rho, the target "
    "misfit chifact * ndat) and, with IP data, then the chargeability on the final resistivity, "
    "as quelby-invert does. Every input is a file name or the store in memory: mesh a Mesh; data "
    "and ip_data a SurveyData (with standard deviations, or percent and floor: std = percent / "
    "100 * |d| + floor); topography a Topography (None: flat ground); active an ActiveCells, a "
    "mask of shape (nz, nx) (booleans or flags 1, 0, -1, as active_cells_from_mask) or an "
    "active-cell file (None: every cell below the ground); start and reference (ohm-m), ip_start "
    "and ip_reference (chargeability) a number, a model file or an array (nz, nx) (None: the "
    "median apparent resistivity, and 0 for IP); alpha (a_s, a_x, a_z) or lengths (Lx, Lz) (None: "
    "from the smallest cells), ip_alpha or ip_lengths for the IP inversion (None: the DC's); "
    "weights a weighting file, three single-array files or the arrays (s, x, z) of "
    "weights_from_arrays; dip_file a dipping file. robust: True (or a threshold in standard "
    "deviations from 0.1 to 100, 1.5 by default) for a robust data misfit, in which readings far "
    "off the fit lose weight (Huber's), so that a few spoiled values cannot pull the model, and "
    "at most a twentieth of the readings, beyond 4 standard deviations and the threshold, do not "
    "count in the misfit compared with the target; blocky: True for "
    "sharp boundaries rather than smooth ones (the derivative terms reweighted towards the sum "
    "of the gradients' magnitudes); resistivity_bounds (lowest, highest): a trial step beyond "
    "them is rejected (ohm-m, widened to hold the starting and reference models); "
    "max_log_change: the largest change of ln(resistivity) of a cell in one iteration (0: "
    "unbounded); memory_budget: the MiB the sensitivities may take (above 0, at most 2^40; "
    "None: half of what the system has available, which varies from run to run), beyond which "
    "each step comes from products with them: a budget given makes the run the same bits every "
    "time. z: True when "
    "the data files (data, ip_data) are in the common-current layout with a z position after "
    "every x (buried electrodes; the control file's use_z); a SurveyData carries its own z "
    "positions. parameter_cell: None or 'mesh' (one parameter per mesh cell), 'auto' (cells of "
    "mesh cells half the electrode spacing wide under the electrodes, layers thickening with "
    "depth) or a width in metres; parameters: a mesh file of the parameters' cells instead (its "
    "nodes mesh nodes); arrays, models and masks given are then on that grid, and mesh in what "
    "is returned is the grid. ip_lower_bound: the lowest chargeability (0; below 0 for IP data "
    "of either sign). what: 'dc', "
    "positions. doi: True (or the factor F > 1 between the references, 10 by default) for the "
    "depth of investigation of Oldenburg and Li (1999): after the run the DC data are inverted "
    "twice more, everything the same but the reference, divided and multiplied by sqrt(F), each "
    "run started from its reference (their files in the doi_low and doi_high folders of out, "
    "the callback not called for them), and per cell R = (m1 - m2) / (mr1 - mr2) of "
    "log10(resistivity) gives the index |R| / max |R| (0 where the data fix the model, 1 where "
    "the reference does; -1 on cells that are no parameter), written as doi.mod; not for IP "
    "alone. what: 'dc', "
    "'ip' or 'both' (None: 'both' with "
    "ip_data, else 'dc'). out: the folder of the files quelby-invert writes (each iteration's "
    "model, the final models, predicted data, histories and, without io, the run log run.log); "
    "None writes them to a temporary folder removed afterwards. callback(update) is called after "
    "each iteration with update.stage ('dc' or 'ip'), iteration, misfit, beta, model_norm, model "
    "(nz, nx), predicted (ndat, grouped order) and the histories so far; an exception it raises "
    "(or Ctrl-C) ends the run, leaving the files written so far complete. The interpreter lock "
    "is released while the inversion runs. Returns a namespace: mesh (the grid the models are on), "
    "forward_mesh, model and eta (nz, nx; "
    "None when not inverted: the models of the iterations of the lowest misfit, the last unless "
    "a later one fitted worse), predicted and predicted_ip (their data), observed, std, "
    "observed_ip and std_ip (grouped order), history and history_ip (dicts: iterations, misfit, "
    "norm, beta, target_misfit, ndat, stop, kept_iteration: the iteration of the model returned, "
    "0 the starting model, and data_weights: the robust misfit's weight of every datum of that "
    "model, 1 for least squares), out; with doi also doi (nz, nx) and doi_runs (a dict: factor, "
    "largest (max |R|), and low and high, each a history dict with its model).\n\n"
    "3-D surveys: when data (or ip_data) is a Survey3D or a 3-D survey file (first line "
    "GENERAL_3D), or mesh a Mesh3D, the 3-D inversion runs, as quelby-invert runs it for such "
    "files. mesh: None (a mesh made for the survey within cell_budget cells, about; None: "
    "100,000), a Mesh3D or a 3-D mesh file; topography a 3-D topography file (or a Topography3D "
    "with a mesh given); active an active-cell file on the parameter grid; parameter_cell as in "
    "2-D (None or 'auto': cells the smallest electrode distance wide, see "
    "quelby.parameter_grid3d); lengths (Lx, Ly, Lz), or (Lx, Lz) with Ly = Lx; start, reference, "
    "ip_start and ip_reference a number, a 3-D model file or an array of shape (nz, ny, nx) of "
    "the grid, x fastest (element [k, j, i] is the grid's 0-based cell (k * ny + j) * nx + i). "
    "alpha, ip_alpha, ip_lengths, weights, dip_file, parameters, z, doi, callback and "
    "resistivity_bounds other than the default are refused (ValueError). The namespace "
    "returned holds the same fields: mesh the parameter grid and forward_mesh the forward mesh "
    "(Mesh3D), model and eta of shape (nz, ny, nx) of the grid (NaN on cells that are no "
    "parameter), predicted, observed and std in the survey's order; and also air_cells (ny, nx) "
    "of the forward mesh's columns, cell_idx (nz, ny, nx) of the grid (the 1-based parameter "
    "number, 0 none) and survey (the Survey3D inverted). out receives model.mod, model.vtr "
    "(eta.mod, eta.vtr), predicted.dat and the histories.";

}  // namespace

void bind_inversion(py::module_& module) {
  module.def(
      "invert",
      [](py::object mesh, py::object data, py::object ip_data, py::object topography,
         py::object active, py::object start, py::object reference, py::object ip_start,
         py::object ip_reference, py::object alpha, py::object lengths, py::object ip_alpha,
         py::object ip_lengths, py::object weights, py::object dip_file, bool ref_in_derivatives,
         double chifact, int max_iterations, py::object what, py::object out, py::object percent,
         py::object floor, py::object ip_percent, py::object ip_floor, py::object robust,
         bool blocky, std::pair<double, double> resistivity_bounds, double max_log_change,
         py::object memory_budget, bool z, py::object parameter_cell, py::object parameters,
         double ip_lower_bound, py::object doi, py::object callback, py::object cell_budget,
         py::object io) {
        if (is_3d_run(mesh, data, ip_data)) {
          py::dict arguments;
          arguments["mesh"] = mesh;
          arguments["data"] = data;
          arguments["ip_data"] = ip_data;
          arguments["topography"] = topography;
          arguments["active"] = active;
          arguments["start"] = start;
          arguments["reference"] = reference;
          arguments["ip_start"] = ip_start;
          arguments["ip_reference"] = ip_reference;
          arguments["alpha"] = alpha;
          arguments["lengths"] = lengths;
          arguments["ip_alpha"] = ip_alpha;
          arguments["ip_lengths"] = ip_lengths;
          arguments["weights"] = weights;
          arguments["dip_file"] = dip_file;
          arguments["ref_in_derivatives"] = ref_in_derivatives;
          arguments["chifact"] = chifact;
          arguments["max_iterations"] = max_iterations;
          arguments["what"] = what;
          arguments["out"] = out;
          arguments["percent"] = percent;
          arguments["floor"] = floor;
          arguments["ip_percent"] = ip_percent;
          arguments["ip_floor"] = ip_floor;
          arguments["robust"] = robust;
          arguments["blocky"] = blocky;
          arguments["resistivity_bounds"] = resistivity_bounds;
          arguments["max_log_change"] = max_log_change;
          arguments["memory_budget"] = memory_budget;
          arguments["z"] = z;
          arguments["parameter_cell"] = parameter_cell;
          arguments["parameters"] = parameters;
          arguments["ip_lower_bound"] = ip_lower_bound;
          arguments["doi"] = doi;
          arguments["callback"] = callback;
          arguments["cell_budget"] = cell_budget;
          arguments["io"] = io;
          return invert3d(arguments);
        }
        if (!cell_budget.is_none()) {
          throw py::value_error("cell_budget: for 3-D surveys only (the 2-D mesh is given)");
        }
        InversionRun run;
        if (py::isinstance<Mesh>(mesh)) {
          run.mesh = mesh.cast<Mesh>();
        } else if (const auto name = file_name(mesh)) {
          run.mesh_file = *name;
        } else {
          throw py::type_error("mesh: a Mesh or a mesh file");
        }
        const auto survey = [](py::handle value, std::optional<SurveyData>& store,
                               std::string& file, const char* what) {
          if (value.is_none()) return;
          if (py::isinstance<SurveyData>(value)) {
            store = value.cast<SurveyData>();
          } else if (const auto name = file_name(value)) {
            file = *name;
          } else {
            throw py::type_error(std::string(what) + ": a SurveyData or a data file");
          }
        };
        survey(data, run.data, run.data_file, "data");
        survey(ip_data, run.ip_data, run.ip_data_file, "ip_data");
        if (py::isinstance<Topography>(topography)) {
          run.topography = topography.cast<Topography>();
        } else if (const auto name = file_name(topography)) {
          run.topography_file = *name;
        } else if (!topography.is_none()) {
          throw py::type_error("topography: a Topography or a topography file");
        }
        const std::string what_text =
            what.is_none() ? (ip_data.is_none() ? "dc" : "both") : what.cast<std::string>();
        if (what_text == "dc") {
          run.invert = InversionTargets::dc;
        } else if (what_text == "ip") {
          run.invert = InversionTargets::ip;
        } else if (what_text == "both") {
          run.invert = InversionTargets::both;
        } else {
          throw py::value_error("what: 'dc', 'ip' or 'both'");
        }
        run.data_uncertainty = uncertainty(percent, floor);
        run.ip_uncertainty = uncertainty(ip_percent, ip_floor);
        run.settings.chifact = chifact;
        run.settings.max_iterations = max_iterations;
        run.ref_in_derivatives = ref_in_derivatives;
        set_robust(robust, run.settings);
        run.settings.blocky = blocky;
        if (!(resistivity_bounds.first > 0) ||
            !(resistivity_bounds.first < resistivity_bounds.second))
          throw py::value_error("resistivity_bounds: (lowest, highest), 0 < lowest < highest");
        run.resistivity_bounds = {resistivity_bounds.first, resistivity_bounds.second};
        if (!(max_log_change >= 0)) throw py::value_error("max_log_change: 0 or more");
        run.max_log_change = max_log_change;
        run.settings.memory_budget = memory_budget_of(memory_budget);
        run.use_z = z;
        run.parameter_cell = parameter_cell_choice(parameter_cell, "parameter_cell", {});
        if (const auto name = file_name(parameters)) {
          run.parameter_file = *name;
        } else if (!parameters.is_none()) {
          throw py::type_error("parameters: a parameter grid's mesh file");
        }
        if (!(ip_lower_bound <= 0) || !std::isfinite(ip_lower_bound))
          throw py::value_error("ip_lower_bound: a chargeability of 0 or less");
        run.ip_lower_bound = ip_lower_bound;
        std::optional<double> doi_factor;
        if (py::isinstance<py::bool_>(doi)) {
          if (doi.cast<bool>()) doi_factor = default_doi_factor;
        } else if (!doi.is_none()) {
          if (!py::isinstance<py::float_>(doi) && !py::isinstance<py::int_>(doi))
            throw py::type_error("doi: True, False or a factor above 1");
          doi_factor = doi.cast<double>();
          if (!(*doi_factor > 1) || !std::isfinite(*doi_factor))
            throw py::value_error("doi: True, False or a factor above 1");
        }
        if (const auto choice = alpha_choice(alpha, lengths, "alpha")) run.alpha = *choice;
        run.ip_alpha = alpha_choice(ip_alpha, ip_lengths, "ip_alpha");
        if (const auto name = file_name(dip_file)) {
          run.dipping = DipSource::file(*name);
        } else if (!dip_file.is_none()) {
          throw py::type_error("dip_file: a dipping file");
        }

        RunOutput output(out, io);
        run.output_folder = output.folder();
        const OutputFolder& held = output.held();
        Streams& streams = output.streams();

        InversionOutcome outcome;
        std::optional<DepthOfInvestigation> depth;
        with_streams(streams, [&](const Io& streams_io) {
          // Arrays need the mesh's shape, and a mask the ground too: those load the mesh now.
          const auto the_mesh = [&]() -> const Mesh& { return mesh_store(streams_io, run); };
          // Arrays are shaped as the mesh: on a parameter grid, models are values or files on it.
          const bool on_grid = run.parameter_cell.kind != ParameterCellChoice::Kind::forward_mesh ||
                               !run.parameter_file.empty();
          for (const auto& [value, name] :
               {std::pair{&start, "start"}, std::pair{&reference, "reference"},
                std::pair{&ip_start, "ip_start"}, std::pair{&ip_reference, "ip_reference"},
                std::pair{&weights, "weights"}, std::pair{&active, "active"}}) {
            if (on_grid && py::isinstance<py::array>(*value)) {
              throw py::value_error(std::string(name) +
                                    ": an array is shaped as the mesh; with parameter_cell or "
                                    "parameters give a value or a file on the grid "
                                    "(quelby.parameter_grid)");
            }
          }
          run.starting = model_choice(start, the_mesh, "start");
          run.reference = model_choice(reference, the_mesh, "reference");
          run.ip_starting = model_choice(ip_start, the_mesh, "ip_start");
          run.ip_reference = model_choice(ip_reference, the_mesh, "ip_reference");
          run.weights = weight_source(weights, the_mesh);
          if (py::isinstance<ActiveCells>(active)) {
            run.active = active.cast<ActiveCells>();
          } else if (const auto name = file_name(active)) {
            run.active_file = *name;
          } else if (!active.is_none()) {
            const Mesh& grid = the_mesh();
            std::vector<std::int32_t> flags = mask_flags(grid, active);
            Topography ground;
            if (run.topography) {
              ground = *run.topography;
            } else {
              read_topography(streams_io, !run.topography_file.empty(), run.topography_file,
                              grid.x_nodes, grid.z_nodes, ground);
              run.topography = ground;
            }
            ActiveCells cells;
            active_cells_from_flags(streams_io, grid, ground, std::move(flags), cells);
            run.active = std::move(cells);
          }
          // After every iteration, its files complete: a Ctrl-C (KeyboardInterrupt) met since
          // ends the run here, with or without a callback.
          run.observer = [&callback](const IterationUpdate& update) {
            const py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (callback.is_none()) return;
            const Mesh& grid = update.mesh;
            py::dict fields;
            fields["stage"] = update.stage == InversionStage::dc ? "dc" : "ip";
            fields["iteration"] = update.report.iteration;
            fields["misfit"] = update.report.misfit;
            fields["beta"] = update.report.beta;
            fields["model_norm"] = update.report.model_norm;
            fields["model"] = cells_copy(update.model, grid);
            fields["predicted"] = copy_of(update.predicted);
            fields["misfit_history"] = copy_of(update.misfit_history);
            fields["norm_history"] = copy_of(update.norm_history);
            fields["beta_history"] = copy_of(update.beta_history);
            fields["tried_betas"] = copy_of(update.report.tried_betas);
            fields["tried_misfits"] = copy_of(update.report.tried_misfits);
            callback(namespace_of(fields));
          };
          // The callback shapes models on the mesh: it is loaded before the run.
          if (!callback.is_none()) the_mesh();
          if (doi_factor) check_depth_of_investigation(streams_io, run, *doi_factor);
          const py::gil_scoped_release released;
          outcome = run_inversion(streams_io, run, held);
          if (doi_factor) {
            // The callback follows the run asked for; the further runs only heed Ctrl-C.
            run.observer = [](const IterationUpdate&) {
              const py::gil_scoped_acquire gil;
              if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            };
            depth = depth_of_investigation(streams_io, run, outcome, *doi_factor);
          }
        });

        py::dict result;
        result["mesh"] = outcome.mesh;
        result["forward_mesh"] = outcome.forward_mesh;
        result["out"] = out.is_none() ? py::object(py::none()) : py::str(run.output_folder);
        const auto add_stage = [&](const std::optional<StageOutcome>& stage,
                                   const std::string& model_name, const std::string& tail) {
          const std::string names[] = {model_name, "predicted" + tail, "observed" + tail,
                                       "std" + tail, "history" + tail};
          if (!stage) {
            for (const std::string& name : names) result[py::str(name)] = py::none();
            return;
          }
          result[py::str(names[0])] = cells_copy(stage->model, outcome.mesh);
          result[py::str(names[1])] = copy_of(stage->result.predicted);
          result[py::str(names[2])] = copy_of(stage->dobs);
          result[py::str(names[3])] = copy_of(stage->dstd);
          result[py::str(names[4])] = history_of(stage->result, stage->dobs.size());
        };
        add_stage(outcome.dc, "model", "");
        add_stage(outcome.ip, "eta", "_ip");
        result["doi"] = py::none();
        result["doi_runs"] = py::none();
        if (depth) {
          result["doi"] = cells_copy(depth->index, outcome.mesh);
          py::dict runs;
          runs["factor"] = depth->factor;
          runs["largest"] = depth->largest;
          const std::pair<const char*, const StageOutcome*> further[] = {{"low", &depth->low},
                                                                         {"high", &depth->high}};
          for (const auto& [name, stage] : further) {
            py::dict history = history_of(stage->result, stage->dobs.size());
            history["model"] = cells_copy(stage->model, outcome.mesh);
            runs[name] = history;
          }
          result["doi_runs"] = runs;
        }
        return namespace_of(result);
      },
      py::arg("mesh") = py::none(), py::arg("data") = py::none(), py::arg("ip_data") = py::none(),
      py::arg("topography") = py::none(), py::arg("active") = py::none(),
      py::arg("start") = py::none(), py::arg("reference") = py::none(),
      py::arg("ip_start") = py::none(), py::arg("ip_reference") = py::none(),
      py::arg("alpha") = py::none(), py::arg("lengths") = py::none(),
      py::arg("ip_alpha") = py::none(), py::arg("ip_lengths") = py::none(),
      py::arg("weights") = py::none(), py::arg("dip_file") = py::none(),
      py::arg("ref_in_derivatives") = false, py::arg("chifact") = 1.0,
      py::arg("max_iterations") = 20, py::arg("what") = py::none(), py::arg("out") = py::none(),
      py::arg("percent") = py::none(), py::arg("floor") = py::none(),
      py::arg("ip_percent") = py::none(), py::arg("ip_floor") = py::none(),
      py::arg("robust") = false, py::arg("blocky") = false,
      py::arg("resistivity_bounds") = std::make_pair(1e-4, 1e8), py::arg("max_log_change") = 3.0,
      py::arg("memory_budget") = py::none(), py::arg("z") = false,
      py::arg("parameter_cell") = py::none(), py::arg("parameters") = py::none(),
      py::arg("ip_lower_bound") = 0.0, py::arg("doi") = false, py::arg("callback") = py::none(),
      py::arg("cell_budget") = py::none(), py::arg("io") = py::none(), invert_doc);
}

}  // namespace quelby::python
