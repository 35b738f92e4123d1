// The ground of a section: the mesh cells below the surface (an air-cell count per column), the
// mesh nodes that touch them, numbered for the linear systems, the sides and bottom where the
// ground meets the rest of the earth, and the survey's electrodes placed on it. An electrode is
// never moved: one given by x stands on the surface at that x, shared between the two surface
// nodes around it; one given with z stands at (x, z), shared between the four nodes of its cell.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby {

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

// One electrode on the ground: up to four ground nodes (0-based ground-node numbers) with weights
// that sum to 1, by which its current enters and its potential is read.
struct Electrode {
  double x = 0;
  double z = 0;         // the z it stands at (on the surface for one given by x alone)
  bool buried = false;  // given with z
  std::int32_t count = 0;
  std::int32_t node[4] = {0, 0, 0, 0};
  double weight[4] = {0, 0, 0, 0};
};

// The survey placed on the ground: its distinct electrodes, and per datum (grouped order) the
// electrode numbers of A, B, M and N, -1 for the missing second electrode of a pole.
struct SurveyElectrodes {
  std::vector<Electrode> electrodes;
  std::vector<std::int32_t> a, b, m, n;
  double smallest_separation = 0;  // the smallest distance between two electrodes of a datum
};

// Places every electrode of `survey` (z positions where it has them). A pole is A equal to B, or
// M equal to N (x and, with z positions, z). An electrode outside the mesh, over a column that is
// wholly air, or given with z above the surface writes "Error: electrode <E> of datum <n> at
// x = <x>[, z = <z>] <reason>" (the datum's 1-based line among the file's data) to the console,
// then the run log, and throws Stop. Linear in data plus electrodes times log electrodes.
SurveyElectrodes place_electrodes(const Io& io, const Mesh& mesh, const Ground& ground,
                                  const SurveyData& survey);

}  // namespace quelby
