#include "cells/active_cells.hpp"

namespace quelby {

void read_active_cells(const Io&, const Mesh&, const Topography&, std::string_view, ActiveCells&) {}
void read_active_cell_file(const Io&, const Mesh&, std::string_view, std::span<std::int32_t>) {}
void store_inactive_values(const Io&, const Topography&, const Model&, bool, ActiveCells&) {}
void set_all_active(bool, ActiveCells&) {}

}  // namespace quelby
