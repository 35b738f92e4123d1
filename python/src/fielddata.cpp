// The import of field data files for Python: import_field_data with the options of quelby-import
// as keywords, returning the stores (DC and IP SurveyData), the ground, the reciprocal pairs and
// error models and the import log; FieldImport.write writes the command's files.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/fielddata/field_import.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

py::array_t<double> copy_of(const std::vector<double>& values) {
  return take(std::vector<double>(values));
}

py::dict model_dict(const ErrorModel& model) {
  py::dict result;
  result["kind"] = model.kind == ErrorModel::Kind::linear ? "linear" : "power";
  result["a"] = model.a;
  result["b"] = model.b;
  result["misfit"] = model.misfit;
  result["usable"] = model.usable;
  result["formula"] = model.formula();
  return result;
}

// The fit as a dict (kept, linear, power, bins), or None when nothing was fitted.
py::object fit_dict(const ErrorFit& fit) {
  if (fit.bin_magnitude.empty()) return py::none();
  py::dict result;
  result["kept"] = fit.kept.usable ? py::object(model_dict(fit.kept)) : py::object(py::none());
  result["linear"] = model_dict(fit.linear);
  result["power"] = model_dict(fit.power);
  result["bin_resistance"] = copy_of(fit.bin_magnitude);
  result["bin_error"] = copy_of(fit.bin_error);
  result["pairs_per_bin"] = fit.per_bin;
  return result;
}

std::optional<FieldFormat> format_argument(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  const auto format = format_from_name(*name);
  if (!format) {
    throw py::value_error("format: one of unified, dat2d, syscal, terrameter, protocol, not '" +
                          *name + "'");
  }
  return format;
}

}  // namespace

void bind_fielddata(py::module_& module) {
  py::class_<ImportResult> result(module, "FieldImport",
                                  "A field data file imported: stores, ground, pairs and log.");
  result
      .def_property_readonly(
          "format", [](const ImportResult& r) { return std::string(format_name(r.format)); },
          "The format read: unified, dat2d, syscal, terrameter or protocol.")
      .def_property_readonly(
          "data", [](ImportResult& r) -> SurveyData& { return r.data; },
          py::return_value_policy::reference_internal,
          "The DC data (SurveyData): signed resistances in ohms, dstd None without standard "
          "deviations; file order is the order of the data's first readings.")
      .def_property_readonly(
          "ip_data",
          [](py::object self) -> py::object {
            ImportResult& r = self.cast<ImportResult&>();
            if (!r.ip) return py::none();
            return py::cast(*r.ip, py::return_value_policy::reference_internal, self);
          },
          "The IP data (SurveyData, apparent chargeabilities, IPTYPE 1), or None.")
      .def_readonly("chargeability_unit", &ImportResult::chargeability_unit,
                    "The unit of ip_data: 'mV/V', or the file's where none converts it.")
      .def_property_readonly(
          "topography",
          [](const ImportResult& r) -> py::object {
            if (r.topography_x.empty()) return py::none();
            py::array_t<double> points(
                {static_cast<py::ssize_t>(r.topography_x.size()), py::ssize_t{2}});
            auto view = points.mutable_unchecked<2>();
            for (std::size_t p = 0; p < r.topography_x.size(); ++p) {
              view(static_cast<py::ssize_t>(p), 0) = r.topography_x[p];
              view(static_cast<py::ssize_t>(p), 1) = r.topography_elevation[p];
            }
            return points;
          },
          "The ground under the electrodes as (points, 2) of x and elevation (m), increasing x; "
          "None when every elevation is equal or none is given.")
      .def_readonly("reference_elevation", &ImportResult::reference_elevation,
                    "The highest elevation of the ground (topography.topo's reference).")
      .def_readonly("log", &ImportResult::log, "The import log's text (import.log).")
      .def_readonly("warnings", &ImportResult::warnings,
                    "The checks that fired, one line each, as quelby-import prints them.")
      .def_readonly("buried", &ImportResult::buried,
                    "True where electrodes are buried: the stores carry z (m, down from the "
                    "reference elevation) and the files are written in the common-current layout "
                    "with z.")
      .def_property_readonly(
          "dropped",
          [](const ImportResult& r) {
            py::dict counts;
            for (const auto& [reason, count] : r.dropped) counts[py::str(reason)] = count;
            return counts;
          },
          "Readings dropped: {reason: count}, in the order each reason first occurred.")
      .def_property_readonly(
          "pairs",
          [](const ImportResult& r) -> py::object {
            const ReciprocalPairs& p = r.pairs;
            py::dict pairs;
            pairs["resistance"] = copy_of(p.mean);
            pairs["error"] = copy_of(p.error);
            pairs["line"] = std::vector<std::size_t>(p.line);
            pairs["reciprocal_line"] = std::vector<std::size_t>(p.reciprocal_line);
            pairs["chargeability_error"] = copy_of(p.chargeability_error);
            return pairs;
          },
          "The normal and reciprocal pairs kept: resistance (their mean, ohms), error "
          "(|Rn - Rr|, ohms), line and reciprocal_line (1-based lines of the file), "
          "chargeability_error (|mn - mr|, NaN without IP); empty without pairing.")
      .def_property_readonly(
          "error_model", [](const ImportResult& r) { return fit_dict(r.pairs.fit); },
          "The error model of the resistances fitted to the pairs (reciprocal=True): a dict of "
          "kept, linear and power (each kind, a, b, misfit, usable, formula: e = a + b|R| or "
          "a|R|^b, ohms), bin_resistance and bin_error (the bins' means) and pairs_per_bin; "
          "None without one.")
      .def_property_readonly(
          "ip_error_model",
          [](const ImportResult& r) { return fit_dict(r.pairs.chargeability_fit); },
          "The same for the chargeabilities (absolute errors against |R|), or None.")
      .def(
          "write",
          [](const ImportResult& r, const FileName& folder, py::object io) {
            with_streams(streams_or_default(io),
                         [&](const Io& streams) { write_import(streams, folder.text, r); });
          },
          py::arg("folder"), py::arg("io") = py::none(),
          "write(folder, io=None)\n\nWrites data.dat, ip.dat, topography.topo and import.log "
          "into folder (made when missing), as quelby-import does.");

  module.def(
      "import_field_data",
      [](const FileName& path, std::optional<std::string> format, double spacing,
         std::string geometric_factor, double error, double error_floor, double error_voltage,
         double ip_error, double ip_error_floor, bool reciprocal, bool drop_unpaired,
         std::optional<double> max_reciprocal_error, std::vector<double> drop_electrodes,
         std::optional<double> max_deviation, std::optional<double> min_current,
         std::optional<double> min_voltage, bool keep_negative, std::optional<FileName> electrodes,
         std::vector<std::string> columns, std::optional<std::string> ip_unit,
         bool ignore_file_errors, bool keep_zero_current,
         std::optional<double> max_geometric_factor,
         std::optional<std::pair<double, double>> ip_range, bool drop_outliers,
         double outlier_threshold, std::optional<FileName> out, py::object io) {
        ImportOptions options;
        options.format = format_argument(format);
        if (!(spacing > 0)) throw py::value_error("spacing: a positive number of metres");
        options.spacing = spacing;
        if (geometric_factor == "flat") {
          options.geometric_factors = GeometricFactorChoice::flat;
        } else if (geometric_factor == "numeric") {
          options.geometric_factors = GeometricFactorChoice::numeric;
        } else if (geometric_factor != "auto") {
          throw py::value_error("geometric_factor: 'flat', 'numeric' or 'auto', not '" +
                                geometric_factor + "'");
        }
        for (const double value : {error, error_floor, error_voltage, ip_error, ip_error_floor}) {
          if (!(value >= 0)) throw py::value_error("error terms: numbers of 0 or more");
        }
        options.error_percent = error;
        options.error_floor = error_floor;
        options.error_voltage = error_voltage;
        options.ip_error_percent = ip_error;
        options.ip_error_floor = ip_error_floor;
        if (drop_unpaired && !reciprocal) {
          throw py::value_error("drop_unpaired needs reciprocal=True");
        }
        options.reciprocal = reciprocal;
        options.drop_unpaired = drop_unpaired;
        for (const auto& limit : {max_reciprocal_error, max_deviation, min_current, min_voltage}) {
          if (limit && !(*limit > 0)) throw py::value_error("limits: positive numbers");
        }
        options.max_reciprocal_error = max_reciprocal_error;
        options.drop_electrodes = std::move(drop_electrodes);
        options.max_deviation = max_deviation;
        options.min_current = min_current;
        options.min_voltage = min_voltage;
        options.keep_negative = keep_negative;
        if (electrodes) options.electrodes = electrodes->text;
        for (const std::string& column : columns) {
          if (column != "r" && column != "err" && column != "rhoa" && column != "ip" &&
              column != "iperr" && column != "skip") {
            throw py::value_error("columns: names among r, err, rhoa, ip, iperr, skip, not '" +
                                  column + "'");
          }
        }
        options.columns = std::move(columns);
        if (ip_unit) {
          if (*ip_unit == "mV/V") {
            options.ip_unit = ChargeabilityUnit::millivolt_per_volt;
          } else if (*ip_unit == "%") {
            options.ip_unit = ChargeabilityUnit::percent;
          } else if (*ip_unit == "ms") {
            options.ip_unit = ChargeabilityUnit::milliseconds;
          } else if (*ip_unit == "mrad") {
            options.ip_unit = ChargeabilityUnit::milliradians;
          } else {
            throw py::value_error("ip_unit: 'mV/V', '%', 'ms' or 'mrad', not '" + *ip_unit + "'");
          }
        }
        options.ignore_file_errors = ignore_file_errors;
        options.keep_zero_current = keep_zero_current;
        if (max_geometric_factor && !(*max_geometric_factor > 0)) {
          throw py::value_error("max_geometric_factor: a positive number of metres");
        }
        options.max_geometric_factor = max_geometric_factor;
        if (ip_range && !(ip_range->first < ip_range->second)) {
          throw py::value_error("ip_range: (min, max) with min below max");
        }
        options.ip_range = ip_range;
        options.drop_outliers = drop_outliers;
        if (!(outlier_threshold > 0)) throw py::value_error("outlier_threshold: a positive number");
        options.outlier_threshold = outlier_threshold;
        ImportResult result;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          const py::gil_scoped_release released;
          result = import_field_data(streams, path.text, options);
          if (out) write_import(streams, out->text, result);
        });
        return result;
      },
      py::arg("path"), py::kw_only(), py::arg("format") = py::none(), py::arg("spacing") = 1.0,
      py::arg("geometric_factor") = "auto", py::arg("error") = 0.0, py::arg("error_floor") = 0.0,
      py::arg("error_voltage") = 0.0, py::arg("ip_error") = 0.0, py::arg("ip_error_floor") = 0.0,
      py::arg("reciprocal") = false, py::arg("drop_unpaired") = false,
      py::arg("max_reciprocal_error") = py::none(),
      py::arg("drop_electrodes") = std::vector<double>{}, py::arg("max_deviation") = py::none(),
      py::arg("min_current") = py::none(), py::arg("min_voltage") = py::none(),
      py::arg("keep_negative") = false, py::arg("electrodes") = py::none(),
      py::arg("columns") = std::vector<std::string>{}, py::arg("ip_unit") = py::none(),
      py::arg("ignore_file_errors") = false, py::arg("keep_zero_current") = false,
      py::arg("max_geometric_factor") = py::none(), py::arg("ip_range") = py::none(),
      py::arg("drop_outliers") = false, py::arg("outlier_threshold") = 4.0,
      py::arg("out") = py::none(), py::arg("io") = py::none(),
      "import_field_data(path, *, format=None, spacing=1.0, geometric_factor='auto', error=0, "
      "error_floor=0, error_voltage=0, ip_error=0, ip_error_floor=0, reciprocal=False, "
      "drop_unpaired=False, max_reciprocal_error=None, drop_electrodes=(), max_deviation=None, "
      "min_current=None, min_voltage=None, keep_negative=False, electrodes=None, columns=(), "
      "ip_unit=None, ignore_file_errors=False, keep_zero_current=False, "
      "max_geometric_factor=None, ip_range=None, drop_outliers=False, outlier_threshold=4, "
      "out=None, io=None) -> FieldImport\n\nReads a field data file as quelby-import does "
      "(format: unified, dat2d, syscal, terrameter, protocol, syscal-binary, sting, lund, "
      "lippmann, ares, das1, electra, prime, ohmpi; None tells it from the content; electrodes: "
      "a table of the electrodes; columns: the values of a protocol file; ip_unit: 'mV/V', '%', "
      "'ms' or 'mrad' for IP values whose file does not state it; ip_range: (min, max) in the "
      "unit of the IP data) and returns the stores, "
      "the ground, the reciprocal pairs, the error models and the log; with out, also writes "
      "the command's files there. Units: error in % of |R|, error_floor in ohms, error_voltage "
      "in volts (divided by |I|), ip_error in % of |m|, ip_error_floor in mV/V, "
      "max_reciprocal_error and max_deviation in %, min_current in A, min_voltage in V, "
      "drop_electrodes as x positions in m. A stop raises quelby.Stop.");
}

}  // namespace quelby::python
