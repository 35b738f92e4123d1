// The 3-D mesh file: three blocks of segments, x, then y, then z (depth, down), each written as
// a 2-D mesh file writes one direction (the segment count, the first segment's start, end and cell
// count, then each following segment's end and cell count; a segment's cells are equal).
#pragma once

#include <string>
#include <string_view>

#include "quelby/base/io.hpp"
#include "quelby/mesh/mesh3d.hpp"

namespace quelby {

// Reads the 3-D mesh file `name` (trailing blanks ignored) into `mesh`, replacing it. A segment's
// end is a node exactly as written (the next segment starts there) and its inner nodes lie at
// whole widths from its start, so nodes written in their shortest form read back bit for bit (the
// 2-D reader's running sums agree with them to rounding). Two passes (one counts
// and checks every read, one fills), so a large count in a short file asks for no memory. Writes
// "3-D mesh was read from file: <name>" to the run log; any failure writes its message and throws
// Stop. Linear in the file plus the nodes.
void load_mesh3d(const Io& io, std::string_view name, Mesh3D& mesh);

// Writes `mesh` to the file `name` as segments: runs of widths equal to rounding become one
// segment wherever reading it back gives the same nodes bit for bit, positions in their shortest
// round-trip form; the file always reads back as `mesh`.
// The file is put into place only when complete; a failure writes one line naming the file and
// the cause on the error stream and throws Stop. Linear in the nodes but for runs that do not
// read back whole, which are tried again shorter.
void write_mesh3d(const Io& io, std::string_view name, const Mesh3D& mesh);

// The text write_mesh3d writes, for callers that put the mesh into a larger file or a test.
std::string mesh3d_text(const Mesh3D& mesh);

}  // namespace quelby
