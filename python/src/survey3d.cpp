// The 3-D survey store and its file for Python: the electrodes as an (n, 3) array, each datum's
// four electrode numbers (0-based), IP types and data as numpy views in the file's order; a store
// from arrays, the reader and the writer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey3d_file.hpp"
#include "quelby/survey/survey3d_writer.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

std::vector<std::int32_t> numbers(py::handle given, const char* what, std::size_t electrodes) {
  const IntArray array = IntArray::ensure(given);
  if (!array || array.ndim() != 1) {
    throw py::type_error(std::string(what) + ": expected a one-dimensional array of numbers");
  }
  std::vector<std::int32_t> values(array.data(), array.data() + array.size());
  for (const std::int32_t value : values) {
    if (value < 0 || static_cast<std::size_t>(value) >= electrodes) {
      throw py::value_error(std::string(what) + ": electrode numbers are 0-based, 0.." +
                            std::to_string(static_cast<long long>(electrodes) - 1));
    }
  }
  return values;
}

Survey3D survey_of_arrays(py::handle electrodes, py::handle a, py::handle b, py::handle m,
                          py::handle n, py::handle dobs, py::handle dstd, py::handle iptype,
                          const std::string& header) {
  const DoubleArray positions = DoubleArray::ensure(electrodes);
  if (!positions || positions.ndim() != 2 || positions.shape(1) != 3) {
    throw py::value_error("electrodes: expected an array of shape (n, 3): x, y, z (depth)");
  }
  Survey3D survey;
  const auto count = static_cast<std::size_t>(positions.shape(0));
  for (std::size_t e = 0; e < count; ++e) {
    const ElectrodePosition p{positions.at(e, 0), positions.at(e, 1), positions.at(e, 2)};
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      throw py::value_error("electrodes: positions must be finite");
    }
    survey.electrodes.push_back(p);
  }
  survey.a = numbers(a, "a", count);
  survey.b = numbers(b, "b", count);
  survey.m = numbers(m, "m", count);
  survey.n = numbers(n, "n", count);
  const std::size_t ndat = survey.a.size();
  if (survey.b.size() != ndat || survey.m.size() != ndat || survey.n.size() != ndat) {
    throw py::value_error("a, b, m, n: one electrode number per datum each");
  }
  for (std::size_t i = 0; i < ndat; ++i) {
    const std::int32_t current[] = {survey.a[i], survey.b[i]};
    const std::int32_t potential[] = {survey.m[i], survey.n[i]};
    for (const std::int32_t c : current) {
      for (const std::int32_t p : potential) {
        if (c == p) {
          throw py::value_error("datum " + std::to_string(i) +
                                ": a current electrode is also a potential electrode");
        }
      }
    }
  }
  survey.ndat = static_cast<std::int32_t>(ndat);
  survey.iptype.assign(ndat, 0);
  if (!iptype.is_none()) {
    const IntArray types = IntArray::ensure(iptype);
    if (!types || static_cast<std::size_t>(types.size()) != ndat) {
      throw py::value_error("iptype: one IP type (0, 1 or 2) per datum");
    }
    for (std::size_t i = 0; i < ndat; ++i) {
      if (types.data()[i] < 0 || types.data()[i] > 2) {
        throw py::value_error("iptype: one IP type (0, 1 or 2) per datum");
      }
      survey.iptype[i] = types.data()[i];
    }
  }
  if (!dobs.is_none()) {
    const auto values = vector_argument(dobs, static_cast<std::ptrdiff_t>(ndat), "dobs");
    survey.has_values = true;
    survey.dobs.assign(values.data(), values.data() + ndat);
    if (dstd.is_none()) {
      survey.std_missing = true;
      survey.dstd.assign(ndat, std::nan(""));
    } else {
      const auto stds = vector_argument(dstd, static_cast<std::ptrdiff_t>(ndat), "dstd");
      survey.dstd.assign(stds.data(), stds.data() + ndat);
    }
  } else if (!dstd.is_none()) {
    throw py::value_error("dstd: standard deviations need the data values (dobs)");
  }
  survey.header_line = header;
  return survey;
}

std::span<const double> optional_span(const std::optional<DoubleArray>& array) {
  if (!array) return {};
  return {array->data(), static_cast<std::size_t>(array->size())};
}

}  // namespace

void bind_survey3d(py::module_& module) {
  py::class_<Survey3D>(
      module, "Survey3D",
      "Survey3D(electrodes, a, b, m, n, dobs=None, dstd=None, iptype=None, header=''): a 3-D "
      "survey. electrodes: an (n, 3) array of x, y, z (z the depth, growing downwards); a, b, m, "
      "n: per datum the 0-based row of electrodes of each electrode (b == a for a current pole, "
      "n == m for a potential pole); dobs: the data (ohms, V/A, for DC); dstd: their standard "
      "deviations (None: missing, NaN); iptype: 0 DC, 1 apparent chargeability, 2 secondary "
      "potential. Data keep the order given (a file's order when read). The arrays are "
      "read-only numpy views.")
      .def(py::init(&survey_of_arrays), py::arg("electrodes"), py::arg("a"), py::arg("b"),
           py::arg("m"), py::arg("n"), py::arg("dobs") = py::none(), py::arg("dstd") = py::none(),
           py::arg("iptype") = py::none(), py::arg("header") = "")
      .def_readonly("ndat", &Survey3D::ndat, "Number of data.")
      .def_property_readonly(
          "electrodes",
          [](py::object self) {
            const Survey3D& survey = self.cast<const Survey3D&>();
            static_assert(sizeof(ElectrodePosition) == 3 * sizeof(double));
            py::array_t<double> array(
                {static_cast<py::ssize_t>(survey.electrodes.size()), py::ssize_t{3}},
                {static_cast<py::ssize_t>(sizeof(ElectrodePosition)),
                 static_cast<py::ssize_t>(sizeof(double))},
                reinterpret_cast<const double*>(survey.electrodes.data()), self);
            array.attr("flags").attr("writeable") = false;
            return array;
          },
          "The distinct electrodes, shape (n, 3): x, y and z (depth, down) in m; row e is "
          "electrode number e (0-based), in order of first appearance when read from a file.")
      .def_property_readonly("a", field_view(&Survey3D::a), "Per datum A's electrode (0-based).")
      .def_property_readonly("b", field_view(&Survey3D::b),
                             "Per datum B's electrode (0-based; == a for a current pole).")
      .def_property_readonly("m", field_view(&Survey3D::m), "Per datum M's electrode (0-based).")
      .def_property_readonly("n", field_view(&Survey3D::n),
                             "Per datum N's electrode (0-based; == m for a potential pole).")
      .def_property_readonly("iptype", field_view(&Survey3D::iptype),
                             "Per datum 0 DC, 1 apparent chargeability, 2 secondary potential.")
      .def_readonly("has_values", &Survey3D::has_values, "True when dobs and dstd were read.")
      .def_readonly("std_missing", &Survey3D::std_missing,
                    "True when the data carry no standard deviations (dstd NaN).")
      .def_property_readonly(
          "dobs",
          [](py::object self) -> py::object {
            const Survey3D& survey = self.cast<const Survey3D&>();
            if (!survey.has_values) return py::none();
            return view(survey.dobs, self);
          },
          "The data in order (ohms for DC); None when read with locations_only.")
      .def_property_readonly(
          "dstd",
          [](py::object self) -> py::object {
            const Survey3D& survey = self.cast<const Survey3D&>();
            if (!survey.has_values || survey.std_missing) return py::none();
            return view(survey.dstd, self);
          },
          "The standard deviations in order; None when missing.")
      .def_readonly("header_line", &Survey3D::header_line, "Line 1 of the file as read.")
      .def("__repr__", [](const Survey3D& survey) {
        return "<quelby.Survey3D " + std::to_string(survey.ndat) + " data, " +
               std::to_string(survey.electrodes.size()) + " electrodes>";
      });

  module.def(
      "read_survey3d",
      [](const FileName& path, bool locations_only, bool dc_data, py::object io) {
        Survey3D survey;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_survey3d(streams, path.text, locations_only, survey, dc_data);
        });
        return survey;
      },
      py::arg("path"), py::arg("locations_only") = false, py::arg("dc_data") = true,
      py::arg("io") = py::none(),
      "read_survey3d(path, locations_only=False, dc_data=True, io=None) -> Survey3D\n\nReads a "
      "3-D survey data file (first line GENERAL_3D; per datum xA yA zA xB yB zB xM yM zM xN yN "
      "zN value [std]). Data stay in the file's order (element i is the file's datum i + 1); "
      "electrodes are numbered 0-based in order of first appearance. locations_only: positions "
      "only (dobs and dstd None). dc_data: DC data (IP type 0), else IP data (types 1, 2).");
  module.def(
      "write_survey3d",
      [](const FileName& path, const Survey3D& survey, py::object values, py::object stds,
         const std::string& comment, py::object io) {
        std::optional<DoubleArray> given, deviations;
        if (!values.is_none()) given = vector_argument(values, survey.ndat, "values");
        if (!stds.is_none()) deviations = vector_argument(stds, survey.ndat, "stds");
        if (!given && !survey.has_values) {
          throw py::value_error("values: the survey holds no data values; give them");
        }
        with_streams(streams_or_default(io), [&](const Io& streams) {
          write_survey3d(streams, path.text, survey, optional_span(given),
                         optional_span(deviations), comment);
        });
      },
      py::arg("path"), py::arg("survey"), py::arg("values") = py::none(),
      py::arg("stds") = py::none(), py::arg("comment") = "", py::arg("io") = py::none(),
      "write_survey3d(path, survey, values=None, stds=None, comment='', io=None) -> None\n\n"
      "Writes a 3-D survey data file: GENERAL_3D, the comment (if any), then one line per datum "
      "in the store's order with `values` (ndat; None: the survey's dobs) and `stds` (None: the "
      "survey's dstd unless missing), IPTYPE lines where the types need them; numbers read back "
      "to the same doubles. The file appears whole or not at all.");
}

}  // namespace quelby::python
