// A model: one double per mesh cell, the x index fastest (value (i, k) of column i and row k is at
// k * nx + i, both 0-based), and the model file that carries it as text: a header of nx and nz,
// then the values. Written files use fixed-width fields that read back to 6 significant digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/mesh/cell_array.hpp"
#include "quelby/mesh/mesh.hpp"

namespace quelby {

// The values of one earth model, one per cell. Everything but the name comes from CellArray; a
// function that takes a Model accepts no other cell array.
class Model : public CellArray {
 public:
  using CellArray::CellArray;
  Model() = default;
};

// Fills `model` (sized mesh.nx by mesh.nz) from the model file `name`; `label` names the model in
// the messages ("model" for the command). Writes "<label> was read from file: <name>" to the run
// log; on any failure writes its message and throws Stop. Marks the phases "allocate" and "read"
// of the phase timer.
void read_model(const Io& io, const Mesh& mesh, std::string_view name, std::string_view label,
                Model& model);

// Writes `model` to the file `name`: the header "nx nz" in two 5-column fields (a count of 100000
// or more in full, after one blank), then one line per row of nx values in 13-column exponent
// fields. The file is written beside its final name and put into place only when complete, so a
// failure leaves no partial file and an existing file untouched; the failure is reported as one
// line naming the file and the cause on the error stream and Stop is thrown. Marks the phases
// "format", "write" and "rename" of the phase timer.
void write_model(const Io& io, const Mesh& mesh, std::string_view name, const Model& model);

}  // namespace quelby
