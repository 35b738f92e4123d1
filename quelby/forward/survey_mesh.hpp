// A mesh for a survey: square core cells of a fraction of the smallest electrode spacing under the
// electrodes, to a depth tied to the survey's largest separation, finer cells graded around
// buried electrodes that stand closer together, then padding cells that grow by a factor towards
// the sides and the bottom to several times the line length; and the writer of mesh files, which
// the mesh reader reads back to the same nodes.
#pragma once

#include <span>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

struct SurveyMeshOptions {
  double cell_width = 0;  // m; 0: a quarter of the smallest spacing between electrodes along x
  double core_depth = 0;  // m below `top`; 0: three quarters of the largest electrode separation
  int padding_cells = 0;  // on each side and below; 0: as many as reach five line lengths
  int margin_cells = 4;   // core cells beyond the first and the last electrode
  double growth = 1.3;    // width ratio of neighbouring padding cells
  // Width ratio of neighbouring core cells graded away from electrodes that need cells finer than
  // the core's (surveys with z positions): gentler than the padding's, since the current between
  // boreholes flows through these cells (a panel of electrodes 1 m apart, holes 10 m apart, models
  // its weakest cross-hole data to about 1 % with 1.1, 6 % with 1.3).
  double grading = 1.1;
  // Height ratio of neighbouring core rows below the fine rows near the ground (four core cells
  // below the lowest ground under the electrodes) of a survey on the ground: deep fields are
  // smooth, and equal rows to the core depth would multiply the cells (and the cost of every
  // sensitivity) without changing the data. 1 keeps every core row a core cell; a survey with
  // buried electrodes keeps equal or graded rows as above.
  double depth_growth = 1.1;
  double top = 0;     // z of the first row boundary (the surface of a flat survey)
  double relief = 0;  // m by which the ground under the electrodes lies below `top` at most:
                      // the core reaches this much deeper
};

// The mesh for the electrodes of `survey` (x positions; z positions where it has them). The core
// spans the electrodes plus the margins in whole cells of the width nearest the chosen one. With z
// positions (buried electrodes) the core reaches at least 4 cells below the deepest electrode, the
// largest separation is measured in the section, and the cells around an electrode are no wider
// than a quarter of the distance to its nearest other electrode: along an axis where some
// electrode needs such finer cells, every electrode x (and every z of a buried electrode or one
// that needs them) is a node and the core cells grow by `grading` per cell away from them up to
// the core cell (see graded_segments); elsewhere the core keeps its equal cells. Options out of
// range (a width, depth or growth not positive, a growth or grading below 1, negative counts)
// write "Error: <option> ..." and throw Stop.
Mesh mesh_for_survey(const Io& io, const SurveyData& survey, const SurveyMeshOptions& options = {});

// The mesh for the survey under the ground of the topography file `topography_name` (read with
// read_topography; "topography was read from" goes to the run log): its first row boundary at the
// highest ground over the mesh (so that every column has the rows its air needs), and its core
// reaching the core depth below the lowest ground under the electrodes; options.top and
// options.relief are set from the ground.
Mesh mesh_for_survey_under_ground(const Io& io, const SurveyData& survey,
                                  std::string_view topography_name,
                                  const SurveyMeshOptions& options = {});

// The same from electrode positions along x (and optional z, empty for surface electrodes) and
// the largest separation of the survey's data.
Mesh mesh_for_electrodes(const Io& io, std::span<const double> x, std::span<const double> z,
                         double largest_separation, const SurveyMeshOptions& options = {});

// A mesh from its node positions (strictly increasing, at least two each), computed as the mesh
// reader computes it from a file that lists every node: each cell one segment.
Mesh mesh_from_nodes(const Io& io, std::span<const double> x_nodes,
                     std::span<const double> z_nodes);

// Writes the mesh file `name`: runs of equal cells as one segment, positions in the shortest text
// that reads back to the same number. Written atomically; a failure writes one line naming the
// file and the cause on the error stream and throws Stop.
void write_mesh(const Io& io, std::string_view name, const Mesh& mesh);

}  // namespace quelby
