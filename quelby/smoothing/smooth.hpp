// The smoothing kernel of the command: one pass replaces every cell by the area-weighted mean of
// its 3 by 3 neighbourhood (clipped at the mesh edges), plus the element-wise logarithm and
// exponential that take a model into and out of the domain where it is smoothed. The masked forms
// leave the cells of a FixedCells alone.
#pragma once

#include <span>

#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/smoothing/fixed_cells.hpp"

namespace quelby {

// target(i, k) = sum of source * area over the neighbourhood / sum of the areas, each sum formed
// from zero by rows of increasing k, each by increasing i. `source` and `target` are distinct
// models of mesh.nx by mesh.nz; every cell of the target is written, none read. Rows are computed
// in parallel; the result does not depend on the number of threads.
void smooth_once(const Mesh& mesh, const Model& source, Model& target);

// The pass with fixed cells: a kept cell (fixed.kept()) gets its source value, the same double;
// every other cell the sum of source * area over the cells of its neighbourhood that are not kept,
// divided by the sum of their areas, both formed from zero in the order above with the kept cells
// skipped. The values of kept cells are never read into a sum. With no fixed cell this is exactly
// the plain pass. `fixed` was built for the mesh's nx and nz (std::invalid_argument otherwise).
// Rows whose neighbourhood holds no kept cell take the plain pass's path; a pass costs at most
// that of the plain pass plus a select per term.
void smooth_once(const Mesh& mesh, const FixedCells& fixed, const Model& source, Model& target);

// `cycles` masked passes, each from the result of the one before, the last result left in
// `working` (`smoothed` is work space): the same values as running smooth_once with `fixed` pass by
// pass and swapping the models after each, with the working rows of the masked pass held once for
// all of them and released on return.
void smooth_cycles(const Mesh& mesh, const FixedCells& fixed, Model& working, Model& smoothed,
                   std::int32_t cycles);

// `cycles` passes of smooth_once, each from the result of the one before, the last result left in
// `working` (`smoothed` is work space): the same values as running the passes one by one and
// swapping the models after each. On meshes of up to 21845 columns up to 8 passes go in one sweep
// over the rows, in place with a few rows of its own, so that the model is read and written once
// for them and `smoothed` is not touched; wider meshes take the passes one by one. Throws
// std::bad_alloc when its working rows cannot be held.
void smooth_cycles(const Mesh& mesh, Model& working, Model& smoothed, std::int32_t cycles);

// values[j] = ln(values[j]), one std::log call per element, in parallel.
void log_in_place(std::span<double> values);
// values[j] = exp(values[j]), one std::exp call per element, in parallel.
void exp_in_place(std::span<double> values);
// The same for the cells that are not kept (fixed.kept() is 0): kept cells are never touched, so
// any placeholder (0, negative) comes back as it was.
void log_in_place(std::span<double> values, const FixedCells& fixed);
void exp_in_place(std::span<double> values, const FixedCells& fixed);

}  // namespace quelby
