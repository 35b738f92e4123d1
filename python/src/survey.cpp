// The survey data store and its file for Python: the arrays as read-only numpy views (None for a
// group the reading did not make), the standard deviations writable.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "quelby/survey/data_file.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// field_view of a survey array, or None when its group's flag `presence` is clear.
template <typename Value>
auto present_view(std::vector<Value> SurveyData::*field, bool SurveyData::*presence) {
  return [field, presence](py::object self) -> py::object {
    const SurveyData& data = self.cast<SurveyData&>();
    if (presence != nullptr && !(data.*presence)) return py::none();
    return view(data.*field, self);
  };
}

}  // namespace

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
        SurveyData& data = self.cast<SurveyData&>();
        if (!data.has_values) return py::none();
        // A file without standard deviations leaves them unset (all NaN) until the caller gives
        // them: None, so that no picture or sum takes NaN for a deviation.
        if (data.std_missing && std::all_of(data.dstd.begin(), data.dstd.end(),
                                            [](double v) { return std::isnan(v); })) {
          return py::none();
        }
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
      "Standard deviations, one per datum in grouped order; None without data values, and None "
      "for a file read without them (std_missing) until they are given: data.dstd = array (then "
      "writable in place too).");
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

}  // namespace quelby::python
