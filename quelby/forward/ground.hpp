// The ground of a section: the mesh cells below the surface (an air-cell count per column), the
// mesh nodes that touch them, numbered for the linear systems, the sides and bottom where the
// ground meets the rest of the earth, and the survey's electrodes placed on it. An electrode is
// never moved: its current enters, and its potential is read, through weights on the nodes around
// it whose mean position is the electrode's, spread as far as the operator's fourth-order error
// asks (see GroundOperator).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

// The operator's shares (see GroundOperator): of the five-point stencil in the stiffness, the rest
// the bilinear element's, and of the lumped mass in the mass, the rest the consistent mass's. With
// them the operator's error of order h^2 along the ground surface is that of a source and a
// receiver each spread over their nodes with the second moment -electrode_spread h^2 / 6 along
// each axis: the electrodes' weights spread them by as much, and the error cancels. (Along z the
// spread needed is 3/4 - bilinear share + consistent share / 2, the same as along x for a
// five-point share of 1/2.)
inline constexpr double five_point_share = 0.5;
inline constexpr double lumped_share = 0.25;
inline constexpr double electrode_spread = (2 - five_point_share - lumped_share) / 2;
static_assert(five_point_share == 0.5, "the spread along z equals the one along x only then");

// Node (i, k) of the mesh (0-based column boundary i = 0..nx, row boundary k = 0..nz) is mesh node
// k * (nx + 1) + i; cell (i, k) is cell k * nx + i.
struct Ground {
  std::int32_t nx = 0;
  std::int32_t nz = 0;
  std::vector<std::int32_t> top;  // per column: its first ground row (its air-cell count), 0..nz
  // Per mesh node: its number among the ground nodes (0-based, in mesh-node order), or -1 when no
  // ground cell touches it.
  std::vector<std::int32_t> node_number;
  std::vector<std::int32_t> ground_nodes;  // the mesh node of each ground node
  // Per x node: the row boundary of the highest ground node there (the surface), or -1 when both
  // columns beside it are wholly air.
  std::vector<std::int32_t> surface_row;

  bool is_ground(std::int32_t i, std::int32_t k) const {
    return k >= top[static_cast<std::size_t>(i)];
  }
  std::int32_t node_count() const { return static_cast<std::int32_t>(ground_nodes.size()); }
};

// The ground below `air_cells` (nx counts, each 0..nz). Linear in nodes.
Ground make_ground(const Mesh& mesh, std::span<const std::int32_t> air_cells);

// One electrode on the ground: up to nine ground nodes (0-based ground-node numbers) with weights
// that sum to 1, by which its current enters and its potential is read. Along each axis the
// weights are either those of linear interpolation between the two nodes around the electrode, or,
// for an electrode on a node with ground on both sides, that node and its two neighbours with no
// first moment and the second moment electrode_spread (h1^2 + h2^2) / 12 (h1, h2 the cells beside
// it; at a flat surface the node below carries its own and the mirror image's share,
// electrode_spread / 6); the electrode's weights are their products.
struct Electrode {
  double x = 0;
  double z = 0;         // the z it stands at (on the surface for one given by x alone)
  bool buried = false;  // given with z (false for one given above the surface that stands on it)
  double lowered = 0;   // given with z above the surface: how far below that z it stands, on it
  std::int32_t count = 0;
  std::int32_t node[9] = {};
  double weight[9] = {};
  double cell = 0;  // the largest width or thickness of the ground cells at the electrode
};

// The survey placed on the ground: its distinct electrodes, and per datum (grouped order) the
// electrode numbers of A, B, M and N, -1 for the missing second electrode of a pole.
struct SurveyElectrodes {
  std::vector<Electrode> electrodes;
  std::vector<std::int32_t> a, b, m, n;
  double smallest_separation = 0;  // the smallest distance between two electrodes of a datum
  double largest_cell = 0;         // the largest Electrode::cell
  // The closest current and potential electrodes of a datum counted in cells: their distance over
  // the larger Electrode::cell of the two, the smallest over the survey, and the 1-based line of
  // its datum among the file's data (0 when no datum has both).
  double fewest_cells = 0;
  std::int32_t fewest_cells_line = 0;
  // Electrodes given with z above the ground surface that stand on it, and the most one of them
  // was lowered (m).
  std::int32_t lowered_count = 0;
  double most_lowered = 0;
};

// Places every electrode of `survey` (z positions where it has them). A pole is A equal to B, or
// M equal to N (x and, with z positions, z). An electrode given with z above the ground surface
// by no more than the thicker of the two cells that meet at the surface there stands on the
// surface, as one given by x alone (the mesh's surface follows the ground to the nearest row
// boundary, so one given at its own elevation may lie that much above it). An electrode outside
// the mesh, over a column that is wholly air, or given with z farther above the surface, and a
// potential electrode where a current
// electrode of its datum stands (its potential is infinite), write "Error: electrode <E> of datum
// <n> at x = <x>[, z = <z>] <reason>" (the datum's 1-based line among the file's data) to the
// console, then the run log, and throw Stop. Linear in data plus electrodes times log electrodes.
SurveyElectrodes place_electrodes(const Io& io, const Mesh& mesh, const Ground& ground,
                                  const SurveyData& survey);

// A note for the run log when electrodes given above the ground surface stand on it: how many,
// and how far the farthest was lowered (m, 3 significant digits); empty otherwise.
std::string lowered_electrodes_note(const SurveyElectrodes& placed);

// A note for the run log when a current and a potential electrode of some datum are fewer than 3
// cells apart (the discretisation error there reaches a few per cent), naming that datum of
// `data_file`; empty otherwise.
std::string close_electrodes_note(const SurveyElectrodes& placed, std::string_view data_file);

}  // namespace quelby
