// The coefficients and the dipping zones of the regularisation for Python; the objective built
// from them is bound last, from objective.cpp.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/dipping.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

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

}  // namespace

void bind_regularization(py::module_& module) {
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
  bind_objective(module);
}

}  // namespace quelby::python
