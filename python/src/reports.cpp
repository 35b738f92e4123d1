// The inversion reports for Python: the iteration history file and the run-log reports of a beta
// choice, of the objective's term norms and of the norm components. Every value is the caller's.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/report/inversion_report.hpp"
#include "quelby/report/run_report.hpp"
#include "quelby/report/vtk_model.hpp"
#include "quelby/survey/survey_data.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

using Vector = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::span<const double> span_of(const Vector& values) {
  return {values.data(), static_cast<std::size_t>(values.size())};
}

// ndat given as a number or as the SurveyData whose ndat it is.
std::int32_t data_count(py::handle ndat) {
  if (py::isinstance<SurveyData>(ndat)) return ndat.cast<const SurveyData&>().ndat;
  return ndat.cast<std::int32_t>();
}

}  // namespace

void bind_reports(py::module_& module) {
  module.def(
      "write_vtk_section",
      [](const FileName& path, const Mesh& mesh, const py::dict& arrays,
         std::optional<double> reference_elevation, py::object io) {
        const std::ptrdiff_t cells = static_cast<std::ptrdiff_t>(mesh.nx) * mesh.nz;
        std::vector<std::string> names;
        std::vector<Vector> values;
        for (const auto& [name, array] : arrays) {
          names.push_back(name.cast<std::string>());
          values.push_back(vector_argument(array, cells, "arrays"));
        }
        std::vector<NamedCellArray> named;
        for (std::size_t k = 0; k < names.size(); ++k)
          named.push_back({names[k], span_of(values[k])});
        with_streams(streams_or_default(io), [&](const Io& streams) {
          write_vtk_rectilinear(streams, path.text, mesh, named, reference_elevation);
        });
      },
      py::arg("path"), py::arg("mesh"), py::arg("arrays"),
      py::arg("reference_elevation") = py::none(), py::arg("io") = py::none(),
      "write_vtk_section(path, mesh, arrays, reference_elevation=None, io=None)\n\n"
      "Writes a VTK rectilinear-grid file (.vtr) of the section: one cell along y (0 to 1 m), "
      "z as elevation (reference_elevation - depth, or -depth), the layers bottom up. arrays: "
      "a dict of name to nz * nx values in cell order (a model of shape (nz, nx); NaN for cells "
      "without a value), stored as appended raw 64-bit floats. The file appears whole or not at "
      "all.");
  module.def(
      "write_iteration_history",
      [](const FileName& path, std::int32_t niter, py::handle misfit_history,
         py::handle norm_history, py::handle beta_history, double target_misfit, py::handle ndat,
         py::object io) {
        const Vector misfits = vector_argument(misfit_history, -1, "misfit_history");
        const Vector norms = vector_argument(norm_history, -1, "norm_history");
        const Vector betas = vector_argument(beta_history, -1, "beta_history");
        const std::int32_t count = data_count(ndat);
        with_streams(streams_or_default(io), [&](const Io& streams) {
          write_iteration_history(streams, path.text, niter, span_of(misfits), span_of(norms),
                                  span_of(betas), target_misfit, count);
        });
      },
      py::arg("path"), py::arg("niter"), py::arg("misfit_history"), py::arg("norm_history"),
      py::arg("beta_history"), py::arg("target_misfit"), py::arg("ndat"),
      py::arg("io") = py::none(),
      "write_iteration_history(path, niter, misfit_history, norm_history, beta_history, "
      "target_misfit, ndat, io=None)\n\n"
      "Writes the iteration history file: a header with niter, one row per iteration 0..niter "
      "(element i of each history is iteration i, so each needs niter + 1 values, else "
      "ValueError), the target misfit and the number of data. ndat: a number or the SurveyData. "
      "The file appears whole or not at all.");
  module.def(
      "report_beta_choice",
      [](double chosen_beta, double target_misfit, double achieved_misfit, double previous_misfit,
         double model_norm, double model_norm_change, py::object betas, py::object misfits,
         py::object io) {
        if (betas.is_none() != misfits.is_none()) {
          throw py::value_error("report_beta_choice: give both betas and misfits, or neither");
        }
        const BetaChoice choice{chosen_beta,     target_misfit, achieved_misfit,
                                previous_misfit, model_norm,    model_norm_change};
        std::optional<Vector> tried_betas;
        std::optional<Vector> tried_misfits;
        std::optional<BetaTrials> trials;
        if (!betas.is_none()) {
          tried_betas = vector_argument(betas, -1, "betas");
          tried_misfits = vector_argument(misfits, -1, "misfits");
          trials = BetaTrials{span_of(*tried_betas), span_of(*tried_misfits)};
        }
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { report_beta_choice(streams, choice, trials); });
      },
      py::arg("chosen_beta"), py::arg("target_misfit"), py::arg("achieved_misfit"),
      py::arg("previous_misfit"), py::arg("model_norm"), py::arg("model_norm_change"),
      py::arg("betas") = py::none(), py::arg("misfits") = py::none(), py::arg("io") = py::none(),
      "report_beta_choice(chosen_beta, target_misfit, achieved_misfit, previous_misfit, "
      "model_norm, model_norm_change, betas=None, misfits=None, io=None)\n\n"
      "Writes to the run log the beta-versus-misfit table of the tried betas and their misfits "
      "(equal lengths, else ValueError) when given, then the six summary lines (the misfit change "
      "is (previous - achieved) / previous), and flushes the run log.");
  module.def(
      "report_term_norms",
      [](const ModelObjective& objective, py::handle m, py::handle m_ref, py::object io) {
        const std::ptrdiff_t n = csr_row_count(objective.WTW);
        const Vector model = vector_argument(m, n, "m");
        const Vector reference = vector_argument(m_ref, n, "m_ref");
        with_streams(streams_or_default(io), [&](const Io& streams) {
          report_term_norms(streams, objective, span_of(model), span_of(reference));
        });
      },
      py::arg("objective"), py::arg("m"), py::arg("m_ref"), py::arg("io") = py::none(),
      "report_term_norms(objective, m, m_ref, io=None)\n\n"
      "Writes one 'norm comp' line per term of the objective (Ws, Wx, Wz, Wxz) with its "
      "term_norms value for the parameter vectors m and m_ref (npar values, 0-based parameter "
      "p - 1 for parameter number p), then an empty line, to the run log.");
  module.def(
      "report_norm_components",
      [](py::handle components, py::object io) {
        const Vector values = vector_argument(components, 4, "components");
        with_streams(streams_or_default(io),
                     [&](const Io& streams) { report_norm_components(streams, span_of(values)); });
      },
      py::arg("components"), py::arg("io") = py::none(),
      "report_norm_components(components, io=None)\n\n"
      "Writes the 'Ws ', 'Wx ' and 'Wz ' lines with components[1], [2] and [3] (of four), then an "
      "empty line, to the run log.");
  module.def(
      "report",
      [](const FileName& folder, std::optional<FileName> out, py::object io) {
        return with_streams(streams_or_default(io), [&](const Io& streams) {
          return write_run_report(streams, folder.text, out ? out->text : std::string());
        });
      },
      py::arg("folder"), py::arg("out") = py::none(), py::arg("io") = py::none(),
      "report(folder, out=None, io=None) -> str\n\n"
      "Writes the report of the finished run folder `folder` (a 2-D run, a time-lapse campaign or "
      "a 3-D run of quelby-invert or quelby.invert) as one self-contained web page, "
      "folder/report.html or `out`, as quelby-report does, and returns its name. A folder that "
      "does not exist, holds no run.log, or lacks a file the report needs raises quelby.Stop.");
}

}  // namespace quelby::python
