// The one line that says where and why a model file was refused ("typo.mod:4: '1OO' is not a
// number", "short.mod:7: 14 values, 15 expected", "wrongdim.mod:1: 4 x 3 cells, the mesh has
// 5 x 3"), carried by the Stop of read_model. Made only after a read has failed, by reading the
// file again from its start on one thread with the free-format rules and counting its lines
// (1-based), so it always names the first thing that stopped the read. Linear in the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelby {

// The detail of a failed read_model of `file_name` for a mesh of nx by nz cells; empty when the
// file reads without fault now (it changed since), is no regular file (a pipe cannot be read
// again) or cannot be opened.
std::string model_read_detail(std::string_view file_name, std::int32_t nx, std::int32_t nz);

}  // namespace quelby
