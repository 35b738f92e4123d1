// Topography, survey data, active cells, weights, coefficients and dipping zones for Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/dipping.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// A read-only numpy view of a vector field of the object `self` of type T.
template <typename T, typename Value>
auto field_view(std::vector<Value> T::*field) {
  return [field](py::object self) { return view(self.cast<T&>().*field, self); };
}

// field_view of a survey array, or None when its group's flag `presence` is clear.
template <typename Value>
auto present_view(std::vector<Value> SurveyData::*field, bool SurveyData::*presence) {
  return [field, presence](py::object self) -> py::object {
    const SurveyData& data = self.cast<SurveyData&>();
    if (presence != nullptr && !(data.*presence)) return py::none();
    return view(data.*field, self);
  };
}

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

void check_alpha(const std::optional<std::array<double, 3>>& alpha) {
  if (!alpha) throw py::value_error("set_alpha: mode 'given' (2) needs alpha=(a_s, a_x, a_z)");
  for (const double value : *alpha) {
    if (!std::isfinite(value) || value < 0) {
      throw py::value_error("set_alpha: alpha needs three finite values that are not negative");
    }
  }
}

void check_lengths(const std::optional<std::array<double, 2>>& lengths) {
  if (!lengths) throw py::value_error("set_alpha: mode 'lengths' (3) needs lengths=(Lx, Lz)");
  const auto [lx, lz] = *lengths;
  if (!std::isfinite(lx) || !std::isfinite(lz) || lx < 0 || lz < 0 || (lx == 0 && lz == 0)) {
    throw py::value_error(
        "set_alpha: lengths needs two finite length scales, not negative and not both 0");
  }
}

void bind_topography(py::module_& module) {
  py::class_<Topography>(module, "Topography",
                         "The ground surface: air cells per column, surface z per x node.")
      .def(py::init<>())
      .def_readonly("has_topography", &Topography::has_topography)
      .def_property_readonly("air_cells", field_view(&Topography::air_cells))
      .def_property_readonly("surface_z", field_view(&Topography::surface_z));
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

void bind_survey(py::module_& module) {
  py::class_<SurveyData> survey(module, "SurveyData",
                                "Current pairs and data of a survey, grouped by current pair.");
  survey.def(py::init<>())
      .def_readonly("ndat", &SurveyData::ndat)
      .def_readonly("ncur", &SurveyData::ncur)
      .def_readonly("use_z", &SurveyData::use_z)
      .def_readonly("common_current", &SurveyData::common_current)
      .def_readonly("std_missing", &SurveyData::std_missing)
      .def_readonly("dstd_read", &SurveyData::dstd_read)
      .def_readonly("has_values", &SurveyData::has_values)
      .def_readonly("has_z", &SurveyData::has_z)
      .def_readonly("has_file_order", &SurveyData::has_file_order)
      .def_readonly("sep_max", &SurveyData::sep_max)
      .def_readonly("sep_min", &SurveyData::sep_min)
      .def_readonly("sep_mean", &SurveyData::sep_mean)
      .def_readonly("header_line", &SurveyData::header_line);
  // Each array with the flag of its group (null: always present once read); an absent one is None.
  using Presence = bool SurveyData::*;
  const std::tuple<const char*, std::vector<double> SurveyData::*, Presence> reals[] = {
      {"xa_cur", &SurveyData::xa_cur, nullptr},
      {"xb_cur", &SurveyData::xb_cur, nullptr},
      {"za_cur", &SurveyData::za_cur, &SurveyData::has_z},
      {"zb_cur", &SurveyData::zb_cur, &SurveyData::has_z},
      {"xm", &SurveyData::xm, nullptr},
      {"xn", &SurveyData::xn, nullptr},
      {"zm", &SurveyData::zm, &SurveyData::has_z},
      {"zn", &SurveyData::zn, &SurveyData::has_z},
      {"dobs", &SurveyData::dobs, &SurveyData::has_values},
      {"xa_file", &SurveyData::xa_file, &SurveyData::has_file_order},
      {"xb_file", &SurveyData::xb_file, &SurveyData::has_file_order},
      {"xm_file", &SurveyData::xm_file, &SurveyData::has_file_order},
      {"xn_file", &SurveyData::xn_file, &SurveyData::has_file_order}};
  for (const auto& [name, field, presence] : reals) {
    survey.def_property_readonly(name, present_view(field, presence));
  }
  survey.def_property(
      "dstd",
      [](py::object self) -> py::object {
        // Writable: after a file without standard deviations the caller fills them in place.
        SurveyData& data = self.cast<SurveyData&>();
        if (!data.has_values) return py::none();
        return py::array_t<double>({static_cast<py::ssize_t>(data.dstd.size())}, {sizeof(double)},
                                   data.dstd.data(), self);
      },
      [](SurveyData& data, py::handle values) {
        if (!data.has_values) {
          throw py::value_error("dstd: the reading made no data values (locations_only)");
        }
        const auto given = vector_argument(values, data.ndat, "dstd");
        data.dstd.assign(given.data(), given.data() + given.size());
      },
      "Standard deviations, one per datum in grouped order; None without data values. Writable: "
      "a file read with std_missing leaves them NaN for the caller to fill (data.dstd = array, or "
      "in place).");
  const std::tuple<const char*, std::vector<std::int32_t> SurveyData::*, Presence> integers[] = {
      {"ndat_cur", &SurveyData::ndat_cur, nullptr},
      {"iptype", &SurveyData::iptype, nullptr},
      {"idat_idx", &SurveyData::idat_idx, nullptr},
      {"sorted_pos", &SurveyData::sorted_pos, &SurveyData::has_file_order}};
  for (const auto& [name, field, presence] : integers) {
    survey.def_property_readonly(name, present_view(field, presence));
  }
  module.def(
      "read_data_file",
      [](const FileName& path, bool locations_only, bool use_z, bool dc_data, py::object io) {
        SurveyData data;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_data_file(streams, path.text, locations_only, use_z, dc_data, data);
        });
        return data;
      },
      py::arg("path"), py::arg("locations_only") = false, py::arg("use_z") = false,
      py::arg("dc_data") = true, py::arg("io") = py::none(),
      "read_data_file(path, locations_only=False, use_z=False, dc_data=True, io=None) -> "
      "SurveyData\n\nReads a survey data file of either layout (a 'COMMON_CURRENT' first line, "
      "else the general layout). locations_only: positions only (dobs and dstd stay empty). use_z: "
      "z positions after every x (common-current layout). dc_data: DC data (IP type 0), else IP "
      "data (types 1 and 2). Arrays are numpy views in grouped order (0-based positions); "
      "idat_idx and sorted_pos keep the file's 1-based numbers; arrays the reading does not "
      "create (see has_values, has_z, has_file_order) are None.");
  module.def(
      "normalize_data",
      [](SurveyData& data, py::object io) {
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { normalize_data(streams, data); });
      },
      py::arg("data"), py::arg("io") = py::none(),
      "normalize_data(data, io=None)\n\nDivides every dobs by its dstd in place; each call "
      "divides again. Raises quelby.Stop when dobs and dstd do not hold ndat values.");
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

  py::class_<AlphaCoefficients>(module, "AlphaCoefficients",
                                "The smallness, x- and z-derivative coefficients.")
      .def(py::init([](double s, double x, double z) {
             return AlphaCoefficients{s, x, z};
           }),
           py::arg("alpha_s") = 0.0, py::arg("alpha_x") = 0.0, py::arg("alpha_z") = 0.0)
      .def_readwrite("alpha_s", &AlphaCoefficients::alpha_s)
      .def_readwrite("alpha_x", &AlphaCoefficients::alpha_x)
      .def_readwrite("alpha_z", &AlphaCoefficients::alpha_z)
      .def("__repr__", [](const AlphaCoefficients& a) {
        return "<quelby.AlphaCoefficients " + std::to_string(a.alpha_s) + " " +
               std::to_string(a.alpha_x) + " " + std::to_string(a.alpha_z) + ">";
      });
  module.def(
      "set_alpha",
      [](const Mesh& mesh, py::handle mode_argument, std::optional<std::array<double, 3>> alpha,
         std::optional<std::array<double, 2>> lengths, std::optional<AlphaCoefficients> start,
         py::object io) {
        const std::int32_t mode =
            mode_code(mode_argument, {{"mesh", 0}, {"given", 2}, {"lengths", 3}}, "set_alpha mode");
        if (mode == 2) check_alpha(alpha);
        if (mode == 3) check_lengths(lengths);
        AlphaCoefficients coefficients = start.value_or(AlphaCoefficients{});
        with_streams(streams_or_default(io), [&](const Io& streams) {
          set_alpha(streams, mesh, mode, alpha.value_or(std::array<double, 3>{}),
                    lengths.value_or(std::array<double, 2>{}), coefficients);
        });
        return coefficients;
      },
      py::arg("mesh"), py::arg("mode"), py::arg("alpha") = py::none(),
      py::arg("lengths") = py::none(), py::arg("start") = py::none(), py::arg("io") = py::none(),
      "set_alpha(mesh, mode, alpha=None, lengths=None, start=None, io=None) -> "
      "AlphaCoefficients\n\nThe term coefficients, logged in both descriptions. mode 0 or "
      "'mesh': length scales of 4 times the larger smallest cell width; 2 or 'given': alpha = "
      "(a_s, a_x, a_z) as given (finite, not negative); 3 or 'lengths': lengths = (Lx, Lz) "
      "(finite, not negative, not both 0), normalised so that the larger of alpha_x and alpha_z "
      "is 1. A mode that needs alpha or lengths without them is a ValueError. Any other number "
      "returns `start` (default all 0) unchanged and logs nothing.");

  py::class_<DippingZones>(module, "DippingZones",
                           "Per zone (background first): coefficients and dip in radians.")
      .def(py::init<>())
      .def_property_readonly("zone_alpha_s", field_view(&DippingZones::zone_alpha_s))
      .def_property_readonly("zone_alpha_x", field_view(&DippingZones::zone_alpha_x))
      .def_property_readonly("zone_alpha_z", field_view(&DippingZones::zone_alpha_z))
      .def_property_readonly("zone_dip", field_view(&DippingZones::zone_dip));
  module.def(
      "read_dipping",
      [](const Mesh& mesh, const AlphaCoefficients& alpha, py::handle option_argument,
         const FileName& path, py::object io) {
        const std::int32_t option = dip_input_code(option_argument);
        std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(mesh.nx) *
                                           static_cast<std::size_t>(mesh.nz));
        std::int32_t nzone = 0;
        DippingZones zones;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_dipping(streams, mesh, alpha, option, path.text, zone_idx, nzone, zones);
        });
        return py::make_tuple(take_cells(std::move(zone_idx), mesh.nx, mesh.nz), nzone,
                              std::move(zones));
      },
      py::arg("mesh"), py::arg("alpha"), py::arg("option") = 0, py::arg("path") = "",
      py::arg("io") = py::none(),
      "Option 1 or 'file' reads the dipping file `path`; any other (0 or 'none') makes one zone "
      "from alpha. Returns (zone_idx, nzone, zones): zone_idx of shape (nz, nx) holds 1-based "
      "zone numbers (1 the background), zones the per-zone coefficients and dips (radians), "
      "element j for zone j + 1.");
  module.def(
      "assign_zones",
      [](const Mesh& mesh, py::iterable polygons) {
        std::vector<Region> regions;
        for (const py::handle polygon : polygons) {
          const auto pair = polygon.cast<std::pair<std::vector<double>, std::vector<double>>>();
          if (pair.first.size() != pair.second.size()) {
            throw py::value_error("assign_zones: each polygon needs as many x as z");
          }
          regions.push_back(Region{pair.first, pair.second});
        }
        std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(mesh.nx) *
                                           static_cast<std::size_t>(mesh.nz));
        assign_zones(mesh, regions, zone_idx);
        return take_cells(std::move(zone_idx), mesh.nx, mesh.nz);
      },
      py::arg("mesh"), py::arg("polygons"),
      "assign_zones(mesh, polygons) -> int32 array (nz, nx)\n\npolygons: a sequence of (x, z) "
      "vertex lists. Each cell gets 1 + the 1-based number of the first polygon holding its "
      "centre, or 1 (the background zone) when none does.");
  module.def(
      "point_in_region",
      [](std::vector<double> x, std::vector<double> z, double px, double pz) {
        if (x.size() != z.size()) throw py::value_error("x and z need the same length");
        return point_in_region(Region{std::move(x), std::move(z)}, px, pz);
      },
      py::arg("x"), py::arg("z"), py::arg("point_x"), py::arg("point_z"),
      "True when the point lies inside the polygon of vertices (x, z).");
}

}  // namespace

void bind_stores(py::module_& module) {
  bind_topography(module);
  bind_survey(module);
  bind_cells(module);
}

}  // namespace quelby::python
