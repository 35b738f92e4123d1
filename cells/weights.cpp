#include "cells/weights.hpp"

namespace quelby {

void set_weights(const Io&, const Mesh&, std::int32_t, const std::array<std::string, 3>&, Model&,
                 Model&, Model&) {}
void read_weights_file(const Io&, const Mesh&, std::string_view, Model&, Model&, Model&) {}
void read_weight_file(const Io&, std::string_view, std::string_view, Model&) {}
void read_weight_files(const Io&, const std::array<std::string, 3>&, Model&, Model&, Model&) {}

}  // namespace quelby
