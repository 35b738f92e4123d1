// A small mesh with every cell a parameter and its default model objective, for the inversion's
// tests.
#pragma once

#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/regularization/alpha.hpp"
#include "quelby/regularization/objective.hpp"

namespace quelby::testing {

struct DefaultObjective {
  ActiveCells cells;
  ModelObjective objective;
  DefaultObjective(const Io& io, const Mesh& mesh) {
    Topography topography;
    read_topography(io, false, "", mesh.x_nodes, mesh.z_nodes, topography);
    read_active_cells(io, mesh, topography, "", cells);
    AlphaCoefficients alpha;
    set_alpha(io, mesh, 0, {0, 0, 0}, {0, 0}, alpha);
    build_model_objective(io, mesh, cells, alpha, WeightSource::ones(), DipSource::none(), false,
                          objective);
  }
};

}  // namespace quelby::testing
