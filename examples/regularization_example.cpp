// Setting up the regularisation of an inversion from files: the mesh and its topography, the
// active cells, the coefficients from two length scales, the cell weights from a weighting file and
// a dipping zone; then the objective evaluated for a model against a reference model, its terms
// reported in the run log and an iteration history written.
//
// Usage: regularization_example mesh topography active weights dipping model history
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/evaluation.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/report/inversion_report.hpp"

int main(int argc, char** argv) {
  if (argc != 8) {
    std::cerr << "usage: regularization_example mesh topography active weights dipping model "
                 "history\n";
    return 2;
  }
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  try {
    // The section and its ground surface: cells above it are never parameters.
    quelby::Mesh mesh;
    quelby::Topography topography;
    quelby::load_mesh_and_topography(io, argv[1], argv[2], true, mesh, topography);

    quelby::ActiveCells cells;
    quelby::read_active_cells(io, mesh, topography, argv[3], cells);

    // Length scales of 40 m along x and 20 m along z give the coefficients (mode 3).
    quelby::AlphaCoefficients alpha;
    quelby::set_alpha(io, mesh, 3, {0, 0, 0}, {40.0, 20.0}, alpha);

    // Weights from one weighting file, zones from the dipping file.
    quelby::ModelObjective objective;
    quelby::build_model_objective(io, mesh, cells, alpha,
                                  quelby::WeightSource::weighting_file(argv[4]),
                                  quelby::DipSource::file(argv[5]), false, objective);

    // The model over the parameters, in the logarithm domain, against a 100 ohm-m reference.
    quelby::Model section(mesh.nx, mesh.nz);
    quelby::read_model(io, mesh, argv[6], "model", section);
    std::vector<double> m(static_cast<std::size_t>(cells.npar));
    for (std::size_t cell = 0; cell < cells.cell_idx.size(); ++cell) {
      const std::int32_t parameter = cells.parameter(cell);  // 0-based, -1 when not active
      if (parameter >= 0) m[static_cast<std::size_t>(parameter)] = std::log(section.data()[cell]);
    }
    const std::vector<double> m_ref(m.size(), std::log(100.0));

    std::vector<double> g(m.size());
    quelby::wtw_times_model(objective, m, m_ref, g);
    std::vector<double> phi(static_cast<std::size_t>(objective.n_terms));
    quelby::term_norms(objective, m, m_ref, phi);
    double phi_m = 0;
    for (const double value : phi) phi_m += value;

    std::cout << cells.npar << " parameters, " << objective.n_terms << " terms, "
              << objective.WTW.row_start.back() << " entries in WTW; phi_m = " << phi_m << '\n';
    quelby::report_term_norms(io, objective, m, m_ref);
    // An inversion would write its history after each iteration; here the start alone.
    const double misfit = 2400.0;
    const double beta = 10.0;
    quelby::write_iteration_history(io, argv[7], 0, {&misfit, 1}, {&phi_m, 1}, {&beta, 1}, 2400.0,
                                    2400);
  } catch (const quelby::Stop& stop) {
    return stop.status();
  }
  std::cout << "run log:" << log.str();
  return 0;
}
