// A 3-D mesh for a survey: along x and y every electrode coordinate is a node, with core cells of
// about half the smallest electrode spacing along the axis between and a few beyond the outermost
// electrodes, then padding cells growing by a factor out to several times the survey's extent;
// along z thin layers at the ground thickening with depth (gently in the core, faster below), with
// every buried electrode's depth a node. Flat ground, or a relief below the top through which the
// layers stay thin (the ground's air cells per column are the caller's).
//
// The default for a grid of 28 x 14 electrodes 0.2 m apart on flat ground (5.4 m x 2.6 m): core
// cells 0.1 m, layers from 0.05 m growing by 1.1 to 2.7 m, then by 1.3 to 25 m, padding to 21.6 m
// (four times the extent) on every side: 88 x 60 x 31 = 163,680 cells. With cell_budget 100,000:
// 84 x 41 x 29 = 99,876 cells; with 1,000,000: 177 x 120 x 47 = 998,280.
#pragma once

#include <cstdint>
#include <span>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

struct SurveyMesh3DOptions {
  // m; 0: half the smallest spacing between distinct electrode coordinates along each axis (never
  // less than half the smallest distance between two electrodes); an axis along which every
  // electrode stands at one coordinate takes the other axis's cell.
  double cell_width = 0;
  double top_thickness = 0;     // m, the first layer; 0: half the core cell (a quarter spacing)
  double growth = 1.3;          // width ratio of neighbouring padding cells, sides and bottom
  double depth_growth = 1.1;    // thickness ratio of neighbouring core layers
  double padding_distance = 0;  // m beyond the outermost electrodes; 0: four times the extent
  double depth = 0;             // m of the mesh below `top`; 0: the padding distance
  double core_depth = 0;        // m of gently growing layers; 0: half the extent
  int margin_cells = 2;         // core cells beyond the outermost electrodes on each side
  // About how many cells the mesh may have; 0: no budget. With a budget the core cells along x
  // and y and the layers are scaled (each between an eighth and 64 times the chosen sizes, the
  // horizontal cells at most twice as wide one as the other, the first layer between a quarter and
  // the whole core cell) to the mesh with the most cells within the budget.
  std::int64_t cell_budget = 0;
  double top = 0;  // z of the ground (the first node along z): its highest point
  // m by which the ground lies below `top` at most (topography: the columns' air cells end within
  // it). Layers stay no thicker than the core cell through it and four core cells below, and the
  // core depth and the depth are measured from its bottom. Electrodes on such ground (z > top) are
  // nodes as buried ones are.
  double relief = 0;
};

// The mesh for the electrodes of `survey` (see mesh3d_for_electrodes).
Mesh3D survey_mesh3d(const Io& io, const Survey3D& survey, const SurveyMesh3DOptions& options = {});

// The mesh for electrodes at `electrodes` (z the depth; at `top` on flat ground, below it buried
// or on lower ground; above it refused). The extent is the larger of the electrodes' spans along x
// and y (8 core cells for a single electrode). Core layers grow by depth_growth from top_thickness,
// no thicker than the core cell down to four core cells below the deepest buried electrode, to the
// core depth; padding layers then grow by `growth` to the depth. Options out of range, electrodes
// not finite, or a mesh beyond what can be numbered (or beyond the budget at the coarsest scales)
// write "Error: ..." and throw Stop. Cost linear in the cells along the axes (with a budget: times
// about 300, plus the product of the axes' distinct counts, some milliseconds).
Mesh3D mesh3d_for_electrodes(const Io& io, std::span<const ElectrodePosition> electrodes,
                             const SurveyMesh3DOptions& options = {});

}  // namespace quelby
