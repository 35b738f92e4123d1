// The model objective function for Python: its terms and WTW as scipy.sparse.csr_matrix over the
// objective's own arrays, and its evaluation on numpy vectors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/cells/weights.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/regularization/objective.hpp"
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

CellArray copy_of(const CellArray& array) {
  CellArray copy(array.nx(), array.nz());
  std::copy(array.values().begin(), array.values().end(), copy.data());
  return copy;
}

// The weights of build_model_objective's `weights` argument: three arrays of shape (nz, nx) (or
// nx * nz values each), as weights_from_arrays returns them.
CellWeights given_weights(const Mesh& mesh, py::handle weights) {
  const py::tuple arrays = py::tuple(py::reinterpret_borrow<py::object>(weights));
  if (arrays.size() != 3) throw py::value_error("weights: expected the three arrays (s, x, z)");
  return {model_from_array(mesh, arrays[0]), model_from_array(mesh, arrays[1]),
          model_from_array(mesh, arrays[2])};
}

// A RuntimeWarning when WTW holds a value that is not finite, naming the first term that does and
// the coefficient or the weights that made it.
// The first weight that is not finite among the weight arrays of term `term` (0 Ws, 1 Wx, 2 Wz,
// 3 Wxz), read again as the build read them, as "S weights (i, k) = inf" with the 1-based column
// and row of the files; empty when every weight is finite. Cost: one more reading of the weights.
std::string first_weight_not_finite(const Mesh& mesh, const WeightSource& weights,
                                    std::int32_t term) {
  std::ostringstream quiet;
  const Io io{quiet, quiet, quiet};
  CellArray s(mesh.nx, mesh.nz);
  CellArray x(mesh.nx, mesh.nz);
  CellArray z(mesh.nx, mesh.nz);
  if (weights.arrays) {
    s = copy_of(weights.arrays->s_weights);
    x = copy_of(weights.arrays->x_weights);
    z = copy_of(weights.arrays->z_weights);
  } else {
    try {
      set_weights(io, mesh, weights.weight_input, weights.weight_files, s, x, z);
    } catch (const Stop&) {
      return {};
    }
  }
  const std::pair<const char*, const CellArray*> arrays[] = {
      {"S weights", &s}, {"X weights", &x}, {"Z weights", &z}};
  for (std::int32_t a = 0; a < 3; ++a) {
    if (a != term && !(term == 3 && a > 0)) continue;
    const double* const values = arrays[a].second->data();
    for (std::int32_t k = 0; k < mesh.nz; ++k) {
      for (std::int32_t i = 0; i < mesh.nx; ++i) {
        const double value = values[static_cast<std::size_t>(k) * mesh.nx + i];
        if (std::isfinite(value)) continue;
        return std::string(arrays[a].first) + " (" + std::to_string(i + 1) + ", " +
               std::to_string(k + 1) + ") = " + py::repr(py::float_(value)).cast<std::string>();
      }
    }
  }
  return {};
}

void warn_when_not_finite(const ModelObjective& objective, const AlphaCoefficients& alpha,
                          const Mesh& mesh, const WeightSource& weights) {
  const auto count_bad = [](const CsrMatrix& matrix) {
    const std::size_t entries = matrix.row_start.empty() ? 0 : matrix.row_start.back();
    std::size_t bad = 0;
    for (std::size_t p = 0; p < entries; ++p) bad += std::isfinite(matrix.values[p]) ? 0 : 1;
    return bad;
  };
  const std::size_t bad = count_bad(objective.WTW);
  if (bad == 0) return;
  static const char* const term_names[] = {"Ws", "Wx", "Wz", "Wxz"};
  static const char* const coefficient_names[] = {"alpha_s", "alpha_x", "alpha_z", nullptr};
  static const char* const weight_names[] = {"S weights", "X weights", "Z weights",
                                             "X and Z weights"};
  const double coefficients[] = {alpha.alpha_s, alpha.alpha_x, alpha.alpha_z, 0.0};
  std::string cause = "no single term holds them";
  for (std::int32_t t = 0; t < objective.n_terms && t < 4; ++t) {
    if (count_bad(objective.wtw_terms[t]) == 0) continue;
    cause = std::string("term ") + term_names[t] + " holds them: ";
    const std::string weight = first_weight_not_finite(mesh, weights, t);
    if (coefficient_names[t] != nullptr && !std::isfinite(coefficients[t])) {
      cause += std::string(coefficient_names[t]) + " = " +
               py::repr(py::float_(coefficients[t])).cast<std::string>();
    } else if (!weight.empty()) {
      cause += weight;
    } else if (coefficient_names[t] != nullptr) {
      cause += std::string(coefficient_names[t]) + " is finite; look at the " + weight_names[t] +
               " (a weight that is not finite or too large) or the dipping zones' coefficients";
    } else {
      cause += std::string("look at the ") + weight_names[t] +
               " and the dipping zones' coefficients and dips";
    }
    break;
  }
  const std::string message =
      "WTW holds " + std::to_string(bad) + " values that are not finite; " + cause;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) throw py::error_already_set();
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
         py::object weight_input, std::array<FileName, 3> weight_files, py::object dip_input,
         const FileName& dip_file, bool ref_in_derivatives, bool keep_factors, py::object io,
         py::object weight_arrays) {
        ModelObjective objective;
        ObjectiveOptions options;
        options.keep_factors = keep_factors;
        WeightSource weights{weight_input_code(weight_input), texts(weight_files)};
        if (!weight_arrays.is_none()) {
          if (weights.weight_input != 0) {
            throw py::value_error("weights: give either the arrays or weight_input, not both");
          }
          weights = WeightSource::given(given_weights(mesh, weight_arrays));
        }
        const DipSource dipping{dip_input_code(dip_input), dip_file.text};
        with_streams(streams_or_default(io), [&](const Io& streams) {
          build_model_objective(streams, mesh, cells, alpha, weights, dipping, ref_in_derivatives,
                                objective, options);
        });
        warn_when_not_finite(objective, alpha, mesh, weights);
        return objective;
      },
      py::arg("mesh"), py::arg("cells"), py::arg("alpha"), py::arg("weight_input") = 0,
      py::arg("weight_files") = py::make_tuple("", "", ""), py::arg("dip_input") = 0,
      py::arg("dip_file") = "", py::arg("ref_in_derivatives") = false,
      py::arg("keep_factors") = false, py::arg("io") = py::none(), py::arg("weights") = py::none(),
      "build_model_objective(mesh, cells, alpha, weight_input=0, weight_files=('', '', ''), "
      "dip_input=0, dip_file='', ref_in_derivatives=False, keep_factors=False, io=None, "
      "weights=None) -> ModelObjective\n\nBuilds the smallness, x, z (and, with a dip, cross) "
      "terms over the active cells and their sum WTW. weight_input: 0 or 'ones', 1 or 'file' "
      "(one weighting file), 2 or 'files' (three single-array files); weights: the arrays (s, x, "
      "z), each (nz, nx), in place of weight_input (weights_from_arrays makes them from the "
      "weighting file's blocks; the last column of x and last row of z repeat their neighbours', "
      "as for files); dip_input: 0 or 'none', 1 or 'file' (the "
      "dipping file dip_file). ref_in_derivatives: the derivative terms act on m - m_ref. "
      "keep_factors: keep Wx, Wz and their diagonal factors. A WTW value that is not finite gives "
      "a RuntimeWarning naming the term and its coefficient or weights.");
}

}  // namespace quelby::python
