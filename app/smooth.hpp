// The smoothing kernel of the command: one pass replaces every cell by the area-weighted mean of
// its 3 by 3 neighbourhood (clipped at the mesh edges), plus the element-wise logarithm and
// exponential that take a model into and out of the domain where it is smoothed.
#pragma once

#include <span>

#include "mesh/mesh.hpp"
#include "mesh/model.hpp"

namespace quelby {

// target(i, k) = sum of source * area over the neighbourhood / sum of the areas, each sum formed
// from zero by rows of increasing k, each by increasing i. `source` and `target` are distinct
// models of mesh.nx by mesh.nz; every cell of the target is written, none read. Rows are computed
// in parallel; the result does not depend on the number of threads.
void smooth_once(const Mesh& mesh, const Model& source, Model& target);

// values[j] = ln(values[j]), one std::log call per element, in parallel.
void log_in_place(std::span<double> values);
// values[j] = exp(values[j]), one std::exp call per element, in parallel.
void exp_in_place(std::span<double> values);

}  // namespace quelby
