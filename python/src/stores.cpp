// Topography, survey data, active cells, weights, coefficients and dipping zones for Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "cells/active_cells.hpp"
#include "cells/dipping.hpp"
#include "cells/weights.hpp"
#include "mesh/topography.hpp"
#include "regularization/alpha.hpp"
#include "streams.hpp"
#include "survey/data_file.hpp"
#include "survey/survey_data.hpp"

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

void bind_topography(py::module_& module) {
  py::class_<Topography>(module, "Topography",
                         "The ground surface: air cells per column, surface z per x node.")
      .def(py::init<>())
      .def_readonly("has_topography", &Topography::has_topography)
      .def_property_readonly("air_cells", field_view(&Topography::air_cells))
      .def_property_readonly("surface_z", field_view(&Topography::surface_z));
  module.def(
      "read_topography",
      [](const Mesh& mesh, std::optional<std::string> path, py::object io) {
        Topography topography;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_topography(streams, path.has_value(), path.value_or(""), mesh.x_nodes, mesh.z_nodes,
                          topography);
        });
        return topography;
      },
      py::arg("mesh"), py::arg("path") = py::none(), py::arg("io") = py::none(),
      "Reads a topography file for the mesh; without a path no cell is in the air.");
  module.def(
      "load_mesh_and_topography",
      [](const std::string& mesh_path, std::optional<std::string> topography_path, py::object io) {
        Mesh mesh;
        Topography topography;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          load_mesh_and_topography(streams, mesh_path, topography_path.value_or(""),
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
      {"dstd", &SurveyData::dstd, &SurveyData::has_values},
      {"xa_file", &SurveyData::xa_file, &SurveyData::has_file_order},
      {"xb_file", &SurveyData::xb_file, &SurveyData::has_file_order},
      {"xm_file", &SurveyData::xm_file, &SurveyData::has_file_order},
      {"xn_file", &SurveyData::xn_file, &SurveyData::has_file_order}};
  for (const auto& [name, field, presence] : reals) {
    survey.def_property_readonly(name, present_view(field, presence));
  }
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
      [](const std::string& path, bool locations_only, bool use_z, bool dc_data, py::object io) {
        SurveyData data;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_data_file(streams, path, locations_only, use_z, dc_data, data);
        });
        return data;
      },
      py::arg("path"), py::arg("locations_only") = false, py::arg("use_z") = false,
      py::arg("dc_data") = true, py::arg("io") = py::none(),
      "Reads a survey data file of either layout. idat_idx and sorted_pos keep 1-based values; "
      "arrays the reading does not create (has_values, has_z, has_file_order) are None.");
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
      [](const Mesh& mesh, const Topography& topography, const std::string& path, py::object io) {
        ActiveCells cells;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_active_cells(streams, mesh, topography, path, cells);
        });
        return cells;
      },
      py::arg("mesh"), py::arg("topography"), py::arg("path") = "", py::arg("io") = py::none(),
      "Builds the active-cell map from an active-cell file (a blank path: every cell) and the "
      "topography as read_topography returns it (without a path for no topography).");
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
      py::arg("cells"), py::arg("on"));

  module.def(
      "set_weights",
      [](const Mesh& mesh, std::int32_t weight_input, std::array<std::string, 3> files,
         py::object io) {
        CellArray s(mesh.nx, mesh.nz);
        CellArray x(mesh.nx, mesh.nz);
        CellArray z(mesh.nx, mesh.nz);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          set_weights(streams, mesh, weight_input, files, s, x, z);
        });
        return py::make_tuple(take_model(std::move(s)), take_model(std::move(x)),
                              take_model(std::move(z)));
      },
      py::arg("mesh"), py::arg("weight_input") = 0,
      py::arg("weight_files") = std::array<std::string, 3>{"", "", ""}, py::arg("io") = py::none(),
      "The cell weights (s, x, z), each of shape (nz, nx): all 1 (input 0), from one weighting "
      "file (1) or from three single-array files (2).");

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
      [](const Mesh& mesh, std::int32_t mode, std::array<double, 3> alpha,
         std::array<double, 2> lengths, std::optional<AlphaCoefficients> start, py::object io) {
        AlphaCoefficients coefficients = start.value_or(AlphaCoefficients{});
        with_streams(streams_or_default(io), [&](const Io& streams) {
          set_alpha(streams, mesh, mode, alpha, lengths, coefficients);
        });
        return coefficients;
      },
      py::arg("mesh"), py::arg("mode"), py::arg("alpha") = std::array<double, 3>{0, 0, 0},
      py::arg("lengths") = std::array<double, 2>{0, 0}, py::arg("start") = py::none(),
      py::arg("io") = py::none(),
      "Coefficients by mode: 0 from the mesh, 2 as given (alpha), 3 from length scales "
      "(lengths); any other mode returns `start` unchanged.");

  py::class_<DippingZones>(module, "DippingZones",
                           "Per zone (background first): coefficients and dip in radians.")
      .def(py::init<>())
      .def_property_readonly("zone_alpha_s", field_view(&DippingZones::zone_alpha_s))
      .def_property_readonly("zone_alpha_x", field_view(&DippingZones::zone_alpha_x))
      .def_property_readonly("zone_alpha_z", field_view(&DippingZones::zone_alpha_z))
      .def_property_readonly("zone_dip", field_view(&DippingZones::zone_dip));
  module.def(
      "read_dipping",
      [](const Mesh& mesh, const AlphaCoefficients& alpha, std::int32_t option,
         const std::string& path, py::object io) {
        std::vector<std::int32_t> zone_idx(static_cast<std::size_t>(mesh.nx) *
                                           static_cast<std::size_t>(mesh.nz));
        std::int32_t nzone = 0;
        DippingZones zones;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_dipping(streams, mesh, alpha, option, path, zone_idx, nzone, zones);
        });
        py::array_t<std::int32_t> map = take(std::move(zone_idx));
        return py::make_tuple(map.attr("reshape")(mesh.nz, mesh.nx), nzone, std::move(zones));
      },
      py::arg("mesh"), py::arg("alpha"), py::arg("option") = 0, py::arg("path") = "",
      py::arg("io") = py::none(),
      "Option 1 reads a dipping file, any other one zone: returns (zone_idx of shape (nz, nx) "
      "with 1-based zones, nzone, zones).");
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
