// The model objective function for Python: its terms and WTW as scipy.sparse.csr_matrix over the
// objective's own arrays, and its evaluation on numpy vectors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "cells/active_cells.hpp"
#include "regularization/alpha.hpp"
#include "regularization/evaluation.hpp"
#include "regularization/objective.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// A numpy view of the first `count` elements of `values`, kept alive by `owner`.
template <typename T>
py::array_t<T> prefix_view(const std::vector<T>& values, std::size_t count, py::handle owner) {
  return py::array_t<T>({static_cast<py::ssize_t>(count)}, {sizeof(T)}, values.data(), owner);
}

// A square csr_matrix over the stored entries of `matrix`, without copies.
py::object csr_view(const CsrMatrix& matrix, std::int32_t n, py::handle owner) {
  const std::size_t entries = matrix.row_start.empty() ? 0 : matrix.row_start.back();
  py::module_ sparse = py::module_::import("scipy.sparse");
  return sparse.attr("csr_matrix")(
      py::make_tuple(prefix_view(matrix.values, entries, owner),
                     prefix_view(matrix.columns, entries, owner),
                     prefix_view(matrix.row_start, matrix.row_start.size(), owner)),
      py::arg("shape") = py::make_tuple(n, n), py::arg("copy") = false);
}

// A difference operator as a csr_matrix: its entries whose column names a parameter (a column of
// -1 stands for a partner cell that is no parameter and is left out), copied.
py::object csr_copy_of_parameters(const CsrMatrix& matrix, std::int32_t n) {
  std::vector<double> values;
  std::vector<std::int32_t> columns;
  std::vector<std::int32_t> row_start{0};
  const std::int32_t rows = csr_row_count(matrix);
  for (std::int32_t i = 0; i < rows; ++i) {
    for (std::int32_t p = matrix.row_start[i]; p < matrix.row_start[i + 1]; ++p) {
      if (matrix.columns[p] >= 0 && matrix.columns[p] < n) {
        values.push_back(matrix.values[p]);
        columns.push_back(matrix.columns[p]);
      }
    }
    row_start.push_back(static_cast<std::int32_t>(values.size()));
  }
  py::module_ sparse = py::module_::import("scipy.sparse");
  return sparse.attr("csr_matrix")(
      py::make_tuple(take(std::move(values)), take(std::move(columns)), take(std::move(row_start))),
      py::arg("shape") = py::make_tuple(rows, n));
}

std::int32_t parameter_count(const ModelObjective& objective) {
  return csr_row_count(objective.WTW);
}

}  // namespace

void bind_objective(py::module_& module) {
  py::class_<ModelObjective>(module, "ModelObjective",
                             "The model objective function: its terms (smallness, x, z and the "
                             "cross term of a dip) and their sum WTW, 0-based over the "
                             "parameters.")
      .def_readonly("ref_in_derivatives", &ModelObjective::ref_in_derivatives)
      .def_readonly("n_terms", &ModelObjective::n_terms)
      .def_property_readonly("npar", &parameter_count)
      .def_property_readonly(
          "terms",
          [](py::object self) {
            const ModelObjective& objective = self.cast<ModelObjective&>();
            py::list terms;
            for (std::int32_t t = 0; t < objective.n_terms; ++t) {
              terms.append(csr_view(objective.wtw_terms[t], parameter_count(objective), self));
            }
            return terms;
          })
      .def_property_readonly("WTW",
                             [](py::object self) {
                               const ModelObjective& objective = self.cast<ModelObjective&>();
                               return csr_view(objective.WTW, parameter_count(objective), self);
                             })
      .def_property_readonly("Wx",
                             [](const ModelObjective& objective) -> py::object {
                               if (objective.Wx.row_start.empty()) return py::none();
                               return csr_copy_of_parameters(objective.Wx,
                                                             parameter_count(objective));
                             })
      .def_property_readonly("Wz",
                             [](const ModelObjective& objective) -> py::object {
                               if (objective.Wz.row_start.empty()) return py::none();
                               return csr_copy_of_parameters(objective.Wz,
                                                             parameter_count(objective));
                             })
      .def_property_readonly(
          "Bx", [](py::object self) { return view(self.cast<ModelObjective&>().Bx, self); })
      .def_property_readonly(
          "Bz", [](py::object self) { return view(self.cast<ModelObjective&>().Bz, self); })
      .def_property_readonly(
          "Bxz", [](py::object self) { return view(self.cast<ModelObjective&>().Bxz, self); })
      .def(
          "wtw_times_model",
          [](const ModelObjective& objective, py::handle m, py::handle m_ref) {
            const std::int32_t n = parameter_count(objective);
            const auto model = vector_argument(m, n, "m");
            const auto reference = vector_argument(m_ref, n, "m_ref");
            std::vector<double> g(static_cast<std::size_t>(n));
            wtw_times_model(objective, {model.data(), static_cast<std::size_t>(n)},
                            {reference.data(), static_cast<std::size_t>(n)}, g);
            return take(std::move(g));
          },
          py::arg("m"), py::arg("m_ref"),
          "WTW applied to the model (the terms' sum, term by term).")
      .def(
          "term_norms",
          [](const ModelObjective& objective, py::handle m, py::handle m_ref) {
            const std::int32_t n = parameter_count(objective);
            const auto model = vector_argument(m, n, "m");
            const auto reference = vector_argument(m_ref, n, "m_ref");
            std::vector<double> phi(static_cast<std::size_t>(objective.n_terms));
            term_norms(objective, {model.data(), static_cast<std::size_t>(n)},
                       {reference.data(), static_cast<std::size_t>(n)}, phi);
            return take(std::move(phi));
          },
          py::arg("m"), py::arg("m_ref"), "The value u^T T u of every term T.");

  module.def(
      "build_model_objective",
      [](const Mesh& mesh, const ActiveCells& cells, const AlphaCoefficients& alpha,
         std::int32_t weight_input, std::array<std::string, 3> weight_files, std::int32_t dip_input,
         const std::string& dip_file, bool ref_in_derivatives, bool keep_factors, py::object io) {
        ModelObjective objective;
        ObjectiveOptions options;
        options.keep_factors = keep_factors;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          build_model_objective(streams, mesh, cells, alpha, weight_input, weight_files, dip_input,
                                dip_file, ref_in_derivatives, objective, options);
        });
        return objective;
      },
      py::arg("mesh"), py::arg("cells"), py::arg("alpha"), py::arg("weight_input") = 0,
      py::arg("weight_files") = std::array<std::string, 3>{"", "", ""}, py::arg("dip_input") = 0,
      py::arg("dip_file") = "", py::arg("ref_in_derivatives") = false,
      py::arg("keep_factors") = false, py::arg("io") = py::none(),
      "Builds the model objective function from the active cells, the coefficients, the cell "
      "weights (weight_input, weight_files) and the dipping zones (dip_input, dip_file).");
}

}  // namespace quelby::python
