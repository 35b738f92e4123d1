#include "quelby/fielddata/geometric_factors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "quelby/forward/forward.hpp"
#include "quelby/forward/survey_mesh.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/survey/survey_arrays.hpp"

namespace quelby {

double flat_geometric_factor(const FieldDatum& datum) {
  if (datum.depth_a != 0 || datum.depth_b != 0 || datum.depth_m != 0 || datum.depth_n != 0) {
    return buried_geometric_factor(datum);
  }
  const bool current_dipole = datum.a != datum.b;
  const bool potential_dipole = datum.m != datum.n;
  const double distances[4] = {std::abs(datum.a - datum.m), std::abs(datum.a - datum.n),
                               std::abs(datum.b - datum.m), std::abs(datum.b - datum.n)};
  const bool kept[4] = {true, potential_dipole, current_dipole, current_dipole && potential_dipole};
  const double signs[4] = {1, -1, -1, 1};
  double denominator = 0;
  for (int k = 0; k < 4; ++k) {
    if (!kept[k]) continue;
    if (distances[k] == 0) return std::numeric_limits<double>::quiet_NaN();
    denominator += signs[k] / distances[k];
  }
  const double factor = 2 * std::numbers::pi / denominator;
  return std::isfinite(factor) ? factor : std::numeric_limits<double>::quiet_NaN();
}

double buried_geometric_factor(const FieldDatum& datum) {
  const bool current_dipole = datum.a != datum.b || datum.depth_a != datum.depth_b;
  const bool potential_dipole = datum.m != datum.n || datum.depth_m != datum.depth_n;
  struct Pair {
    double x1, d1, x2, d2, sign;
    bool kept;
  };
  const Pair pairs[4] = {
      {datum.a, datum.depth_a, datum.m, datum.depth_m, 1, true},
      {datum.a, datum.depth_a, datum.n, datum.depth_n, -1, potential_dipole},
      {datum.b, datum.depth_b, datum.m, datum.depth_m, -1, current_dipole},
      {datum.b, datum.depth_b, datum.n, datum.depth_n, 1, current_dipole && potential_dipole}};
  double denominator = 0;
  for (const Pair& pair : pairs) {
    if (!pair.kept) continue;
    const double dx = pair.x1 - pair.x2;
    const double direct = std::hypot(dx, pair.d1 - pair.d2);
    const double image = std::hypot(dx, pair.d1 + pair.d2);
    if (direct == 0) return std::numeric_limits<double>::quiet_NaN();
    denominator += pair.sign * (1 / direct + 1 / image);
  }
  const double factor = 4 * std::numbers::pi / denominator;
  return std::isfinite(factor) ? factor : std::numeric_limits<double>::quiet_NaN();
}

std::vector<double> numeric_geometric_factors(const Io& io, std::span<const FieldDatum> data,
                                              std::span<const double> ground_x,
                                              std::span<const double> ground_elevation) {
  std::vector<double> a, b, m, n;
  for (const FieldDatum& datum : data) {
    a.push_back(datum.a);
    b.push_back(datum.b);
    m.push_back(datum.m);
    n.push_back(datum.n);
  }
  SurveyArrays arrays;
  arrays.a = a;
  arrays.b = b;
  arrays.m = m;
  arrays.n = n;
  SurveyData survey;
  survey_from_arrays(io, arrays, survey);

  // The mesh of mesh_for_survey_under_ground, from the points in memory: the rows start at the
  // highest ground over the mesh and the core reaches its depth below the lowest ground under
  // the electrodes.
  std::vector<double> x;
  for (const FieldDatum& datum : data) {
    for (const double position : {datum.a, datum.b, datum.m, datum.n}) x.push_back(position);
  }
  std::sort(x.begin(), x.end());
  x.erase(std::unique(x.begin(), x.end()), x.end());
  const double reference = *std::max_element(ground_elevation.begin(), ground_elevation.end());
  const Mesh first = mesh_for_electrodes(io, x, {}, survey.sep_max);
  Topography ground;
  topography_from_points(ground_x, ground_elevation, reference, first.x_nodes, first.z_nodes,
                         ground);
  double top = ground.surface_z.front();
  double bottom = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < ground.surface_z.size(); ++i) {
    top = std::min(top, ground.surface_z[i]);
    if (first.x_nodes[i] >= x.front() && first.x_nodes[i] <= x.back()) {
      bottom = std::max(bottom, ground.surface_z[i]);
    }
  }
  if (!(bottom >= top)) bottom = top;
  SurveyMeshOptions placed;
  placed.top = top;
  placed.relief = bottom - top;
  const Mesh mesh = mesh_for_electrodes(io, x, {}, survey.sep_max, placed);
  topography_from_points(ground_x, ground_elevation, reference, mesh.x_nodes, mesh.z_nodes, ground);
  // One solve per electrode and wavenumber, nothing kept: the factors need neither the
  // factorisations nor the fields again, so memory stays linear in the mesh.
  ForwardOptions once;
  once.keep_factors = false;
  once.kept_field_bytes = 0;
  const std::vector<double> grouped = geometric_factors(io, mesh, ground.air_cells, survey, once);
  // Back to the order of `data`: line j of the arrays is grouped datum sorted_pos[j].
  std::vector<double> factors(data.size());
  for (std::size_t j = 0; j < data.size(); ++j) factors[j] = grouped[survey.grouped_position(j)];
  return factors;
}

}  // namespace quelby
